#include "base/base.h"

namespace kiv {

bool ByteReader::u8(std::uint8_t& value) {
    if (remaining() < 1) return false;
    value = bytes_[offset_++];
    return true;
}

bool ByteReader::u16(std::uint16_t& value) {
    if (remaining() < 2) return false;
    value = loadLe16(bytes_.data() + offset_);
    offset_ += 2;
    return true;
}

bool ByteReader::u32(std::uint32_t& value) {
    if (remaining() < 4) return false;
    value = loadLe32(bytes_.data() + offset_);
    offset_ += 4;
    return true;
}

bool ByteReader::bytes(std::size_t count, std::span<const std::uint8_t>& out) {
    if (remaining() < count) return false;
    out = bytes_.subspan(offset_, count);
    offset_ += count;
    return true;
}

bool ByteReader::skip(std::size_t count) {
    if (remaining() < count) return false;
    offset_ += count;
    return true;
}

}  // namespace kiv
