#include "base/base.h"

namespace kiv {

std::size_t rootNameLength(std::wstring_view path) {
    const std::size_t n = path.size();
    if (n >= 2 && path[1] == L':' &&
        ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'))) {
        return 2;
    }
    if (n >= 3 && isPathSeparator(path[0]) && isPathSeparator(path[1])) {
        // "\\?\" and "\\.\": the prefix up to the third separator.
        if ((path[2] == L'?' || path[2] == L'.') && (n == 3 || isPathSeparator(path[3]))) return 3;
        // "\\server": two separators and a name, up to the next separator.
        if (!isPathSeparator(path[2])) {
            std::size_t end = 2;
            while (end < n && !isPathSeparator(path[end])) ++end;
            return end;
        }
    }
    return 0;
}

std::wstring relativeEntryPath(std::wstring_view entry) {
    std::size_t start = rootNameLength(entry);
    while (start < entry.size() && isPathSeparator(entry[start])) ++start;
    return std::wstring(entry.substr(start));
}

bool isUnsafeRelativePath(std::wstring_view relative) {
    if (relative.find(L':') != std::wstring_view::npos) return true;
    std::size_t start = 0;
    while (start <= relative.size()) {
        std::size_t end = start;
        while (end < relative.size() && !isPathSeparator(relative[end])) ++end;
        if (relative.substr(start, end - start) == L"..") return true;
        start = end + 1;
    }
    return false;
}

std::filesystem::path toPath(std::wstring_view text) {
#ifdef _WIN32
    return std::filesystem::path(std::wstring(text));
#else
    return std::filesystem::path(wideToUtf8(text));
#endif
}

std::wstring toWide(const std::filesystem::path& path) {
#ifdef _WIN32
    return path.wstring();
#else
    return utf8ToWide(path.native());
#endif
}

std::filesystem::path joinEntryPath(const std::filesystem::path& directory, std::wstring_view relative) {
#ifdef _WIN32
    return directory / std::filesystem::path(std::wstring(relative));
#else
    std::wstring slashed(relative);
    for (wchar_t& c : slashed) {
        if (c == L'\\') c = L'/';
    }
    return directory / toPath(slashed);
#endif
}

}  // namespace kiv
