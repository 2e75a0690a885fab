// Starting the client: the window rules, and a real start of a stand-in
// client from an installation whose path has spaces.
#include "tests/support.h"
#include "ui/ui.h"
#include "update/update.h"

#include <gtest/gtest.h>

#include <sstream>

namespace kiv {
namespace {

class ClientWindows : public ::testing::Test {
protected:
    void SetUp() override {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"KivClientWindowTest";
        RegisterClassW(&windowClass);
        windowClass.lpszClassName = L"Gdi+Helper";
        RegisterClassW(&windowClass);
    }
    void TearDown() override {
        for (HWND window : made_) DestroyWindow(window);
    }
    HWND make(const wchar_t* className, const wchar_t* title, DWORD style, DWORD extendedStyle = 0,
              HWND owner = nullptr) {
        HWND window = CreateWindowExW(extendedStyle, className, title, style, 10, 10, 100, 100, owner, nullptr,
                                      GetModuleHandleW(nullptr), nullptr);
        made_.push_back(window);
        return window;
    }
    std::vector<HWND> made_;
};

TEST_F(ClientWindows, OnlyAVisibleUnownedEnabledNormalWindowIsTheMainWindow) {
    const DWORD visible = WS_OVERLAPPEDWINDOW | WS_VISIBLE;
    HWND main = make(L"KivClientWindowTest", L"KIV Client", visible);
    EXPECT_TRUE(isClientMainWindow(main));
    EXPECT_TRUE(isClientMainWindow(make(L"KivClientWindowTest", L"", visible)));
    EXPECT_FALSE(isClientMainWindow(make(L"KivClientWindowTest", L"hidden", WS_OVERLAPPEDWINDOW)));
    EXPECT_FALSE(isClientMainWindow(make(L"KivClientWindowTest", L"splash", WS_POPUP | WS_VISIBLE, 0, main)));
    EXPECT_FALSE(isClientMainWindow(make(L"KivClientWindowTest", L"off", visible | WS_DISABLED)));
    EXPECT_FALSE(isClientMainWindow(make(L"KivClientWindowTest", L"tools", visible, WS_EX_TOOLWINDOW)));
    // The helper windows of the graphics library, by title or by class, in any case.
    EXPECT_FALSE(isClientMainWindow(make(L"KivClientWindowTest", L"a gdi+ window", visible)));
    EXPECT_FALSE(isClientMainWindow(make(L"Gdi+Helper", L"plain", visible)));
}

TEST_F(ClientWindows, SearchStopsAtTheMainWindowOfTheSearchedProcessOnly) {
    HWND main = make(L"KivClientWindowTest", L"KIV Client", WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    ClientWindowSearch search;
    search.processId = GetCurrentProcessId();
    EXPECT_FALSE(findClientWindow(main, reinterpret_cast<LPARAM>(&search)));
    EXPECT_EQ(search.window, main);

    ClientWindowSearch other;
    other.processId = GetCurrentProcessId() + 4;
    EXPECT_TRUE(findClientWindow(main, reinterpret_cast<LPARAM>(&other)));
    EXPECT_EQ(other.window, nullptr);
}

// Run in a copy of this program placed beside a stand-in kiv.exe.
TEST(StartGameInInstallation, DISABLED_StartsTheClientBringsItForwardAndCloses) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"KivLauncherStandIn";
    RegisterClassW(&windowClass);
    mainWindow = CreateWindowExW(0, L"KivLauncherStandIn", L"KIV Launcher", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 120,
                                 130, 300, 200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(mainWindow, nullptr);
    HWND launcher = mainWindow;

    startGame();

    EXPECT_FALSE(IsWindow(launcher));
    HWND front = GetForegroundWindow();
    wchar_t title[64] = {};
    GetWindowTextW(front, title, 64);
    EXPECT_STREQ(title, L"KIV Client");
    PostMessageW(front, WM_CLOSE, 0, 0);
}

TEST(StartGame, ClientGetsOnlyItsSwitchAndTheInstallationAsWorkingDirectory) {
    test::TempDir dir;
    const std::filesystem::path installation = dir / L"KIV Online Game";
    std::filesystem::create_directories(installation);
    std::filesystem::copy_file(launcherDirectory() / L"ui_tests.exe", installation / L"launcher.exe");
    std::filesystem::copy_file(launcherDirectory() / L"fake_client.exe", installation / L"kiv.exe");
    const std::filesystem::path record = dir / L"record.txt";
    SetEnvironmentVariableW(L"KIV_FAKE_CLIENT_RECORD", record.c_str());
    // The main window comes late, after the splash and tool windows.
    SetEnvironmentVariableW(L"KIV_FAKE_CLIENT_DELAY_MS", L"800");

    std::wstring command = L"\"" + (installation / L"launcher.exe").wstring() +
                           L"\" --gtest_also_run_disabled_tests "
                           L"--gtest_filter=StartGameInInstallation.DISABLED_StartsTheClientBringsItForwardAndCloses";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               dir.path().c_str(), &startup, &process));
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    EXPECT_EQ(exitCode, 0u);

    std::wstring text = utf8ToWide(test::readFile(record));
    std::wistringstream lines(text);
    std::wstring commandLine, workingDirectory;
    std::getline(lines, commandLine);
    std::getline(lines, workingDirectory);
    EXPECT_EQ(commandLine, L"\"" + (installation / L"kiv.exe").wstring() + L"\" -vortiq");
    EXPECT_EQ(std::filesystem::path(workingDirectory), installation);

    // Let the client (closed by the child) go before the directory is removed.
    for (int i = 0; i < 100 && isClientRunning(); ++i) Sleep(100);
}

}  // namespace
}  // namespace kiv
