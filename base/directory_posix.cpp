#include "base/base.h"

#include <system_error>

namespace kiv {

std::filesystem::path launcherProgramPath() {
    std::error_code error;
    std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return executable;
}

std::filesystem::path launcherDirectory() { return launcherProgramPath().parent_path(); }

}  // namespace kiv
