// The status band painted into an off-screen bitmap: colours, bar widths,
// value texts, button rectangles, cross-fades and fallbacks, and the main
// states against committed reference screenshots.
#include "tests/launcher_canvas.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace kiv {
namespace {

using test::Canvas;
using test::closeTo;

constexpr std::uint32_t kClear = 0xC2E8F7;
constexpr std::uint32_t kVersionFill = 0x3EB71C;
constexpr std::uint32_t kDownloadFill = 0x349DE1;
constexpr std::uint32_t kRed = 0xD02020, kBlue = 0x2020D0, kGreen = 0x20A040, kMagenta = 0xC020C0;

class Render : public test::LauncherFixture {
protected:
    // Solid stand-ins for the shipped art, so that every pixel is predictable.
    void useSolidImages() {
        setImage(101, 786, 180, 0x405060);
        setImage(102, 279, 93, kRed);
        setImage(103, 279, 93, kBlue);
        setImage(104, 279, 93, kRed);
        setImage(105, 279, 93, kBlue);
        setImage(106, 226, 33, kGreen);
        setImage(107, 226, 33, kMagenta);
    }

    Canvas paint(int versionProgress, int downloadProgress) {
        setProgress(versionProgressBar, versionProgress);
        setProgress(downloadProgressBar, downloadProgress);
        Canvas canvas;
        canvas.renderAll();
        return canvas;
    }
};

// The background under the panel: clear colour with the band's veil.
std::uint32_t veiled(std::uint32_t background, int y) {
    double t = (y + 0.5 - 440) / 180.0;
    double alpha = (0x23 + (0x0A - 0x23) * t) / 255.0;
    return test::blend(background, 0xFFFFFF, alpha);
}

TEST_F(Render, WithoutImagesTheClearColourShowsUnderTheVeilAndThePanel) {
    Canvas canvas = paint(0, 0);
    // The news area, with no page, round the placeholder's card.
    EXPECT_EQ(canvas.pixel(10, 10), kClear);
    EXPECT_EQ(canvas.pixel(785, 439), kClear);
    // No banner: the clear colour under the band's veil.
    for (int y : {450, 615}) EXPECT_TRUE(closeTo(canvas.pixel(20, y), veiled(kClear, y), 3)) << std::hex << canvas.pixel(20, y);
}

// The length of the run of fill-coloured pixels along a bar's middle row.
int filledWidth(const Canvas& canvas, int y, std::uint32_t fill) {
    int last = -1;
    for (int x = 345; x < 445; ++x)
        if (closeTo(canvas.pixel(x, y), fill, 20)) last = x;
    return last < 0 ? 0 : last - 345 + 1;
}

TEST_F(Render, BarsFillInProportionToTheirClampedValues) {
    struct Case {
        int value;
        int width;
    };
    for (Case c : {Case{1, 0}, Case{8, 8}, Case{150, 100}, Case{-5, 0}}) {
        Canvas canvas = paint(c.value, c.value);
        EXPECT_NEAR(filledWidth(canvas, 484, kVersionFill), c.width, 1) << "version bar at " << c.value;
        EXPECT_NEAR(filledWidth(canvas, 526, kDownloadFill), c.width, 1) << "download bar at " << c.value;
    }
}

TEST_F(Render, VersionValueReadsOkFromOneHundredAndTheDownloadPercentageIsClamped) {
    const RECT value{462, 471, 498, 495};
    Canvas zero = paint(0, 0), ninetyNine = paint(99, 0), hundred = paint(100, 0), over = paint(150, 0);
    EXPECT_FALSE(ninetyNine.sameIn(hundred, value));
    EXPECT_TRUE(hundred.sameIn(over, value));
    // "OK" is written with more ink than "...".
    EXPECT_GT(hundred.inkIn(value, 0x2AA618), ninetyNine.inkIn(value, 0x2AA618));

    const RECT percentage{454, 513, 500, 537};
    Canvas full = paint(0, 100), overFull = paint(0, 150), under = paint(0, -5);
    EXPECT_TRUE(overFull.sameIn(full, percentage));
    EXPECT_TRUE(under.sameIn(zero, percentage));
    EXPECT_FALSE(zero.sameIn(full, percentage));
}

TEST_F(Render, ButtonImagesFillTheirRectangles) {
    useSolidImages();
    // Each image's first and last pixel inside, and the pixels just outside.
    Canvas canvas = paint(0, 0);
    for (auto [x, y] : {std::pair{499, 452}, std::pair{777, 544}})
        EXPECT_TRUE(closeTo(canvas.pixel(x, y), kRed, 8)) << x << "," << y << " " << std::hex << canvas.pixel(x, y);
    for (auto [x, y] : {std::pair{498, 460}, std::pair{640, 545}, std::pair{778, 460}})
        EXPECT_FALSE(closeTo(canvas.pixel(x, y), kRed, 60)) << x << "," << y;
    for (auto [x, y] : {std::pair{526, 555}, std::pair{751, 587}})
        EXPECT_TRUE(closeTo(canvas.pixel(x, y), kGreen, 8)) << x << "," << y << " " << std::hex << canvas.pixel(x, y);
    for (auto [x, y] : {std::pair{525, 570}, std::pair{752, 570}, std::pair{640, 588}})
        EXPECT_FALSE(closeTo(canvas.pixel(x, y), kGreen, 60)) << x << "," << y;
}

TEST_F(Render, HoverLevelsCrossFadeTheButtonImages) {
    useSolidImages();
    // The ends are in the reference screenshots; a level between them blends.
    startHoverLevel = exitHoverLevel = 128;
    Canvas canvas = paint(0, 0);
    EXPECT_TRUE(closeTo(canvas.pixel(640, 500), test::blend(kRed, kBlue, 128 / 255.0), 4))
        << std::hex << canvas.pixel(640, 500);
    EXPECT_TRUE(closeTo(canvas.pixel(540, 570), test::blend(kGreen, kMagenta, 128 / 255.0), 4))
        << std::hex << canvas.pixel(540, 570);
}

TEST_F(Render, MissingButtonImagesAreDrawnWithTheirFallbackSizesAndColours) {
    EXPECT_EQ(test::rectTuple(mainButtonRect()), test::rectTuple(RECT{550, 452, 778, 526}));
    EXPECT_EQ(test::rectTuple(exitButtonRect()), test::rectTuple(RECT{550, 536, 778, 566}));
    for (int level : {127, 128}) {
        startHoverLevel = exitHoverLevel = level;
        Canvas canvas = paint(0, 0);
        bool lit = level >= 128;
        // Near the top of the gradient, left of the caption.
        std::uint32_t top = canvas.pixel(575, 456);
        EXPECT_TRUE(closeTo(top, lit ? 0x96EE2D : 0x7EDF1B, 24))
            << level << " " << std::hex << top;
        std::uint32_t bottom = canvas.pixel(575, 522);
        EXPECT_TRUE(closeTo(bottom, lit ? 0x34B40C : 0x299E09, 24)) << level << " " << std::hex << bottom;
        EXPECT_FALSE(closeTo(canvas.pixel(545, 490), 0x7EDF1B, 60)) << "left of the fallback button";
        std::uint32_t exitFill = canvas.pixel(556, 551);
        std::uint32_t under = veiled(kClear, 551);
        EXPECT_TRUE(closeTo(exitFill, lit ? 0xFAFFEB : test::blend(under, 0xFFFFF8, 0xEE / 255.0), 3))
            << level << " " << std::hex << exitFill;
    }
    // The captions are drawn in the fallbacks.
    startHoverLevel = exitHoverLevel = 0;
    Canvas canvas = paint(0, 0);
    EXPECT_GT(canvas.inkIn(RECT{560, 460, 768, 518}, 0xFFFFF5, 30), 50);
    EXPECT_GT(canvas.inkIn(RECT{560, 538, 768, 564}, 0x505C46, 40), 10);
}

TEST_F(Render, MissingRowIconsAreReplacedByBadges) {
    Canvas badges = paint(0, 0);
    EXPECT_TRUE(closeTo(badges.pixel(200, 481), 0x57B124, 8)) << std::hex << badges.pixel(200, 481);
    EXPECT_TRUE(closeTo(badges.pixel(200, 563), 0x43BC4D, 8)) << std::hex << badges.pixel(200, 563);
}

TEST_F(Render, LongStatusTextRunsPastItsRectangle) {
    setStatusText(versionStatusLabel, L"Short");
    Canvas shortText = paint(0, 0);
    setStatusText(versionStatusLabel, L"Short text that is far longer than its place in the row");
    Canvas longText = paint(0, 0);
    // The status rectangle ends at x 368; the first line goes on past it
    // (over the bar), and nothing is wrapped onto a second line.
    EXPECT_FALSE(longText.sameIn(shortText, RECT{369, 480, 460, 491}));
    EXPECT_TRUE(longText.sameIn(shortText, RECT{238, 493, 340, 500}));
}

TEST_F(Render, PartialRepaintDrawsOnlyItsRectangleAndMatchesAFullOne) {
    useSolidImages();
    setStatusText(versionStatusLabel, L"Update available");
    Canvas full = paint(40, 60);
    Canvas partial;
    partial.fill(0x000000);
    renderClientArea(partial.dc(), kStatusBand);
    EXPECT_EQ(partial.pixel(10, 10), 0x000000u);
    EXPECT_EQ(partial.pixel(785, 439), 0x000000u);
    EXPECT_TRUE(partial.sameIn(full, kStatusBand));
}

TEST_F(Render, WithoutAPageTheLinkIsDrawnInsideItsClickableRectangle) {
    // The card itself is in the reference screenshots; the link must be drawn
    // where a click opens the page.
    Canvas canvas = paint(0, 0);
    const RECT link = kOpenInBrowserLink;
    const int linkInk = canvas.inkIn(link, 0x148FD8, 40);
    EXPECT_GT(linkInk, 150);
    // The whole link lies inside its clickable rectangle.
    EXPECT_EQ(canvas.inkIn(RECT{link.left - 40, link.top - 4, link.right + 40, link.bottom + 4}, 0x148FD8, 40),
              linkInk);
}

// ---- Reference screenshots of the main states, with the shipped art -------------

struct Screen {
    const char* name;
    const wchar_t* versionText;
    const wchar_t* downloadText;
    int versionProgress, downloadProgress;
    bool ready;
    int startHover, exitHover;
    RECT area = kStatusBand;  // the part compared
};

class ReferenceScreens : public test::LauncherFixture, public ::testing::WithParamInterface<Screen> {};

TEST_P(ReferenceScreens, AreaMatchesTheCommittedScreenshot) {
    const Screen& screen = GetParam();
    if (!loadShippedImages()) GTEST_FAIL() << "the launcher's images are not embedded in this test program";
    setStatusText(versionStatusLabel, screen.versionText);
    setStatusText(downloadStatusLabel, screen.downloadText);
    setProgress(versionProgressBar, screen.versionProgress);
    setProgress(downloadProgressBar, screen.downloadProgress);
    clientReady = screen.ready;
    startHoverLevel = screen.startHover;
    exitHoverLevel = screen.exitHover;
    Canvas canvas;
    canvas.renderAll();

    const auto reference = test::referenceScreenPath(screen.name);
    if (const char* update = std::getenv("KIV_UPDATE_REFERENCE_SCREENS"); update != nullptr && *update != '\0') {
        ASSERT_TRUE(canvas.savePng(reference, screen.area)) << reference;
        GTEST_SKIP() << "reference written";
    }
    test::Comparison result = canvas.compareWithPng(reference, screen.area, 40);
    ASSERT_TRUE(result.loaded) << "missing reference " << reference;
    // Glyph edges may differ between font rasterisers; anything else may not.
    EXPECT_LT(result.differentPixels, result.totalPixels / 200) << result.differentPixels << " pixels differ";
}

INSTANTIATE_TEST_SUITE_P(
    MainStates, ReferenceScreens,
    ::testing::Values(Screen{"checking", L"Checking version", L"Please wait", 0, 0, false, 0, 0},
                      Screen{"update_available", L"Update available", L"Press Update", 0, 0, false, 255, 0},
                      Screen{"updating", L"Applying patches...", L"Downloading 2 of 3", 40, 65, false, 0, 0},
                      Screen{"up_to_date", L"Version Check OK", L"Success", 100, 100, true, 0, 128},
                      // The news area without a page: the placeholder's card.
                      Screen{"news_placeholder", L"Checking version", L"Please wait", 0, 0, false, 0, 0,
                             RECT{160, 84, 626, 310}}),
    [](const ::testing::TestParamInfo<Screen>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kiv
