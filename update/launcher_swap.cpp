// Replacing the launcher's own program while it runs. Windows keeps a running
// program's file from being overwritten or deleted, but lets it be renamed:
// the running file is moved aside, the new one put in its place, and the
// next start deletes the old copy.
#include "update/update.h"

#include "base/base.h"

namespace kiv {

namespace {

std::filesystem::path besideWithSuffix(const std::filesystem::path& file, const wchar_t* suffix) {
    return file.parent_path() / toPath(toWide(file.filename()) + suffix);
}

}  // namespace

std::wstring launcherAsideName(std::wstring_view launcherFileName) {
    return std::wstring(launcherFileName) + L".old";
}

bool removeReplacedLauncher(const std::filesystem::path& installation, std::wstring_view launcherFileName) {
    const std::filesystem::path program = installation / toPath(launcherFileName);
    const bool asideGone = removeFile(besideWithSuffix(program, L".old"));
    const bool copyGone = removeFile(besideWithSuffix(program, L".new"));
    return asideGone && copyGone;
}

// Puts `source` in place of the launcher program `destination`. Every step
// can be repeated after an interruption: the new program is complete and
// flushed beside the old one before either is renamed, and a missing
// program (cut between the two renames) is simply put in place.
bool installLauncherProgram(const std::filesystem::path& source, const std::filesystem::path& destination) {
    const std::filesystem::path copy = besideWithSuffix(destination, L".new");
    const std::filesystem::path aside = besideWithSuffix(destination, L".old");
    if (!copyFileReplacing(source, copy)) return false;

    // An aside copy that cannot be deleted is the program still running
    // from an earlier swap of this run; the file in place is then not
    // running and is replaced directly.
    removeFile(aside);
    std::error_code status;
    const bool present = std::filesystem::exists(systemPath(destination), status);
    if (status) return false;
    const bool asideFree = !std::filesystem::exists(systemPath(aside), status);
    if (status) return false;
    if (present && asideFree && !replaceFile(destination, aside)) return false;
    if (!replaceFile(copy, destination)) {
        // Never leave the installation without a launcher.
        if (present && asideFree) replaceFile(aside, destination);
        return false;
    }
    return true;
}

}  // namespace kiv
