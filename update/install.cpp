#include "update/update.h"

#include "patch/patch.h"

#include <set>

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
    // The folders that plain files were moved into, synced once each when all
    // are moved; a name listed twice is moved once, its download being gone.
    std::set<std::filesystem::path> movedInto;
    std::set<std::wstring> moved;
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
        // The download, flushed on its download thread, is moved over the
        // old file in one step: a failed move keeps the old file whole. The
        // run downloads a version anew after any interruption, so the
        // download is not needed again. Names compare as Windows compares
        // them: any separators, any letter case.
        std::wstring name;
        for (std::wstring_view element : elements) (name += element) += L'\\';
        for (wchar_t& c : name) c = foldCase(c);
        if (!moved.insert(std::move(name)).second) continue;
        if ((!movedInto.contains(destination.parent_path()) && !createDirectories(destination.parent_path())) ||
            !renameFile(source, destination)) {
            error = L"Could not install downloaded file: " + relative;
            return false;
        }
        movedInto.insert(destination.parent_path());
    }
    // Every move is durable before the patches change archives, and so
    // before the version is recorded.
    for (const std::filesystem::path& folder : movedInto) {
        if (!syncDirectory(folder)) {
            error = L"Could not make the installed files durable.";
            return false;
        }
    }
    return applyPatchFiles(installation, patches, patchProgressCallback(reporter), error, fetchWholeItem);
}

}  // namespace kiv
