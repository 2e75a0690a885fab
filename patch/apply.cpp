// Applying a directory of patch files to the installation's archive pairs.
#include "patch/patch.h"

#include "archive/archive.h"

#include <algorithm>
#include <utility>

namespace kiv {

namespace {

// A file name as UTF-16 code units, so that the order of names is the same
// on every platform: by code unit, not by code point, and not by the bytes
// of some other encoding.
std::u16string utf16Units(std::wstring_view text) {
    std::u16string units;
    units.reserve(text.size());
    for (wchar_t c : text) {
        const auto value = static_cast<std::uint32_t>(c);
        if (value >= 0x10000 && value <= 0x10FFFF) {
            units.push_back(static_cast<char16_t>(0xD800 + ((value - 0x10000) >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + ((value - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(value));
        }
    }
    return units;
}

// Opens the archive pair a patch names. Whatever the patch names, its archive
// lies inside the installation: a root name and leading separators are
// dropped, and a path that would still climb out (or name a drive or a
// stream) is refused before anything is opened.
bool openTarget(const std::filesystem::path& installDir, const std::wstring& archivePath, ArchivePair& archive,
                std::wstring& error) {
    const std::wstring relative = relativeEntryPath(archivePath);
    if (isUnsafeRelativePath(relative)) {
        error = L"Patch archive path is outside the installation.";
        return false;
    }
    return archive.open(joinEntryPath(installDir, relative), error);
}

// The whole patch in one go: its data appended together and flushed once,
// rather than two flushes for every entry. The patch is checked whole before
// the archive is touched; its entries' bytes are then copied from the patch
// file into the archive a piece at a time, so a patch of any size needs
// memory for its names only.
bool applyPatch(const std::filesystem::path& installDir, const std::filesystem::path& path, bool legacy,
                std::wstring& error) {
    OpenedPatch patch;
    if (!(legacy ? openLegacyPatch(path, patch, error) : openPatchPackage(path, patch, error))) return false;
    ArchivePair archive;
    if (!openTarget(installDir, patch.archivePath, archive, error)) return false;
    std::vector<ItemReplacement> replacements;
    replacements.reserve(patch.entries.size());
    for (const PatchEntryRange& entry : patch.entries) {
        replacements.push_back({entry.name, {}, patch.content.get(), entry.offset, entry.size});
    }
    return archive.replaceItems(replacements, error);
}

}  // namespace

bool isPatchFile(std::wstring_view path) {
    const std::size_t separator = path.find_last_of(L"\\/");
    const std::wstring_view element = separator == std::wstring_view::npos ? path : path.substr(separator + 1);
    const std::size_t dot = element.rfind(L'.');
    // No dot, a dot that only starts the name (".npatch"), and "." and ".."
    // themselves: no extension.
    if (dot == std::wstring_view::npos || dot == 0 || element == L"..") return false;
    const std::wstring_view extension = element.substr(dot);
    return extension == L".cab" || extension == L".npatch";
}

namespace {

struct Patch {
    std::u16string order;  // the file name in UTF-16 code units
    std::filesystem::path path;
};

bool applyInOrder(const std::filesystem::path& installDir, std::vector<Patch>& patches,
                  const PatchProgress& progress, std::wstring& error) {
    std::sort(patches.begin(), patches.end(), [](const Patch& left, const Patch& right) {
        return left.order != right.order ? left.order < right.order : left.path < right.path;
    });

    for (std::size_t index = 0; index < patches.size(); ++index) {
        if (progress) progress(index, patches.size());

        const std::filesystem::path& path = patches[index].path;
        const bool legacy = patches[index].order.ends_with(u".cab");
        if (!applyPatch(installDir, path, legacy, error)) return false;
    }
    if (progress) progress(patches.size(), patches.size());
    return true;
}

}  // namespace

bool applyPatches(const std::filesystem::path& installDir, const std::filesystem::path& patchesDir,
                  const PatchProgress& progress, std::wstring& error) {
    if (!std::filesystem::exists(systemPath(patchesDir))) return true;

    // The whole list is taken before the first patch is applied: files that
    // appear meanwhile are left for another run.
    std::vector<Patch> patches;
    for (const std::filesystem::directory_entry& entry :
         std::filesystem::directory_iterator(systemPath(patchesDir))) {
        // The entry's kind is not examined: a directory called old.cab is
        // taken as a patch and fails as an unreadable one.
        const std::filesystem::path file = entry.path().filename();
        const std::wstring name = toWide(file);
        if (isPatchFile(name)) patches.push_back(Patch{utf16Units(name), patchesDir / file});
    }
    return applyInOrder(installDir, patches, progress, error);
}

bool applyPatchFiles(const std::filesystem::path& installDir, const std::vector<std::filesystem::path>& files,
                     const PatchProgress& progress, std::wstring& error) {
    std::vector<Patch> patches;
    for (const std::filesystem::path& file : files) {
        const std::wstring name = toWide(file.filename());
        if (!isPatchFile(name)) continue;
        // A file named twice is one file, applied once.
        const bool seen = std::any_of(patches.begin(), patches.end(), [&](const Patch& other) { return other.path == file; });
        if (!seen) patches.push_back(Patch{utf16Units(name), file});
    }
    if (patches.empty()) return true;
    return applyInOrder(installDir, patches, progress, error);
}

}  // namespace kiv
