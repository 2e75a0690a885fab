// Where the installation is: the directory of the running program.
#include "base/base.h"
#include "tests/support.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

namespace kiv {
namespace {

TEST(LauncherDirectory, IsTheDirectoryHoldingThisProgram) {
    std::filesystem::path directory = launcherDirectory();
    ASSERT_FALSE(directory.empty());
    EXPECT_TRUE(directory.is_absolute());
#ifdef _WIN32
    EXPECT_TRUE(std::filesystem::exists(directory / "base_tests.exe"));
#else
    EXPECT_TRUE(std::filesystem::exists(directory / "base_tests"));
#endif
}

#ifdef _WIN32
// A copy of this program whose full path is 259 characters, the longest that
// the classic path limit allows, finds its directory in full.
TEST(LauncherDirectory, ModulePathOfTheClassicLimitIsNotCut) {
    test::TempDir dir;
    const std::size_t fileLength = std::wstring(L"\\base_tests.exe").size();
    // One directory long enough to bring the path to the limit.
    const std::wstring base = dir.path().wstring();
    const std::wstring deep = base + L'\\' + std::wstring(259 - fileLength - base.size() - 1, L'd');
    const std::filesystem::path program = std::filesystem::path(deep) / L"base_tests.exe";
    ASSERT_EQ(program.wstring().size(), 259u);
    std::filesystem::create_directories(deep);
    std::filesystem::copy_file(launcherDirectory() / "base_tests.exe", program);

    std::wstring command =
        L"\"" + program.wstring() + L"\" --gtest_filter=LauncherDirectory.IsTheDirectoryHoldingThisProgram";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &process));
    WaitForSingleObject(process.hProcess, 60000);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    EXPECT_EQ(exitCode, 0u);
}
#endif

}  // namespace
}  // namespace kiv
