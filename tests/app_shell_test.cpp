#include "app/shell.h"
#include "tests/support.h"

#include <gtest/gtest.h>

namespace kiv {
namespace {

TEST(FormatWindowTitle, VersionOrLauncherName) {
    EXPECT_EQ(formatWindowTitle(57), L"KIV Client Ver. 57");
    EXPECT_EQ(formatWindowTitle(1), L"KIV Client Ver. 1");
    EXPECT_EQ(formatWindowTitle(2147483647), L"KIV Client Ver. 2147483647");
    EXPECT_EQ(formatWindowTitle(0), L"KIV Launcher");
    EXPECT_EQ(formatWindowTitle(-1), L"KIV Launcher");
    EXPECT_EQ(formatWindowTitle(-2147483647 - 1), L"KIV Launcher");
}

TEST(LauncherDirectory, IsTheDirectoryHoldingThisProgram) {
    std::filesystem::path directory = launcherDirectory();
    ASSERT_FALSE(directory.empty());
    EXPECT_TRUE(directory.is_absolute());
#ifdef _WIN32
    EXPECT_TRUE(std::filesystem::exists(directory / "app_tests.exe"));
#else
    EXPECT_TRUE(std::filesystem::exists(directory / "app_tests"));
#endif
}

}  // namespace
}  // namespace kiv
