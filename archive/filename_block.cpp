// Unpacker for filename blocks stored packed in a .dat.
//
// The stream is a sequence of tokens, most significant bit first: a 0 flag
// and 8 bits for a literal byte, or a 1 flag and `codeWidth` bits naming
// dictionary code 256 + v. After each token the dictionary learns the previous
// token's string followed by each prefix of the current one (at most 100
// bytes per entry); when its 8192 codes are in use, the least recently used
// entry is recycled.
#include "archive/archive.h"

#include <algorithm>
#include <array>
#include <memory>

namespace kiv {

namespace {

constexpr std::uint32_t kCodeCount = 8192;
constexpr std::uint16_t NIL = 8192;
constexpr std::uint32_t kRootCount = 256;
constexpr std::uint32_t kMaxEntryLength = 100;
constexpr std::uint32_t kMaxCodeWidth = 13;

// The dictionary: a trie whose nodes are codes, with the dynamic entries in a
// recency list. Once the dictionary is full nearly every output byte adds an
// entry and so recycles the oldest one, which touches that entry, its parent
// or sibling and its recency neighbours. Each code's fields therefore sit
// together in one 16-byte record (links are codes, not pointers), so that
// each of those touches costs one cache line rather than one per field; and
// the recycling needs no search, so a dynamic entry's children stay in a
// doubly linked list. The children of a root, up to 256 of them and searched
// after every literal, are found in a table by (root, byte) instead. Each
// entry knows its length, so a token's string is written straight into the
// output from its last byte back. The recency list is circular through the
// record NIL, which stands for both of its ends, so that linking and
// unlinking need no tests. Nothing is allocated per entry.
class PrefixDictionary {
public:
    PrefixDictionary() {
        for (std::uint32_t code = 0; code <= kCodeCount; ++code) {
            Node& node = nodes[code];
            node.symbol = static_cast<std::uint8_t>(code);
            node.depth = 1;
            node.parent = node.firstChild = node.nextSibling = node.prevSibling = NIL;
            node.newer = node.older = NIL;
        }
        rootChildren.fill(NIL);
    }

    static bool isDynamic(std::uint32_t code) { return code >= kRootCount; }
    std::uint32_t length(std::uint16_t code) const { return nodes[code].depth; }

    // Writes the string of `code` so that it ends just before `end`. Every
    // dynamic code on the way from the entry up to its root moves to the
    // newest end of the recency list, in that order, so that the entry's
    // ancestors end up newer than the entry.
    void retrieve(std::uint16_t code, std::uint8_t* end) {
        std::uint16_t node = code;
        // depth is one more than the number of parent links up to a root.
        for (std::uint32_t steps = nodes[code].depth - 1u; steps > 0; --steps) {
            Node& n = nodes[node];
            *--end = n.symbol;
            // Moving the newest entry to the newest end leaves it there.
            unlink(node);
            linkNewest(node);
            node = n.parent;
        }
        *--end = nodes[node].symbol;
    }

    std::uint16_t findChild(std::uint16_t node, std::uint8_t byte) const {
        if (!isDynamic(node)) return rootChildren[node * 256u + byte];
        for (std::uint16_t child = nodes[node].firstChild; child != NIL; child = nodes[child].nextSibling) {
            if (nodes[child].symbol == byte) return child;
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
            e = nodes[NIL].newer;  // the oldest entry
            // The oldest entry never has children, except when it is p: p is
            // about to gain one, so it must stay.
            if (e == NIL || e == p) return NIL;
            removeFromParent(e);
            unlink(e);
        }
        Node& entry = nodes[e];
        Node& up = nodes[p];
        entry.symbol = x;
        entry.depth = static_cast<std::uint8_t>(up.depth + 1);
        entry.parent = p;
        entry.firstChild = NIL;
        entry.prevSibling = NIL;
        if (isDynamic(p)) {
            entry.nextSibling = up.firstChild;
            if (up.firstChild != NIL) nodes[up.firstChild].prevSibling = e;
            up.firstChild = e;

            // Just older than its parent, so that a child is always recycled
            // before the entry it extends.
            entry.newer = p;
            entry.older = up.older;
            nodes[up.older].newer = e;
            up.older = e;
        } else {
            rootChildren[p * 256u + x] = e;
            linkNewest(e);
        }
        return e;
    }

    std::uint32_t count = kRootCount;

private:
    struct alignas(16) Node {
        std::uint16_t parent;
        std::uint16_t firstChild;   // the most recently added child
        std::uint16_t nextSibling;  // towards older children
        std::uint16_t prevSibling;  // towards the first child
        std::uint16_t newer;
        std::uint16_t older;
        std::uint8_t symbol;  // last byte of the string (a root: the code)
        std::uint8_t depth;   // length of the string, 1 to 100
    };

    void unlink(std::uint16_t code) {
        Node& n = nodes[code];
        nodes[n.older].newer = n.newer;
        nodes[n.newer].older = n.older;
    }

    void linkNewest(std::uint16_t code) {
        Node& n = nodes[code];
        Node& ends = nodes[NIL];
        n.newer = NIL;
        n.older = ends.older;
        nodes[ends.older].newer = code;
        ends.older = code;
    }

    // Only a first child (one without a previous sibling) is named by its
    // parent's `firstChild`.
    void removeFromParent(std::uint16_t code) {
        Node& n = nodes[code];
        if (!isDynamic(n.parent)) {
            rootChildren[n.parent * 256u + n.symbol] = NIL;
            return;
        }
        if (n.prevSibling != NIL) {
            nodes[n.prevSibling].nextSibling = n.nextSibling;
        } else {
            nodes[n.parent].firstChild = n.nextSibling;
        }
        if (n.nextSibling != NIL) nodes[n.nextSibling].prevSibling = n.prevSibling;
    }

    // Codes 0 to 8191, then NIL: the two ends of the recency list.
    std::array<Node, kCodeCount + 1> nodes;
    // The children of the roots, by root and byte: a root may have up to 256
    // of them, too many to search in a list.
    std::array<std::uint16_t, kRootCount * 256> rootChildren;
};

// Most-significant-bit-first reader over the stored bytes with a 64-bit
// window. Away from the end it refills eight bytes at a time: the bits it
// loads beyond the whole bytes it counts are the stream's next bits in their
// right places, so loading them again later changes nothing.
class BitReader {
public:
    explicit BitReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool exhausted() const { return available_ == 0 && position_ == bytes_.size(); }

    // Makes at least 57 bits available unless the input ends first.
    void refill() {
        if (bytes_.size() - position_ >= 8) {
            std::uint64_t word = 0;
            for (int k = 0; k < 8; ++k) word = word << 8 | bytes_[position_ + k];
            window_ |= word >> available_;
            const std::uint32_t taken = (63 - available_) >> 3;
            position_ += taken;
            available_ += taken * 8;
        } else {
            while (available_ <= 56 && position_ < bytes_.size()) {
                window_ |= std::uint64_t{bytes_[position_++]} << (56 - available_);
                available_ += 8;
            }
        }
    }

    std::uint32_t available() const { return available_; }
    // The next `width` bits (1 to 32, at most available()).
    std::uint32_t peek(std::uint32_t width) const { return static_cast<std::uint32_t>(window_ >> (64 - width)); }
    void skip(std::uint32_t width) {
        window_ <<= width;
        available_ -= width;
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

    for (;;) {
        if (bits.available() < 1 + kMaxCodeWidth) {
            if (bits.exhausted()) return produced == expected;
            bits.refill();
        }

        if (dictionary->count - kRootCount >= widthThreshold && codeWidth < kMaxCodeWidth) {
            ++codeWidth;
            widthThreshold *= 2;
        }

        std::uint16_t code;
        std::uint32_t length;
        if (bits.peek(1) == 0) {
            if (bits.available() < 9) return false;
            code = static_cast<std::uint16_t>(bits.peek(9));
            bits.skip(9);
            length = 1;
            if (produced == expected) return false;
            out[produced] = static_cast<std::uint8_t>(code);
        } else {
            if (bits.available() < 1 + codeWidth) return false;
            const std::uint32_t value = bits.peek(1 + codeWidth) & ((1u << codeWidth) - 1);
            bits.skip(1 + codeWidth);
            if (kRootCount + value >= dictionary->count) return false;
            code = static_cast<std::uint16_t>(kRootCount + value);
            length = dictionary->length(code);
            if (length > expected - produced) return false;
            dictionary->retrieve(code, out.data() + produced + length);
        }
        const std::uint8_t* const token = out.data() + produced;
        produced += length;
        if (produced == expected) return true;

        if (previousCode != NIL && previousLength < kMaxEntryLength) {
            // Entries longer than 100 bytes are never made.
            const std::uint32_t limit = std::min(length, kMaxEntryLength - previousLength);
            std::uint16_t node = previousCode;
            std::uint32_t i = 0;
            for (; i < limit; ++i) {
                const std::uint16_t child = dictionary->findChild(node, token[i]);
                if (child == NIL) break;
                node = child;
            }
            // From the first missing entry on, each new entry is the parent
            // of the next, so none of them can have a child to find yet.
            for (; i < limit; ++i) {
                node = dictionary->addEntry(node, token[i]);
                if (node == NIL) break;
            }
        }
        previousCode = code;
        previousLength = length;
    }
}

}  // namespace kiv
