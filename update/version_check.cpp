#include "update/update.h"

#include "net/http.h"

#include <limits>

namespace kiv {

NextVersion probeNextVersion(std::int32_t installed, const std::wstring& baseUrl, const UpdateOptions& options,
                             std::string& list, HttpSession* session, const std::atomic<bool>* cancel) {
    list.clear();
    if (installed == std::numeric_limits<std::int32_t>::max()) return NextVersion::none;
    // Not retried: a missing next version is the normal answer.
    TransferOptions transfer;
    transfer.caFile = options.caFile;
    transfer.maxBytes = kMaxListBytes;
    transfer.session = session;
    transfer.cancel = cancel;
    TransferFailure failure;
    std::wstring ignored;
    if (!httpGetToMemory(buildPatchUrl(installed + 1, L"dl_list.txt", baseUrl), list, ignored, transfer, &failure)) {
        // Only a server that says that the list is not there says that there
        // is no newer version; anything else (no connection, a refused
        // certificate, a busy server, a list too large) says nothing.
        return failure.status == 404 || failure.status == 410 ? NextVersion::none : NextVersion::unreachable;
    }
    // The body is judged as it came, so that the check holds no more than the
    // list's own bytes whatever it holds.
    if (!listNamesAFile(list) || isWebPageList(list)) {
        std::string().swap(list);
        return NextVersion::none;
    }
    return NextVersion::published;
}

void showClientReady(Reporter& reporter, NextVersion answer) {
    const bool answered = answer != NextVersion::unreachable;
    reporter.setClientReady(true);
    reporter.setStatusText(StatusRow::version, answered ? L"Version Check OK" : L"Server not reachable");
    reporter.setStatusText(StatusRow::download, answered ? L"Success" : L"You can still play");
    reporter.setProgress(StatusRow::version, 100);
    reporter.setProgress(StatusRow::download, 100);
}

void runVersionCheck(const std::filesystem::path& installation, const std::wstring& baseUrl, Reporter& reporter,
                     const UpdateOptions& options) {
    // The check runs on a detached thread, where an escaping exception would
    // end the whole program: whatever goes wrong counts as no answer.
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

        std::string list;
        HttpSession session;
        const NextVersion answer = probeNextVersion(installed, baseUrl, options, list, &session);
        if (answer == NextVersion::published) {
            reporter.setClientReady(false);
            reporter.setStatusText(StatusRow::version, L"Update available");
            reporter.setStatusText(StatusRow::download, L"Press Update");
            reporter.setProgress(StatusRow::version, 0);
            reporter.setProgress(StatusRow::download, 0);
        } else {
            showClientReady(reporter, answer);
        }
    } catch (...) {
        try {
            showClientReady(reporter, NextVersion::unreachable);
        } catch (...) {
        }
    }
}

}  // namespace kiv
