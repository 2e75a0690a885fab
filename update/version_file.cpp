#include "update/update.h"

#include "base/base.h"

#include <cstdio>
#include <string>

namespace kiv {

namespace {

constexpr const wchar_t* kVersionFileName = L"kiv.ver";

bool isSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

std::int32_t readInstalledVersion(const std::filesystem::path& directory) {
    File file;
    if (!file.open(directory / kVersionFileName, File::Mode::read)) return 0;

    // Read the number the way a formatted extraction of an unsigned 32-bit
    // value does: white space, one sign, digits; anything after is ignored.
    unsigned char buffer[4096];
    std::uint64_t offset = 0;
    std::int64_t have = 0;
    std::int64_t at = 0;
    auto next = [&]() -> int {
        if (at == have) {
            have = file.readSomeAt(offset, buffer, sizeof buffer);
            if (have <= 0) {
                have = 0;
                at = 0;
                return EOF;
            }
            offset += static_cast<std::uint64_t>(have);
            at = 0;
        }
        return buffer[at++];
    };

    int c = next();
    while (c != EOF && isSpace(c)) c = next();
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = next();
    }
    if (c == EOF || c < '0' || c > '9') return 0;
    std::uint64_t magnitude = 0;
    bool overflow = false;
    for (; c != EOF && c >= '0' && c <= '9'; c = next()) {
        if (!overflow) {
            magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
            if (magnitude > 0xFFFFFFFFull) overflow = true;
        }
    }
    std::uint32_t value = overflow ? 0xFFFFFFFFu : static_cast<std::uint32_t>(magnitude);
    if (negative && !overflow) value = 0u - value;
    return static_cast<std::int32_t>(value);
}

bool writeInstalledVersion(const std::filesystem::path& directory, std::int32_t version) {
    // Written beside the real file and moved over it, so that an update that
    // is interrupted here leaves the previous version recorded, never an empty
    // or half-written file.
    const std::filesystem::path target = directory / kVersionFileName;
    const std::filesystem::path temporary = directory / L"kiv.ver.tmp";
    const std::string content = std::to_string(version) + "\r\n";

    // Anything left at the temporary name (an interrupted write, or a
    // directory of that name) would block every later write.
    if (!removeAll(temporary)) return false;
    File file;
    if (!file.open(temporary, File::Mode::create)) return false;
    bool written = file.writeAt(0, content.data(), content.size()) && file.flush();
    file.close();
    if (!written || !replaceFile(temporary, target)) {
        removeAll(temporary);
        return false;
    }
    return true;
}

}  // namespace kiv
