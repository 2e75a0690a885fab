#include "archive/archive.h"
#include "base/base.h"
#include "tests/archive_packer.h"
#include "tests/support.h"

#include <gtest/gtest.h>

#include <random>

namespace kiv {
namespace {

using test::asString;
using test::buildFilenameBlock;
using test::buildHed;
using test::HeaderWords;
using test::TempDir;
using test::writeFile;

// A pair whose .dat starts with 16 filler bytes and then holds the block as
// given; the head points at the block. One header per entry of `headers`.
void writePair(const std::filesystem::path& hed, const std::vector<std::uint8_t>& stored, std::uint32_t storedWord,
               std::uint32_t unpackedSize, const std::vector<HeaderWords>& headers) {
    std::filesystem::path dat = hed;
    dat.replace_extension(".dat");
    writeFile(dat, std::string(16, '\x5A') + asString(stored));
    writeFile(hed, buildHed(16, storedWord, unpackedSize, headers));
}

void writePlainPair(const std::filesystem::path& hed, const std::vector<std::uint8_t>& block,
                    const std::vector<HeaderWords>& headers) {
    const auto length = static_cast<std::uint32_t>(block.size());
    writePair(hed, block, length, length, headers);
}

std::vector<HeaderWords> headersFor(std::size_t count) {
    std::vector<HeaderWords> headers;
    for (std::size_t i = 0; i < count; ++i) {
        const auto n = static_cast<std::uint32_t>(i);
        headers.push_back({100 + n, 10 + n, 20 + n});
    }
    return headers;
}

class ArchivePairOpen : public ::testing::Test {
protected:
    TempDir dir;
    ArchivePair pair;
    std::wstring error;
};

TEST_F(ArchivePairOpen, LoadsEveryItemWithItsHeader) {
    writePlainPair(dir / "map.hed", buildFilenameBlock({"data\\a.txt", "data\\b.bmp"}),
                   {{16, 5, 5}, {21, 0x80000007u, 9}});
    error = L"untouched";
    ASSERT_TRUE(pair.open(dir / "map.hed", error));
    EXPECT_EQ(error, L"untouched");
    ASSERT_EQ(pair.items.size(), 2u);
    EXPECT_EQ(pair.items[0], (ArchiveItem{"data\\a.txt", 16, 5, 5, 5, 0}));
    EXPECT_EQ(pair.items[1], (ArchiveItem{"data\\b.bmp", 21, 0x80000007u, 7, 9, 1}));
    EXPECT_EQ(pair.nameIndex.at("data\\b.bmp"), 1);
    EXPECT_EQ(pair.hedPath, dir / "map.hed");
}

TEST_F(ArchivePairOpen, CountZeroOrNegativeGivesAnEmptyTable) {
    for (std::int32_t count : {0, INT32_MIN}) {
        writePlainPair(dir / "x.hed", buildFilenameBlock(count, {"a", "b"}), headersFor(2));
        ASSERT_TRUE(pair.open(dir / "x.hed", error)) << count;
        EXPECT_TRUE(pair.items.empty());
        EXPECT_TRUE(pair.nameIndex.empty());
    }
}

TEST_F(ArchivePairOpen, TableHoldsOneItemPerNamePresent) {
    // Fewer names than the count, more headers than names.
    writePlainPair(dir / "x.hed", buildFilenameBlock(1000000, {"a", "b", "c"}), headersFor(5));
    ASSERT_TRUE(pair.open(dir / "x.hed", error));
    ASSERT_EQ(pair.items.size(), 3u);
    EXPECT_EQ(pair.items[2].name, "c");

    // A last name without its terminating 0x00 is kept.
    auto block = buildFilenameBlock({"a", "last"});
    block.pop_back();
    writePlainPair(dir / "x.hed", block, headersFor(2));
    ASSERT_TRUE(pair.open(dir / "x.hed", error));
    ASSERT_EQ(pair.items.size(), 2u);
    EXPECT_EQ(pair.items[1].name, "last");
    EXPECT_EQ(pair.nameIndex.at("last"), 1);
}

TEST_F(ArchivePairOpen, TruncatedHedIsReportedWithTheItemsBeforeTheCut) {
    writePlainPair(dir / "x.hed", buildFilenameBlock({"a"}), {});
    writeFile(dir / "x.hed", std::string(11, '\0'));
    EXPECT_FALSE(pair.open(dir / "x.hed", error));
    EXPECT_EQ(error, L"Invalid .hed header.");
    EXPECT_TRUE(pair.items.empty());

    // 12 + 12 * 2 + 5 bytes for four names: the third header is cut short.
    writePlainPair(dir / "x.hed", buildFilenameBlock({"a", "b", "c", "d"}), headersFor(2));
    writeFile(dir / "x.hed", test::readFile(dir / "x.hed") + std::string(5, '\x01'));
    EXPECT_FALSE(pair.open(dir / "x.hed", error));
    EXPECT_EQ(error, L"Archive item header is truncated.");
    ASSERT_EQ(pair.items.size(), 2u);
    EXPECT_EQ(pair.nameIndex.size(), 2u);
    EXPECT_EQ(pair.items[1].dataOffset, 101u);

    // A million empty names and a count claiming more still stop at the
    // headers there are.
    std::vector<std::uint8_t> block = buildFilenameBlock(INT32_MAX, {});
    block.resize(block.size() + 1000000, 0);
    writePlainPair(dir / "x.hed", block, headersFor(3));
    EXPECT_FALSE(pair.open(dir / "x.hed", error));
    EXPECT_EQ(error, L"Archive item header is truncated.");
    EXPECT_EQ(pair.items.size(), 3u);
}

TEST_F(ArchivePairOpen, StoredLengthFlagIsIgnored) {
    const auto block = buildFilenameBlock({"flagged"});
    const auto length = static_cast<std::uint32_t>(block.size());
    writePair(dir / "x.hed", block, length | 0x80000000u, length, headersFor(1));
    ASSERT_TRUE(pair.open(dir / "x.hed", error));
    ASSERT_EQ(pair.items.size(), 1u);
    EXPECT_EQ(pair.items[0].name, "flagged");
}

TEST_F(ArchivePairOpen, EmptyBlockIsTooSmall) {
    writePair(dir / "x.hed", {}, 0, 0, {});
    EXPECT_FALSE(pair.open(dir / "x.hed", error));
    EXPECT_EQ(error, L"Archive filename block is too small.");
    writePair(dir / "x.hed", {1, 0, 0}, 3, 3, {});
    EXPECT_FALSE(pair.open(dir / "x.hed", error));
    EXPECT_EQ(error, L"Archive filename block is too small.");
}

TEST_F(ArchivePairOpen, NamesAreIndexedAsExactByteStrings) {
    writePlainPair(dir / "x.hed",
                   buildFilenameBlock({"same", "", "Data\\A.txt", "data\\a.txt", "data/a.txt", "same"}),
                   headersFor(6));
    ASSERT_TRUE(pair.open(dir / "x.hed", error));
    ASSERT_EQ(pair.items.size(), 6u);
    // The later of two equal names wins; both stay in the table.
    EXPECT_EQ(pair.nameIndex.at("same"), 5);
    // Case and separators are not folded, and an empty name has no key.
    EXPECT_EQ(pair.nameIndex.at("Data\\A.txt"), 2);
    EXPECT_EQ(pair.nameIndex.at("data/a.txt"), 4);
    EXPECT_EQ(pair.nameIndex.size(), 4u);
}

TEST_F(ArchivePairOpen, DataFileIsTheHedPathWithItsExtensionReplaced) {
    const auto block = buildFilenameBlock({"a"});
    struct Case {
        std::filesystem::path hed;
        std::filesystem::path dat;
    } cases[] = {
        {dir / "x.hed", dir / "x.dat"},
        {dir / "x", dir / "x.dat"},
        {dir / "old.set" / "x", dir / "old.set" / "x.dat"},
        {dir / "two.dots.hed", dir / "two.dots.dat"},
        {dir / ".hidden", dir / ".hidden.dat"},
    };
    for (const Case& c : cases) {
        writeFile(c.dat, std::string(16, '\0') + asString(block));
        writeFile(c.hed, buildHed(16, static_cast<std::uint32_t>(block.size()),
                                  static_cast<std::uint32_t>(block.size()), headersFor(1)));
        ASSERT_TRUE(pair.open(c.hed, error)) << c.hed;
        EXPECT_EQ(pair.datPath, c.dat);
        EXPECT_EQ(pair.items.size(), 1u);
        std::filesystem::remove(c.dat);
    }
}

TEST_F(ArchivePairOpen, MissingFileOrBlockOutsideTheDatIsReported) {
    EXPECT_FALSE(pair.open(dir / "none.hed", error));
    EXPECT_EQ(error, L"Could not open .hed/.dat pair.");
    EXPECT_EQ(pair.datPath, dir / "none.dat");
    writeFile(dir / "lonely.hed", buildHed(0, 4, 4, {}));
    EXPECT_FALSE(pair.open(dir / "lonely.hed", error));
    EXPECT_EQ(error, L"Could not open .hed/.dat pair.");

    const auto block = buildFilenameBlock({"a"});
    const auto length = static_cast<std::uint32_t>(block.size());
    writeFile(dir / "x.dat", std::string(16, '\0') + asString(block));
    // Past the end, at or beyond the signed limit, and a stored length far
    // beyond the file (refused without reading it).
    for (auto [offset, stored] : {std::pair{17u, length}, {0x80000000u, length},
                                  {0xFFFFFFF0u, length}, {16u, 0x7FFFFFFFu}}) {
        writeFile(dir / "x.hed", buildHed(offset, stored, stored, headersFor(1)));
        EXPECT_FALSE(pair.open(dir / "x.hed", error)) << offset;
        EXPECT_EQ(error, L"Could not read archive filename block.");
        EXPECT_TRUE(pair.items.empty());
    }
}

TEST_F(ArchivePairOpen, PackedBlockIsUnpacked) {
    std::vector<std::string> names;
    for (int i = 0; i < 300; ++i) names.push_back("data\\texture\\item" + std::to_string(i) + ".bmp");
    const auto block = buildFilenameBlock(names);
    const auto packed = test::packFilenameBlock(block);
    writePair(dir / "x.hed", packed, static_cast<std::uint32_t>(packed.size()),
              static_cast<std::uint32_t>(block.size()), headersFor(300));
    ASSERT_TRUE(pair.open(dir / "x.hed", error)) << wideToUtf8(error);
    ASSERT_EQ(pair.items.size(), 300u);
    EXPECT_EQ(pair.items[299].name, "data\\texture\\item299.bmp");
    EXPECT_EQ(pair.nameIndex.at("data\\texture\\item7.bmp"), 7);
}

TEST_F(ArchivePairOpen, PackedBlockThatDoesNotGiveItsLengthIsReported) {
    const auto block = buildFilenameBlock({"data\\a.bmp", "data\\b.bmp", "data\\c.bmp"});
    const auto packed = test::packFilenameBlock(block);
    const auto blockLength = static_cast<std::uint32_t>(block.size());
    // (A length that ends exactly at a token boundary inside the last name
    // would unpack: that name just lacks its terminator.) Ten stored bytes
    // yield at most 40 tokens of 100 bytes: longer claims are refused before
    // anything is allocated for them.
    const std::pair<std::vector<std::uint8_t>, std::uint32_t> cases[] = {
        {packed, blockLength + 1},
        {std::vector<std::uint8_t>(10, 0x30), 4001u},
        {std::vector<std::uint8_t>(10, 0x30), 0xFFFFFFFFu}};
    for (const auto& [stored, size] : cases) {
        writePair(dir / "x.hed", stored, static_cast<std::uint32_t>(stored.size()), size, headersFor(3));
        EXPECT_FALSE(pair.open(dir / "x.hed", error)) << size;
        EXPECT_EQ(error, L"Could not unpack archive filename block.");
        EXPECT_TRUE(pair.items.empty());
    }
}

TEST_F(ArchivePairOpen, OpeningAgainStartsFromAnEmptyTable) {
    writePlainPair(dir / "a.hed", buildFilenameBlock({"one", "two"}), headersFor(2));
    writePlainPair(dir / "b.hed", buildFilenameBlock({"three"}), headersFor(1));
    ASSERT_TRUE(pair.open(dir / "a.hed", error));
    ASSERT_TRUE(pair.open(dir / "b.hed", error));
    ASSERT_EQ(pair.items.size(), 1u);
    EXPECT_EQ(pair.nameIndex.count("one"), 0u);
    EXPECT_EQ(pair.datPath, dir / "b.dat");
    EXPECT_FALSE(pair.open(dir / "missing.hed", error));
    EXPECT_TRUE(pair.items.empty());
    EXPECT_TRUE(pair.nameIndex.empty());
}

}  // namespace
}  // namespace kiv
