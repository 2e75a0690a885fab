// The transfers over TLS against nginx with certificates from a private test
// CA (tests/tls_servers.sh, started by CTest). Natively the CA is given as a
// CA file; on Windows it sits in the machine's root store, put there by
// trust_test_ca, so that WinHTTP checks the servers with its own rules.
#include "net/http.h"

#include "base/base.h"
#include "tools/http_server.h"
#include "tests/support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>

namespace kiv {
namespace {

using test::TempDir;

// The "name=value" lines of the file that KIV_TLS_SERVERS names.
std::map<std::string, std::string> readServers() {
    std::map<std::string, std::string> values;
    const char* list = std::getenv("KIV_TLS_SERVERS");
    if (list == nullptr) return values;
    std::ifstream in(toPath(utf8ToWide(list)));
    std::string line;
    while (std::getline(in, line)) {
        if (std::size_t equals = line.find('='); equals != std::string::npos) {
            values[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return values;
}

class TlsTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        servers = readServers();
        ASSERT_TRUE(servers.count("valid") && servers.count("ca")) << "KIV_TLS_SERVERS names no server list";
#ifndef _WIN32
        options.caFile = servers["ca"];
#endif
        options.retryDelays = {std::chrono::milliseconds(10), std::chrono::milliseconds(10),
                               std::chrono::milliseconds(10)};
        options.retryNotice = [this](int retry) {
            if (retry > 0) ++retries;
        };
        expected = test::readFile(toPath(utf8ToWide(servers["root"])) / "file.bin");
    }

    std::wstring https(const std::string& server, std::string_view path) {
        return utf8ToWide("https://127.0.0.1:" + servers[server] + std::string(path));
    }

    std::map<std::string, std::string> servers;
    TransferOptions options;
    int retries = 0;
    std::string expected;
    TempDir work;
};

TEST_F(TlsTransfer, TrustedCertificate_FetchesIntoMemoryAndFile) {
    std::string body;
    std::wstring error;
    ASSERT_TRUE(httpGetToMemory(https("valid", "/file.bin"), body, error, options)) << wideToUtf8(error);
    EXPECT_EQ(body, expected);
    ASSERT_TRUE(httpGetToFile(https("valid", "/file.bin"), work / "f.bin", {}, error, options)) << wideToUtf8(error);
    EXPECT_EQ(test::readFile(work / "f.bin"), expected);
}

TEST_F(TlsTransfer, RefusedCertificates_FailAtOnceAndTouchNoFile) {
    std::vector<std::string> refused = {"expired", "wronghost", "unknownca"};
#ifndef _WIN32
    // The CA file replaces the system's store rather than being ignored.
    TransferOptions systemStore = options;
    systemStore.caFile.clear();
    std::string body;
    std::wstring error;
    EXPECT_FALSE(httpGetToMemory(https("valid", "/file.bin"), body, error, systemStore));
#endif
    for (const std::string& server : refused) {
        SCOPED_TRACE(server);
        std::string body;
        std::wstring error;
        EXPECT_FALSE(httpGetToMemory(https(server, "/file.bin"), body, error, options));
        EXPECT_EQ(error, L"HTTP request failed.");
        error.clear();
        EXPECT_FALSE(httpGetToFile(https(server, "/file.bin"), work / "d" / "f.bin", {}, error, options));
        EXPECT_EQ(error, L"HTTP request failed.");
        EXPECT_FALSE(std::filesystem::exists(work / "d"));
        EXPECT_EQ(retries, 0);
    }
}

TEST_F(TlsTransfer, Redirects_FromHttpsToHttpRefusedFromHttpToHttpsFollowed) {
    std::wstring error;
    EXPECT_FALSE(httpGetToFile(https("valid", "/down.bin"), work / "d" / "down.bin", {}, error, options));
    EXPECT_EQ(error, L"HTTP request failed.");
    EXPECT_FALSE(std::filesystem::exists(work / "d"));
    EXPECT_EQ(retries, 0);

    HttpServer plain;
    std::string problem;
    ASSERT_TRUE(plain.start(problem)) << problem;
    HttpRoute up;
    up.status = 302;
    up.location = "https://127.0.0.1:" + servers["valid"] + "/file.bin";
    plain.setRoute("/up.bin", up);
    error.clear();
    ASSERT_TRUE(httpGetToFile(plain.wideUrl("/up.bin"), work / "up.bin", {}, error, options)) << wideToUtf8(error);
    EXPECT_EQ(test::readFile(work / "up.bin"), expected);
}

}  // namespace
}  // namespace kiv
