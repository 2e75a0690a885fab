#include "update/update.h"

#include "patch/patch.h"

#include <algorithm>
#include <cstdint>
#include <set>
#include <utility>

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

namespace {

// The name a list entry is stored under on Windows: its path elements, each
// followed by one separator, letters folded.
std::wstring storedName(const std::wstring& entry) {
    std::wstring name;
    for (std::wstring_view element : pathElements(relativeEntryPath(entry))) (name += element) += L'\\';
    for (wchar_t& c : name) c = foldCase(c);
    return name;
}

// Which entries name a file that an earlier entry names already. A version
// of many files is sorted by a hash of each name rather than holding every
// name in a set: the names themselves are compared only where hashes meet.
std::vector<bool> repeatedNames(const DownloadList& list) {
    std::vector<std::pair<std::uint64_t, std::uint32_t>> keys;  // hash, index
    keys.reserve(list.size());
    for (std::size_t index = 0; index < list.size(); ++index) {
        std::uint64_t hash = 14695981039346656037ull;
        for (wchar_t c : storedName(list[index])) hash = (hash ^ static_cast<std::uint64_t>(c)) * 1099511628211ull;
        keys.emplace_back(hash, static_cast<std::uint32_t>(index));
    }
    std::sort(keys.begin(), keys.end());
    std::vector<bool> repeated(list.size());
    for (std::size_t first = 0; first < keys.size();) {
        std::size_t end = first + 1;
        while (end < keys.size() && keys[end].first == keys[first].first) ++end;
        // In index order within a hash: each later entry against the earlier ones.
        for (std::size_t later = first + 1; later < end; ++later) {
            const std::wstring name = storedName(list[keys[later].second]);
            for (std::size_t earlier = first; earlier < later && !repeated[keys[later].second]; ++earlier) {
                if (storedName(list[keys[earlier].second]) == name) repeated[keys[later].second] = true;
            }
        }
        first = end;
    }
    return repeated;
}

}  // namespace

bool installDownloads(const std::filesystem::path& installation, const std::filesystem::path& versionDirectory,
                      const DownloadList& list, Reporter& reporter, std::wstring& error, const UpdateOptions& options,
                      bool* launcherReplaced, const WholeItemFetch& fetchWholeItem) {
    // The version's patches are the patch files its list puts in "patches";
    // a file found there that the list does not name is not applied.
    std::vector<std::filesystem::path> patches;
    // The folders that plain files were moved into, synced once each when all
    // are moved; a name listed twice is moved once, its download being gone.
    std::set<std::filesystem::path> movedInto;
    const std::vector<bool> repeated = repeatedNames(list);
    for (std::size_t index = 0; index < list.size(); ++index) {
        const std::wstring& entry = list[index];
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
        if (repeated[index]) continue;
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
