#include "base/base.h"

namespace kiv {

std::size_t rootNameLength(std::wstring_view path) {
    const std::size_t n = path.size();
    if (n >= 2 && path[1] == L':' && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'))) {
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

std::vector<std::wstring_view> pathElements(std::wstring_view relative) {
    std::vector<std::wstring_view> elements;
    for (std::size_t start = 0; start < relative.size();) {
        std::size_t end = start;
        while (end < relative.size() && !isPathSeparator(relative[end])) ++end;
        const std::wstring_view element = relative.substr(start, end - start);
        if (!element.empty() && element != L".") elements.push_back(element);
        start = end + 1;
    }
    return elements;
}

namespace {

// Windows opens a device instead of a file for these names, whatever the
// extension and the letter case: "nul.txt" is the null device too. Spaces
// before the extension do not change that either.
bool isDeviceName(std::wstring_view element) {
    std::wstring_view stem = element.substr(0, element.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') stem.remove_suffix(1);
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
        if (equalsIgnoringCase(stem, device)) return true;
    }
    if (stem.size() != 4) return false;
    const std::wstring_view prefix = stem.substr(0, 3);
    const wchar_t digit = stem[3];
    const bool port = equalsIgnoringCase(prefix, L"COM") || equalsIgnoringCase(prefix, L"LPT");
    // The superscript digits one to three count as well.
    return port && ((digit >= L'0' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3');
}

// Characters that Windows refuses in a file name, ':' included (a drive or
// an alternate stream).
bool isForbiddenCharacter(wchar_t c) {
    return c < 0x20 || c == L'<' || c == L'>' || c == L'"' || c == L'|' || c == L'?' || c == L'*' || c == L':';
}

}  // namespace

bool isUnsafeRelativePath(std::wstring_view relative) {
    for (wchar_t c : relative) {
        if (isForbiddenCharacter(c)) return true;
    }
    for (std::wstring_view element : pathElements(relative)) {
        // Windows drops a trailing dot or space, so such a name would land on
        // another file than the one listed; this also covers "..".
        if (element.back() == L'.' || element.back() == L' ') return true;
        if (isDeviceName(element)) return true;
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
