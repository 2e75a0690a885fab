// Applying a directory of patch files to the installation's archive pairs.
#include "patch/patch.h"

#include "archive/archive.h"
#include "patch/item_decoder.h"

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

// What the archive holds under a delta's name: the item the delta was made
// from; already the item it makes (a version whose patches were applied
// before an interruption kept it from being recorded, applied again); or
// something else. Where the held bytes lie is put in `offset`.
enum class HeldItem { base, target, other };

HeldItem heldItem(const ArchivePair& archive, const File& dat, const PatchEntryRange& entry, std::uint64_t& offset) {
    const auto found = archive.nameIndex.find(entry.name);
    if (found == archive.nameIndex.end()) return HeldItem::other;
    const ArchiveItem& item = archive.items[static_cast<std::size_t>(found->second)];
    // Only an item stored as it is can be either.
    if (item.storedSizeWord != item.size || (item.size != entry.baseSize && item.size != entry.itemSize)) {
        return HeldItem::other;
    }
    crypto::Sha256 hash;
    std::vector<std::uint8_t> buffer(std::min<std::size_t>(item.size, 1u << 20));
    for (std::uint64_t done = 0; done < item.size;) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), item.size - done));
        if (!dat.readAt(item.dataOffset + done, buffer.data(), piece)) return HeldItem::other;
        hash.update(buffer.data(), piece);
        done += piece;
    }
    crypto::Sha256Digest digest{};
    if (!hash.finish(digest)) return HeldItem::other;
    offset = item.dataOffset;
    if (item.size == entry.baseSize && digest == entry.baseSha256) return HeldItem::base;
    if (item.size == entry.itemSize && digest == entry.itemSha256) return HeldItem::target;
    return HeldItem::other;
}

// The entries of a version-2 package, rebuilt through `decoder`. A delta
// whose base the archive does not hold takes the whole item from
// `fetchWholeItem` instead; everything is settled before the archive is
// written, and a rebuilt item that does not match its digest fails the
// series before its data can become reachable, leaving the pair as it was.
bool describedReplacements(const ArchivePair& archive, const File& dat, OpenedPatch& patch,
                           const WholeItemFetch& fetchWholeItem, ItemDecoder& decoder,
                           std::vector<OpenedPatch>& fetched, std::vector<ItemReplacement>& replacements,
                           std::wstring& error) {
    fetched.reserve(patch.entries.size());
    for (const PatchEntryRange& entry : patch.entries) {
        const PatchEntryRange* rebuilt = &entry;
        ItemSource* content = patch.content.get();
        std::uint64_t baseOffset = 0;
        const HeldItem held =
            entry.kind == PackageEntryKind::delta ? heldItem(archive, dat, entry, baseOffset) : HeldItem::base;
        if (held == HeldItem::target) continue;  // nothing to change
        if (held == HeldItem::other) {
            const std::wstring item = utf8ToWide(entry.name);
            if (!fetchWholeItem) {
                error = L"Item " + item +
                        L" is not the one its patch was made from (changed or damaged), "
                        L"and no release offers it whole.";
                return false;
            }
            std::filesystem::path file;
            if (!fetchWholeItem(entry.name, entry.itemSha256, file, error)) return false;
            OpenedPatch& whole = fetched.emplace_back();
            if (!openStoredItem(file, whole, error)) return false;
            if (whole.entries[0].itemSha256 != entry.itemSha256 || whole.entries[0].itemSize != entry.itemSize) {
                error = L"The whole copy of item " + item + L" is not the item its patch makes.";
                return false;
            }
            rebuilt = &whole.entries[0];
            content = whole.content.get();
        }
        const std::uint64_t at = decoder.add(*rebuilt, *content, &dat, baseOffset);
        // An empty item is never read by the archive update: check it here.
        if (rebuilt->itemSize == 0 && !decoder.read(at, {})) {
            error = decoder.failure();
            return false;
        }
        replacements.push_back({entry.name, {}, &decoder, at, rebuilt->itemSize});
    }
    return true;
}

// The whole patch in one go: its data appended together and flushed once,
// rather than two flushes for every entry. The patch is checked whole before
// the archive is touched; its entries' bytes are then copied from the patch
// file into the archive a piece at a time, so a patch of any size needs
// memory for its names only.
bool applyPatch(const std::filesystem::path& installDir, const std::filesystem::path& path, bool legacy,
                const WholeItemFetch& fetchWholeItem, std::wstring& error) {
    OpenedPatch patch;
    if (!(legacy ? openLegacyPatch(path, patch, error) : openPatchPackage(path, patch, error))) return false;
    ArchivePair archive;
    if (!openTarget(installDir, patch.archivePath, archive, error)) return false;
    std::vector<ItemReplacement> replacements;
    replacements.reserve(patch.entries.size());
    const bool described = !patch.entries.empty() && patch.entries.front().described;
    if (!described) {
        for (const PatchEntryRange& entry : patch.entries) {
            replacements.push_back({entry.name, {}, patch.content.get(), entry.offset, entry.size});
        }
        return archive.replaceItems(replacements, error);
    }
    File dat;
    if (!dat.open(archive.datPath, File::Mode::read)) {
        error = L"Could not open .hed/.dat pair.";
        return false;
    }
    ItemDecoder decoder;
    std::vector<OpenedPatch> fetched;
    if (!describedReplacements(archive, dat, patch, fetchWholeItem, decoder, fetched, replacements, error)) {
        return false;
    }
    if (archive.replaceItems(replacements, error)) return true;
    // A rebuild that failed is the reason, not the write it stopped.
    if (!decoder.failure().empty()) error = decoder.failure();
    return false;
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

bool applyInOrder(const std::filesystem::path& installDir, std::vector<Patch>& patches, const PatchProgress& progress,
                  const WholeItemFetch& fetchWholeItem, std::wstring& error) {
    std::sort(patches.begin(), patches.end(), [](const Patch& left, const Patch& right) {
        return left.order != right.order ? left.order < right.order : left.path < right.path;
    });

    for (std::size_t index = 0; index < patches.size(); ++index) {
        if (progress) progress(index, patches.size());

        const std::filesystem::path& path = patches[index].path;
        const bool legacy = patches[index].order.ends_with(u".cab");
        if (!applyPatch(installDir, path, legacy, fetchWholeItem, error)) return false;
    }
    if (progress) progress(patches.size(), patches.size());
    return true;
}

}  // namespace

bool applyPatches(const std::filesystem::path& installDir, const std::filesystem::path& patchesDir,
                  const PatchProgress& progress, std::wstring& error, const WholeItemFetch& fetchWholeItem) {
    if (!std::filesystem::exists(systemPath(patchesDir))) return true;

    // The whole list is taken before the first patch is applied: files that
    // appear meanwhile are left for another run.
    std::vector<Patch> patches;
    for (const std::filesystem::directory_entry& entry : std::filesystem::directory_iterator(systemPath(patchesDir))) {
        // The entry's kind is not examined: a directory called old.cab is
        // taken as a patch and fails as an unreadable one.
        const std::filesystem::path file = entry.path().filename();
        const std::wstring name = toWide(file);
        if (isPatchFile(name)) patches.push_back(Patch{utf16Units(name), patchesDir / file});
    }
    return applyInOrder(installDir, patches, progress, fetchWholeItem, error);
}

bool applyPatchFiles(const std::filesystem::path& installDir, const std::vector<std::filesystem::path>& files,
                     const PatchProgress& progress, std::wstring& error, const WholeItemFetch& fetchWholeItem) {
    std::vector<Patch> patches;
    for (const std::filesystem::path& file : files) {
        const std::wstring name = toWide(file.filename());
        if (!isPatchFile(name)) continue;
        // A file named twice is one file, applied once.
        const bool seen =
            std::any_of(patches.begin(), patches.end(), [&](const Patch& other) { return other.path == file; });
        if (!seen) patches.push_back(Patch{utf16Units(name), file});
    }
    if (patches.empty()) return true;
    return applyInOrder(installDir, patches, progress, fetchWholeItem, error);
}

}  // namespace kiv
