// A running process named KIV.EXE that passes for the game client: a copy of
// the stand-in client under Windows, a copy of a harmless program elsewhere.
#pragma once

#include <filesystem>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/types.h>
#endif

namespace kiv::test {

class ClientProcess {
public:
    // Copies the program into `directory` as KIV.EXE and starts it there.
    explicit ClientProcess(const std::filesystem::path& directory);
    ~ClientProcess();
    ClientProcess(const ClientProcess&) = delete;
    ClientProcess& operator=(const ClientProcess&) = delete;

    bool started() const { return started_; }
    // Ends the process and waits until it is gone.
    void stop();

private:
    bool started_ = false;
#ifdef _WIN32
    PROCESS_INFORMATION process_{};
#else
    pid_t pid_ = -1;
#endif
};

}  // namespace kiv::test
