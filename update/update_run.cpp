#include "update/update.h"

#include "net/http.h"

#include <exception>
#include <limits>
#include <optional>

namespace kiv {

void clearPatchesDirectory(const std::filesystem::path& installation) {
    removeAll(installation / L"patches");
}

DownloadProgress downloadProgressCallback(Reporter& reporter) {
    return [&reporter](std::uint64_t received, std::uint64_t total) {
        if (total == 0) return;
        reporter.setProgress(StatusRow::download, static_cast<int>(received * 100 / total));
    };
}

namespace {

// Stops the run with a message box; the caller returns at once.
void stop(Reporter& reporter, const std::wstring& message, MessageIcon icon) { reporter.showMessage(message, icon); }

const wchar_t* const kCloseClients = L"Please close all KIV clients before updating.";
const wchar_t* const kNotMatching = L"Downloaded file does not match the release.";

std::span<const std::uint8_t> asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

enum class Fetched { whole, missing, failed };

// One file of a release, into memory and at most `limit` bytes, retried as
// the downloads are: only a server that says it is not there (404) makes it
// missing; a busy or broken server must not pass for one without it.
Fetched fetchReleaseFile(const std::wstring& baseUrl, std::int32_t version, const wchar_t* name, std::uint64_t limit,
                         const UpdateOptions& options, std::string& body, std::wstring& error) {
    TransferOptions transfer;
    transfer.caFile = options.caFile;
    transfer.retryDelays = options.retryDelays;
    transfer.maxBytes = limit;
    transfer.retryInMemory = true;
    TransferFailure failure;
    if (httpGetToMemory(buildPatchUrl(version, name, baseUrl), body, error, transfer, &failure)) return Fetched::whole;
    return failure.status == 404 ? Fetched::missing : Fetched::failed;
}

// Fetches and checks a version's release manifest, before anything of its
// list is read. With a key, the manifest must be there, signed and for this
// version. Without one, a manifest that is there must read and be for this
// version; none at all (404) is fine. False when the run stopped.
bool loadRelease(const std::wstring& baseUrl, std::int32_t version, const UpdateOptions& options, Reporter& reporter,
                 std::optional<ReleaseManifest>& release) {
    const bool keyed = !options.releasePublicKey.empty();
    const std::wstring notSigned = L"Release " + std::to_wstring(version) + L" is not signed by the publisher.";
    std::string text;
    std::wstring error;
    switch (fetchReleaseFile(baseUrl, version, L"release.txt", kMaxReleaseBytes, options, text, error)) {
        case Fetched::whole: break;
        case Fetched::missing:
            if (!keyed) return true;
            stop(reporter, notSigned, MessageIcon::error);
            return false;
        case Fetched::failed:
            stop(reporter, L"Could not download release.txt.\n" + error, MessageIcon::error);
            return false;
    }
    ReleaseManifest manifest;
    std::wstring ignored;
    if (keyed) {
        std::string signature;
        switch (fetchReleaseFile(baseUrl, version, L"release.sig", kMaxSignatureBytes, options, signature, error)) {
            case Fetched::whole: break;
            case Fetched::missing: stop(reporter, notSigned, MessageIcon::error); return false;
            case Fetched::failed:
                stop(reporter, L"Could not download release.sig.\n" + error, MessageIcon::error);
                return false;
        }
        if (!crypto::verifyReleaseSignature(options.releasePublicKey, asBytes(text), asBytes(signature)) ||
            !parseReleaseManifest(text, manifest, ignored) || manifest.version != version) {
            stop(reporter, notSigned, MessageIcon::error);
            return false;
        }
    } else if (!parseReleaseManifest(text, manifest, ignored) || manifest.version != version) {
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
bool readList(std::string_view body, std::int32_t version, const std::optional<ReleaseManifest>& release,
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
    for (const ReleaseEntry& entry : release->entries) list.push_back(entry.entry);
    return true;
}

bool transferMatches(TransferHasher& hasher, const ReleaseEntry& expected) {
    crypto::Sha256Digest digest;
    std::uint64_t size = 0;
    return hasher.finish(digest, size) && size == expected.size && digest == expected.sha256;
}

// Downloads one entry of a version that has a release manifest: capped at
// the size the manifest gives and hashed while written. An empty file is
// made here rather than fetched, since a cap of zero would mean none.
// False with `error` set for a transfer failure; `matches` tells whether the
// bytes are the release's.
bool downloadReleaseEntry(const std::wstring& url, const std::filesystem::path& target, const ReleaseEntry& expected,
                          const DownloadProgress& progress, TransferOptions transfer, bool& matches,
                          std::wstring& error) {
    TransferHasher hasher;
    matches = false;
    if (expected.size == 0) {
        if (target.has_parent_path()) createDirectories(target.parent_path());
        File empty;
        if (!empty.open(target, File::Mode::create)) {
            error = L"Could not create download target.";
            return false;
        }
        hasher.restart();
        matches = transferMatches(hasher, expected);
        return true;
    }
    transfer.maxBytes = expected.size;
    transfer.observer = &hasher;
    if (!httpGetToFile(url, target, progress, error, transfer)) {
        if (error != kDownloadTooLarge) return false;
        return true;  // longer than the release says: does not match
    }
    matches = transferMatches(hasher, expected);
    return true;
}

// Downloads, installs and records one version. False when the run stopped.
bool installVersion(const std::filesystem::path& installation, const std::wstring& baseUrl, std::int32_t version,
                    std::string listBody, Reporter& reporter, const UpdateOptions& options, bool& launcherReplaced) {
    if (isClientRunning()) {
        stop(reporter, kCloseClients, MessageIcon::warning);
        return false;
    }
    // Under a key nothing of the list is trusted, used or shown before the
    // release that must name it has been checked.
    std::optional<ReleaseManifest> release;
    if (!loadRelease(baseUrl, version, options, reporter, release)) return false;
    DownloadList list;
    if (!readList(listBody, version, release, options, reporter, list)) return false;
    std::string().swap(listBody);

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
    if (!removeAll(versionDirectory) || std::filesystem::exists(systemPath(versionDirectory), existence) ||
        existence) {
        stop(reporter, L"Could not clear the download folder patches\\" + folderName + L".", MessageIcon::error);
        return false;
    }

    const std::uint64_t count = list.size();
    const DownloadProgress progress = downloadProgressCallback(reporter);
    TransferOptions transfer;
    transfer.caFile = options.caFile;
    transfer.retryDelays = options.retryDelays;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::wstring& entry = list[i];
        if (isClientRunning()) {
            stop(reporter, kCloseClients, MessageIcon::warning);
            return false;
        }
        reporter.setStatusText(StatusRow::version, L"Downloading files...");
        const std::wstring filesText =
            L"Total files (" + std::to_wstring(i + 1) + L"/" + std::to_wstring(count) + L")";
        reporter.setStatusText(StatusRow::download, filesText);
        reporter.setProgress(StatusRow::version, static_cast<int>(i * 100 / count));
        reporter.setProgress(StatusRow::download, 0);
        // The row says so while a download waits to be tried again.
        transfer.retryNotice = [&reporter, &filesText](int retry) {
            reporter.setStatusText(StatusRow::download,
                                   retry > 0 ? L"Retrying (" + std::to_wstring(retry) + L"/" +
                                                   std::to_wstring(kMaxRetries) + L")..."
                                             : filesText);
        };
        std::wstring error;
        const std::wstring url = buildPatchUrl(version, entry, baseUrl);
        const std::filesystem::path target = joinEntryPath(versionDirectory, relativeEntryPath(entry));
        bool matches = true;
        if (release ? !downloadReleaseEntry(url, target, release->entries[i], progress, transfer, matches, error)
                    : !httpGetToFile(url, target, progress, error, transfer)) {
            stop(reporter, L"Download failed: " + entry + L"\n" + error, MessageIcon::error);
            return false;
        }
        if (!matches) {
            stop(reporter, L"Download failed: " + entry + L"\n" + kNotMatching, MessageIcon::error);
            return false;
        }
    }

    if (isClientRunning()) {
        stop(reporter, kCloseClients, MessageIcon::warning);
        return false;
    }
    std::wstring error;
    bool replaced = false;
    const bool installed = installDownloads(installation, versionDirectory, list, reporter, error, options, &replaced);
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

    // The highest version a signed 32-bit number holds has no successor: the
    // run ends there as it does when the server has nothing newer.
    while (installed < std::numeric_limits<std::int32_t>::max()) {
        const std::int32_t next = installed + 1;
        reporter.setStatusText(StatusRow::version, L"Checking version " + std::to_wstring(next) + L"...");
        std::string list;
        const NextVersion answer = probeNextVersion(installed, baseUrl, options, list);
        if (answer == NextVersion::none) break;
        if (answer == NextVersion::unreachable) {
            // Whatever was installed stays; the player may play it.
            stop(reporter,
                 L"Could not reach the patch server. Version " + std::to_wstring(installed) + L" is installed.",
                 MessageIcon::warning);
            showClientReady(reporter, answer);
            return;
        }
        if (!installVersion(installation, baseUrl, next, std::move(list), reporter, options, launcherReplaced)) return;
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
