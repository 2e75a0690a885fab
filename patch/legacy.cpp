// The legacy `.cab` patch: a 32-byte salt, then AES-256-CFB (128-bit
// segments) ciphertext of a PKCS#7-padded serialised object graph. The graph
// is not parsed: a scan picks out the archive path (the first string ending
// in ".hed"), file names (strings followed by a reference to a byte array)
// and the byte arrays those names refer to.
#include "patch/patch.h"

#include "patch/crypto.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace kiv {

namespace {

constexpr std::string_view kLegacyPassword = "Qm7tWx2LpR9vKd4HsN8yBc3FgJ6eZa5U";
constexpr std::uint32_t kLegacyIterations = 50000;
constexpr std::size_t kSaltSize = 32;
constexpr std::size_t kSegment = crypto::Aes256Ecb::kBlockSize;

// Blocks decrypted per call of the block function: large enough that the
// call costs nothing, small enough that the scratch space stays small.
constexpr std::size_t kChunkBlocks = 64 * 1024;

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

// CFB decryption with 128-bit segments, in place: `buffer` holds the salt
// followed by the ciphertext, and the plaintext is written over it starting
// at offset 0. Plaintext segment j is ciphertext segment j XOR E(previous
// ciphertext segment, or the IV for j = 0); the inputs of E are all known in
// advance, so each chunk of them goes through the block function in one call.
// Writing 32 bytes behind the reading position never overwrites ciphertext
// that a later segment still needs, because those inputs are copied to the
// scratch space (and the last one of each chunk kept aside) first.
bool decryptCfb128InPlace(crypto::Aes256Ecb& aes, std::span<const std::uint8_t, kSegment> iv,
                          std::vector<std::uint8_t>& buffer, crypto::Failure& failure) {
    const std::size_t segments = (buffer.size() - kSaltSize) / kSegment;
    std::uint8_t* const base = buffer.data();
    std::array<std::uint8_t, kSegment> previous;
    std::copy(iv.begin(), iv.end(), previous.begin());
    std::vector<std::uint8_t> scratch(std::min(segments, kChunkBlocks) * kSegment);

    for (std::size_t first = 0; first < segments; first += kChunkBlocks) {
        const std::size_t count = std::min(kChunkBlocks, segments - first);
        const std::uint8_t* ciphertext = base + kSaltSize + first * kSegment;
        std::memcpy(scratch.data(), previous.data(), kSegment);
        std::memcpy(scratch.data() + kSegment, ciphertext, (count - 1) * kSegment);
        std::memcpy(previous.data(), ciphertext + (count - 1) * kSegment, kSegment);

        const std::span<std::uint8_t> keystream(scratch.data(), count * kSegment);
        if (!aes.encrypt(keystream, keystream, failure)) return false;

        std::uint8_t* plaintext = base + first * kSegment;
        for (std::size_t offset = 0; offset < count * kSegment; offset += 8) {
            std::uint64_t word, key;
            std::memcpy(&word, ciphertext + offset, 8);
            std::memcpy(&key, scratch.data() + offset, 8);
            word ^= key;
            std::memcpy(plaintext + offset, &word, 8);
        }
    }
    return true;
}

}  // namespace

bool decryptLegacyPatch(const std::filesystem::path& path, std::vector<std::uint8_t>& plaintext,
                        std::wstring& error) {
    {
        File file;
        std::uint64_t size = 0;
        // A file of 4 GiB or more cannot be a patch the launcher could hold;
        // it is refused before any buffer is sized from its length.
        if (!file.open(path, File::Mode::read) || !file.size(size) || size <= kSaltSize ||
            size > std::numeric_limits<std::uint32_t>::max() ||
            size > std::numeric_limits<std::size_t>::max()) {
            error = L"Could not read legacy .cab patch.";
            return false;
        }
        plaintext.resize(static_cast<std::size_t>(size));
        if (!file.readAt(0, plaintext.data(), plaintext.size())) {
            error = L"Could not read legacy .cab patch.";
            return false;
        }
    }

    crypto::Failure failure = crypto::Failure::none;
    std::array<std::uint8_t, crypto::Aes256Ecb::kKeySize + kSegment> derived{};
    const auto password = std::span(reinterpret_cast<const std::uint8_t*>(kLegacyPassword.data()),
                                    kLegacyPassword.size());
    if (!crypto::pbkdf2HmacSha1(password, std::span(plaintext.data(), kSaltSize), kLegacyIterations, derived,
                                failure)) {
        error = cryptoMessage(failure);
        return false;
    }
    crypto::Aes256Ecb aes;
    if (!aes.open(std::span(derived).first<crypto::Aes256Ecb::kKeySize>(), failure)) {
        error = cryptoMessage(failure);
        return false;
    }
    // CFB works on whole segments: a ciphertext with a partial last segment
    // was not made by the patch builder.
    if ((plaintext.size() - kSaltSize) % kSegment != 0 ||
        !decryptCfb128InPlace(aes, std::span(derived).last<kSegment>(), plaintext, failure)) {
        error = L"Could not decrypt legacy .cab patch.";
        return false;
    }
    plaintext.resize(plaintext.size() - kSaltSize);

    const std::size_t length = plaintext.size();
    const std::uint8_t pad = length == 0 ? 0 : plaintext.back();
    if (pad == 0 || pad > kSegment || pad > length ||
        std::any_of(plaintext.end() - pad, plaintext.end(), [pad](std::uint8_t b) { return b != pad; })) {
        error = L"Legacy .cab padding is invalid.";
        return false;
    }
    plaintext.resize(length - pad);
    return true;
}

bool parseLegacyPatch(std::span<const std::uint8_t> plaintext, PatchSet& patchSet, std::wstring& error) {
    constexpr std::uint8_t kStringRecord = 0x06;
    constexpr std::uint8_t kMemberReference = 0x09;
    constexpr std::uint8_t kPrimitiveArray = 0x0F;
    constexpr std::uint8_t kPrimitiveByte = 2;
    constexpr std::size_t kMaxFileName = 260;

    const std::uint8_t* const p = plaintext.data();
    const std::uint64_t n = plaintext.size();

    std::vector<std::pair<std::string_view, std::uint32_t>> fileNameCandidates;
    std::unordered_set<std::uint32_t> wantedArrayIds;
    // The arrays are kept as views of the plaintext, which outlives the scan;
    // the entries get their own copies at the end.
    std::unordered_map<std::uint32_t, std::span<const std::uint8_t>> byteArrays;

    auto isFileName = [](std::string_view s) {
        if (s.empty() || s.size() > kMaxFileName) return false;
        if (s.find_first_of("\\/") != std::string_view::npos) return false;
        if (s.find('.') == std::string_view::npos) return false;
        return std::all_of(s.begin(), s.end(), [](char c) {
            const auto b = static_cast<std::uint8_t>(c);
            return b >= 0x20 && b <= 0x7E;
        });
    };

    std::uint64_t i = 0;
    while (i < n) {
        const std::uint8_t tag = p[i];
        if (tag == kStringRecord && i + 5 <= n) {
            // Length prefix: 7 bits per byte, lowest group first, at most 5 bytes.
            std::uint64_t q = i + 5;
            std::uint64_t length = 0;
            bool complete = false;
            for (int taken = 0; taken < 5 && q < n; ++taken) {
                const std::uint8_t b = p[q++];
                length |= static_cast<std::uint64_t>(b & 0x7F) << (7 * taken);
                if ((b & 0x80) == 0) {
                    complete = true;
                    break;
                }
            }
            if (complete && length <= n - q) {
                const std::string_view s(reinterpret_cast<const char*>(p + q), static_cast<std::size_t>(length));
                const std::uint64_t end = q + length;
                if (s.size() >= 4 && s.ends_with(".hed") && patchSet.archivePath.empty()) {
                    patchSet.archivePath = utf8ToWide(s);
                }
                if (end + 5 <= n && p[end] == kMemberReference && isFileName(s)) {
                    const std::uint32_t id = loadLe32(p + end + 1);
                    fileNameCandidates.emplace_back(s, id);
                    wantedArrayIds.insert(id);
                }
            }
            // The string's own bytes are scanned too.
            ++i;
            continue;
        }
        if (tag == kPrimitiveArray && i + 10 <= n) {
            const std::uint32_t id = loadLe32(p + i + 1);
            const auto count = static_cast<std::int32_t>(loadLe32(p + i + 5));
            const std::uint8_t type = p[i + 9];
            if (count >= 0 && static_cast<std::uint64_t>(count) <= n - (i + 10) && type == kPrimitiveByte &&
                wantedArrayIds.contains(id)) {
                byteArrays[id] = plaintext.subspan(static_cast<std::size_t>(i + 10), static_cast<std::size_t>(count));
                i += 10 + static_cast<std::uint64_t>(count);
                continue;
            }
        }
        ++i;
    }

    if (patchSet.archivePath.empty()) {
        error = L"Legacy .cab patch does not contain an archive path.";
        return false;
    }
    patchSet.entries.clear();
    for (const auto& [name, id] : fileNameCandidates) {
        const auto found = byteArrays.find(id);
        if (found == byteArrays.end()) continue;
        patchSet.entries.push_back(
            PatchEntry{std::string(name), std::vector<std::uint8_t>(found->second.begin(), found->second.end())});
    }
    if (patchSet.entries.empty()) {
        error = L"Legacy .cab patch does not contain file entries.";
        return false;
    }
    return true;
}

bool readLegacyPatch(const std::filesystem::path& path, PatchSet& patchSet, std::wstring& error) {
    std::vector<std::uint8_t> plaintext;
    return decryptLegacyPatch(path, plaintext, error) && parseLegacyPatch(plaintext, patchSet, error);
}

}  // namespace kiv
