// A child process of a test, ended by force when the object goes if it still
// runs: a stand-in for the game client named KIV.EXE (a copy of the stand-in
// client under Windows, a copy of a harmless program elsewhere), or, under
// Windows, a program of its own such as the launcher.
#pragma once

#include <filesystem>

#ifdef _WIN32
#include <windows.h>

#include <optional>
#else
#include <sys/types.h>
#endif

namespace kiv::test {

class ClientProcess {
public:
    // Copies the stand-in into `directory` as KIV.EXE and starts it there.
    explicit ClientProcess(const std::filesystem::path& directory);
#ifdef _WIN32
    // Starts `program` with `workingDirectory` as its current directory.
    ClientProcess(const std::filesystem::path& program, const std::filesystem::path& workingDirectory);
    // The exit code, or nothing when the process has not ended within `limitMs`.
    std::optional<DWORD> exitCode(DWORD limitMs) const;

    PROCESS_INFORMATION process{};
#endif
    ~ClientProcess();
    ClientProcess(const ClientProcess&) = delete;
    ClientProcess& operator=(const ClientProcess&) = delete;

#ifndef _WIN32
private:
    pid_t pid_ = -1;
#endif
};

}  // namespace kiv::test
