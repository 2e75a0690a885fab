// The transfers over TLS against nginx with certificates from a private test
// CA, and through a proxy (tests/tls_servers.sh, started by CTest). Natively
// the CA is given as a CA file; on Windows it sits in the machine's root
// store, put there by trust_test_ca, so that WinHTTP checks the servers with
// its own rules.
#include "net/http.h"

#include "base/base.h"
#include "tools/loopback_server/loopback_server.h"
#include "tests/support.h"

#include <gtest/gtest.h>

// The routes are written with designated initializers: the members left out
// take their defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <map>

#ifdef _WIN32
#include <windows.h>
#endif

namespace kiv {
namespace {

using namespace std::chrono_literals;

// A refused certificate, or a redirect from https down to http, fails at
// once (never retried), for both transfers.
TEST(TlsTransfer, OnlyTrustedServersAreRead) {
    std::map<std::string, std::string> servers = test::testServers();
    ASSERT_TRUE(servers.count("valid") && servers.count("ca")) << "KIV_TLS_SERVERS names no server list";
    auto https = [&](const std::string& server, const char* path) {
        return utf8ToWide("https://127.0.0.1:" + servers[server] + path);
    };
    TransferOptions options;
    options.retryDelays = {10ms, 10ms, 10ms};
    int retries = 0;
    options.retryNotice = [&](int retry) { retries += retry > 0 ? 1 : 0; };
    std::string body;
    std::wstring error;
#ifndef _WIN32
    // The CA file replaces the system's store rather than being ignored.
    EXPECT_FALSE(httpGetToMemory(https("valid", "/file.bin"), body, error, options));
    options.caFile = servers["ca"];
#endif
    HttpServer plain;
    std::string problem;
    ASSERT_TRUE(plain.start(problem)) << problem;
    plain.setRoute("/up.bin", {.status = 302, .location = wideToUtf8(https("valid", "/file.bin"))});

    const std::string expected = test::readFile(toPath(utf8ToWide(servers["root"])) / "file.bin");
    const std::pair<std::wstring, bool> cases[] = {
        {https("valid", "/file.bin"), true},      {https("expired", "/file.bin"), false},
        {https("wronghost", "/file.bin"), false}, {https("unknownca", "/file.bin"), false},
        {https("valid", "/down.bin"), false},     {plain.wideUrl("/up.bin"), true},
    };
    test::TempDir work;
    for (const auto& [url, trusted] : cases) {
        SCOPED_TRACE(wideToUtf8(url));
        const std::string outcome = trusted ? expected : "!HTTP request failed.";
        EXPECT_EQ(httpGetToMemory(url, body, error, options) ? body : wideToUtf8(L"!" + error), outcome);
        const auto file = work / "d" / "f.bin";
        EXPECT_EQ(httpGetToFile(url, file, {}, error, options) ? test::readFile(file) : wideToUtf8(L"!" + error),
                  outcome);
        EXPECT_EQ(retries, 0);
    }
}

// Sets the proxy the way the player does, for this test's lifetime: on
// Windows in the Internet settings of the user's registry (127.0.0.1 itself
// bypassed, so that tests running beside this one are not sent through it);
// natively in https_proxy and http_proxy.
class SystemProxy {
public:
    explicit SystemProxy(const std::string& address) {
#ifdef _WIN32
        // The binary connection settings: version, counter, flags (direct,
        // named proxy), then the proxy and the bypass list, each with its length.
        std::string blob;
        auto dword = [&](std::uint32_t value) { blob.append(reinterpret_cast<const char*>(&value), 4); };
        auto text = [&](const std::string& value) {
            dword(static_cast<std::uint32_t>(value.size()));
            blob += value;
        };
        dword(0x46);
        dword(1);
        dword(1 | 2);
        text(address);
        text("127.0.0.1");
        text("");
        blob.append(32, '\0');
        HKEY key;
        EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kConnections, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExW(key, L"DefaultConnectionSettings", 0, REG_BINARY,
                                 reinterpret_cast<const BYTE*>(blob.data()), static_cast<DWORD>(blob.size())),
                  ERROR_SUCCESS);
        RegCloseKey(key);
#else
        setenv("http_proxy", ("http://" + address).c_str(), 1);
        setenv("https_proxy", ("http://" + address).c_str(), 1);
#endif
    }
    ~SystemProxy() {
#ifdef _WIN32
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kConnections, L"DefaultConnectionSettings");
#else
        unsetenv("http_proxy");
        unsetenv("https_proxy");
#endif
    }

private:
#ifdef _WIN32
    static constexpr const wchar_t* kConnections =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
#endif
};

// Fault: the proxy the player configured is ignored (behind one, nothing
// downloads), or one that refuses the connection is reported as a failed
// request. Through tinyproxy, which names itself in a Via header.
TEST(TlsTransfer, RequestsGoThroughTheSystemsProxy) {
    std::map<std::string, std::string> servers = test::testServers();
    ASSERT_TRUE(servers.count("proxy") && servers.count("valid")) << "KIV_TLS_SERVERS names no proxy";
    HttpServer plain;
    std::string problem;
    ASSERT_TRUE(plain.start(problem)) << problem;
    plain.setRoute("/p.bin", {.body = "plain"});
    TransferOptions options;
#ifndef _WIN32
    options.caFile = servers["ca"];
#endif
    const std::string file = test::readFile(toPath(utf8ToWide(servers["root"])) / "file.bin");
    // "localhost", as 127.0.0.1 is exempt from the proxy.
    const std::string plainUrl = "http://localhost:" + std::to_string(plain.port()) + "/p.bin";
    const struct {
        std::string proxy, url, outcome;
        bool via;  // the plain server saw the request come through the proxy
    } cases[] = {
        {servers["proxy"], plainUrl, "plain", true},
        {servers["proxy"], "https://localhost:" + servers["valid"] + "/file.bin", file, false},
        {"1", plainUrl, "!" + wideToUtf8(kProxyRefused), false},  // a closed port
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        SystemProxy proxy("127.0.0.1:" + c.proxy);
        const std::size_t before = plain.requests().size();
        std::string body;
        std::wstring error;
        EXPECT_EQ(httpGetToMemory(utf8ToWide(c.url), body, error, options) ? body : wideToUtf8(L"!" + error),
                  c.outcome);
        const std::vector<SeenRequest> seen = plain.requests();
        EXPECT_EQ(seen.size() > before && seen.back().header("Via").find("tinyproxy") != std::string::npos, c.via);
    }
}

}  // namespace
}  // namespace kiv
