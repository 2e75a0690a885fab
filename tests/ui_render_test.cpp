// The status band painted into an off-screen bitmap: colours, bar widths,
// value texts, button rectangles, cross-fades and fallbacks, and the main
// states against committed reference screenshots.
#include "tests/launcher_canvas.h"

#include <gtest/gtest.h>

namespace kiv {
namespace {

using test::Canvas;
using test::closeTo;

constexpr std::uint32_t kClear = 0xC2E8F7;
constexpr std::uint32_t kRed = 0xD02020, kBlue = 0x2020D0, kGreen = 0x20A040, kMagenta = 0xC020C0;

class Render : public test::LauncherFixture {
protected:
    Canvas paint(int versionProgress, int downloadProgress) {
        setProgress(versionProgressBar, versionProgress);
        setProgress(downloadProgressBar, downloadProgress);
        return Canvas();
    }
};

// The background under the panel: clear colour with the band's veil.
std::uint32_t veiled(int y) {
    double t = (y + 0.5 - 440) / 180.0;
    return test::blend(kClear, 0xFFFFFF, (0x23 + (0x0A - 0x23) * t) / 255.0);
}

TEST_F(Render, WithoutImagesTheClearColourShowsUnderTheVeilAndBadgesStandInForTheRowIcons) {
    Canvas canvas = paint(0, 0);
    EXPECT_EQ(canvas.pixel(10, 10), kClear);
    for (int y : {450, 615}) EXPECT_TRUE(closeTo(canvas.pixel(20, y), veiled(y), 3)) << std::hex << canvas.pixel(20, y);
    EXPECT_TRUE(closeTo(canvas.pixel(200, 481), 0x57B124, 8)) << std::hex << canvas.pixel(200, 481);
    EXPECT_TRUE(closeTo(canvas.pixel(200, 563), 0x43BC4D, 8)) << std::hex << canvas.pixel(200, 563);
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

TEST_F(Render, ButtonImagesFillTheirRectanglesAndCrossFadeWithTheHoverLevel) {
    // Solid stand-ins for the shipped art: normal red or green, hover blue or magenta.
    for (int id = 102; id <= 105; ++id) setImage(id, 279, 93, id % 2 == 0 ? kRed : kBlue);
    setImage(106, 226, 33, kGreen);
    setImage(107, 226, 33, kMagenta);
    startHoverLevel = exitHoverLevel = 128;
    Canvas canvas = paint(0, 0);
    const std::uint32_t mainFill = test::blend(kRed, kBlue, 128 / 255.0);
    const std::uint32_t exitFill = test::blend(kGreen, kMagenta, 128 / 255.0);
    // Each image's first and last pixel inside, and pixels just outside.
    for (auto [x, y, colour, inside] : {std::tuple{499, 452, mainFill, true}, {777, 544, mainFill, true},
                                        {498, 460, mainFill, false}, {640, 545, mainFill, false},
                                        {778, 460, mainFill, false}, {526, 555, exitFill, true},
                                        {751, 587, exitFill, true}, {525, 570, exitFill, false},
                                        {752, 570, exitFill, false}, {640, 588, exitFill, false}})
        EXPECT_EQ(closeTo(canvas.pixel(x, y), colour, 4), inside)
            << x << "," << y << " " << std::hex << canvas.pixel(x, y);
}

TEST_F(Render, MissingButtonImagesAreDrawnWithTheirFallbackSizesColoursAndCaptions) {
    EXPECT_EQ(test::rectTuple(mainButtonRect()), test::rectTuple(RECT{550, 452, 778, 526}));
    EXPECT_EQ(test::rectTuple(exitButtonRect()), test::rectTuple(RECT{550, 536, 778, 566}));
    const std::uint32_t unlitExit = test::blend(veiled(551), 0xFFFFF8, 0xEE / 255.0);
    for (auto [level, top, bottom, exit] : {std::tuple{127, 0x7EDF1Bu, 0x299E09u, unlitExit},
                                            std::tuple{128, 0x96EE2Du, 0x34B40Cu, 0xFAFFEBu}}) {
        startHoverLevel = exitHoverLevel = level;
        Canvas canvas = paint(0, 0);
        // Near the top and the bottom of the gradient, left of the caption.
        EXPECT_TRUE(closeTo(canvas.pixel(575, 456), top, 24)) << level << " " << std::hex << canvas.pixel(575, 456);
        EXPECT_TRUE(closeTo(canvas.pixel(575, 522), bottom, 24)) << level << " " << std::hex << canvas.pixel(575, 522);
        EXPECT_FALSE(closeTo(canvas.pixel(545, 490), 0x7EDF1B, 60)) << "left of the fallback button";
        EXPECT_TRUE(closeTo(canvas.pixel(556, 551), exit, 3)) << level << " " << std::hex << canvas.pixel(556, 551);
        EXPECT_GT(canvas.inkIn(RECT{560, 460, 768, 518}, 0xFFFFF5, 30), 50) << "main caption";
        EXPECT_GT(canvas.inkIn(RECT{560, 538, 768, 564}, 0x505C46, 40), 10) << "EXIT caption";
    }
}

TEST_F(Render, LongStatusTextRunsPastItsRectangleOnOneLine) {
    setStatusText(versionStatusLabel, L"Short");
    Canvas shortText = paint(0, 0);
    setStatusText(versionStatusLabel, L"Short text that is far longer than its place in the row");
    Canvas longText = paint(0, 0);
    // The status rectangle ends at x 368.
    EXPECT_FALSE(longText.sameIn(shortText, RECT{369, 480, 460, 491}));
    EXPECT_TRUE(longText.sameIn(shortText, RECT{238, 493, 340, 500}));
}

TEST_F(Render, PartialRepaintDrawsOnlyItsRectangleAndMatchesAFullOne) {
    setImage(101, 786, 180, 0x405060);
    setStatusText(versionStatusLabel, L"Update available");
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
        setStatusText(versionStatusLabel, screen.versionText);
        setStatusText(downloadStatusLabel, screen.downloadText);
        clientReady = screen.ready;
        startHoverLevel = screen.startHover;
        exitHoverLevel = screen.exitHover;
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
