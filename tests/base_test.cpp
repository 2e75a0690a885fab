#include "base/base.h"
#include "tests/support.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <process.h>
#endif

namespace kiv {
namespace {

// Wide literals are UTF-16 on Windows and UTF-32 on Linux, as the conversion's
// results are, so one table holds for both.
TEST(Utf8ToWide, DecodesValidTextAndReplacesEachMaximalInvalidSubsequence) {
    const struct {
        std::string utf8;
        std::wstring wide;
        bool valid;  // and so encoded back to the same bytes
    } cases[] = {
        {"", L"", true}, {"patch\\a b.npatch", L"patch\\a b.npatch", true},
        {"\xC3\xA9t\xC3\xA9", L"\u00E9t\u00E9", true}, {"\xE2\x82\xAC", L"\u20AC", true},
        {"\xF0\x9F\x98\x80", L"\U0001F600", true}, {"\xEF\xBB\xBFx", L"\uFEFFx", true},
        {std::string("a\0b", 3), std::wstring(L"a\0b", 3), true},
        // A lone continuation byte, an invalid lead byte.
        {"a\x80" "b", L"a\uFFFDb", false}, {"\xFF", L"\uFFFD", false},
        // A truncated sequence at the end and before an ASCII byte.
        {"\xE2\x82", L"\uFFFD", false}, {"\xF0\x9F\x98" "a", L"\uFFFDa", false},
        // Overlong forms are not valid starts of a tail.
        {"\xC0\x80", L"\uFFFD\uFFFD", false},
#ifndef _WIN32
        // Three-byte overlongs, encoded surrogates and code points above
        // U+10FFFF: byte by byte. Wine's conversion (which the Windows suite
        // runs on) folds the first two bytes of these into one replacement.
        {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD", false},
        {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD", false},
#endif
    };
    for (const auto& [utf8, wide, valid] : cases) {
        SCOPED_TRACE(testing::PrintToString(utf8));
        EXPECT_EQ(utf8ToWide(utf8), wide);
        if (valid) {
            EXPECT_EQ(wideToUtf8(wide), utf8);
        }
    }
}

TEST(RelativeEntryPath, DropsRootNameAndLeadingSeparators) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"patches\\a.npatch", L"patches\\a.npatch"}, {L"/data/x.dat", L"data/x.dat"}, {L"\\/\\x", L"x"},
        {L"C:\\game\\kiv.exe", L"game\\kiv.exe"},     {L"c:x.dat", L"x.dat"},          {L"\\\\\\x", L"x"},
        {L"\\\\server\\share\\x", L"share\\x"},       {L"//server/share/x", L"share/x"}, {L"1:x", L"1:x"},
        {L"\\\\?\\C:\\x", L"C:\\x"},                  {L"\\\\.\\pipe\\x", L"pipe\\x"},  {L" x ", L" x "},
    };
    for (const auto& [entry, relative] : cases) EXPECT_EQ(relativeEntryPath(entry), relative);
}

TEST(IsUnsafeRelativePath, RefusesParentElementsAndColonsButNotNamesThatOnlyResembleThem) {
    // Escapes and the names that sit close to them; the Windows name rules
    // have their table with the download-list rules.
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"..", true},            {L"..\\kiv.exe", true},       {L"data/../../x", true},
        {L"data\\..", true},      {L"C:\\x", true},             {L"kiv.exe:stream", true},
        {L"data\\..x\\y", false}, {L"patches\\a.npatch", false}, {L"xnul", false},
        {L"./data/x", false},
    };
    for (const auto& [path, unsafe] : cases) EXPECT_EQ(isUnsafeRelativePath(path), unsafe) << wideToUtf8(path);
}

// Positioned writes, reads past the end, truncation, a second handle on the
// open file (as the game's own reader has one) and replacement by rename.
TEST(File, PositionedWritesReadsAndReplacement) {
    test::TempDir dir;
    File file;
    EXPECT_FALSE(file.open(dir / "missing", File::Mode::read));
    ASSERT_TRUE(file.open(dir / "a", File::Mode::create));
    ASSERT_TRUE(file.writeAt(4, "tail", 4) && file.writeAt(0, "head", 4) && file.flush());
    File reader;
    ASSERT_TRUE(reader.open(dir / "a", File::Mode::read));
    char buffer[8];
    ASSERT_TRUE(reader.readAt(0, buffer, 8));
    EXPECT_EQ(std::string(buffer, 8), "headtail");
    EXPECT_FALSE(reader.readAt(6, buffer, 4));
    EXPECT_EQ(reader.readSomeAt(6, buffer, 4), 2);
    EXPECT_EQ(reader.readSomeAt(8, buffer, 4), 0);
    std::uint64_t size = 0;
    ASSERT_TRUE(file.truncate(4) && file.size(size));
    EXPECT_EQ(size, 4u);
    reader.close();
    // Opened to be created, an existing file starts empty.
    ASSERT_TRUE(file.open(dir / "a", File::Mode::create) && file.size(size));
    EXPECT_EQ(size, 0u);
    file.close();

    test::writeFile(dir / "b", "new");
    ASSERT_TRUE(replaceFile(dir / "b", dir / "a"));
    EXPECT_EQ(test::readFile(dir / "a"), "new");
    EXPECT_FALSE(std::filesystem::exists(dir / "b"));
}

// A copy replaces a longer file whole; one that cannot be made leaves nothing
// of itself behind.
TEST(CopyFileReplacing, ReplacesAnExistingFileAndFailsOnADirectory) {
    test::TempDir dir;
    test::writeFile(dir / "new.exe", "new");
    test::writeFile(dir / "kiv.exe", "old and longer");
    std::filesystem::create_directory(dir / "folder");
    EXPECT_TRUE(copyFileReplacing(dir / "new.exe", dir / "kiv.exe"));
    EXPECT_TRUE(copyFileReplacing(dir / "new.exe", dir / "fresh.exe"));
    EXPECT_FALSE(copyFileReplacing(dir / "new.exe", dir / "folder"));
    EXPECT_FALSE(copyFileReplacing(dir / "missing", dir / "other"));
    EXPECT_EQ(test::readFile(dir / "kiv.exe"), "new");
    EXPECT_EQ(test::readFile(dir / "fresh.exe"), "new");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "folder"));
    EXPECT_FALSE(std::filesystem::exists(dir / "folder.kivnew"));
    // A flush that fails (a full disk) leaves the old file in place.
    test::writeFile(dir / "newer.exe", "newer");
    test::RefuseFileChanges full([](const FileChange& change) { return change.kind == FileChange::Kind::flush; });
    EXPECT_FALSE(copyFileReplacing(dir / "newer.exe", dir / "kiv.exe"));
    EXPECT_EQ(test::readFile(dir / "kiv.exe"), "new");
}

TEST(LauncherDirectory, IsTheDirectoryHoldingThisProgram) {
    const std::filesystem::path directory = launcherDirectory();
    EXPECT_TRUE(directory.is_absolute());
    EXPECT_TRUE(std::filesystem::exists(directory / "base_tests.exe") ||
                std::filesystem::exists(directory / "base_tests"));
}

#ifdef _WIN32
// Paths at or past the classic limit reach the system in their verbatim
// form, resolved as that form no longer does; shorter ones as they are.
TEST(SystemPath, LongPathsTakeTheVerbatimForm) {
    const std::wstring deep(260, L'd');
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"C:\\a\\b.txt", L"C:\\a\\b.txt"},
        {L"C:\\a\\" + deep + L"\\..\\b/c.txt", L"\\\\?\\C:\\a\\b\\c.txt"},
        {L"\\\\server\\share\\" + deep, L"\\\\?\\UNC\\server\\share\\" + deep},
        {L"\\\\?\\C:\\" + deep + L"\\.", L"\\\\?\\C:\\" + deep + L"\\."},
    };
    for (const auto& [path, expected] : cases) EXPECT_EQ(systemPath(path).wstring(), expected) << wideToUtf8(path);
}

// A copy of this program whose full path is 259 characters, the longest that
// the classic path limit allows, finds its directory in full.
TEST(LauncherDirectory, ModulePathOfTheClassicLimitIsNotCut) {
    test::TempDir dir;
    const std::wstring base = dir.path().wstring();
    const std::wstring file = L"\\base_tests.exe";
    // One directory long enough to bring the path to the limit.
    const std::wstring deep = base + L'\\' + std::wstring(259 - file.size() - base.size() - 1, L'd');
    const std::filesystem::path program = deep + file;
    ASSERT_EQ(program.wstring().size(), 259u);
    std::filesystem::create_directories(deep);
    std::filesystem::copy_file(launcherDirectory() / "base_tests.exe", program);

    // The child runs the test above from there.
    const std::wstring quoted = L"\"" + program.wstring() + L"\"";
    EXPECT_EQ(_wspawnl(_P_WAIT, program.c_str(), quoted.c_str(),
                       L"--gtest_filter=LauncherDirectory.IsTheDirectoryHoldingThisProgram", nullptr),
              0);
}
#endif

}  // namespace
}  // namespace kiv
