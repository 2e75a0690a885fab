// The launcher window's procedure: creation and teardown, the hidden carriers
// of the status band, the two buttons with their hover animation, and the
// starting of the workers.
#include "ui/ui.h"

#include <commctrl.h>
#include <shellapi.h>
#include <objidl.h>
#include <gdiplus.h>

#include <algorithm>

#include "ui/browser_host.h"
#include "update/update.h"

namespace kiv {

std::wstring workerBaseUrl = patchBaseUrl();

namespace {
void openWithShell(const std::wstring& url) {
    ShellExecuteW(nullptr, L"open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}
}  // namespace

void (*openPageInBrowser)(const std::wstring& url) = openWithShell;

namespace {

constexpr int kHoverStep = 42;

// What the check leaves for the run; made once and never destroyed, since
// a check's fetch may still be under way on its own threads when the
// program ends.
ServerVisit& serverVisit() {
    static ServerVisit* const visit = new ServerVisit;
    return *visit;
}

void versionCheckWorker() {
    WindowReporter reporter;
    runVersionCheck(launcherDirectory(), workerBaseUrl, reporter,
                    {.releasePublicKey = builtInReleasePublicKey(), .visit = &serverVisit()});
}

void updateWorker() {
    WindowReporter reporter;
    UpdateOptions options;
    options.launcherFileName = toWide(launcherProgramPath().filename());
    options.launcherReplaced = [] {
        windowState.restartLauncher = true;
        PostMessageW(windowState.mainWindow, WM_CLOSE, 0, 0);
    };
    options.releasePublicKey = builtInReleasePublicKey();
    options.visit = &serverVisit();
    runUpdate(launcherDirectory(), workerBaseUrl, reporter, options);
}

HWND createCarrier(HWND parent, const wchar_t* className, const wchar_t* text) {
    return CreateWindowExW(0, className, text, WS_CHILD, 0, 0, 1, 1, parent, nullptr, GetModuleHandleW(nullptr),
                           nullptr);
}

POINT messagePoint(LPARAM lParam) {
    // Signed halves: the pointer may lie left of or above the client area.
    return POINT{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
}

void onCreate(HWND window) {
    WindowState& state = windowState;
    for (int slot = 0; slot < kImageCount; ++slot) {
        state.images[static_cast<std::size_t>(slot)] = loadPngResource(kFirstImageId + slot);
    }

    // Without the browser control the upper area shows the placeholder.
    state.newsView = new (std::nothrow) BrowserHost();
    if (state.newsView != nullptr) state.newsView->create(window, kNewsArea, launcherPageUrl());

    for (std::size_t row = 0; row < kStatusRowCount; ++row) {
        const wchar_t* initialText = kStatusRowLooks[row].initialText;
        HWND label = createCarrier(window, L"STATIC", initialText);
        HWND bar = createCarrier(window, PROGRESS_CLASSW, L"");
        SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        createControlFont(label, 8, 400);
        state.carriers[row].label = label;
        state.carriers[row].bar = bar;
        state.setStatusText(static_cast<StatusRow>(row), initialText);
    }

    startWorker(versionCheckWorker);
}

void onDestroy(HWND window) {
    WindowState& state = windowState;
    KillTimer(window, kAnimationTimer);
    if (state.newsView != nullptr) {
        state.newsView->close();
        state.newsView->Release();
        state.newsView = nullptr;
    }
    for (auto& slot : state.images) {
        if (slot != nullptr) Gdiplus::DllExports::GdipDisposeImage(slot);
        slot = nullptr;
    }
    if (privateFonts != nullptr) Gdiplus::DllExports::GdipDeletePrivateFontCollection(&privateFonts);
    privateFonts = nullptr;
    for (auto& carriers : state.carriers) carriers.label = carriers.bar = nullptr;
    PostQuitMessage(0);
}

// Stores new hover targets, (re)starting the animation timer and repainting
// the band; nothing when they are unchanged.
void setHoverTargets(bool start, bool exit) {
    WindowState& state = windowState;
    if (start == state.startHoverTarget && exit == state.exitHoverTarget) return;
    state.startHoverTarget = start;
    state.exitHoverTarget = exit;
    SetTimer(state.mainWindow, kAnimationTimer, kAnimationPeriodMs, nullptr);
    state.invalidateStatusBand();
}

// Moves `level` 42 steps toward 255 (target) or 0; whether it changed.
bool stepHoverLevel(int& level, bool target) {
    const int goal = target ? 255 : 0;
    const int before = level;
    if (level < goal) level = std::min(level + kHoverStep, goal);
    if (level > goal) level = std::max(level - kHoverStep, goal);
    return level != before;
}

bool overNewsLink(int x, int y) { return newsPlaceholderShown() && pointInRect(kOpenInBrowserLink, x, y); }

bool overButton(int x, int y) { return pointInRect(mainButtonRect(), x, y) || pointInRect(exitButtonRect(), x, y); }

void onMouseMove(HWND window, POINT point) {
    bool inStart = pointInRect(mainButtonRect(), point.x, point.y);
    bool inExit = pointInRect(exitButtonRect(), point.x, point.y);
    if (!inStart && !inExit) {
        SetCursor(LoadCursorW(nullptr, overNewsLink(point.x, point.y) ? IDC_HAND : IDC_ARROW));
        setHoverTargets(false, false);
        return;
    }
    SetCursor(LoadCursorW(nullptr, IDC_HAND));
    setHoverTargets(inStart, inExit);
    TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, window, 0};
    TrackMouseEvent(&track);
}

void onClick(POINT point) {
    if (pointInRect(mainButtonRect(), point.x, point.y)) {
        if (windowState.clientReady) {
            startGame();
            return;
        }
        // Only the main thread sets workerBusy, so a worker that is not
        // running now cannot start before startWorker below claims the flag.
        if (windowState.workerBusy) return;
        SetTimer(windowState.mainWindow, kAnimationTimer, kAnimationPeriodMs, nullptr);
        startWorker(updateWorker);
        return;
    }
    if (pointInRect(exitButtonRect(), point.x, point.y)) {
        saveWindowPositionAndClose(windowState.mainWindow);
        return;
    }
    if (overNewsLink(point.x, point.y)) openPageInBrowser(launcherPageUrl());
}

void onAnimationTick(HWND window) {
    bool startHover = false, exitHover = false;
    POINT cursor{};
    if (GetCursorPos(&cursor) && WindowFromPoint(cursor) == windowState.mainWindow) {
        ScreenToClient(windowState.mainWindow, &cursor);
        exitHover = pointInRect(exitButtonRect(), cursor.x, cursor.y);
        startHover = pointInRect(mainButtonRect(), cursor.x, cursor.y);
    }
    setHoverTargets(startHover, exitHover);
    bool startChanged = stepHoverLevel(windowState.startHoverLevel, windowState.startHoverTarget);
    bool exitChanged = stepHoverLevel(windowState.exitHoverLevel, windowState.exitHoverTarget);
    if (!startChanged && !exitChanged) {
        // While a worker runs the timer keeps ticking.
        if (!windowState.workerBusy) KillTimer(window, kAnimationTimer);
        return;
    }
    windowState.invalidateStatusBand();
}

}  // namespace

bool newsPlaceholderShown() {
    const BrowserHost* page = windowState.newsView;
    return page == nullptr || !page->showsPage();
}

bool translateNewsPageKey(MSG& message) {
    BrowserHost* page = windowState.newsView;
    return page != nullptr && page->translateAccelerator(message);
}

LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE: onCreate(window); return 0;
        case WM_DESTROY: onDestroy(window); return 0;
        case WM_PAINT: paintWindow(window); return 0;
        case WM_CLOSE:
            saveWindowPositionAndClose(windowState.mainWindow.load() != nullptr ? windowState.mainWindow.load()
                                                                                : window);
            return 0;
        case WM_ERASEBKGND: return 1;
        case WM_SETCURSOR: {
            POINT cursor{};
            if (GetCursorPos(&cursor) && ScreenToClient(window, &cursor) &&
                (overButton(cursor.x, cursor.y) || overNewsLink(cursor.x, cursor.y))) {
                SetCursor(LoadCursorW(nullptr, IDC_HAND));
                return 1;
            }
            break;
        }
        case WM_TIMER:
            if (wParam != kAnimationTimer) break;
            onAnimationTick(window);
            return 0;
        case WM_MOUSEMOVE: onMouseMove(window, messagePoint(lParam)); return 0;
        case WM_LBUTTONUP: onClick(messagePoint(lParam)); return 0;
        case WM_MOUSELEAVE:
            setHoverTargets(false, false);
            SetCursor(LoadCursorW(nullptr, IDC_ARROW));
            return 0;
        default: break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace kiv
