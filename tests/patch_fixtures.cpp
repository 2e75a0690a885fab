#include "tests/patch_fixtures.h"

#include "archive/archive.h"
#include "base/base.h"
#include "patch/crypto.h"
#include "tests/support.h"

#include <algorithm>
#include <array>
#include <stdexcept>

namespace kiv::test {

std::string le16(std::uint16_t value) {
    return {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
}

std::string le32(std::uint32_t value) { return le16(value & 0xFFFF) + le16(value >> 16); }

std::string packageBytes(std::string_view archivePath, const Items& entries) {
    std::string out = "ZOKAPATCH1";
    out += le16(static_cast<std::uint16_t>(archivePath.size())) + std::string(archivePath);
    out += le32(static_cast<std::uint32_t>(entries.size()));
    for (const auto& [name, data] : entries) {
        out += le16(static_cast<std::uint16_t>(name.size())) + name + le32(static_cast<std::uint32_t>(data.size()));
        out += data;
    }
    return out;
}

std::string deltaPackageBytes(std::string_view archivePath, const Items& entries, const Items& bases) {
    std::vector<PackageItem> items;
    for (const auto& entry : entries) {
        const auto base =
            std::find_if(bases.begin(), bases.end(), [&](const auto& b) { return b.first == entry.first; });
        items.push_back({entry.first, asBytes(entry.second),
                         base == bases.end() ? std::span<const std::uint8_t>{} : asBytes(base->second),
                         base != bases.end()});
    }
    std::string out = "ZOKAPATCH2";
    out += le16(static_cast<std::uint16_t>(archivePath.size())) + std::string(archivePath);
    out += le32(static_cast<std::uint32_t>(entries.size()));
    for (const EncodedEntry& entry : encodePackageItems(items, 1)) {
        const bool based = std::any_of(bases.begin(), bases.end(), [&](const auto& b) { return b.first == entry.name; });
        if (based && entry.kind != PackageEntryKind::delta) throw std::runtime_error("no delta made for " + entry.name);
        out.append(entry.bytes.begin(), entry.bytes.end());
    }
    return out;
}

Items itemsOf(const PatchSet& set) {
    Items out;
    for (const PatchEntry& e : set.entries) out.emplace_back(e.name, std::string(e.data.begin(), e.data.end()));
    return out;
}

NrbfWriter& NrbfWriter::string(std::int32_t id, std::string_view text) {
    // The length prefix: 7 bits a byte, lowest group first.
    bytes += '\x06' + le32(static_cast<std::uint32_t>(id));
    std::size_t length = text.size();
    do {
        bytes.push_back(static_cast<char>((length & 0x7F) | (length > 0x7F ? 0x80 : 0)));
        length >>= 7;
    } while (length != 0);
    bytes += text;
    return *this;
}

NrbfWriter& NrbfWriter::reference(std::int32_t id) {
    bytes += '\x09' + le32(static_cast<std::uint32_t>(id));
    return *this;
}

NrbfWriter& NrbfWriter::primitiveArray(std::int32_t id, std::int32_t count, std::uint8_t type,
                                       std::string_view content) {
    bytes += '\x0F' + le32(static_cast<std::uint32_t>(id)) + le32(static_cast<std::uint32_t>(count)) + char(type);
    bytes += content;
    return *this;
}

std::string legacyGraph(std::string_view archivePath, const Items& entries) {
    NrbfWriter names, arrays;
    names.string(1, archivePath);
    std::int32_t id = 2;
    for (const auto& [name, data] : entries) {
        names.string(id, name).reference(id + 1);
        arrays.byteArray(id + 1, data);
        id += 2;
    }
    return names.bytes + arrays.bytes;
}

std::string encryptLegacy(std::string_view plaintext) {
    // The salt is the same for every file the tests make, so the 50,000
    // iterations are paid once per program.
    static const std::string salt = "test salt: any 32 bytes will do.";
    static const std::array<std::uint8_t, 48> derived = [] {  // the AES key, then the IV
        std::array<std::uint8_t, 48> made;
        const std::string_view password = "Qm7tWx2LpR9vKd4HsN8yBc3FgJ6eZa5U";
        crypto::Failure failure = crypto::Failure::none;
        if (!crypto::pbkdf2HmacSha1(asBytes(password), asBytes(salt), 50000, made, failure)) {
            throw std::runtime_error("key derivation failed in the test encoder");
        }
        return made;
    }();
    crypto::Aes256Ecb aes;
    crypto::Failure failure = crypto::Failure::none;
    if (!aes.open(std::span(derived).first<32>(), failure)) throw std::runtime_error("AES key refused");

    // CFB encryption is sequential: each segment's keystream is the previous
    // ciphertext segment encrypted; a short last segment uses part of it.
    std::string out = salt;
    std::array<std::uint8_t, 16> feedback;
    std::copy(derived.begin() + 32, derived.end(), feedback.begin());
    for (std::size_t offset = 0; offset < plaintext.size(); offset += 16) {
        std::array<std::uint8_t, 16> keystream;
        if (!aes.encrypt(feedback, keystream, failure)) throw std::runtime_error("AES failed");
        for (std::size_t i = 0; i < 16 && offset + i < plaintext.size(); ++i) {
            feedback[i] = keystream[i] ^ static_cast<std::uint8_t>(plaintext[offset + i]);
            out.push_back(static_cast<char>(feedback[i]));
        }
    }
    return out;
}

std::string legacyFile(std::string_view content) {
    // PKCS#7 padding to whole 16-byte blocks.
    const std::size_t pad = 16 - content.size() % 16;
    return encryptLegacy(std::string(content) + std::string(pad, static_cast<char>(pad)));
}

std::filesystem::path dataDirectory() { return std::filesystem::path(KIV_TEST_DATA_DIR); }

void writeArchive(const std::filesystem::path& hedPath, const Items& items) {
    std::string dat, headers;
    std::string block = le32(static_cast<std::uint32_t>(items.size()));
    for (const auto& [name, data] : items) {
        const std::string size = le32(static_cast<std::uint32_t>(data.size()));
        headers += le32(static_cast<std::uint32_t>(dat.size())) + size + size;
        dat += data;
        block += name + '\0';
    }
    const std::string blockSize = le32(static_cast<std::uint32_t>(block.size()));
    writeFile(hedPath, le32(static_cast<std::uint32_t>(dat.size())) + blockSize + blockSize + headers);
    writeFile(std::filesystem::path(hedPath).replace_extension(".dat"), dat + block);
}

Items readArchive(const std::filesystem::path& hedPath) {
    ArchivePair pair;
    std::wstring error;
    if (!pair.open(hedPath, error)) throw std::runtime_error("archive does not open: " + wideToUtf8(error));
    const std::string dat = readFile(pair.datPath);
    Items out;
    for (const ArchiveItem& item : pair.items) {
        if (item.dataOffset + std::uint64_t{item.storedSize} > dat.size()) throw std::runtime_error("no item data");
        out.emplace_back(item.name, dat.substr(item.dataOffset, item.storedSize));
    }
    return out;
}

}  // namespace kiv::test
