#include "ui/ui.h"

#include <algorithm>

namespace kiv {

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
    RECT rect{left, top, left + outerWidth, top + outerHeight};
    if (!isPlacementVisible(rect)) return systemChooses;
    return POINT{left, top};
}

bool isPlacementVisible(const RECT& rect) {
    HMONITOR monitor = MonitorFromRect(&rect, MONITOR_DEFAULTTONULL);
    if (monitor == nullptr) return false;
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (!GetMonitorInfoW(monitor, &info)) return false;
    RECT visible{};
    if (!IntersectRect(&visible, &rect, &info.rcWork)) return false;
    const long width = rect.right - rect.left;
    const long height = rect.bottom - rect.top;
    return visible.right - visible.left >= std::min(80L, width) &&
           visible.bottom - visible.top >= std::min(80L, height);
}

void saveWindowPositionAndClose(HWND window) {
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    if (GetWindowPlacement(window, &placement) && isPlacementVisible(placement.rcNormalPosition)) {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, kLauncherRegistryKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                            nullptr) == ERROR_SUCCESS) {
            DWORD left = static_cast<DWORD>(placement.rcNormalPosition.left);
            DWORD top = static_cast<DWORD>(placement.rcNormalPosition.top);
            RegSetValueExW(key, L"WindowLeft", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&left), sizeof left);
            RegSetValueExW(key, L"WindowTop", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&top), sizeof top);
            RegCloseKey(key);
        }
    }
    DestroyWindow(window);
}

}  // namespace kiv
