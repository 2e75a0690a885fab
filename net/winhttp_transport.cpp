// The HTTP transport on Windows: WinHTTP in its asynchronous mode, so that
// the calling thread can give up on a request at any moment (a stall, the
// wait for headers included, or a cancelled set) instead of sitting in a
// blocking call that a server trickling bytes keeps alive for days. One
// session per run keeps connections alive; its redirects, time-outs and TLS
// checks are WinHTTP's defaults. The proxy is the one the user configured.
#include "net/transport.h"

#include "base/base.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cwctype>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace kiv::net {

namespace {

// What the status callback hands to the thread that waits for an operation.
// It lives until WinHTTP reports the request handle closing, so that an
// operation still under way after the request was given up on writes into
// live memory: the read buffer is here for that reason.
struct AsyncState {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    bool failed = false;
    DWORD error = 0;
    DWORD bytes = 0;
    std::vector<char> buffer;
};

void CALLBACK onStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
    if (context == 0) return;
    auto* holder = reinterpret_cast<std::shared_ptr<AsyncState>*>(context);
    if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
        delete holder;
        return;
    }
    AsyncState& state = **holder;
    std::lock_guard<std::mutex> lock(state.mutex);
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE: break;
        case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE: state.bytes = *static_cast<DWORD*>(info); break;
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE: state.bytes = length; break;
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
            state.failed = true;
            state.error = static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError;
            break;
        default: return;
    }
    state.done = true;
    state.changed.notify_all();
}

std::wstring fromGlobal(LPWSTR text) {
    if (text == nullptr) return {};
    std::wstring copy = text;
    GlobalFree(text);
    return copy;
}

}  // namespace

class TransportSession {
public:
    ~TransportSession() {
        for (auto& [key, connection] : connections_) WinHttpCloseHandle(connection);
        if (session_) WinHttpCloseHandle(session_);
    }

    bool open() {
        const std::wstring chosen = proxyOverride();
        if (!chosen.empty()) {
            fixedProxy_ = chosen;
        } else {
            // The user's Internet settings: a proxy, a PAC script, detection.
            WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user = {};
            if (WinHttpGetIEProxyConfigForCurrentUser(&user)) {
                autoDetect_ = user.fAutoDetect != FALSE;
                scriptUrl_ = fromGlobal(user.lpszAutoConfigUrl);
                fixedProxy_ = fromGlobal(user.lpszProxy);
                bypass_ = fromGlobal(user.lpszProxyBypass);
            }
        }
        // The fixed proxy is the session's own; a script's answer is set per
        // request on top of it.
        const bool named = !fixedProxy_.empty();
        const DWORD access = named ? WINHTTP_ACCESS_TYPE_NAMED_PROXY : WINHTTP_ACCESS_TYPE_NO_PROXY;
        session_ =
            WinHttpOpen(L"KIV Launcher/1.0", access, named ? fixedProxy_.c_str() : WINHTTP_NO_PROXY_NAME,
                        named && !bypass_.empty() ? bypass_.c_str() : WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
        if (!session_) return false;
        // As many connections to one server as a set of files downloads at once.
        DWORD connections = kParallelDownloads;
        WinHttpSetOption(session_, WINHTTP_OPTION_MAX_CONNS_PER_SERVER, &connections, sizeof connections);
        return true;
    }

    // The handle for one server, made once and reused by every request to it.
    HINTERNET connect(const std::wstring& host, INTERNET_PORT port) {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::wstring key = host + L":" + std::to_wstring(port);
        auto found = connections_.find(key);
        if (found != connections_.end()) return found->second;
        HINTERNET connection = WinHttpConnect(session_, host.c_str(), port, 0);
        if (connection) connections_.emplace(key, connection);
        return connection;
    }

    // Whether `url` goes through a proxy. A script or detection decides
    // first (its answer kept per server for the life of the program, so that
    // a network without one is searched once, not for every call) and is set
    // on `request`; else the
    // session's fixed proxy applies unless its bypass list names the host,
    // as the system's own browser does.
    bool applyProxy(HINTERNET request, const std::wstring& url, const std::wstring& server, const std::wstring& host) {
        if (autoDetect_ || !scriptUrl_.empty()) {
            Scripted answer;
            {
                ScriptAnswers& known = scriptAnswers();
                std::lock_guard<std::mutex> lock(known.mutex);
                const std::wstring key = (autoDetect_ ? L"detect " : L"") + scriptUrl_ + L" " + server;
                auto found = known.answers.find(key);
                if (found == known.answers.end()) found = known.answers.emplace(key, resolve(known, url)).first;
                answer = found->second;
            }
            if (answer.decided) {
                WINHTTP_PROXY_INFO info = {};
                info.dwAccessType = answer.has ? WINHTTP_ACCESS_TYPE_NAMED_PROXY : WINHTTP_ACCESS_TYPE_NO_PROXY;
                info.lpszProxy = answer.has ? answer.proxy.data() : nullptr;
                info.lpszProxyBypass = answer.has && !answer.bypass.empty() ? answer.bypass.data() : nullptr;
                WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &info, sizeof info);
                return answer.has;
            }
        }
        return !fixedProxy_.empty() && !bypassed(host);
    }

    HINTERNET handle() const { return session_; }

private:
    struct Scripted {
        bool decided = false;  // the script or detection answered
        bool has = false;      // and named a proxy
        std::wstring proxy, bypass;
    };

    // The bypass list's rules: entries apart by ';' or blanks, "<local>" for
    // a name without a dot, '*' for any run of characters, any letter case.
    bool bypassed(const std::wstring& host) const {
        auto lower = [](std::wstring text) {
            for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
            return text;
        };
        const std::wstring name = lower(host);
        std::function<bool(std::wstring_view, std::wstring_view)> matches = [&](std::wstring_view pattern,
                                                                                std::wstring_view text) {
            if (pattern.empty()) return text.empty();
            if (pattern.front() == L'*') {
                for (std::size_t skip = 0; skip <= text.size(); ++skip) {
                    if (matches(pattern.substr(1), text.substr(skip))) return true;
                }
                return false;
            }
            return !text.empty() && pattern.front() == text.front() && matches(pattern.substr(1), text.substr(1));
        };
        const std::wstring list = lower(bypass_);
        for (std::size_t start = 0; start < list.size();) {
            std::size_t end = list.find_first_of(L"; \t", start);
            if (end == std::wstring::npos) end = list.size();
            const std::wstring_view entry(list.data() + start, end - start);
            start = end + 1;
            if (entry.empty()) continue;
            if (entry == L"<local>" ? name.find(L'.') == std::wstring::npos : matches(entry, name)) return true;
        }
        return false;
    }

    struct ScriptAnswers {
        std::mutex mutex;
        std::map<std::wstring, Scripted> answers;
        HINTERNET resolver = nullptr;  // kept for the life of the program
    };
    static ScriptAnswers& scriptAnswers() {
        static ScriptAnswers known;
        return known;
    }

    Scripted resolve(ScriptAnswers& known, const std::wstring& url) {
        Scripted out;
        // The script runs on a session of its own: this call blocks.
        if (!known.resolver) {
            known.resolver = WinHttpOpen(L"KIV Launcher/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                         WINHTTP_NO_PROXY_BYPASS, 0);
        }
        if (!known.resolver) return out;
        WINHTTP_AUTOPROXY_OPTIONS options = {};
        if (!scriptUrl_.empty()) {
            options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
            options.lpszAutoConfigUrl = scriptUrl_.c_str();
        }
        if (autoDetect_) {
            options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
            options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        }
        options.fAutoLogonIfChallenged = TRUE;
        WINHTTP_PROXY_INFO info = {};
        if (!WinHttpGetProxyForUrl(known.resolver, url.c_str(), &options, &info)) return out;
        out.decided = true;
        out.proxy = fromGlobal(info.lpszProxy);
        out.bypass = fromGlobal(info.lpszProxyBypass);
        out.has = info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && !out.proxy.empty();
        return out;
    }

    HINTERNET session_ = nullptr;
    std::mutex mutex_;
    std::map<std::wstring, HINTERNET> connections_;
    bool autoDetect_ = false;
    std::wstring scriptUrl_, fixedProxy_, bypass_;
};

std::shared_ptr<TransportSession> openTransportSession() {
    auto session = std::make_shared<TransportSession>();
    if (!session->open()) return nullptr;
    return session;
}

namespace {

class WinHttpRequest final : public Request {
public:
    WinHttpRequest(std::shared_ptr<TransportSession> session, HINTERNET request, std::shared_ptr<AsyncState> state,
                   const RequestSettings& settings)
        : session_(std::move(session)),
          request_(request),
          state_(std::move(state)),
          stall_(settings.stall),
          cancel_(settings.cancel) {}

    // Does not wait for an operation under way: WinHTTP ends it, and the
    // callback state outlives it.
    ~WinHttpRequest() override { WinHttpCloseHandle(request_); }

    WinHttpRequest(const WinHttpRequest&) = delete;
    WinHttpRequest& operator=(const WinHttpRequest&) = delete;

    enum class Outcome { done, failed, stalled, cancelled };

    // Starts an operation through `start` and waits for its completion, the
    // stall watch and the cancel flag checked all the while. After anything
    // but `done` the request is of no further use.
    template <typename Start>
    Outcome run(Start start) {
        if (dead_) return Outcome::failed;
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->done = state_->failed = false;
            state_->error = 0;
            state_->bytes = 0;
        }
        if (!start()) {
            dead_ = true;
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->error = GetLastError();
            return Outcome::failed;
        }
        // Short enough to notice a stall or a cancel soon after it happens.
        using std::chrono::milliseconds;
        milliseconds slice(100);
        if (stall_) slice = std::clamp<milliseconds>(stall_->window() / 4, milliseconds(10), slice);
        std::unique_lock<std::mutex> lock(state_->mutex);
        for (;;) {
            Outcome outcome = Outcome::done;
            if (state_->done) {
                outcome = state_->failed ? Outcome::failed : Outcome::done;
            } else if (stall_ && stall_->stalled()) {
                outcome = Outcome::stalled;
            } else if (cancel_ && cancel_->load()) {
                outcome = Outcome::cancelled;
            } else {
                state_->changed.wait_for(lock, slice);
                continue;
            }
            dead_ = outcome != Outcome::done;
            return outcome;
        }
    }

    DWORD lastError() {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->error;
    }

    HINTERNET handle() const { return request_; }

    int status() override {
        DWORD code = 0;
        DWORD size = sizeof(code);
        if (!WinHttpQueryHeaders(request_, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX)) {
            return 0;
        }
        return static_cast<int>(code);
    }

    std::string header(std::string_view name) override {
        std::wstring wideName = utf8ToWide(name);
        wchar_t text[1024] = {};
        DWORD size = sizeof(text) - sizeof(wchar_t);
        if (!WinHttpQueryHeaders(request_, WINHTTP_QUERY_CUSTOM, wideName.c_str(), text, &size,
                                 WINHTTP_NO_HEADER_INDEX)) {
            return {};
        }
        std::string value = wideToUtf8(std::wstring_view(text, size / sizeof(wchar_t)));
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
        std::size_t first = value.find_first_not_of(" \t");
        return first == std::string::npos ? std::string() : value.substr(first);
    }

    bool contentLength(std::uint64_t& length) override {
        // Read as text so that a length past 4 GiB is not cut to 32 bits.
        wchar_t text[32] = {};
        DWORD size = sizeof(text);
        if (!WinHttpQueryHeaders(request_, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                                 WINHTTP_NO_HEADER_INDEX)) {
            return false;
        }
        return parseContentLength(wideToUtf8(std::wstring_view(text, size / sizeof(wchar_t))), length);
    }

    bool queryDataAvailable(std::size_t& available) override {
        if (run([&] { return WinHttpQueryDataAvailable(request_, nullptr) != FALSE; }) != Outcome::done) return false;
        std::lock_guard<std::mutex> lock(state_->mutex);
        available = state_->bytes;
        return true;
    }

    bool readData(char* buffer, std::size_t size, std::size_t& read) override {
        if (dead_) return false;
        if (state_->buffer.size() < size) state_->buffer.resize(size);
        char* target = state_->buffer.data();
        if (run([&] { return WinHttpReadData(request_, target, static_cast<DWORD>(size), nullptr) != FALSE; }) !=
            Outcome::done) {
            return false;
        }
        std::lock_guard<std::mutex> lock(state_->mutex);
        read = std::min<std::size_t>(state_->bytes, size);
        std::memcpy(buffer, target, read);
        return true;
    }

private:
    std::shared_ptr<TransportSession> session_;
    HINTERNET request_;
    std::shared_ptr<AsyncState> state_;
    const StallWatch* stall_;
    const std::atomic<bool>* cancel_;
    bool dead_ = false;
};

}  // namespace

bool openGetRequest(const RequestSettings& settings, std::unique_ptr<Request>& request, std::wstring& error,
                    OpenFailure* failure) {
    OpenFailure ignored;
    OpenFailure& outcome = failure ? *failure : ignored;
    outcome = OpenFailure{};
    const std::wstring& url = settings.url;
    wchar_t host[kMaxHostLength + 1] = {};
    wchar_t path[kMaxPathLength + 1] = {};
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = static_cast<DWORD>(kMaxHostLength + 1);
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = static_cast<DWORD>(kMaxPathLength + 1);
    // A URL with no host would otherwise get as far as the connection.
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts) || host[0] == L'\0' ||
        (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)) {
        error = L"Invalid URL.";
        return false;
    }
    // The same request target as libcurl sends, encoded here and sent as it
    // is: WinHTTP's own escaping differs between versions.
    const std::wstring target = utf8ToWide(encodeRequestTarget(std::wstring_view(path, parts.dwUrlPathLength)));
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

    std::shared_ptr<TransportSession> session = settings.session ? settings.session : openTransportSession();
    if (!session) {
        error = L"WinHttpOpen failed.";
        return false;
    }
    HINTERNET connection = session->connect(host, parts.nPort);
    if (!connection) {
        error = L"WinHttpConnect failed.";
        return false;
    }
    DWORD flags = WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY;
    if (secure) flags |= WINHTTP_FLAG_SECURE;
    HINTERNET handle = WinHttpOpenRequest(connection, L"GET", target.c_str(), nullptr, WINHTTP_NO_REFERER,
                                          WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
    if (!handle) {
        error = L"WinHttpOpenRequest failed.";
        return false;
    }
    auto state = std::make_shared<AsyncState>();
    auto* holder = new std::shared_ptr<AsyncState>(state);
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(holder);
    if (!WinHttpSetOption(handle, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context) ||
        WinHttpSetStatusCallback(handle, onStatus,
                                 WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
                                 0) == WINHTTP_INVALID_STATUS_CALLBACK) {
        WinHttpCloseHandle(handle);
        delete holder;
        error = L"WinHttpOpenRequest failed.";
        return false;
    }
    // From here on the callback frees `holder` when the handle closes.
    auto opened = std::make_unique<WinHttpRequest>(session, handle, state, settings);

    const std::wstring server =
        (secure ? L"https://" : L"http://") + std::wstring(host) + L":" + std::to_wstring(parts.nPort);
    const bool proxied = session->applyProxy(handle, url, server, host);

    // The defaults wait 30 s for data; a shorter stall window must not wait
    // longer than itself.
    if (settings.stall && settings.stall->window() < std::chrono::seconds(30)) {
        int window = static_cast<int>(std::max<long long>(settings.stall->window().count(), 1));
        WinHttpSetTimeouts(handle, 0, 60000, 30000, window);
    }

    std::wstring headers;
    for (const std::string& line : settings.headers) headers += utf8ToWide(line) + L"\r\n";
    using Outcome = WinHttpRequest::Outcome;
    Outcome sent = opened->run([&] {
        return WinHttpSendRequest(handle, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                                  headers.empty() ? 0 : static_cast<DWORD>(-1L), WINHTTP_NO_REQUEST_DATA, 0, 0,
                                  context) != FALSE;
    });
    if (sent == Outcome::done) sent = opened->run([&] { return WinHttpReceiveResponse(handle, nullptr) != FALSE; });
    if (sent == Outcome::stalled) {
        outcome.transient = true;
        error = L"Download stalled.";
        return false;
    }
    if (sent == Outcome::cancelled) {
        error = kDownloadCancelled;
        return false;
    }
    if (sent == Outcome::failed) {
        DWORD reason = opened->lastError();
        // A server whose certificate does not pass will not pass later (a
        // failed check ends the secure channel), and a refused redirect stays
        // refused.
        outcome.transient = reason != ERROR_WINHTTP_SECURE_FAILURE && reason != ERROR_WINHTTP_SECURE_CHANNEL_ERROR &&
                            reason != ERROR_WINHTTP_REDIRECT_FAILED && reason != ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED;
        error = proxied && reason == ERROR_WINHTTP_CANNOT_CONNECT ? kProxyRefused : L"HTTP request failed.";
        return false;
    }

    int status = opened->status();
    wchar_t location[8] = {};
    DWORD locationSize = sizeof(location);
    bool hasLocation = WinHttpQueryHeaders(handle, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX, location,
                                           &locationSize, WINHTTP_NO_HEADER_INDEX) ||
                       GetLastError() == ERROR_INSUFFICIENT_BUFFER;
    if (status == 0 || status >= 400 || isUnfollowedRedirect(status, hasLocation)) {
        outcome.status = status;
        outcome.transient = status >= 500 || status == 0;
        error = L"HTTP status " + std::to_wstring(status) + L".";
        return false;
    }
    request = std::move(opened);
    return true;
}

}  // namespace kiv::net
