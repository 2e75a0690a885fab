#include "tests/archive_packer.h"

#include "base/base.h"

#include <algorithm>
#include <list>
#include <map>
#include <utility>

namespace kiv::test {

namespace {

constexpr int kCodes = 8192;
constexpr int kRoots = 256;
constexpr int kNone = -1;
constexpr std::uint32_t kMaxLength = 100;

// The dictionary as the rules describe it, kept with standard containers:
// children found through a (parent, byte) map, recency as a list whose front
// is the oldest entry.
struct Model {
    struct Entry {
        int parent = kNone;
        std::uint8_t symbol = 0;
        std::uint32_t length = 1;
        std::list<int>::iterator position;
    };
    std::vector<Entry> entries = std::vector<Entry>(kCodes);
    std::map<std::pair<int, std::uint8_t>, int> children;
    std::list<int> recency;
    int count = kRoots;

    int child(int node, std::uint8_t byte) const {
        const auto found = children.find({node, byte});
        return found == children.end() ? kNone : found->second;
    }

    void refresh(int code) {
        for (int node = code; node >= kRoots; node = entries[node].parent) {
            recency.erase(entries[node].position);
            entries[node].position = recency.insert(recency.end(), node);
        }
    }

    int add(int p, std::uint8_t x, PackStats& stats) {
        int e = count;
        if (count < kCodes) {
            ++count;
        } else {
            // Full, and the oldest entry is the parent itself: nothing is added.
            if (recency.front() == p) return kNone;
            e = recency.front();
            recency.pop_front();
            children.erase({entries[e].parent, entries[e].symbol});
            ++stats.entriesRecycled;
        }
        // A child of an entry is just older than it.
        const auto where = p >= kRoots ? entries[p].position : recency.end();
        entries[e] = {p, x, entries[p].length + 1, recency.insert(where, e)};
        children[{p, x}] = e;
        return e;
    }
};

}  // namespace

std::vector<std::uint8_t> buildFilenameBlock(const std::vector<std::string>& names) {
    std::vector<std::uint8_t> block(4);
    storeLe32(block.data(), static_cast<std::uint32_t>(names.size()));
    for (const std::string& name : names) {
        block.insert(block.end(), name.begin(), name.end());
        block.push_back(0);
    }
    return block;
}

std::vector<std::uint8_t> packFilenameBlock(std::span<const std::uint8_t> block, PackStats* statsOut,
                                            std::mt19937* random) {
    PackStats ignored;
    PackStats& stats = statsOut ? (*statsOut = PackStats{}) : ignored;
    Model model;
    std::vector<std::uint8_t> bytes;
    std::uint32_t filled = 0;
    const auto put = [&bytes, &filled](std::uint32_t value, std::uint32_t width) {
        for (std::uint32_t i = width; i-- > 0; ++filled) {
            if (filled % 8 == 0) bytes.push_back(0);
            bytes.back() |= static_cast<std::uint8_t>(((value >> i) & 1u) << (7 - filled % 8));
        }
    };
    std::uint32_t threshold = 2;
    int previous = kNone;
    std::uint32_t previousLength = 0;

    for (std::size_t position = 0; position < block.size();) {
        if (static_cast<std::uint32_t>(model.count - kRoots) >= threshold && stats.codeWidth < 13) {
            ++stats.codeWidth;
            threshold *= 2;
        }
        // The entries that match here and whose codes fit the width, longest last.
        std::vector<int> candidates;
        int node = block[position];
        for (std::size_t length = 1; position + length < block.size() && length < kMaxLength; ++length) {
            node = model.child(node, block[position + length]);
            if (node == kNone) break;
            if (static_cast<std::uint32_t>(node - kRoots) < (1u << stats.codeWidth)) candidates.push_back(node);
        }
        int code = candidates.empty() ? kNone : candidates.back();
        if (random && code != kNone) {
            const auto roll = (*random)() % 8;
            if (roll == 0) code = kNone;
            if (roll == 1) code = candidates[(*random)() % candidates.size()];
        }
        if (code == kNone) {
            code = block[position];
            put(block[position], 9);  // a 0 flag and the byte
        } else {
            put(1, 1);
            put(static_cast<std::uint32_t>(code - kRoots), stats.codeWidth);
            model.refresh(code);
        }
        const auto length = model.entries[code].length;
        stats.longestToken = std::max(stats.longestToken, length);
        if (position + length == block.size()) break;

        // The previous token's string followed by each prefix of this one.
        int at = previous;
        for (std::uint32_t i = 0; at != kNone && i < length && previousLength + 1 + i <= kMaxLength; ++i) {
            const int next = model.child(at, block[position + i]);
            at = next != kNone ? next : model.add(at, block[position + i], stats);
        }
        position += length;
        previous = code;
        previousLength = length;
    }
    return bytes;
}

std::string buildHed(std::uint32_t nameBlockOffset, std::uint32_t nameBlockStoredSize, std::uint32_t nameBlockSize,
                     const std::vector<HeaderWords>& headers) {
    std::vector<std::uint32_t> words = {nameBlockOffset, nameBlockStoredSize, nameBlockSize};
    for (const HeaderWords& header : headers) {
        words.insert(words.end(), {header.dataOffset, header.storedSizeWord, header.size});
    }
    std::vector<std::uint8_t> hed(4 * words.size());
    for (std::size_t i = 0; i < words.size(); ++i) storeLe32(hed.data() + 4 * i, words[i]);
    return asString(hed);
}

}  // namespace kiv::test
