// An installation of version 57 and a loopback patch server for it, shared
// by the update engine's tests.
#pragma once

#include "tests/support.h"
#include "tools/http_server.h"

#include <gtest/gtest.h>

#include <string>

namespace kiv::test {

class InstallationWithServer : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server.start(error)) << error;
        base = server.wideUrl("/kiv/");
        writeFile(install / "kiv.exe", "client 57");
        writeFile(install / "kiv.ver", "57\r\n");
    }

    TempDir install;
    TempDir serverRoot;
    HttpServer server{serverRoot.path()};
    std::wstring base;
};

}  // namespace kiv::test
