#include "tools/console_reporter.h"
#include "tools/kivtool.h"

#include "update/update.h"

namespace kiv::tool {

int updateCommand(const Args& given) {
    const wchar_t* synopsis = L"update DIR [--base URL] [--ca-file CA.pem]";
    Args args = given;
    std::wstring caFile;
    if (!takeOption(args, L"--ca-file", caFile)) return usage(synopsis);
    if (args.size() != 1 && args.size() != 3) return usage(synopsis);
    if (!caFileUsable(caFile)) return kExitFailed;
    UpdateOptions options;
    options.caFile = toPath(caFile);
    std::wstring base = patchBaseUrl();
    if (args.size() == 3) {
        if (args[1] != L"--base") return usage(synopsis);
        base = args[2];
        if (base.empty() || base.back() != L'/') base += L'/';
    }
    const std::filesystem::path installation = toPath(args[0]);

    ConsoleReporter reporter;
    runVersionCheck(installation, base, reporter, options);
    // The run decides for itself; only its own finish counts as success.
    reporter.setClientReady(false);
    runUpdate(installation, base, reporter, options);
    return reporter.clientReady() && !reporter.showedMessage() ? kExitOk : kExitFailed;
}

}  // namespace kiv::tool
