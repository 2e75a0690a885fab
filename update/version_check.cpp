#include "update/update.h"

#include "net/http.h"

#include <limits>

namespace kiv {

namespace {

void showUpToDate(Reporter& reporter) {
    reporter.setClientReady(true);
    reporter.setStatusText(StatusRow::version, L"Version Check OK");
    reporter.setStatusText(StatusRow::download, L"Success");
    reporter.setProgress(StatusRow::version, 100);
    reporter.setProgress(StatusRow::download, 100);
}

// Whether the next version's list exists and names at least one file. Any
// failure to fetch it, or to hold it, means that there is no update; so does
// a web page in its place, and so does the highest version a signed 32-bit
// number holds, which has no successor. The probe is not retried: a missing
// next version is the normal answer.
bool nextVersionIsPublished(std::int32_t installed, const std::wstring& baseUrl, const UpdateOptions& options) {
    if (installed == std::numeric_limits<std::int32_t>::max()) return false;
    try {
        std::string body;
        std::wstring ignored;
        TransferOptions transfer;
        transfer.caFile = options.caFile;
        if (!httpGetToMemory(buildPatchUrl(installed + 1, L"dl_list.txt", baseUrl), body, ignored, transfer)) {
            return false;
        }
        const DownloadList list = parseDownloadList(body);
        return !list.empty() && !isWebPageList(list);
    } catch (...) {
        return false;
    }
}

}  // namespace

void runVersionCheck(const std::filesystem::path& installation, const std::wstring& baseUrl, Reporter& reporter,
                     const UpdateOptions& options) {
    // The check runs on a detached thread, where an escaping exception would
    // end the whole program: whatever goes wrong counts as a failed probe.
    try {
        const std::int32_t installed = readInstalledVersion(installation);
        if (installed <= 0) {
            reporter.setStatusText(StatusRow::version, L"Version check failed");
            reporter.setStatusText(StatusRow::download, L"Press Update");
            return;
        }
        reporter.setStatusText(StatusRow::version, L"Checking version");
        reporter.setStatusText(StatusRow::download, L"Please wait");
        reporter.setTitle(formatWindowTitle(installed));

        if (nextVersionIsPublished(installed, baseUrl, options)) {
            reporter.setClientReady(false);
            reporter.setStatusText(StatusRow::version, L"Update available");
            reporter.setStatusText(StatusRow::download, L"Press Update");
            reporter.setProgress(StatusRow::version, 0);
            reporter.setProgress(StatusRow::download, 0);
        } else {
            showUpToDate(reporter);
        }
    } catch (...) {
        try {
            showUpToDate(reporter);
        } catch (...) {
        }
    }
}

}  // namespace kiv
