// HTTP transfers: plain GET requests into memory and into files, with a
// progress report. Every call opens its own session, connection and request
// and closes them before it returns; nothing is kept between calls. Calls
// block, and are meant for worker threads.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace kiv {

// Called after each chunk of a file transfer has been written, with the bytes
// received so far and the total the server announced (0 when it announced
// none). An empty callable is never called.
using DownloadProgress = std::function<void(std::uint64_t received, std::uint64_t total)>;

// GET `url` (absolute, http or https) and keep the whole response body,
// byte for byte, in `body`. On failure `error` holds the reason.
bool httpGetToMemory(const std::wstring& url, std::string& body, std::wstring& error);

// GET `url` into `file`, creating its missing parent directories. The body is
// streamed to disk one chunk at a time. A body shorter or longer than the
// announced length fails and deletes the file; other failures after the file
// was opened leave what was written. A failure to create the directories is
// raised as std::filesystem::filesystem_error.
bool httpGetToFile(const std::wstring& url, const std::filesystem::path& file, DownloadProgress progress,
                   std::wstring& error);

}  // namespace kiv
