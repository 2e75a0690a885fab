// kivtool publish: one version of the game for the patch server, made from
// two installation trees. Plain files that are new or changed are copied;
// archive pairs are compared item by item and their differences packed as
// .npatch packages. Whatever launchers would refuse or install in part is
// refused before anything is written. The release manifest, its signature
// and the list come last and are checked as a launcher checks them; the list
// is put in place very last, because on the server a version exists for
// launchers once its list does.
#include "tools/kivtool.h"

#include "archive/archive.h"
#include "base/base.h"
#include "patch/crypto.h"
#include "patch/patch.h"
#include "update/update.h"

#include <algorithm>
#include <exception>
#include <thread>
#include <map>
#include <set>

namespace kiv::tool {

namespace {

// The version's store of whole items, for installations whose item is not
// the one a delta was made from; the launcher fetches one range of it per
// such item. It is not listed, so launchers download it only in parts.
constexpr const wchar_t* kItemStore = L"items.bin";
// The store is read only for the odd damaged item: a quick level will do.
constexpr int kItemStoreLevel = 3;
constexpr std::size_t kPiece = 1u << 20;

// The index file of an archive pair ("NAME.hed", any case).
bool isArchiveIndex(std::wstring_view entry) {
    return entry.size() > 4 && equalsIgnoringCase(entry.substr(entry.size() - 4), L".hed");
}

// The list entry of a relative path: its elements joined by backslashes.
std::wstring entryOf(const std::filesystem::path& relative) {
    std::wstring entry;
    for (const std::filesystem::path& element : relative) {
        if (!entry.empty()) entry += L'\\';
        entry += toWide(element);
    }
    return entry;
}

// The regular files of an installation tree, relative and sorted, without
// the launcher's own state at its top (kiv.ver and the download area).
bool listTree(const std::filesystem::path& root, std::map<std::wstring, std::filesystem::path>& files,
              std::uint64_t& bytes, std::wstring& error) {
    std::error_code failed;
    std::filesystem::recursive_directory_iterator walk(root, failed), end;
    for (; !failed && walk != end; walk.increment(failed)) {
        const std::filesystem::path relative = walk->path().lexically_relative(root);
        const std::wstring top = toWide(*relative.begin());
        if (walk.depth() == 0 && (equalsIgnoringCase(top, L"kiv.ver") || equalsIgnoringCase(top, L"patches"))) {
            walk.disable_recursion_pending();
            continue;
        }
        if (!walk->is_regular_file(failed)) continue;
        for (const std::filesystem::path& element : relative) {
            if (toWide(element).find_first_of(L"\\/:\r\n") != std::wstring::npos) {
                error = L"File name the patch server cannot carry: " + toWide(walk->path()) + L".";
                return false;
            }
        }
        const std::wstring entry = entryOf(relative);
        bytes += walk->file_size(failed);
        files.emplace(entry, relative);
    }
    if (failed) {
        error = L"Could not read the tree " + toWide(root) + L": " + utf8ToWide(failed.message()) + L".";
        return false;
    }
    return true;
}

// The newest version published in ROOT (a folder named by its number that
// holds a list); 0 when there is none.
std::int32_t newestVersion(const std::filesystem::path& root) {
    std::int32_t newest = 0;
    std::error_code failed;
    for (std::filesystem::directory_iterator folder(root, failed), end; !failed && folder != end;
         folder.increment(failed)) {
        const std::wstring name = toWide(folder->path().filename());
        std::int32_t version = 0;
        std::error_code missing;
        if (parseInt32(name, version) && version > newest && name == std::to_wstring(version) &&
            std::filesystem::exists(folder->path() / "dl_list.txt", missing)) {
            newest = version;
        }
    }
    return newest;
}

void warn(const std::wstring& text) { err(L"kivtool: warning: " + text + L"\n"); }

// The package of each archive pair: "patches\", the .hed entry without its
// extension and with "_" for its separators, "_N.npatch". Pairs whose names
// would meet that way (a\b.hed and a_b.hed) add a digest of their entry, so
// that no package overwrites another.
std::map<std::wstring, std::wstring> packageEntries(const std::vector<std::wstring>& hedEntries, std::int32_t version) {
    auto flat = [](const std::wstring& hed) {
        std::wstring name = hed.substr(0, hed.size() - 4);
        std::replace(name.begin(), name.end(), L'\\', L'_');
        return name;
    };
    auto lower = [](std::wstring name) {
        std::transform(name.begin(), name.end(), name.begin(), foldCase<wchar_t>);
        return name;
    };
    std::map<std::wstring, int> uses;
    for (const std::wstring& hed : hedEntries) ++uses[lower(flat(hed))];
    std::map<std::wstring, std::wstring> packages;
    for (const std::wstring& hed : hedEntries) {
        std::wstring name = flat(hed);
        if (uses[lower(name)] > 1) {
            const std::string bytes = wideToUtf8(hed);
            crypto::Sha256 hash;
            crypto::Sha256Digest digest;
            hash.update(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
            hash.finish(digest);
            name += L'_';
            for (std::size_t i = 0; i < 4; ++i) {
                name += L"0123456789abcdef"[digest[i] >> 4];
                name += L"0123456789abcdef"[digest[i] & 15];
            }
        }
        packages.emplace(hed, L"patches\\" + name + L"_" + std::to_wstring(version) + L".npatch");
    }
    return packages;
}

class Publisher {
public:
    Publisher(std::filesystem::path oldRoot, std::filesystem::path newRoot, std::filesystem::path out,
              std::int32_t version, int format, int level)
        : oldRoot_(std::move(oldRoot)),
          newRoot_(std::move(newRoot)),
          out_(std::move(out)),
          version_(version),
          format_(format),
          level_(level) {}

    bool run(const std::vector<std::pair<std::wstring, std::wstring>>& includes, const std::string& privateKey,
             std::wstring& error);

private:
    bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b, bool& same, std::wstring& error);
    bool copyOut(const std::filesystem::path& source, const std::wstring& entry, std::wstring& error);
    bool diffArchive(const std::wstring& hedEntry, const std::wstring& packageEntry,
                     const std::filesystem::path& relative, std::wstring& error);
    bool record(const std::wstring& entry, std::wstring& error);
    bool writeRelease(const std::string& privateKey, std::wstring& error);
    bool writePackage2(const std::wstring& hedEntry, const std::wstring& entry, std::vector<PackageItem>& items,
                       std::wstring& error);
    bool writeItemStore(std::wstring& error);
    void advance(std::uint64_t bytes);

    std::filesystem::path oldRoot_, newRoot_, out_;
    std::int32_t version_;
    int format_;
    int level_;
    std::vector<EncodedEntry> stored_;  // the item store's entries
    std::vector<ReleaseItem> storeIndex_;
    std::vector<ReleaseEntry> plain_, patches_;
    std::uint64_t total_ = 0, done_ = 0;
    int shownPercent_ = -1;
};

void Publisher::advance(std::uint64_t bytes) {
    done_ += bytes;
    // Large trees only: a line per 5 %.
    if (total_ < (64u << 20)) return;
    const int percent = static_cast<int>(std::min<std::uint64_t>(done_ * 100 / total_, 100)) / 5 * 5;
    if (percent == shownPercent_) return;
    shownPercent_ = percent;
    err(L"kivtool: publish: " + std::to_wstring(percent) + L"% (" + std::to_wstring(done_ >> 20) + L"/" +
        std::to_wstring(total_ >> 20) + L" MiB)\n");
}

bool Publisher::sameFile(const std::filesystem::path& a, const std::filesystem::path& b, bool& same,
                         std::wstring& error) {
    File first, second;
    std::uint64_t firstSize = 0, secondSize = 0;
    if (!first.open(a, File::Mode::read) || !second.open(b, File::Mode::read) || !first.size(firstSize) ||
        !second.size(secondSize)) {
        error = L"Could not read " + toWide(b) + L".";
        return false;
    }
    same = firstSize == secondSize;
    std::vector<std::uint8_t> x(kPiece), y(kPiece);
    for (std::uint64_t at = 0; same && at < firstSize;) {
        const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, firstSize - at));
        if (!first.readAt(at, x.data(), length) || !second.readAt(at, y.data(), length)) {
            error = L"Could not read " + toWide(b) + L".";
            return false;
        }
        same = std::equal(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(length), y.begin());
        at += length;
    }
    return true;
}

// Copies a file into the version folder, hashing what is written.
bool Publisher::copyOut(const std::filesystem::path& source, const std::wstring& entry, std::wstring& error) {
    const std::filesystem::path target = joinEntryPath(out_, entry);
    std::filesystem::create_directories(target.parent_path());
    File in, copy;
    if (!in.open(source, File::Mode::read)) {
        error = L"Could not read " + toWide(source) + L".";
        return false;
    }
    if (!copy.open(target, File::Mode::create)) {
        error = L"Could not write " + toWide(target) + L".";
        return false;
    }
    ReleaseEntry published{entry, 0, {}};
    crypto::Sha256 hash;
    std::vector<std::uint8_t> buffer(kPiece);
    for (;;) {
        const std::int64_t read = in.readSomeAt(published.size, buffer.data(), buffer.size());
        if (read < 0) {
            error = L"Could not read " + toWide(source) + L".";
            return false;
        }
        if (read == 0) break;
        if (!copy.writeAt(published.size, buffer.data(), static_cast<std::size_t>(read))) {
            error = L"Could not write " + toWide(target) + L".";
            return false;
        }
        hash.update(buffer.data(), static_cast<std::size_t>(read));
        published.size += static_cast<std::uint64_t>(read);
    }
    if (!copy.flush() || !hash.finish(published.sha256)) {
        error = L"Could not write " + toWide(target) + L".";
        return false;
    }
    (isPatchFile(entry) ? patches_ : plain_).push_back(std::move(published));
    return true;
}

// Hashes a file the publisher wrote itself (a patch package).
bool Publisher::record(const std::wstring& entry, std::wstring& error) {
    ReleaseEntry published{entry, 0, {}};
    if (!hashFile(joinEntryPath(out_, entry), published.sha256, published.size)) {
        error = L"Could not read back " + entry + L".";
        return false;
    }
    patches_.push_back(std::move(published));
    return true;
}

// Reads an item's stored bytes.
bool readStored(const File& dat, const ArchiveItem& item, std::vector<std::uint8_t>& bytes) {
    bytes.resize(item.storedSize);
    return dat.readAt(item.dataOffset, bytes.data(), bytes.size());
}

bool Publisher::diffArchive(const std::wstring& hedEntry, const std::wstring& packageEntry,
                            const std::filesystem::path& relative, std::wstring& error) {
    ArchivePair before, after;
    if (!before.open(oldRoot_ / relative, error) || !after.open(newRoot_ / relative, error)) {
        error = hedEntry + L": " + error;
        return false;
    }
    File oldDat, newDat;
    if (!oldDat.open(before.datPath, File::Mode::read) || !newDat.open(after.datPath, File::Mode::read)) {
        error = L"Could not read the data file of " + hedEntry + L".";
        return false;
    }
    PatchSet set;
    set.archivePath = hedEntry;
    // Version 2 keeps each changed item's old bytes beside its new ones, for
    // its delta.
    std::vector<std::vector<std::uint8_t>> bases;
    std::vector<bool> hasBase;
    std::vector<std::uint8_t> oldBytes, newBytes;
    std::uint64_t itemBytes = 0;
    for (const ArchiveItem& item : after.items) {
        const auto winner = after.nameIndex.find(item.name);
        // Only the item that answers to its name counts; earlier ones of the
        // same name are unreachable.
        if (winner == after.nameIndex.end() || winner->second != item.index) continue;
        if (!readStored(newDat, item, newBytes)) {
            error = L"Could not read item data of " + hedEntry + L".";
            return false;
        }
        itemBytes += newBytes.size();
        const auto old = before.nameIndex.find(item.name);
        oldBytes.clear();
        bool based = false;
        if (old != before.nameIndex.end()) {
            const ArchiveItem& previous = before.items[static_cast<std::size_t>(old->second)];
            if (!readStored(oldDat, previous, oldBytes)) {
                error = L"Could not read item data of " + hedEntry + L".";
                return false;
            }
            if (previous.storedSizeWord == item.storedSizeWord && previous.size == item.size && oldBytes == newBytes) {
                continue;
            }
            // The launcher takes as a delta's base only an item stored as it is.
            based = previous.storedSizeWord == previous.size;
        }
        if (item.storedSizeWord != item.size) {
            error = hedEntry + L": item " + utf8ToWide(item.name) +
                    L" is stored packed; a patch package can only carry items stored as they are.";
            return false;
        }
        set.entries.push_back({item.name, newBytes});
        if (format_ == 2) {
            hasBase.push_back(based);
            bases.push_back(based ? oldBytes : std::vector<std::uint8_t>{});
        }
    }
    for (const auto& [name, index] : before.nameIndex) {
        if (!after.nameIndex.contains(name)) {
            warn(hedEntry + L": item " + utf8ToWide(name) + L" was removed; the update cannot remove items.");
        }
    }
    advance(itemBytes);
    if (set.entries.empty()) return true;

    std::filesystem::create_directories(out_ / "patches");
    if (format_ == 2) {
        std::vector<PackageItem> items;
        for (std::size_t k = 0; k < set.entries.size(); ++k) {
            items.push_back({set.entries[k].name, set.entries[k].data, bases[k], hasBase[k]});
        }
        return writePackage2(hedEntry, packageEntry, items, error);
    }
    if (!writePatchPackage(joinEntryPath(out_, packageEntry), set, error)) {
        error = hedEntry + L": " + error;
        return false;
    }
    return record(packageEntry, error);
}

bool Publisher::writePackage2(const std::wstring& hedEntry, const std::wstring& entry, std::vector<PackageItem>& items,
                              std::wstring& error) {
    const unsigned threads = std::max(2u, std::thread::hardware_concurrency());
    const std::vector<EncodedEntry> encoded = encodePackageItems(items, threads, true, level_);
    if (!writePatchPackage2(joinEntryPath(out_, entry), hedEntry, encoded, error)) {
        error = hedEntry + L": " + error;
        return false;
    }
    // Every item a delta rebuilds goes to the store too, once per digest.
    std::vector<PackageItem> whole;
    for (std::size_t k = 0; k < encoded.size(); ++k) {
        if (encoded[k].kind != PackageEntryKind::delta) continue;
        const auto same = [&](const ReleaseItem& held) { return held.item == encoded[k].itemSha256; };
        if (std::any_of(storeIndex_.begin(), storeIndex_.end(), same)) continue;
        whole.push_back({items[k].name, items[k].data, {}, false});
        storeIndex_.push_back({encoded[k].itemSha256, {}, 0, 0, kItemStore});
    }
    for (EncodedEntry& stored : encodePackageItems(whole, threads, false, kItemStoreLevel)) {
        stored_.push_back(std::move(stored));
    }
    return record(entry, error);
}

// The store is a package of whole entries with no archive, so that kivtool
// patch show reads it; each entry's range is recorded with its digest.
bool Publisher::writeItemStore(std::wstring& error) {
    if (stored_.empty()) return true;
    if (!writePatchPackage2(out_ / kItemStore, L"", stored_, error)) return false;
    std::uint64_t at = kPatchPackageMagic2.size() + 2 + 4;
    for (std::size_t k = 0; k < stored_.size(); ++k) {
        ReleaseItem& item = storeIndex_[k];
        item.offset = at;
        item.length = stored_[k].bytes.size();
        crypto::Sha256 hash;
        hash.update(stored_[k].bytes.data(), stored_[k].bytes.size());
        if (!hash.finish(item.range)) {
            error = L"Could not hash the item store.";
            return false;
        }
        at += item.length;
    }
    return true;
}

bool Publisher::run(const std::vector<std::pair<std::wstring, std::wstring>>& includes, const std::string& privateKey,
                    std::wstring& error) {
    std::map<std::wstring, std::filesystem::path> oldFiles, newFiles;
    std::uint64_t oldBytes = 0;
    if (!listTree(oldRoot_, oldFiles, oldBytes, error) || !listTree(newRoot_, newFiles, total_, error)) return false;

    // What the version will hold is decided, and refused, before anything
    // is written. Archive pairs present in both trees are compared item by
    // item; a new pair is published as its two plain files.
    std::set<std::wstring> pairFiles;
    std::vector<std::wstring> hedEntries;
    for (const auto& [entry, relative] : newFiles) {
        if (isArchiveIndex(entry)) {
            const std::wstring dat = entry.substr(0, entry.size() - 4) + L".dat";
            if (newFiles.contains(dat) && oldFiles.contains(entry) && oldFiles.contains(dat)) {
                pairFiles.insert(entry);
                pairFiles.insert(dat);
                hedEntries.push_back(entry);
            }
        }
    }
    const std::map<std::wstring, std::wstring> packages = packageEntries(hedEntries, version_);
    std::vector<std::pair<std::wstring, std::filesystem::path>> copies;  // entry, source
    for (const auto& [entry, relative] : newFiles) {
        if (pairFiles.contains(entry)) continue;
        const auto old = oldFiles.find(entry);
        bool same = false;
        if (old != oldFiles.end() && !sameFile(oldRoot_ / old->second, newRoot_ / relative, same, error)) return false;
        if (!same) copies.emplace_back(entry, newRoot_ / relative);
        std::error_code ignored;
        advance(std::filesystem::file_size(newRoot_ / relative, ignored));
    }
    for (const auto& [entry, relative] : oldFiles) {
        if (!newFiles.contains(entry)) warn(entry + L" was removed; the update cannot remove files.");
    }
    // Every name the installation will hold after the update must be one
    // file on Windows; packages count even where their pair turns out
    // unchanged.
    std::vector<std::wstring> names;
    for (const auto& [entry, relative] : newFiles) names.push_back(entry);
    for (const auto& [entry, file] : includes) {
        copies.emplace_back(entry, toPath(file));
        names.push_back(entry);
    }
    std::vector<std::wstring> listed;
    for (const auto& [entry, source] : copies) listed.push_back(entry);
    for (const auto& [hed, package] : packages) {
        names.push_back(package);
        listed.push_back(package);
    }
    for (const std::wstring& entry : listed) {
        const std::wstring problem = publishedEntryProblem(entry);
        if (!problem.empty()) {
            error = entry + L": " + problem + L" Nothing was published.";
            return false;
        }
    }
    const std::wstring clash = windowsNameClash(names);
    if (!clash.empty()) {
        error = clash + L" Nothing was published.";
        return false;
    }
    // The item store stands beside the list under a name of its own.
    for (const std::wstring& name : names) {
        if (format_ == 2 && equalsIgnoringCase(name, kItemStore)) {
            error = name + L": It is the name of the release's store of whole items. Nothing was published.";
            return false;
        }
    }

    std::filesystem::create_directories(out_);
    for (const auto& [entry, source] : copies) {
        if (!copyOut(source, entry, error)) return false;
    }
    for (const std::wstring& hed : hedEntries) {
        if (!diffArchive(hed, packages.at(hed), newFiles.at(hed), error)) return false;
    }
    return writeRelease(privateKey, error);
}

// Writes the manifest, its signature and the list, checks them and the
// files as a launcher will, and only then puts the list in place: a version
// that does not check out is never offered.
bool Publisher::writeRelease(const std::string& privateKey, std::wstring& error) {
    auto byEntry = [](const ReleaseEntry& a, const ReleaseEntry& b) { return a.entry < b.entry; };
    std::sort(plain_.begin(), plain_.end(), byEntry);
    std::sort(patches_.begin(), patches_.end(), byEntry);
    if (!writeItemStore(error)) return false;
    ReleaseManifest manifest{version_, plain_, storeIndex_};
    manifest.entries.insert(manifest.entries.end(), patches_.begin(), patches_.end());
    if (manifest.entries.empty()) {
        error = L"NEW does not differ from OLD; no version was written.";
        return false;
    }

    std::string list;
    for (const ReleaseEntry& entry : manifest.entries) list += wideToUtf8(entry.entry) + "\r\n";
    const std::string text = formatReleaseManifest(manifest);
    if (!writeNewFile(out_ / "release.txt", text)) {
        error = L"Could not write release.txt.";
        return false;
    }
    std::string publicKey;
    if (!privateKey.empty()) {
        std::vector<std::uint8_t> signature;
        if (!crypto::signRelease(privateKey, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()},
                                 signature) ||
            !crypto::releasePublicKeyOf(privateKey, publicKey) ||
            !writeNewFile(out_ / "release.sig", {reinterpret_cast<const char*>(signature.data()), signature.size()})) {
            error = L"Could not sign release.txt.";
            return false;
        }
    }
    if (!writeNewFile(out_ / "dl_list.txt.new", list)) {
        error = L"Could not write dl_list.txt.";
        return false;
    }
    std::size_t files = 0;
    if (checkVersionFolder(out_, version_, publicKey, "dl_list.txt.new", files) != 0 ||
        files != manifest.entries.size()) {
        error = L"What was written for version " + std::to_wstring(version_) +
                L" does not check out as launchers check it (above); nothing was published.";
        return false;
    }
    // The list goes in by a rename, so that it is never seen half written.
    if (!replaceFile(out_ / "dl_list.txt.new", out_ / "dl_list.txt")) {
        error = L"Could not write dl_list.txt.";
        return false;
    }
    out(L"version " + std::to_wstring(version_) + L": " + std::to_wstring(plain_.size()) + L" files, " +
        std::to_wstring(patches_.size()) + L" patches" + (privateKey.empty() ? L", not signed" : L", signed") +
        L" in " + toWide(out_) + L"\n");
    return true;
}

}  // namespace

int publishCommand(const Args& args) {
    std::vector<std::wstring> positional;
    std::int32_t version = 0;
    std::int32_t format = 2;
    std::int32_t level = 19;
    std::wstring keyFile;
    std::vector<std::pair<std::wstring, std::wstring>> includes;  // entry, file
    for (std::size_t i = 0; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        if (args[i] == L"--version" && hasValue) {
            if (!parseInt32(args[++i], version) || version <= 0) return kExitUsage;
        } else if (args[i] == L"--format" && hasValue) {
            // 1: packages that launchers built before version 2 can read.
            if (!parseInt32(args[++i], format) || (format != 1 && format != 2)) return kExitUsage;
        } else if (args[i] == L"--level" && hasValue) {
            // zstd's level for the packages; lower publishes faster, larger.
            if (!parseInt32(args[++i], level) || level < 1 || level > 19) return kExitUsage;
        } else if (args[i] == L"--key" && hasValue) {
            keyFile = args[++i];
        } else if (args[i] == L"--include" && hasValue) {
            const std::wstring& pair = args[++i];
            const std::size_t equals = pair.find(L'=');
            if (equals == std::wstring::npos || equals == 0 || equals + 1 == pair.size()) return kExitUsage;
            std::wstring entry = pair.substr(0, equals);
            std::replace(entry.begin(), entry.end(), L'/', L'\\');
            // The launcher's rules for entries are applied with the tree's.
            if (relativeEntryPath(entry) != entry) return fail(L"Not a relative name: " + entry + L".");
            includes.emplace_back(std::move(entry), pair.substr(equals + 1));
        } else if (args[i].starts_with(L"-")) {
            return kExitUsage;
        } else {
            positional.push_back(args[i]);
        }
    }
    if (positional.size() != 3 || version == 0) return kExitUsage;
    for (std::size_t i = 0; i < 2; ++i) {
        if (!isExistingDirectory(positional[i]))
            return fail(L"No such installation directory: " + positional[i] + L".");
    }

    std::string privateKey;
    std::wstring error;
    if (!keyFile.empty()) {
        std::vector<std::uint8_t> probe;
        if (!readTextFile(keyFile, privateKey, error)) return fail(error);
        // A key that cannot sign is found out before anything is written.
        if (!crypto::signRelease(privateKey, {}, probe)) {
            return fail(L"Cannot sign with " + keyFile +
                        L" (a P-256 private key in PEM, used by the native build of kivtool).");
        }
    }
    const std::filesystem::path out = toPath(positional[2]) / std::to_wstring(version);
    std::error_code failed;
    if (std::filesystem::exists(out, failed)) {
        return fail(L"Version " + std::to_wstring(version) + L" already exists in " + positional[2] +
                    L"; a published version is never overwritten.");
    }
    const std::int32_t newest = newestVersion(toPath(positional[2]));
    if (newest != 0 && version != newest + 1) {
        return fail(L"Version " + std::to_wstring(version) + L" does not follow " + std::to_wstring(newest) +
                    L", the newest in " + positional[2] + L": launchers look for " + std::to_wstring(newest + 1) +
                    L" next. Nothing was published.");
    }
    bool published = false;
    try {
        Publisher publisher(toPath(positional[0]), toPath(positional[1]), out, version, format, level);
        published = publisher.run(includes, privateKey, error);
    } catch (const std::exception& failure) {
        error = L"Publishing failed: " + utf8ToWide(failure.what()) + L".";
    }
    if (!published) {
        // The folder was made by this run: what it holds was never listed.
        removeAll(out);
        return fail(error);
    }
    return kExitOk;
}

}  // namespace kiv::tool
