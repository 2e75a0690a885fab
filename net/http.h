// HTTP transfers: plain GET requests into memory and into files, with a
// progress report, and a set of files downloaded a few at a time. The calls
// of one run share an HttpSession, which keeps the connections to the patch
// server alive between them; a call without one opens a session for itself
// and closes it before it returns. Calls block, and are meant for worker
// threads. Proxies are those the user configured for the system.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kiv {

namespace net {
class TransportSession;
}

// The connections of one run (the version check, or the update run): kept
// alive and reused for all its requests to the same server, TLS sessions
// resumed, and shared by transfers running on several threads at once. A
// connection the server closed meanwhile is opened again without a failure.
class HttpSession {
public:
    HttpSession();
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;
    const std::shared_ptr<net::TransportSession>& transport() const { return transport_; }

private:
    std::shared_ptr<net::TransportSession> transport_;
};

// Sends every later session's requests through this proxy ("http://host:port"
// or "host:port") instead of the one the system names; empty goes back to the
// system's. For the operator's --proxy.
void setHttpProxy(const std::wstring& proxy);

// Called after each chunk of a file transfer has been written, with the bytes
// received so far and the total the server announced (0 when it announced
// none). An empty callable is never called.
using DownloadProgress = std::function<void(std::uint64_t received, std::uint64_t total)>;

// Sees the bytes of a file transfer as they are written, so that the caller
// can check them without reading the file again.
class DownloadObserver {
public:
    virtual ~DownloadObserver() = default;
    // Before the first byte of a transfer that (re)starts the file from zero.
    virtual void restart() = 0;
    // Each piece, in order, once it has been written.
    virtual void data(const void* bytes, std::size_t size) = 0;
};

// Called by a file transfer that retries: with k (1..kMaxRetries) when it
// starts waiting before its k-th retry, and with 0 when the wait is over and
// the new request goes out.
using RetryNotice = std::function<void(int retry)>;

// A file transfer that fails for a reason that may pass is tried again this
// many times.
inline constexpr int kMaxRetries = 3;

// Per-call settings. The defaults are what the launcher uses.
struct TransferOptions {
    // The most bytes the file may have, counting what an earlier attempt left
    // in it; 0 means no limit. A longer body (or a longer announced length)
    // fails the transfer with kDownloadTooLarge, for good, and deletes the file.
    // A memory transfer keeps at most this many bytes (and never more than
    // 64 MiB, the limit when this is 0).
    std::uint64_t maxBytes = 0;
    // Sees every byte of the file: restart() each time the file starts over
    // from zero, data() for each piece written, appended pieces of a resumed
    // attempt included, so that it always sees the file as it stands on disk.
    DownloadObserver* observer = nullptr;
    // PEM file of the certificate authorities that https servers are checked
    // against, instead of the system's store (libcurl transport; on Windows
    // the system's store always decides).
    std::filesystem::path caFile{};
    // A transfer that receives fewer than stallBytes body bytes in any window
    // of this length fails with "Download stalled.". Shortened by tests.
    std::chrono::milliseconds stallWindow{std::chrono::seconds(60)};
    std::uint64_t stallBytes = 1024;
    // The waits before the first, second and third retry of a file transfer.
    std::array<std::chrono::milliseconds, kMaxRetries> retryDelays{std::chrono::seconds(1), std::chrono::seconds(2),
                                                                   std::chrono::seconds(4)};
    RetryNotice retryNotice{};
    // Whether a memory transfer retries as a file transfer does. A probe,
    // whose failure is itself an answer, does not; a file that must be had
    // (a release manifest) does.
    bool retryInMemory = false;
    // The run's connections; null: a session for this call alone.
    HttpSession* session = nullptr;
    // Set by another thread to end the transfer (and its retry waits) soon,
    // failing with kDownloadCancelled; may be null.
    const std::atomic<bool>* cancel = nullptr;
    // A file transfer flushes the file once it is whole, before it succeeds,
    // for a caller that puts the file in place by a rename alone: the flush
    // then costs its download thread, not the installation.
    bool flushComplete = false;
};

// How a transfer failed, for a caller that must tell a file the server does
// not have from a server that could not answer.
struct TransferFailure {
    // The final HTTP status when one arrived (400 or above, or a redirect
    // that was not followed); 0 when none did.
    int status = 0;
    // Trying again later may help: no connection, a time-out, a stall, a 5xx.
    bool transient = false;
};

inline constexpr const wchar_t* kDownloadTooLarge = L"Download is larger than expected.";
inline constexpr const wchar_t* kDownloadCancelled = L"Download cancelled.";
inline constexpr const wchar_t* kProxyRefused = L"The proxy server refused the connection.";

// GET `url` (absolute, http or https) and keep the whole response body,
// byte for byte, in `body`, which never holds more than the cap
// (options.maxBytes). On failure `error` holds the reason and `failure`, when
// given, its kind. Retried only when options.retryInMemory is set.
bool httpGetToMemory(const std::wstring& url, std::string& body, std::wstring& error,
                     const TransferOptions& options = {}, TransferFailure* failure = nullptr);

// GET `url` into `file`, creating its missing parent directories. The body is
// streamed to disk one chunk at a time. A failure that may pass (no
// connection, a time-out or stall, a body cut short, a 5xx status) is retried
// up to kMaxRetries times; a retry resumes the file with a ranged request when
// the server can prove that it is the same file, and starts it over
// otherwise. A body shorter or longer than the announced length fails and
// deletes the file; other failures after the file was opened leave what was
// written. A failure to create the directories is raised as
// std::filesystem::filesystem_error.
bool httpGetToFile(const std::wstring& url, const std::filesystem::path& file, DownloadProgress progress,
                   std::wstring& error, const TransferOptions& options = {});

// ---- A set of files at once ------------------------------------------------

// How many files of a set download at once, each over its own kept-alive
// connection. Measured with 300 files of 4-40 KB (6.6 MB) over a simulated
// 60 ms / 50 Mbit/s link, whose limit is 1.1 s: 6 at once took 4.4 s, 8 took
// 3.0 s, 12 took 2.3 s and 16 took 1.9 s; at 150 ms / 10 Mbit/s (limit 5.3 s)
// 6 took 9.6 s and 16 took 5.7 s. Small files are bound by round trips, so
// only this many in flight keep the link busy. Over https at 60 ms / 50
// Mbit/s, 16 took 1.5 s where curl took 1.6 s with 16 HTTP/1.1 connections,
// 1.6 s with 16 HTTP/2 streams and 1.3 s with 100: HTTP/2 gains nothing at
// the same number in flight, so the transports stay on HTTP/1.1.
inline constexpr std::size_t kParallelDownloads = 16;

// One file of a set: as for httpGetToFile, with its own cap and observer.
struct FileDownload {
    std::wstring url;
    std::filesystem::path file;
    std::uint64_t maxBytes = 0;  // 0: no limit
    DownloadObserver* observer = nullptr;
};

// What a set reports while it runs. The callables are called one at a time
// (never two at once), from the threads that download; empty ones are never
// called.
struct SetProgress {
    // After each chunk of file `index`: its bytes received so far (a retry
    // that starts the file over goes back to 0) and the total its server
    // announced (0 when none).
    std::function<void(std::size_t index, std::uint64_t received, std::uint64_t total)> received;
    // When file `index` is complete and whole.
    std::function<void(std::size_t index)> finished;
    // A retry of file `index` starts waiting (k = 1..kMaxRetries) or is under
    // way (0), as RetryNotice.
    std::function<void(std::size_t index, int retry)> retry;
};

// Downloads every file of `files`, at most `parallel` (at least 1) at once,
// each with httpGetToFile's retries, resume, stall limit, size cap and
// observer, all through `session`. The options' own maxBytes, observer and
// retryNotice are not used; its cancel, when set, ends the whole set. The
// first file that fails for good cancels the others and ends the call: false,
// `failed` its index and `error` its message; files already complete are left
// on disk, as are the parts of cancelled ones. True when every file is
// complete.
bool httpGetFiles(HttpSession& session, const std::vector<FileDownload>& files, const SetProgress& progress,
                  std::size_t& failed, std::wstring& error, const TransferOptions& options = {},
                  std::size_t parallel = kParallelDownloads);

// As above for `count` files, each described by `file(index)` only when its
// download starts (called one at a time with the progress callables), so
// that a set of any size holds no more than its files under way need. An
// exception from `file` ends the set as one from a progress callable does.
bool httpGetFiles(HttpSession& session, std::size_t count, const std::function<FileDownload(std::size_t)>& file,
                  const SetProgress& progress, std::size_t& failed, std::wstring& error,
                  const TransferOptions& options = {}, std::size_t parallel = kParallelDownloads);

// GET bytes `first` to `first + length - 1` of `url` into `file` with one
// range request, not retried: the server must answer with exactly that range
// (206 and its Content-Range); any other answer fails. For pieces of a large
// file that the caller checks against a known digest (options.observer).
bool httpGetRangeToFile(const std::wstring& url, std::uint64_t first, std::uint64_t length,
                        const std::filesystem::path& file, std::wstring& error, const TransferOptions& options = {});

}  // namespace kiv
