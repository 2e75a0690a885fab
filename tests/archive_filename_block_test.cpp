#include "archive/archive.h"
#include "tests/archive_packer.h"

#include <gtest/gtest.h>

#include <random>

namespace kiv {
namespace {

using test::asString;

// Unpacks `packed` into a buffer of `expected` bytes: the text, or "<fail>".
std::string unpack(const std::vector<std::uint8_t>& packed, std::size_t expected) {
    std::vector<std::uint8_t> out(expected, 0);
    if (!unpackFilenameBlock(packed, out)) return "<fail>";
    return asString(out);
}

// Bits written most significant first, padded with zeros to whole bytes.
std::vector<std::uint8_t> bits(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    std::uint8_t current = 0;
    int filled = 0;
    for (char c : text) {
        if (c != '0' && c != '1') continue;
        current = static_cast<std::uint8_t>((current << 1) | (c == '1'));
        if (++filled == 8) {
            bytes.push_back(current);
            current = 0;
            filled = 0;
        }
    }
    if (filled) bytes.push_back(static_cast<std::uint8_t>(current << (8 - filled)));
    return bytes;
}

TEST(UnpackFilenameBlock, WorkedExamplesUnpackExactlyWhateverFollows) {
    EXPECT_EQ(unpack({0x30, 0x98, 0xA0}, 4), "abab");
    EXPECT_EQ(unpack({0x30, 0x98, 0x8C, 0x72, 0xEF, 0x26, 0x30}, 18), "abcabcabcabcabcabc");
    // Bits and bytes after the point where the output is full are ignored.
    EXPECT_EQ(unpack({0x30, 0x98, 0x8C, 0x72, 0xEF, 0x26, 0x3F, 0xFF, 0xFF}, 18), "abcabcabcabcabcabc");
}

TEST(UnpackFilenameBlock, ReferenceToACodeNotYetDefinedFails) {
    // As the first token, no code is defined yet.
    EXPECT_EQ(unpack(bits("1 0 0000000"), 2), "<fail>");
    // After a b only 256 = ab exists; with codeWidth 1 the value 1 names 257.
    EXPECT_EQ(unpack(bits("0 01100001 0 01100010 1 1"), 4), "<fail>");
}

// Streams that end early are in EveryShortenedStreamFails.
TEST(UnpackFilenameBlock, ATokenMustFitTheOutput) {
    // The reference to "ab" would need 2 bytes where 1 is left.
    EXPECT_EQ(unpack({0x30, 0x98, 0xA0}, 3), "<fail>");
    EXPECT_EQ(unpack({}, 0), "");
    // Non-empty input, nothing expected: the first token does not fit.
    EXPECT_EQ(unpack({0x30, 0x80}, 0), "<fail>");
}

TEST(UnpackFilenameBlock, CodeWidthGrowsOneBitPerTokenAtMost) {
    // After a b c, three entries exist (256 ab, 257 bc ... only two: updates
    // follow b and c). The token after c reads the width step: entries 2 >=
    // threshold 2, so the width becomes 2 and "10 01" names 257 = bc.
    EXPECT_EQ(unpack(bits("0 01100001 0 01100010 0 01100011 1 01"), 5), "abcbc");
    // Before that step a one-bit reference is read: "1 0" after a b is ab.
    EXPECT_EQ(unpack(bits("0 01100001 0 01100010 1 0"), 4), "abab");
}

// ---- Round trips through the test packer ----------------------------------------

std::vector<std::string> randomNames(std::mt19937& random, std::size_t count) {
    static const char* const folders[] = {"data\\", "data\\map\\", "data\\sprite\\", "data\\sound\\bgm\\",
                                          "data/texture/effect/", "npcdata\\monster\\", "ui\\"};
    static const char* const suffixes[] = {".tga", ".bmp", ".spr", ".act", ".wav", ".gat", ".rsw", ".txt"};
    std::uniform_int_distribution<int> folder(0, 6), suffix(0, 7), length(1, 24), letter(0, 35), high(0, 20);
    std::vector<std::string> names;
    for (std::size_t i = 0; i < count; ++i) {
        std::string name = folders[folder(random)];
        const int n = length(random);
        for (int k = 0; k < n; ++k) {
            const int c = letter(random);
            name.push_back(static_cast<char>(c < 26 ? 'a' + c : '0' + (c - 26)));
            if (high(random) == 0) name.push_back(static_cast<char>(0xC0 + letter(random)));
        }
        name += suffixes[suffix(random)];
        names.push_back(name);
    }
    return names;
}

void expectRoundTrip(const std::vector<std::uint8_t>& block, const std::vector<std::uint8_t>& packed) {
    std::vector<std::uint8_t> out(block.size(), 0);
    ASSERT_TRUE(unpackFilenameBlock(packed, out));
    EXPECT_TRUE(out == block);
}

TEST(UnpackFilenameBlockRoundTrip, SmallNameListsComeBack) {
    std::mt19937 random(7);
    for (int round = 0; round < 50; ++round) {
        const auto block = test::buildFilenameBlock(randomNames(random, 1 + round * 3));
        expectRoundTrip(block, test::packFilenameBlock(block));
    }
}

TEST(UnpackFilenameBlockRoundTrip, FullDictionaryWithRecyclingAndWidestCodes) {
    std::mt19937 random(11);
    const auto block = test::buildFilenameBlock(randomNames(random, 15000));
    test::PackStats stats;
    const auto packed = test::packFilenameBlock(block, &stats);
    EXPECT_EQ(stats.codeWidth, 13u);
    EXPECT_GT(stats.entriesRecycled, 5000u);
    EXPECT_LT(packed.size(), block.size());
    expectRoundTrip(block, packed);
}

TEST(UnpackFilenameBlockRoundTrip, RandomlyShortenedTokensComeBack) {
    std::mt19937 random(13);
    const auto block = test::buildFilenameBlock(randomNames(random, 8000));
    test::PackStats stats;
    const auto packed = test::packFilenameBlock(block, &stats, &random);
    EXPECT_GT(stats.entriesRecycled, 0u);
    expectRoundTrip(block, packed);
}

TEST(UnpackFilenameBlockRoundTrip, HundredByteTokensAddNothingAfterThem) {
    // Long repeated names grow entries to the 100-byte limit; tokens of that
    // length follow each other, and the next token's update must add nothing.
    std::string longName(300, 'q');
    for (std::size_t i = 0; i < longName.size(); ++i) longName[i] = static_cast<char>('a' + (i * 7) % 26);
    std::vector<std::string> names(60, longName);
    names.push_back("tail.txt");
    const auto block = test::buildFilenameBlock(names);
    test::PackStats stats;
    const auto packed = test::packFilenameBlock(block, &stats);
    EXPECT_EQ(stats.longestToken, 100u);
    expectRoundTrip(block, packed);
    // Far smaller than literals alone would be: the long tokens are used.
    EXPECT_LT(packed.size() * 20, block.size());
}

TEST(UnpackFilenameBlockRoundTrip, EveryShortenedStreamFails) {
    std::mt19937 random(23);
    const auto block = test::buildFilenameBlock(randomNames(random, 40));
    const auto packed = test::packFilenameBlock(block);
    ASSERT_EQ(unpack(packed, block.size()), asString(block));
    // The stream ends inside a token or at a token boundary with room left;
    // either way the block is incomplete.
    for (std::size_t length = 0; length < packed.size(); ++length) {
        std::vector<std::uint8_t> prefix(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_EQ(unpack(prefix, block.size()), "<fail>") << length;
    }
}

}  // namespace
}  // namespace kiv
