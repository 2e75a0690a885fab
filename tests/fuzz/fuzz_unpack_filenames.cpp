// Feeds arbitrary streams to the filename-block unpacker. The first three
// bytes give the expected length (little-endian), bounded the way the reader
// bounds it; the rest is the packed stream.
#include "archive/archive.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    std::size_t expected = data[0] | (data[1] << 8) | (data[2] << 16);
    const std::size_t packedSize = size - 3;
    if (expected > packedSize * 400) expected = packedSize * 400;
    std::vector<std::uint8_t> out(expected, 0);
    kiv::unpackFilenameBlock({data + 3, packedSize}, out);
    return 0;
}
