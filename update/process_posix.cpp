#include "update/update.h"

#include <cwctype>
#include <fstream>
#include <string>
#include <system_error>

#include "base/base.h"

namespace kiv {

namespace {

bool equalsIgnoreCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::towlower(a[i]) != std::towlower(b[i])) return false;
    }
    return true;
}

bool isClientName(const std::string& name) { return equalsIgnoreCase(utf8ToWide(name), L"kiv.exe"); }

}  // namespace

bool isClientRunning() {
    // A process counts when its executable, or the name it runs under (a
    // Windows client started through a compatibility layer keeps its own
    // name there), is kiv.exe in any letter case.
    std::error_code error;
    std::filesystem::directory_iterator processes("/proc", error);
    if (error) return false;
    for (const auto& entry : processes) {
        const std::string pid = entry.path().filename().string();
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code linkError;
        std::filesystem::path executable = std::filesystem::read_symlink(entry.path() / "exe", linkError);
        if (!linkError && isClientName(executable.filename().string())) return true;
        std::ifstream comm(entry.path() / "comm");
        std::string name;
        if (std::getline(comm, name) && isClientName(name)) return true;
    }
    return false;
}

}  // namespace kiv
