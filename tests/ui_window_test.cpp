// The window procedure in this process: the hover animation and its timer,
// cursors and clicks over the buttons and the news link, and closing.
#include "tests/launcher_canvas.h"
#include "ui/browser_host.h"
#include "ui/ui.h"

#include <objidl.h>
#include <gdiplus.h>
#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace kiv {
namespace {

using test::waitUntil;

class WindowProcedure : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        OleInitialize(nullptr);
        test::startGraphicsOnce();
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = windowProcedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.lpszClassName = kWindowClassName;
        RegisterClassW(&windowClass);
    }

    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, kLauncherRegistryKey);
        SetCursorPos(1200, 1000);
        // No server answers here: the version check ends quickly.
        workerBaseUrl = L"http://127.0.0.1:9/kiv/";
        Gdiplus::DllExports::GdipNewPrivateFontCollection(&privateFonts);
        windowState.startHoverTarget = windowState.exitHoverTarget = false;
        windowState.startHoverLevel = windowState.exitHoverLevel = 0;
        // A frameless window: its client area is the launcher's 786 x 620.
        window_ = CreateWindowExW(0, kWindowClassName, L"KIV Launcher", WS_POPUP | WS_VISIBLE, 40, 40, 786, 620,
                                  nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(window_, nullptr);
        windowState.mainWindow = window_;
        ASSERT_TRUE(waitUntil([] { return !windowState.workerBusy; }, 20000)) << "the version check did not end";
    }

    void TearDown() override {
        if (IsWindow(window_)) DestroyWindow(window_);
        waitUntil([] { return !windowState.workerBusy; }, 20000);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
        windowState.mainWindow = nullptr;
    }

    // The hover level of the main button at each animation tick until no tick
    // has come for a while (the timer stopped), within a bound.
    std::vector<int> ticksUntilQuiet() {
        std::vector<int> seen;
        DWORD lastTick = GetTickCount();
        waitUntil([&] { return GetTickCount() - lastTick > 400; }, 8000, [&] {
            seen.push_back(windowState.startHoverLevel);
            lastTick = GetTickCount();
        });
        return seen;
    }

    // Puts the pointer at a client point and tells the window, as a move would.
    void pointAt(POINT at) {
        POINT screen = at;
        ClientToScreen(window_, &screen);
        SetCursorPos(screen.x, screen.y);
        SendMessageW(window_, WM_MOUSEMOVE, 0, MAKELPARAM(at.x, at.y));
    }

    static POINT centre(const RECT& r) { return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2}; }

    HWND window_ = nullptr;
};

TEST_F(WindowProcedure, HoverFadesInAndOutAndTheTimerRunsOnlyWhileALevelMoves) {
    // A move that changes no target starts no timer.
    pointAt(POINT{20, 600});
    EXPECT_FALSE(KillTimer(window_, kAnimationTimer));

    pointAt(POINT{640, 500});
    EXPECT_EQ(ticksUntilQuiet(), (std::vector<int>{42, 84, 126, 168, 210, 252, 255, 255}));
    EXPECT_FALSE(KillTimer(window_, kAnimationTimer)) << "the animation timer still runs";

    // Straight out of the window: the leave notification clears the targets.
    SetCursorPos(1200, 1000);
    SendMessageW(window_, WM_MOUSELEAVE, 0, 0);
    EXPECT_FALSE(windowState.startHoverTarget);
    EXPECT_EQ(ticksUntilQuiet(), (std::vector<int>{213, 171, 129, 87, 45, 3, 0, 0}));
    EXPECT_FALSE(KillTimer(window_, kAnimationTimer));
    EXPECT_EQ(windowState.exitHoverLevel, 0);
}

TEST_F(WindowProcedure, WhileAWorkerRunsTheMainButtonDoesNothingAndTheTimerKeepsTicking) {
    windowState.workerBusy = true;
    const POINT main = centre(mainButtonRect());
    SendMessageW(window_, WM_LBUTTONUP, 0, MAKELPARAM(main.x, main.y));
    EXPECT_FALSE(KillTimer(window_, kAnimationTimer)) << "a click started an update";
    SetTimer(window_, kAnimationTimer, kAnimationPeriodMs, nullptr);
    int ticks = 0;
    EXPECT_TRUE(waitUntil([&] { return ticks >= 5; }, 5000, [&] { ++ticks; })) << "the timer stopped";
    windowState.workerBusy = false;
    EXPECT_EQ(ticksUntilQuiet().size(), 1u);
    EXPECT_FALSE(KillTimer(window_, kAnimationTimer));
}

std::vector<std::wstring> opened;

// The areas are half-open: their left and top edges belong to them, their
// right and bottom edges do not.
TEST_F(WindowProcedure, TheHandCursorHoverAndClicksFollowTheButtonsAndTheNewsLink) {
    // No browser engine here: the news area shows the placeholder.
    ASSERT_TRUE(newsPlaceholderShown());
    auto* shellOpen = openPageInBrowser;
    openPageInBrowser = [](const std::wstring& url) { opened.push_back(url); };
    const RECT link = kOpenInBrowserLink;
    struct Row {
        const char* name;
        POINT at;
        bool hand, startHover, exitHover;
    };
    const Row rows[] = {
        {"main button", centre(mainButtonRect()), true, true, false},
        {"EXIT", centre(exitButtonRect()), true, false, true},
        {"link, top left", {link.left, link.top}, true, false, false},
        {"link, bottom right", {link.right - 1, link.bottom - 1}, true, false, false},
        {"left of the link", {link.left - 1, link.top}, false, false, false},
        {"right of the link", {link.right, link.top}, false, false, false},
        {"below the link", {link.left, link.bottom}, false, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        pointAt(row.at);
        EXPECT_EQ(windowState.startHoverTarget, row.startHover);
        EXPECT_EQ(windowState.exitHoverTarget, row.exitHover);
        SendMessageW(window_, WM_SETCURSOR, reinterpret_cast<WPARAM>(window_), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
        EXPECT_EQ(GetCursor() == LoadCursorW(nullptr, IDC_HAND), row.hand);
        if (row.startHover || row.exitHover) continue;
        // A release over the link opens the page in the browser; elsewhere it does nothing.
        opened.clear();
        SendMessageW(window_, WM_LBUTTONUP, 0, MAKELPARAM(row.at.x, row.at.y));
        EXPECT_EQ(opened, row.hand ? std::vector<std::wstring>{launcherPageUrl()} : std::vector<std::wstring>{});
        EXPECT_TRUE(IsWindow(window_));
    }
    openPageInBrowser = shellOpen;
}

TEST_F(WindowProcedure, ExitStoresThePositionReleasesTheResourcesAndEndsTheLoop) {
    RECT frame{};
    GetWindowRect(window_, &frame);
    const POINT exit = centre(exitButtonRect());
    SendMessageW(window_, WM_LBUTTONUP, 0, MAKELPARAM(exit.x, exit.y));
    EXPECT_FALSE(IsWindow(window_));
    MSG message{};
    EXPECT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(message.wParam, 0u);
    EXPECT_EQ(privateFonts, nullptr);
    for (auto* slot : windowState.images) EXPECT_EQ(slot, nullptr);
    test::expectStoredPosition(frame);
}

}  // namespace
}  // namespace kiv
