// Which of the client's windows is its main one: the window the launcher
// brings to the front after starting the game.
#include "ui/ui.h"

#include <gtest/gtest.h>

#include <vector>

namespace kiv {
namespace {

class ClientWindows : public ::testing::Test {
protected:
    void TearDown() override {
        for (HWND window : made_) DestroyWindow(window);
    }
    HWND make(const wchar_t* title, DWORD style, DWORD extendedStyle = 0, HWND owner = nullptr,
              const wchar_t* className = L"KivClientWindowTest") {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = className;
        RegisterClassW(&windowClass);
        made_.push_back(CreateWindowExW(extendedStyle, className, title, style, 10, 10, 100, 100, owner, nullptr,
                                        GetModuleHandleW(nullptr), nullptr));
        return made_.back();
    }
    std::vector<HWND> made_;
};

TEST_F(ClientWindows, OnlyAVisibleUnownedEnabledNormalWindowIsTheMainWindow) {
    const DWORD visible = WS_OVERLAPPEDWINDOW | WS_VISIBLE;
    HWND main = make(L"KIV Client", visible);
    EXPECT_TRUE(isClientMainWindow(main));
    EXPECT_TRUE(isClientMainWindow(make(L"", visible)));
    EXPECT_FALSE(isClientMainWindow(make(L"hidden", WS_OVERLAPPEDWINDOW)));
    EXPECT_FALSE(isClientMainWindow(make(L"splash", WS_POPUP | WS_VISIBLE, 0, main)));
    EXPECT_FALSE(isClientMainWindow(make(L"off", visible | WS_DISABLED)));
    EXPECT_FALSE(isClientMainWindow(make(L"tools", visible, WS_EX_TOOLWINDOW)));
    // The helper windows of the graphics library, by title or by class, in any case.
    EXPECT_FALSE(isClientMainWindow(make(L"a gdi+ window", visible)));
    EXPECT_FALSE(isClientMainWindow(make(L"plain", visible, 0, nullptr, L"Gdi+Helper")));
}

TEST_F(ClientWindows, SearchStopsAtTheMainWindowOfTheSearchedProcessOnly) {
    HWND main = make(L"KIV Client", WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    ClientWindowSearch search{GetCurrentProcessId()};
    EXPECT_FALSE(findClientWindow(main, reinterpret_cast<LPARAM>(&search)));
    EXPECT_EQ(search.window, main);

    ClientWindowSearch other{GetCurrentProcessId() + 4};
    EXPECT_TRUE(findClientWindow(main, reinterpret_cast<LPARAM>(&other)));
    EXPECT_EQ(other.window, nullptr);
}

}  // namespace
}  // namespace kiv
