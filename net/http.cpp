#include "net/http.h"

#include "net/transport.h"

#include <algorithm>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace kiv {

namespace net {

bool parseContentLength(std::string_view text, std::uint64_t& length) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    if (text.empty()) return false;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        unsigned digit = static_cast<unsigned>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    length = value;
    return true;
}

bool readToMemory(Request& request, std::string& body, std::wstring& error, std::size_t limit) {
    body.clear();
    std::vector<char> buffer;
    for (;;) {
        std::size_t available = 0;
        if (!request.queryDataAvailable(available)) {
            error = L"Could not query response data.";
            return false;
        }
        if (available == 0) {
            // A connection that ended before the announced length is not the
            // whole body, even when the transport reports a clean end.
            std::uint64_t announced = 0;
            if (request.contentLength(announced) && announced != body.size()) {
                error = L"Could not read response data.";
                return false;
            }
            return true;
        }
        buffer.assign(std::min(available, kMaxChunk), 0);
        std::size_t read = 0;
        // A read that brings nothing although data was announced would
        // otherwise repeat for ever.
        if (!request.readData(buffer.data(), buffer.size(), read) || read == 0 || read > buffer.size() ||
            read > limit - body.size()) {
            error = L"Could not read response data.";
            return false;
        }
        body.append(buffer.data(), read);
    }
}

bool readToFile(std::unique_ptr<Request> request, const std::filesystem::path& file,
                const DownloadProgress& progress, std::wstring& error, const TransferOptions& options) {
    // A bare file name has no parent to create.
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());

    std::ofstream out(file, std::ios::binary | std::ios::out | std::ios::trunc);
    if (!out.is_open()) {
        error = L"Could not create download target.";
        return false;
    }

    std::uint64_t total = 0;
    if (!request->contentLength(total)) total = 0;
    std::uint64_t received = 0;
    auto tooLarge = [&] {
        request.reset();
        out.close();
        std::error_code ignored;
        std::filesystem::remove(file, ignored);
        error = kDownloadTooLarge;
        return false;
    };
    if (options.maxBytes != 0 && total > options.maxBytes) return tooLarge();
    if (options.observer != nullptr) options.observer->restart();

    // One buffer, grown to the largest chunk seen (and never past kMaxChunk),
    // so that a long transfer does not allocate once per chunk, and kept by
    // the thread for its next file.
    thread_local std::vector<char> spare;
    ReusedBuffer reused(spare);
    std::vector<char>& buffer = reused.bytes;
    for (;;) {
        std::size_t available = 0;
        if (!request->queryDataAvailable(available)) {
            error = L"Could not query download data.";
            return false;
        }
        if (available == 0) break;
        std::size_t size = std::min(available, kMaxChunk);
        if (buffer.size() < size) buffer.resize(size);
        std::size_t read = 0;
        if (!request->readData(buffer.data(), size, read) || read > size) {
            error = L"Could not read download data.";
            return false;
        }
        if (read == 0) {
            error = L"Download ended unexpectedly.";
            return false;
        }
        if (options.maxBytes != 0 && read > options.maxBytes - received) return tooLarge();
        out.write(buffer.data(), static_cast<std::streamsize>(read));
        if (!out) {
            error = L"Could not write downloaded data.";
            return false;
        }
        if (options.observer != nullptr) options.observer->data(buffer.data(), read);
        received += read;
        if (progress) progress(received, total);
    }

    request.reset();
    out.close();
    if (!out) {
        error = L"Could not finish writing download target.";
        return false;
    }

    if (total != 0 && received != total) {
        std::error_code ignored;
        std::filesystem::remove(file, ignored);
        error = L"Download was incomplete (" + std::to_wstring(received) + L"/" + std::to_wstring(total) +
                L" bytes).";
        return false;
    }
    return true;
}

}  // namespace net

bool httpGetToMemory(const std::wstring& url, std::string& body, std::wstring& error) {
    std::unique_ptr<net::Request> request;
    if (!net::openGetRequest(url, request, error)) return false;
    return net::readToMemory(*request, body, error);
}

bool httpGetToFile(const std::wstring& url, const std::filesystem::path& file, DownloadProgress progress,
                   std::wstring& error, const TransferOptions& options) {
    std::unique_ptr<net::Request> request;
    if (!net::openGetRequest(url, request, error)) return false;
    return net::readToFile(std::move(request), file, progress, error, options);
}

}  // namespace kiv
