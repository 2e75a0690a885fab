// Loading an archive pair: the head and item headers from the .hed, the
// filename block from the .dat.
#include "archive/archive.h"

#include "base/base.h"

#include <algorithm>
#include <cstring>

namespace kiv {

namespace {

// The most a packed stream can yield per stored byte: a token takes at least
// two bits (a flag and a one-bit code) and yields at most 100 bytes.
constexpr std::uint64_t kMaxUnpackedPerStoredByte = 4 * 100;

struct NameSpan {
    std::size_t begin;
    std::size_t length;
};

}  // namespace

bool ArchivePair::open(const std::filesystem::path& path, std::wstring& error) {
    hedPath = path;
    datPath = path;
    datPath.replace_extension(".dat");
    items.clear();
    nameIndex.clear();

    File hed;
    File dat;
    if (!hed.open(hedPath, File::Mode::read) || !dat.open(datPath, File::Mode::read)) {
        error = L"Could not open .hed/.dat pair.";
        return false;
    }

    std::uint8_t head[kArchiveHeadSize];
    if (!hed.readAt(0, head, sizeof head)) {
        error = L"Invalid .hed header.";
        return false;
    }
    const std::uint32_t nameBlockOffset = loadLe32(head);
    const std::uint32_t nameBlockStoredSize = loadLe32(head + 4) & ~kStoredSizeFlag;
    const std::uint32_t nameBlockSize = loadLe32(head + 8);

    // The offset is a signed 32-bit position, and the stored bytes must all be
    // in the file: checking the size first keeps a bogus length from becoming
    // a large allocation.
    std::uint64_t datSize = 0;
    if (nameBlockOffset >= 0x80000000u || !dat.size(datSize) ||
        std::uint64_t{nameBlockOffset} + nameBlockStoredSize > datSize) {
        error = L"Could not read archive filename block.";
        return false;
    }
    std::vector<std::uint8_t> stored(nameBlockStoredSize);
    if (!dat.readAt(nameBlockOffset, stored.data(), stored.size())) {
        error = L"Could not read archive filename block.";
        return false;
    }
    dat.close();

    std::vector<std::uint8_t> block;
    if (nameBlockStoredSize != nameBlockSize) {
        // A length the stored bytes cannot possibly produce is refused before
        // the buffer for it is allocated.
        if (nameBlockSize > kMaxUnpackedPerStoredByte * nameBlockStoredSize) {
            error = L"Could not unpack archive filename block.";
            return false;
        }
        block.assign(nameBlockSize, 0);
        if (!unpackFilenameBlock(stored, block)) {
            error = L"Could not unpack archive filename block.";
            return false;
        }
    } else {
        block = std::move(stored);
    }

    if (block.size() < 4) {
        error = L"Archive filename block is too small.";
        return false;
    }
    const auto count = static_cast<std::int32_t>(loadLe32(block.data()));
    if (count <= 0) return true;

    // Only names that can have a header in the .hed are collected (and one
    // more, to tell a truncated .hed), so what is allocated follows the sizes
    // of the files rather than the count the block claims. A last name
    // without its terminating 0x00 runs to the end of the block and is kept.
    std::uint64_t hedSize = 0;
    if (!hed.size(hedSize)) hedSize = 0;
    const std::uint64_t available = hedSize > kArchiveHeadSize ? (hedSize - kArchiveHeadSize) / kItemHeaderSize : 0;
    const std::uint64_t wanted = std::min<std::uint64_t>(static_cast<std::uint64_t>(count), available + 1);
    std::vector<NameSpan> names;
    {
        const std::uint8_t* const data = block.data();
        const std::size_t end = block.size();
        std::size_t position = 4;
        while (names.size() < wanted && position < end) {
            const void* zero = std::memchr(data + position, 0, end - position);
            const std::size_t stop =
                zero ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - data) : end;
            names.push_back({position, stop - position});
            position = zero ? stop + 1 : end;
        }
    }

    // The headers for these names, read in one go.
    const std::size_t loadable = available < names.size() ? static_cast<std::size_t>(available) : names.size();
    std::vector<std::uint8_t> headers(loadable * kItemHeaderSize);
    if (!hed.readAt(kArchiveHeadSize, headers.data(), headers.size())) {
        error = L"Archive item header is truncated.";
        return false;
    }
    hed.close();

    items.reserve(loadable);
    nameIndex.reserve(loadable);
    for (std::size_t i = 0; i < loadable; ++i) {
        const std::uint8_t* header = headers.data() + i * kItemHeaderSize;
        ArchiveItem item;
        item.name.assign(reinterpret_cast<const char*>(block.data() + names[i].begin), names[i].length);
        item.dataOffset = loadLe32(header);
        item.storedSizeWord = loadLe32(header + 4);
        item.storedSize = item.storedSizeWord & ~kStoredSizeFlag;
        item.size = loadLe32(header + 8);
        item.index = static_cast<std::int32_t>(i);
        if (!item.name.empty()) nameIndex[item.name] = item.index;
        items.push_back(std::move(item));
    }
    if (loadable < names.size()) {
        error = L"Archive item header is truncated.";
        return false;
    }
    return true;
}

}  // namespace kiv
