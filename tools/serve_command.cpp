#include "tools/loopback_server/loopback_server.h"
#include "tools/kivtool.h"

#include "base/base.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace kiv::tool {

int serveCommand(const Args& args) {
    std::int32_t port = 0;
    if (args.size() == 3) {
        if (args[1] != L"--port" || !parseInt32(args[2], port) || port < 1 || port > 65535) return kExitUsage;
    } else if (args.size() != 1) {
        return kExitUsage;
    }
    const std::filesystem::path root = toPath(args[0]);
    std::error_code error;
    if (!std::filesystem::is_directory(root, error)) return fail(L"Not a directory: " + args[0] + L".");

    HttpServer server(root);
    std::string message;
    if (!server.start(message, static_cast<std::uint16_t>(port))) return fail(utf8ToWide(message));
    // The patch server's versions live in ROOT/kiv/<N>/.
    out(server.wideUrl("/kiv/") + L"\n");
    std::fflush(stdout);
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace kiv::tool
