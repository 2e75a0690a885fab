// Builders for patch files in tests: packages written field by field (so
// that broken ones can be made too), serialised object graphs as the old
// patch builder wrote them, and their encryption into legacy patches.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kiv::test {

// ---- .npatch ----------------------------------------------------------------

std::string le16(std::uint16_t value);
std::string le32(std::uint32_t value);

// A well-formed package: magic, path, count and the entries.
std::string packageBytes(std::string_view archivePath,
                         const std::vector<std::pair<std::string, std::string>>& entries);

// ---- Serialised object graphs ----------------------------------------------

// Writes records of the binary serialisation stream: each method appends one
// record; `bytes()` is the stream so far.
class NrbfWriter {
public:
    NrbfWriter& header(std::int32_t rootId = 1);
    NrbfWriter& library(std::int32_t id, std::string_view name);
    // A class record with its member names and types (all members strings
    // or byte arrays, as the patch builder's classes have).
    NrbfWriter& classWithMembers(std::int32_t id, std::string_view name, const std::vector<std::string>& members,
                                 std::int32_t libraryId);
    NrbfWriter& classWithId(std::int32_t id, std::int32_t metadataId);
    NrbfWriter& string(std::int32_t id, std::string_view text);
    NrbfWriter& reference(std::int32_t id);
    NrbfWriter& byteArray(std::int32_t id, std::string_view content);
    NrbfWriter& primitiveArray(std::int32_t id, std::int32_t count, std::uint8_t type, std::string_view content);
    NrbfWriter& raw(std::string_view bytes);
    NrbfWriter& end();

    const std::string& bytes() const { return bytes_; }

    // The length prefix of a serialised string.
    static std::string lengthPrefix(std::uint64_t length);

private:
    std::string bytes_;
};

// The stream the old builder wrote for one patch: the archive path, then one
// entry object per file (name inline, data referenced), then the arrays.
std::string legacyGraph(std::string_view archivePath,
                        const std::vector<std::pair<std::string, std::string>>& entries);

// ---- Legacy encryption -----------------------------------------------------

// PKCS#7 padding to 16-byte blocks.
std::string pkcs7Pad(std::string_view content);

// Salt + AES-256-CFB ciphertext of `plaintext` (not padded here), with a
// fixed salt whose key is derived once per test program.
std::string encryptLegacy(std::string_view plaintext);

// A legacy patch whose content is `content`, padded and encrypted.
std::string legacyFile(std::string_view content);

std::filesystem::path dataDirectory();

// ---- Archive pairs ---------------------------------------------------------

// Writes `hedPath` and its .dat with the items in order and an unpacked
// filename block after their data.
void writeArchive(const std::filesystem::path& hedPath,
                  const std::vector<std::pair<std::string, std::string>>& items);

// The items of a pair in table order, each with its current data, as the
// game would read them (read back through the archive reader).
std::vector<std::pair<std::string, std::string>> readArchive(const std::filesystem::path& hedPath);

}  // namespace kiv::test
