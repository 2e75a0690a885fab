#include "ui/ui.h"

#include <algorithm>
#include <limits>

namespace kiv {

namespace {

// Whether at least min(80, width) x min(80, height) pixels of `rect` lie in
// the work area of the monitor it is mostly on.
bool isPlacementVisible(const RECT& rect) {
    HMONITOR monitor = MonitorFromRect(&rect, MONITOR_DEFAULTTONULL);
    if (monitor == nullptr) return false;
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (!GetMonitorInfoW(monitor, &info)) return false;
    RECT visible{};
    if (!IntersectRect(&visible, &rect, &info.rcWork)) return false;
    const std::int64_t width = std::int64_t{rect.right} - rect.left;
    const std::int64_t height = std::int64_t{rect.bottom} - rect.top;
    return visible.right - visible.left >= std::min<std::int64_t>(80, width) &&
           visible.bottom - visible.top >= std::min<std::int64_t>(80, height);
}

// The restored (normal) outer rectangle of a top-level window in screen
// coordinates, also while the window is minimised or maximised.
RECT restoredScreenRect(HWND window, const WINDOWPLACEMENT& placement) {
    // A window shown normally is where the screen says it is.
    RECT frame{};
    if (!IsIconic(window) && !IsZoomed(window) && GetWindowRect(window, &frame)) return frame;
    // Otherwise only the placement knows the restored rectangle, and for a
    // top-level window other than a tool window it gives it relative to the
    // work area of the window's monitor: a taskbar at the left or the top
    // shifts it by the taskbar's size.
    RECT rect = placement.rcNormalPosition;
    if ((GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW) != 0) return rect;
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &info)) {
        OffsetRect(&rect, info.rcWork.left - info.rcMonitor.left, info.rcWork.top - info.rcMonitor.top);
    }
    return rect;
}

}  // namespace

bool readDwordValue(HKEY key, const wchar_t* name, std::int32_t& value) {
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof data;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS) {
        return false;
    }
    if (type != REG_DWORD || size != sizeof data) return false;
    value = static_cast<std::int32_t>(data);
    return true;
}

POINT loadSavedPosition(int outerWidth, int outerHeight) {
    const POINT systemChooses{CW_USEDEFAULT, CW_USEDEFAULT};
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kLauncherRegistryKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return systemChooses;
    }
    std::int32_t left = 0;
    std::int32_t top = 0;
    bool haveLeft = readDwordValue(key, L"WindowLeft", left);
    bool haveTop = readDwordValue(key, L"WindowTop", top);
    RegCloseKey(key);
    if (!haveLeft || !haveTop) return systemChooses;
    // A stored edge near the integer limits would carry the far edge past
    // them: such a window lies on no monitor.
    const std::int64_t right = std::int64_t{left} + outerWidth;
    const std::int64_t bottom = std::int64_t{top} + outerHeight;
    if (right > std::numeric_limits<LONG>::max() || bottom > std::numeric_limits<LONG>::max()) return systemChooses;
    RECT rect{left, top, static_cast<LONG>(right), static_cast<LONG>(bottom)};
    if (!isPlacementVisible(rect)) return systemChooses;
    return POINT{left, top};
}

void saveWindowPositionAndClose(HWND window) {
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    if (GetWindowPlacement(window, &placement)) {
        // The stored values are the screen coordinates of the outer
        // rectangle, which is what window creation takes back.
        const RECT restored = restoredScreenRect(window, placement);
        HKEY key = nullptr;
        if (isPlacementVisible(restored) && RegCreateKeyExW(HKEY_CURRENT_USER, kLauncherRegistryKey, 0, nullptr, 0,
                                                            KEY_WRITE, nullptr, &key, nullptr) == ERROR_SUCCESS) {
            DWORD left = static_cast<DWORD>(restored.left);
            DWORD top = static_cast<DWORD>(restored.top);
            RegSetValueExW(key, L"WindowLeft", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&left), sizeof left);
            RegSetValueExW(key, L"WindowTop", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&top), sizeof top);
            RegCloseKey(key);
        }
    }
    DestroyWindow(window);
}

}  // namespace kiv
