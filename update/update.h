// The update engine: the installed version, the patch server's download lists
// and URLs, and the reporting interface through which it shows its progress.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/base.h"
#include "net/http.h"
#include "patch/crypto.h"
#include "patch/patch.h"

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

// Why one entry of a list must not be downloaded, as one sentence without
// the entry; empty when it may be. Refused are: a relative path unsafe for
// Windows (isUnsafeRelativePath), one that names no file at all, and names
// of the launcher's own state: "kiv.ver" or "kiv.ver.tmp" (or a folder of
// that name), anything under the top-level "patches" folder other than a
// patch file directly in it, and any element ending in kTemporaryFileSuffix
// (the temporary name of a file being installed, which that install would
// delete). Names are compared as Windows compares them, without regard to
// letter case. The launcher and kivtool's publish and verify all go by it.
std::wstring_view unsafeListEntryReason(std::wstring_view entry);
inline bool isUnsafeListEntry(std::wstring_view entry) { return !unsafeListEntryReason(entry).empty(); }

// Whether a fetched list body is a web page rather than a list: its first
// entry opens with '<' (after blanks and byte-order marks). Servers that
// answer every path with a page (hosting fallbacks, captive portals) send one
// for a version that does not exist; no file name can begin with '<'.
bool isWebPageList(std::string_view body);

// Whether a list body has an entry at all: a line with anything but line ends.
bool listNamesAFile(std::string_view body);

// Calls `visit` with each entry of a list body in order, as parseDownloadList
// gives them, without keeping them; stops when `visit` returns false.
void forEachListEntry(std::string_view body, const std::function<bool(std::wstring&&)>& visit);

// The most bytes each file that the launcher holds in memory may have; a
// longer one fails as too large. A complete client of 30,000 files, listed as
// one version, takes about 2 MiB of list and 5 MiB of manifest; a DER
// signature on P-256 takes at most 72 bytes. The bounds leave room above that
// while keeping a hostile server from filling a 32-bit program's memory.
inline constexpr std::uint64_t kMaxListBytes = 4u << 20;
inline constexpr std::uint64_t kMaxReleaseBytes = 16u << 20;
inline constexpr std::uint64_t kMaxSignatureBytes = 1u << 10;

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
// waits for it. Where many transfers run at once (a set of files), each on
// a thread already, the hasher hashes on the transferring thread instead:
// the cores are busy anyway, and under Wine every running thread holds
// about 1 MiB however small its stack.
class TransferHasher final : public DownloadObserver {
public:
    enum class HashOn { ownThread, transferThread };
    explicit TransferHasher(HashOn where = HashOn::ownThread);
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

// ---- Reporting ---------------------------------------------------------------------

// The rows of the status band, top to bottom, each with a status line and a
// progress bar.
enum class StatusRow { version, download };

// Each row's label, in the order of StatusRow: the window paints it above the
// row's status line, kivtool prints it before the row's text. A new row is a
// value above, its label here and its look in the window's row table.
inline constexpr std::array<std::wstring_view, 2> kStatusRowLabels{L"VERSION CHECK", L"FILE DOWNLOAD"};
inline constexpr std::size_t kStatusRowCount = kStatusRowLabels.size();

constexpr std::size_t rowIndex(StatusRow row) { return static_cast<std::size_t>(row); }

enum class MessageIcon { error, warning };

// How the engine tells the player what it does. The launcher window
// implements it, kivtool prints it, tests record it. Calls arrive on the
// worker thread.
class Reporter {
public:
    virtual ~Reporter() = default;
    virtual void setStatusText(StatusRow row, const std::wstring& text) = 0;
    // Percent, 0..100 as the caller computes it.
    virtual void setProgress(StatusRow row, int percent) = 0;
    virtual void setTitle(const std::wstring& title) = 0;
    // A modal message; returns when the player has dismissed it.
    virtual void showMessage(const std::wstring& text, MessageIcon icon) = 0;
    // Whether the client may be started; the window shows it at once.
    virtual void setClientReady(bool ready) = 0;
};

// ---- Version check and update run -----------------------------------------------

// How long what a version check fetched stays good for the update run after
// it: a player who presses Update soon after the window opens gets the run
// straight to its downloads, and a later run asks the server afresh.
inline constexpr std::chrono::seconds kCheckStaysFresh{60};

// What a version check leaves for the update run that follows it: its
// kept-alive connections and, when it found the next version, that
// version's list, release.txt and release.sig, asked for together with the
// list (still arriving, perhaps, when the check has shown its answer). A run
// given the same visit within `freshFor` of the check, for the same server
// and installed version, takes them (once) instead of asking again; any
// other run starts afresh. The check and the run may be on different threads.
class ServerVisit {
public:
    explicit ServerVisit(std::chrono::milliseconds freshFor = kCheckStaysFresh);
    ~ServerVisit();
    ServerVisit(const ServerVisit&) = delete;
    ServerVisit& operator=(const ServerVisit&) = delete;

    // Internal to the engine: the check leaves, the run takes.
    struct Left;
    void leave(std::unique_ptr<Left> left);
    std::unique_ptr<Left> take(const std::wstring& baseUrl, std::int32_t installed, bool keyed);

private:
    std::chrono::milliseconds freshFor_;
    std::mutex mutex_;
    std::unique_ptr<Left> left_;
};

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
    // Shared by a version check and the update run after it; null: each
    // asks the server on its own connections.
    ServerVisit* visit = nullptr;
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

// The patch server's answer about the version after the installed one.
enum class NextVersion {
    none,         // its list answered 404 or 410, names no file, or is a web page
    published,    // its list names a file
    unreachable,  // the server gave no answer: no connection, TLS, any other status, a broken or too large list
};

// Fetches the list of the version after `installed` (at most kMaxListBytes,
// not retried) and tells what the answer means; `list` keeps the body of a
// published list and is empty otherwise. The highest version a signed 32-bit
// number holds has no successor. `session`, when given, is the run's; `cancel`,
// when given and set, ends the fetch as a failure.
NextVersion probeNextVersion(std::int32_t installed, const std::wstring& baseUrl, const UpdateOptions& options,
                             std::string& list, HttpSession* session = nullptr,
                             const std::atomic<bool>* cancel = nullptr);

// Decides whether the next version exists on the server and shows the answer:
// "Update available" / "Press Update"; "Version Check OK" / "Success" with
// the client ready when there is none; and when the server gave no answer,
// "Server not reachable" with the client ready all the same, since the
// installed version can still be played. With options.visit, a published
// version's release files are asked for with its list and left there, with
// the check's connections, for the run.
void runVersionCheck(const std::filesystem::path& installation, const std::wstring& baseUrl, Reporter& reporter,
                     const UpdateOptions& options = {});

// Shows the client ready to start, with the version check's answer: "Version
// Check OK" / "Success", or when the server gave no answer "Server not
// reachable" and that the game can still be played. Bars full.
void showClientReady(Reporter& reporter, NextVersion answer);

// Brings the installation up to the newest published version, one version
// at a time, recording each finished version in kiv.ver. Every failure stops
// the run with a message box; nothing is rolled back. A server that gives no
// answer about the next version ends the run with a warning that names the
// installed version, the client ready. A version's release is fetched and
// checked before any entry of its list is used or shown; the list and the
// release's files are asked for together, over connections kept for the run
// (the check's, and what it fetched, when options.visit still holds them).
// A version whose release does not check out stops before anything of it is
// installed. Its files download a few at once (kParallelDownloads); the FILE
// DOWNLOAD row counts those finished and its bar shows the version's bytes
// received, and while a download waits to be retried the row shows
// "Retrying (k/3)...". The first file that fails for good stops the others.
void runUpdate(const std::filesystem::path& installation, const std::wstring& baseUrl, Reporter& reporter,
               const UpdateOptions& options = {});

// The progress of applying patches on the VERSION CHECK row: "Applying
// patches..." and the share applied before each patch, 100 once all are.
PatchProgress patchProgressCallback(Reporter& reporter);

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
