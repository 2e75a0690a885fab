// The update engine: the installed version, the patch server's download lists
// and URLs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kiv {

// ---- Installed version (kiv.ver) -------------------------------------------

// The version recorded in DIR/kiv.ver; 0 or less means no usable version.
// Never fails: a missing or unreadable file gives 0.
std::int32_t readInstalledVersion(const std::filesystem::path& directory);

// Records `version` in DIR/kiv.ver as decimal digits and CR LF. Errors are
// not reported; an interrupted write leaves the old file in force.
void writeInstalledVersion(const std::filesystem::path& directory, std::int32_t version);

// ---- Download lists and URLs -------------------------------------------------

// The ordered file names of one version's "dl_list.txt", duplicates kept.
using DownloadList = std::vector<std::wstring>;

// The built-in patch server base URL ("https://<host>/kiv/").
std::wstring patchBaseUrl();

// baseUrl + version + "/" + name, with every backslash turned into "/".
std::wstring buildPatchUrl(std::int32_t version, std::wstring_view name, std::wstring_view baseUrl = patchBaseUrl());

// One entry per non-empty line of a list body, line ends removed, UTF-8
// widened. Any bytes give a list, possibly empty.
DownloadList parseDownloadList(std::string_view body);

}  // namespace kiv
