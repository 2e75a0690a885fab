#include "update/update.h"

#include "base/base.h"
#include "patch/patch.h"

namespace kiv {

std::wstring patchBaseUrl() { return L"" KIV_PATCH_BASE_URL; }

std::wstring buildPatchUrl(std::int32_t version, std::wstring_view name, std::wstring_view baseUrl) {
    std::wstring url(baseUrl);
    url += std::to_wstring(version);
    url += L'/';
    url += name;
    for (wchar_t& c : url) {
        if (c == L'\\') c = L'/';
    }
    return url;
}

DownloadList parseDownloadList(std::string_view body) {
    DownloadList list;
    std::size_t start = 0;
    while (start < body.size()) {
        std::size_t end = body.find('\n', start);
        std::size_t next = end == std::string_view::npos ? body.size() : end + 1;
        if (end == std::string_view::npos) end = body.size();
        std::string_view line = body.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
        if (!line.empty()) list.push_back(utf8ToWide(line));
        start = next;
    }
    return list;
}

bool isUnsafeListEntry(std::wstring_view entry) {
    const std::wstring relative = relativeEntryPath(entry);
    if (isUnsafeRelativePath(relative)) return true;
    const std::vector<std::wstring_view> elements = pathElements(relative);
    if (elements.empty()) return true;
    const std::wstring_view top = elements.front();
    // The version file and its temporary copy, as files or as folders that
    // would stand in their way.
    if (equalsIgnoringCase(top, L"kiv.ver") || equalsIgnoringCase(top, L"kiv.ver.tmp")) return true;
    // The download area holds the downloads of the version being installed;
    // of a list, only the patch files directly in it belong there (they are
    // applied from there and never copied).
    if (equalsIgnoringCase(top, L"patches")) return elements.size() != 2 || !isPatchFile(elements[1]);
    return false;
}

bool isWebPageList(const DownloadList& list) {
    if (list.empty()) return false;
    for (wchar_t c : list.front()) {
        if (c == L' ' || c == L'\t' || c == L'\uFEFF') continue;
        return c == L'<';
    }
    return false;
}

}  // namespace kiv
