#include "update/update.h"

#include <charconv>

namespace kiv {

namespace {

const char kHexDigits[] = "0123456789abcdef";

bool parseHexDigest(std::string_view text, crypto::Sha256Digest& digest) {
    if (text.size() != digest.size() * 2) return false;
    auto value = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < digest.size(); ++i) {
        const int high = value(text[2 * i]), low = value(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        digest[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

// Decimal digits only, no leading zero (except "0" itself), no overflow.
template <typename Number>
bool parseDecimal(std::string_view text, Number& value) {
    if (text.empty() || (text.size() > 1 && text[0] == '0') || text[0] < '0' || text[0] > '9') return false;
    const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
    return failure == std::errc() && end == text.data() + text.size();
}

// The fields of an "item" line after the word: two digests, offset, length
// and a file name that takes the rest of the line.
bool parseItemLine(std::string_view line, ReleaseItem& item) {
    std::string_view fields[4];
    for (std::string_view& field : fields) {
        const std::size_t space = line.find(' ');
        if (space == std::string_view::npos) return false;
        field = line.substr(0, space);
        line.remove_prefix(space + 1);
    }
    item.file = utf8ToWide(line);
    return parseHexDigest(fields[0], item.item) && parseHexDigest(fields[1], item.range) &&
           parseDecimal(fields[2], item.offset) && parseDecimal(fields[3], item.length) && !line.empty();
}

void appendHex(std::string& text, const crypto::Sha256Digest& digest) {
    for (std::uint8_t byte : digest) {
        text += kHexDigits[byte >> 4];
        text += kHexDigits[byte & 15];
    }
}

}  // namespace

std::string formatReleaseManifest(const ReleaseManifest& manifest) {
    std::string text(manifest.items.empty() ? kReleaseFormatLine : kReleaseFormatLine2);
    text += "\r\n" + std::to_string(manifest.version) + "\r\n";
    for (const ReleaseEntry& entry : manifest.entries) {
        appendHex(text, entry.sha256);
        text += ' ' + std::to_string(entry.size) + ' ' + wideToUtf8(entry.entry) + "\r\n";
    }
    for (const ReleaseItem& item : manifest.items) {
        text += "item ";
        appendHex(text, item.item);
        text += ' ';
        appendHex(text, item.range);
        text += ' ' + std::to_string(item.offset) + ' ' + std::to_string(item.length) + ' ' + wideToUtf8(item.file) +
                "\r\n";
    }
    return text;
}

bool parseReleaseManifest(std::string_view body, ReleaseManifest& manifest, std::wstring& error) {
    manifest = {};
    std::size_t lineNumber = 0;
    bool offersItems = false;
    while (!body.empty()) {
        ++lineNumber;
        const std::size_t end = body.find('\n');
        std::string_view line = body.substr(0, end);
        body.remove_prefix(end == std::string_view::npos ? body.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::wstring where = L"Release manifest line " + std::to_wstring(lineNumber) + L": ";

        if (lineNumber == 1) {
            offersItems = line == kReleaseFormatLine2;
            if (line != kReleaseFormatLine && !offersItems) {
                error = where + L"not a release manifest of a known format.";
                return false;
            }
        } else if (lineNumber == 2) {
            if (!parseDecimal(line, manifest.version) || manifest.version <= 0) {
                error = where + L"bad version number.";
                return false;
            }
        } else if (offersItems && line.starts_with("item ")) {
            ReleaseItem item;
            if (!parseItemLine(line.substr(5), item)) {
                error = where + L"expected an item's SHA-256, its range's SHA-256, offset, length and file.";
                return false;
            }
            manifest.items.push_back(std::move(item));
        } else if (!manifest.items.empty()) {
            error = where + L"an entry after the items.";
            return false;
        } else {
            ReleaseEntry entry;
            const std::size_t space = line.find(' ');
            const std::size_t secondSpace = space == std::string_view::npos ? space : line.find(' ', space + 1);
            if (secondSpace == std::string_view::npos || !parseHexDigest(line.substr(0, space), entry.sha256) ||
                !parseDecimal(line.substr(space + 1, secondSpace - space - 1), entry.size) ||
                secondSpace + 1 == line.size()) {
                error = where + L"expected a SHA-256, a size and an entry.";
                return false;
            }
            entry.entry = utf8ToWide(line.substr(secondSpace + 1));
            manifest.entries.push_back(std::move(entry));
        }
    }
    if (lineNumber < 2) {
        error = L"Release manifest is incomplete.";
        return false;
    }
    return true;
}

bool releaseMatchesList(const ReleaseManifest& manifest, std::int32_t version, const DownloadList& list) {
    if (manifest.version != version || manifest.entries.size() != list.size()) return false;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (manifest.entries[i].entry != list[i]) return false;
    }
    return true;
}

}  // namespace kiv
