// Storing new item data in an archive pair.
//
// Nothing is overwritten in the .dat: item data and filename blocks are
// appended, and a write to the .hed makes them current. Every write that makes
// bytes reachable comes after those bytes have been flushed to disk, so a
// process killed (or a machine stopped) at any instant leaves each item with
// either its old or its new data:
//
//   replace:  append data, flush .dat;  write the item's header, flush .hed.
//   add:      append data and the new filename block, flush .dat;
//             write the new item's header (and any other header that differs
//             from the table), flush .hed;  write the 12-byte head, flush .hed.
//
// The head is the single commit point of an addition. Until it is written it
// still names the old block, whose count stops short of the new header, and
// the reader ignores headers beyond the count.
#include "archive/archive.h"

#include "base/base.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <numeric>

namespace kiv {

namespace {

// Offsets and lengths are 32-bit fields: data must end within 4 GiB, a length
// must leave bit 31 (a flag) clear, and a filename block must start where the
// reader's signed offset reaches it.
constexpr std::uint64_t kAddressLimit = std::uint64_t{1} << 32;
constexpr std::uint64_t kMaxOffset = 0xFFFFFFFFu;
constexpr std::uint64_t kMaxLength = 0x7FFFFFFFu;
constexpr std::uint64_t kMaxBlockOffset = 0x7FFFFFFFu;

bool dataFits(std::uint64_t offset, std::uint64_t length) {
    return offset <= kMaxOffset && length <= kMaxLength && offset + length <= kAddressLimit;
}

bool blockFits(std::uint64_t offset, std::uint64_t length) {
    return offset <= kMaxBlockOffset && length <= kMaxLength && offset + length <= kAddressLimit;
}

// Length of the filename block that lists `items` and, when given, one more name.
std::uint64_t blockLength(const std::vector<ArchiveItem>& items, const std::string_view* extra) {
    std::uint64_t length = 4;
    for (const ArchiveItem& item : items) length += item.name.size() + 1;
    if (extra) length += extra->size() + 1;
    return length;
}

// The number of 0x00 bytes, eight at a time: a byte's high bit in `nonZero`
// is set exactly when the byte is not 0.
std::size_t countZeroBytes(std::span<const std::uint8_t> bytes) {
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    std::size_t zeros = 0;
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + i, 8);
        const std::uint64_t nonZero = ((word & kLow7) + kLow7) | word;
        zeros += 8 - static_cast<std::size_t>(std::popcount(nonZero & kHigh));
    }
    for (; i < bytes.size(); ++i) zeros += bytes[i] == 0;
    return zeros;
}

void storeHeader(std::uint8_t* p, std::uint32_t dataOffset, std::uint32_t storedSizeWord, std::uint32_t size) {
    storeLe32(p, dataOffset);
    storeLe32(p + 4, storedSizeWord);
    storeLe32(p + 8, size);
}

}  // namespace

bool ArchivePair::replaceItem(std::string_view name, std::span<const std::uint8_t> data, std::wstring& error) {
    if (hedPath.empty() || datPath.empty()) {
        error = L"Archive was not opened.";
        return false;
    }
    File hed;
    File dat;
    if (!hed.open(hedPath, File::Mode::readWrite) || !dat.open(datPath, File::Mode::readWrite)) {
        error = L"Could not reopen archive for writing.";
        return false;
    }

    const auto found = nameIndex.find(std::string(name));
    const bool adding = found == nameIndex.end();

    // Every limit is checked before the first byte is written, so a refused
    // item leaves both files as they were.
    std::uint64_t end = 0;
    if (!dat.size(end) || !dataFits(end, data.size())) {
        error = L"Could not append replacement data.";
        return false;
    }
    // A name holding a 0x00 byte would read back as two names and shift every
    // later name onto the wrong header.
    if (adding && (name.find('\0') != std::string_view::npos ||
                   items.size() >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) ||
                   !blockFits(end + data.size(), blockLength(items, &name)))) {
        error = L"Could not finish filename rewrite.";
        return false;
    }

    const auto offset = static_cast<std::uint32_t>(end);
    const auto length = static_cast<std::uint32_t>(data.size());
    if (!dat.writeAt(offset, data.data(), data.size())) {
        error = L"Could not append replacement data.";
        return false;
    }

    if (adding) {
        // The data becomes reachable only through the new head, which
        // rewriteFilenames writes after flushing the .dat once for both.
        ArchiveItem item;
        item.name = std::string(name);
        item.dataOffset = offset;
        item.storedSizeWord = length;
        item.storedSize = length;
        item.size = length;
        item.index = static_cast<std::int32_t>(items.size());
        nameIndex[item.name] = item.index;
        items.push_back(std::move(item));
        dat.close();
        hed.close();
        return rewriteFilenames(error);
    }

    if (length > 0 && !dat.flush()) {
        error = L"Could not append replacement data.";
        return false;
    }
    dat.close();

    const std::int32_t i = found->second;
    ArchiveItem& item = items[static_cast<std::size_t>(i)];
    item.dataOffset = offset;
    item.storedSizeWord = length;
    item.storedSize = length;
    item.size = length;
    std::uint8_t header[kItemHeaderSize];
    storeHeader(header, item.dataOffset, item.storedSizeWord, item.size);
    const std::uint64_t position = kItemHeaderSize * (static_cast<std::uint64_t>(i) + 1);
    // The flush makes the new header durable before the caller goes on (and,
    // for the update run, before the version is recorded as installed).
    if (!hed.writeAt(position, header, sizeof header) || !hed.flush()) {
        error = L"Could not update .hed item header.";
        return false;
    }
    return true;
}

bool ArchivePair::rewriteFilenames(std::wstring& error) {
    // Items in index order; the table is normally in that order already.
    std::vector<std::size_t> order(items.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto byIndex = [this](std::size_t a, std::size_t b) { return items[a].index < items[b].index; };
    if (!std::is_sorted(order.begin(), order.end(), byIndex)) {
        std::stable_sort(order.begin(), order.end(), byIndex);
    }

    std::vector<std::uint8_t> block(static_cast<std::size_t>(blockLength(items, nullptr)));
    storeLe32(block.data(), static_cast<std::uint32_t>(items.size()));
    std::size_t at = 4;
    for (std::size_t k : order) {
        const std::string& name = items[k].name;
        if (!name.empty()) std::memcpy(block.data() + at, name.data(), name.size());
        at += name.size() + 1;  // the terminator is already 0
    }
    // One 0x00 per name, or some name holds one and the block would not read
    // back as the table.
    const bool namesStorable = countZeroBytes({block.data() + 4, block.size() - 4}) == items.size();

    File dat;
    File hed;
    if (!dat.open(datPath, File::Mode::readWrite) || !hed.open(hedPath, File::Mode::readWrite)) {
        error = L"Could not reopen archive for filename rewrite.";
        return false;
    }

    std::uint64_t end = 0;
    std::uint64_t hedSize = 0;
    const bool indicesValid = items.empty() || items[order.front()].index >= 0;
    if (!dat.size(end) || !hed.size(hedSize) || !indicesValid || !namesStorable || !blockFits(end, block.size()) ||
        items.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        error = L"Could not finish filename rewrite.";
        return false;
    }

    // The headers as they should be after the rewrite, beside what the .hed
    // holds now. Only the headers that differ are written: for an addition
    // that is the new item's alone.
    const std::size_t slots = items.empty() ? 0 : static_cast<std::size_t>(items[order.back()].index) + 1;
    std::vector<std::uint8_t> wanted(slots * kItemHeaderSize);
    std::vector<bool> assigned(slots, false);
    for (std::size_t k : order) {
        const ArchiveItem& item = items[k];
        const auto slot = static_cast<std::size_t>(item.index);
        storeHeader(wanted.data() + slot * kItemHeaderSize, item.dataOffset, item.storedSizeWord, item.size);
        assigned[slot] = true;
    }
    const std::uint64_t heldBytes = hedSize > kArchiveHeadSize ? hedSize - kArchiveHeadSize : 0;
    std::vector<std::uint8_t> held(static_cast<std::size_t>(std::min<std::uint64_t>(heldBytes, wanted.size())));
    if (!hed.readAt(kArchiveHeadSize, held.data(), held.size())) {
        error = L"Could not finish filename rewrite.";
        return false;
    }
    const auto differs = [&](std::size_t slot) {
        if (!assigned[slot]) return false;
        const std::size_t at = slot * kItemHeaderSize;
        if (at + kItemHeaderSize > held.size()) return true;
        return !std::equal(wanted.begin() + at, wanted.begin() + at + kItemHeaderSize, held.begin() + at);
    };

    const auto blockOffset = static_cast<std::uint32_t>(end);
    if (!dat.writeAt(blockOffset, block.data(), block.size()) || !dat.flush()) {
        error = L"Could not finish filename rewrite.";
        return false;
    }
    dat.close();

    // Runs of adjacent headers that differ are written in one call each.
    bool wroteHeaders = false;
    for (std::size_t slot = 0; slot < slots;) {
        if (!differs(slot)) {
            ++slot;
            continue;
        }
        std::size_t last = slot + 1;
        while (last < slots && differs(last)) ++last;
        const std::size_t at = slot * kItemHeaderSize;
        if (!hed.writeAt(kArchiveHeadSize + at, wanted.data() + at, (last - slot) * kItemHeaderSize)) {
            error = L"Could not finish filename rewrite.";
            return false;
        }
        wroteHeaders = true;
        slot = last;
    }
    if (wroteHeaders && !hed.flush()) {
        error = L"Could not finish filename rewrite.";
        return false;
    }

    std::uint8_t head[kArchiveHeadSize];
    storeLe32(head, blockOffset);
    storeLe32(head + 4, static_cast<std::uint32_t>(block.size()));
    storeLe32(head + 8, static_cast<std::uint32_t>(block.size()));
    if (!hed.writeAt(0, head, sizeof head) || !hed.flush()) {
        error = L"Could not finish filename rewrite.";
        return false;
    }
    return true;
}

}  // namespace kiv
