// Rebuilding version-2 entries: whole items read through, compressed and
// delta segments decoded one at a time, every item hashed as it goes.
#include "patch/item_decoder.h"

#include <zstd.h>

#include <algorithm>
#include <cstring>

namespace kiv {

struct ItemDecoder::Item {
    const PatchEntryRange* entry;
    ItemSource* content;
    const File* base;
    std::uint64_t baseOffset;
};

struct ItemDecoder::State {
    State() : context(ZSTD_createDCtx()) {}
    ~State() { ZSTD_freeDCtx(context); }

    ZSTD_DCtx* context;
    std::size_t current = static_cast<std::size_t>(-1);  // the item being read
    std::uint64_t next = 0;                              // its next byte expected
    std::unique_ptr<crypto::Sha256> hash;
    std::size_t segment = 0;           // segments decoded so far
    std::uint64_t segmentStart = 0;    // where the decoded segment lies in the item
    std::vector<std::uint8_t> output;  // the decoded segment
    std::vector<std::uint8_t> frame;
    std::vector<std::uint8_t> window;
};

ItemDecoder::ItemDecoder() : state_(std::make_unique<State>()) {}
ItemDecoder::~ItemDecoder() = default;

std::uint64_t ItemDecoder::add(const PatchEntryRange& entry, ItemSource& content, const File* base,
                               std::uint64_t baseOffset) {
    items_.push_back({&entry, &content, base, baseOffset});
    return static_cast<std::uint64_t>(items_.size() - 1) << 32;
}

bool ItemDecoder::fail(const Item& item, const wchar_t* what) {
    failure_ = L"Patch entry " + utf8ToWide(item.entry->name) + what;
    // Whatever comes next starts the item over.
    state_->current = static_cast<std::size_t>(-1);
    return false;
}

bool ItemDecoder::verify(Item& item) {
    crypto::Sha256Digest digest{};
    if (!state_->hash->finish(digest) || digest != item.entry->itemSha256) {
        return fail(item, L" does not rebuild the item it describes.");
    }
    return true;
}

bool ItemDecoder::decodeSegment(Item& item) {
    State& s = *state_;
    const auto& segments = item.entry->segments;
    if (s.segment >= segments.size()) return fail(item, L" does not rebuild the item it describes.");
    const PackageSegment& segment = segments[s.segment];
    s.frame.resize(segment.frameSize);
    s.output.resize(segment.outputSize);
    if (!item.content->read(segment.frameOffset, s.frame)) return fail(item, L" could not be read.");
    std::size_t made = 0;
    if (item.entry->kind == PackageEntryKind::delta) {
        // The frame was made with this stretch of the old item as its
        // reference; the base was checked before anything was read.
        s.window.resize(segment.windowLength);
        if (item.base == nullptr ||
            !item.base->readAt(item.baseOffset + segment.windowOffset, s.window.data(), s.window.size())) {
            return fail(item, L": the item it applies to could not be read.");
        }
        made = ZSTD_DCtx_refPrefix(s.context, s.window.data(), s.window.size());
        if (!ZSTD_isError(made))
            made = ZSTD_decompressDCtx(s.context, s.output.data(), s.output.size(), s.frame.data(), s.frame.size());
    } else {
        made = ZSTD_decompressDCtx(s.context, s.output.data(), s.output.size(), s.frame.data(), s.frame.size());
    }
    if (ZSTD_isError(made) || made != s.output.size()) {
        ZSTD_DCtx_reset(s.context, ZSTD_reset_session_and_parameters);
        return fail(item, L" does not rebuild the item it describes.");
    }
    s.segmentStart = s.segment == 0 ? 0 : s.segmentStart + segments[s.segment - 1].outputSize;
    ++s.segment;
    s.hash->update(s.output.data(), s.output.size());
    if (s.segmentStart + s.output.size() == item.entry->itemSize) return verify(item);
    return true;
}

bool ItemDecoder::read(std::uint64_t offset, std::span<std::uint8_t> out) {
    const auto index = static_cast<std::size_t>(offset >> 32);
    const std::uint64_t position = offset & 0xFFFFFFFFu;
    if (index >= items_.size()) {
        failure_ = L"Patch package ended unexpectedly.";
        return false;
    }
    Item& item = items_[index];
    State& s = *state_;
    if (position == 0) {
        s.current = index;
        s.next = 0;
        s.segment = 0;
        s.segmentStart = 0;
        s.output.clear();
        s.hash = std::make_unique<crypto::Sha256>();
        if (item.entry->itemSize == 0) return verify(item);
    }
    if (s.current != index || s.next != position || out.size() > item.entry->itemSize - position) {
        return fail(item, L" was read out of order.");
    }
    if (item.entry->kind == PackageEntryKind::whole) {
        if (!item.content->read(item.entry->offset + position, out)) return fail(item, L" could not be read.");
        s.hash->update(out.data(), out.size());
        s.next += out.size();
        if (s.next == item.entry->itemSize && !verify(item)) return false;
        return true;
    }
    for (std::size_t done = 0; done < out.size();) {
        const std::uint64_t at = position + done;
        if (at >= s.segmentStart + s.output.size() && !decodeSegment(item)) return false;
        const auto from = static_cast<std::size_t>(at - s.segmentStart);
        const std::size_t piece = std::min(out.size() - done, s.output.size() - from);
        std::memcpy(out.data() + done, s.output.data() + from, piece);
        done += piece;
    }
    s.next += out.size();
    return true;
}

}  // namespace kiv
