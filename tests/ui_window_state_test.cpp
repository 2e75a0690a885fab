// The shared window state and the reporting operations, on real (hidden)
// windows under Wine.
#include "tests/support.h"
#include "ui/ui.h"

#include <commctrl.h>
#include <gdiplus.h>
#include <gtest/gtest.h>

#include <tuple>

namespace kiv {
namespace {

std::wstring windowText(HWND window) {
    wchar_t buffer[256] = {};
    GetWindowTextW(window, buffer, 256);
    return buffer;
}

class WindowState : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(&gdiplusToken, &input, nullptr);
    }
    static void TearDownTestSuite() { Gdiplus::GdiplusShutdown(gdiplusToken); }

    void SetUp() override {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"KivStateTest";
        RegisterClassW(&windowClass);
        window_ = CreateWindowExW(0, L"KivStateTest", L"state", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 800, 660, nullptr,
                                  nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(window_, nullptr);
        auto child = [&](const wchar_t* className) {
            return CreateWindowExW(0, className, L"", WS_CHILD, 0, 0, 1, 1, window_, nullptr,
                                   GetModuleHandleW(nullptr), nullptr);
        };
        versionStatusLabel = child(L"STATIC");
        downloadProgressBar = child(L"msctls_progress32");
        downloadStatusLabel = child(L"STATIC");
        versionProgressBar = child(L"msctls_progress32");
        SendMessageW(versionProgressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        SendMessageW(downloadProgressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        other_ = child(L"STATIC");
    }

    void TearDown() override {
        DestroyWindow(window_);
        mainWindow = versionStatusLabel = downloadStatusLabel = versionProgressBar = downloadProgressBar = nullptr;
        for (auto& slot : images) {
            if (slot != nullptr) Gdiplus::DllExports::GdipDisposeImage(slot);
            slot = nullptr;
        }
        clientReady = false;
    }

    static Gdiplus::GpImage* bitmap(int width, int height) {
        Gdiplus::GpBitmap* made = nullptr;
        Gdiplus::DllExports::GdipCreateBitmapFromScan0(width, height, 0, PixelFormat32bppARGB, nullptr, &made);
        return made;
    }

    bool bandIsInvalid() {
        RECT update{};
        return GetUpdateRect(window_, &update, FALSE) && update.top <= 440 && update.bottom >= 620;
    }

    static ULONG_PTR gdiplusToken;
    HWND window_ = nullptr;
    HWND other_ = nullptr;
};
ULONG_PTR WindowState::gdiplusToken = 0;

TEST_F(WindowState, StatusAndProgressStoreThePaintedCopiesMoveTheCarriersAndInvalidateTheBand) {
    mainWindow = window_;
    ValidateRect(window_, nullptr);
    setStatusText(versionStatusLabel, L"Checking version");
    setStatusText(downloadStatusLabel, L"Please wait");
    setProgress(versionProgressBar, 25);
    setProgress(downloadProgressBar, 97);
    PaintedStatus painted = paintedStatus();
    EXPECT_EQ(painted.versionStatusText, L"Checking version");
    EXPECT_EQ(painted.downloadStatusText, L"Please wait");
    EXPECT_EQ(painted.versionProgress, 25);
    EXPECT_EQ(painted.downloadProgress, 97);
    EXPECT_EQ(windowText(versionStatusLabel), L"Checking version");
    EXPECT_EQ(SendMessageW(versionProgressBar, PBM_GETPOS, 0, 0), 25);
    EXPECT_TRUE(bandIsInvalid());
}

TEST_F(WindowState, OnlyTheBandCarriersOfAKnownWindowRequestARepaint) {
    // Another control only gets its text.
    mainWindow = window_;
    setStatusText(versionStatusLabel, L"before");
    ValidateRect(window_, nullptr);
    setStatusText(other_, L"elsewhere");
    EXPECT_EQ(windowText(other_), L"elsewhere");
    EXPECT_EQ(paintedStatus().versionStatusText, L"before");
    EXPECT_FALSE(bandIsInvalid());
    // Before the window is known, the copy is stored and no repaint requested.
    mainWindow = nullptr;
    setStatusText(versionStatusLabel, L"early");
    EXPECT_EQ(paintedStatus().versionStatusText, L"early");
    EXPECT_FALSE(bandIsInvalid());
}

TEST_F(WindowState, ReporterDrivesTheCarriersAndTheTitle) {
    mainWindow = window_;
    WindowReporter reporter;
    reporter.setStatusText(StatusRow::download, L"Total files (1/4)");
    reporter.setProgress(StatusRow::version, 50);
    reporter.setTitle(L"KIV Client Ver. 58");
    reporter.setClientReady(true);
    EXPECT_EQ(paintedStatus().downloadStatusText, L"Total files (1/4)");
    EXPECT_EQ(SendMessageW(versionProgressBar, PBM_GETPOS, 0, 0), 50);
    EXPECT_EQ(windowText(window_), L"KIV Client Ver. 58");
    EXPECT_TRUE(clientReady);
}

std::tuple<LONG, LONG, LONG, LONG> corners(const RECT& r) { return {r.left, r.top, r.right, r.bottom}; }

TEST_F(WindowState, GameStartAreaIsMeasuredFromItsOwnImageAndExitFollowsIt) {
    images[104 - kFirstImageId] = bitmap(279, 93);
    images[106 - kFirstImageId] = bitmap(226, 33);
    EXPECT_EQ(corners(mainButtonRect()), corners(RECT{499, 452, 778, 545}));
    EXPECT_EQ(corners(exitButtonRect()), corners(RECT{526, 555, 752, 588}));
    // Once the client is ready, "GAME START" (missing here) takes its fallback
    // size, and EXIT stays centred 10 pixels below it.
    clientReady = true;
    EXPECT_EQ(corners(mainButtonRect()), corners(RECT{550, 452, 778, 526}));
    EXPECT_EQ(corners(exitButtonRect()), corners(RECT{551, 536, 777, 569}));
}

TEST(PointInRect, IsHalfOpen) {
    RECT rect{499, 452, 778, 545};
    EXPECT_TRUE(pointInRect(rect, 499, 452) && pointInRect(rect, 777, 544));
    EXPECT_FALSE(pointInRect(rect, 778, 500));
    EXPECT_FALSE(pointInRect(rect, 600, 545));
    EXPECT_FALSE(pointInRect(rect, 498, 500));
}

}  // namespace
}  // namespace kiv
