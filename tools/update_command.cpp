#include "tools/console_reporter.h"
#include "tools/kivtool.h"

#include "update/update.h"

namespace kiv::tool {

int updateCommand(const Args& args) {
    if (args.empty() || args[0].starts_with(L"--")) return kExitUsage;
    std::wstring base = patchBaseUrl();
    UpdateOptions options{.releasePublicKey = builtInReleasePublicKey()};
    for (std::size_t i = 1; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) return kExitUsage;
        if (args[i] == L"--base") {
            base = args[i + 1];
            if (base.empty() || base.back() != L'/') base += L'/';
        } else if (args[i] == L"--public-key") {
            std::wstring error;
            if (!readTextFile(args[i + 1], options.releasePublicKey, error)) return fail(error);
            crypto::P256Point point;
            if (!crypto::parseP256PublicKeyPem(options.releasePublicKey, point)) {
                return fail(L"Not a P-256 public key: " + args[i + 1] + L".");
            }
        } else if (args[i] == L"--ca-file") {
            if (!caFileUsable(args[i + 1])) return kExitFailed;
            options.caFile = toPath(args[i + 1]);
        } else {
            return kExitUsage;
        }
    }
    const std::filesystem::path installation = toPath(args[0]);
    if (!isExistingDirectory(args[0])) return fail(L"No such installation directory: " + args[0] + L".");

    // The run goes on from what the check fetched, as the launcher's does
    // when the player presses Update at once.
    ServerVisit visit;
    options.visit = &visit;
    ConsoleReporter reporter;
    runVersionCheck(installation, base, reporter, options);
    // The run decides for itself; only its own finish counts as success.
    reporter.setClientReady(false);
    runUpdate(installation, base, reporter, options);
    return reporter.clientReady() && !reporter.showedMessage() ? kExitOk : kExitFailed;
}

}  // namespace kiv::tool
