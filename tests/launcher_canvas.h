// Off-screen painting of the launcher window for tests: the client area
// rendered into a bitmap, pixel reads and comparisons, and a fixture that sets
// up the window state the painting reads.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "ui/ui.h"

namespace kiv::test {

// Colours are 0xRRGGBB.
bool closeTo(std::uint32_t actual, std::uint32_t expected, int tolerance);

// The 786 x 620 client area after renderClientArea(`area`) on a canvas
// cleared to `background`.
class Canvas {
public:
    explicit Canvas(const RECT& area = RECT{0, 0, 786, 620}, std::uint32_t background = 0);
    std::uint32_t pixel(int x, int y) const;
    bool sameIn(const Canvas& other, const RECT& area) const;
    // Pixels in `area` within `tolerance` of `colour`.
    int inkIn(const RECT& area, std::uint32_t colour, int tolerance = 40) const;

    // Pixels of `area` whose channels differ by more than `tolerance` from
    // the reference screenshot `name`, which holds exactly that area; -1 when
    // it cannot be read as such. With KIV_UPDATE_REFERENCE_SCREENS set, the
    // area is written as the new reference instead.
    long differencesFromReference(const char* name, const RECT& area, int tolerance) const;

private:
    template <typename Test>
    int count(const RECT& area, Test test) const;

    std::vector<std::uint32_t> bits_;
};

// Runs this thread's messages until `done` holds (true) or `limitMs` have
// passed (false); `onTick` sees each tick of the launcher's animation timer.
bool waitUntil(const std::function<bool()>& done, DWORD limitMs = 30000, const std::function<void()>& onTick = [] {});

// GDI+ and the progress-bar class, started once for the whole test program.
void startGraphicsOnce();

// Expects the stored window position to be `frame`'s left and top.
void expectStoredPosition(const RECT& frame);

// GDI+, the embedded fonts and the hidden carriers of a test window; state
// back to "just created" after every test.
class LauncherFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A solid image of the given size in slot `resourceId`.
    void setImage(int resourceId, int width, int height, std::uint32_t colour);
    // The images embedded in this program; false when there are none.
    bool loadShippedImages();

    HWND window_ = nullptr;
};

}  // namespace kiv::test
