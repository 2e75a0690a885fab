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

// One command group: its synopsis is the line `kivtool --help` lists and the
// usage line of a wrong call; `kivtool NAME --help` adds what it does and
// what each option means.
struct Group {
    const wchar_t* name;
    int (*run)(const Args&);
    const wchar_t* synopsis;
    const wchar_t* help;
};

const Group kGroups[] = {
    {L"version", versionCommand, L"version get DIR | version set DIR N",
     L"Reads or records the version of the installation DIR, kept in DIR\\kiv.ver.\n"
     L"  get DIR     prints the installed version\n"
     L"  set DIR N   records version N, replacing kiv.ver in one step\n"},
    {L"list", listCommand, L"list show FILE VERSION [--base URL]",
     L"Reads the download list FILE (a dl_list.txt) of version VERSION as the launcher does and prints one\n"
     L"line per entry: the entry, the path it installs to, and the address it is fetched from, followed by\n"
     L"\"unsafe\" when the launcher would refuse it.\n"
     L"  --base URL   the patch server's base address (default: the built-in one)\n"},
    {L"fetch", fetchCommand, L"fetch URL [FILE] [--ca-file CA.pem]",
     L"Downloads URL as the launcher does: to standard output, or into FILE (its folders made) with a\n"
     L"progress bar, retrying an interrupted transfer and resuming it where the server allows.\n"
     L"  --ca-file CA.pem   also trust this certificate authority (PEM) for https; not on Windows, where\n"
     L"                     the system's certificate store decides\n"},
    {L"archive", archiveCommand,
     L"archive create HED | archive list HED | archive put HED NAME FILE | archive get HED NAME [OUT]",
     L"Works on an archive pair: HED names the .hed (the item table); the .dat beside it holds the data.\n"
     L"  create HED          makes an empty pair\n"
     L"  list HED            prints each item: index, name, data offset, stored-size word, size\n"
     L"  put HED NAME FILE   stores the bytes of FILE as item NAME, replacing an item of that name\n"
     L"  get HED NAME [OUT]  writes item NAME to OUT, or to standard output\n"},
    {L"patch", patchCommand,
     L"patch show FILE | patch pack OUT.npatch --archive PATH [--name NAME=FILE]... [FILE]... | "
     L"patch convert IN.cab OUT.npatch | patch apply PATCHDIR INSTALLDIR",
     L"Reads, makes and applies patch files: .npatch packages and legacy .cab patches.\n"
     L"  show FILE                  prints the archive the patch changes, then each item with its size\n"
     L"  pack OUT.npatch            packs items for one archive into a package:\n"
     L"    --archive PATH           the archive's .hed, relative to the installation (required)\n"
     L"    --name NAME=FILE         the bytes of FILE as item NAME\n"
     L"    FILE                     a file below the current directory, named by its relative path\n"
     L"  convert IN.cab OUT.npatch  rewrites a legacy patch as a package\n"
     L"  apply PATCHDIR INSTALLDIR  applies the patch files of PATCHDIR to the installation in the order of\n"
     L"                             their names, as the launcher does, printing its progress\n"},
    {L"update", updateCommand, L"update DIR [--base URL] [--public-key PUBLIC.pem] [--ca-file CA.pem]",
     L"Updates the installation DIR as the launcher does, printing its status lines: checks for the next\n"
     L"version, then installs every newer version in turn. Exits with 0 only when the update finished.\n"
     L"  --base URL               the patch server's base address (default: the built-in one)\n"
     L"  --public-key PUBLIC.pem  install only releases signed with this key's private key\n"
     L"                           (default: the built-in key, if the build has one)\n"
     L"  --ca-file CA.pem         also trust this certificate authority (PEM) for https; not on Windows\n"},
    {L"serve", serveCommand, L"serve ROOT [--port N]",
     L"Serves the files below ROOT over HTTP on 127.0.0.1 until stopped, to try the launcher against a local\n"
     L"patch server, and prints its base address (version N lives in ROOT/kiv/N/).\n"
     L"  --port N   listen on port N (default: a free port the system picks)\n"},
    {L"keygen", keygenCommand, L"keygen PRIVATE.pem PUBLIC.pem",
     L"Makes a key pair for signing releases: PRIVATE.pem (readable by its owner only) for publish --key,\n"
     L"PUBLIC.pem for the launcher's build and for update and verify --public-key. Never overwrites a file.\n"
     L"Keys are made by the native build of kivtool.\n"},
    {L"publish", publishCommand,
     L"publish OLD NEW ROOT --version N [--key PRIVATE.pem] [--include NAME=FILE]... [--format 1|2] [--level 1-19]",
     L"Compares the installation trees OLD (what players have) and NEW (the version to publish) and writes\n"
     L"version N for the patch server into ROOT/N: each file that is new or changed; for each archive pair\n"
     L"present in both, a package under patches\\ holding the items added or changed; release.txt\n"
     L"with the size and SHA-256 of each file; and dl_list.txt last, as a version exists for launchers\n"
     L"once its list does. kiv.ver and the patches folder at the top are the launcher's own and are left\n"
     L"out. A published version is never overwritten. A removed file is a warning: an update cannot remove.\n"
     L"N must follow the newest version in ROOT. Anything a launcher would refuse or install in part (an\n"
     L"unsafe name, names that are one file on Windows, a patch file outside patches\\) is refused before\n"
     L"anything is written, and what was written is checked as verify does before the list goes in place.\n"
     L"  --version N          the version number to publish (required)\n"
     L"  --key PRIVATE.pem    sign release.txt with this key (from keygen) into release.sig\n"
     L"  --include NAME=FILE  publish FILE as well, as the entry NAME (a patch file under patches\\)\n"
     L"  --format 1|2         2 (default): each item whole, compressed or as a delta, with items.bin\n"
     L"                       holding the new items of the deltas whole; 1: every item whole, for\n"
     L"                       launchers built before version 2\n"
     L"  --level 1-19         zstd's level for version-2 packages (default 19)\n"},
    {L"verify", verifyCommand, L"verify ROOT/N [--public-key PUBLIC.pem]",
     L"Checks the published version folder ROOT/N: dl_list.txt names files that launchers accept,\n"
     L"release.txt is for version N and lists exactly those entries, and each file has the size and\n"
     L"SHA-256 release.txt gives. Prints every disagreement; exits with 0 when there is none.\n"
     L"  --public-key PUBLIC.pem  also check that release.sig is this key's signature of release.txt\n"},
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
                    out(L"usage: kivtool " + std::wstring(group.synopsis) + L"\n\n" + group.help);
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
                const int status = group.run(Args(args.begin() + 1, args.end()));
                if (status == kExitUsage) {
                    err(L"kivtool: wrong arguments\nusage: kivtool " + std::wstring(group.synopsis) + L"\n");
                }
                return status;
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
