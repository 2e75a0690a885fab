// The transfers over TLS against nginx with certificates from a private test
// CA (tests/tls_servers.sh, started by CTest). Natively the CA is given as a
// CA file; on Windows it sits in the machine's root store, put there by
// trust_test_ca, so that WinHTTP checks the servers with its own rules.
#include "net/http.h"

#include "base/base.h"
#include "tools/loopback_server/loopback_server.h"
#include "tests/support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>

namespace kiv {
namespace {

using namespace std::chrono_literals;

// A refused certificate, or a redirect from https down to http, fails at
// once (never retried), for both transfers.
TEST(TlsTransfer, OnlyTrustedServersAreRead) {
    // The "name=value" lines of the file that KIV_TLS_SERVERS names.
    std::map<std::string, std::string> servers;
    if (const char* list = std::getenv("KIV_TLS_SERVERS")) {
        std::ifstream in(toPath(utf8ToWide(list)));
        for (std::string name, value; std::getline(in, name, '=') && std::getline(in, value);) servers[name] = value;
    }
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
    HttpRoute up;
    up.status = 302;
    up.location = wideToUtf8(https("valid", "/file.bin"));
    plain.setRoute("/up.bin", up);

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

}  // namespace
}  // namespace kiv
