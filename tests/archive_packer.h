// Builds archive files for tests and benchmarks: unpacked filename blocks and
// packed ones. The system itself never packs; this packer exists so that the
// unpacker can be checked on streams it did not produce itself. Its dictionary
// is a separate, plainer model of the same rules (maps and a list rather than
// fixed arrays), so a round trip compares two independent readings of them.
#pragma once

#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace kiv::test {

// What a packing run went through, so that tests can check they reached the
// cases they mean to cover.
struct PackStats {
    std::uint32_t longestToken = 0;
    std::uint32_t entriesRecycled = 0;
    std::uint32_t codeWidth = 1;  // at the end
};

// The unpacked filename block: the count (signed, little-endian), then each
// name followed by 0x00.
std::vector<std::uint8_t> buildFilenameBlock(const std::vector<std::string>& names);

// Packs `block` with greedy longest matches. With `random`, some tokens are
// shortened or sent as literals at random, which is still a valid stream.
std::vector<std::uint8_t> packFilenameBlock(std::span<const std::uint8_t> block, PackStats* stats = nullptr,
                                            std::mt19937* random = nullptr);

// A .hed image: the head, then one 12-byte header per entry.
struct HeaderWords {
    std::uint32_t dataOffset;
    std::uint32_t storedSizeWord;
    std::uint32_t size;
};
std::string buildHed(std::uint32_t nameBlockOffset, std::uint32_t nameBlockStoredSize, std::uint32_t nameBlockSize,
                     const std::vector<HeaderWords>& headers);

inline std::string asString(std::span<const std::uint8_t> bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace kiv::test
