// The saved window position, against the real registry and monitors (run
// under Wine with its own prefix, so the launcher's key is the test's alone).
#include "ui/ui.h"

#include <gtest/gtest.h>

#include <tuple>
#include <utility>

namespace kiv {
namespace {

void store(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, kLauncherRegistryKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
}

void storePosition(std::int32_t left, std::int32_t top) {
    store(L"WindowLeft", REG_DWORD, &left, 4);
    store(L"WindowTop", REG_DWORD, &top, 4);
}

std::pair<LONG, LONG> savedPosition(int outerWidth = 300, int outerHeight = 200) {
    const POINT position = loadSavedPosition(outerWidth, outerHeight);
    return {position.x, position.y};
}

const std::pair<LONG, LONG> kSystemChooses{CW_USEDEFAULT, CW_USEDEFAULT};

class SavedPosition : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, kLauncherRegistryKey);
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work_, 0);
    }

    RECT work_{};
};

TEST_F(SavedPosition, WithoutTwoFourByteDwordsTheSystemChooses) {
    EXPECT_EQ(savedPosition(), kSystemChooses) << "no key";
    const std::int32_t top = work_.top + 10;
    store(L"WindowTop", REG_DWORD, &top, 4);
    EXPECT_EQ(savedPosition(), kSystemChooses) << "top alone";
    store(L"WindowLeft", REG_BINARY, &top, 4);
    EXPECT_EQ(savedPosition(), kSystemChooses) << "left as four bytes of binary";
}

// At least min(80, width) x min(80, height) pixels must lie on the work area.
TEST_F(SavedPosition, StoredPositionIsUsedOnlyWhenEnoughOfTheWindowIsOnTheWorkArea) {
    const RECT work = work_;
    struct Row {
        const char* name;
        std::int32_t left, top;
        int width, height;
        bool used;
    };
    const Row rows[] = {
        {"partly left of the work area", work.left - 40, work.top + 10, 786, 620, true},
        {"80 pixels of width", work.right - 80, work.top + 10, 786, 620, true},
        {"79 pixels of width", work.right - 79, work.top + 10, 786, 620, false},
        {"80 pixels of height", work.left + 10, work.bottom - 80, 786, 620, true},
        {"79 pixels of height", work.left + 10, work.bottom - 79, 786, 620, false},
        {"a small window wholly inside", work.right - 50, work.top + 10, 50, 30, true},
        {"a small window one pixel out", work.right - 49, work.top + 10, 50, 30, false},
        {"an empty window", work.left + 10, work.top + 10, 0, 0, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        storePosition(row.left, row.top);
        const std::pair<LONG, LONG> expected = row.used ? std::pair<LONG, LONG>{row.left, row.top} : kSystemChooses;
        EXPECT_EQ(savedPosition(row.width, row.height), expected);
    }
}

// Closed minimised, the restored rectangle is stored, not the minimised one.
// (For a window not shown normally the placement gives that rectangle
// relative to the work area: here a taskbar at the top, where the system
// lets one be set.) Closed off-screen, the stored values stay.
TEST_F(SavedPosition, ClosingStoresTheRestoredPositionUnlessTheWindowIsOffScreen) {
    RECT belowTaskbar{0, 40, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    const std::pair<LONG, LONG> kept{work_.left + 5, work_.top + 6};
    for (auto [at, show, stored] : {std::tuple{POINT{150, 120}, SW_SHOWMINNOACTIVE, std::pair<LONG, LONG>{150, 120}},
                                    std::tuple{POINT{-20000, -20000}, SW_HIDE, kept}}) {
        storePosition(kept.first, kept.second);
        SystemParametersInfoW(SPI_SETWORKAREA, 0, &belowTaskbar, 0);
        HWND window = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW, at.x, at.y, 300, 200, nullptr, nullptr,
                                      nullptr, nullptr);
        ShowWindow(window, show);
        saveWindowPositionAndClose(window);
        SystemParametersInfoW(SPI_SETWORKAREA, 0, &work_, 0);
        EXPECT_FALSE(IsWindow(window));
        EXPECT_EQ(savedPosition(), stored) << at.x;
    }
}

}  // namespace
}  // namespace kiv
