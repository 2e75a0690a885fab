// Rebuilds the items of version-2 entries as the archive update reads them,
// checking each against its recorded digest. Internal to patch/.
#pragma once

#include "patch/patch.h"

#include <memory>

namespace kiv {

// Serves every added entry's rebuilt item as a range of its own: the item
// of the k-th entry added lies at k << 32. An item is read from its start to
// its end in order (as the archive update stores it); the read that reaches
// its last byte, and a read at the start of an empty item, first checks the
// whole item against the entry's SHA-256, so that a wrong rebuild is refused
// before any of its last piece is handed on. Memory is bounded by the
// format's segment and window limits, whatever the item's size.
class ItemDecoder final : public ItemSource {
public:
    ItemDecoder();
    ~ItemDecoder() override;
    ItemDecoder(const ItemDecoder&) = delete;
    ItemDecoder& operator=(const ItemDecoder&) = delete;

    // `content` holds the entry's data as `entry` places it; for a delta,
    // `base` holds the old item from `baseOffset` on. Both must outlive the
    // reads. Returns where the rebuilt item is read.
    std::uint64_t add(const PatchEntryRange& entry, ItemSource& content, const File* base, std::uint64_t baseOffset);

    bool read(std::uint64_t offset, std::span<std::uint8_t> out) override;

    // Why the last read failed.
    const std::wstring& failure() const { return failure_; }

private:
    struct Item;
    struct State;
    bool fail(const Item& item, const wchar_t* what);
    bool decodeSegment(Item& item);
    bool verify(Item& item);

    std::vector<Item> items_;
    std::unique_ptr<State> state_;
    std::wstring failure_;
};

}  // namespace kiv
