// The shared window state, the reporting operations and the choice of the
// client's main window, on real windows under Wine.
#include "ui/ui.h"

#include <gdiplus.h>
#include <gtest/gtest.h>

#include <tuple>
#include <utility>

namespace kiv {
namespace {

std::tuple<LONG, LONG, LONG, LONG> corners(const RECT& r) { return {r.left, r.top, r.right, r.bottom}; }

class WindowStateTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ULONG_PTR token = 0;
        Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(&token, &input, nullptr);
    }

    void SetUp() override {
        window_ = CreateWindowExW(0, L"STATIC", L"state", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 800, 660, nullptr,
                                  nullptr, nullptr, nullptr);
        windowState.mainWindow = window_;
    }

    void TearDown() override {
        DestroyWindow(window_);
        windowState.mainWindow = nullptr;
        for (auto& slot : windowState.images) {
            if (auto* image = std::exchange(slot, nullptr)) Gdiplus::DllExports::GdipDisposeImage(image);
        }
        windowState.clientReady = false;
    }

    bool bandIsInvalid() {
        RECT update{};
        return GetUpdateRect(window_, &update, FALSE) && update.top <= 440 && update.bottom >= 620;
    }

    HWND window_ = nullptr;
};

// The reporter's status text and progress reach the painted copies of their
// own rows, and each report repaints the band: the client becoming ready
// too, as the main button and the CLIENT STATUS row show it.
TEST_F(WindowStateTest, EachReportStoresItsRowsPaintedCopyAndInvalidatesTheBand) {
    WindowReporter reporter;
    auto repaints = [&](auto report) {
        ValidateRect(window_, nullptr);
        report();
        return bandIsInvalid();
    };
    EXPECT_TRUE(repaints([&] { reporter.setStatusText(StatusRow::version, L"Checking version"); }));
    EXPECT_TRUE(repaints([&] { reporter.setStatusText(StatusRow::download, L"Total files (1/4)"); }));
    EXPECT_TRUE(repaints([&] { reporter.setProgress(StatusRow::version, 25); }));
    EXPECT_TRUE(repaints([&] { reporter.setProgress(StatusRow::download, 97); }));
    EXPECT_TRUE(repaints([&] { reporter.setClientReady(true); }));
    const PaintedStatus painted = windowState.paintedStatus();
    EXPECT_EQ(std::tie(painted[0].text, painted[1].text, painted[0].progress, painted[1].progress),
              std::tuple(L"Checking version", L"Total files (1/4)", 25, 97));
}

TEST_F(WindowStateTest, NothingIsRepaintedBeforeTheWindowIsKnown) {
    ValidateRect(window_, nullptr);
    windowState.mainWindow = nullptr;
    windowState.setStatusText(StatusRow::version, L"early");
    EXPECT_EQ(windowState.paintedStatus()[0].text, L"early");
    EXPECT_FALSE(bandIsInvalid());
}

TEST_F(WindowStateTest, GameStartAreaIsMeasuredFromItsOwnImageAndExitIsCentredBelowIt) {
    auto bitmap = [](int width, int height) {
        Gdiplus::GpBitmap* made = nullptr;
        Gdiplus::DllExports::GdipCreateBitmapFromScan0(width, height, 0, PixelFormat32bppARGB, nullptr, &made);
        return made;
    };
    windowState.images[IDB_UPDATE_BUTTON - kFirstImageId] = bitmap(279, 93);
    windowState.images[IDB_EXIT_BUTTON - kFirstImageId] = bitmap(226, 33);
    EXPECT_EQ(corners(mainButtonRect()), corners(RECT{499, 452, 778, 545}));
    EXPECT_EQ(corners(exitButtonRect()), corners(RECT{526, 555, 752, 588}));
    // Once the client is ready, "GAME START" (missing here) takes its fallback size.
    windowState.clientReady = true;
    EXPECT_EQ(corners(mainButtonRect()), corners(RECT{550, 452, 778, 526}));
}

// The window the launcher brings to the front after starting the game.
TEST_F(WindowStateTest, OnlyAVisibleUnownedEnabledNormalWindowIsTheClientsMainWindow) {
    WNDCLASSW helperClass{};
    helperClass.lpfnWndProc = DefWindowProcW;
    helperClass.lpszClassName = L"Gdi+Helper";
    RegisterClassW(&helperClass);
    auto isMain = [&](const wchar_t* title, DWORD style, DWORD extendedStyle = 0, HWND owner = nullptr,
                      const wchar_t* className = L"STATIC") {
        HWND window = CreateWindowExW(extendedStyle, className, title, style, 10, 10, 100, 100, owner, nullptr,
                                      nullptr, nullptr);
        const bool result = isClientMainWindow(window);
        DestroyWindow(window);
        return result;
    };
    const DWORD visible = WS_OVERLAPPEDWINDOW | WS_VISIBLE;
    EXPECT_TRUE(isMain(L"KIV Client", visible));
    EXPECT_TRUE(isMain(L"", visible));
    EXPECT_FALSE(isMain(L"hidden", WS_OVERLAPPEDWINDOW));
    EXPECT_FALSE(isMain(L"splash", WS_POPUP | WS_VISIBLE, 0, window_));
    EXPECT_FALSE(isMain(L"off", visible | WS_DISABLED));
    EXPECT_FALSE(isMain(L"tools", visible, WS_EX_TOOLWINDOW));
    // The helper windows of the graphics library, by title or by class, in any case.
    EXPECT_FALSE(isMain(L"a gdi+ window", visible));
    EXPECT_FALSE(isMain(L"plain", visible, 0, nullptr, L"Gdi+Helper"));

    // The search stops at such a window of the searched process only.
    ClientWindowSearch search{GetCurrentProcessId()};
    ClientWindowSearch other{GetCurrentProcessId() + 4};
    EXPECT_FALSE(findClientWindow(window_, reinterpret_cast<LPARAM>(&search)));
    EXPECT_TRUE(findClientWindow(window_, reinterpret_cast<LPARAM>(&other)));
    EXPECT_EQ(std::pair(search.window, other.window), std::pair(window_, HWND{}));
}

}  // namespace
}  // namespace kiv
