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
//
// A series of replacements (a patch) is stored the same way, once for the
// whole series: append every entry's data and, when names are added, one new
// filename block, flush .dat; write the new items' headers, flush .hed; write
// the head, flush .hed; write the changed headers of existing items, flush
// .hed. That is two flushes for a patch that only replaces, four when it
// also adds, however many entries it holds.
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

// Item bytes from a source are copied through a buffer of this size.
constexpr std::size_t kCopyChunk = 1 << 20;

// Writes an entry's bytes at `offset` of the .dat: from memory in one call,
// from a source a piece at a time.
bool storeEntryData(File& dat, std::uint64_t offset, const ItemReplacement& entry, std::vector<std::uint8_t>& buffer) {
    if (entry.source == nullptr) return dat.writeAt(offset, entry.data.data(), entry.data.size());
    for (std::uint64_t done = 0; done < entry.size;) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunk, entry.size - done));
        if (buffer.size() < piece) buffer.resize(piece);
        if (!entry.source->read(entry.offset + done, {buffer.data(), piece}) ||
            !dat.writeAt(offset + done, buffer.data(), piece)) {
            return false;
        }
        done += piece;
    }
    return true;
}

void storeHeader(std::uint8_t* p, std::uint32_t dataOffset, std::uint32_t storedSizeWord, std::uint32_t size) {
    storeLe32(p, dataOffset);
    storeLe32(p + 4, storedSizeWord);
    storeLe32(p + 8, size);
}

// Positions in `items` in index order; the table is normally in that order
// already.
std::vector<std::size_t> indexOrder(const std::vector<ArchiveItem>& items) {
    std::vector<std::size_t> order(items.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto byIndex = [&items](std::size_t a, std::size_t b) { return items[a].index < items[b].index; };
    if (!std::is_sorted(order.begin(), order.end(), byIndex)) {
        std::stable_sort(order.begin(), order.end(), byIndex);
    }
    return order;
}

// The unpacked filename block that lists `items` in `order`. `namesStorable`
// tells whether it reads back as the table: one 0x00 per name, or some name
// holds one.
std::vector<std::uint8_t> filenameBlock(const std::vector<ArchiveItem>& items, const std::vector<std::size_t>& order,
                                        bool& namesStorable) {
    std::vector<std::uint8_t> block(static_cast<std::size_t>(blockLength(items, nullptr)));
    storeLe32(block.data(), static_cast<std::uint32_t>(items.size()));
    std::size_t at = 4;
    for (std::size_t k : order) {
        const std::string& name = items[k].name;
        if (!name.empty()) std::memcpy(block.data() + at, name.data(), name.size());
        at += name.size() + 1;  // the terminator is already 0
    }
    namesStorable = countZeroBytes({block.data() + 4, block.size() - 4}) == items.size();
    return block;
}

// Writes the headers of `items` at the sorted, distinct `positions`, each run
// of adjacent positions in one call.
bool writeHeaders(File& hed, const std::vector<ArchiveItem>& items, const std::vector<std::size_t>& positions) {
    std::vector<std::uint8_t> run;
    for (std::size_t first = 0; first < positions.size();) {
        std::size_t last = first + 1;
        while (last < positions.size() && positions[last] == positions[last - 1] + 1) ++last;
        run.resize((last - first) * kItemHeaderSize);
        for (std::size_t k = first; k < last; ++k) {
            const ArchiveItem& item = items[positions[k]];
            storeHeader(run.data() + (k - first) * kItemHeaderSize, item.dataOffset, item.storedSizeWord, item.size);
        }
        if (!hed.writeAt(kArchiveHeadSize + kItemHeaderSize * static_cast<std::uint64_t>(positions[first]), run.data(),
                         run.size())) {
            return false;
        }
        first = last;
    }
    return true;
}

bool writeHead(File& hed, std::uint32_t blockOffset, std::uint32_t blockLength) {
    std::uint8_t head[kArchiveHeadSize];
    storeLe32(head, blockOffset);
    storeLe32(head + 4, blockLength);
    storeLe32(head + 8, blockLength);
    return hed.writeAt(0, head, sizeof head);
}

bool openForWriting(const ArchivePair& pair, File& hed, File& dat, std::wstring& error) {
    if (pair.hedPath.empty() || pair.datPath.empty()) {
        error = L"Archive was not opened.";
        return false;
    }
    if (!hed.open(pair.hedPath, File::Mode::readWrite) || !dat.open(pair.datPath, File::Mode::readWrite)) {
        error = L"Could not reopen archive for writing.";
        return false;
    }
    return true;
}

// ---- A series of replacements: plan, write, update the table, commit ----------------

// Where an entry's bytes go and which item they are for.
struct Placement {
    std::uint32_t offset;
    std::uint32_t length;
    std::size_t position;  // in `items`, which is also the header's slot
    bool adds;             // the first entry of a name the archive lacks
    bool shared;           // its bytes are already placed for an earlier entry
};

// The placements of the entries to store, decided for the whole series
// before the first byte is written. The checks are those of replaceItem; the
// first entry that fails them ends the series (`failure` says why), and the
// entries before it are stored.
struct SeriesPlan {
    std::vector<Placement> placements;
    std::wstring failure;
};

// A source range already placed, so that entries naming the same bytes (a
// legacy patch's names that share one array) store them once.
struct SourceRange {
    const ItemSource* source;
    std::uint64_t offset;
    std::uint64_t size;
    bool operator==(const SourceRange&) const = default;
};
struct SourceRangeHash {
    std::size_t operator()(const SourceRange& r) const {
        return std::hash<const void*>()(r.source) ^ std::hash<std::uint64_t>()(r.offset * 31 + r.size);
    }
};

SeriesPlan planSeries(const ArchivePair& pair, std::span<const ItemReplacement> replacements, std::uint64_t end) {
    SeriesPlan plan;
    plan.placements.reserve(replacements.size());
    std::unordered_map<std::string_view, std::size_t> added;
    std::unordered_map<SourceRange, std::uint32_t, SourceRangeHash> placedRanges;
    const std::size_t existing = pair.items.size();
    std::uint64_t newBlockLength = blockLength(pair.items, nullptr);
    std::uint64_t at = end;
    for (const ItemReplacement& entry : replacements) {
        Placement placement{};
        if (const auto found = pair.nameIndex.find(std::string(entry.name)); found != pair.nameIndex.end()) {
            placement.position = static_cast<std::size_t>(found->second);
        } else if (const auto again = added.find(entry.name); again != added.end()) {
            placement.position = again->second;
        } else {
            placement.position = existing + added.size();
            placement.adds = true;
        }
        std::uint64_t placedAt = at;
        if (entry.source != nullptr) {
            if (const auto same = placedRanges.find({entry.source, entry.offset, entry.size});
                same != placedRanges.end()) {
                placedAt = same->second;
                placement.shared = true;
            }
        }
        if (!dataFits(placedAt, entry.length())) {
            plan.failure = L"Could not append replacement data.";
            break;
        }
        const std::uint64_t after = placement.shared ? at : at + entry.length();
        if (placement.adds) {
            // A name holding a 0x00 byte would read back as two names.
            if (entry.name.find('\0') != std::string_view::npos ||
                placement.position >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) ||
                !blockFits(after, newBlockLength + entry.name.size() + 1)) {
                plan.failure = L"Could not finish filename rewrite.";
                break;
            }
            newBlockLength += entry.name.size() + 1;
            added.emplace(entry.name, placement.position);
        } else if (!added.empty() && !blockFits(after, newBlockLength)) {
            // The series' new block follows this entry's data and would
            // start where the reader cannot reach it.
            plan.failure = L"Could not append replacement data.";
            break;
        }
        placement.offset = static_cast<std::uint32_t>(placedAt);
        placement.length = static_cast<std::uint32_t>(entry.length());
        if (entry.source != nullptr && !placement.shared) {
            placedRanges.emplace(SourceRange{entry.source, entry.offset, entry.size}, placement.offset);
        }
        plan.placements.push_back(placement);
        at = after;
    }
    return plan;
}

// The data, in entry order, appended at `end` and not yet reachable. A write
// that fails (a full disk, or a source that can no longer be read) commits
// nothing of the series: keeping the entries before it would need the new
// filename block written on the disk that has just refused a write, and a
// failed patch fails its version, which the next run installs whole. The
// bytes appended so far are given back.
bool writeSeriesData(File& dat, const SeriesPlan& plan, std::span<const ItemReplacement> replacements,
                     std::uint64_t end, std::wstring& error) {
    std::vector<std::uint8_t> buffer;
    for (std::size_t k = 0; k < plan.placements.size(); ++k) {
        if (!plan.placements[k].shared && !storeEntryData(dat, plan.placements[k].offset, replacements[k], buffer)) {
            dat.truncate(end);
            error = L"Could not append replacement data.";
            return false;
        }
    }
    return true;
}

// What the table in memory became: the existing items whose headers changed
// (sorted, once each), how many items were added, and where the data ends.
struct TableChange {
    std::vector<std::size_t> changed;
    std::size_t additions = 0;
    std::uint64_t dataEnd = 0;
};

// The table as it stands after the stored entries; the last entry of a name wins.
TableChange updateTable(ArchivePair& pair, const SeriesPlan& plan, std::span<const ItemReplacement> replacements,
                        std::uint64_t end) {
    TableChange change;
    const std::size_t existing = pair.items.size();
    change.dataEnd = end;
    for (std::size_t k = 0; k < plan.placements.size(); ++k) {
        const Placement& placement = plan.placements[k];
        if (placement.adds) {
            ArchiveItem item;
            item.name = std::string(replacements[k].name);
            item.index = static_cast<std::int32_t>(pair.items.size());
            pair.nameIndex[item.name] = item.index;
            pair.items.push_back(std::move(item));
        } else if (placement.position < existing) {
            change.changed.push_back(placement.position);
        }
        ArchiveItem& item = pair.items[placement.position];
        item.dataOffset = placement.offset;
        item.storedSizeWord = placement.length;
        item.storedSize = placement.length;
        item.size = placement.length;
        // Shared entries lie before the end of what was appended.
        change.dataEnd = std::max(change.dataEnd, std::uint64_t{placement.offset} + placement.length);
    }
    std::sort(change.changed.begin(), change.changed.end());
    change.changed.erase(std::unique(change.changed.begin(), change.changed.end()), change.changed.end());
    change.additions = pair.items.size() - existing;
    return change;
}

// First commit point: with additions, the new filename block follows the
// data; then the .dat is flushed, before anything in the .hed refers to it.
// `blockSize` is the new block's length (0 without additions).
bool commitData(File& dat, const ArchivePair& pair, const TableChange& change, std::uint64_t end,
                std::uint32_t& blockSize, std::wstring& error) {
    if (change.additions > 0) {
        bool namesStorable = false;
        const std::vector<std::uint8_t> block = filenameBlock(pair.items, indexOrder(pair.items), namesStorable);
        // Added names were checked by the plan; a table whose own names would
        // not read back is not written either.
        if (!namesStorable || !dat.writeAt(change.dataEnd, block.data(), block.size())) {
            error = L"Could not finish filename rewrite.";
            return false;
        }
        blockSize = static_cast<std::uint32_t>(block.size());
    }
    if ((change.dataEnd > end || change.additions > 0) && !dat.flush()) {
        error = change.additions > 0 ? L"Could not finish filename rewrite." : L"Could not append replacement data.";
        return false;
    }
    return true;
}

// Second commit point, the additions': their headers lie beyond the count of
// the head still in force, so they are ignored until the new head, written
// after them were flushed, names the new block.
bool commitAdditions(File& hed, const ArchivePair& pair, std::size_t existing, std::uint64_t blockOffset,
                     std::uint32_t blockSize, std::wstring& error) {
    std::vector<std::size_t> fresh(pair.items.size() - existing);
    std::iota(fresh.begin(), fresh.end(), existing);
    if (!writeHeaders(hed, pair.items, fresh) || !hed.flush() ||
        !writeHead(hed, static_cast<std::uint32_t>(blockOffset), blockSize) || !hed.flush()) {
        error = L"Could not finish filename rewrite.";
        return false;
    }
    return true;
}

// Last commit point, the replacements': each header points at whole old or
// whole new data, so they may land in any order.
bool commitChangedHeaders(File& hed, const ArchivePair& pair, const std::vector<std::size_t>& changed,
                          std::wstring& error) {
    if (!changed.empty() && (!writeHeaders(hed, pair.items, changed) || !hed.flush())) {
        error = L"Could not update .hed item header.";
        return false;
    }
    return true;
}

}  // namespace

bool ArchivePair::replaceItem(std::string_view name, std::span<const std::uint8_t> data, std::wstring& error) {
    File hed;
    File dat;
    if (!openForWriting(*this, hed, dat, error)) return false;

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

bool ArchivePair::replaceItems(std::span<const ItemReplacement> replacements, std::wstring& error) {
    if (replacements.empty()) return true;
    File hed;
    File dat;
    if (!openForWriting(*this, hed, dat, error)) return false;
    std::uint64_t end = 0;
    if (!dat.size(end)) {
        error = L"Could not append replacement data.";
        return false;
    }
    const SeriesPlan plan = planSeries(*this, replacements, end);
    if (!writeSeriesData(dat, plan, replacements, end, error)) return false;
    if (plan.placements.empty()) {
        error = plan.failure;
        return false;
    }
    const std::size_t existing = items.size();
    const TableChange change = updateTable(*this, plan, replacements, end);
    std::uint32_t blockSize = 0;
    if (!commitData(dat, *this, change, end, blockSize, error)) return false;
    dat.close();
    if (change.additions > 0 && !commitAdditions(hed, *this, existing, change.dataEnd, blockSize, error)) return false;
    if (!commitChangedHeaders(hed, *this, change.changed, error)) return false;
    if (!plan.failure.empty()) {
        error = plan.failure;
        return false;
    }
    return true;
}

bool ArchivePair::rewriteFilenames(std::wstring& error) {
    // Each item's index places its name in the block and its header in the
    // .hed; one that is not its position in the table would put headers in
    // the wrong slots (or size the header buffer from a wild number).
    for (std::size_t k = 0; k < items.size(); ++k) {
        if (items[k].index < 0 || static_cast<std::size_t>(items[k].index) != k) {
            error = L"Archive item table is out of order.";
            return false;
        }
    }
    const std::vector<std::size_t> order = indexOrder(items);
    bool namesStorable = false;
    const std::vector<std::uint8_t> block = filenameBlock(items, order, namesStorable);

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

    if (!writeHead(hed, blockOffset, static_cast<std::uint32_t>(block.size())) || !hed.flush()) {
        error = L"Could not finish filename rewrite.";
        return false;
    }
    return true;
}

}  // namespace kiv
