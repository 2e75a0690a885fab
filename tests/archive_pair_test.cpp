#include "archive/archive.h"
#include "base/base.h"
#include "tests/archive_packer.h"
#include "tests/support.h"

#include <gtest/gtest.h>

#include <climits>
#include <fstream>

namespace kiv {
namespace {

using test::buildFilenameBlock;

// What a test pair holds: filler bytes (sparse beyond the first 16) and then
// `stored` at `datAt` in the .dat; in the .hed, a head pointing at `offset`
// with `storedWord` and `size` (both the stored length when 0), one header
// per entry of `headers` and then `headerCount` made-up ones, then `hedTail`,
// all cut to `hedLength`.
struct PairImage {
    std::vector<std::uint8_t> stored{};
    std::size_t headerCount = 0;
    std::vector<test::HeaderWords> headers{};
    std::string hedTail{};
    std::size_t hedLength = std::string::npos;
    std::uint32_t offset = 16;
    std::uint32_t datAt = 16;
    std::uint32_t storedWord = 0;
    std::uint32_t size = 0;
};

void writePair(const std::filesystem::path& hed, PairImage image) {
    const auto dat = std::filesystem::path(hed).replace_extension(".dat");
    test::writeFile(dat, std::string(16, 'Z'));
    std::filesystem::resize_file(dat, image.datAt);
    std::ofstream(dat, std::ios::binary | std::ios::app) << test::asString(image.stored);
    const auto length = static_cast<std::uint32_t>(image.stored.size());
    for (std::uint32_t i = 0; i < image.headerCount; ++i) image.headers.push_back({100 + i, 10 + i, 20 + i});
    const std::string bytes = test::buildHed(image.offset, image.storedWord ? image.storedWord : length,
                                             image.size ? image.size : length, image.headers);
    test::writeFile(hed, (bytes + image.hedTail).substr(0, image.hedLength));
}

std::vector<std::uint8_t> withCount(std::int32_t count, const std::vector<std::string>& names) {
    auto block = buildFilenameBlock(names);
    storeLe32(block.data(), static_cast<std::uint32_t>(count));
    return block;
}

std::vector<std::string> names(const ArchivePair& pair) {
    std::vector<std::string> found;
    for (const ArchiveItem& item : pair.items) found.push_back(item.name);
    return found;
}

class ArchivePairOpen : public ::testing::Test {
protected:
    test::TempDir dir;
    ArchivePair pair;
    std::wstring error;
};

TEST_F(ArchivePairOpen, LoadsEveryItemWithItsHeaderAndIndexesNamesAsExactByteStrings) {
    const auto block = buildFilenameBlock({"same", "", "Data\\A.txt", "data\\a.txt", "data/a.txt", "same"});
    writePair(dir / "x.hed", {.stored = block, .headerCount = 4, .headers = {{16, 5, 5}, {21, 0x80000007u, 9}}});
    ASSERT_TRUE(pair.open(dir / "x.hed", error));
    ASSERT_EQ(pair.items.size(), 6u);
    EXPECT_EQ(pair.items[0], (ArchiveItem{"same", 16, 5, 5, 5, 0}));
    EXPECT_EQ(pair.items[1], (ArchiveItem{"", 21, 0x80000007u, 7, 9, 1}));
    // The later of two equal names wins; case and separators are not folded,
    // and an empty name has no key.
    const std::unordered_map<std::string, std::int32_t> index = {
        {"same", 5}, {"Data\\A.txt", 2}, {"data\\a.txt", 3}, {"data/a.txt", 4}};
    EXPECT_EQ(pair.nameIndex, index);
}

TEST_F(ArchivePairOpen, BadOrOddFilesGiveTheirMessageAndTheItemsBeforeTheFault) {
    const auto plain = buildFilenameBlock({"a", "b", "c"});
    auto unterminated = buildFilenameBlock({"a", "last"});
    unterminated.pop_back();
    const auto packed = test::packFilenameBlock(plain);
    auto emptyNames = withCount(INT32_MAX, {});
    emptyNames.resize(emptyNames.size() + 1000000, 0);
    const auto length = static_cast<std::uint32_t>(plain.size());
    const std::wstring truncated = L"Archive item header is truncated.";
    const std::wstring outside = L"Could not read archive filename block.";
    const std::wstring unpackable = L"Could not unpack archive filename block.";
    const struct {
        const char* what;
        PairImage image;
        std::wstring error;  // empty when the pair opens
        std::vector<std::string> names;
    } rows[] = {
        {"negative count", {.stored = withCount(INT32_MIN, {"a", "b"}), .headerCount = 2}, L"", {}},
        {"fewer names than the count, more headers than names",
         {.stored = withCount(1000000, {"a", "b", "c"}), .headerCount = 5}, L"", {"a", "b", "c"}},
        {"last name without its 0x00", {.stored = unterminated, .headerCount = 2}, L"", {"a", "last"}},
        {"flag in the block's stored length",
         {.stored = plain, .headerCount = 3, .storedWord = length | kStoredSizeFlag}, L"", {"a", "b", "c"}},
        {"packed block", {.stored = packed, .headerCount = 3, .size = length}, L"", {"a", "b", "c"}},
        {"head cut short", {.stored = plain, .hedLength = 11}, L"Invalid .hed header.", {}},
        {"third header cut short", {.stored = plain, .headerCount = 2, .hedTail = "12345"}, truncated, {"a", "b"}},
        // A million empty names and a count claiming more stop at the headers there are.
        {"more names than headers", {.stored = emptyNames, .headerCount = 3}, truncated, {"", "", ""}},
        {"three-byte block", {.stored = {1, 0, 0}}, L"Archive filename block is too small.", {}},
        {"block past the end", {.stored = plain, .headerCount = 3, .offset = 17}, outside, {}},
        // The offset is a signed 32-bit position: a .dat beyond 2 GiB does
        // not make a block at or behind that point reachable.
        {"block at the signed offset limit", {.stored = plain, .headerCount = 3, .offset = 1u << 31, .datAt = 1u << 31},
         outside, {}},
        // Refused without reading (or allocating) it.
        {"stored length far beyond the file", {.stored = plain, .storedWord = 0x7FFFFFFF, .size = 0x7FFFFFFF},
         outside, {}},
        // (A length ending exactly at a token boundary inside the last name
        // would unpack: that name just lacks its terminator.)
        {"packed block one byte short", {.stored = packed, .headerCount = 3, .size = length + 1}, unpackable, {}},
        // Ten stored bytes yield at most 40 tokens of 100 bytes: longer claims
        // are refused before anything is allocated for them.
        {"unpacked length beyond reach", {.stored = std::vector<std::uint8_t>(10, 0x30), .size = 4001}, unpackable, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        writePair(dir / "x.hed", row.image);
        error.clear();
        EXPECT_EQ(pair.open(dir / "x.hed", error), row.error.empty());
        EXPECT_EQ(error, row.error);
        EXPECT_EQ(names(pair), row.names);
    }
}

// Every call starts from an empty table, the failing ones included.
TEST_F(ArchivePairOpen, OpeningAgainStartsAfreshAndTheDataFileIsTheHedWithItsExtensionReplaced) {
    writePair(dir / "a.hed", {.stored = buildFilenameBlock({"one", "two"}), .headerCount = 2});
    writePair(dir / "b.hed", {.stored = buildFilenameBlock({"three"}), .headerCount = 1});
    ASSERT_TRUE(pair.open(dir / "a.hed", error));
    ASSERT_TRUE(pair.open(dir / "b.hed", error));
    EXPECT_EQ(names(pair), std::vector<std::string>{"three"});
    test::writeFile(dir / "lonely.hed", test::buildHed(0, 4, 4, {}));
    const std::pair<std::filesystem::path, std::filesystem::path> rows[] = {
        {dir / "x.hed", dir / "x.dat"},
        {dir / "x", dir / "x.dat"},
        {dir / "old.set" / "x", dir / "old.set" / "x.dat"},
        {dir / ".hidden", dir / ".hidden.dat"},
        {dir / "lonely.hed", dir / "lonely.dat"},
    };
    for (const auto& [hed, dat] : rows) {
        // The .dat is missing; the one it would be is still named.
        EXPECT_FALSE(pair.open(hed, error));
        EXPECT_EQ(error, L"Could not open .hed/.dat pair.");
        EXPECT_EQ(pair.datPath, dat);
        EXPECT_TRUE(pair.items.empty() && pair.nameIndex.empty());
    }
}

}  // namespace
}  // namespace kiv
