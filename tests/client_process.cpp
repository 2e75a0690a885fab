#include "tests/client_process.h"

#include "base/base.h"

#ifndef _WIN32
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#endif

namespace kiv::test {

#ifdef _WIN32
namespace {
// The stand-in client is built beside the test programs.
std::filesystem::path copyStandIn(const std::filesystem::path& directory) {
    std::filesystem::copy_file(launcherDirectory() / "fake_client.exe", directory / "KIV.EXE");
    return directory / "KIV.EXE";
}
}  // namespace

ClientProcess::ClientProcess(const std::filesystem::path& directory) : ClientProcess(copyStandIn(directory), {}) {
    WaitForInputIdle(process.hProcess, 10000);
}

ClientProcess::ClientProcess(const std::filesystem::path& program, const std::filesystem::path& workingDirectory) {
    std::wstring command = L"\"" + program.wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                   workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup, &process);
}

std::optional<DWORD> ClientProcess::exitCode(DWORD limitMs) const {
    DWORD code = 0;
    if (WaitForSingleObject(process.hProcess, limitMs) != WAIT_OBJECT_0) return std::nullopt;
    GetExitCodeProcess(process.hProcess, &code);
    return code;
}

ClientProcess::~ClientProcess() {
    if (process.hProcess == nullptr) return;
    if (!exitCode(0)) TerminateProcess(process.hProcess, 99);
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
}
#else
ClientProcess::ClientProcess(const std::filesystem::path& directory) {
    const auto program = directory / "KIV.EXE";
    std::filesystem::copy_file("/bin/sleep", program);
    char* arguments[] = {const_cast<char*>("KIV.EXE"), const_cast<char*>("60"), nullptr};
    if (posix_spawn(&pid_, program.c_str(), nullptr, nullptr, arguments, nullptr) != 0) pid_ = -1;
}

ClientProcess::~ClientProcess() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}
#endif

}  // namespace kiv::test
