#include "update/update.h"

#include "base/base.h"

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

}  // namespace kiv
