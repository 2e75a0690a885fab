// The HTTP transport on Windows: WinHTTP, synchronous, with its own defaults
// for redirects, time-outs and TLS checks, and no proxy.
#include "net/transport.h"

#include "base/base.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <string>

namespace kiv::net {

namespace {

class WinHttpRequest final : public Request {
public:
    WinHttpRequest(HINTERNET session, HINTERNET connection, HINTERNET request)
        : session_(session), connection_(connection), request_(request) {}

    ~WinHttpRequest() override {
        WinHttpCloseHandle(request_);
        WinHttpCloseHandle(connection_);
        WinHttpCloseHandle(session_);
    }

    WinHttpRequest(const WinHttpRequest&) = delete;
    WinHttpRequest& operator=(const WinHttpRequest&) = delete;

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
        DWORD bytes = 0;
        if (!WinHttpQueryDataAvailable(request_, &bytes)) return false;
        available = bytes;
        return true;
    }

    bool readData(char* buffer, std::size_t size, std::size_t& read) override {
        DWORD bytes = 0;
        if (!WinHttpReadData(request_, buffer, static_cast<DWORD>(size), &bytes)) return false;
        read = bytes;
        return true;
    }

private:
    HINTERNET session_;
    HINTERNET connection_;
    HINTERNET request_;
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

    HINTERNET session = WinHttpOpen(L"KIV Launcher/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) {
        error = L"WinHttpOpen failed.";
        return false;
    }
    HINTERNET connection = WinHttpConnect(session, host, parts.nPort, 0);
    if (!connection) {
        WinHttpCloseHandle(session);
        error = L"WinHttpConnect failed.";
        return false;
    }
    DWORD flags = WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY;
    if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= WINHTTP_FLAG_SECURE;
    HINTERNET handle = WinHttpOpenRequest(connection, L"GET", target.c_str(), nullptr, WINHTTP_NO_REFERER,
                                          WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
    if (!handle) {
        WinHttpCloseHandle(connection);
        WinHttpCloseHandle(session);
        error = L"WinHttpOpenRequest failed.";
        return false;
    }
    auto opened = std::make_unique<WinHttpRequest>(session, connection, handle);

    // The defaults wait 30 s for data; a shorter stall window must not wait
    // longer than itself.
    if (settings.stall && settings.stall->window() < std::chrono::seconds(30)) {
        int window = static_cast<int>(std::max<long long>(settings.stall->window().count(), 1));
        WinHttpSetTimeouts(handle, 0, 60000, 30000, window);
    }

    std::wstring headers;
    for (const std::string& line : settings.headers) headers += utf8ToWide(line) + L"\r\n";
    if (!WinHttpSendRequest(handle, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                            headers.empty() ? 0 : static_cast<DWORD>(-1L), WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(handle, nullptr)) {
        DWORD reason = GetLastError();
        if (settings.stall && settings.stall->stalled()) {
            outcome.transient = true;
            error = L"Download stalled.";
            return false;
        }
        // A server whose certificate does not pass will not pass later (a
        // failed check ends the secure channel), and a refused redirect stays
        // refused.
        outcome.transient = reason != ERROR_WINHTTP_SECURE_FAILURE && reason != ERROR_WINHTTP_SECURE_CHANNEL_ERROR &&
                            reason != ERROR_WINHTTP_REDIRECT_FAILED && reason != ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED;
        error = L"HTTP request failed.";
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
