// The fetch of one version's list and release files, shared by the version
// check and the update run. Internal to update/.
#pragma once

#include "update/update.h"

#include <atomic>
#include <future>
#include <memory>
#include <string>

namespace kiv {

enum class Fetched { whole, missing, failed };

// What the server gave for the version after the installed one.
struct VersionFiles {
    NextVersion answer = NextVersion::none;
    std::string list;
    Fetched release = Fetched::missing;
    std::string releaseText;
    std::wstring releaseError;
    Fetched signature = Fetched::missing;  // asked for only under a key
    std::string signatureText;
    std::wstring signatureError;
};

// Asks for the list of the version after `installed`, its release.txt and,
// under a key, its release.sig at once: none depends on another's answer,
// and over a player's link each round trip saved is one less wait. The
// constructor returns once the list has answered; the release files go on
// arriving on threads of their own until finish() waits for them. When the
// list says that the version is not published they are cancelled, so that a
// busy server is not retried for a version that does not exist. Destroying
// the fetch cancels what is still under way and waits for it.
class VersionFetch {
public:
    // `retryRelease`: whether the release files are retried as downloads
    // are; a check, whose answer is the list's, leaves a failure to the run.
    VersionFetch(std::shared_ptr<HttpSession> session, const std::wstring& baseUrl, std::int32_t installed,
                 const UpdateOptions& options, bool retryRelease);
    ~VersionFetch();
    VersionFetch(const VersionFetch&) = delete;
    VersionFetch& operator=(const VersionFetch&) = delete;

    NextVersion answer() const { return files_.answer; }
    bool signatureAsked() const { return signature_.valid(); }
    // The list and, for a published version, the release files once they
    // are in. Called once.
    VersionFiles finish();

private:
    std::shared_ptr<HttpSession> session_;
    std::atomic<bool> unwanted_{false};
    VersionFiles files_;
    // Last, so that they are waited for before what they write into goes.
    std::future<Fetched> release_, signature_;
};

// What a version check leaves in a ServerVisit: its connections and, for a
// published next version, the fetch of its files.
struct ServerVisit::Left {
    std::shared_ptr<HttpSession> session;
    std::unique_ptr<VersionFetch> fetch;
    std::wstring baseUrl;
    std::int32_t installed = 0;
    std::chrono::steady_clock::time_point at;
};

}  // namespace kiv
