// The application shell's small services: where the installation is, what
// the window title says, and (on Windows) the saved window position.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace kiv {

// The directory of the running executable: the installation directory, root
// of every file the launcher reads or writes. Empty if the module path cannot
// be read.
std::filesystem::path launcherDirectory();
// The running executable itself; empty if the module path cannot be read.
std::filesystem::path launcherProgramPath();

// "KIV Client Ver. 57" for an installed version, "KIV Launcher" below 1.
std::wstring formatWindowTitle(std::int32_t version);

#ifdef _WIN32

// Registry key under HKEY_CURRENT_USER that keeps the window position.
inline constexpr const wchar_t* kLauncherRegistryKey = L"Software\\Kobalune\\KIV Launcher";

// True only for a REG_DWORD value of exactly four bytes.
bool readDwordValue(HKEY key, const wchar_t* name, std::int32_t& value);

// The stored position when it is still usable on a monitor, otherwise
// CW_USEDEFAULT for both coordinates.
POINT loadSavedPosition(int outerWidth, int outerHeight);

// Whether at least min(80, width) x min(80, height) pixels of `rect` lie in
// the work area of the monitor it is mostly on.
bool isPlacementVisible(const RECT& rect);

// Stores the restored rectangle's left and top when that rectangle is visible
// enough, then destroys the window. The only way the launcher window closes.
void saveWindowPositionAndClose(HWND window);

#endif

}  // namespace kiv
