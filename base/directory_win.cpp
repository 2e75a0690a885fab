#include "base/base.h"

#include <windows.h>

#include <vector>

namespace kiv {

namespace {

// The path with every element in its long form: a program started through
// an 8.3 short name ("KIV_LA~1.EXE") must still know itself by the name the
// lists use. The path as given when it has no long form to offer.
std::filesystem::path longForm(const std::wstring& path) {
    std::vector<wchar_t> buffer(path.size() + 1);
    for (;;) {
        const DWORD length = GetLongPathNameW(path.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return std::filesystem::path(path);
        if (length < buffer.size()) return std::filesystem::path(std::wstring(buffer.data(), length));
        buffer.resize(length);
    }
}

}  // namespace

std::filesystem::path launcherProgramPath() {
    // Grow the buffer until the whole module path fits: a path longer than
    // the classic 260 characters must not be cut silently.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        if (length < buffer.size()) return longForm(std::wstring(buffer.data(), length));
        if (buffer.size() >= 32768) return {};
        buffer.resize(buffer.size() * 2);
    }
}

std::filesystem::path launcherDirectory() { return launcherProgramPath().parent_path(); }

}  // namespace kiv
