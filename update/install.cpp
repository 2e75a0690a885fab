#include "update/update.h"

#include "patch/patch.h"

namespace kiv {

PatchProgress patchProgressCallback(Reporter& reporter) {
    return [&reporter](std::size_t applied, std::size_t total) {
        if (applied < total) {
            reporter.setStatusText(StatusRow::version, L"Applying patches...");
            // The share of patches done so far: the first patch shows 0.
            reporter.setProgress(StatusRow::version, static_cast<int>(applied * 100 / total));
        } else {
            reporter.setProgress(StatusRow::version, 100);
        }
    };
}

bool installDownloads(const std::filesystem::path& installation, const std::filesystem::path& versionDirectory,
                      const DownloadList& list, Reporter& reporter, std::wstring& error, const UpdateOptions& options,
                      bool* launcherReplaced, const WholeItemFetch& fetchWholeItem) {
    // The version's patches are the patch files its list puts in "patches";
    // a file found there that the list does not name is not applied.
    std::vector<std::filesystem::path> patches;
    for (const std::wstring& entry : list) {
        const std::wstring relative = relativeEntryPath(entry);
        const std::vector<std::wstring_view> elements = pathElements(relative);
        if (isPatchFile(relative)) {
            if (elements.size() == 2 && equalsIgnoringCase(elements[0], L"patches")) {
                patches.push_back(joinEntryPath(versionDirectory, relative));
            }
            // Patch files change archives; they are applied below, never copied.
            continue;
        }
        const std::filesystem::path source = joinEntryPath(versionDirectory, relative);
        const std::filesystem::path destination = joinEntryPath(installation, relative);
        if (!options.launcherFileName.empty() && elements.size() == 1 &&
            equalsIgnoringCase(elements[0], options.launcherFileName)) {
            if (!installLauncherProgram(source, installation / toPath(options.launcherFileName))) {
                error = L"Could not install downloaded file: " + relative;
                return false;
            }
            if (launcherReplaced != nullptr) *launcherReplaced = true;
            continue;
        }
        // Copied beside the destination, flushed and moved over it, so that a
        // failed copy keeps the old file whole and a recorded version never
        // names bytes that are not on disk.
        if (!createDirectories(destination.parent_path()) || !copyFileReplacing(source, destination)) {
            error = L"Could not install downloaded file: " + relative;
            return false;
        }
    }
    return applyPatchFiles(installation, patches, patchProgressCallback(reporter), error, fetchWholeItem);
}

}  // namespace kiv
