#include "patch/patch.h"
#include "tests/patch_fixtures.h"
#include "tests/support.h"

#include <gtest/gtest.h>

namespace kiv {
namespace {

using test::le16;
using test::le32;
using test::packageBytes;

std::vector<std::uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

class PatchPackage : public ::testing::Test {
protected:
    // Reads `bytes` as a package; the message on failure, "" on success.
    std::wstring read(std::string_view bytes) {
        test::writeFile(directory / "p.npatch", bytes);
        std::wstring error = L"untouched";
        if (readPatchPackage(directory / "p.npatch", set, error)) {
            EXPECT_EQ(error, L"untouched");
            return L"";
        }
        return error;
    }

    test::TempDir directory;
    PatchSet set;
};

TEST_F(PatchPackage, ReadsPathAndEntriesInFileOrder) {
    EXPECT_EQ(read(packageBytes("data\\ui.hed", {{"b.txt", "bee"}, {"a.txt", "ay"}, {"b.txt", "again"}})), L"");
    EXPECT_EQ(set.archivePath, L"data\\ui.hed");
    ASSERT_EQ(set.entries.size(), 3u);
    EXPECT_EQ(set.entries[0], (PatchEntry{"b.txt", bytesOf("bee")}));
    EXPECT_EQ(set.entries[1], (PatchEntry{"a.txt", bytesOf("ay")}));
    EXPECT_EQ(set.entries[2], (PatchEntry{"b.txt", bytesOf("again")}));
}

TEST_F(PatchPackage, MissingFileCannotBeOpened) {
    std::wstring error;
    EXPECT_FALSE(readPatchPackage(directory / "absent.npatch", set, error));
    EXPECT_EQ(error, L"Could not open patch package.");
}

TEST_F(PatchPackage, ShortOrDifferentMagicIsUnsupported) {
    EXPECT_EQ(read("ZOKAPATCH"), L"Unsupported patch package.");
    EXPECT_EQ(read("ZOKAPATCH2" + le16(0) + le32(0)), L"Unsupported patch package.");
    EXPECT_EQ(read("zOKAPATCH1" + le16(0) + le32(0)), L"Unsupported patch package.");
}

TEST_F(PatchPackage, EachTruncationPointGivesItsMessage) {
    EXPECT_EQ(read("ZOKAPATCH1"), L"Invalid patch archive path length.");
    EXPECT_EQ(read("ZOKAPATCH1\x05"), L"Invalid patch archive path length.");
    // Inside the path: the count's message, not a path message.
    EXPECT_EQ(read("ZOKAPATCH1" + le16(5) + "ab"), L"Invalid patch entry count.");
    EXPECT_EQ(read("ZOKAPATCH1" + le16(2) + "ab" + "\x01\x00"), L"Invalid patch entry count.");
    const std::string head = "ZOKAPATCH1" + le16(0) + le32(1);
    EXPECT_EQ(read(head), L"Invalid patch entry name length.");
    EXPECT_EQ(read(head + "\x03"), L"Invalid patch entry name length.");
    // Inside the name: the data size's message.
    EXPECT_EQ(read(head + le16(3) + "ab"), L"Invalid patch entry data size.");
    EXPECT_EQ(read(head + le16(3) + "abc" + "\x01\x00\x00"), L"Invalid patch entry data size.");
    EXPECT_EQ(read(head + le16(3) + "abc" + le32(4) + "xyz"), L"Patch package ended unexpectedly.");
}

TEST_F(PatchPackage, HugeDeclaredSizesFailWithoutAllocating) {
    // Under the sanitizers an attempt to allocate 4 GiB would abort the test.
    EXPECT_EQ(read("ZOKAPATCH1" + le16(0) + le32(1) + le16(1) + "a" + le32(0xFFFFFFFF)),
              L"Patch package ended unexpectedly.");
    EXPECT_EQ(read("ZOKAPATCH1" + le16(0) + le32(0xFFFFFFFF)), L"Invalid patch entry name length.");
    EXPECT_LE(set.entries.capacity(), 1u);
    EXPECT_EQ(read("ZOKAPATCH1" + le16(0) + le32(0xFFFFFFFF) + le16(0) + le32(0)),
              L"Invalid patch entry name length.");
    EXPECT_EQ(set.entries.size(), 1u);
}

TEST_F(PatchPackage, EmptyFieldsAndTrailingBytesAreValid) {
    EXPECT_EQ(read(packageBytes("", {{"a", ""}}) + "extra bytes"), L"");
    EXPECT_EQ(set.archivePath, L"");
    ASSERT_EQ(set.entries.size(), 1u);
    EXPECT_TRUE(set.entries[0].data.empty());
    EXPECT_EQ(read(packageBytes("x.hed", {})), L"");
    EXPECT_TRUE(set.entries.empty());
}

TEST_F(PatchPackage, NamesStayBytesWhilePathIsDecodedAsUtf8) {
    EXPECT_EQ(read(packageBytes("d\xC3\xA9j\xC3\xA0.hed", {{"caf\xE9.txt", "x"}})), L"");
    EXPECT_EQ(set.archivePath, L"d\u00E9j\u00E0.hed");
    EXPECT_EQ(set.entries[0].name, "caf\xE9.txt");
    EXPECT_EQ(read(packageBytes("a\xFF.hed", {})), L"");
    EXPECT_EQ(set.archivePath, L"a\uFFFD.hed");
}

TEST_F(PatchPackage, DataLargerThanTheReadBufferArrivesWhole) {
    std::string big(300 * 1024, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    EXPECT_EQ(read(packageBytes("x.hed", {{"small", "s"}, {"big", big}, {"tail", "t"}})), L"");
    ASSERT_EQ(set.entries.size(), 3u);
    EXPECT_EQ(set.entries[1].data, bytesOf(big));
    EXPECT_EQ(set.entries[2].data, bytesOf("t"));
}

TEST_F(PatchPackage, WrittenPackageReadsBackTheSame) {
    PatchSet written{L"data\\\u00E9.hed", {{"a.txt", bytesOf("alpha")}, {"", {}}, {"a.txt", bytesOf("again")}}};
    std::wstring error;
    ASSERT_TRUE(writePatchPackage(directory / "w.npatch", written, error)) << test::readFile(directory / "w.npatch");
    EXPECT_EQ(test::readFile(directory / "w.npatch"),
              packageBytes("data\\\xC3\xA9.hed", {{"a.txt", "alpha"}, {"", ""}, {"a.txt", "again"}}));
    EXPECT_FALSE(std::filesystem::exists(directory / "w.npatch.tmp"));
    ASSERT_TRUE(readPatchPackage(directory / "w.npatch", set, error));
    EXPECT_EQ(set.archivePath, written.archivePath);
    EXPECT_EQ(set.entries, written.entries);
}

TEST_F(PatchPackage, WriterRefusesFieldsThatOverflow) {
    std::wstring error;
    PatchSet longPath{std::wstring(65536, L'a'), {}};
    EXPECT_FALSE(writePatchPackage(directory / "o.npatch", longPath, error));
    EXPECT_EQ(error, L"Patch archive path is too long for a patch package.");
    // Two UTF-8 bytes per character: 32768 characters are 65536 bytes.
    PatchSet widePath{std::wstring(32768, L'\u00E9'), {}};
    EXPECT_FALSE(writePatchPackage(directory / "o.npatch", widePath, error));
    PatchSet longName{L"x.hed", {{std::string(65536, 'n'), {}}}};
    EXPECT_FALSE(writePatchPackage(directory / "o.npatch", longName, error));
    EXPECT_EQ(error, L"Patch entry name is too long for a patch package.");
    EXPECT_FALSE(std::filesystem::exists(directory / "o.npatch"));
    PatchSet fits{std::wstring(65535, L'a'), {{std::string(65535, 'n'), {}}}};
    EXPECT_TRUE(writePatchPackage(directory / "o.npatch", fits, error));
}

}  // namespace
}  // namespace kiv
