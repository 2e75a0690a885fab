#include "update/version_fetch.h"

#include "net/http.h"

#include <limits>
#include <utility>

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

namespace {

// One file of a release, into memory: only a server that says it is not
// there (404) makes it missing; a busy or broken server must not pass for
// one without it.
Fetched fetchReleaseFile(const std::wstring& url, const TransferOptions& transfer, std::string& body,
                         std::wstring& error) {
    TransferFailure failure;
    if (httpGetToMemory(url, body, error, transfer, &failure)) return Fetched::whole;
    return failure.status == 404 ? Fetched::missing : Fetched::failed;
}

}  // namespace

VersionFetch::VersionFetch(std::shared_ptr<HttpSession> session, const std::wstring& baseUrl, std::int32_t installed,
                           const UpdateOptions& options, bool retryRelease)
    : session_(std::move(session)) {
    TransferOptions transfer;
    transfer.caFile = options.caFile;
    transfer.retryDelays = options.retryDelays;
    transfer.retryInMemory = retryRelease;
    transfer.session = session_.get();
    transfer.cancel = &unwanted_;
    // The threads get copies: a check's fetch outlives the call that made it.
    auto fetch = [&](const wchar_t* name, std::uint64_t limit, std::string& body, std::wstring& error) {
        transfer.maxBytes = limit;
        return std::async(std::launch::async, [url = buildPatchUrl(installed + 1, name, baseUrl), transfer, &body,
                                               &error] { return fetchReleaseFile(url, transfer, body, error); });
    };
    try {
        if (installed < std::numeric_limits<std::int32_t>::max()) {
            release_ = fetch(L"release.txt", kMaxReleaseBytes, files_.releaseText, files_.releaseError);
            if (!options.releasePublicKey.empty()) {
                signature_ = fetch(L"release.sig", kMaxSignatureBytes, files_.signatureText, files_.signatureError);
            }
        }
        files_.answer = probeNextVersion(installed, baseUrl, options, files_.list, session_.get());
    } catch (...) {
        unwanted_ = true;
        throw;
    }
    if (files_.answer != NextVersion::published) unwanted_ = true;
}

VersionFetch::~VersionFetch() { unwanted_ = true; }

VersionFiles VersionFetch::finish() {
    if (files_.answer == NextVersion::published) {
        if (release_.valid()) files_.release = release_.get();
        if (signature_.valid()) files_.signature = signature_.get();
    }
    return std::move(files_);
}

ServerVisit::ServerVisit(std::chrono::milliseconds freshFor) : freshFor_(freshFor) {}
ServerVisit::~ServerVisit() = default;

void ServerVisit::leave(std::unique_ptr<Left> left) {
    std::unique_ptr<Left> old;
    std::lock_guard<std::mutex> lock(mutex_);
    old = std::exchange(left_, std::move(left));
}

std::unique_ptr<ServerVisit::Left> ServerVisit::take(const std::wstring& baseUrl, std::int32_t installed, bool keyed) {
    std::unique_ptr<Left> left;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        left = std::move(left_);
    }
    // A stale or foreign fetch is cancelled as it goes, outside the lock.
    if (left && (std::chrono::steady_clock::now() - left->at >= freshFor_ || left->baseUrl != baseUrl ||
                 left->installed != installed || (keyed && !left->fetch->signatureAsked()))) {
        left.reset();
    }
    return left;
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

        // The release's files are asked for with the list, for the run that
        // may follow; the answer shown is the list's alone, and does not
        // wait for them.
        const auto at = std::chrono::steady_clock::now();
        auto session = std::make_shared<HttpSession>();
        auto fetch = std::make_unique<VersionFetch>(session, baseUrl, installed, options, false);
        const NextVersion answer = fetch->answer();
        if (answer == NextVersion::published) {
            reporter.setClientReady(false);
            reporter.setStatusText(StatusRow::version, L"Update available");
            reporter.setStatusText(StatusRow::download, L"Press Update");
            reporter.setProgress(StatusRow::version, 0);
            reporter.setProgress(StatusRow::download, 0);
            if (options.visit) {
                options.visit->leave(std::make_unique<ServerVisit::Left>(
                    ServerVisit::Left{std::move(session), std::move(fetch), baseUrl, installed, at}));
            }
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
