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

// The same on every platform: readSomeAt until the span is full.
bool File::readAt(std::uint64_t offset, void* data, std::size_t length) const {
    auto* out = static_cast<unsigned char*>(data);
    while (length > 0) {
        std::int64_t got = readSomeAt(offset, out, length);
        if (got <= 0) return false;
        out += got;
        offset += static_cast<std::uint64_t>(got);
        length -= static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace kiv
