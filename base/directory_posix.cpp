#include "base/base.h"

#include <system_error>

namespace kiv {

std::filesystem::path launcherDirectory() {
    std::error_code error;
    std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return executable.parent_path();
}

}  // namespace kiv
