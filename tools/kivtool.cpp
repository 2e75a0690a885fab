#include "tools/kivtool.h"

#include "base/base.h"
#include "net/http.h"

#include <cstdio>
#include <cstdint>
#include <exception>
#include <fstream>
#include <iterator>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

namespace kiv::tool {

namespace {

void write(std::FILE* stream, std::wstring_view text) {
    std::string bytes = wideToUtf8(text);
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
}

struct Group {
    const wchar_t* name;
    int (*run)(const Args&);
    const wchar_t* synopsis;
};

const Group kGroups[] = {
    {L"version", versionCommand, L"version get DIR | version set DIR N"},
    {L"list", listCommand, L"list show FILE VERSION [--base URL]"},
    {L"fetch", fetchCommand, L"fetch URL [FILE] [--ca-file CA.pem]"},
    {L"archive", archiveCommand,
     L"archive create HED | archive list HED | archive put HED NAME FILE | archive get HED NAME [OUT]"},
    {L"patch", patchCommand,
     L"patch show FILE | patch pack OUT.npatch --archive PATH [--name NAME=FILE]... [FILE]... | "
     L"patch convert IN.cab OUT.npatch | patch apply PATCHDIR INSTALLDIR"},
    {L"update", updateCommand, L"update DIR [--base URL] [--public-key PUBLIC.pem] [--ca-file CA.pem]"},
    {L"serve", serveCommand, L"serve ROOT [--port N]"},
    {L"keygen", keygenCommand, L"keygen PRIVATE.pem PUBLIC.pem"},
    {L"publish", publishCommand,
     L"publish OLD NEW ROOT --version N [--key PRIVATE.pem] [--include NAME=FILE]..."},
    {L"verify", verifyCommand, L"verify ROOT/N [--public-key PUBLIC.pem]"},
};

// The most memory the process has held: the peak working set on Windows,
// the peak resident set elsewhere.
double peakMemoryMiB() {
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return -1;
    return static_cast<double>(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
#else
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
#endif
}

void printCommands(void (*print)(std::wstring_view)) {
    print(L"usage: kivtool COMMAND ...   (kivtool COMMAND --help for one command)\ncommands:\n");
    for (const Group& group : kGroups) {
        print(L"  ");
        print(group.synopsis);
        print(L"\n");
    }
    print(L"  --peak-memory COMMAND ...   (runs COMMAND, then prints the most memory it held)\n");
    print(L"  --proxy URL COMMAND ...   (sends COMMAND's transfers through this proxy, not the system's)\n");
}

int runCommand(const Args& args) {
    if (args.size() == 1 && (args[0] == L"--help" || args[0] == L"-h" || args[0] == L"help")) {
        printCommands(out);
        return kExitOk;
    }
    if (!args.empty()) {
        for (const Group& group : kGroups) {
            if (args[0] != group.name) continue;
            for (std::size_t i = 1; i < args.size(); ++i) {
                if (args[i] == L"--help" || args[i] == L"-h") {
                    out(L"usage: kivtool ");
                    out(group.synopsis);
                    out(L"\n");
                    return kExitOk;
                }
            }
            // Whatever a command did not foresee ends it with a message, not
            // with the runtime's abort. The command and its first word
            // ("kivtool: patch apply failed unexpectedly") say what failed.
            std::wstring failed = args[0];
            if (args.size() > 1) failed += L" " + args[1];
            failed += L" failed unexpectedly";
            try {
                return group.run(Args(args.begin() + 1, args.end()));
            } catch (const std::exception& exception) {
                return fail(failed + L": " + utf8ToWide(exception.what()) + L".");
            } catch (...) {
                return fail(failed + L".");
            }
        }
        err(L"kivtool: unknown command: " + args[0] + L"\n");
    }
    printCommands(err);
    return kExitUsage;
}

// "--peak-memory COMMAND ..." runs the command, then reports on standard
// error the most memory it held (for the benchmarks).
int run(const Args& args) {
    if (args.size() >= 2 && args[0] == L"--proxy") {
        setHttpProxy(args[1]);
        return run(Args(args.begin() + 2, args.end()));
    }
    if (args.empty() || args[0] != L"--peak-memory") return runCommand(args);
    const int status = runCommand(Args(args.begin() + 1, args.end()));
    char line[64];
    std::snprintf(line, sizeof line, "peak memory: %.1f MiB\n", peakMemoryMiB());
    err(utf8ToWide(line));
    return status;
}

}  // namespace

void out(std::wstring_view text) { write(stdout, text); }
void err(std::wstring_view text) { write(stderr, text); }

bool outBytes(std::string_view bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() && std::fflush(stdout) == 0;
}

int fail(std::wstring_view message) {
    err(L"kivtool: ");
    err(message);
    err(L"\n");
    return kExitFailed;
}

bool takeOption(Args& args, std::wstring_view name, std::wstring& value) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] != name) continue;
        if (i + 1 == args.size()) return false;
        value = args[i + 1];
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
        return true;
    }
    return true;
}

bool caFileUsable(const std::wstring& caFile) {
#ifdef _WIN32
    if (!caFile.empty()) {
        err(L"kivtool: --ca-file is not available on Windows: add the authority to the system's certificate store.\n");
        return false;
    }
#endif
    (void)caFile;
    return true;
}

int usage(std::wstring_view synopsis) {
    err(L"kivtool: wrong arguments\nusage: kivtool ");
    err(synopsis);
    err(L"\n");
    return kExitUsage;
}

bool isExistingDirectory(std::wstring_view path) {
    std::error_code failed;
    return std::filesystem::is_directory(toPath(path), failed);
}

bool readTextFile(std::wstring_view path, std::string& text, std::wstring& error) {
    std::ifstream in(toPath(path), std::ios::binary);
    if (in) text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) {
        error = L"Could not read " + std::wstring(path) + L".";
        return false;
    }
    return true;
}

bool parseInt32(std::wstring_view text, std::int32_t& value) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == L'-' || text[i] == L'+')) negative = text[i++] == L'-';
    if (i == text.size()) return false;
    std::int64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < L'0' || text[i] > L'9') return false;
        magnitude = magnitude * 10 + (text[i] - L'0');
        if (magnitude > 2147483648LL) return false;
    }
    std::int64_t result = negative ? -magnitude : magnitude;
    if (result > INT32_MAX) return false;
    value = static_cast<std::int32_t>(result);
    return true;
}

}  // namespace kiv::tool

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    // Output is UTF-8 bytes (and raw item data): no newline translation.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    kiv::tool::Args args(argv + 1, argv + argc);
    return kiv::tool::run(args);
}
#else
int main(int argc, char** argv) {
    kiv::tool::Args args;
    for (int i = 1; i < argc; ++i) args.push_back(kiv::utf8ToWide(argv[i]));
    return kiv::tool::run(args);
}
#endif
