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
class Model {
public:
    Model() : parent_(kCodes, kNone), symbol_(kCodes), length_(kCodes, 1), position_(kCodes) {}

    int count = kRoots;
    int length(int code) const { return length_[code]; }

    int child(int node, std::uint8_t byte) const {
        const auto found = children_.find({node, byte});
        return found == children_.end() ? kNone : found->second;
    }

    void refresh(int code) {
        for (int node = code; node >= kRoots; node = parent_[node]) {
            recency_.erase(position_[node]);
            position_[node] = recency_.insert(recency_.end(), node);
        }
    }

    int add(int p, std::uint8_t x, PackStats& stats) {
        int e = count;
        if (count < kCodes) {
            ++count;
        } else {
            // Full, and the oldest entry is the parent itself: nothing is added.
            if (recency_.front() == p) return kNone;
            e = recency_.front();
            recency_.pop_front();
            children_.erase({parent_[e], symbol_[e]});
            ++stats.entriesRecycled;
        }
        parent_[e] = p;
        symbol_[e] = x;
        length_[e] = length_[p] + 1;
        children_[{p, x}] = e;
        // A child of an entry is just older than it.
        position_[e] = recency_.insert(p >= kRoots ? position_[p] : recency_.end(), e);
        return e;
    }

private:
    std::vector<int> parent_;
    std::vector<std::uint8_t> symbol_;
    std::vector<int> length_;
    std::map<std::pair<int, std::uint8_t>, int> children_;
    std::list<int> recency_;
    std::vector<std::list<int>::iterator> position_;
};

class BitWriter {
public:
    void put(std::uint32_t value, std::uint32_t width) {
        for (std::uint32_t i = width; i-- > 0; ++filled_) {
            if (filled_ % 8 == 0) bytes_.push_back(0);
            bytes_.back() |= static_cast<std::uint8_t>(((value >> i) & 1u) << (7 - filled_ % 8));
        }
    }
    std::vector<std::uint8_t> bytes_;

private:
    std::uint32_t filled_ = 0;
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
    PackStats stats;
    Model model;
    BitWriter writer;
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
            writer.put(block[position], 9);  // a 0 flag and the byte
        } else {
            writer.put(1, 1);
            writer.put(static_cast<std::uint32_t>(code - kRoots), stats.codeWidth);
            model.refresh(code);
        }
        const auto length = static_cast<std::uint32_t>(model.length(code));
        stats.longestToken = std::max(stats.longestToken, length);
        const std::size_t tokenStart = position;
        position += length;
        if (position == block.size()) break;

        // The previous token's string followed by each prefix of this one.
        int at = previous;
        for (std::uint32_t i = 0; at != kNone && i < length && previousLength + 1 + i <= kMaxLength; ++i) {
            const int next = model.child(at, block[tokenStart + i]);
            at = next != kNone ? next : model.add(at, block[tokenStart + i], stats);
        }
        previous = code;
        previousLength = length;
    }
    if (statsOut) *statsOut = stats;
    return std::move(writer.bytes_);
}

std::string buildHed(std::uint32_t nameBlockOffset, std::uint32_t nameBlockStoredSize, std::uint32_t nameBlockSize,
                     const std::vector<HeaderWords>& headers) {
    std::vector<std::uint8_t> hed(12 + 12 * headers.size());
    storeLe32(hed.data(), nameBlockOffset);
    storeLe32(hed.data() + 4, nameBlockStoredSize);
    storeLe32(hed.data() + 8, nameBlockSize);
    for (std::size_t i = 0; i < headers.size(); ++i) {
        storeLe32(hed.data() + 12 + 12 * i, headers[i].dataOffset);
        storeLe32(hed.data() + 16 + 12 * i, headers[i].storedSizeWord);
        storeLe32(hed.data() + 20 + 12 * i, headers[i].size);
    }
    return asString(hed);
}

}  // namespace kiv::test
