#include "tests/support.h"
#include "update/update.h"

#include <gtest/gtest.h>

namespace kiv {
namespace {

std::int32_t versionOf(std::string_view content) {
    test::TempDir dir;
    test::writeFile(dir / "kiv.ver", content);
    return readInstalledVersion(dir.path());
}

TEST(ReadInstalledVersion, MissingFileIsNoVersion) {
    test::TempDir dir;
    EXPECT_EQ(readInstalledVersion(dir.path()), 0);
    EXPECT_EQ(readInstalledVersion(dir / "no-such-directory"), 0);
}

TEST(ReadInstalledVersion, ReadsTheLeadingNumber) {
    EXPECT_EQ(versionOf("57\r\n"), 57);
    EXPECT_EQ(versionOf("57"), 57);
    EXPECT_EQ(versionOf("  \t57  \n"), 57);
    EXPECT_EQ(versionOf("\r\n\v\f57"), 57);
    EXPECT_EQ(versionOf("57 and then text"), 57);
    EXPECT_EQ(versionOf("0057x"), 57);
    EXPECT_EQ(versionOf("+12"), 12);
}

TEST(ReadInstalledVersion, NoNumberIsZero) {
    EXPECT_EQ(versionOf(""), 0);
    EXPECT_EQ(versionOf("   \r\n"), 0);
    EXPECT_EQ(versionOf("0"), 0);
    EXPECT_EQ(versionOf("v57"), 0);
    EXPECT_EQ(versionOf("\xEF\xBB\xBF" "57"), 0);
    EXPECT_EQ(versionOf("-"), 0);
    EXPECT_EQ(versionOf("+ 5"), 0);
}

TEST(ReadInstalledVersion, SignsAndOverflowFollowUnsignedExtraction) {
    EXPECT_EQ(versionOf("-3"), -3);
    EXPECT_EQ(versionOf("4294967295"), -1);
    EXPECT_EQ(versionOf("4294967296"), -1);
    EXPECT_EQ(versionOf("99999999999999999999999"), -1);
    EXPECT_EQ(versionOf("-4294967296"), -1);
    EXPECT_EQ(versionOf("3000000000"), -1294967296);
    EXPECT_EQ(versionOf("2147483647"), 2147483647);
}

TEST(ReadInstalledVersion, NumberAfterALongRunOfWhiteSpace) {
    EXPECT_EQ(versionOf(std::string(10000, ' ') + "58"), 58);
}

TEST(WriteInstalledVersion, StoresDigitsAndCrLfExactly) {
    test::TempDir dir;
    writeInstalledVersion(dir.path(), 58);
    EXPECT_EQ(test::readFile(dir / "kiv.ver"), "58\r\n");
    EXPECT_EQ(readInstalledVersion(dir.path()), 58);
    writeInstalledVersion(dir.path(), -3);
    EXPECT_EQ(test::readFile(dir / "kiv.ver"), "-3\r\n");
}

TEST(WriteInstalledVersion, ReplacesALongerFileAndLeavesNoTemporary) {
    test::TempDir dir;
    test::writeFile(dir / "kiv.ver", "123456789 with a long tail\r\n");
    writeInstalledVersion(dir.path(), 7);
    EXPECT_EQ(test::readFile(dir / "kiv.ver"), "7\r\n");
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 1);
}

TEST(WriteInstalledVersion, FailureIsReported) {
    test::TempDir dir;
    EXPECT_FALSE(writeInstalledVersion(dir / "missing-directory", 5));
    EXPECT_FALSE(std::filesystem::exists(dir / "missing-directory"));
}

// Whatever an earlier run left at the temporary name is cleared, a folder too;
// otherwise no version could ever be recorded again.
TEST(WriteInstalledVersion, LeftoverAtTheTemporaryNameDoesNotBlockTheWrite) {
    const std::vector<std::string> leftovers = {"kiv.ver.tmp", "kiv.ver.tmp/", "kiv.ver.tmp/inner/file"};
    for (const std::string& leftover : leftovers) {
        test::TempDir dir;
        test::writeFile(dir / "kiv.ver", "57\r\n");
        if (leftover.ends_with("/")) {
            std::filesystem::create_directories(dir / leftover);
        } else {
            test::writeFile(dir / leftover, "garbage");
        }
        EXPECT_TRUE(writeInstalledVersion(dir.path(), 58)) << leftover;
        EXPECT_EQ(test::readFile(dir / "kiv.ver"), "58\r\n") << leftover;
        EXPECT_FALSE(std::filesystem::exists(dir / "kiv.ver.tmp")) << leftover;
    }
}

TEST(FormatWindowTitle, VersionOrLauncherName) {
    EXPECT_EQ(formatWindowTitle(57), L"KIV Client Ver. 57");
    EXPECT_EQ(formatWindowTitle(1), L"KIV Client Ver. 1");
    EXPECT_EQ(formatWindowTitle(2147483647), L"KIV Client Ver. 2147483647");
    EXPECT_EQ(formatWindowTitle(0), L"KIV Launcher");
    EXPECT_EQ(formatWindowTitle(-1), L"KIV Launcher");
    EXPECT_EQ(formatWindowTitle(-2147483647 - 1), L"KIV Launcher");
}

}  // namespace
}  // namespace kiv
