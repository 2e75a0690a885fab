// The window procedure in this process: creation and teardown, the hover
// animation and its timer, cursors and the EXIT button.
#include "tests/launcher_canvas.h"
#include "ui/browser_host.h"
#include "tests/support.h"
#include "ui/ui.h"

#include <objidl.h>
#include <gdiplus.h>
#include <gtest/gtest.h>

#include <functional>
#include <vector>


namespace kiv {
namespace {

class WindowProcedure : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        OleInitialize(nullptr);
        test::startGraphicsOnce();
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = windowProcedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.lpszClassName = kWindowClassName;
        RegisterClassExW(&windowClass);
    }
    static void TearDownTestSuite() { OleUninitialize(); }

    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, kLauncherRegistryKey);
        // No server answers here: the version check ends quickly.
        workerBaseUrl = L"http://127.0.0.1:9/kiv/";
        Gdiplus::DllExports::GdipNewPrivateFontCollection(&privateFonts);
        startHoverTarget = exitHoverTarget = false;
        startHoverLevel = exitHoverLevel = 0;
        RECT outer{0, 0, 786, 620};
        AdjustWindowRect(&outer, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN, FALSE);
        window_ = CreateWindowExW(0, kWindowClassName, L"KIV Launcher", WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX |
                                  WS_CLIPCHILDREN, 40, 40, outer.right - outer.left, outer.bottom - outer.top, nullptr,
                                  nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(window_, nullptr);
        mainWindow = window_;
        ShowWindow(window_, SW_SHOWNORMAL);
        UpdateWindow(window_);
        ASSERT_TRUE(pumpUntil([] { return !workerBusy; }, 20000)) << "the version check did not end";
    }

    void TearDown() override {
        if (IsWindow(window_)) DestroyWindow(window_);
        pumpUntil([] { return !workerBusy; }, 20000);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
        mainWindow = nullptr;
        clientReady = false;
        RegDeleteTreeW(HKEY_CURRENT_USER, kLauncherRegistryKey);
        SetCursorPos(1200, 1000);
    }

    // Runs the message loop until `done` holds or `limitMs` have passed;
    // every WM_TIMER of the animation timer is seen by `onTick`.
    bool pumpUntil(const std::function<bool()>& done, DWORD limitMs, const std::function<void()>& onTick = {}) {
        const DWORD start = GetTickCount();
        while (!done()) {
            if (GetTickCount() - start > limitMs) return false;
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                if (message.message == WM_QUIT) continue;
                TranslateMessage(&message);
                DispatchMessageW(&message);
                if (message.message == WM_TIMER && message.wParam == kAnimationTimer && onTick) onTick();
            }
            Sleep(1);
        }
        return true;
    }

    // Pumps until no animation tick has come for a while (the timer stopped), within a bound.
    std::vector<int> ticksUntilQuiet(int& level) {
        std::vector<int> seen;
        DWORD lastTick = GetTickCount();
        pumpUntil([&] { return GetTickCount() - lastTick > 400; }, 8000, [&] {
            seen.push_back(level);
            lastTick = GetTickCount();
        });
        return seen;
    }

    POINT screenPoint(int x, int y) {
        POINT point{x, y};
        ClientToScreen(window_, &point);
        return point;
    }

    static LPARAM at(int x, int y) { return MAKELPARAM(x, y); }
    static POINT centre(const RECT& r) { return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2}; }

    HWND window_ = nullptr;
};

TEST_F(WindowProcedure, CreationMakesFourHiddenCarriersInOrder) {
    const HWND expected[] = {versionStatusLabel, downloadProgressBar, downloadStatusLabel, versionProgressBar};
    std::size_t index = 0;
    for (HWND child = GetWindow(window_, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        // The news page's host, when the browser control could be made.
        if (IsWindowVisible(child) && child == GetWindow(window_, GW_CHILD)) continue;
        ASSERT_LT(index, 4u) << "more than four carriers";
        SCOPED_TRACE(index);
        EXPECT_EQ(child, expected[index]);
        EXPECT_FALSE(IsWindowVisible(child));
        ++index;
    }
    EXPECT_EQ(index, 4u);
    // No kiv.ver beside this program: the version check reports its failure.
    EXPECT_EQ(paintedStatus().versionStatusText, L"Version check failed");
    EXPECT_EQ(paintedStatus().downloadStatusText, L"Press Update");
    EXPECT_EQ(SendMessageW(window_, WM_ERASEBKGND, 0, 0), 1);
}

TEST_F(WindowProcedure, HoverFadesInAndOutAndTheTimerStopsByItself) {
    SetCursorPos(screenPoint(640, 500).x, screenPoint(640, 500).y);
    SendMessageW(window_, WM_MOUSEMOVE, 0, at(640, 500));
    EXPECT_TRUE(startHoverTarget);
    EXPECT_FALSE(exitHoverTarget);
    EXPECT_EQ(ticksUntilQuiet(startHoverLevel), (std::vector<int>{42, 84, 126, 168, 210, 252, 255, 255}));
    EXPECT_FALSE(KillTimer(window_, kAnimationTimer)) << "the animation timer still runs";

    // Straight out of the window: the leave notification clears the targets.
    SetCursorPos(1200, 1000);
    SendMessageW(window_, WM_MOUSELEAVE, 0, 0);
    EXPECT_FALSE(startHoverTarget);
    EXPECT_EQ(ticksUntilQuiet(startHoverLevel), (std::vector<int>{213, 171, 129, 87, 45, 3, 0, 0}));
    EXPECT_FALSE(KillTimer(window_, kAnimationTimer));
    EXPECT_EQ(exitHoverLevel, 0);
}

TEST_F(WindowProcedure, UnchangedHoverTargetsStartNoTimer) {
    setHoverTargets(false, false);
    EXPECT_FALSE(KillTimer(window_, kAnimationTimer));
    SendMessageW(window_, WM_MOUSEMOVE, 0, at(20, 600));
    EXPECT_FALSE(KillTimer(window_, kAnimationTimer));
}

TEST_F(WindowProcedure, TimerKeepsTickingWhileAWorkerRuns) {
    SetCursorPos(1200, 1000);
    workerBusy = true;
    SetTimer(window_, kAnimationTimer, kAnimationPeriodMs, nullptr);
    int ticks = 0;
    pumpUntil([&] { return ticks >= 5; }, 5000, [&] { ++ticks; });
    EXPECT_GE(ticks, 5);
    workerBusy = false;
    EXPECT_EQ(ticksUntilQuiet(startHoverLevel).size(), 1u);
    EXPECT_FALSE(KillTimer(window_, kAnimationTimer));
}

TEST_F(WindowProcedure, HandCursorOnlyOverTheButtons) {
    HCURSOR hand = LoadCursorW(nullptr, IDC_HAND);
    const POINT exitCentre = centre(exitButtonRect());
    POINT exit = screenPoint(exitCentre.x, exitCentre.y);
    SetCursorPos(exit.x, exit.y);
    EXPECT_EQ(SendMessageW(window_, WM_SETCURSOR, reinterpret_cast<WPARAM>(window_), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)),
              1);
    EXPECT_EQ(GetCursor(), hand);
    SendMessageW(window_, WM_MOUSEMOVE, 0, at(exitCentre.x, exitCentre.y));
    EXPECT_TRUE(exitHoverTarget);
    EXPECT_FALSE(startHoverTarget);

    POINT band = screenPoint(60, 600);
    SetCursorPos(band.x, band.y);
    SendMessageW(window_, WM_SETCURSOR, reinterpret_cast<WPARAM>(window_), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    EXPECT_NE(GetCursor(), hand);
    SendMessageW(window_, WM_MOUSEMOVE, 0, at(60, 600));
    EXPECT_FALSE(exitHoverTarget);
}

std::vector<std::wstring> opened;
void recordOpened(const std::wstring& url) { opened.push_back(url); }

TEST_F(WindowProcedure, WithoutAPageTheLinkInTheNewsAreaOpensThePageInTheBrowser) {
    // No browser engine here: the news area shows the placeholder.
    ASSERT_TRUE(newsPlaceholderShown());
    opened.clear();
    auto* shellOpen = openPageInBrowser;
    openPageInBrowser = recordOpened;
    const POINT link = centre(kOpenInBrowserLink);
    HCURSOR hand = LoadCursorW(nullptr, IDC_HAND);
    struct Case {
        POINT at;
        bool isLink;
    };
    for (Case c : {Case{link, true}, Case{POINT{kOpenInBrowserLink.left - 2, link.y}, false},
                   Case{POINT{link.x, kOpenInBrowserLink.bottom}, false}, Case{POINT{393, 150}, false}}) {
        SCOPED_TRACE(testing::Message() << c.at.x << "," << c.at.y);
        const POINT screen = screenPoint(c.at.x, c.at.y);
        SetCursorPos(screen.x, screen.y);
        SendMessageW(window_, WM_SETCURSOR, reinterpret_cast<WPARAM>(window_), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
        EXPECT_EQ(GetCursor() == hand, c.isLink);
        SendMessageW(window_, WM_LBUTTONUP, 0, at(c.at.x, c.at.y));
        EXPECT_EQ(opened, c.isLink ? std::vector<std::wstring>{launcherPageUrl()} : std::vector<std::wstring>{});
        opened.clear();
    }
    openPageInBrowser = shellOpen;
}

TEST_F(WindowProcedure, ExitStoresThePositionAndEndsTheLoop) {
    RECT frame{};
    GetWindowRect(window_, &frame);
    // A release anywhere but over a button is no click.
    SendMessageW(window_, WM_LBUTTONUP, 0, at(60, 600));
    ASSERT_TRUE(IsWindow(window_));
    const POINT exit = centre(exitButtonRect());
    SendMessageW(window_, WM_LBUTTONUP, 0, at(exit.x, exit.y));
    EXPECT_FALSE(IsWindow(window_));
    MSG message{};
    EXPECT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(message.wParam, 0u);
    EXPECT_EQ(privateFonts, nullptr);
    for (auto* slot : images) EXPECT_EQ(slot, nullptr);
    test::expectStoredPosition(frame);
}

TEST_F(WindowProcedure, CloseBoxClosesThroughTheSamePath) {
    RECT frame{};
    GetWindowRect(window_, &frame);
    SendMessageW(window_, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(window_));
    test::expectStoredPosition(frame);
}

}  // namespace
}  // namespace kiv
