// Unpacker for filename blocks stored packed in a .dat.
//
// The stream is a sequence of tokens, most significant bit first: a 0 flag
// and 8 bits for a literal byte, or a 1 flag and `codeWidth` bits naming
// dictionary code 256 + v. After each token the dictionary learns the previous
// token's string followed by each prefix of the current one (at most 100
// bytes per entry); when its 8192 codes are in use, the least recently used
// entry is recycled.
#include "archive/archive.h"

#include <array>
#include <memory>

namespace kiv {

namespace {

constexpr std::uint32_t kCodeCount = 8192;
constexpr std::uint16_t NIL = 8192;
constexpr std::uint32_t kRootCount = 256;
constexpr std::uint32_t kMaxEntryLength = 100;
constexpr std::uint32_t kMaxCodeWidth = 13;

// The dictionary: a trie whose nodes are codes, with each parent's children
// in a doubly linked list and the dynamic entries in a recency list. Every
// field is a fixed array indexed by code, so nothing is allocated per entry.
class PrefixDictionary {
public:
    PrefixDictionary() {
        for (std::uint32_t code = 0; code < kCodeCount; ++code) {
            symbol[code] = static_cast<std::uint8_t>(code);
        }
        parent.fill(NIL);
        firstChild.fill(NIL);
        nextSibling.fill(NIL);
        prevSibling.fill(NIL);
        newer.fill(NIL);
        older.fill(NIL);
    }

    static bool isDynamic(std::uint32_t code) { return code >= kRootCount; }

    // Collects the string of `code` into `reversed` (at least kMaxEntryLength
    // bytes), last byte first, and returns its length. Every dynamic code on the way from the
    // entry up to its root moves to the newest end of the recency list, in
    // that order, so that the entry's ancestors end up newer than the entry.
    std::uint32_t retrieve(std::uint16_t code, std::uint8_t* reversed) {
        std::uint32_t length = 0;
        for (std::uint16_t node = code; node != NIL; node = parent[node]) {
            // The invariants keep every chain within 100 codes; the bound
            // makes that true even if they were broken.
            if (length == kMaxEntryLength) break;
            reversed[length++] = symbol[node];
            if (isDynamic(node) && newest != node) {
                unlinkRecency(node);
                linkNewest(node);
            }
        }
        return length;
    }

    std::uint16_t findChild(std::uint16_t node, std::uint8_t byte) const {
        for (std::uint16_t child = firstChild[node]; child != NIL; child = nextSibling[child]) {
            if (symbol[child] == byte) return child;
        }
        return NIL;
    }

    // Adds the entry "string of p" + x and returns its code, or NIL when the
    // dictionary is full and the entry to recycle is p itself.
    std::uint16_t addEntry(std::uint16_t p, std::uint8_t x) {
        std::uint16_t e;
        if (count < kCodeCount) {
            e = static_cast<std::uint16_t>(count++);
        } else {
            e = oldest;
            // The oldest entry never has children, except when it is p: p is
            // about to gain one, so it must stay.
            if (e == NIL || e == p) return NIL;
            removeFromParent(e);
            unlinkRecency(e);
        }
        symbol[e] = x;
        parent[e] = p;
        firstChild[e] = NIL;
        prevSibling[e] = NIL;
        nextSibling[e] = firstChild[p];
        if (firstChild[p] != NIL) prevSibling[firstChild[p]] = e;
        firstChild[p] = e;

        if (isDynamic(p)) {
            // Just older than its parent, so that a child is always recycled
            // before the entry it extends.
            newer[e] = p;
            older[e] = older[p];
            if (older[p] != NIL) newer[older[p]] = e;
            older[p] = e;
            if (oldest == p) oldest = e;
        } else {
            linkNewest(e);
        }
        return e;
    }

    std::uint32_t count = kRootCount;

private:
    void unlinkRecency(std::uint16_t node) {
        const std::uint16_t before = older[node];
        const std::uint16_t after = newer[node];
        if (before != NIL) newer[before] = after;
        if (after != NIL) older[after] = before;
        if (oldest == node) oldest = after;
        if (newest == node) newest = before;
        newer[node] = NIL;
        older[node] = NIL;
    }

    void linkNewest(std::uint16_t node) {
        newer[node] = NIL;
        older[node] = newest;
        if (newest != NIL) newer[newest] = node;
        newest = node;
        if (oldest == NIL) oldest = node;
    }

    // Only a first child (one without a previous sibling) is named by its
    // parent's `firstChild`.
    void removeFromParent(std::uint16_t node) {
        const std::uint16_t before = prevSibling[node];
        const std::uint16_t after = nextSibling[node];
        if (before != NIL) {
            nextSibling[before] = after;
        } else if (parent[node] != NIL) {
            firstChild[parent[node]] = after;
        }
        if (after != NIL) prevSibling[after] = before;
        parent[node] = NIL;
        prevSibling[node] = NIL;
        nextSibling[node] = NIL;
    }

    std::array<std::uint8_t, kCodeCount> symbol;
    std::array<std::uint16_t, kCodeCount> parent;
    std::array<std::uint16_t, kCodeCount> firstChild;
    std::array<std::uint16_t, kCodeCount> nextSibling;
    std::array<std::uint16_t, kCodeCount> prevSibling;
    std::array<std::uint16_t, kCodeCount> newer;
    std::array<std::uint16_t, kCodeCount> older;
    std::uint16_t oldest = NIL;
    std::uint16_t newest = NIL;
};

// Most-significant-bit-first reader over the stored bytes, refilled a byte at
// a time into a 64-bit window.
class BitReader {
public:
    explicit BitReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool exhausted() const { return available_ == 0 && position_ == bytes_.size(); }

    // Reads `width` bits (1 to 16); false if the input ends inside them.
    bool read(std::uint32_t width, std::uint32_t& value) {
        if (available_ < width) {
            while (available_ <= 56 && position_ < bytes_.size()) {
                window_ |= std::uint64_t{bytes_[position_++]} << (56 - available_);
                available_ += 8;
            }
            if (available_ < width) return false;
        }
        value = static_cast<std::uint32_t>(window_ >> (64 - width));
        window_ <<= width;
        available_ -= width;
        return true;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
    std::uint64_t window_ = 0;  // unread bits, most significant first
    std::uint32_t available_ = 0;
};

}  // namespace

bool unpackFilenameBlock(std::span<const std::uint8_t> packed, std::span<std::uint8_t> out) {
    // About 100 KB: too much for the stack of a worker thread on every
    // platform, so it lives on the heap for the length of one call.
    auto dictionary = std::make_unique<PrefixDictionary>();
    BitReader bits(packed);
    std::uint32_t codeWidth = 1;
    std::uint32_t widthThreshold = 2;
    std::size_t produced = 0;
    const std::size_t expected = out.size();

    std::uint16_t previousCode = NIL;
    std::uint32_t previousLength = 0;
    std::uint8_t reversed[kMaxEntryLength];

    for (;;) {
        if (bits.exhausted()) return produced == expected;

        if (dictionary->count - kRootCount >= widthThreshold && codeWidth < kMaxCodeWidth) {
            ++codeWidth;
            widthThreshold *= 2;
        }

        std::uint32_t flag = 0;
        if (!bits.read(1, flag)) return false;
        std::uint16_t code;
        std::uint32_t length;
        if (flag == 0) {
            std::uint32_t byte = 0;
            if (!bits.read(8, byte)) return false;
            code = static_cast<std::uint16_t>(byte);
            reversed[0] = static_cast<std::uint8_t>(byte);
            length = 1;
        } else {
            std::uint32_t value = 0;
            if (!bits.read(codeWidth, value)) return false;
            if (kRootCount + value >= dictionary->count) return false;
            code = static_cast<std::uint16_t>(kRootCount + value);
            length = dictionary->retrieve(code, reversed);
        }

        if (length > expected - produced) return false;
        std::uint8_t* const token = out.data() + produced;
        for (std::uint32_t i = 0; i < length; ++i) token[i] = reversed[length - 1 - i];
        produced += length;
        if (produced == expected) return true;

        if (previousCode != NIL) {
            std::uint16_t node = previousCode;
            bool fresh = false;  // node was just added, so it has no children yet
            for (std::uint32_t i = 0; i < length; ++i) {
                if (previousLength + 1 + i > kMaxEntryLength) break;
                std::uint16_t child = fresh ? NIL : dictionary->findChild(node, token[i]);
                if (child == NIL) {
                    child = dictionary->addEntry(node, token[i]);
                    fresh = true;
                }
                if (child == NIL) break;
                node = child;
            }
        }
        previousCode = code;
        previousLength = length;
    }
}

}  // namespace kiv
