// The HTTP transport on Linux: libcurl, configured to behave as the Windows
// transport does with its defaults (redirects followed, connect time-out
// 60 s, 30 s without data while sending or receiving, HTTP/1.1, no Accept
// header), with the proxy that https_proxy, http_proxy and no_proxy name. The
// multi interface lets the transfers pull the body one chunk at a time on the
// calling thread, as they do on Windows. A session keeps its multi handles,
// whose connection caches hold the kept-alive connections, in a pool that
// its threads take from and give back to; TLS sessions and names looked up
// are shared between them.
#include "net/transport.h"

#include "base/base.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::net {

namespace {

constexpr long kConnectTimeoutSeconds = 60;
constexpr long kStallTimeoutSeconds = 30;
constexpr long kMaxRedirects = 10;
// What libcurl asks the socket for at a time. Kept below the size from which
// the C library maps each allocation afresh: libcurl allocates this buffer for
// every transfer, and a run of many files would otherwise fault its pages in
// again for each one.
constexpr long kReceiveBufferSize = 100 * 1024;
// Pieces of the body that arrive together are gathered into one chunk up to
// this size, and libcurl is paused beyond it, so that memory stays bounded
// whatever the server sends.
constexpr std::size_t kMaxChunkSize = 256 * 1024;

struct SplitUrl {
    bool secure = false;
    std::string host;
    long port = 0;
    std::string path;
};

// scheme "://" [user-info "@"] host [":" port] [path-and-query], the way the
// Windows URL splitter reads it.
bool splitUrl(std::wstring_view url, SplitUrl& split) {
    std::size_t rest;
    if (startsWithIgnoringCase(url, L"http://")) {
        rest = 7;
    } else if (startsWithIgnoringCase(url, L"https://")) {
        split.secure = true;
        rest = 8;
    } else {
        return false;
    }
    std::wstring_view tail = url.substr(rest);
    std::size_t authorityEnd = tail.find_first_of(L"/?#");
    std::wstring_view authority = tail.substr(0, authorityEnd);
    std::wstring_view path = authorityEnd == std::wstring_view::npos ? std::wstring_view() : tail.substr(authorityEnd);
    if (std::size_t at = authority.rfind(L'@'); at != std::wstring_view::npos) authority.remove_prefix(at + 1);

    std::wstring_view host = authority;
    split.port = split.secure ? 443 : 80;
    if (std::size_t colon = authority.rfind(L':');
        colon != std::wstring_view::npos && authority.find(L']', colon) == std::wstring_view::npos) {
        host = authority.substr(0, colon);
        std::wstring_view digits = authority.substr(colon + 1);
        if (!digits.empty()) {
            if (digits.size() > 5) return false;
            long port = 0;
            for (wchar_t c : digits) {
                if (c < L'0' || c > L'9') return false;
                port = port * 10 + (c - L'0');
            }
            if (port == 0 || port > 65535) return false;
            split.port = port;
        }
    }
    if (host.empty() || host.size() > kMaxHostLength || path.size() > kMaxPathLength) return false;
    for (wchar_t c : host) {
        if (c <= L' ' || c == 0x7F || c == L'/' || c == L'\\') return false;
    }
    split.host = wideToUtf8(host);
    // The same request target as on Windows; a '#' is part of the name.
    split.path = encodeRequestTarget(path);
    return true;
}

// The header lines of one response kept for header(); a server that sends
// more cannot make the request hold more.
constexpr std::size_t kMaxHeaders = 200;

std::string lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = foldCase(c);
    return out;
}

bool headerIs(std::string_view line, std::string_view name) {
    if (line.size() <= name.size() || line[name.size()] != ':') return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (foldCase(line[i]) != name[i]) return false;
    }
    return true;
}

// The proxy libcurl itself would take from the environment for a URL, so
// that a refused connection can be told apart from a refused proxy:
// "<scheme>_proxy" (for https also in capitals; http_proxy only in lower
// case, as a server could set HTTP_PROXY for a CGI program), then
// all_proxy; none when no_proxy names the host, a domain above it, or "*".
std::string environmentProxy(bool secure, const std::string& host) {
    auto variable = [](const char* name) -> std::string {
        const char* value = std::getenv(name);
        return value ? value : "";
    };
    std::string proxy = secure ? variable("https_proxy") : variable("http_proxy");
    if (proxy.empty() && secure) proxy = variable("HTTPS_PROXY");
    if (proxy.empty()) proxy = variable("all_proxy");
    if (proxy.empty()) proxy = variable("ALL_PROXY");
    if (proxy.empty()) return {};
    std::string exempt = variable("no_proxy");
    if (exempt.empty()) exempt = variable("NO_PROXY");
    const std::string name = lowered(host);
    for (std::size_t start = 0; start <= exempt.size();) {
        std::size_t end = std::min(exempt.find(',', start), exempt.size());
        std::string entry = lowered(exempt.substr(start, end - start));
        start = end + 1;
        entry.erase(0, entry.find_first_not_of(" \t"));
        entry.erase(entry.find_last_not_of(" \t") + 1);
        if (entry == "*") return {};
        if (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
        if (entry.empty()) continue;
        if (name == entry || (name.size() > entry.size() && name.ends_with("." + entry))) return {};
    }
    return proxy;
}

}  // namespace

class TransportSession {
public:
    TransportSession() : proxy_(wideToUtf8(proxyOverride())) {}
    ~TransportSession() {
        for (CURLM* multi : idle_) curl_multi_cleanup(multi);
        if (share_) curl_share_cleanup(share_);
    }

    bool open() {
        share_ = curl_share_init();
        return share_ && curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &TransportSession::lock) == CURLSHE_OK &&
               curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &TransportSession::unlock) == CURLSHE_OK &&
               curl_share_setopt(share_, CURLSHOPT_USERDATA, this) == CURLSHE_OK &&
               curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK &&
               curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) == CURLSHE_OK;
    }

    // A multi handle with the connections an earlier request left in it.
    // Never more are made than requests run at once, so the connections to
    // one server stay within that number too.
    CURLM* take() {
        std::lock_guard<std::mutex> guard(mutex_);
        if (idle_.empty()) return curl_multi_init();
        CURLM* multi = idle_.back();
        idle_.pop_back();
        return multi;
    }
    void giveBack(CURLM* multi) {
        std::lock_guard<std::mutex> guard(mutex_);
        idle_.push_back(multi);
    }

    CURLSH* share() const { return share_; }
    // The proxy for a URL: the chosen one, else the environment's; empty
    // for none.
    std::string proxyFor(bool secure, const std::string& host) const {
        return proxy_.empty() ? environmentProxy(secure, host) : proxy_;
    }

private:
    // The share's parts may be used from several threads, one at a time.
    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
        static_cast<TransportSession*>(self)->locks_[data % kLocks].lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* self) {
        static_cast<TransportSession*>(self)->locks_[data % kLocks].unlock();
    }
    static constexpr int kLocks = CURL_LOCK_DATA_LAST;

    std::string proxy_;
    CURLSH* share_ = nullptr;
    std::mutex mutex_;
    std::vector<CURLM*> idle_;
    std::mutex locks_[kLocks];
};

std::shared_ptr<TransportSession> openTransportSession() {
    static std::once_flag initialised;
    static bool available = false;
    std::call_once(initialised, [] { available = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    if (!available) return nullptr;
    auto session = std::make_shared<TransportSession>();
    if (!session->open()) return nullptr;
    return session;
}

namespace {

// The chunk buffer of the thread's previous transfer.
thread_local std::vector<char> spareChunk;

class CurlRequest final : public Request {
public:
    explicit CurlRequest(std::shared_ptr<TransportSession> session) : session_(std::move(session)) { pending_.clear(); }
    ~CurlRequest() override {
        // Removing the handle leaves a connection whose response was read to
        // the end in the multi handle's cache, for the session's next request.
        if (multi_ && easy_) curl_multi_remove_handle(multi_, easy_);
        if (easy_) curl_easy_cleanup(easy_);
        if (multi_) session_->giveBack(multi_);
        if (headers_) curl_slist_free_all(headers_);
    }

    // Request set-up; false when libcurl cannot give us the handles or
    // refuses an option.
    bool open(const SplitUrl& url, const RequestSettings& settings) {
        stall_ = settings.stall;
        cancel_ = settings.cancel;
        multi_ = session_->take();
        easy_ = curl_easy_init();
        if (!multi_ || !easy_) return false;
        proxy_ = session_->proxyFor(url.secure, url.host);
        // An empty value removes libcurl's default "Accept: */*".
        headers_ = curl_slist_append(nullptr, "Accept:");
        for (const std::string& line : settings.headers) {
            if (!headers_) return false;
            headers_ = curl_slist_append(headers_, line.c_str());
        }
        if (!headers_) return false;
        if (!settings.caFile.empty() && curl_easy_setopt(easy_, CURLOPT_CAINFO, settings.caFile.c_str()) != CURLE_OK) {
            return false;
        }
        std::string host = url.host;
        if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
        std::string address = (url.secure ? "https://" : "http://") + host + ":" + std::to_string(url.port) + url.path;
        bool ok =
            curl_easy_setopt(easy_, CURLOPT_URL, address.c_str()) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
            // Like the Windows transport: never from https down to http.
            curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, url.secure ? "https" : "http,https") == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_PROXY, proxy_.c_str()) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_SHARE, session_->share()) == CURLE_OK &&
            // The proxy's answer to CONNECT is not the server's.
            curl_easy_setopt(easy_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_USERAGENT, "KIV Launcher/1.0") == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds) == CURLE_OK &&
            // Less than one byte a second for 30 s: the server has stalled.
            curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, kStallTimeoutSeconds) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, kReceiveBufferSize) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CurlRequest::onHeader) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlRequest::onData) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this) == CURLE_OK;
        return ok && curl_multi_add_handle(multi_, easy_) == CURLM_OK;
    }

    // Sends the request and runs the transfer until the headers of the final
    // response (after redirects) are in. False when the transfer failed first.
    bool receiveResponse() {
        while (!headersFinal_ && !done_) {
            if (!step()) return false;
        }
        return headersFinal_ || result_ == CURLE_OK;
    }

    int status() override {
        long code = 0;
        if (curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) code = 0;
        return static_cast<int>(code);
    }

    std::string header(std::string_view name) override {
        for (const std::string& line : responseHeaders_) {
            if (!headerIs(lowered(line.substr(0, name.size() + 1)), lowered(name))) continue;
            std::string_view value(line);
            value.remove_prefix(name.size() + 1);
            auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
            while (!value.empty() && blank(value.front())) value.remove_prefix(1);
            while (!value.empty() && blank(value.back())) value.remove_suffix(1);
            return std::string(value);
        }
        return {};
    }

    bool hasLocation() const { return hasLocation_; }
    bool stalled() const { return stalled_; }
    bool cancelled() const { return cancelled_; }
    bool proxied() const { return !proxy_.empty(); }
    CURLcode result() const { return result_; }

    bool contentLength(std::uint64_t& length) override {
        if (!contentLength_) return false;
        length = *contentLength_;
        return true;
    }

    bool queryDataAvailable(std::size_t& available) override {
        if (pendingLeft() == 0 && paused_) {
            // Hands over the piece held back while the last one was pending.
            paused_ = false;
            if (curl_easy_pause(easy_, CURLPAUSE_CONT) != CURLE_OK) return false;
        }
        while (pendingLeft() == 0 && !done_) {
            if (!step()) return false;
        }
        if (pendingLeft() > 0) {
            available = pendingLeft();
            return true;
        }
        // The body has ended. A connection closed before the announced length
        // ends it too: the transfer then reports the incomplete download with
        // the counts. Without an announced length, only a clean end is one.
        if (result_ == CURLE_OK || (result_ == CURLE_PARTIAL_FILE && contentLength_)) {
            available = 0;
            return true;
        }
        return false;
    }

    bool readData(char* buffer, std::size_t size, std::size_t& read) override {
        read = std::min(size, pendingLeft());
        std::memcpy(buffer, pending_.data() + pendingOffset_, read);
        pendingOffset_ += read;
        return true;
    }

private:
    std::size_t pendingLeft() const { return pending_.size() - pendingOffset_; }

    // One round of the transfer: wait for the socket (or libcurl's timer) and
    // let libcurl work. The time-outs set in open() bound the number of rounds.
    bool step() {
        bool headersWereFinal = headersFinal_;
        int running = 0;
        if (curl_multi_perform(multi_, &running) != CURLM_OK) return false;
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy_) {
                done_ = true;
                result_ = message->data.result;
            }
        }
        if (!done_ && running == 0) {
            done_ = true;
            result_ = CURLE_RECV_ERROR;
        }
        if (done_ || headersFinal_ != headersWereFinal || pendingLeft() > 0) return true;
        // Wakes often enough to notice a stall soon after it happens.
        int wait = cancel_ ? 100 : 1000;
        if (stall_) wait = static_cast<int>(std::clamp<long long>(stall_->window().count() / 4, 10, 1000));
        if (curl_multi_poll(multi_, nullptr, 0, wait, nullptr) != CURLM_OK) return false;
        if (stall_ && stall_->stalled()) {
            stalled_ = true;
            return false;
        }
        if (cancel_ && cancel_->load()) {
            cancelled_ = true;
            return false;
        }
        return true;
    }

    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self) {
        auto* request = static_cast<CurlRequest*>(self);
        std::string_view line(data, size * count);
        if (line.starts_with("HTTP/")) {
            // A new response (an interim one, a redirect or the final one).
            request->responseStatus_ = 0;
            request->hasLocation_ = false;
            request->responseHeaders_.clear();
            request->contentLength_.reset();
            std::size_t space = line.find(' ');
            if (space != std::string_view::npos && line.size() >= space + 4) {
                int code = 0;
                for (std::size_t i = space + 1; i < space + 4; ++i) {
                    if (line[i] < '0' || line[i] > '9') return size * count;
                    code = code * 10 + (line[i] - '0');
                }
                request->responseStatus_ = code;
            }
        } else if (line == "\r\n" || line == "\n") {
            int code = request->responseStatus_;
            bool interim = code >= 100 && code < 200;
            // libcurl goes on to the new location of a redirect by itself.
            bool followed = code >= 300 && code < 400 && request->hasLocation_;
            if (!interim && !followed) request->headersFinal_ = true;
        } else if (request->responseHeaders_.size() < kMaxHeaders) {
            request->responseHeaders_.emplace_back(line);
        }
        if (headerIs(line, "location")) {
            request->hasLocation_ = true;
        } else if (headerIs(line, "content-length") && !request->contentLength_) {
            std::uint64_t length = 0;
            if (parseContentLength(line.substr(15), length)) request->contentLength_ = length;
        }
        return size * count;
    }

    static std::size_t onData(char* data, std::size_t size, std::size_t count, void* self) {
        auto* request = static_cast<CurlRequest*>(self);
        // Body bytes mean the final headers are in, whatever they said.
        request->headersFinal_ = true;
        std::size_t length = size * count;
        if (request->pendingLeft() == 0) {
            request->pending_.clear();
            request->pendingOffset_ = 0;
        }
        // A full chunk waits to be read; libcurl keeps the next piece until then.
        if (!request->pending_.empty() && request->pending_.size() + length > kMaxChunkSize) {
            request->paused_ = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        request->pending_.insert(request->pending_.end(), data, data + length);
        return length;
    }

    std::shared_ptr<TransportSession> session_;
    std::string proxy_;
    const std::atomic<bool>* cancel_ = nullptr;
    bool cancelled_ = false;
    CURLM* multi_ = nullptr;
    CURL* easy_ = nullptr;
    bool done_ = false;
    CURLcode result_ = CURLE_OK;
    bool headersFinal_ = false;
    bool paused_ = false;
    int responseStatus_ = 0;
    bool hasLocation_ = false;
    std::optional<std::uint64_t> contentLength_;
    std::vector<std::string> responseHeaders_;
    curl_slist* headers_ = nullptr;
    const StallWatch* stall_ = nullptr;
    bool stalled_ = false;
    ReusedBuffer chunk_{spareChunk};
    std::vector<char>& pending_ = chunk_.bytes;
    std::size_t pendingOffset_ = 0;
};

}  // namespace

bool openGetRequest(const RequestSettings& settings, std::unique_ptr<Request>& request, std::wstring& error,
                    OpenFailure* failure) {
    OpenFailure ignored;
    OpenFailure& outcome = failure ? *failure : ignored;
    outcome = OpenFailure{};
    SplitUrl split;
    if (!splitUrl(settings.url, split)) {
        error = L"Invalid URL.";
        return false;
    }
    std::shared_ptr<TransportSession> session = settings.session ? settings.session : openTransportSession();
    if (!session) {
        error = L"WinHttpOpen failed.";
        return false;
    }
    auto opened = std::make_unique<CurlRequest>(std::move(session));
    if (!opened->open(split, settings)) {
        error = L"WinHttpOpenRequest failed.";
        return false;
    }
    if (!opened->receiveResponse()) {
        if (opened->stalled()) {
            outcome.transient = true;
            error = L"Download stalled.";
        } else if (opened->cancelled()) {
            error = kDownloadCancelled;
        } else {
            // A server whose certificate does not pass will not pass later,
            // and a redirect from https down to http stays refused.
            CURLcode result = opened->result();
            outcome.transient = result != CURLE_PEER_FAILED_VERIFICATION && result != CURLE_SSL_CACERT_BADFILE &&
                                result != CURLE_SSL_CERTPROBLEM && result != CURLE_UNSUPPORTED_PROTOCOL &&
                                result != CURLE_TOO_MANY_REDIRECTS;
            const bool proxyDown = result == CURLE_COULDNT_CONNECT || result == CURLE_COULDNT_RESOLVE_PROXY;
            error = opened->proxied() && proxyDown ? kProxyRefused : L"HTTP request failed.";
        }
        return false;
    }
    int status = opened->status();
    if (status >= 400 || status == 0 || isUnfollowedRedirect(status, opened->hasLocation())) {
        outcome.status = status;
        outcome.transient = status >= 500 || status == 0;
        error = L"HTTP status " + std::to_wstring(status) + L".";
        return false;
    }
    request = std::move(opened);
    return true;
}

}  // namespace kiv::net
