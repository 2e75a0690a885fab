// The shared window state and the reporting operations, on real (hidden)
// windows under Wine.
#include "ui/ui.h"

#include <commctrl.h>
#include <gdiplus.h>
#include <gtest/gtest.h>

#include <functional>
#include <tuple>
#include <utility>

namespace kiv {
namespace {

std::wstring windowText(HWND window) {
    wchar_t buffer[256] = {};
    GetWindowTextW(window, buffer, 256);
    return buffer;
}

std::tuple<LONG, LONG, LONG, LONG> corners(const RECT& r) { return {r.left, r.top, r.right, r.bottom}; }

class WindowState : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        ULONG_PTR token = 0;
        Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(&token, &input, nullptr);
    }

    void SetUp() override {
        window_ = CreateWindowExW(0, L"STATIC", L"state", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 800, 660, nullptr,
                                  nullptr, nullptr, nullptr);
        auto child = [&](const wchar_t* className) {
            return CreateWindowExW(0, className, L"", WS_CHILD, 0, 0, 1, 1, window_, nullptr, nullptr, nullptr);
        };
        versionStatusLabel = child(L"STATIC");
        downloadProgressBar = child(PROGRESS_CLASSW);
        downloadStatusLabel = child(L"STATIC");
        versionProgressBar = child(PROGRESS_CLASSW);
        other_ = child(L"STATIC");
        mainWindow = window_;
    }

    void TearDown() override {
        DestroyWindow(window_);
        mainWindow = versionStatusLabel = downloadStatusLabel = versionProgressBar = downloadProgressBar = nullptr;
        for (auto& slot : images) {
            if (auto* image = std::exchange(slot, nullptr)) Gdiplus::DllExports::GdipDisposeImage(image);
        }
        clientReady = false;
    }

    bool bandIsInvalid() {
        RECT update{};
        return GetUpdateRect(window_, &update, FALSE) && update.top <= 440 && update.bottom >= 620;
    }

    HWND window_ = nullptr;
    HWND other_ = nullptr;
};

TEST_F(WindowState, EachReportStoresThePaintedCopySetsItsCarrierAndInvalidatesTheBand) {
    WindowReporter reporter;
    const std::function<void()> reports[] = {
        [&] { reporter.setStatusText(StatusRow::version, L"Checking version"); },
        [&] { reporter.setStatusText(StatusRow::download, L"Total files (1/4)"); },
        [&] { reporter.setProgress(StatusRow::version, 25); },
        [&] { reporter.setProgress(StatusRow::download, 97); },
    };
    for (std::size_t i = 0; i < std::size(reports); ++i) {
        SCOPED_TRACE(i);
        ValidateRect(window_, nullptr);
        reports[i]();
        EXPECT_TRUE(bandIsInvalid());
    }
    const PaintedStatus painted = paintedStatus();
    EXPECT_EQ(std::tie(painted.versionStatusText, painted.downloadStatusText),
              std::tuple(L"Checking version", L"Total files (1/4)"));
    EXPECT_EQ(std::tie(painted.versionProgress, painted.downloadProgress), std::tuple(25, 97));
    EXPECT_EQ(windowText(downloadStatusLabel), L"Total files (1/4)");
    EXPECT_EQ(SendMessageW(versionProgressBar, PBM_GETPOS, 0, 0), 25);

    reporter.setTitle(L"KIV Client Ver. 58");
    reporter.setClientReady(true);
    EXPECT_EQ(windowText(window_), L"KIV Client Ver. 58");
    EXPECT_TRUE(clientReady);
}

TEST_F(WindowState, OtherControlsOnlyGetTheirTextAndNothingIsRepaintedBeforeTheWindowIsKnown) {
    setStatusText(versionStatusLabel, L"before");
    ValidateRect(window_, nullptr);
    setStatusText(other_, L"elsewhere");
    EXPECT_EQ(windowText(other_), L"elsewhere");
    EXPECT_EQ(paintedStatus().versionStatusText, L"before");
    EXPECT_FALSE(bandIsInvalid());

    mainWindow = nullptr;
    setStatusText(versionStatusLabel, L"early");
    EXPECT_EQ(paintedStatus().versionStatusText, L"early");
    EXPECT_FALSE(bandIsInvalid());
}

TEST_F(WindowState, GameStartAreaIsMeasuredFromItsOwnImageAndExitIsCentredBelowIt) {
    auto bitmap = [](int width, int height) {
        Gdiplus::GpBitmap* made = nullptr;
        Gdiplus::DllExports::GdipCreateBitmapFromScan0(width, height, 0, PixelFormat32bppARGB, nullptr, &made);
        return made;
    };
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

}  // namespace
}  // namespace kiv
