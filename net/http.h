// HTTP transfers: plain GET requests into memory and into files, with a
// progress report. Every call opens its own session, connection and request
// and closes them before it returns; nothing is kept between calls. Calls
// block, and are meant for worker threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace kiv {

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

// How one file transfer is carried out beyond the defaults.
struct TransferOptions {
    // The most bytes the body may have; 0 means no limit. A longer body (or a
    // longer announced length) fails the transfer with kDownloadTooLarge and
    // deletes the file.
    std::uint64_t maxBytes = 0;
    DownloadObserver* observer = nullptr;
};

inline constexpr const wchar_t* kDownloadTooLarge = L"Download is larger than expected.";

// GET `url` (absolute, http or https) and keep the whole response body,
// byte for byte, in `body`. On failure `error` holds the reason.
bool httpGetToMemory(const std::wstring& url, std::string& body, std::wstring& error);

// GET `url` into `file`, creating its missing parent directories. The body is
// streamed to disk one chunk at a time. A body shorter or longer than the
// announced length fails and deletes the file; other failures after the file
// was opened leave what was written. A failure to create the directories is
// raised as std::filesystem::filesystem_error.
bool httpGetToFile(const std::wstring& url, const std::filesystem::path& file, DownloadProgress progress,
                   std::wstring& error, const TransferOptions& options = {});

}  // namespace kiv
