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
        std::error_code ignored;
        std::filesystem::create_directories(destination.parent_path(), ignored);
        if (!copyFileReplacing(source, destination)) {
            error = L"Could not install downloaded file: " + relative;
            return false;
        }
    }
    return applyPatches(installation, versionDirectory / L"patches", reporter, error);
}

}  // namespace kiv
