#include "archive/archive.h"
#include "tests/archive_packer.h"

#include <gtest/gtest.h>

#include <random>

namespace kiv {
namespace {

// Unpacks `packed` into a buffer of `expected` bytes: the text, or "<fail>".
std::string unpack(const std::vector<std::uint8_t>& packed, std::size_t expected) {
    std::vector<std::uint8_t> out(expected, 0);
    return unpackFilenameBlock(packed, out) ? test::asString(out) : "<fail>";
}

TEST(UnpackFilenameBlock, HandMadeStreamsGiveExactlyTheirText) {
    const struct {
        const char* what;
        std::vector<std::uint8_t> stream;
        std::size_t expected;
        std::string text;
    } rows[] = {
        {"worked example", {0x30, 0x98, 0xA0}, 4, "abab"},
        {"worked example", {0x30, 0x98, 0x8C, 0x72, 0xEF, 0x26, 0x30}, 18, "abcabcabcabcabcabc"},
        {"bits after a full output are ignored", {0x30, 0x98, 0x8C, 0x72, 0xEF, 0x26, 0x3F, 0xFF}, 18,
         "abcabcabcabcabcabc"},
        // Bits "1 0 0000000": as the first token, no code is defined yet.
        {"a first reference names nothing yet", {0x80, 0x00}, 2, "<fail>"},
        // "0 01100001 0 01100010 1 1": after a b only 256 = ab exists; with a
        // one-bit code the value 1 names 257.
        {"reference beyond the dictionary", {0x30, 0x98, 0xB0}, 4, "<fail>"},
        {"token longer than the room left", {0x30, 0x98, 0xA0}, 3, "<fail>"},
        {"empty stream, empty block", {}, 0, ""},
        {"a token where nothing is expected", {0x30, 0x80}, 0, "<fail>"},
        // "0 01100001 0 01100010 0 01100011 1 01": after a b c two entries
        // exist (ab, bc), so the width becomes 2 and "10 01" names 257 = bc.
        // (In the first worked example, "1 0" after a b is a one-bit code.)
        {"code width grows", {0x30, 0x98, 0x8C, 0x74}, 5, "abcbc"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(unpack(row.stream, row.expected), row.text);
    }
}

// ---- Round trips through the test packer ----------------------------------------

std::vector<std::uint8_t> randomBlock(std::mt19937& random, std::size_t count) {
    static const char* const folders[] = {"data\\", "data\\sprite\\", "data/texture/effect/", "npcdata\\monster\\"};
    static const char* const suffixes[] = {".tga", ".bmp", ".spr", ".wav"};
    std::vector<std::string> names(count);
    for (std::string& name : names) {
        name = folders[random() % 4];
        for (auto n = 1 + random() % 24; n > 0; --n) {
            name.push_back(static_cast<char>(random() % 20 ? 'a' + random() % 26 : 0xC0 + random() % 36));
        }
        name += suffixes[random() % 4];
    }
    return test::buildFilenameBlock(names);
}

// Packs and unpacks `block`; the packed size, or 0 when it did not come back.
std::size_t roundTrip(const std::vector<std::uint8_t>& block, test::PackStats& stats, std::mt19937* random = nullptr) {
    const auto packed = test::packFilenameBlock(block, &stats, random);
    EXPECT_EQ(unpack(packed, block.size()), test::asString(block));
    return packed.size();
}

// Some tokens shortened or sent as literals, so that codes of every age and
// length are referenced.
TEST(UnpackFilenameBlockRoundTrip, FullDictionaryWithRecyclingAndWidestCodes) {
    std::mt19937 random(11);
    const auto block = randomBlock(random, 15000);
    test::PackStats stats;
    EXPECT_LT(roundTrip(block, stats, &random), block.size());
    EXPECT_EQ(stats.codeWidth, 13u);
    EXPECT_GT(stats.entriesRecycled, 5000u);
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
    // Far smaller than literals alone would be: the long tokens are used.
    EXPECT_LT(roundTrip(block, stats) * 20, block.size());
    EXPECT_EQ(stats.longestToken, 100u);
}

TEST(UnpackFilenameBlockRoundTrip, EveryShortenedStreamFails) {
    std::mt19937 random(23);
    const auto block = randomBlock(random, 40);
    const auto packed = test::packFilenameBlock(block);
    ASSERT_EQ(unpack(packed, block.size()), test::asString(block));
    // The stream ends inside a token or at a token boundary with room left;
    // either way the block is incomplete.
    for (std::size_t length = 0; length < packed.size(); ++length) {
        const std::vector<std::uint8_t> prefix(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_EQ(unpack(prefix, block.size()), "<fail>") << length;
    }
}

}  // namespace
}  // namespace kiv
