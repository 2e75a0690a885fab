#include "update/update.h"

#include "app/shell.h"
#include "net/http.h"

#include <exception>

namespace kiv {

void clearPatchesDirectory(const std::filesystem::path& installation) {
    std::error_code ignored;
    std::filesystem::remove_all(installation / L"patches", ignored);
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

void showFinished(Reporter& reporter) {
    reporter.setStatusText(StatusRow::version, L"Version Check OK");
    reporter.setStatusText(StatusRow::download, L"Success");
    reporter.setProgress(StatusRow::version, 100);
    reporter.setProgress(StatusRow::download, 100);
    reporter.setClientReady(true);
    reporter.invalidateStatusBand();
}

const wchar_t* const kCloseClients = L"Please close all KIV clients before updating.";

// Downloads, installs and records one version. False when the run stopped.
bool installVersion(const std::filesystem::path& installation, const std::wstring& baseUrl, std::int32_t version,
                    const DownloadList& list, Reporter& reporter, const UpdateOptions& options) {
    if (isClientRunning()) {
        stop(reporter, kCloseClients, MessageIcon::warning);
        return false;
    }
    // An entry that would land outside the installation stops the version
    // before anything of it is downloaded.
    for (const std::wstring& entry : list) {
        if (isUnsafeRelativePath(relativeEntryPath(entry))) {
            stop(reporter, L"Download failed: " + entry + L"\nUnsafe file name in download list.", MessageIcon::error);
            return false;
        }
    }

    const std::filesystem::path versionDirectory =
        installation / L"patches" / (L"version_" + std::to_wstring(version));
    std::error_code ignored;
    std::filesystem::remove_all(versionDirectory, ignored);

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
        if (!httpGetToFile(buildPatchUrl(version, entry, baseUrl), joinEntryPath(versionDirectory, relativeEntryPath(entry)),
                           progress, error, transfer)) {
            stop(reporter, L"Download failed: " + entry + L"\n" + error, MessageIcon::error);
            return false;
        }
    }

    if (isClientRunning()) {
        stop(reporter, kCloseClients, MessageIcon::warning);
        return false;
    }
    std::wstring error;
    if (!installDownloads(installation, versionDirectory, list, reporter, error)) {
        stop(reporter, L"Patch failed:\n" + error, MessageIcon::error);
        return false;
    }

    // The version is recorded only once everything of it is in place, so
    // that a run that ends early starts this version over.
    clearPatchesDirectory(installation);
    writeInstalledVersion(installation, version);
    reporter.setTitle(formatWindowTitle(version));
    return true;
}

void updateBody(const std::filesystem::path& installation, const std::wstring& baseUrl, Reporter& reporter,
                const UpdateOptions& options) {
    if (!std::filesystem::exists(installation / L"kiv.exe")) {
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

    for (;;) {
        const std::int32_t next = installed + 1;
        reporter.setStatusText(StatusRow::version, L"Checking version " + std::to_wstring(next) + L"...");
        std::string body;
        std::wstring ignored;
        TransferOptions listTransfer;
        listTransfer.caFile = options.caFile;
        if (!httpGetToMemory(buildPatchUrl(next, L"dl_list.txt", baseUrl), body, ignored, listTransfer)) break;
        const DownloadList list = parseDownloadList(body);
        if (list.empty()) break;
        if (!installVersion(installation, baseUrl, next, list, reporter, options)) return;
        installed = next;
    }
    showFinished(reporter);
}

}  // namespace

void runUpdate(const std::filesystem::path& installation, const std::wstring& baseUrl, Reporter& reporter,
               const UpdateOptions& options) {
    try {
        updateBody(installation, baseUrl, reporter, options);
    } catch (const std::exception& failure) {
        reporter.showMessage(L"Update failed unexpectedly.\n" + utf8ToWide(failure.what()), MessageIcon::error);
    } catch (...) {
        reporter.showMessage(L"Update failed unexpectedly.", MessageIcon::error);
    }
}

}  // namespace kiv
