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
std::atomic<bool> restartLauncher{false};
bool startHoverTarget = false;
bool exitHoverTarget = false;

namespace {

constexpr int kHoverStep = 42;

BrowserHost* newsView = nullptr;

void versionCheckWorker() {
    WindowReporter reporter;
    runVersionCheck(launcherDirectory(), workerBaseUrl, reporter, {.releasePublicKey = builtInReleasePublicKey()});
}

void updateWorker() {
    WindowReporter reporter;
    UpdateOptions options;
    options.launcherFileName = toWide(launcherProgramPath().filename());
    options.launcherReplaced = [] {
        restartLauncher = true;
        PostMessageW(mainWindow, WM_CLOSE, 0, 0);
    };
    options.releasePublicKey = builtInReleasePublicKey();
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
    for (int slot = 0; slot < kImageCount; ++slot) images[static_cast<std::size_t>(slot)] = loadPngResource(kFirstImageId + slot);

    // Without the browser control the upper area shows the placeholder.
    newsView = new (std::nothrow) BrowserHost();
    if (newsView != nullptr) newsView->create(window, kNewsArea, launcherPageUrl());

    versionStatusLabel = createCarrier(window, L"STATIC", L"Ready to update");
    downloadProgressBar = createCarrier(window, PROGRESS_CLASSW, L"");
    downloadStatusLabel = createCarrier(window, L"STATIC", L"Updating");
    versionProgressBar = createCarrier(window, PROGRESS_CLASSW, L"");
    SendMessageW(versionProgressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendMessageW(downloadProgressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    createControlFont(versionStatusLabel, 8, 400);
    createControlFont(downloadStatusLabel, 8, 400);
    setStatusText(versionStatusLabel, L"Ready to update");
    setStatusText(downloadStatusLabel, L"Press Update");

    startWorker(versionCheckWorker);
}

void onDestroy(HWND window) {
    KillTimer(window, kAnimationTimer);
    if (newsView != nullptr) {
        newsView->close();
        newsView->Release();
        newsView = nullptr;
    }
    for (auto& slot : images) {
        if (slot != nullptr) Gdiplus::DllExports::GdipDisposeImage(slot);
        slot = nullptr;
    }
    if (privateFonts != nullptr) Gdiplus::DllExports::GdipDeletePrivateFontCollection(&privateFonts);
    privateFonts = nullptr;
    versionStatusLabel = downloadStatusLabel = versionProgressBar = downloadProgressBar = nullptr;
    PostQuitMessage(0);
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
        if (clientReady) {
            startGame();
            return;
        }
        // Only the main thread sets workerBusy, so a worker that is not
        // running now cannot start before startWorker below claims the flag.
        if (workerBusy) return;
        SetTimer(mainWindow, kAnimationTimer, kAnimationPeriodMs, nullptr);
        startWorker(updateWorker);
        return;
    }
    if (pointInRect(exitButtonRect(), point.x, point.y)) {
        saveWindowPositionAndClose(mainWindow);
        return;
    }
    if (overNewsLink(point.x, point.y)) openPageInBrowser(launcherPageUrl());
}

void onAnimationTick(HWND window) {
    bool startHover = false, exitHover = false;
    POINT cursor{};
    if (GetCursorPos(&cursor) && WindowFromPoint(cursor) == mainWindow) {
        ScreenToClient(mainWindow, &cursor);
        exitHover = pointInRect(exitButtonRect(), cursor.x, cursor.y);
        startHover = pointInRect(mainButtonRect(), cursor.x, cursor.y);
    }
    setHoverTargets(startHover, exitHover);
    bool startChanged = stepHoverLevel(startHoverLevel, startHoverTarget);
    bool exitChanged = stepHoverLevel(exitHoverLevel, exitHoverTarget);
    if (!startChanged && !exitChanged) {
        // While a worker runs the timer keeps ticking.
        if (!workerBusy) KillTimer(window, kAnimationTimer);
        return;
    }
    invalidateStatusBand();
}

}  // namespace

void setHoverTargets(bool start, bool exit) {
    if (start == startHoverTarget && exit == exitHoverTarget) return;
    startHoverTarget = start;
    exitHoverTarget = exit;
    SetTimer(mainWindow, kAnimationTimer, kAnimationPeriodMs, nullptr);
    invalidateStatusBand();
}

bool newsPlaceholderShown() { return newsView == nullptr || !newsView->showsPage(); }

bool translateNewsPageKey(MSG& message) { return newsView != nullptr && newsView->translateAccelerator(message); }

bool stepHoverLevel(int& level, bool target) {
    const int goal = target ? 255 : 0;
    const int before = level;
    if (level < goal) level = std::min(level + kHoverStep, goal);
    if (level > goal) level = std::max(level - kHoverStep, goal);
    return level != before;
}

LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        onCreate(window);
        return 0;
    case WM_DESTROY:
        onDestroy(window);
        return 0;
    case WM_PAINT:
        paintWindow(window);
        return 0;
    case WM_CLOSE:
        saveWindowPositionAndClose(mainWindow.load() != nullptr ? mainWindow.load() : window);
        return 0;
    case WM_ERASEBKGND:
        return 1;
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
    case WM_MOUSEMOVE:
        onMouseMove(window, messagePoint(lParam));
        return 0;
    case WM_LBUTTONUP:
        onClick(messagePoint(lParam));
        return 0;
    case WM_MOUSELEAVE:
        setHoverTargets(false, false);
        SetCursor(LoadCursorW(nullptr, IDC_ARROW));
        return 0;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace kiv
