// The launcher program itself, started beside a stand-in client and talking
// to a loopback patch server; driven by synthesised mouse input.
#include "tests/launcher_canvas.h"
#include "tests/patch_fixtures.h"
#include "tests/support.h"
#include "tools/http_server.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "base/base.h"

namespace kiv {
namespace {

constexpr std::uint16_t kLoopbackPort = KIV_LOOPBACK_PORT;
constexpr DWORD kWaitMs = 30000;

bool waitUntil(const std::function<bool()>& done, DWORD limitMs = kWaitMs) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > limitMs) return false;
        Sleep(20);
    }
    return true;
}

std::wstring textOf(HWND window) {
    wchar_t buffer[512] = {};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 5000,
                             &copied))
        return L"";
    return std::wstring(buffer, copied);
}

struct WindowOfProcess {
    DWORD processId;
    const wchar_t* className;
    HWND found = nullptr;
};

BOOL CALLBACK matchWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<WindowOfProcess*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    if (owner != search->processId || lstrcmpiW(name, search->className) != 0) return TRUE;
    search->found = window;
    return FALSE;
}

HWND topWindowOf(DWORD processId, const wchar_t* className) {
    WindowOfProcess search{processId, className};
    EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// One launcher process; ended by force if a test leaves it running.
class Launcher {
public:
    explicit Launcher(const std::filesystem::path& program) {
        std::wstring commandLine = L"\"" + program.wstring() + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        started_ = CreateProcessW(program.wstring().c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                  program.parent_path().wstring().c_str(), &startup, &process_) != 0;
    }
    ~Launcher() {
        if (!started_) return;
        if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_.hProcess, 99);
            WaitForSingleObject(process_.hProcess, 10000);
        }
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
    }
    Launcher(const Launcher&) = delete;
    Launcher& operator=(const Launcher&) = delete;

    bool started() const { return started_; }
    DWORD id() const { return process_.dwProcessId; }
    // The thread that runs the window: stopped, it stands for a launcher too
    // busy to answer (starting the game, showing a message).
    HANDLE mainThread() const { return process_.hThread; }
    // The exit code, or nothing when the process has not ended within the bound.
    std::optional<DWORD> exitCode(DWORD limitMs = kWaitMs) const {
        if (WaitForSingleObject(process_.hProcess, limitMs) != WAIT_OBJECT_0) return std::nullopt;
        DWORD code = 0;
        GetExitCodeProcess(process_.hProcess, &code);
        return code;
    }
    HWND window() const { return topWindowOf(id(), L"KobaluneKivLauncher"); }
    HWND waitForWindow() const {
        HWND found = nullptr;
        waitUntil([&] { return (found = window()) != nullptr && IsWindowVisible(found); });
        return found;
    }

private:
    bool started_ = false;
    PROCESS_INFORMATION process_{};
};

// The hidden carriers, in creation order: version label, download bar,
// download label, version bar. (The news page's host, when there is one, is
// a visible child made before them.)
HWND carrier(HWND launcher, int index) {
    for (HWND child = GetWindow(launcher, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        if (IsWindowVisible(child)) continue;
        if (index-- == 0) return child;
    }
    return nullptr;
}
std::wstring versionText(HWND launcher) { return textOf(carrier(launcher, 0)); }
std::wstring downloadText(HWND launcher) { return textOf(carrier(launcher, 2)); }

// A press and release at a client point, as the mouse would make them.
void click(HWND window, int x, int y) {
    POINT point{x, y};
    ClientToScreen(window, &point);
    SetForegroundWindow(window);
    SetCursorPos(point.x, point.y);
    INPUT inputs[3] = {};
    const int screenWidth = GetSystemMetrics(SM_CXSCREEN) - 1, screenHeight = GetSystemMetrics(SM_CYSCREEN) - 1;
    for (INPUT& input : inputs) {
        input.type = INPUT_MOUSE;
        input.mi.dx = MulDiv(point.x, 65535, screenWidth);
        input.mi.dy = MulDiv(point.y, 65535, screenHeight);
    }
    inputs[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_ABSOLUTE;
    inputs[2].mi.dwFlags = MOUSEEVENTF_LEFTUP | MOUSEEVENTF_ABSOLUTE;
    SendInput(3, inputs, sizeof(INPUT));
}

// Returns once the launcher's thread has handled everything queued before
// this call: the first sent message is taken before the queued input, the
// second only after it.
void settle(HWND window) {
    for (int i = 0; i < 2; ++i) {
        Sleep(100);
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
    }
}

class LauncherProgram : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, kLauncherRegistryKey);
        std::filesystem::copy_file(launcherDirectory() / L"kiv_launcher_loopback.exe", install / L"kiv_launcher.exe");
        std::filesystem::copy_file(launcherDirectory() / L"fake_client.exe", install / L"kiv.exe");
        test::writeFile(install / "kiv.ver", "57\r\n");
        test::writeFile(install / "kiv_launcher.log", "left over");
        test::writeArchive(install / "data" / "kiv_ui.hed", {{"ui\\a.bmp", "old a"}, {"b.bmp", "old b"}});
        record = (install / L"client.txt").wstring();
        SetEnvironmentVariableW(L"KIV_FAKE_CLIENT_RECORD", record.c_str());
        SetEnvironmentVariableW(L"KIV_FAKE_CLIENT_DELAY_MS", L"300");
        // The launcher under test knows only this port. Connections closed
        // just before (an earlier test, the window demo) may hold it for a
        // while after they end.
        std::string error;
        ASSERT_TRUE(waitUntil([&] { return server.start(error, kLoopbackPort); }, 90000)) << error;
    }
    void TearDown() override {
        server.stop();
        RegDeleteTreeW(HKEY_CURRENT_USER, kLauncherRegistryKey);
        SetEnvironmentVariableW(L"KIV_FAKE_CLIENT_RECORD", nullptr);
        SetEnvironmentVariableW(L"KIV_FAKE_CLIENT_DELAY_MS", nullptr);
    }

    void publish58() {
        const auto folder = serverRoot / "kiv" / "58";
        test::writeFile(folder / "dl_list.txt", "readme.txt\r\npatches\\ui.npatch\r\n");
        test::writeFile(folder / "readme.txt", "readme 58");
        test::writeFile(folder / "patches" / "ui.npatch",
                        test::packageBytes("data\\kiv_ui.hed", {{"ui\\a.bmp", "new a"}, {"ui\\c.bmp", "added c"}}));
    }

    std::filesystem::path program() const { return install / L"kiv_launcher.exe"; }

    test::TempDir install;
    test::TempDir serverRoot;
    HttpServer server{serverRoot.path()};
    std::wstring record;
};

// Ends the process that owns `window` (the stand-in client, a restarted
// launcher): asked through WM_CLOSE, then by force.
void endProcessOf(HWND window) {
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, processId);
    PostMessageW(window, WM_CLOSE, 0, 0);
    if (process != nullptr) {
        if (WaitForSingleObject(process, 10000) != WAIT_OBJECT_0) TerminateProcess(process, 1);
        CloseHandle(process);
    }
}

TEST_F(LauncherProgram, UpdatesThenStartsTheClientWithItsSwitchAndCloses) {
    publish58();
    Launcher launcher(program());
    ASSERT_TRUE(launcher.started());
    HWND window = launcher.waitForWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(waitUntil([&] { return versionText(window) == L"Update available"; })) << versionText(window);
    EXPECT_EQ(downloadText(window), L"Press Update");
    EXPECT_FALSE(std::filesystem::exists(install / "kiv_launcher.log"));
    EXPECT_EQ(textOf(window), L"KIV Client Ver. 57");

    click(window, 638, 498);
    ASSERT_TRUE(waitUntil([&] { return versionText(window) == L"Version Check OK"; }, 60000)) << versionText(window);
    EXPECT_EQ(downloadText(window), L"Success");
    EXPECT_EQ(test::readFile(install / "kiv.ver"), "58\r\n");
    EXPECT_EQ(test::readFile(install / "readme.txt"), "readme 58");
    EXPECT_EQ(test::readArchive(install / "data" / "kiv_ui.hed"),
              (std::vector<std::pair<std::string, std::string>>{
                  {"ui\\a.bmp", "new a"}, {"b.bmp", "old b"}, {"ui\\c.bmp", "added c"}}));
    EXPECT_FALSE(std::filesystem::exists(install / "patches"));
    EXPECT_TRUE(waitUntil([&] { return textOf(window) == L"KIV Client Ver. 58"; }));

    RECT frame{};
    GetWindowRect(window, &frame);
    settle(window);
    click(window, 638, 498);
    EXPECT_EQ(launcher.exitCode(), std::optional<DWORD>(0)) << "the launcher did not close after GAME START";

    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(record); }));
    std::string recorded = test::readFile(record);
    EXPECT_EQ(utf8ToWide(recorded.substr(0, recorded.find('\n'))),
              L"\"" + (install / L"kiv.exe").wstring() + L"\" -vortiq");
    std::string rest = recorded.substr(recorded.find('\n') + 1);
    std::string handle = rest.substr(rest.find('\n') + 1);
    endProcessOf(reinterpret_cast<HWND>(static_cast<UINT_PTR>(std::stoull(handle))));

    test::expectStoredPosition(frame);
}

// Windows refuses to overwrite a running program: the launcher moves itself
// aside, puts the new program in place, starts it and ends; the new one
// deletes the old copy.
TEST_F(LauncherProgram, UpdateThatShipsTheLauncherRestartsIntoTheNewProgram) {
    // Two versions in one run ship one each: the second swap finds the
    // running program already aside.
    const std::string current = test::readFile(program());
    std::string shipped;
    for (const char* version : {"58", "59"}) {
        shipped = current + "launcher of version " + version;
        test::writeFile(serverRoot / "kiv" / version / "dl_list.txt", "kiv_launcher.exe\r\n");
        test::writeFile(serverRoot / "kiv" / version / "kiv_launcher.exe", shipped);
    }

    Launcher old(program());
    HWND window = old.waitForWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(waitUntil([&] { return versionText(window) == L"Update available"; })) << versionText(window);
    click(window, 638, 498);
    ASSERT_EQ(old.exitCode(60000), std::optional<DWORD>(0)) << "the old launcher did not end";

    HWND fresh = nullptr;
    ASSERT_TRUE(waitUntil([&] {
        fresh = FindWindowW(L"KobaluneKivLauncher", nullptr);
        return fresh != nullptr && IsWindowVisible(fresh);
    })) << "the new launcher did not start";
    EXPECT_TRUE(waitUntil([&] { return versionText(fresh) == L"Version Check OK"; })) << versionText(fresh);
    EXPECT_TRUE(waitUntil([&] { return !std::filesystem::exists(install / "kiv_launcher.exe.old"); }))
        << "the old copy was not deleted";
    EXPECT_EQ(test::readFile(program()), shipped);
    EXPECT_EQ(test::readFile(install / "kiv.ver"), "59\r\n");
    endProcessOf(fresh);
}

TEST_F(LauncherProgram, SecondStartRestoresTheFirstWithoutWaitingForItAndEndsWithZero) {
    Launcher first(program());
    HWND window = first.waitForWindow();
    ASSERT_NE(window, nullptr);
    ShowWindow(window, SW_MINIMIZE);
    ASSERT_TRUE(waitUntil([&] { return IsIconic(window) != 0; }));

    // The second start must end even while the first answers no message.
    ASSERT_NE(SuspendThread(first.mainThread()), static_cast<DWORD>(-1));
    Launcher second(program());
    ASSERT_TRUE(second.started());
    const std::optional<DWORD> secondExit = second.exitCode(10000);
    ResumeThread(first.mainThread());
    EXPECT_EQ(secondExit, std::optional<DWORD>(0)) << "the second launcher waited for the busy first one";
    EXPECT_TRUE(waitUntil([&] { return IsIconic(window) == 0; })) << "the first launcher stayed minimised";
    EXPECT_EQ(first.exitCode(0), std::nullopt);

    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(first.exitCode(), std::optional<DWORD>(0));
}

TEST_F(LauncherProgram, MissingClientIsReportedAndEndsWithOne) {
    std::filesystem::remove(install / "kiv.exe");
    Launcher launcher(program());
    ASSERT_TRUE(launcher.started());
    HWND box = nullptr;
    ASSERT_TRUE(waitUntil([&] { return (box = topWindowOf(launcher.id(), L"#32770")) != nullptr; }));
    EXPECT_EQ(textOf(box), L"KIV Launcher");
    EXPECT_EQ(textOf(GetDlgItem(box, 0xFFFF)), L"kiv.exe was not found beside the launcher.");
    EXPECT_EQ(launcher.window(), nullptr);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(launcher.exitCode(), std::optional<DWORD>(1));
    // The leftover log goes before the client is looked for.
    EXPECT_FALSE(std::filesystem::exists(install / "kiv_launcher.log"));
}

TEST_F(LauncherProgram, ClicksDuringTheVersionCheckDoNothing) {
    publish58();
    HttpRoute stall;
    stall.stallAfter = 0;
    server.setRoute("/kiv/58/dl_list.txt", stall);
    Launcher launcher(program());
    HWND window = launcher.waitForWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(waitUntil([&] { return versionText(window) == L"Checking version"; })) << versionText(window);
    ASSERT_TRUE(waitUntil([&] { return server.requests().size() == 1; }));

    click(window, 638, 498);
    PostMessageW(window, WM_LBUTTONUP, 0, MAKELPARAM(700, 520));
    settle(window);
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(versionText(window), L"Checking version");
    EXPECT_EQ(downloadText(window), L"Please wait");

    // Let the check end (the server goes away), then close.
    server.stop();
    EXPECT_TRUE(waitUntil([&] { return versionText(window) == L"Version Check OK"; })) << versionText(window);
    EXPECT_EQ(test::readFile(install / "kiv.ver"), "57\r\n");
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(launcher.exitCode(), std::optional<DWORD>(0));
}

}  // namespace
}  // namespace kiv
