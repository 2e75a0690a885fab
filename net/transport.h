// The narrow interface between the transfers (http.cpp) and the platform's
// HTTP client (winhttp_transport.cpp on Windows, curl_transport.cpp
// elsewhere). Internal to net/ and its tests.
#pragma once

#include "net/http.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kiv::net {

// One GET request whose final response headers have arrived and whose status
// is below 400. It owns the session, the connection and the request, and
// closes them in that order (request first) when destroyed.
class Request {
public:
    virtual ~Request() = default;

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

// Splits the URL, opens a session, connects, sends a GET request and waits
// for the final response. Fails with "Invalid URL.", "WinHttpOpen failed.",
// "WinHttpConnect failed.", "WinHttpOpenRequest failed.", "HTTP request
// failed." or "HTTP status N." (N of 400 or more). Implemented once per
// platform.
bool openGetRequest(const std::wstring& url, std::unique_ptr<Request>& request, std::wstring& error);

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
// the length the server announced. The file transfer closes the request
// before closing the file.
bool readToMemory(Request& request, std::string& body, std::wstring& error,
                  std::size_t limit = kMaxMemoryBody);
bool readToFile(std::unique_ptr<Request> request, const std::filesystem::path& file,
                const DownloadProgress& progress, std::wstring& error, const TransferOptions& options = {});

// Parses a Content-Length value: optional surrounding blanks, then decimal
// digits only, without overflow.
bool parseContentLength(std::string_view text, std::uint64_t& length);

}  // namespace kiv::net
