// The legacy `.cab` patch: a 32-byte salt, then AES-256-CFB (128-bit
// segments) ciphertext of a PKCS#7-padded serialised object graph. The graph
// is not parsed: a scan picks out the archive path (the first string ending
// in ".hed"), file names (strings followed by a reference to a byte array)
// and the byte arrays those names refer to.
//
// In CFB, plaintext segment j is ciphertext segment j XOR E(ciphertext
// segment j-1), the IV standing in for segment -1: any range of the
// plaintext can be decrypted from the file alone, starting one segment
// before it. So the file is never held whole: the scan runs through a
// bounded decrypting window and remembers where each wanted array lies, and
// the arrays are decrypted again from the file when they are stored.
#include "patch/patch.h"

#include "patch/crypto.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace kiv {

namespace {

constexpr std::string_view kLegacyPassword = "Qm7tWx2LpR9vKd4HsN8yBc3FgJ6eZa5U";
constexpr std::uint32_t kLegacyIterations = 50000;
constexpr std::size_t kSaltSize = 32;
constexpr std::size_t kSegment = crypto::Aes256Ecb::kBlockSize;

// Segments decrypted per call of the block function: large enough that the
// call costs nothing, small enough that the scratch space stays small.
constexpr std::size_t kChunkBlocks = 64 * 1024;

// The scan's window onto the plaintext, and how far past its position the
// scan may look inside it (a record head, a length prefix, a file name and
// the reference after it).
constexpr std::size_t kWindow = 1 << 20;
constexpr std::size_t kLookAhead = 512;

constexpr std::size_t kMaxFileName = 260;
// The longest archive path taken: what Windows can open at most. A string
// that only ends like a path but claims the rest of the file would otherwise
// be read whole into memory.
constexpr std::size_t kMaxArchivePath = 32767;

std::wstring cryptoMessage(crypto::Failure failure) {
    switch (failure) {
        case crypto::Failure::hashProvider: return L"Could not open PBKDF2 provider.";
        case crypto::Failure::keyDerivation: return L"Could not derive legacy .cab key.";
        case crypto::Failure::cipherProvider: return L"Could not open AES provider.";
        case crypto::Failure::chainingMode: return L"Could not set AES-CFB mode.";
        case crypto::Failure::keyCreation: return L"Could not create AES key.";
        case crypto::Failure::encryption:
        case crypto::Failure::none: break;
    }
    return L"Could not decrypt legacy .cab patch.";
}

// The plaintext of a legacy patch, decrypted on demand from its file.
class LegacyPlaintext : public ItemSource {
public:
    // Everything up to the padding check, with the messages of
    // decryptLegacyPatch.
    bool open(const std::filesystem::path& path, std::wstring& error) {
        std::uint64_t size = 0;
        std::array<std::uint8_t, kSaltSize> salt{};
        // A file of 4 GiB or more holds more than an archive can take.
        if (!file_.open(path, File::Mode::read) || !file_.size(size) || size <= kSaltSize ||
            size > std::numeric_limits<std::uint32_t>::max() || !file_.readAt(0, salt.data(), salt.size())) {
            error = L"Could not read legacy .cab patch.";
            return false;
        }
        crypto::Failure failure = crypto::Failure::none;
        std::array<std::uint8_t, crypto::Aes256Ecb::kKeySize + kSegment> derived{};
        const auto password =
            std::span(reinterpret_cast<const std::uint8_t*>(kLegacyPassword.data()), kLegacyPassword.size());
        if (!crypto::pbkdf2HmacSha1(password, salt, kLegacyIterations, derived, failure) ||
            !aes_.open(std::span(derived).first<crypto::Aes256Ecb::kKeySize>(), failure)) {
            error = cryptoMessage(failure);
            return false;
        }
        std::copy_n(derived.begin() + crypto::Aes256Ecb::kKeySize, kSegment, iv_.begin());
        // CFB works on whole segments: a ciphertext with a partial last
        // segment was not made by the patch builder.
        const std::uint64_t cipherLength = size - kSaltSize;
        std::array<std::uint8_t, kSegment> last{};
        length_ = cipherLength;
        if (cipherLength % kSegment != 0 || !decrypt(cipherLength - kSegment, last)) {
            error = L"Could not decrypt legacy .cab patch.";
            return false;
        }
        const std::uint8_t pad = last[kSegment - 1];
        if (pad == 0 || pad > kSegment ||
            std::any_of(last.end() - pad, last.end(), [pad](std::uint8_t b) { return b != pad; })) {
            error = L"Legacy .cab padding is invalid.";
            return false;
        }
        length_ = cipherLength - pad;
        return true;
    }

    // The unpadded plaintext length.
    std::uint64_t length() const { return length_; }

    bool read(std::uint64_t offset, std::span<std::uint8_t> out) override {
        return offset <= length_ && out.size() <= length_ - offset && decrypt(offset, out);
    }

private:
    // Decrypts plaintext bytes [offset, offset + out.size()) a chunk of
    // segments at a time: the segment before the first one is read with
    // them, and E of each chunk's preceding segments is one call.
    bool decrypt(std::uint64_t offset, std::span<std::uint8_t> out) {
        while (!out.empty()) {
            const std::uint64_t first = offset / kSegment;
            const std::size_t skip = static_cast<std::size_t>(offset % kSegment);
            const std::size_t count =
                std::min<std::size_t>(kChunkBlocks, (skip + out.size() + kSegment - 1) / kSegment);
            buffer_.resize((kChunkBlocks + 1) * kSegment);
            std::uint8_t* const previous = buffer_.data();
            std::uint8_t* const ciphertext = previous + kSegment;
            if (first == 0) {
                std::memcpy(previous, iv_.data(), kSegment);
                if (!file_.readAt(kSaltSize, ciphertext, count * kSegment)) return false;
            } else if (!file_.readAt(kSaltSize + (first - 1) * kSegment, previous, (count + 1) * kSegment)) {
                return false;
            }
            keystream_.resize(kChunkBlocks * kSegment);
            const std::span<std::uint8_t> keystream(keystream_.data(), count * kSegment);
            crypto::Failure failure = crypto::Failure::none;
            if (!aes_.encrypt({previous, count * kSegment}, keystream, failure)) return false;
            const std::size_t taken = std::min(out.size(), count * kSegment - skip);
            std::size_t k = 0;
            for (; k + 8 <= taken; k += 8) {
                std::uint64_t word, key;
                std::memcpy(&word, ciphertext + skip + k, 8);
                std::memcpy(&key, keystream_.data() + skip + k, 8);
                word ^= key;
                std::memcpy(out.data() + k, &word, 8);
            }
            for (; k < taken; ++k) out[k] = ciphertext[skip + k] ^ keystream_[skip + k];
            out = out.subspan(taken);
            offset += taken;
        }
        return true;
    }

    File file_;
    crypto::Aes256Ecb aes_;
    std::array<std::uint8_t, kSegment> iv_{};
    std::uint64_t length_ = 0;
    std::vector<std::uint8_t> buffer_;
    std::vector<std::uint8_t> keystream_;
};

// The plaintext in memory, as the scan reads it.
class PlaintextSpan {
public:
    explicit PlaintextSpan(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::uint64_t length() const { return bytes_.size(); }
    // The `count` bytes at `offset` (count at most kLookAhead, all within
    // the plaintext), valid until the next call; null when unreadable.
    const std::uint8_t* at(std::uint64_t offset, std::size_t) { return bytes_.data() + offset; }
    bool copy(std::uint64_t offset, std::span<std::uint8_t> out) {
        if (!out.empty()) std::memcpy(out.data(), bytes_.data() + offset, out.size());
        return true;
    }

private:
    std::span<const std::uint8_t> bytes_;
};

// The plaintext seen through a window of kWindow decrypted bytes that moves
// forward with the scan.
class PlaintextWindow {
public:
    explicit PlaintextWindow(LegacyPlaintext& plaintext) : plaintext_(plaintext), window_(kWindow) {}
    std::uint64_t length() const { return plaintext_.length(); }
    const std::uint8_t* at(std::uint64_t offset, std::size_t count) {
        if (offset < start_ || offset + count > start_ + filled_) {
            start_ = offset;
            filled_ = static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, plaintext_.length() - offset));
            if (!plaintext_.read(start_, {window_.data(), filled_})) {
                filled_ = 0;
                return nullptr;
            }
        }
        return window_.data() + (offset - start_);
    }
    bool copy(std::uint64_t offset, std::span<std::uint8_t> out) {
        if (out.empty()) return true;
        if (offset >= start_ && offset + out.size() <= start_ + filled_) {
            std::memcpy(out.data(), window_.data() + (offset - start_), out.size());
            return true;
        }
        return plaintext_.read(offset, out);
    }

private:
    LegacyPlaintext& plaintext_;
    std::vector<std::uint8_t> window_;
    std::uint64_t start_ = 0;
    std::size_t filled_ = 0;
};

// What the scan finds: the archive path, the file names with the ids of the
// arrays they reference (stream order), and where each captured array lies.
struct ScanResult {
    std::wstring archivePath;
    std::vector<std::pair<std::string, std::uint32_t>> fileNameCandidates;
    std::unordered_map<std::uint32_t, std::pair<std::uint64_t, std::uint64_t>> byteArrays;  // offset, size
};

bool isFileName(std::string_view s) {
    if (s.empty() || s.size() > kMaxFileName) return false;
    if (s.find_first_of("\\/") != std::string_view::npos) return false;
    if (s.find('.') == std::string_view::npos) return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        const auto b = static_cast<std::uint8_t>(c);
        return b >= 0x20 && b <= 0x7E;
    });
}

// The byte-wise scan, over the plaintext in memory or through the window.
// False only when the plaintext could not be read.
template <typename Plaintext>
bool scanLegacyPlaintext(Plaintext& plaintext, ScanResult& result) {
    constexpr std::uint8_t kStringRecord = 0x06;
    constexpr std::uint8_t kMemberReference = 0x09;
    constexpr std::uint8_t kPrimitiveArray = 0x0F;
    constexpr std::uint8_t kPrimitiveByte = 2;

    const std::uint64_t n = plaintext.length();
    std::unordered_set<std::uint32_t> wantedArrayIds;

    std::uint64_t i = 0;
    while (i < n) {
        const std::uint8_t* p = plaintext.at(i, static_cast<std::size_t>(std::min<std::uint64_t>(kLookAhead, n - i)));
        if (p == nullptr) return false;
        const std::uint8_t tag = p[0];
        if (tag == kStringRecord && i + 5 <= n) {
            // Length prefix: 7 bits per byte, lowest group first, at most 5 bytes.
            std::uint64_t q = i + 5;
            std::uint64_t length = 0;
            bool complete = false;
            for (int taken = 0; taken < 5 && q < n; ++taken) {
                const std::uint8_t b = p[q++ - i];
                length |= static_cast<std::uint64_t>(b & 0x7F) << (7 * taken);
                if ((b & 0x80) == 0) {
                    complete = true;
                    break;
                }
            }
            if (complete && length <= n - q) {
                const std::uint64_t end = q + length;
                std::array<std::uint8_t, 5> after{};
                const bool referenced = end + 5 <= n;
                std::array<std::uint8_t, 4> suffix{};
                // A name is short enough to be looked at in place; of a longer
                // string only its last four bytes matter, unless it is the path.
                std::string name;
                if (length <= kMaxFileName) {
                    name.assign(reinterpret_cast<const char*>(p + (q - i)), static_cast<std::size_t>(length));
                    if (length >= 4) std::memcpy(suffix.data(), name.data() + length - 4, 4);
                } else if (!plaintext.copy(end - 4, suffix)) {
                    return false;
                }
                if (referenced && !plaintext.copy(end, after)) return false;
                if (length >= 4 && length <= kMaxArchivePath && std::memcmp(suffix.data(), ".hed", 4) == 0 &&
                    result.archivePath.empty()) {
                    if (length > kMaxFileName) {
                        name.resize(static_cast<std::size_t>(length));
                        if (!plaintext.copy(q, {reinterpret_cast<std::uint8_t*>(name.data()), name.size()})) {
                            return false;
                        }
                    }
                    result.archivePath = utf8ToWide(name);
                }
                if (referenced && after[0] == kMemberReference && isFileName(name)) {
                    const std::uint32_t id = loadLe32(after.data() + 1);
                    result.fileNameCandidates.emplace_back(std::move(name), id);
                    wantedArrayIds.insert(id);
                }
            }
            // The string's own bytes are scanned too.
            ++i;
            continue;
        }
        if (tag == kPrimitiveArray && i + 10 <= n) {
            const std::uint32_t id = loadLe32(p + 1);
            const auto count = static_cast<std::int32_t>(loadLe32(p + 5));
            const std::uint8_t type = p[9];
            if (count >= 0 && static_cast<std::uint64_t>(count) <= n - (i + 10) && type == kPrimitiveByte &&
                wantedArrayIds.contains(id)) {
                // Remembered, not read: its content is skipped.
                result.byteArrays[id] = {i + 10, static_cast<std::uint64_t>(count)};
                i += 10 + static_cast<std::uint64_t>(count);
                continue;
            }
        }
        ++i;
    }
    return true;
}

// The entries in the order of their names, each the range of its array;
// names that reference the same array share its range.
bool assembleEntries(ScanResult& result, std::vector<PatchEntryRange>& entries, std::wstring& error) {
    if (result.archivePath.empty()) {
        error = L"Legacy .cab patch does not contain an archive path.";
        return false;
    }
    entries.clear();
    for (auto& [name, id] : result.fileNameCandidates) {
        const auto found = result.byteArrays.find(id);
        if (found == result.byteArrays.end()) continue;
        PatchEntryRange& entry = entries.emplace_back();
        entry.name = std::move(name);
        entry.offset = found->second.first;
        entry.size = found->second.second;
    }
    if (entries.empty()) {
        error = L"Legacy .cab patch does not contain file entries.";
        return false;
    }
    return true;
}

// Fills `patchSet` with a copy of each entry's bytes. Names that share an
// array would each get a copy: a patch whose copies would come to more than
// the plaintext itself (many names on one large array) is refused rather
// than multiplied in memory.
template <typename Plaintext>
bool copyEntries(Plaintext& plaintext, std::vector<PatchEntryRange>& ranges, PatchSet& patchSet, std::wstring& error) {
    std::uint64_t total = 0;
    for (const PatchEntryRange& range : ranges) total += range.size;
    if (total > plaintext.length()) {
        error = L"Legacy .cab patch names more data than it holds.";
        return false;
    }
    patchSet.entries.clear();
    patchSet.entries.reserve(ranges.size());
    for (PatchEntryRange& range : ranges) {
        PatchEntry entry{std::move(range.name), std::vector<std::uint8_t>(static_cast<std::size_t>(range.size))};
        if (!plaintext.copy(range.offset, entry.data)) {
            error = L"Could not read legacy .cab patch.";
            return false;
        }
        patchSet.entries.push_back(std::move(entry));
    }
    return true;
}

}  // namespace

bool openLegacyPatch(const std::filesystem::path& path, OpenedPatch& patch, std::wstring& error) {
    auto plaintext = std::make_unique<LegacyPlaintext>();
    if (!plaintext->open(path, error)) return false;
    ScanResult result;
    {
        PlaintextWindow window(*plaintext);
        if (!scanLegacyPlaintext(window, result)) {
            error = L"Could not read legacy .cab patch.";
            return false;
        }
    }
    patch.archivePath = result.archivePath;
    if (!assembleEntries(result, patch.entries, error)) return false;
    patch.content = std::move(plaintext);
    return true;
}

bool decryptLegacyPatch(const std::filesystem::path& path, std::vector<std::uint8_t>& plaintext, std::wstring& error) {
    LegacyPlaintext source;
    if (!source.open(path, error)) return false;
    plaintext.resize(static_cast<std::size_t>(source.length()));
    if (!source.read(0, plaintext)) {
        error = L"Could not read legacy .cab patch.";
        return false;
    }
    return true;
}

bool parseLegacyPatch(std::span<const std::uint8_t> plaintext, PatchSet& patchSet, std::wstring& error) {
    PlaintextSpan bytes(plaintext);
    ScanResult result;
    scanLegacyPlaintext(bytes, result);
    patchSet.archivePath = result.archivePath;
    std::vector<PatchEntryRange> ranges;
    return assembleEntries(result, ranges, error) && copyEntries(bytes, ranges, patchSet, error);
}

bool readLegacyPatch(const std::filesystem::path& path, PatchSet& patchSet, std::wstring& error) {
    OpenedPatch patch;
    if (!openLegacyPatch(path, patch, error)) {
        patchSet.archivePath = patch.archivePath;
        return false;
    }
    patchSet.archivePath = patch.archivePath;
    auto& plaintext = static_cast<LegacyPlaintext&>(*patch.content);
    PlaintextWindow window(plaintext);
    return copyEntries(window, patch.entries, patchSet, error);
}

}  // namespace kiv
