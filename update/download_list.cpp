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

void forEachListEntry(std::string_view body, const std::function<bool(std::wstring&&)>& visit) {
    std::size_t start = 0;
    while (start < body.size()) {
        std::size_t end = body.find('\n', start);
        std::size_t next = end == std::string_view::npos ? body.size() : end + 1;
        if (end == std::string_view::npos) end = body.size();
        std::string_view line = body.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
        if (!line.empty() && !visit(utf8ToWide(line))) return;
        start = next;
    }
}

DownloadList parseDownloadList(std::string_view body) {
    DownloadList list;
    forEachListEntry(body, [&list](std::wstring&& entry) {
        list.push_back(std::move(entry));
        return true;
    });
    return list;
}

bool listNamesAFile(std::string_view body) { return body.find_first_not_of("\r\n") != std::string_view::npos; }

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
    if (equalsIgnoringCase(top, L"kiv.ver") || equalsIgnoringCase(top, L"kiv.ver.tmp")) {
        return L"It is the launcher's version file.";
    }
    // The download area holds the downloads of the version being installed;
    // of a list, only the patch files directly in it belong there (they are
    // applied from there and never copied).
    if (equalsIgnoringCase(top, L"patches") && (elements.size() != 2 || !isPatchFile(elements[1]))) {
        return L"It is in the launcher's download area, where only patch files directly in patches belong.";
    }
    // Installing a file "x" clears "x" + suffix first: a listed file or
    // folder of that name would be lost.
    for (std::wstring_view element : elements) {
        if (element.size() >= kTemporaryFileSuffix.size() &&
            equalsIgnoringCase(element.substr(element.size() - kTemporaryFileSuffix.size()), kTemporaryFileSuffix)) {
            return L"It ends in the suffix the launcher gives a file while installing it.";
        }
    }
    return {};
}

bool isWebPageList(std::string_view body) {
    // Read as bytes, so that a list of any size is judged without widening it.
    // The first entry is the first line with anything but line ends in it.
    const std::size_t first = body.find_first_not_of("\r\n");
    if (first == std::string_view::npos) return false;
    const std::size_t lineEnd = body.rfind('\n', first);
    for (std::string_view rest = body.substr(lineEnd == std::string_view::npos ? 0 : lineEnd + 1); !rest.empty();) {
        if (rest.front() == ' ' || rest.front() == '\t') {
            rest.remove_prefix(1);
        } else if (rest.starts_with("\xEF\xBB\xBF")) {
            rest.remove_prefix(3);
        } else {
            return rest.front() == '<';
        }
    }
    return false;
}

}  // namespace kiv
