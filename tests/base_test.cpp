#include "base/base.h"
#include "tests/support.h"

#include <gtest/gtest.h>

namespace kiv {
namespace {

// Wide text as code points, so that the same expectations hold for UTF-16
// (Windows) and UTF-32 (Linux) strings.
std::u32string codePoints(const std::wstring& text) {
    std::u32string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = static_cast<char32_t>(text[i]);
        if (sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
            char32_t low = static_cast<char32_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        out.push_back(c);
    }
    return out;
}

TEST(Utf8ToWide, ValidTextOfEveryLengthDecodes) {
    EXPECT_EQ(codePoints(utf8ToWide("")), U"");
    EXPECT_EQ(codePoints(utf8ToWide("patch\\a b.npatch")), U"patch\\a b.npatch");
    EXPECT_EQ(codePoints(utf8ToWide("\xC3\xA9t\xC3\xA9")), U"\u00E9t\u00E9");
    EXPECT_EQ(codePoints(utf8ToWide("\xE2\x82\xAC")), U"\u20AC");
    EXPECT_EQ(codePoints(utf8ToWide("\xF0\x9F\x98\x80")), U"\U0001F600");
    EXPECT_EQ(codePoints(utf8ToWide("\xEF\xBB\xBFx")), U"\uFEFFx");
    EXPECT_EQ(codePoints(utf8ToWide(std::string("a\0b", 3))), std::u32string(U"a\0b", 3));
}

TEST(Utf8ToWide, EachMaximalInvalidSubsequenceBecomesOneReplacement) {
    // A lone continuation byte, an invalid lead byte.
    EXPECT_EQ(codePoints(utf8ToWide("a\x80" "b")), U"a\uFFFDb");
    EXPECT_EQ(codePoints(utf8ToWide("\xFF")), U"\uFFFD");
    // A truncated sequence at the end and before an ASCII byte.
    EXPECT_EQ(codePoints(utf8ToWide("\xE2\x82")), U"\uFFFD");
    EXPECT_EQ(codePoints(utf8ToWide("\xF0\x9F\x98" "a")), U"\uFFFDa");
    // Overlong forms are not valid starts of a tail.
    EXPECT_EQ(codePoints(utf8ToWide("\xC0\x80")), U"\uFFFD\uFFFD");
#ifndef _WIN32
    // Three-byte overlongs, encoded surrogates and code points above U+10FFFF:
    // byte by byte. Wine's
    // conversion (which the Windows suite runs on) folds the first two bytes
    // of these into one replacement, so only our own decoder is held to it.
    EXPECT_EQ(codePoints(utf8ToWide("\xED\xA0\x80")), U"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(codePoints(utf8ToWide("\xF4\x90\x80\x80")), U"\uFFFD\uFFFD\uFFFD\uFFFD");
#endif
}

TEST(WideToUtf8, RoundTripsValidText) {
    const std::string text = "kiv \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    EXPECT_EQ(wideToUtf8(utf8ToWide(text)), text);
}

TEST(RelativeEntryPath, DropsRootNameAndLeadingSeparators) {
    EXPECT_EQ(relativeEntryPath(L"patches\\a.npatch"), L"patches\\a.npatch");
    EXPECT_EQ(relativeEntryPath(L"/data/x.dat"), L"data/x.dat");
    EXPECT_EQ(relativeEntryPath(L"\\/\\x"), L"x");
    EXPECT_EQ(relativeEntryPath(L"C:\\game\\kiv.exe"), L"game\\kiv.exe");
    EXPECT_EQ(relativeEntryPath(L"c:x.dat"), L"x.dat");
    EXPECT_EQ(relativeEntryPath(L"\\\\server\\share\\x"), L"share\\x");
    EXPECT_EQ(relativeEntryPath(L"//server/share/x"), L"share/x");
    EXPECT_EQ(relativeEntryPath(L"\\\\?\\C:\\x"), L"C:\\x");
    EXPECT_EQ(relativeEntryPath(L"\\\\.\\pipe\\x"), L"pipe\\x");
    EXPECT_EQ(relativeEntryPath(L"\\\\\\x"), L"x");
    EXPECT_EQ(relativeEntryPath(L"1:x"), L"1:x");
    EXPECT_EQ(relativeEntryPath(L""), L"");
    EXPECT_EQ(relativeEntryPath(L" x "), L" x ");
}

TEST(IsUnsafeRelativePath, RefusesParentElementsAndColonsButNotNamesThatOnlyResembleThem) {
    // Escapes and the names that sit close to them; the Windows name rules
    // have their table with the download-list rules.
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"..", true},           {L"..\\kiv.exe", true},      {L"data/../../x", true},
        {L"data\\..", true},     {L"C:\\x", true},             {L"kiv.exe:stream", true},
        {L"data\\..x\\y", false}, {L"patches\\a.npatch", false}, {L"a b\\c.d.e", false},
        {L"COM10", false},       {L"CONSOLE.txt", false},      {L"xnul", false},
        {L"./data/x", false},
    };
    for (const auto& [path, unsafe] : cases) EXPECT_EQ(isUnsafeRelativePath(path), unsafe) << wideToUtf8(path);
}

TEST(JoinEntryPath, AcceptsBothSeparators) {
    test::TempDir dir;
    auto joined = joinEntryPath(dir.path(), L"sub\\deeper/file.txt");
    test::writeFile(joined, "x");
    EXPECT_TRUE(std::filesystem::exists(dir / "sub" / "deeper" / "file.txt"));
}

TEST(ByteReader, ReadsLittleEndianAndRefusesShortReads) {
    const std::uint8_t data[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
    ByteReader reader(data);
    std::uint32_t value32 = 0;
    std::uint16_t value16 = 0;
    ASSERT_TRUE(reader.u32(value32));
    EXPECT_EQ(value32, 0x04030201u);
    ASSERT_TRUE(reader.u16(value16));
    EXPECT_EQ(value16, 0x0605u);
    EXPECT_FALSE(reader.u32(value32));
    EXPECT_FALSE(reader.u16(value16));
    EXPECT_EQ(reader.offset(), 6u);  // a failed read consumes nothing
    std::span<const std::uint8_t> rest;
    EXPECT_FALSE(reader.bytes(2, rest));
    ASSERT_TRUE(reader.bytes(1, rest));
    EXPECT_EQ(rest[0], 0x07);
    EXPECT_EQ(reader.remaining(), 0u);
}

TEST(File, PositionedWritesReadsAndReplacement) {
    test::TempDir dir;
    File file;
    EXPECT_FALSE(file.open(dir / "missing", File::Mode::read));
    ASSERT_TRUE(file.open(dir / "a", File::Mode::create));
    ASSERT_TRUE(file.writeAt(4, "tail", 4));
    ASSERT_TRUE(file.writeAt(0, "head", 4));
    ASSERT_TRUE(file.flush());
    std::uint64_t size = 0;
    ASSERT_TRUE(file.size(size));
    EXPECT_EQ(size, 8u);
    char buffer[8];
    ASSERT_TRUE(file.readAt(0, buffer, 8));
    EXPECT_EQ(std::string(buffer, 8), "headtail");
    EXPECT_FALSE(file.readAt(6, buffer, 4));
    EXPECT_EQ(file.readSomeAt(6, buffer, 4), 2);
    EXPECT_EQ(file.readSomeAt(8, buffer, 4), 0);
    ASSERT_TRUE(file.truncate(4));
    ASSERT_TRUE(file.size(size));
    EXPECT_EQ(size, 4u);
    file.close();

    test::writeFile(dir / "b", "new");
    ASSERT_TRUE(replaceFile(dir / "b", dir / "a"));
    EXPECT_EQ(test::readFile(dir / "a"), "new");
    EXPECT_FALSE(std::filesystem::exists(dir / "b"));
}

TEST(CopyFileReplacing, ReplacesAnExistingFileAndFailsOnADirectory) {
    test::TempDir dir;
    test::writeFile(dir / "new.exe", "new");
    test::writeFile(dir / "kiv.exe", "old and longer");
    EXPECT_TRUE(copyFileReplacing(dir / "new.exe", dir / "kiv.exe"));
    EXPECT_EQ(test::readFile(dir / "kiv.exe"), "new");
    EXPECT_TRUE(copyFileReplacing(dir / "new.exe", dir / "fresh.exe"));
    EXPECT_EQ(test::readFile(dir / "fresh.exe"), "new");
    std::filesystem::create_directory(dir / "folder");
    EXPECT_FALSE(copyFileReplacing(dir / "new.exe", dir / "folder"));
    EXPECT_FALSE(copyFileReplacing(dir / "missing", dir / "other"));
}

TEST(File, OpensWhileAnotherHandleHasItOpen) {
    test::TempDir dir;
    File writer;
    ASSERT_TRUE(writer.open(dir / "shared", File::Mode::create));
    ASSERT_TRUE(writer.writeAt(0, "abc", 3));
    File reader;
    ASSERT_TRUE(reader.open(dir / "shared", File::Mode::read));
    char buffer[3];
    ASSERT_TRUE(reader.readAt(0, buffer, 3));
    EXPECT_EQ(std::string(buffer, 3), "abc");
}

}  // namespace
}  // namespace kiv
