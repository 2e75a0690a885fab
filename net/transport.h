// The narrow interface between the transfers (http.cpp) and the platform's
// HTTP client (winhttp_transport.cpp on Windows, curl_transport.cpp
// elsewhere). Internal to net/ and its tests.
#pragma once

#include "net/http.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kiv::net {

// Watches a transfer for a stall: fewer than `bytes` body bytes in any window
// of length `window`, counted from the moment the request went out. Only the
// arrivals that make up the most recent `bytes` bytes are kept, so memory
// stays bounded whatever the rate.
class StallWatch {
public:
    using Clock = std::chrono::steady_clock;

    StallWatch(std::chrono::milliseconds window, std::uint64_t bytes, Clock::time_point start = Clock::now())
        : window_(window), bytes_(bytes), start_(start) {}

    void add(std::uint64_t count, Clock::time_point now = Clock::now());
    bool stalled(Clock::time_point now = Clock::now()) const;
    std::chrono::milliseconds window() const { return window_; }

private:
    std::chrono::milliseconds window_;
    std::uint64_t bytes_;
    Clock::time_point start_;
    std::deque<std::pair<Clock::time_point, std::uint64_t>> arrivals_;
    std::uint64_t held_ = 0;  // the sum of arrivals_
};

// What a run keeps between its requests: the platform's session with its
// kept-alive connections, and the proxy it found for the user. Safe to share
// between threads. Implemented once per platform.
class TransportSession;
std::shared_ptr<TransportSession> openTransportSession();

// The proxy set with setHttpProxy, empty when the system's applies.
std::wstring proxyOverride();

// What one GET request asks for.
struct RequestSettings {
    std::wstring url;
    // Certificate authorities for https instead of the system's store, when
    // not empty (libcurl transport only).
    std::filesystem::path caFile;
    // Extra request header lines ("Name: value").
    std::vector<std::string> headers;
    // Consulted while the transport waits for data; may be null.
    const StallWatch* stall = nullptr;
    // The run's session; null opens one for this request alone.
    std::shared_ptr<TransportSession> session;
    // Set by another thread to end the request at its next wait; may be null.
    const std::atomic<bool>* cancel = nullptr;
};

// How a request that could not be opened failed.
struct OpenFailure {
    // The same request may succeed later: no connection, a time-out, a stall,
    // a 5xx status. Certificate checks, refused redirects, invalid URLs and
    // 4xx statuses are final.
    bool transient = false;
    // The final status when one arrived, else 0.
    int status = 0;
};

// One GET request whose final response headers have arrived and whose status
// is below 400. It owns the session, the connection and the request, and
// closes them in that order (request first) when destroyed.
class Request {
public:
    virtual ~Request() = default;

    // The final response's status.
    virtual int status() = 0;
    // The value of the final response's header `name` (any case), without
    // surrounding blanks; empty when it has none.
    virtual std::string header(std::string_view name) = 0;
    // The announced Content-Length; false when the header is missing or not a
    // number.
    virtual bool contentLength(std::uint64_t& length) = 0;
    // Waits until body bytes are available or the body has ended (0).
    virtual bool queryDataAvailable(std::size_t& available) = 0;
    // Reads up to `size` bytes of what queryDataAvailable reported.
    virtual bool readData(char* buffer, std::size_t size, std::size_t& read) = 0;
};

// Memory for a transfer's body chunks that the calling thread keeps between
// its transfers. A run of many files then reuses the same pages instead of
// allocating, faulting in and releasing buffers of a few hundred kilobytes
// for every file. Only memory is kept: no session, connection or data.
class ReusedBuffer {
public:
    explicit ReusedBuffer(std::vector<char>& spare) : spare_(spare) { bytes.swap(spare_); }
    ~ReusedBuffer() { spare_.swap(bytes); }
    ReusedBuffer(const ReusedBuffer&) = delete;
    ReusedBuffer& operator=(const ReusedBuffer&) = delete;

    // As the previous transfer on this thread left it (empty the first time).
    std::vector<char> bytes;

private:
    std::vector<char>& spare_;
};

// Splits the URL, connects (or reuses a kept-alive connection of the
// session), sends a GET request and waits for the final response, the stall
// watch covering the wait for its headers. Fails with "Invalid URL.",
// "WinHttpOpen failed.", "WinHttpConnect failed.", "WinHttpOpenRequest
// failed.", "HTTP request failed.", kProxyRefused, "Download stalled.",
// kDownloadCancelled or "HTTP status N." (N of 400 or more, or a redirect that
// was not followed). Implemented once per platform.
bool openGetRequest(const RequestSettings& settings, std::unique_ptr<Request>& request, std::wstring& error,
                    OpenFailure* failure = nullptr);

// The request target that both transports send for a URL's path and query:
// UTF-8, with blanks, control characters, non-ASCII bytes, the characters
// that may not appear raw in a request line, '#' (part of a file's name, never
// a fragment) and a '%' that does not start an escape percent-encoded; an
// existing escape and everything else go as they are. Always starts with '/'.
std::string encodeRequestTarget(std::wstring_view pathAndQuery);

// Whether a final status is a redirect that the transport did not follow
// (one that would leave https for http): never the file that was asked for.
inline bool isUnfollowedRedirect(int status, bool hasLocation) {
    return status >= 300 && status < 400 && status != 304 && hasLocation;
}

// The URL rules every transport applies: scheme http or https, a host of 1 to
// 255 characters and a path (with its query) of at most 2047.
inline constexpr std::size_t kMaxHostLength = 255;
inline constexpr std::size_t kMaxPathLength = 2047;

// A list or any other body kept in memory may not exceed this: a server that
// never stops sending must not exhaust the address space of a 32-bit program.
inline constexpr std::size_t kMaxMemoryBody = 64u << 20;
// The largest buffer a transfer allocates, whatever the transport reports as
// available; a larger chunk is read in several reads.
inline constexpr std::size_t kMaxChunk = 1u << 20;

// The body loops of the two transfers, over an opened request. The memory
// transfer fails ("Could not read response data.") when the body it got is not
// the length the server announced, and with kDownloadTooLarge when the body
// (or its announced length) exceeds `limit`. The file transfer closes the request
// before closing the file.
bool readToMemory(Request& request, std::string& body, std::wstring& error, std::size_t limit = kMaxMemoryBody,
                  StallWatch* stall = nullptr);

// One attempt of a file transfer, as the retries see it.
struct FileAttempt {
    // The bytes already in the file from an earlier attempt, which this
    // response continues; 0 starts the file over.
    std::uint64_t offset = 0;
    // A body cut short leaves the file for a resumed attempt instead of
    // deleting it.
    bool keepShortFile = false;
    StallWatch* stall = nullptr;
    // Set on failure: whether trying again may help.
    bool transient = false;
};
bool readToFile(std::unique_ptr<Request> request, const std::filesystem::path& file, const DownloadProgress& progress,
                std::wstring& error, const TransferOptions& options = {}, FileAttempt* attempt = nullptr);

// Parses a Content-Length value: optional surrounding blanks, then decimal
// digits only, without overflow.
bool parseContentLength(std::string_view text, std::uint64_t& length);

}  // namespace kiv::net
