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

std::wstring_view unsafeListEntryReason(std::wstring_view entry) {
    const std::wstring relative = relativeEntryPath(entry);
    if (isUnsafeRelativePath(relative)) {
        return L"Windows would not store it under this name (a forbidden character, a device name such as "
               L"nul, or a trailing dot or space).";
    }
    const std::vector<std::wstring_view> elements = pathElements(relative);
    if (elements.empty()) return L"It names no file.";
    const std::wstring_view top = elements.front();
    // The version file and its temporary copy, as files or as folders that
    // would stand in their way.
    if (sameNameIgnoringCase(top, L"kiv.ver") || sameNameIgnoringCase(top, L"kiv.ver.tmp")) {
        return L"It is the launcher's version file.";
    }
    // The download area holds the downloads of the version being installed;
    // of a list, only the patch files directly in it belong there (they are
    // applied from there and never copied).
    if (sameNameIgnoringCase(top, L"patches") && (elements.size() != 2 || !isPatchFile(elements[1]))) {
        return L"It is in the launcher's download area, where only patch files directly in patches belong.";
    }
    // Installing a file "x" clears "x" + suffix first: a listed file or
    // folder of that name would be lost.
    for (std::wstring_view element : elements) {
        if (element.size() >= kTemporaryFileSuffix.size() &&
            sameNameIgnoringCase(element.substr(element.size() - kTemporaryFileSuffix.size()), kTemporaryFileSuffix)) {
            return L"It ends in the suffix the launcher gives a file while installing it.";
        }
    }
    return {};
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
