#include "tools/kivtool.h"

#include "base/base.h"
#include "update/update.h"

namespace kiv::tool {

int versionCommand(const Args& args) {
    if (args.size() == 2 && args[0] == L"get") {
        if (!isExistingDirectory(args[1])) return fail(L"No such installation directory: " + args[1] + L".");
        out(std::to_wstring(readInstalledVersion(toPath(args[1]))) + L"\n");
        return kExitOk;
    }
    std::int32_t version = 0;
    if (args.size() == 3 && args[0] == L"set" && parseInt32(args[2], version)) {
        std::filesystem::path directory = toPath(args[1]);
        if (!writeInstalledVersion(directory, version)) return fail(L"Could not write kiv.ver.");
        return kExitOk;
    }
    return kExitUsage;
}

}  // namespace kiv::tool
