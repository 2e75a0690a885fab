#include "tools/console_reporter.h"
#include "tools/kivtool.h"

#include "base/base.h"
#include "patch/patch.h"
#include "update/update.h"

#include <exception>
#include <fstream>
#include <iterator>
#include <limits>

namespace kiv::tool {

namespace {

// Reads a patch file the way the launcher chooses its reader: by extension.
bool readAnyPatch(const std::wstring& file, PatchSet& set, std::wstring& error) {
    const std::wstring_view name(file);
    if (name.size() >= 4 && name.substr(name.size() - 4) == L".cab" && isPatchFile(name)) {
        return readLegacyPatch(toPath(file), set, error);
    }
    return readPatchPackage(toPath(file), set, error);
}

// A package's entries as it stands, without rebuilding anything: for
// version 2 each entry's kind, item size, bytes in the package and, for a
// delta, the size of the item it applies to.
int showPackage(const std::wstring& file) {
    OpenedPatch patch;
    std::wstring error;
    if (!openPatchPackage(toPath(file), patch, error)) return fail(error);
    out(patch.archivePath + L"\n");
    for (const PatchEntryRange& entry : patch.entries) {
        outBytes(entry.name);
        if (!entry.described) {
            out(L"\t" + std::to_wstring(entry.size) + L"\n");
            continue;
        }
        static constexpr const wchar_t* kKinds[] = {L"whole", L"compressed", L"delta"};
        std::wstring line = L"\t" + std::wstring(kKinds[static_cast<int>(entry.kind)]) + L"\t" +
                            std::to_wstring(entry.itemSize) + L"\t" + std::to_wstring(entry.size);
        if (entry.kind == PackageEntryKind::delta) line += L"\tfrom " + std::to_wstring(entry.baseSize);
        out(line + L"\n");
    }
    return kExitOk;
}

int show(const Args& args) {
    if (args.size() != 2) return kExitUsage;
    const std::wstring_view name(args[1]);
    if (!(name.ends_with(L".cab") && isPatchFile(name))) return showPackage(args[1]);
    PatchSet set;
    std::wstring error;
    if (!readAnyPatch(args[1], set, error)) return fail(error);
    out(set.archivePath + L"\n");
    for (const PatchEntry& entry : set.entries) {
        // Item names are bytes, printed as they are stored.
        outBytes(entry.name);
        out(L"\t" + std::to_wstring(entry.data.size()) + L"\n");
    }
    return kExitOk;
}

// The entry name of FILE: its path relative to the current directory, with
// backslashes. Empty when FILE does not lie below the current directory.
std::string entryNameFor(const std::filesystem::path& file) {
    std::error_code failed;
    const std::filesystem::path current = std::filesystem::current_path(failed);
    if (failed) return {};
    const std::filesystem::path absolute = std::filesystem::absolute(file, failed).lexically_normal();
    if (failed) return {};
    const std::filesystem::path relative = absolute.lexically_relative(current);
    if (relative.empty() || relative == "." || *relative.begin() == "..") return {};
    std::wstring name = toWide(relative);
    for (wchar_t& c : name) {
        if (c == L'/') c = L'\\';
    }
    return wideToUtf8(name);
}

bool readWholeFile(const std::wstring& file, std::vector<std::uint8_t>& data, std::wstring& error) {
    const std::filesystem::path path = toPath(file);
    std::error_code failed;
    const std::uintmax_t size = std::filesystem::file_size(path, failed);
    if (!failed && size > std::numeric_limits<std::uint32_t>::max()) {
        error = L"Patch entry data is too large for a patch package.";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (failed || !in) {
        error = L"Could not read " + file + L".";
        return false;
    }
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = L"Could not read " + file + L".";
        return false;
    }
    return true;
}

int pack(const Args& args) {
    if (args.size() < 2) return kExitUsage;
    PatchSet set;
    bool haveArchive = false;
    std::vector<std::pair<std::string, std::wstring>> sources;  // entry name, file
    for (std::size_t i = 2; i < args.size(); ++i) {
        if (args[i] == L"--archive" && i + 1 < args.size()) {
            set.archivePath = args[++i];
            haveArchive = true;
        } else if (args[i] == L"--name" && i + 1 < args.size()) {
            const std::wstring& pair = args[++i];
            const std::size_t equals = pair.find(L'=');
            if (equals == std::wstring::npos || equals + 1 == pair.size()) return kExitUsage;
            sources.emplace_back(wideToUtf8(pair.substr(0, equals)), pair.substr(equals + 1));
        } else if (args[i].starts_with(L"--")) {
            return kExitUsage;
        } else {
            std::string name = entryNameFor(toPath(args[i]));
            if (name.empty()) {
                return fail(L"File is not below the current directory (name it with --name NAME=FILE): " + args[i] +
                            L".");
            }
            sources.emplace_back(std::move(name), args[i]);
        }
    }
    if (!haveArchive) return kExitUsage;

    std::wstring error;
    for (auto& [name, file] : sources) {
        PatchEntry entry{std::move(name), {}};
        if (!readWholeFile(file, entry.data, error)) return fail(error);
        set.entries.push_back(std::move(entry));
    }
    if (!writePatchPackage(toPath(args[1]), set, error)) return fail(error);
    return kExitOk;
}

int convert(const Args& args) {
    if (args.size() != 3) return kExitUsage;
    PatchSet set;
    std::wstring error;
    if (!readLegacyPatch(toPath(args[1]), set, error)) return fail(error);
    if (!writePatchPackage(toPath(args[2]), set, error)) return fail(error);
    return kExitOk;
}

int apply(const Args& args) {
    if (args.size() != 3) return kExitUsage;
    if (!isExistingDirectory(args[2])) return fail(L"No such installation directory: " + args[2] + L".");
    ConsoleReporter reporter;
    std::wstring error;
    // File-system errors of the directory scan and allocation failures end
    // the command through kivtool's own handler.
    if (!applyPatches(toPath(args[2]), toPath(args[1]), patchProgressCallback(reporter), error)) {
        return fail(error);
    }
    return kExitOk;
}

}  // namespace

int patchCommand(const Args& args) {
    if (args.empty()) return kExitUsage;
    if (args[0] == L"show") return show(args);
    if (args[0] == L"pack") return pack(args);
    if (args[0] == L"convert") return convert(args);
    if (args[0] == L"apply") return apply(args);
    return kExitUsage;
}

}  // namespace kiv::tool
