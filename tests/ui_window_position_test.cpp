// The saved window position, against the real registry and monitors (run
// under Wine with its own prefix, so the launcher's key is the test's alone).
#include "ui/ui.h"

#include <gtest/gtest.h>

namespace kiv {
namespace {

class SavedPosition : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, kLauncherRegistryKey);
        MONITORINFO info{};
        info.cbSize = sizeof info;
        ASSERT_TRUE(GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &info));
        work_ = info.rcWork;
    }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kLauncherRegistryKey); }

    static void store(const wchar_t* name, DWORD type, const void* data, DWORD size) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kLauncherRegistryKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static void storePosition(std::int32_t left, std::int32_t top) {
        store(L"WindowLeft", REG_DWORD, &left, 4);
        store(L"WindowTop", REG_DWORD, &top, 4);
    }
    static void expectStored(std::int32_t left, std::int32_t top) {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kLauncherRegistryKey, 0, KEY_READ, &key), ERROR_SUCCESS);
        std::int32_t storedLeft = 0, storedTop = 0;
        EXPECT_TRUE(readDwordValue(key, L"WindowLeft", storedLeft));
        EXPECT_TRUE(readDwordValue(key, L"WindowTop", storedTop));
        RegCloseKey(key);
        EXPECT_EQ(storedLeft, left);
        EXPECT_EQ(storedTop, top);
    }
    static HWND makeWindow(int x, int y) {
        static bool registered = false;
        if (!registered) {
            WNDCLASSW windowClass{};
            windowClass.lpfnWndProc = DefWindowProcW;
            windowClass.hInstance = GetModuleHandleW(nullptr);
            windowClass.lpszClassName = L"KivPositionTest";
            RegisterClassW(&windowClass);
            registered = true;
        }
        return CreateWindowExW(0, L"KivPositionTest", L"test", WS_OVERLAPPEDWINDOW, x, y, 300, 200, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    }

    RECT work_{};
};

TEST_F(SavedPosition, ReadDwordValueAcceptsOnlyFourByteDwords) {
    std::int32_t negative = -40;
    store(L"WindowLeft", REG_DWORD, &negative, 4);
    store(L"AsString", REG_SZ, L"100", 8);
    unsigned long long wide = 100;
    store(L"AsQword", REG_QWORD, &wide, 8);
    DWORD binary = 100;
    store(L"AsBinary", REG_BINARY, &binary, 4);

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kLauncherRegistryKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    std::int32_t value = 7;
    EXPECT_TRUE(readDwordValue(key, L"WindowLeft", value));
    EXPECT_EQ(value, -40);
    value = 7;
    for (const wchar_t* name : {L"AsString", L"AsQword", L"AsBinary", L"Missing"}) {
        EXPECT_FALSE(readDwordValue(key, name, value)) << name;
    }
    EXPECT_EQ(value, 7);
    RegCloseKey(key);
}

TEST_F(SavedPosition, NoKeyOrOneValueAloneLetsTheSystemChoose) {
    POINT position = loadSavedPosition(786, 620);
    EXPECT_EQ(position.x, CW_USEDEFAULT);
    EXPECT_EQ(position.y, CW_USEDEFAULT);

    std::int32_t left = work_.left + 10;
    store(L"WindowLeft", REG_DWORD, &left, 4);
    EXPECT_EQ(loadSavedPosition(786, 620).x, CW_USEDEFAULT);
}

TEST_F(SavedPosition, VisiblePositionIsRestoredIfEightyPixelsAreOnTheWorkArea) {
    storePosition(work_.left + 20, work_.top + 30);
    POINT position = loadSavedPosition(786, 620);
    EXPECT_EQ(position.x, work_.left + 20);
    EXPECT_EQ(position.y, work_.top + 30);

    // 80 pixels of width on the work area: accepted; 79: the system chooses.
    storePosition(work_.right - 80, work_.top + 10);
    EXPECT_EQ(loadSavedPosition(786, 620).x, work_.right - 80);
    storePosition(work_.right - 79, work_.top + 10);
    EXPECT_EQ(loadSavedPosition(786, 620).x, CW_USEDEFAULT);

    storePosition(work_.left + 10, work_.bottom - 80);
    EXPECT_EQ(loadSavedPosition(786, 620).y, work_.bottom - 80);
    storePosition(work_.left + 10, work_.bottom - 79);
    EXPECT_EQ(loadSavedPosition(786, 620).y, CW_USEDEFAULT);
}

TEST_F(SavedPosition, SmallWindowNeedsOnlyToBeWhollyOnTheWorkArea) {
    RECT small{work_.right - 50, work_.top + 10, work_.right, work_.top + 40};
    EXPECT_TRUE(isPlacementVisible(small));
    RECT cut{work_.right - 49, work_.top + 10, work_.right + 1, work_.top + 40};
    EXPECT_FALSE(isPlacementVisible(cut));
    RECT empty{work_.left + 10, work_.top + 10, work_.left + 10, work_.top + 10};
    EXPECT_FALSE(isPlacementVisible(empty));
}

// Sets the work area for the length of a scope, as a taskbar at the left or
// the top would, and puts the old one back.
class WorkArea {
public:
    explicit WorkArea(const RECT& area) {
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &previous_, 0);
        changed_ = SystemParametersInfoW(SPI_SETWORKAREA, 0, const_cast<RECT*>(&area), 0) != 0;
    }
    ~WorkArea() {
        if (changed_) SystemParametersInfoW(SPI_SETWORKAREA, 0, &previous_, 0);
    }
    WorkArea(const WorkArea&) = delete;
    WorkArea& operator=(const WorkArea&) = delete;
    bool changed() const { return changed_; }

private:
    RECT previous_{};
    bool changed_ = false;
};

TEST_F(SavedPosition, AWindowReopensWhereItWasClosedWhateverTheWorkArea) {
    struct Case {
        const char* name;
        RECT area;
        bool minimised;
    };
    const RECT screen{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    const Case cases[] = {
        {"taskbar at the left", {screen.left + 60, screen.top, screen.right, screen.bottom}, false},
        {"taskbar at the top", {screen.left, screen.top + 40, screen.right, screen.bottom}, false},
        // The restored rectangle is stored, not the minimised one.
        {"taskbar at the top, closed minimised", {screen.left, screen.top + 40, screen.right, screen.bottom}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WorkArea area(c.area);
        ASSERT_TRUE(area.changed());
        storePosition(work_.left + 150, work_.top + 120);
        // Each start opens where the last one closed, as the launcher does.
        // (A window that was shown takes Wine a while to destroy, so only
        // the minimised case shows its windows.)
        for (int start = 0; start < (c.minimised ? 2 : 3); ++start) {
            SCOPED_TRACE(start);
            const POINT position = loadSavedPosition(300, 200);
            ASSERT_EQ(position.x, work_.left + 150);
            ASSERT_EQ(position.y, work_.top + 120);
            HWND window = makeWindow(position.x, position.y);
            ASSERT_NE(window, nullptr);
            if (c.minimised) ShowWindow(window, SW_SHOWMINNOACTIVE);
            saveWindowPositionAndClose(window);
            expectStored(work_.left + 150, work_.top + 120);
        }
    }
}

TEST_F(SavedPosition, ClosingOffScreenKeepsTheStoredValues) {
    storePosition(work_.left + 5, work_.top + 6);
    HWND window = makeWindow(-20000, -20000);
    ASSERT_NE(window, nullptr);
    saveWindowPositionAndClose(window);
    EXPECT_FALSE(IsWindow(window));
    expectStored(work_.left + 5, work_.top + 6);
}

}  // namespace
}  // namespace kiv
