#include "update/version_fetch.h"

#include "net/http.h"
#include "patch/patch.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <map>
#include <optional>

namespace kiv {

void clearPatchesDirectory(const std::filesystem::path& installation) { removeAll(installation / L"patches"); }

namespace {

// Stops the run with a message box; the caller returns at once.
void stop(Reporter& reporter, const std::wstring& message, MessageIcon icon) { reporter.showMessage(message, icon); }

const wchar_t* const kCloseClients = L"Please close all KIV clients before updating.";
const wchar_t* const kNotMatching = L"Downloaded file does not match the release.";

std::span<const std::uint8_t> asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Checks a version's release manifest, before anything of its list is read.
// With a key, the manifest must be there, signed and for this version.
// Without one, a manifest that is there must read and be for this version;
// none at all (404) is fine. False when the run stopped.
bool loadRelease(const VersionFiles& files, std::int32_t version, const UpdateOptions& options, Reporter& reporter,
                 std::optional<ReleaseManifest>& release) {
    const bool keyed = !options.releasePublicKey.empty();
    const std::wstring notSigned = L"Release " + std::to_wstring(version) + L" is not signed by the publisher.";
    switch (files.release) {
        case Fetched::whole: break;
        case Fetched::missing:
            if (!keyed) return true;
            stop(reporter, notSigned, MessageIcon::error);
            return false;
        case Fetched::failed:
            stop(reporter, L"Could not download release.txt.\n" + files.releaseError, MessageIcon::error);
            return false;
    }
    ReleaseManifest manifest;
    std::wstring ignored;
    if (keyed) {
        switch (files.signature) {
            case Fetched::whole: break;
            case Fetched::missing: stop(reporter, notSigned, MessageIcon::error); return false;
            case Fetched::failed:
                stop(reporter, L"Could not download release.sig.\n" + files.signatureError, MessageIcon::error);
                return false;
        }
        if (!crypto::verifyReleaseSignature(options.releasePublicKey, asBytes(files.releaseText),
                                            asBytes(files.signatureText)) ||
            !parseReleaseManifest(files.releaseText, manifest, ignored) || manifest.version != version) {
            stop(reporter, notSigned, MessageIcon::error);
            return false;
        }
    } else if (!parseReleaseManifest(files.releaseText, manifest, ignored) || manifest.version != version) {
        stop(reporter, std::wstring(L"Download failed: release.txt\n") + kNotMatching, MessageIcon::error);
        return false;
    }
    release = std::move(manifest);
    return true;
}

// The entries of a version's list. With a release, the list must name
// exactly its entries, which are compared one at a time as the list is read
// and then taken from the release; without one, the list is read whole.
// False when the run stopped.
bool readList(std::string_view body, std::int32_t version, std::optional<ReleaseManifest>& release,
              const UpdateOptions& options, Reporter& reporter, DownloadList& list) {
    if (!release) {
        list = parseDownloadList(body);
        return true;
    }
    std::size_t at = 0;
    bool same = true;
    forEachListEntry(body, [&](std::wstring&& entry) {
        same = at < release->entries.size() && entry == release->entries[at].entry;
        ++at;
        return same;
    });
    if (!same || at != release->entries.size()) {
        stop(reporter,
             options.releasePublicKey.empty()
                 ? std::wstring(L"Download failed: release.txt\n") + kNotMatching
                 : L"Release " + std::to_wstring(version) + L" is not signed by the publisher.",
             MessageIcon::error);
        return false;
    }
    list.reserve(release->entries.size());
    // The names move to the list: the release keeps sizes and digests.
    for (ReleaseEntry& entry : release->entries) list.push_back(std::move(entry.entry));
    return true;
}

bool transferMatches(TransferHasher& hasher, const ReleaseEntry& expected) {
    crypto::Sha256Digest digest;
    std::uint64_t size = 0;
    return hasher.finish(digest, size) && size == expected.size && digest == expected.sha256;
}

// Ends a set of downloads from one of its callables with the run's message.
struct StopRun {
    std::wstring message;
    MessageIcon icon;
};

// How often a running set looks for a client started meanwhile: the process
// list is not free to read, and a set starts many small files a second.
constexpr auto kClientCheckInterval = std::chrono::milliseconds(250);

// Downloads every entry of a version's list into its folder, a few at once
// over the run's connections. With a release, each file is capped at its
// size and hashed while written, and an empty one is made rather than
// fetched, since a cap of zero would mean none. The FILE DOWNLOAD row counts
// the files finished; its bar shows the bytes received of those the release
// announces, or without one the files' shares of what their servers
// announced, and never moves back. False when the run stopped.
bool downloadFiles(HttpSession& session, const std::wstring& baseUrl, std::int32_t version, const DownloadList& list,
                   const std::optional<ReleaseManifest>& release, const std::filesystem::path& versionDirectory,
                   Reporter& reporter, const UpdateOptions& options) {
    const std::size_t count = list.size();
    std::size_t finished = 0;
    std::wstring filesText;
    auto showFinished = [&] {
        filesText = L"Total files (" + std::to_wstring(finished) + L"/" + std::to_wstring(count) + L")";
        reporter.setStatusText(StatusRow::download, filesText);
        reporter.setProgress(StatusRow::version, count == 0 ? 100 : static_cast<int>(finished * 100 / count));
    };
    reporter.setStatusText(StatusRow::version, L"Downloading files...");
    reporter.setProgress(StatusRow::download, 0);

    // The list indices of the files to fetch; list sizes fit 32 bits, since
    // a list is at most kMaxListBytes.
    // Their folders are made here, in list order: downloads running at once
    // would race to make a shared one.
    std::vector<std::uint32_t> fetched;
    std::uint64_t announced = 0;
    std::filesystem::path lastFolder;
    for (std::size_t i = 0; i < count; ++i) {
        const std::filesystem::path target = joinEntryPath(versionDirectory, relativeEntryPath(list[i]));
        if (target.parent_path() != lastFolder) {
            lastFolder = target.parent_path();
            if (!createDirectories(lastFolder)) {
                stop(reporter, L"Download failed: " + list[i] + L"\nCould not create download target.",
                     MessageIcon::error);
                return false;
            }
        }
        if (!release || release->entries[i].size != 0) {
            fetched.push_back(static_cast<std::uint32_t>(i));
            if (release) announced += release->entries[i].size;
            continue;
        }
        File empty;
        crypto::Sha256 hash;
        crypto::Sha256Digest digest;
        if (!empty.open(target, File::Mode::create) || !empty.flush()) {
            stop(reporter, L"Download failed: " + list[i] + L"\nCould not create download target.", MessageIcon::error);
            return false;
        }
        if (!hash.finish(digest) || digest != release->entries[i].sha256) {
            stop(reporter, L"Download failed: " + list[i] + L"\n" + kNotMatching, MessageIcon::error);
            return false;
        }
        ++finished;
    }
    showFinished();

    // Everything below is used by the set's callables, which run one at a time.
    // A file's hasher exists only while its file downloads, and hashes on the
    // thread that downloads it.
    std::map<std::size_t, std::unique_ptr<TransferHasher>> hashers;
    std::map<std::size_t, std::pair<std::uint64_t, std::uint64_t>> underWay;  // received, total
    std::uint64_t finishedBytes = 0;
    int shown = 0;
    auto showBytes = [&] {
        long double share = 0;
        if (release) {
            std::uint64_t received = finishedBytes;
            for (const auto& [index, bytes] : underWay) received += bytes.first;
            share = announced == 0 ? 1 : static_cast<long double>(received) / announced;
        } else {
            long double files = static_cast<long double>(finished);
            for (const auto& [index, bytes] : underWay) {
                if (bytes.second != 0)
                    files += std::min<long double>(1, static_cast<long double>(bytes.first) / bytes.second);
            }
            share = files / static_cast<long double>(count);
        }
        // A retry that starts a file over takes its bytes back; the bar holds.
        const int percent = static_cast<int>(std::min<long double>(share, 1) * 100);
        if (percent <= shown) return;
        shown = percent;
        reporter.setProgress(StatusRow::download, percent);
    };
    auto nextClientCheck = std::chrono::steady_clock::time_point::min();
    auto checkClient = [&] {
        const auto now = std::chrono::steady_clock::now();
        if (now < nextClientCheck) return;
        nextClientCheck = now + kClientCheckInterval;
        if (isClientRunning()) throw StopRun{kCloseClients, MessageIcon::warning};
    };

    SetProgress progress;
    progress.received = [&](std::size_t index, std::uint64_t received, std::uint64_t total) {
        underWay[index] = {received, total};
        showBytes();
        checkClient();
    };
    progress.finished = [&](std::size_t index) {
        const std::uint32_t at = fetched[index];
        if (release) {
            const std::unique_ptr<TransferHasher> hasher = std::move(hashers[index]);
            hashers.erase(index);
            if (!transferMatches(*hasher, release->entries[at])) {
                throw StopRun{L"Download failed: " + list[at] + L"\n" + kNotMatching, MessageIcon::error};
            }
            finishedBytes += release->entries[at].size;
        }
        underWay.erase(index);
        ++finished;
        showFinished();
        showBytes();
    };
    // The row says so while a download waits to be tried again.
    progress.retry = [&](std::size_t, int retry) {
        reporter.setStatusText(StatusRow::download, retry > 0 ? L"Retrying (" + std::to_wstring(retry) + L"/" +
                                                                    std::to_wstring(kMaxRetries) + L")..."
                                                              : filesText);
    };
    auto describe = [&](std::size_t index) {
        checkClient();
        const std::uint32_t at = fetched[index];
        FileDownload download{buildPatchUrl(version, list[at], baseUrl),
                              joinEntryPath(versionDirectory, relativeEntryPath(list[at]))};
        if (release) {
            download.maxBytes = release->entries[at].size;
            std::unique_ptr<TransferHasher>& hasher = hashers[index];
            hasher = std::make_unique<TransferHasher>(TransferHasher::HashOn::transferThread);
            download.observer = hasher.get();
        }
        return download;
    };

    TransferOptions transfer;
    transfer.caFile = options.caFile;
    transfer.retryDelays = options.retryDelays;
    // Installation moves the files into place, so each must be durable
    // first; flushing it here overlaps the flushes with the network.
    transfer.flushComplete = true;
    std::size_t failed = 0;
    std::wstring error;
    try {
        if (!httpGetFiles(session, fetched.size(), describe, progress, failed, error, transfer)) {
            // Longer than the release says: not the release's file.
            if (release && error == kDownloadTooLarge) error = kNotMatching;
            stop(reporter, L"Download failed: " + list[fetched[failed]] + L"\n" + error, MessageIcon::error);
            return false;
        }
    } catch (const StopRun& stopped) {
        stop(reporter, stopped.message, stopped.icon);
        return false;
    }
    if (shown < 100) reporter.setProgress(StatusRow::download, 100);
    return true;
}

// The whole item a delta would have rebuilt, for an installation whose item
// is not the delta's base: one range of the release's item store, fetched
// into the version's folder and checked against the signed manifest before
// the patch reads it.
WholeItemFetch wholeItemFetch(const std::wstring& baseUrl, std::int32_t version, const ReleaseManifest& release,
                              const std::filesystem::path& versionDirectory, const TransferOptions& transfer) {
    return [&, version](std::string_view name, const crypto::Sha256Digest& digest, std::filesystem::path& file,
                        std::wstring& error) {
        const auto found = std::find_if(release.items.begin(), release.items.end(),
                                        [&](const ReleaseItem& item) { return item.item == digest; });
        if (found == release.items.end()) {
            error = L"Item " + utf8ToWide(name) +
                    L" is not the one its patch was made from (changed or damaged), and the release offers no "
                    L"whole copy of it.";
            return false;
        }
        std::wstring hex;
        for (std::uint8_t byte : digest) hex += L"0123456789abcdef"[byte >> 4], hex += L"0123456789abcdef"[byte & 15];
        file = versionDirectory / L"items" / (hex + L".item");
        TransferHasher hasher;
        TransferOptions options = transfer;
        options.observer = &hasher;
        options.retryNotice = {};
        crypto::Sha256Digest got{};
        std::uint64_t size = 0;
        if (!httpGetRangeToFile(buildPatchUrl(version, found->file, baseUrl), found->offset, found->length, file, error,
                                options)) {
            error = L"Could not download item " + utf8ToWide(name) + L" whole: " + error;
            return false;
        }
        if (!hasher.finish(got, size) || got != found->range || size != found->length) {
            error = L"Could not download item " + utf8ToWide(name) + L" whole: " + kNotMatching;
            return false;
        }
        return true;
    };
}

// Downloads, installs and records one version. False when the run stopped.
bool installVersion(HttpSession& session, const std::filesystem::path& installation, const std::wstring& baseUrl,
                    std::int32_t version, VersionFiles files, Reporter& reporter, const UpdateOptions& options,
                    bool& launcherReplaced) {
    if (isClientRunning()) {
        stop(reporter, kCloseClients, MessageIcon::warning);
        return false;
    }
    // Under a key nothing of the list is trusted, used or shown before the
    // release that must name it has been checked.
    std::optional<ReleaseManifest> release;
    if (!loadRelease(files, version, options, reporter, release)) return false;
    // Each text goes once read: a version of many files holds them once.
    std::string().swap(files.releaseText);
    DownloadList list;
    if (!readList(files.list, version, release, options, reporter, list)) return false;
    std::string().swap(files.list);

    // An entry that would land outside the installation, on a name Windows
    // would not store as listed, or on the launcher's own state stops the
    // version before anything of it is downloaded.
    for (const std::wstring& entry : list) {
        if (isUnsafeListEntry(entry)) {
            stop(reporter, L"Download failed: " + entry + L"\nUnsafe file name in download list.", MessageIcon::error);
            return false;
        }
    }

    // Whatever an earlier run left in the version's folder must go: only a
    // folder that holds this version's downloads alone is installed.
    const std::wstring folderName = L"version_" + std::to_wstring(version);
    const std::filesystem::path versionDirectory = installation / L"patches" / folderName;
    std::error_code existence;
    if (!removeAll(versionDirectory) || std::filesystem::exists(systemPath(versionDirectory), existence) || existence) {
        stop(reporter, L"Could not clear the download folder patches\\" + folderName + L".", MessageIcon::error);
        return false;
    }

    if (!downloadFiles(session, baseUrl, version, list, release, versionDirectory, reporter, options)) return false;

    if (isClientRunning()) {
        stop(reporter, kCloseClients, MessageIcon::warning);
        return false;
    }
    std::wstring error;
    bool replaced = false;
    TransferOptions transfer;
    transfer.caFile = options.caFile;
    transfer.retryDelays = options.retryDelays;
    transfer.session = &session;
    const WholeItemFetch fetchWholeItem =
        release ? wholeItemFetch(baseUrl, version, *release, versionDirectory, transfer) : WholeItemFetch{};
    const bool installed =
        installDownloads(installation, versionDirectory, list, reporter, error, options, &replaced, fetchWholeItem);
    launcherReplaced = launcherReplaced || replaced;
    if (!installed) {
        stop(reporter, L"Patch failed:\n" + error, MessageIcon::error);
        return false;
    }

    // The version is recorded only once everything of it is in place, so
    // that a run that ends early starts this version over.
    clearPatchesDirectory(installation);
    if (!writeInstalledVersion(installation, version)) {
        stop(reporter, L"Could not record the installed version.", MessageIcon::error);
        return false;
    }
    reporter.setTitle(formatWindowTitle(version));
    return true;
}

void updateBody(const std::filesystem::path& installation, const std::wstring& baseUrl, Reporter& reporter,
                const UpdateOptions& options, bool& launcherReplaced) {
    if (!std::filesystem::exists(systemPath(installation / L"kiv.exe"))) {
        stop(reporter, L"kiv.exe was not found beside the launcher.", MessageIcon::error);
        return;
    }
    if (isClientRunning()) {
        stop(reporter, L"Please close KIV before updating.", MessageIcon::warning);
        return;
    }
    std::int32_t installed = readInstalledVersion(installation);
    if (installed <= 0) {
        stop(reporter, L"Could not read kiv.ver.", MessageIcon::error);
        return;
    }
    reporter.setTitle(formatWindowTitle(installed));
    clearPatchesDirectory(installation);
    // What a check just before fetched for the next version, with its
    // connections; else one set of kept-alive connections for the run.
    std::unique_ptr<ServerVisit::Left> left =
        options.visit ? options.visit->take(baseUrl, installed, !options.releasePublicKey.empty()) : nullptr;
    const std::shared_ptr<HttpSession> session = left ? left->session : std::make_shared<HttpSession>();

    // The highest version a signed 32-bit number holds has no successor: the
    // run ends there as it does when the server has nothing newer.
    while (installed < std::numeric_limits<std::int32_t>::max()) {
        const std::int32_t next = installed + 1;
        reporter.setStatusText(StatusRow::version, L"Checking version " + std::to_wstring(next) + L"...");
        VersionFiles files;
        if (left) files = left->fetch->finish();
        // The check did not retry the release's files: one that failed there
        // is asked for again, with the list, as if the check had left nothing.
        if (!left || files.release == Fetched::failed || files.signature == Fetched::failed) {
            files = VersionFetch(session, baseUrl, installed, options, true).finish();
        }
        left.reset();
        const NextVersion answer = files.answer;
        if (answer == NextVersion::none) break;
        if (answer == NextVersion::unreachable) {
            // Whatever was installed stays; the player may play it.
            stop(reporter,
                 L"Could not reach the patch server. Version " + std::to_wstring(installed) + L" is installed.",
                 MessageIcon::warning);
            showClientReady(reporter, answer);
            return;
        }
        if (!installVersion(*session, installation, baseUrl, next, std::move(files), reporter, options,
                            launcherReplaced)) {
            return;
        }
        installed = next;
    }
    showClientReady(reporter, NextVersion::none);
}

}  // namespace

void runUpdate(const std::filesystem::path& installation, const std::wstring& baseUrl, Reporter& reporter,
               const UpdateOptions& options) {
    bool launcherReplaced = false;
    try {
        updateBody(installation, baseUrl, reporter, options, launcherReplaced);
    } catch (const std::exception& failure) {
        reporter.showMessage(L"Update failed unexpectedly.\n" + utf8ToWide(failure.what()), MessageIcon::error);
    } catch (...) {
        reporter.showMessage(L"Update failed unexpectedly.", MessageIcon::error);
    }
    // The program on disk is new even when a later version stopped the run.
    if (launcherReplaced && options.launcherReplaced) options.launcherReplaced();
}

}  // namespace kiv
