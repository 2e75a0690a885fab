#include "tools/kivtool.h"

#include "base/base.h"
#include "net/http.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <new>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace kiv::tool {

namespace {

using Clock = std::chrono::steady_clock;

bool stderrIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

std::wstring formatBytes(double bytes) {
    const wchar_t* units[] = {L"B", L"KiB", L"MiB", L"GiB", L"TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    wchar_t text[32];
    std::swprintf(text, 32, unit == 0 ? L"%.0f %ls" : L"%.1f %ls", bytes, units[unit]);
    return text;
}

// Shows a download's progress on standard error: one line redrawn in place on
// a terminal, a plain line now and then otherwise (logs, pipes).
class ProgressBar {
public:
    ProgressBar() : terminal_(stderrIsTerminal()), start_(Clock::now()), lastShown_(start_) {}

    void update(std::uint64_t received, std::uint64_t total) {
        received_ = received;
        total_ = total;
        auto now = Clock::now();
        auto interval = terminal_ ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1000);
        if (now - lastShown_ < interval) return;
        lastShown_ = now;
        show(now);
    }

    // The last state, once the transfer has ended (whatever its outcome).
    void finish() {
        if (received_ == 0 && !shown_) return;
        show(Clock::now());
        if (terminal_) err(L"\n");
    }

private:
    void show(Clock::time_point now) {
        double seconds = std::chrono::duration<double>(now - start_).count();
        std::wstring line;
        if (total_ != 0) {
            wchar_t percent[16];
            std::swprintf(percent, 16, L"%3d%%  ", static_cast<int>(received_ * 100.0 / static_cast<double>(total_)));
            line += percent;
            line += formatBytes(static_cast<double>(received_)) + L" of " + formatBytes(static_cast<double>(total_));
        } else {
            line += formatBytes(static_cast<double>(received_));
        }
        if (seconds > 0) line += L"  " + formatBytes(static_cast<double>(received_) / seconds) + L"/s";
        if (terminal_) {
            err(L"\r" + line + L"    ");
        } else {
            err(line + L"\n");
        }
        shown_ = true;
    }

    bool terminal_;
    Clock::time_point start_;
    Clock::time_point lastShown_;
    std::uint64_t received_ = 0;
    std::uint64_t total_ = 0;
    bool shown_ = false;
};

}  // namespace

int fetchCommand(const Args& given) {
    Args args = given;
    std::wstring caFile;
    if (!takeOption(args, L"--ca-file", caFile) || args.empty() || args.size() > 2) return kExitUsage;
    if (!caFileUsable(caFile)) return kExitFailed;
    TransferOptions options;
    options.caFile = toPath(caFile);
    std::wstring error;
    if (args.size() == 1) {
        std::string body;
        if (!httpGetToMemory(args[0], body, error, options)) return fail(error);
        if (!outBytes(body)) return fail(L"Could not write to standard output.");
        return kExitOk;
    }

    ProgressBar bar;
    bool ok = false;
    try {
        ok = httpGetToFile(
            args[0], toPath(args[1]),
            [&bar](std::uint64_t received, std::uint64_t total) { bar.update(received, total); }, error, options);
    } catch (const std::filesystem::filesystem_error& e) {
        bar.finish();
        return fail(utf8ToWide(e.what()));
    } catch (const std::bad_alloc&) {
        bar.finish();
        return fail(L"Out of memory.");
    }
    bar.finish();
    if (!ok) return fail(error);
    return kExitOk;
}

}  // namespace kiv::tool
