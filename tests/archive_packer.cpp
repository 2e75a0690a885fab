#include "tests/archive_packer.h"

#include <fstream>
#include <list>
#include <stdexcept>
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
    Model() : parent_(kCodes, kNone), symbol_(kCodes, 0), length_(kCodes, 1), position_(kCodes) {
        for (int code = 0; code < kRoots; ++code) symbol_[code] = static_cast<std::uint8_t>(code);
    }

    int count() const { return count_; }
    int length(int code) const { return length_[code]; }

    int child(int node, std::uint8_t byte) const {
        auto found = children_.find({node, byte});
        return found == children_.end() ? kNone : found->second;
    }

    void refresh(int code) {
        for (int node = code; node != kNone; node = parent_[node]) {
            if (node >= kRoots && recency_.back() != node) {
                recency_.erase(position_[node]);
                position_[node] = recency_.insert(recency_.end(), node);
            }
        }
    }

    int add(int p, std::uint8_t x, PackStats& stats) {
        int e;
        if (count_ < kCodes) {
            e = count_++;
        } else {
            // Full, and the oldest entry is the parent itself: nothing is added.
            if (recency_.empty() || recency_.front() == p) return kNone;
            e = recency_.front();
            recency_.pop_front();
            children_.erase({parent_[e], symbol_[e]});
            ++stats.entriesRecycled;
        }
        parent_[e] = p;
        symbol_[e] = x;
        length_[e] = length_[p] + 1;
        children_[{p, x}] = e;
        if (p >= kRoots) {
            position_[e] = recency_.insert(position_[p], e);  // just older than p
        } else {
            position_[e] = recency_.insert(recency_.end(), e);
        }
        return e;
    }

private:
    int count_ = kRoots;
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
        for (std::uint32_t i = width; i-- > 0;) {
            current_ = static_cast<std::uint8_t>((current_ << 1) | ((value >> i) & 1u));
            if (++filled_ == 8) {
                bytes_.push_back(current_);
                current_ = 0;
                filled_ = 0;
            }
        }
    }
    std::vector<std::uint8_t> finish() {
        if (filled_ > 0) bytes_.push_back(static_cast<std::uint8_t>(current_ << (8 - filled_)));
        return std::move(bytes_);
    }

private:
    std::vector<std::uint8_t> bytes_;
    std::uint8_t current_ = 0;
    std::uint32_t filled_ = 0;
};

}  // namespace

std::vector<std::uint8_t> buildFilenameBlock(std::int32_t count, const std::vector<std::string>& names) {
    std::vector<std::uint8_t> block(4);
    block[0] = static_cast<std::uint8_t>(count);
    block[1] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(count) >> 8);
    block[2] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(count) >> 16);
    block[3] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(count) >> 24);
    for (const std::string& name : names) {
        block.insert(block.end(), name.begin(), name.end());
        block.push_back(0);
    }
    return block;
}

std::vector<std::uint8_t> buildFilenameBlock(const std::vector<std::string>& names) {
    return buildFilenameBlock(static_cast<std::int32_t>(names.size()), names);
}

std::vector<std::uint8_t> packFilenameBlock(std::span<const std::uint8_t> block, PackStats* statsOut,
                                            std::mt19937* random) {
    PackStats stats;
    Model model;
    BitWriter writer;
    std::uint32_t codeWidth = 1;
    std::uint32_t threshold = 2;
    int previous = kNone;
    std::uint32_t previousLength = 0;
    std::size_t position = 0;

    while (position < block.size()) {
        if (static_cast<std::uint32_t>(model.count() - kRoots) >= threshold && codeWidth < 13) {
            ++codeWidth;
            threshold *= 2;
        }

        // The longest entry that matches here and whose code fits the width.
        int best = kNone;
        std::vector<int> candidates;
        int node = block[position];
        for (std::size_t length = 1; position + length < block.size() && length < kMaxLength; ++length) {
            node = model.child(node, block[position + length]);
            if (node == kNone) break;
            if (static_cast<std::uint32_t>(node - kRoots) < (1u << codeWidth)) candidates.push_back(node);
        }
        if (!candidates.empty()) {
            best = candidates.back();
            if (random) {
                std::uniform_int_distribution<int> pick(0, 7);
                const int roll = pick(*random);
                if (roll == 0) {
                    best = kNone;
                } else if (roll == 1) {
                    best = candidates[std::uniform_int_distribution<std::size_t>(0, candidates.size() - 1)(*random)];
                }
            }
        }

        int code;
        std::uint32_t length;
        if (best == kNone) {
            code = block[position];
            length = 1;
            writer.put(0, 1);
            writer.put(block[position], 8);
        } else {
            code = best;
            length = static_cast<std::uint32_t>(model.length(best));
            writer.put(1, 1);
            writer.put(static_cast<std::uint32_t>(best - kRoots), codeWidth);
            model.refresh(best);
        }
        if (length > stats.longestToken) stats.longestToken = length;

        const std::size_t tokenStart = position;
        position += length;
        if (position == block.size()) break;

        if (previous != kNone) {
            int at = previous;
            for (std::uint32_t i = 0; i < length; ++i) {
                if (previousLength + 1 + i > kMaxLength) break;
                int next = model.child(at, block[tokenStart + i]);
                if (next == kNone) next = model.add(at, block[tokenStart + i], stats);
                if (next == kNone) break;
                at = next;
            }
        }
        previous = code;
        previousLength = length;
    }
    stats.codeWidth = codeWidth;
    if (statsOut) *statsOut = stats;
    return writer.finish();
}

std::string buildHed(std::uint32_t nameBlockOffset, std::uint32_t nameBlockStoredSize, std::uint32_t nameBlockSize,
                     const std::vector<HeaderWords>& headers) {
    std::string hed;
    const auto put = [&hed](std::uint32_t value) {
        for (int i = 0; i < 4; ++i) hed.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    };
    put(nameBlockOffset);
    put(nameBlockStoredSize);
    put(nameBlockSize);
    for (const HeaderWords& header : headers) {
        put(header.dataOffset);
        put(header.storedSizeWord);
        put(header.size);
    }
    return hed;
}

void writeUnpackedPair(const std::filesystem::path& hed, const std::vector<std::string>& names,
                       const std::function<std::string(const std::string&)>& content, std::uint32_t flagMask) {
    std::string dat(16, '\0');
    std::vector<HeaderWords> headers;
    for (const std::string& name : names) {
        const std::string bytes = content(name);
        const auto length = static_cast<std::uint32_t>(bytes.size());
        headers.push_back({static_cast<std::uint32_t>(dat.size()), length | flagMask, length});
        dat += bytes;
    }
    const auto block = buildFilenameBlock(names);
    const auto blockOffset = static_cast<std::uint32_t>(dat.size());
    dat += asString(block);
    const auto blockLength = static_cast<std::uint32_t>(block.size());
    std::filesystem::path datPath = hed;
    datPath.replace_extension(".dat");
    for (const auto& [path, bytes] : {std::pair{datPath, dat},
                                      std::pair{hed, buildHed(blockOffset, blockLength, blockLength, headers)}}) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) throw std::runtime_error("could not write " + path.string());
    }
}

}  // namespace kiv::test
