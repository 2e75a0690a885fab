// Builders for patch files in tests: packages written field by field (so
// that broken ones can be made too), the records of a serialised object graph
// that the legacy scan looks for, and their encryption into legacy patches;
// archive pairs written and read back.
#pragma once

#include "patch/patch.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kiv::test {

// Named contents in order: a patch's entries or an archive's items.
using Items = std::vector<std::pair<std::string, std::string>>;

std::string le16(std::uint16_t value);
std::string le32(std::uint32_t value);

// A well-formed package: magic, path, count and the entries.
std::string packageBytes(std::string_view archivePath, const Items& entries);

// A version-2 package of `entries`; each entry named in `bases` is a delta
// against that content, and it is an error if one cannot be made.
std::string deltaPackageBytes(std::string_view archivePath, const Items& entries, const Items& bases);

// The entries of a patch set as named contents, to compare whole.
Items itemsOf(const PatchSet& set);

// Appends records of the binary serialisation stream to `bytes`: strings,
// member references and primitive arrays (element type 2 is Byte).
struct NrbfWriter {
    NrbfWriter& string(std::int32_t id, std::string_view text);
    NrbfWriter& reference(std::int32_t id);
    NrbfWriter& primitiveArray(std::int32_t id, std::int32_t count, std::uint8_t type, std::string_view content);
    NrbfWriter& byteArray(std::int32_t id, std::string_view content) {
        return primitiveArray(id, static_cast<std::int32_t>(content.size()), 2, content);
    }

    std::string bytes;
};

// The records of one patch that the scan reads, in the order the old builder
// wrote them (its class records left out): the archive path, each entry's
// name with a reference to its data, then the data arrays.
std::string legacyGraph(std::string_view archivePath, const Items& entries);

// Salt + AES-256-CFB ciphertext of `plaintext` (not padded here), with a
// fixed salt whose key is derived once per test program.
std::string encryptLegacy(std::string_view plaintext);

// A legacy patch whose content is `content`, padded and encrypted.
std::string legacyFile(std::string_view content);

std::filesystem::path dataDirectory();

// Writes `hedPath` and its .dat with the items in order and an unpacked
// filename block after their data.
void writeArchive(const std::filesystem::path& hedPath, const Items& items);

// The items of a pair in table order, each with its current data, as the
// game would read them (read back through the archive reader).
Items readArchive(const std::filesystem::path& hedPath);

}  // namespace kiv::test
