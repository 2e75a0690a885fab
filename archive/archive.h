// The archive store: the game's .hed/.dat pairs. A .hed holds the 12-byte
// head (where the filename block lies in the .dat, its stored and unpacked
// lengths) followed by one 12-byte header per item; the .dat is a heap of
// item bytes and filename blocks. `ArchivePair` loads a pair into an item
// table and a name index and stores new item data; `unpackFilenameBlock`
// rebuilds a filename block that is stored packed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kiv {

// Sizes of the fixed records of a .hed file.
inline constexpr std::size_t kArchiveHeadSize = 12;
inline constexpr std::size_t kItemHeaderSize = 12;

// Bit 31 of a stored-size word is a flag, not part of the length.
inline constexpr std::uint32_t kStoredSizeFlag = 0x80000000u;

// One entry of the item table.
struct ArchiveItem {
    std::string name;                  // bytes as they stand in the filename block
    std::uint32_t dataOffset = 0;      // where the item's bytes lie in the .dat
    std::uint32_t storedSizeWord = 0;  // as stored, bit 31 included
    std::uint32_t storedSize = 0;      // storedSizeWord without bit 31
    std::uint32_t size = 0;            // unpacked length
    std::int32_t index = 0;            // position in the filename block, the table and the .hed

    bool operator==(const ArchiveItem&) const = default;
};

// Item bytes that are not held in memory, such as a range of a patch file.
class ItemSource {
public:
    virtual ~ItemSource() = default;
    // Fills `out` with the source's bytes from `offset` on; false when they
    // cannot all be read.
    virtual bool read(std::uint64_t offset, std::span<std::uint8_t> out) = 0;
};

// One item's new contents, for `ArchivePair::replaceItems`: `data`, or, when
// `source` is set, the `size` bytes of `source` from `offset` on. Entries
// naming the same range of the same source share one copy in the .dat.
struct ItemReplacement {
    std::string_view name;
    std::span<const std::uint8_t> data;
    ItemSource* source = nullptr;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;

    std::uint64_t length() const { return source ? size : data.size(); }
};

// One opened archive pair. No file stays open between operations.
class ArchivePair {
public:
    // Loads the pair whose index is `hedPath`; the data file is the same path
    // with its extension replaced by ".dat" (or ".dat" appended when it has
    // none). May be called again; every call starts from an empty table.
    bool open(const std::filesystem::path& hedPath, std::wstring& error);

    // Stores `data` as the complete new contents of the item called `name`
    // (matched byte for byte). The bytes are appended to the .dat and the
    // item's header is pointed at them; an unknown name adds a new item.
    // A process killed at any instant leaves every item with either its old
    // or its new data.
    bool replaceItem(std::string_view name, std::span<const std::uint8_t> data, std::wstring& error);

    // Stores a whole series of replacements (a patch's entries) with the
    // result of calling `replaceItem` for each in order, later entries of the
    // same name winning, but with one append of data, at most one new
    // filename block and a fixed number of flushes for the whole series. Each
    // entry is checked as `replaceItem` checks it before anything is written;
    // when entry k fails those checks, the entries before it are stored and
    // `error` holds entry k's message. When writing an entry's data fails (a
    // full disk), nothing of the series is stored: the pair stays as it was
    // and `error` holds that write's message. A process killed at any instant
    // leaves every item with either its old or its new data, and the new
    // items all or none. Bytes from a source are copied in pieces of bounded
    // size.
    bool replaceItems(std::span<const ItemReplacement> replacements, std::wstring& error);

    // Writes a new filename block built from `items` and every item header
    // that differs from what the .hed holds, then the head that makes them
    // current. Called by `replaceItem` after it has added an item. Refused,
    // with nothing written, unless every item's `index` is its position.
    bool rewriteFilenames(std::wstring& error);

    std::filesystem::path hedPath;
    std::filesystem::path datPath;
    std::vector<ArchiveItem> items;
    // Exact-name index: the last item of each name. `open` gives empty names
    // no key; an item added under the empty name gets one.
    std::unordered_map<std::string, std::int32_t> nameIndex;
};

// Rebuilds a packed filename block. `out` is already sized to the unpacked
// length; true when the stream yields exactly that many bytes. Bad input
// gives false, never a crash or an exception.
bool unpackFilenameBlock(std::span<const std::uint8_t> packed, std::span<std::uint8_t> out);

}  // namespace kiv
