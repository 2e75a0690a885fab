// The shared window state and the reporting operations, on real (hidden)
// windows under Wine.
#include "tests/support.h"
#include "ui/ui.h"

#include <commctrl.h>
#include <gdiplus.h>
#include <gtest/gtest.h>

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

TEST_F(WindowState, StatusTextStoresThePaintedCopyAndTheLabelText) {
    mainWindow = window_;
    ValidateRect(window_, nullptr);
    setStatusText(versionStatusLabel, L"Checking version");
    setStatusText(downloadStatusLabel, L"Please wait");
    PaintedStatus painted = paintedStatus();
    EXPECT_EQ(painted.versionStatusText, L"Checking version");
    EXPECT_EQ(painted.downloadStatusText, L"Please wait");
    EXPECT_EQ(windowText(versionStatusLabel), L"Checking version");
    EXPECT_EQ(windowText(downloadStatusLabel), L"Please wait");
    EXPECT_TRUE(bandIsInvalid());
}

TEST_F(WindowState, StatusTextOnAnotherControlOnlySetsItsText) {
    mainWindow = window_;
    setStatusText(versionStatusLabel, L"before");
    ValidateRect(window_, nullptr);
    setStatusText(other_, L"elsewhere");
    EXPECT_EQ(windowText(other_), L"elsewhere");
    EXPECT_EQ(paintedStatus().versionStatusText, L"before");
    EXPECT_FALSE(bandIsInvalid());
}

TEST_F(WindowState, ProgressStoresThePaintedCopyAndMovesTheBar) {
    mainWindow = window_;
    ValidateRect(window_, nullptr);
    setProgress(versionProgressBar, 25);
    setProgress(downloadProgressBar, 97);
    PaintedStatus painted = paintedStatus();
    EXPECT_EQ(painted.versionProgress, 25);
    EXPECT_EQ(painted.downloadProgress, 97);
    EXPECT_EQ(SendMessageW(versionProgressBar, PBM_GETPOS, 0, 0), 25);
    EXPECT_EQ(SendMessageW(downloadProgressBar, PBM_GETPOS, 0, 0), 97);
    EXPECT_TRUE(bandIsInvalid());
}

TEST_F(WindowState, RepaintRequestsBeforeTheWindowIsKnownAreSkipped) {
    mainWindow = nullptr;
    ValidateRect(window_, nullptr);
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

TEST_F(WindowState, ButtonAreasFollowTheImagesAndClientReady) {
    // Without images: the fallback sizes.
    RECT main = mainButtonRect();
    EXPECT_EQ(main.left, 550);
    EXPECT_EQ(main.top, 452);
    EXPECT_EQ(main.right, 778);
    EXPECT_EQ(main.bottom, 526);
    RECT exit = exitButtonRect();
    EXPECT_EQ(exit.left, 550);
    EXPECT_EQ(exit.top, 536);
    EXPECT_EQ(exit.right, 778);
    EXPECT_EQ(exit.bottom, 566);

    // With images of the shipped sizes.
    images[104 - kFirstImageId] = bitmap(279, 93);
    images[106 - kFirstImageId] = bitmap(226, 33);
    main = mainButtonRect();
    EXPECT_EQ(main.left, 499);
    EXPECT_EQ(main.right, 778);
    EXPECT_EQ(main.bottom, 545);
    exit = exitButtonRect();
    EXPECT_EQ(exit.left, 526);
    EXPECT_EQ(exit.top, 555);
    EXPECT_EQ(exit.right, 752);
    EXPECT_EQ(exit.bottom, 588);

    // "GAME START" is measured from its own image, which is missing here.
    clientReady = true;
    EXPECT_EQ(mainButtonRect().left, 550);
}

TEST(PointInRect, IsHalfOpen) {
    RECT rect{499, 452, 778, 545};
    EXPECT_TRUE(pointInRect(rect, 499, 452));
    EXPECT_TRUE(pointInRect(rect, 777, 544));
    EXPECT_FALSE(pointInRect(rect, 778, 500));
    EXPECT_FALSE(pointInRect(rect, 600, 545));
    EXPECT_FALSE(pointInRect(rect, 498, 500));
}

}  // namespace
}  // namespace kiv
