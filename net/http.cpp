#include "net/http.h"

#include "net/transport.h"

#include "base/base.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace kiv {

namespace net {

namespace {
std::mutex proxyMutex;
std::wstring chosenProxy;
}  // namespace

std::wstring proxyOverride() {
    std::lock_guard<std::mutex> lock(proxyMutex);
    return chosenProxy;
}

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

void StallWatch::add(std::uint64_t count, Clock::time_point now) {
    if (count == 0) return;
    arrivals_.emplace_back(now, count);
    held_ += count;
    // Arrivals older than the most recent `bytes_` bytes can no longer decide.
    while (!arrivals_.empty() && held_ - arrivals_.front().second >= bytes_) {
        held_ -= arrivals_.front().second;
        arrivals_.pop_front();
    }
}

bool StallWatch::stalled(Clock::time_point now) const {
    // The window that ends now holds fewer than `bytes_` bytes exactly when
    // it began after the first of the arrivals that make up the last
    // `bytes_` bytes (or after the start, while fewer have come).
    Clock::time_point since = held_ >= bytes_ ? arrivals_.front().first : start_;
    return now - since >= window_;
}

std::string encodeRequestTarget(std::wstring_view pathAndQuery) {
    static const char kHex[] = "0123456789ABCDEF";
    auto isHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); };
    std::string bytes = wideToUtf8(pathAndQuery);
    std::string out;
    out.reserve(bytes.size() + 1);
    if (bytes.empty() || bytes[0] != '/') out += '/';
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        bool escape = c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' || c == '`' ||
                      c == '{' || c == '|' || c == '}' || c == '#';
        if (c == '%') escape = i + 2 >= bytes.size() || !isHex(bytes[i + 1]) || !isHex(bytes[i + 2]);
        if (escape) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool readToMemory(Request& request, std::string& body, std::wstring& error, std::size_t limit, StallWatch* stall) {
    body.clear();
    std::uint64_t announcedLength = 0;
    if (request.contentLength(announcedLength) && announcedLength > limit) {
        error = kDownloadTooLarge;
        return false;
    }
    // An announced body is held in exactly its room, not in a doubled one;
    // a shorter body then fails below, so the room is never wasted for long.
    if (announcedLength > 0) body.reserve(static_cast<std::size_t>(announcedLength));
    std::vector<char> buffer;
    for (;;) {
        std::size_t available = 0;
        if (!request.queryDataAvailable(available)) {
            error = stall && stall->stalled() ? L"Download stalled." : L"Could not query response data.";
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
        if (!request.readData(buffer.data(), buffer.size(), read) || read == 0 || read > buffer.size()) {
            error = L"Could not read response data.";
            return false;
        }
        if (read > limit - body.size()) {
            error = kDownloadTooLarge;
            return false;
        }
        // The body grows as strings do, by doubling, but never past the
        // limit: the memory a transfer takes is bounded by the limit itself.
        if (body.capacity() - body.size() < read) {
            body.reserve(std::min(limit, std::max(body.size() + read, body.capacity() * 2)));
        }
        body.append(buffer.data(), read);
        if (stall) {
            stall->add(read);
            if (stall->stalled()) {
                error = L"Download stalled.";
                return false;
            }
        }
    }
}

bool readToFile(std::unique_ptr<Request> request, const std::filesystem::path& file, const DownloadProgress& progress,
                std::wstring& error, const TransferOptions& options, FileAttempt* attempt) {
    FileAttempt single;
    FileAttempt& state = attempt ? *attempt : single;
    state.transient = false;
    const std::uint64_t offset = state.offset;

    // A bare file name has no parent to create.
    if (file.has_parent_path()) createDirectories(file.parent_path());

    // The one place where a file is started over from zero (or continued
    // after the bytes an earlier attempt left).
    File out;
    if (!(offset > 0 ? out.open(file, File::Mode::readWrite) && out.truncate(offset)
                     : out.open(file, File::Mode::create))) {
        error = L"Could not create download target.";
        return false;
    }

    std::uint64_t total = 0;
    if (!request->contentLength(total)) total = 0;
    // A continued body announces only what is left.
    if (total != 0) total += offset;
    std::uint64_t received = offset;
    // The cap counts the whole file, the bytes an earlier attempt left
    // included. Too large is final: a retry would bring the same bytes.
    auto tooLarge = [&] {
        request.reset();
        out.close();
        removeAll(file);
        state.transient = false;
        error = kDownloadTooLarge;
        return false;
    };
    if (options.maxBytes != 0 && (offset > options.maxBytes || total > options.maxBytes)) return tooLarge();
    // The observer follows the file: it starts over exactly when the file does.
    if (options.observer != nullptr && offset == 0) options.observer->restart();

    // One buffer, grown to the largest chunk seen (and never past kMaxChunk),
    // so that a long transfer does not allocate once per chunk, and kept by
    // the thread for its next file.
    thread_local std::vector<char> spare;
    ReusedBuffer reused(spare);
    std::vector<char>& buffer = reused.bytes;
    for (;;) {
        if (options.cancel && options.cancel->load()) {
            error = kDownloadCancelled;
            return false;
        }
        std::size_t available = 0;
        if (!request->queryDataAvailable(available)) {
            if (options.cancel && options.cancel->load()) {
                error = kDownloadCancelled;
                return false;
            }
            state.transient = true;
            error = state.stall && state.stall->stalled() ? L"Download stalled." : L"Could not query download data.";
            return false;
        }
        if (available == 0) break;
        std::size_t size = std::min(available, kMaxChunk);
        if (buffer.size() < size) buffer.resize(size);
        std::size_t read = 0;
        if (!request->readData(buffer.data(), size, read) || read > size) {
            state.transient = true;
            error = L"Could not read download data.";
            return false;
        }
        if (read == 0) {
            state.transient = true;
            error = L"Download ended unexpectedly.";
            return false;
        }
        if (options.maxBytes != 0 && read > options.maxBytes - received) return tooLarge();
        // The one place where body bytes reach the file.
        if (!out.writeAt(received, buffer.data(), read)) {
            error = L"Could not write downloaded data.";
            return false;
        }
        if (options.observer != nullptr) options.observer->data(buffer.data(), read);
        received += read;
        if (progress) progress(received, total);
        if (state.stall) {
            state.stall->add(read);
            if (state.stall->stalled()) {
                state.transient = true;
                error = L"Download stalled.";
                return false;
            }
        }
    }

    request.reset();
    if (options.flushComplete && (total == 0 || received == total) && !out.flush()) {
        error = L"Could not write downloaded data.";
        return false;
    }
    out.close();

    // The announced total decides whether the body came whole, so that a
    // body cut short is tried again; a caller that knows the file's size and
    // digest (a release manifest) checks those once the transfer is done.
    if (total != 0 && received != total) {
        // Too little may come whole on a retry; too much will not.
        state.transient = received < total;
        if (!(state.transient && state.keepShortFile)) removeAll(file);
        error = L"Download was incomplete (" + std::to_wstring(received) + L"/" + std::to_wstring(total) + L" bytes).";
        return false;
    }
    return true;
}

namespace {

// What the answer that began a file said about it, so that a retry can ask
// for the rest of the same file.
struct ResumePoint {
    std::string validator;  // a strong ETag, else Last-Modified; empty: cannot resume
};

std::string validatorOf(Request& request) {
    std::string etag = request.header("ETag");
    // A weak tag may not be used to join byte ranges.
    if (!etag.empty() && !etag.starts_with("W/")) return etag;
    return request.header("Last-Modified");
}

// The first byte of a "bytes FIRST-LAST/TOTAL" Content-Range.
bool rangeStart(std::string_view value, std::uint64_t& first) {
    if (!value.starts_with("bytes ")) return false;
    value.remove_prefix(6);
    std::size_t dash = value.find('-');
    return dash != std::string_view::npos && parseContentLength(value.substr(0, dash), first);
}

std::uint64_t sizeOnDisk(const std::filesystem::path& file) {
    std::error_code ec;
    std::uint64_t size = std::filesystem::file_size(file, ec);
    return ec ? 0 : size;
}

std::shared_ptr<TransportSession> transportOf(const TransferOptions& options) {
    return options.session ? options.session->transport() : nullptr;
}

// One request for the file: from zero, or for the rest of it when an earlier
// attempt left part of it and the server can show that it is the same file.
bool attemptFile(const std::wstring& url, const std::filesystem::path& file, const DownloadProgress& progress,
                 std::wstring& error, const TransferOptions& options, ResumePoint& resume, bool last, bool& transient) {
    StallWatch stall(options.stallWindow, options.stallBytes);
    RequestSettings settings{url, options.caFile, {}, &stall, transportOf(options), options.cancel};
    const std::uint64_t have = resume.validator.empty() ? 0 : sizeOnDisk(file);
    if (have > 0) {
        settings.headers.push_back("Range: bytes=" + std::to_string(have) + "-");
        settings.headers.push_back("If-Range: " + resume.validator);
    }

    std::unique_ptr<Request> request;
    OpenFailure failure;
    if (!openGetRequest(settings, request, error, &failure)) {
        transient = failure.transient;
        if (failure.status == 416) {
            // The server has nothing past what we hold: start over.
            resume.validator.clear();
            transient = true;
        }
        return false;
    }

    FileAttempt attempt;
    attempt.stall = &stall;
    attempt.keepShortFile = !last;
    if (have > 0 && request->status() == 206) {
        std::uint64_t first = 0;
        if (!rangeStart(request->header("Content-Range"), first) || first != have) {
            // Not the rest of our file: the next attempt starts over.
            resume.validator.clear();
            transient = true;
            error = L"Download ended unexpectedly.";
            return false;
        }
        attempt.offset = have;
    } else {
        // A whole answer (200, or a range the server would not honour) starts
        // the file over, and it is the one a later retry continues.
        resume.validator = validatorOf(*request);
    }
    bool ok = readToFile(std::move(request), file, progress, error, options, &attempt);
    transient = attempt.transient;
    return ok;
}

}  // namespace

}  // namespace net

HttpSession::HttpSession() : transport_(net::openTransportSession()) {}

HttpSession::~HttpSession() = default;

void setHttpProxy(const std::wstring& proxy) {
    std::lock_guard<std::mutex> lock(net::proxyMutex);
    net::chosenProxy = proxy;
}

namespace {

bool cancelled(const TransferOptions& options) { return options.cancel && options.cancel->load(); }

// Runs `attempt(last, transient)` until it succeeds, fails for good, is
// cancelled, or has been retried kMaxRetries times, waiting the options'
// delays in between.
template <class Attempt>
bool withRetries(const TransferOptions& options, bool retry, Attempt&& attempt) {
    for (int round = 0;; ++round) {
        if (round > 0) {
            if (options.retryNotice) options.retryNotice(round);
            // In short steps, so that a cancelled set does not wait out the delay.
            using Clock = std::chrono::steady_clock;
            const auto until = Clock::now() + options.retryDelays[static_cast<std::size_t>(round - 1)];
            while (Clock::now() < until && !cancelled(options)) {
                std::this_thread::sleep_for(
                    std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(50)));
            }
            if (cancelled(options)) return false;
            if (options.retryNotice) options.retryNotice(0);
        }
        bool transient = false;
        const bool last = !retry || round == kMaxRetries;
        if (attempt(last, transient)) return true;
        if (!transient || last || cancelled(options)) return false;
    }
}

}  // namespace

bool httpGetRangeToFile(const std::wstring& url, std::uint64_t first, std::uint64_t length,
                        const std::filesystem::path& file, std::wstring& error, const TransferOptions& options) {
    if (length == 0) {
        error = L"Download was incomplete (0/0 bytes).";
        return false;
    }
    net::StallWatch stall(options.stallWindow, options.stallBytes);
    net::RequestSettings settings{url, options.caFile, {}, &stall, net::transportOf(options), options.cancel};
    settings.headers.push_back("Range: bytes=" + std::to_string(first) + "-" + std::to_string(first + length - 1));
    std::unique_ptr<net::Request> request;
    if (!net::openGetRequest(settings, request, error)) return false;
    // Anything but the asked range (a whole file from a server that ignores
    // ranges) would be the wrong bytes at the wrong length.
    std::uint64_t start = 0;
    if (request->status() != 206 || !net::rangeStart(request->header("Content-Range"), start) || start != first) {
        error = L"Server did not send the range asked for.";
        return false;
    }
    TransferOptions capped = options;
    capped.maxBytes = length;
    net::FileAttempt attempt;
    attempt.stall = &stall;
    if (!net::readToFile(std::move(request), file, {}, error, capped, &attempt)) return false;
    std::error_code failed;
    if (std::filesystem::file_size(file, failed) != length || failed) {
        error = L"Download was incomplete.";
        return false;
    }
    return true;
}

bool httpGetToMemory(const std::wstring& url, std::string& body, std::wstring& error, const TransferOptions& options,
                     TransferFailure* failure) {
    const std::size_t limit = options.maxBytes != 0 && options.maxBytes < net::kMaxMemoryBody
                                  ? static_cast<std::size_t>(options.maxBytes)
                                  : net::kMaxMemoryBody;
    TransferFailure seen;
    const bool ok = withRetries(options, options.retryInMemory, [&](bool, bool& transient) {
        net::StallWatch stall(options.stallWindow, options.stallBytes);
        std::unique_ptr<net::Request> request;
        net::OpenFailure opened;
        const net::RequestSettings settings{url, options.caFile, {}, &stall, net::transportOf(options), options.cancel};
        if (!net::openGetRequest(settings, request, error, &opened)) {
            seen = {opened.status, opened.transient};
        } else if (!net::readToMemory(*request, body, error, limit, &stall)) {
            // A body cut short or stalled may come whole next time; one over
            // the limit will not.
            seen = {0, error != kDownloadTooLarge};
        } else {
            return true;
        }
        transient = seen.transient;
        return false;
    });
    if (!ok) {
        if (cancelled(options)) error = kDownloadCancelled;
        // Nothing of a failed transfer is kept: a partial body is no body.
        std::string().swap(body);
        if (failure != nullptr) *failure = seen;
    }
    return ok;
}

bool httpGetToFile(const std::wstring& url, const std::filesystem::path& file, DownloadProgress progress,
                   std::wstring& error, const TransferOptions& options) {
    net::ResumePoint resume;
    const bool ok = withRetries(options, true, [&](bool last, bool& transient) {
        return net::attemptFile(url, file, progress, error, options, resume, last, transient);
    });
    if (!ok && cancelled(options)) error = kDownloadCancelled;
    return ok;
}

bool httpGetFiles(HttpSession& session, const std::vector<FileDownload>& files, const SetProgress& progress,
                  std::size_t& failed, std::wstring& error, const TransferOptions& options, std::size_t parallel) {
    return httpGetFiles(
        session, files.size(), [&files](std::size_t index) { return files[index]; }, progress, failed, error, options,
        parallel);
}

bool httpGetFiles(HttpSession& session, std::size_t count, const std::function<FileDownload(std::size_t)>& file,
                  const SetProgress& progress, std::size_t& failed, std::wstring& error, const TransferOptions& options,
                  std::size_t parallel) {
    std::atomic<bool> cancel{false};
    std::mutex mutex;  // guards what follows and keeps the callables one at a time
    std::condition_variable ended;
    std::size_t next = 0;
    std::size_t running = 0;
    bool stopped = false;
    std::exception_ptr thrown;
    // The first final failure stops the set; the failures it causes in the
    // others (cancelled) are not its reason.
    auto stop = [&](std::size_t index, const std::wstring& message) {
        if (stopped) return;
        stopped = true;
        failed = index;
        error = message;
        cancel = true;
    };
    auto worker = [&] {
        for (;;) {
            std::size_t index;
            FileDownload download;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stopped || next == count) break;
                index = next++;
                try {
                    download = file(index);
                } catch (...) {
                    if (!thrown) thrown = std::current_exception();
                    stop(index, L"");
                    break;
                }
            }
            TransferOptions mine = options;
            mine.session = &session;
            mine.cancel = &cancel;
            mine.maxBytes = download.maxBytes;
            mine.observer = download.observer;
            mine.retryNotice = nullptr;
            if (progress.retry) {
                mine.retryNotice = [&, index](int retry) {
                    std::lock_guard<std::mutex> lock(mutex);
                    progress.retry(index, retry);
                };
            }
            DownloadProgress report;
            if (progress.received) {
                report = [&, index](std::uint64_t received, std::uint64_t total) {
                    std::lock_guard<std::mutex> lock(mutex);
                    progress.received(index, received, total);
                };
            }
            std::wstring message;
            try {
                const bool ok = httpGetToFile(download.url, download.file, report, message, mine);
                std::lock_guard<std::mutex> lock(mutex);
                if (!ok) {
                    stop(index, message);
                    break;
                }
                if (progress.finished) progress.finished(index);
            } catch (...) {
                // A callable or the file system threw: the set ends, and the
                // caller sees the exception once every thread has stopped.
                std::lock_guard<std::mutex> lock(mutex);
                if (!thrown) thrown = std::current_exception();
                stop(index, L"");
                break;
            }
        }
        std::lock_guard<std::mutex> lock(mutex);
        --running;
        ended.notify_all();
    };

    const std::size_t workers = std::min(std::max<std::size_t>(parallel, 1), count);
    std::vector<std::thread> threads;
    threads.reserve(workers);
    {
        std::unique_lock<std::mutex> lock(mutex);
        running = workers;
        for (std::size_t i = 0; i < workers; ++i) threads.emplace_back(worker);
        // The caller's own cancel reaches the transfers through the set's.
        while (running > 0) {
            ended.wait_for(lock, std::chrono::milliseconds(50));
            if (options.cancel && options.cancel->load()) cancel = true;
        }
    }
    for (std::thread& thread : threads) thread.join();
    if (thrown) std::rethrow_exception(thrown);
    if (!stopped && options.cancel && options.cancel->load() && next < count) {
        failed = next;
        error = kDownloadCancelled;
        return false;
    }
    return !stopped;
}

}  // namespace kiv
