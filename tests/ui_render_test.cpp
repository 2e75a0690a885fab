// The status band painted into an off-screen bitmap: the main states against
// committed reference screenshots, and what those cannot show: values out of
// range, long texts, partial repaints, missing images.
#include "tests/launcher_canvas.h"

#include <gtest/gtest.h>

namespace kiv {
namespace {

using test::Canvas;
using test::closeTo;

class Render : public test::LauncherFixture {
protected:
    Canvas paint(int versionProgress, int downloadProgress) {
        windowState.setProgress(StatusRow::version, versionProgress);
        windowState.setProgress(StatusRow::download, downloadProgress);
        return Canvas();
    }
};

// Fault: a missing image leaves its place blank, so that a row loses its icon
// or a button cannot be seen. The shipped art is in the screenshots; without
// it each place shows its drawn stand-in, unlike the ground beside it.
TEST_F(Render, WithoutImagesEveryImagesPlaceShowsItsStandIn) {
    Canvas canvas = paint(0, 0);
    const RECT rowIcons[] = {{195, 464, 229, 498}, {195, 506, 229, 540}, {195, 546, 229, 580}};
    for (const RECT& place : {rowIcons[0], rowIcons[1], rowIcons[2], mainButtonRect(), exitButtonRect()}) {
        const std::uint32_t ground = canvas.pixel(place.left - 5, (place.top + place.bottom) / 2);
        const int area = (place.right - place.left) * (place.bottom - place.top);
        EXPECT_LT(canvas.inkIn(place, ground, 6), area / 2) << place.left << "," << place.top;
    }
}

// The length of the run of fill-coloured pixels along a bar's middle row.
int filledWidth(const Canvas& canvas, int y, std::uint32_t fill) {
    int last = 344;
    for (int x = 345; x < 445; ++x)
        if (closeTo(canvas.pixel(x, y), fill, 20)) last = x;
    return last - 344;
}

TEST_F(Render, BarsFillInProportionToTheirClampedValues) {
    // Below the bar's height there is no fill at all.
    for (auto [value, width] : {std::pair{1, 0}, std::pair{8, 8}, std::pair{150, 100}, std::pair{-5, 0}}) {
        Canvas canvas = paint(value, value);
        EXPECT_NEAR(filledWidth(canvas, 484, 0x3EB71C), width, 1) << "version bar at " << value;
        EXPECT_NEAR(filledWidth(canvas, 526, 0x349DE1), width, 1) << "download bar at " << value;
    }
}

TEST_F(Render, VersionValueReadsOkFromOneHundredAndTheDownloadPercentageIsClamped) {
    const RECT value{462, 471, 498, 495}, percentage{454, 513, 500, 537};
    Canvas zero = paint(0, 0), ninetyNine = paint(99, -5), hundred = paint(100, 100), over = paint(150, 150);
    // "OK" is written with more ink than "...".
    EXPECT_GT(hundred.inkIn(value, 0x2AA618), ninetyNine.inkIn(value, 0x2AA618));
    EXPECT_TRUE(hundred.sameIn(over, value) && hundred.sameIn(over, percentage));
    EXPECT_TRUE(ninetyNine.sameIn(zero, percentage));
    EXPECT_FALSE(zero.sameIn(hundred, percentage));
}

TEST_F(Render, LongStatusTextRunsPastItsRectangleOnOneLine) {
    windowState.setStatusText(StatusRow::version, L"Short");
    Canvas shortText = paint(0, 0);
    windowState.setStatusText(StatusRow::version, L"Short text that is far longer than its place in the row");
    Canvas longText = paint(0, 0);
    // The status rectangle ends at x 368.
    EXPECT_FALSE(longText.sameIn(shortText, RECT{369, 480, 460, 491}));
    EXPECT_TRUE(longText.sameIn(shortText, RECT{238, 493, 340, 500}));
}

TEST_F(Render, PartialRepaintDrawsOnlyItsRectangleAndMatchesAFullOne) {
    setImage(IDB_BANNER, 786, 180, 0x405060);
    windowState.setStatusText(StatusRow::version, L"Update available");
    Canvas full = paint(40, 60), partial(kStatusBand, 0);
    EXPECT_EQ(partial.pixel(785, 439), 0u);
    EXPECT_TRUE(partial.sameIn(full, kStatusBand));
}

TEST_F(Render, WithoutAPageTheLinkIsDrawnInsideItsClickableRectangle) {
    // The card itself is in the reference screenshots.
    Canvas canvas = paint(0, 0);
    const RECT link = kOpenInBrowserLink, around{link.left - 40, link.top - 4, link.right + 40, link.bottom + 4};
    EXPECT_GT(canvas.inkIn(link, 0x148FD8), 150);
    EXPECT_EQ(canvas.inkIn(around, 0x148FD8), canvas.inkIn(link, 0x148FD8));
}

// ---- Reference screenshots of the main states, with the shipped art -------------

TEST_F(Render, MainStatesMatchTheCommittedScreenshots) {
    ASSERT_TRUE(loadShippedImages());
    struct Screen {
        const char* name;
        const wchar_t *versionText, *downloadText;
        int versionProgress, downloadProgress;
        bool ready;
        int startHover, exitHover;
        RECT area = kStatusBand;  // the part compared
    };
    for (const Screen& screen :
         {Screen{"checking", L"Checking version", L"Please wait", 0, 0, false, 0, 0},
          Screen{"update_available", L"Update available", L"Press Update", 0, 0, false, 255, 0},
          Screen{"updating", L"Applying patches...", L"Downloading 2 of 3", 40, 65, false, 0, 0},
          Screen{"up_to_date", L"Version Check OK", L"Success", 100, 100, true, 0, 128},
          Screen{"server_not_reachable", L"Server not reachable", L"You can still play", 100, 100, true, 0, 0},
          // The news area without a page: the placeholder's card.
          Screen{"news_placeholder", L"Checking version", L"Please wait", 0, 0, false, 0, 0, {160, 84, 626, 310}}}) {
        SCOPED_TRACE(screen.name);
        windowState.setStatusText(StatusRow::version, screen.versionText);
        windowState.setStatusText(StatusRow::download, screen.downloadText);
        windowState.clientReady = screen.ready;
        windowState.startHoverLevel = screen.startHover;
        windowState.exitHoverLevel = screen.exitHover;
        long different = paint(screen.versionProgress, screen.downloadProgress)
                              .differencesFromReference(screen.name, screen.area, 40);
        // Glyph edges may differ between font rasterisers; anything else may not.
        const RECT& a = screen.area;
        EXPECT_TRUE(different >= 0 && different < (a.right - a.left) * (a.bottom - a.top) / 200)
            << different << " pixels differ (-1: no reference of that size)";
    }
}

}  // namespace
}  // namespace kiv
