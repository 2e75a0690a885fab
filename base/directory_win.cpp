#include "base/base.h"

#include <windows.h>

#include <vector>

namespace kiv {

std::filesystem::path launcherProgramPath() {
    // Grow the buffer until the whole module path fits: a path longer than
    // the classic 260 characters must not be cut silently.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        if (length < buffer.size()) {
            return std::filesystem::path(std::wstring(buffer.data(), length));
        }
        if (buffer.size() >= 32768) return {};
        buffer.resize(buffer.size() * 2);
    }
}

std::filesystem::path launcherDirectory() { return launcherProgramPath().parent_path(); }

}  // namespace kiv
