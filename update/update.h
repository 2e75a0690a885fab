// The update engine: the installed version, the patch server's download lists
// and URLs.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/base.h"
#include "net/http.h"
#include "patch/crypto.h"

namespace kiv {

// ---- Installed version (kiv.ver) -------------------------------------------

// The version recorded in DIR/kiv.ver; 0 or less means no usable version.
// Never fails: a missing or unreadable file gives 0.
std::int32_t readInstalledVersion(const std::filesystem::path& directory);

// Records `version` in DIR/kiv.ver as decimal digits and CR LF; false when
// it could not. A failed or interrupted write leaves the old file in force.
bool writeInstalledVersion(const std::filesystem::path& directory, std::int32_t version);

// The window title for an installed version: "KIV Client Ver. 57", or
// "KIV Launcher" below 1.
std::wstring formatWindowTitle(std::int32_t version);

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

// Whether one entry of a list must not be downloaded: its relative path is
// unsafe for Windows (isUnsafeRelativePath), names no file at all, or names
// the launcher's own state: "kiv.ver" or "kiv.ver.tmp" (or a folder of that
// name), or anything under the top-level "patches" folder other than a patch
// file directly in it. Names are compared as Windows compares them, without
// regard to letter case.
bool isUnsafeListEntry(std::wstring_view entry);

// Whether a fetched list is a web page rather than a list: its first entry
// opens with '<' (after white space and a byte-order mark). Servers that
// answer every path with a page (hosting fallbacks, captive portals) send one
// for a version that does not exist; no file name can begin with '<'.
bool isWebPageList(const DownloadList& list);

// ---- Release manifests -------------------------------------------------------

// "release.txt" beside a version's list: the format line, the version number,
// then one line per list entry in list order: the entry's SHA-256 (64
// lower-case hex digits), a space, its size in bytes, a space, the entry as
// the list writes it. Lines end with CR LF. "release.sig" holds the DER
// ECDSA P-256 / SHA-256 signature of the exact bytes of "release.txt".
//
// A release whose packages hold deltas also offers each item that a delta
// rebuilds whole, for an installation whose item is not the delta's base: the
// format line is then kReleaseFormatLine2, and after the entries come lines
// "item" ITEM-SHA256 RANGE-SHA256 OFFSET LENGTH FILE: the item of that digest
// is the entry (as openStoredItem reads it) that bytes OFFSET to
// OFFSET+LENGTH-1 of FILE, in the version's folder but not in its list, hold;
// RANGE-SHA256 is the digest of those bytes. Launchers that predate it refuse
// such a manifest as they refuse the packages it comes with; a release
// without deltas keeps the first format.
inline constexpr std::string_view kReleaseFormatLine = "KIV release 1";
inline constexpr std::string_view kReleaseFormatLine2 = "KIV release 2";

struct ReleaseEntry {
    std::wstring entry;
    std::uint64_t size = 0;
    crypto::Sha256Digest sha256{};

    bool operator==(const ReleaseEntry&) const = default;
};

struct ReleaseItem {
    crypto::Sha256Digest item{};
    crypto::Sha256Digest range{};
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::wstring file;

    bool operator==(const ReleaseItem&) const = default;
};

struct ReleaseManifest {
    std::int32_t version = 0;
    std::vector<ReleaseEntry> entries;
    std::vector<ReleaseItem> items{};
};

std::string formatReleaseManifest(const ReleaseManifest& manifest);

// Reads a whole manifest; false (and `error` set) for anything that is not
// exactly the format above: another format line, a version that is not a
// positive decimal number without sign or leading zeros, a bad digest or
// size, an empty entry or an empty line.
bool parseReleaseManifest(std::string_view body, ReleaseManifest& manifest, std::wstring& error);

// Whether the manifest is for `version` and names exactly `list`'s entries,
// in the same order.
bool releaseMatchesList(const ReleaseManifest& manifest, std::int32_t version, const DownloadList& list);

// SHA-256 of a file transfer taken while the transfer goes on: each piece
// is copied into a short queue and hashed on a thread of the hasher's own,
// so that where a core is free the check adds next to nothing to the
// download. At most a few pieces wait; a transfer that outruns the hashing
// waits for it.
class TransferHasher final : public DownloadObserver {
public:
    TransferHasher();
    ~TransferHasher() override;
    TransferHasher(const TransferHasher&) = delete;
    TransferHasher& operator=(const TransferHasher&) = delete;

    void restart() override;
    void data(const void* bytes, std::size_t size) override;
    // Waits for the queued pieces and gives the digest and byte count of
    // everything since the last restart. False before any restart.
    bool finish(crypto::Sha256Digest& digest, std::uint64_t& size);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The release public key built into this program (CMake cache variable
// KIV_RELEASE_PUBLIC_KEY); empty when it was built without one.
std::string builtInReleasePublicKey();

// ---- Version check and update run -----------------------------------------------

// What the caller tells the engine beyond the installation and the server;
// the defaults are the launcher's.
struct UpdateOptions {
    // The file name of the launcher's own program in the installation
    // ("kiv_launcher.exe"); empty when the caller is not the launcher. A list
    // that names it replaces the running program: the running file is moved
    // aside (launcherAsideName) and the new one put in its place.
    std::wstring launcherFileName{};
    // Called once at the end of a run that replaced the launcher's program,
    // after any message box, so that the caller can start the new program.
    std::function<void()> launcherReplaced{};
    // PEM public key of the publisher. With a key, every version must come
    // with a release manifest signed by it; without, a manifest that happens
    // to be there still has its sizes and digests checked.
    std::string releasePublicKey{};
    // Certificate authorities that the patch server is checked against
    // instead of the system's store (kivtool --ca-file; libcurl transport).
    std::filesystem::path caFile{};
    // The waits before the retries of a file download; shortened by tests.
    std::array<std::chrono::milliseconds, kMaxRetries> retryDelays = TransferOptions{}.retryDelays;
};

// Where a replaced launcher program waits until the next start deletes it:
// its file name with ".old" appended.
std::wstring launcherAsideName(std::wstring_view launcherFileName);

// Puts `source` in place of the launcher program `destination`, which may be
// running: the running file is moved aside under launcherAsideName. Safe to
// repeat after an interruption at any step. False when it could not be done;
// the installation then still holds a launcher program.
bool installLauncherProgram(const std::filesystem::path& source, const std::filesystem::path& destination);

// Deletes a launcher program that an earlier run moved aside, and the
// temporary copy of an interrupted swap. Errors are ignored; true when
// neither is left.
bool removeReplacedLauncher(const std::filesystem::path& installation, std::wstring_view launcherFileName);

// Decides whether the next version exists on the server and shows the answer:
// "Update available" / "Press Update", or "Version Check OK" / "Success" with
// the client ready. A server that cannot be reached means no update.
void runVersionCheck(const std::filesystem::path& installation, const std::wstring& baseUrl, Reporter& reporter,
                     const UpdateOptions& options = {});

// Brings the installation up to the newest published version, one version
// at a time, recording each finished version in kiv.ver. Every failure stops
// the run with a message box; nothing is rolled back. A version whose release
// does not check out stops before anything of it is installed. While a file
// download waits to be retried, the FILE DOWNLOAD row shows "Retrying (k/3)...".
void runUpdate(const std::filesystem::path& installation, const std::wstring& baseUrl, Reporter& reporter,
               const UpdateOptions& options = {});

// The progress of one file download on the FILE DOWNLOAD bar: its percentage
// of the announced total, nothing when no total was announced.
DownloadProgress downloadProgressCallback(Reporter& reporter);

// Removes the download area "patches" with all its contents; errors ignored.
void clearPatchesDirectory(const std::filesystem::path& installation);

// Copies the plain files of a downloaded version over the installation, in
// list order, then applies the version's patches from its "patches" folder.
// Exactly the patch files that the list names are applied; anything else
// found in that folder is left alone. `launcherReplaced`, when given, is set
// once the launcher's own program (UpdateOptions) has been swapped.
// `fetchWholeItem` (patch/'s WholeItemFetch) gives the whole new item for a
// delta whose base the installation does not hold.
bool installDownloads(const std::filesystem::path& installation, const std::filesystem::path& versionDirectory,
                      const DownloadList& list, Reporter& reporter, std::wstring& error,
                      const UpdateOptions& options = {}, bool* launcherReplaced = nullptr,
                      const std::function<bool(std::string_view name, const crypto::Sha256Digest& item,
                                               std::filesystem::path& file, std::wstring& error)>& fetchWholeItem = {});

// ---- Workers and the client process -------------------------------------------

// Runs `body` on a detached thread unless a worker already runs: exchanges
// `workerBusy` with true, and the thread clears it as its very last action.
// False (and nothing started) when a worker was running or no thread could
// be created; in the latter case `workerBusy` is cleared again.
bool startWorker(std::atomic<bool>& workerBusy, std::function<void()> body);

// Whether a process whose executable is named kiv.exe (any letter case) runs.
bool isClientRunning();

}  // namespace kiv
