// Replacing the launcher's own program while it runs. Windows keeps a running
// program's file from being overwritten or deleted, but lets it be renamed:
// the running file is moved aside, the new one put in its place, and the
// next start deletes the old copy.
#include "update/update.h"

#include "base/base.h"

namespace kiv {

namespace {

std::filesystem::path besideWithSuffix(const std::filesystem::path& file, std::wstring_view suffix) {
    return file.parent_path() / toPath(toWide(file.filename()) + std::wstring(suffix));
}

// The new program, copied beside the one it replaces before the swap.
constexpr std::wstring_view kNewProgramSuffix = L".new";

std::filesystem::path asideOf(const std::filesystem::path& program) {
    return program.parent_path() / toPath(launcherAsideName(toWide(program.filename())));
}

}  // namespace

std::wstring launcherAsideName(std::wstring_view launcherFileName) { return std::wstring(launcherFileName) + L".old"; }

bool removeReplacedLauncher(const std::filesystem::path& installation, std::wstring_view launcherFileName) {
    const std::filesystem::path program = installation / toPath(launcherFileName);
    const std::filesystem::path copy = besideWithSuffix(program, kNewProgramSuffix);
    const bool asideGone = removeFile(asideOf(program));
    const bool copyGone = removeFile(copy);
    // A power cut while the new program was being copied leaves the copy's
    // own temporary file.
    const bool partialCopyGone = removeFile(besideWithSuffix(copy, kTemporaryFileSuffix));
    return asideGone && copyGone && partialCopyGone;
}

// Puts `source` in place of the launcher program `destination`. Every step
// can be repeated after an interruption: the new program is complete and
// flushed beside the old one before either is renamed, and the two renames
// follow each other with no flush between them, so that a power cut finds a
// program under the launcher's name. A missing program (a failure between
// the two renames) is simply put in place.
bool installLauncherProgram(const std::filesystem::path& source, const std::filesystem::path& destination) {
    const std::filesystem::path copy = besideWithSuffix(destination, kNewProgramSuffix);
    const std::filesystem::path aside = asideOf(destination);
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
    if (present && asideFree) return replaceFileMovingAside(copy, destination, aside);
    return replaceFile(copy, destination);
}

}  // namespace kiv
