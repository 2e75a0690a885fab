#include "tests/client_process.h"

#ifndef _WIN32
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace kiv::test {

ClientProcess::ClientProcess(const std::filesystem::path& directory) {
#ifdef _WIN32
    // The stand-in client is built beside the test programs.
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    auto program = directory / L"KIV.EXE";
    std::filesystem::copy_file(std::filesystem::path(self).parent_path() / L"fake_client.exe", program);
    std::wstring command = L"\"" + program.wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    started_ = CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &startup, &process_) != 0;
    if (started_) WaitForInputIdle(process_.hProcess, 10000);
#else
    auto program = directory / "KIV.EXE";
    std::filesystem::copy_file("/bin/sleep", program);
    pid_ = fork();
    if (pid_ == 0) {
        execl(program.c_str(), "KIV.EXE", "60", static_cast<char*>(nullptr));
        _exit(127);
    }
    started_ = pid_ > 0;
#endif
}

ClientProcess::~ClientProcess() { stop(); }

void ClientProcess::stop() {
    if (!started_) return;
#ifdef _WIN32
    TerminateProcess(process_.hProcess, 0);
    WaitForSingleObject(process_.hProcess, 10000);
    CloseHandle(process_.hProcess);
    CloseHandle(process_.hThread);
#else
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
#endif
    started_ = false;
}

}  // namespace kiv::test
