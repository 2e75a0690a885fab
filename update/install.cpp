#include "update/update.h"

#include "patch/patch.h"

namespace kiv {

bool installDownloads(const std::filesystem::path& installation, const std::filesystem::path& versionDirectory,
                      const DownloadList& list, Reporter& reporter, std::wstring& error) {
    for (const std::wstring& entry : list) {
        const std::wstring relative = relativeEntryPath(entry);
        // Patch files change archives; they are applied below, never copied.
        if (isPatchFile(relative)) continue;
        const std::filesystem::path source = joinEntryPath(versionDirectory, relative);
        const std::filesystem::path destination = joinEntryPath(installation, relative);
        // Copied beside the destination, flushed and moved over it, so that a
        // failed copy keeps the old file whole and a recorded version never
        // names bytes that are not on disk.
        if (!createDirectories(destination.parent_path()) || !copyFileReplacing(source, destination)) {
            error = L"Could not install downloaded file: " + relative;
            return false;
        }
    }
    return applyPatches(installation, versionDirectory / L"patches", reporter, error);
}

}  // namespace kiv
