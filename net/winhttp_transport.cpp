// The HTTP transport on Windows: WinHTTP, synchronous, with its own defaults
// for redirects, time-outs and TLS checks, and no proxy.
#include "net/transport.h"

#include "base/base.h"

#include <windows.h>
#include <winhttp.h>

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

bool openGetRequest(const std::wstring& url, std::unique_ptr<Request>& request, std::wstring& error) {
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
    DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    HINTERNET handle = WinHttpOpenRequest(connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                          WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
    if (!handle) {
        WinHttpCloseHandle(connection);
        WinHttpCloseHandle(session);
        error = L"WinHttpOpenRequest failed.";
        return false;
    }
    auto opened = std::make_unique<WinHttpRequest>(session, connection, handle);

    if (!WinHttpSendRequest(handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(handle, nullptr)) {
        error = L"HTTP request failed.";
        return false;
    }

    DWORD status = 0;
    DWORD size = sizeof(status);
    bool queried = WinHttpQueryHeaders(handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                       WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    if (!queried || status >= 400) {
        error = L"HTTP status " + std::to_wstring(queried ? status : 0) + L".";
        return false;
    }
    request = std::move(opened);
    return true;
}

}  // namespace kiv::net
