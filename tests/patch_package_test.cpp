#include "patch/patch.h"
#include "tests/patch_fixtures.h"
#include "tests/support.h"

#include <gtest/gtest.h>

namespace kiv {
namespace {

using test::Items;
using test::le16;
using test::le32;
using test::packageBytes;

std::vector<std::uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

TEST(PatchPackage, ReadsEachFieldOrStopsWithTheMessageOfTheFirstMissing) {
    const std::string big = test::pattern(300 * 1024);  // larger than the read buffer, with small fields after it
    const Items entries = {{"b.txt", "bee"}, {"big", big}, {"b.txt", "again"}};
    const std::string head = "ZOKAPATCH1" + le16(0) + le32(1);
    const struct {
        const char* name;
        std::string bytes;
        std::wstring error;
        Items entries = {};
        std::wstring path = L"x.hed";
    } rows[] = {
        {"entries in file order", packageBytes("x.hed", entries), L"", entries},
        {"empty fields and trailing bytes", packageBytes("", {{"a", ""}}) + "extra", L"", {{"a", ""}}, L""},
        {"path in UTF-8, names as bytes", packageBytes("d\xC3\xA9j\xFF.hed", {{"caf\xE9.txt", "x"}}), L"",
         {{"caf\xE9.txt", "x"}}, L"d\u00E9j\uFFFD.hed"},
        {"short magic", "ZOKAPATCH", L"Unsupported patch package."},
        {"other magic", "ZOKAPATCH3" + le16(0) + le32(0), L"Unsupported patch package."},
        {"unknown kind of entry", "ZOKAPATCH2" + le16(0) + le32(1) + le16(1) + "a\x03" + le32(0) + std::string(32, 'd'),
         L"Invalid patch entry kind."},
        {"half a path length", "ZOKAPATCH1\x05", L"Invalid patch archive path length."},
        {"path cut short", "ZOKAPATCH1" + le16(5) + "ab", L"Invalid patch entry count."},
        {"half a name length", head + "\x03", L"Invalid patch entry name length."},
        {"name cut short", head + le16(3) + "ab", L"Invalid patch entry data size."},
        {"data cut short", head + le16(3) + "abc" + le32(4) + "xyz", L"Patch package ended unexpectedly."},
        // Refused on its header, before a buffer is sized for the data.
        {"data of 4 GiB", head + le16(1) + "a" + le32(0xFFFFFFFF), L"Patch package ended unexpectedly."},
        {"4 G entries", "ZOKAPATCH1" + le16(0) + le32(0xFFFFFFFF), L"Invalid patch entry name length."},
    };
    test::TempDir directory;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        test::writeFile(directory / "p.npatch", row.bytes);
        PatchSet set;
        std::wstring error;
        EXPECT_EQ(readPatchPackage(directory / "p.npatch", set, error), row.error.empty());
        EXPECT_EQ(error, row.error);
        if (!row.error.empty()) continue;
        EXPECT_EQ(set.archivePath, row.path);
        EXPECT_EQ(test::itemsOf(set), row.entries);
    }
}

TEST(PatchPackage, WriterWritesTheFormatsBytesOrRefusesFieldsThatOverflow) {
    test::TempDir directory;
    const PatchSet set{L"data\\\u00E9.hed", {{"a.txt", bytesOf("alpha")}, {"", {}}, {"a.txt", bytesOf("again")}}};
    std::wstring error;
    ASSERT_TRUE(writePatchPackage(directory / "w.npatch", set, error)) << wideToUtf8(error);
    EXPECT_EQ(test::readFile(directory / "w.npatch"),
              packageBytes("data\\\xC3\xA9.hed", {{"a.txt", "alpha"}, {"", ""}, {"a.txt", "again"}}));
    EXPECT_FALSE(std::filesystem::exists(directory / "w.npatch.tmp"));
    const std::wstring longPath = L"Patch archive path is too long for a patch package.";
    const std::pair<PatchSet, std::wstring> cases[] = {
        {{std::wstring(65536, L'a'), {}}, longPath},
        // Two UTF-8 bytes per character: 32768 characters are 65536 bytes.
        {{std::wstring(32768, L'\u00E9'), {}}, longPath},
        {{L"x.hed", {{std::string(65536, 'n'), {}}}}, L"Patch entry name is too long for a patch package."},
    };
    for (const auto& [refused, message] : cases) {
        EXPECT_FALSE(writePatchPackage(directory / "o.npatch", refused, error));
        EXPECT_EQ(error, message);
    }
    EXPECT_FALSE(std::filesystem::exists(directory / "o.npatch"));
    const PatchSet fits{std::wstring(65535, L'a'), {{std::string(65535, 'n'), {}}}};
    EXPECT_TRUE(writePatchPackage(directory / "o.npatch", fits, error));
}

}  // namespace
}  // namespace kiv
