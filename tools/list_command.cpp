#include "tools/kivtool.h"

#include "base/base.h"
#include "update/update.h"

#include <fstream>
#include <iterator>

namespace kiv::tool {

int listCommand(const Args& args) {
    std::int32_t version = 0;
    if ((args.size() != 3 && args.size() != 5) || args[0] != L"show" || !parseInt32(args[2], version)) {
        return kExitUsage;
    }
    std::wstring base = patchBaseUrl();
    if (args.size() == 5) {
        if (args[3] != L"--base") return kExitUsage;
        base = args[4];
    }
    std::ifstream file(toPath(args[1]), std::ios::binary);
    if (!file) return fail(L"Could not read download list.");
    std::string body((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) return fail(L"Could not read download list.");

    for (const std::wstring& entry : parseDownloadList(body)) {
        std::wstring relative = relativeEntryPath(entry);
        std::wstring line = entry + L"\t" + relative + L"\t" + buildPatchUrl(version, entry, base);
        // The launcher's own rule, so that the operator sees what it would refuse.
        if (isUnsafeListEntry(entry)) line += L"\tunsafe";
        out(line + L"\n");
    }
    return kExitOk;
}

}  // namespace kiv::tool
