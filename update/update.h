// The update engine: the installed version, the patch server's download lists
// and URLs.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/base.h"
#include "net/http.h"

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

// ---- Version check and update run -----------------------------------------------

// Settings of a version check or an update run; the defaults are the
// launcher's.
struct UpdateOptions {
    // Certificate authorities that the patch server is checked against
    // instead of the system's store (kivtool --ca-file; libcurl transport).
    std::filesystem::path caFile;
    // The waits before the retries of a file download; shortened by tests.
    std::array<std::chrono::milliseconds, kMaxRetries> retryDelays = TransferOptions{}.retryDelays;
};

// Decides whether the next version exists on the server and shows the answer:
// "Update available" / "Press Update", or "Version Check OK" / "Success" with
// the client ready. A server that cannot be reached means no update.
void runVersionCheck(const std::filesystem::path& installation, const std::wstring& baseUrl, Reporter& reporter,
                     const UpdateOptions& options = {});

// Brings the installation up to the newest published version, one version
// at a time, recording each finished version in kiv.ver. Every failure stops
// the run with a message box; nothing is rolled back. While a file download
// waits to be retried, the FILE DOWNLOAD row shows "Retrying (k/3)...".
void runUpdate(const std::filesystem::path& installation, const std::wstring& baseUrl, Reporter& reporter,
               const UpdateOptions& options = {});

// The progress of one file download on the FILE DOWNLOAD bar: its percentage
// of the announced total, nothing when no total was announced.
DownloadProgress downloadProgressCallback(Reporter& reporter);

// Removes the download area "patches" with all its contents; errors ignored.
void clearPatchesDirectory(const std::filesystem::path& installation);

// Copies the plain files of a downloaded version over the installation, in
// list order, then applies the version's patches from its "patches" folder.
bool installDownloads(const std::filesystem::path& installation, const std::filesystem::path& versionDirectory,
                      const DownloadList& list, Reporter& reporter, std::wstring& error);

// ---- Workers and the client process -------------------------------------------

// Runs `body` on a detached thread unless a worker already runs: exchanges
// `workerBusy` with true, and the thread clears it as its very last action.
// False (and nothing started) when a worker was running or no thread could
// be created; in the latter case `workerBusy` is cleared again.
bool startWorker(std::atomic<bool>& workerBusy, std::function<void()> body);

// Whether a process whose executable is named kiv.exe (any letter case) runs.
bool isClientRunning();

}  // namespace kiv
