#include "tests/client_process.h"

#include "base/base.h"

#ifndef _WIN32
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#endif

namespace kiv::test {

ClientProcess::ClientProcess(const std::filesystem::path& directory) {
    const auto program = directory / "KIV.EXE";
#ifdef _WIN32
    // The stand-in client is built beside the test programs.
    std::filesystem::copy_file(launcherDirectory() / "fake_client.exe", program);
    std::wstring command = L"\"" + program.wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    started_ = CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &startup, &process_) != 0;
    if (started_) WaitForInputIdle(process_.hProcess, 10000);
#else
    std::filesystem::copy_file("/bin/sleep", program);
    char* arguments[] = {const_cast<char*>("KIV.EXE"), const_cast<char*>("60"), nullptr};
    started_ = posix_spawn(&pid_, program.c_str(), nullptr, nullptr, arguments, nullptr) == 0;
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
