#include "tests/patch_fixtures.h"

#include "archive/archive.h"
#include "base/base.h"
#include "patch/crypto.h"
#include "tests/support.h"

#include <array>
#include <stdexcept>

#ifndef KIV_TEST_DATA_DIR
#error "KIV_TEST_DATA_DIR must name tests/data"
#endif

namespace kiv::test {

std::string le16(std::uint16_t value) {
    return {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
}

std::string le32(std::uint32_t value) {
    std::string out;
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    return out;
}

std::string packageBytes(std::string_view archivePath,
                         const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string out = "ZOKAPATCH1";
    out += le16(static_cast<std::uint16_t>(archivePath.size()));
    out += archivePath;
    out += le32(static_cast<std::uint32_t>(entries.size()));
    for (const auto& [name, data] : entries) {
        out += le16(static_cast<std::uint16_t>(name.size()));
        out += name;
        out += le32(static_cast<std::uint32_t>(data.size()));
        out += data;
    }
    return out;
}

std::string NrbfWriter::lengthPrefix(std::uint64_t length) {
    std::string out;
    do {
        std::uint8_t byte = length & 0x7F;
        length >>= 7;
        if (length != 0) byte |= 0x80;
        out.push_back(static_cast<char>(byte));
    } while (length != 0);
    return out;
}

namespace {
std::string i32(std::int32_t value) { return le32(static_cast<std::uint32_t>(value)); }
std::string text(std::string_view value) { return NrbfWriter::lengthPrefix(value.size()) + std::string(value); }
}  // namespace

NrbfWriter& NrbfWriter::header(std::int32_t rootId) {
    bytes_ += '\x00' + i32(rootId) + i32(-1) + i32(1) + i32(0);
    return *this;
}

NrbfWriter& NrbfWriter::library(std::int32_t id, std::string_view name) {
    bytes_ += '\x0C' + i32(id) + text(name);
    return *this;
}

NrbfWriter& NrbfWriter::classWithMembers(std::int32_t id, std::string_view name,
                                         const std::vector<std::string>& members, std::int32_t libraryId) {
    bytes_ += '\x05' + i32(id) + text(name) + i32(static_cast<std::int32_t>(members.size()));
    for (const std::string& member : members) bytes_ += text(member);
    // Member types: "Data" members are byte arrays (primitive array of Byte),
    // everything else a string.
    for (const std::string& member : members) bytes_ += member == "Data" ? '\x07' : '\x01';
    for (const std::string& member : members) {
        if (member == "Data") bytes_ += '\x02';
    }
    bytes_ += i32(libraryId);
    return *this;
}

NrbfWriter& NrbfWriter::classWithId(std::int32_t id, std::int32_t metadataId) {
    bytes_ += '\x01' + i32(id) + i32(metadataId);
    return *this;
}

NrbfWriter& NrbfWriter::string(std::int32_t id, std::string_view value) {
    bytes_ += '\x06' + i32(id) + text(value);
    return *this;
}

NrbfWriter& NrbfWriter::reference(std::int32_t id) {
    bytes_ += '\x09' + i32(id);
    return *this;
}

NrbfWriter& NrbfWriter::byteArray(std::int32_t id, std::string_view content) {
    return primitiveArray(id, static_cast<std::int32_t>(content.size()), 2, content);
}

NrbfWriter& NrbfWriter::primitiveArray(std::int32_t id, std::int32_t count, std::uint8_t type,
                                       std::string_view content) {
    bytes_ += '\x0F' + i32(id) + i32(count) + static_cast<char>(type);
    bytes_ += content;
    return *this;
}

NrbfWriter& NrbfWriter::raw(std::string_view value) {
    bytes_ += value;
    return *this;
}

NrbfWriter& NrbfWriter::end() {
    bytes_ += '\x0B';
    return *this;
}

std::string legacyGraph(std::string_view archivePath,
                        const std::vector<std::pair<std::string, std::string>>& entries) {
    NrbfWriter writer;
    writer.header(1).library(2, "KivPatchBuilder, Version=1.0.0.0, Culture=neutral, PublicKeyToken=null");
    writer.classWithMembers(1, "KivPatchBuilder.PatchFile", {"ArchivePath", "Entries"}, 2);
    writer.string(3, archivePath).reference(4);
    // The entry array: a single-dimension array of class objects.
    writer.raw('\x07' + i32(4) + '\x00' + i32(1) + i32(static_cast<std::int32_t>(entries.size())) + '\x04' +
               text("KivPatchBuilder.PatchEntry") + i32(2));
    std::int32_t nextId = 5;
    std::vector<std::int32_t> arrayIds;
    for (std::size_t index = 0; index < entries.size(); ++index) {
        const std::int32_t entryId = nextId++;
        const std::int32_t nameId = nextId++;
        const std::int32_t dataId = nextId++;
        if (index == 0) {
            writer.classWithMembers(entryId, "KivPatchBuilder.PatchEntry", {"Name", "Data"}, 2);
        } else {
            writer.classWithId(entryId, 5);
        }
        writer.string(nameId, entries[index].first).reference(dataId);
        arrayIds.push_back(dataId);
    }
    for (std::size_t index = 0; index < entries.size(); ++index) {
        writer.byteArray(arrayIds[index], entries[index].second);
    }
    writer.end();
    return writer.bytes();
}

std::string pkcs7Pad(std::string_view content) {
    const std::size_t pad = 16 - content.size() % 16;
    return std::string(content) + std::string(pad, static_cast<char>(pad));
}

namespace {

constexpr std::string_view kPassword = "Qm7tWx2LpR9vKd4HsN8yBc3FgJ6eZa5U";

// The salt is the same for every file the tests make, so the 50,000
// iterations are paid once per program.
struct LegacyKey {
    std::array<std::uint8_t, 32> salt{};
    std::array<std::uint8_t, 48> derived{};

    LegacyKey() {
        for (std::size_t i = 0; i < salt.size(); ++i) salt[i] = static_cast<std::uint8_t>(0xA5 ^ (i * 29));
        crypto::Failure failure = crypto::Failure::none;
        if (!crypto::pbkdf2HmacSha1(
                std::span(reinterpret_cast<const std::uint8_t*>(kPassword.data()), kPassword.size()), salt, 50000,
                derived, failure)) {
            throw std::runtime_error("key derivation failed in the test encoder");
        }
    }
};

const LegacyKey& legacyKey() {
    static const LegacyKey key;
    return key;
}

}  // namespace

std::string encryptLegacy(std::string_view plaintext) {
    const LegacyKey& key = legacyKey();
    crypto::Aes256Ecb aes;
    crypto::Failure failure = crypto::Failure::none;
    if (!aes.open(std::span(key.derived).first<32>(), failure)) throw std::runtime_error("AES key refused");

    // CFB encryption is sequential: each segment's keystream is the previous
    // ciphertext segment encrypted; a short last segment uses part of it.
    std::string out(reinterpret_cast<const char*>(key.salt.data()), key.salt.size());
    std::array<std::uint8_t, 16> feedback;
    std::copy(key.derived.begin() + 32, key.derived.end(), feedback.begin());
    for (std::size_t offset = 0; offset < plaintext.size(); offset += 16) {
        std::array<std::uint8_t, 16> keystream;
        if (!aes.encrypt(feedback, keystream, failure)) throw std::runtime_error("AES failed");
        const std::size_t length = std::min<std::size_t>(16, plaintext.size() - offset);
        for (std::size_t i = 0; i < length; ++i) {
            feedback[i] = keystream[i] ^ static_cast<std::uint8_t>(plaintext[offset + i]);
            out.push_back(static_cast<char>(feedback[i]));
        }
    }
    return out;
}

std::string legacyFile(std::string_view content) { return encryptLegacy(pkcs7Pad(content)); }

std::filesystem::path dataDirectory() { return std::filesystem::path(KIV_TEST_DATA_DIR); }

void writeArchive(const std::filesystem::path& hedPath,
                  const std::vector<std::pair<std::string, std::string>>& items) {
    std::string dat;
    std::string headers;
    std::string block = le32(static_cast<std::uint32_t>(items.size()));
    for (const auto& [name, data] : items) {
        headers += le32(static_cast<std::uint32_t>(dat.size())) + le32(static_cast<std::uint32_t>(data.size())) +
                   le32(static_cast<std::uint32_t>(data.size()));
        dat += data;
        block += name;
        block += '\0';
    }
    const std::string head = le32(static_cast<std::uint32_t>(dat.size())) +
                             le32(static_cast<std::uint32_t>(block.size())) +
                             le32(static_cast<std::uint32_t>(block.size()));
    dat += block;
    std::filesystem::path datPath = hedPath;
    datPath.replace_extension(".dat");
    writeFile(hedPath, head + headers);
    writeFile(datPath, dat);
}

std::vector<std::pair<std::string, std::string>> readArchive(const std::filesystem::path& hedPath) {
    ArchivePair pair;
    std::wstring error;
    if (!pair.open(hedPath, error)) throw std::runtime_error("archive does not open: " + wideToUtf8(error));
    File dat;
    if (!dat.open(pair.datPath, File::Mode::read)) throw std::runtime_error("no .dat");
    std::vector<std::pair<std::string, std::string>> out;
    for (const ArchiveItem& item : pair.items) {
        std::string data(item.storedSize, '\0');
        if (!dat.readAt(item.dataOffset, data.data(), data.size())) throw std::runtime_error("item data missing");
        out.emplace_back(item.name, std::move(data));
    }
    return out;
}

}  // namespace kiv::test
