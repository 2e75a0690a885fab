#include "update/update.h"

#include <cerrno>
#include <climits>
#include <string>
#include <string_view>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "base/base.h"

namespace kiv {

namespace {

bool isClientName(const std::string& name) { return equalsIgnoringCase(utf8ToWide(name), L"kiv.exe"); }

// The last element of an executable's path.
std::string_view baseName(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool executableIsClient(int procDirectory, const std::string& pid) {
    char target[PATH_MAX];
    const ssize_t length = ::readlinkat(procDirectory, (pid + "/exe").c_str(), target, sizeof target);
    if (length <= 0) return false;
    if (static_cast<std::size_t>(length) < sizeof target) {
        return isClientName(std::string(baseName(std::string_view(target, static_cast<std::size_t>(length)))));
    }
    // A target that fills the buffer may be cut short: read it whole.
    std::error_code linkError;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/" + pid + "/exe", linkError);
    return !linkError && isClientName(executable.filename().string());
}

bool runsUnderClientName(int procDirectory, const std::string& pid) {
    const int fd = ::openat(procDirectory, (pid + "/comm").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    // A task name is at most 64 bytes and a line feed.
    char text[256];
    ssize_t length;
    do {
        length = ::read(fd, text, sizeof text);
    } while (length < 0 && errno == EINTR);
    ::close(fd);
    if (length <= 0) return false;
    const std::string_view content(text, static_cast<std::size_t>(length));
    return isClientName(std::string(content.substr(0, content.find('\n'))));
}

}  // namespace

bool isClientRunning() {
    // A process counts when its executable, or the name it runs under (a
    // Windows client started through a compatibility layer keeps its own
    // name there), is kiv.exe in any letter case. The update run asks before
    // every file, so the scan uses the plain system calls: a few per process.
    DIR* processes = ::opendir("/proc");
    if (!processes) return false;
    const int procDirectory = ::dirfd(processes);
    bool running = false;
    while (!running) {
        const dirent* entry = ::readdir(processes);
        if (!entry) break;
        const std::string pid = entry->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
        running = executableIsClient(procDirectory, pid) || runsUnderClientName(procDirectory, pid);
    }
    ::closedir(processes);
    return running;
}

}  // namespace kiv
