// The launcher program itself, started beside a stand-in client and talking
// to a loopback patch server; driven by synthesised mouse input.
#include "tests/client_process.h"
#include "tests/launcher_canvas.h"
#include "tests/support.h"
#include "tools/loopback_server/loopback_server.h"
#include "ui/ui.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

namespace kiv {
namespace {

using test::waitUntil;

constexpr DWORD kWaitMs = 30000;

// The text the system keeps for a window of another process, read without
// sending it a message.
std::wstring textOf(HWND window) {
    wchar_t buffer[512] = {};
    GetWindowTextW(window, buffer, 512);
    return buffer;
}

HWND waitForLauncherWindow() {
    HWND found = nullptr;
    waitUntil([&] { return (found = FindWindowW(kWindowClassName, nullptr)) != nullptr && IsWindowVisible(found); });
    return found;
}

// One launcher process, ended by force if a test leaves it running.
using Launcher = test::ClientProcess;

// The hidden carriers, in creation order: version label, download bar,
// download label, version bar. (The news page's host, when there is one, is
// a visible child made before them.)
HWND carrier(HWND launcher, int index) {
    for (HWND child = GetWindow(launcher, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        if (!IsWindowVisible(child) && index-- == 0) return child;
    }
    return nullptr;
}
std::wstring versionText(HWND launcher) { return textOf(carrier(launcher, 0)); }
std::wstring downloadText(HWND launcher) { return textOf(carrier(launcher, 2)); }

// Waits for the end of a version check that found a newer version.
bool offersAnUpdate(HWND window) {
    return waitUntil(
        [&] { return versionText(window) == L"Update available" && downloadText(window) == L"Press Update"; });
}

// A press and release on the main button, as the mouse would make them.
void clickMainButton(HWND window) {
    POINT point{638, 498};
    ClientToScreen(window, &point);
    SetForegroundWindow(window);
    SetCursorPos(point.x, point.y);
    INPUT inputs[2] = {};
    inputs[0].type = inputs[1].type = INPUT_MOUSE;
    inputs[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, inputs, sizeof(INPUT));
}

// Ends the process that owns `window` (the stand-in client, a restarted
// launcher): asked through WM_CLOSE, then by force.
void endProcessOf(HWND window) {
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, processId);
    PostMessageW(window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process, 10000) != WAIT_OBJECT_0) TerminateProcess(process, 1);
    CloseHandle(process);
}

// An installation of version 57 in a directory whose name has spaces.
class LauncherProgram : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, kLauncherRegistryKey);
        std::filesystem::create_directories(install);
        std::filesystem::copy_file(launcherDirectory() / L"kiv_launcher_loopback.exe", program);
        std::filesystem::copy_file(launcherDirectory() / L"fake_client.exe", install / L"kiv.exe");
        test::writeFile(install / "kiv.ver", "57\r\n");
        test::writeFile(install / "kiv_launcher.log", "left over");
        SetEnvironmentVariableW(L"KIV_FAKE_CLIENT_RECORD", record.c_str());
        // The launcher under test knows only this port. Connections closed
        // just before (an earlier test, the window demo) may hold it for a
        // while after they end.
        std::string error;
        ASSERT_TRUE(waitUntil([&] { return server.start(error, KIV_LOOPBACK_PORT); }, 90000)) << error;
    }

    void publish(const char* version, const std::string& name, const std::string& bytes) {
        test::writeFile(serverRoot / "kiv" / version / "dl_list.txt", name + "\r\n");
        test::writeFile(serverRoot / "kiv" / version / name, bytes);
    }

    test::TempDir root;
    const std::filesystem::path install = root / L"KIV Online Game";
    const std::filesystem::path program = install / L"kiv_launcher.exe";
    const std::wstring record = (root / L"client.txt").wstring();
    test::TempDir serverRoot;
    HttpServer server{serverRoot.path()};
};

TEST_F(LauncherProgram, UpdatesThenStartsTheClientWithItsSwitchAndCloses) {
    publish("58", "readme.txt", "readme 58");
    Launcher launcher(program, root.path());
    HWND window = waitForLauncherWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(offersAnUpdate(window)) << versionText(window) << " / " << downloadText(window);
    EXPECT_EQ(textOf(window), L"KIV Client Ver. 57");

    clickMainButton(window);
    // The last status line comes last.
    ASSERT_TRUE(waitUntil([&] { return downloadText(window) == L"Success"; }, 60000)) << downloadText(window);
    EXPECT_EQ(versionText(window), L"Version Check OK");
    EXPECT_EQ(textOf(window), L"KIV Client Ver. 58");

    RECT frame{};
    GetWindowRect(window, &frame);
    // The worker ends just after the last status line, and a click before that
    // is ignored: press until the launcher goes. A click that starts the game
    // closes the window before the next press is read.
    std::optional<DWORD> code;
    for (int press = 0; press < 30 && !code && IsWindow(window); ++press) {
        clickMainButton(window);
        code = launcher.exitCode(1000);
    }
    if (!code) code = launcher.exitCode(kWaitMs);
    EXPECT_EQ(code, std::optional<DWORD>(0)) << "the launcher did not close after GAME START";
    test::expectStoredPosition(frame);

    // The client's record: its command line and its working directory.
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(record); }));
    const std::wstring recorded = utf8ToWide(test::readFile(record));
    EXPECT_EQ(recorded, L"\"" + (install / L"kiv.exe").wstring() + L"\" -vortiq\n" + install.wstring() + L"\n");
    endProcessOf(FindWindowW(nullptr, L"KIV Client"));
}

// Windows refuses to overwrite a running program: the launcher moves itself
// aside, puts the new program in place, starts it and ends; the new one
// deletes the old copy.
TEST_F(LauncherProgram, UpdateThatShipsTheLauncherRestartsIntoTheNewProgram) {
    // Two versions in one run ship one each: the second swap finds the
    // running program already aside.
    const std::string current = test::readFile(program);
    for (const char* version : {"58", "59"}) publish(version, "kiv_launcher.exe", current + "launcher of " + version);

    Launcher old(program, root.path());
    HWND window = waitForLauncherWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(offersAnUpdate(window)) << versionText(window) << " / " << downloadText(window);
    clickMainButton(window);
    ASSERT_EQ(old.exitCode(60000), std::optional<DWORD>(0)) << "the old launcher did not end";

    HWND fresh = waitForLauncherWindow();
    ASSERT_NE(fresh, nullptr) << "the new launcher did not start";
    EXPECT_TRUE(waitUntil([&] { return versionText(fresh) == L"Version Check OK"; })) << versionText(fresh);
    EXPECT_TRUE(waitUntil([&] { return !std::filesystem::exists(install / "kiv_launcher.exe.old"); }))
        << "the old copy was not deleted";
    EXPECT_EQ(test::readFile(program), current + "launcher of 59");
    EXPECT_EQ(test::readFile(install / "kiv.ver"), "59\r\n");
    // The close box closes through the same path as EXIT.
    RECT frame{};
    GetWindowRect(fresh, &frame);
    endProcessOf(fresh);
    test::expectStoredPosition(frame);
}

TEST_F(LauncherProgram, SecondStartRestoresTheFirstWithoutWaitingForItAndEndsWithZero) {
    Launcher first(program, root.path());
    HWND window = waitForLauncherWindow();
    ASSERT_NE(window, nullptr);
    ShowWindow(window, SW_MINIMIZE);
    ASSERT_TRUE(waitUntil([&] { return IsIconic(window) != 0; }));

    // The second start must end even while the first answers no message (as
    // while it starts the game or shows a message): its window thread stops.
    ASSERT_NE(SuspendThread(first.process.hThread), static_cast<DWORD>(-1));
    Launcher second(program, root.path());
    const std::optional<DWORD> secondExit = second.exitCode(10000);
    ResumeThread(first.process.hThread);
    EXPECT_EQ(secondExit, std::optional<DWORD>(0)) << "the second launcher waited for the busy first one";
    EXPECT_TRUE(waitUntil([&] { return IsIconic(window) == 0; })) << "the first launcher stayed minimised";
    EXPECT_EQ(first.exitCode(0), std::nullopt);
}

TEST_F(LauncherProgram, MissingClientIsReportedAndEndsWithOne) {
    std::filesystem::remove(install / "kiv.exe");
    Launcher launcher(program, root.path());
    HWND box = nullptr;
    ASSERT_TRUE(waitUntil([&] { return (box = FindWindowW(L"#32770", L"KIV Launcher")) != nullptr; }));
    EXPECT_EQ(textOf(GetDlgItem(box, 0xFFFF)), L"kiv.exe was not found beside the launcher.");
    EXPECT_EQ(FindWindowW(kWindowClassName, nullptr), nullptr);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(launcher.exitCode(kWaitMs), std::optional<DWORD>(1));
    // The leftover log goes before the client is looked for.
    EXPECT_FALSE(std::filesystem::exists(install / "kiv_launcher.log"));
}

}  // namespace
}  // namespace kiv
