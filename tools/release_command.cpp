// Keys and checks of signed releases: kivtool keygen and kivtool verify, and
// the file hashing that publish shares with them.
#include "tools/kivtool.h"

#include "base/base.h"
#include "patch/crypto.h"
#include "patch/patch.h"
#include "update/update.h"

#include <algorithm>
#include <map>
#include <vector>

namespace kiv::tool {

bool hashFile(const std::filesystem::path& path, crypto::Sha256Digest& digest, std::uint64_t& size) {
    File file;
    if (!file.open(path, File::Mode::read)) return false;
    crypto::Sha256 hash;
    std::vector<std::uint8_t> buffer(1u << 20);
    size = 0;
    for (;;) {
        const std::int64_t read = file.readSomeAt(size, buffer.data(), buffer.size());
        if (read < 0) return false;
        if (read == 0) break;
        hash.update(buffer.data(), static_cast<std::size_t>(read));
        size += static_cast<std::uint64_t>(read);
    }
    return hash.finish(digest);
}

bool writeNewFile(const std::filesystem::path& path, std::string_view bytes) {
    File file;
    return file.open(path, File::Mode::create) && file.writeAt(0, bytes.data(), bytes.size()) && file.flush();
}

int keygenCommand(const Args& args) {
    if (args.size() != 2 || args[0].starts_with(L"-") || args[1].starts_with(L"-")) return kExitUsage;
    std::error_code failed;
    for (const std::wstring& name : args) {
        if (std::filesystem::exists(toPath(name), failed)) return fail(L"Will not overwrite " + name + L".");
    }
    std::string privatePem, publicPem;
    if (!crypto::generateReleaseKeyPair(privatePem, publicPem)) {
        return fail(L"Could not generate a key pair (keys are made by the native build of kivtool).");
    }
    if (!writeNewFile(toPath(args[0]), privatePem)) return fail(L"Could not write " + args[0] + L".");
    std::filesystem::permissions(toPath(args[0]),
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, failed);
    if (!writeNewFile(toPath(args[1]), publicPem)) return fail(L"Could not write " + args[1] + L".");
    return kExitOk;
}

std::wstring publishedEntryProblem(std::wstring_view entry) {
    const std::wstring_view reason = unsafeListEntryReason(entry);
    if (!reason.empty()) return std::wstring(reason);
    const std::wstring relative = relativeEntryPath(entry);
    const std::vector<std::wstring_view> elements = pathElements(relative);
    if (isPatchFile(entry) && (elements.size() != 2 || !equalsIgnoringCase(elements[0], L"patches"))) {
        return L"Launchers take it for a patch file and apply patch files only from patches, so they would leave "
               L"it out.";
    }
    return {};
}

std::wstring windowsNameClash(const std::vector<std::wstring>& entries) {
    // Each entry as Windows sees it: elements joined by one separator, the
    // ASCII letters in one case (the launcher's own comparison).
    std::map<std::wstring, const std::wstring*> files, folders;
    for (const std::wstring& entry : entries) {
        const std::wstring relative = relativeEntryPath(entry);
        std::wstring key;
        for (std::wstring_view element : pathElements(relative)) {
            if (!key.empty()) {
                folders.emplace(key, &entry);
                key += L'\\';
            }
            for (wchar_t c : element) key += c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
        }
        const auto [known, added] = files.emplace(key, &entry);
        if (!added) {
            return *known->second == entry ? entry + L" is named twice."
                                           : *known->second + L" and " + entry + L" are one file on Windows.";
        }
    }
    for (const auto& [key, entry] : files) {
        const auto folder = folders.find(key);
        if (folder != folders.end()) {
            return *entry + L" is a file, and " + *folder->second + L" needs a folder of that name.";
        }
    }
    return {};
}

namespace {

// Every disagreement of one published version, one line each.
class Problems {
public:
    void add(const std::wstring& line) {
        err(L"kivtool: " + line + L"\n");
        ++count_;
    }
    int count() const { return count_; }

private:
    int count_ = 0;
};

}  // namespace

int checkVersionFolder(const std::filesystem::path& folder, std::int32_t version, const std::string& publicKey,
                       const std::filesystem::path& listFile, std::size_t& files) {
    Problems problems;
    std::wstring error;
    std::string listText, manifestText, signature;
    if (!readTextFile(toWide(folder / listFile), listText, error)) problems.add(L"dl_list.txt: missing.");
    const DownloadList list = parseDownloadList(listText);
    files = list.size();
    if (list.empty()) problems.add(L"dl_list.txt: names no file, so the version is not published.");
    ReleaseManifest manifest;
    bool haveManifest = readTextFile(toWide(folder / "release.txt"), manifestText, error);
    if (!haveManifest) {
        problems.add(L"release.txt: missing.");
    } else if (!parseReleaseManifest(manifestText, manifest, error)) {
        problems.add(L"release.txt: " + error);
        haveManifest = false;
    } else if (manifest.version != version) {
        problems.add(L"release.txt: for version " + std::to_wstring(manifest.version) + L", not " +
                     std::to_wstring(version) + L".");
    } else if (!releaseMatchesList(manifest, version, list)) {
        problems.add(L"release.txt: its entries are not exactly those of dl_list.txt.");
    }
    if (!publicKey.empty()) {
        if (!readTextFile(toWide(folder / "release.sig"), signature, error)) {
            problems.add(L"release.sig: missing.");
        } else if (!crypto::verifyReleaseSignature(
                       publicKey, {reinterpret_cast<const std::uint8_t*>(manifestText.data()), manifestText.size()},
                       {reinterpret_cast<const std::uint8_t*>(signature.data()), signature.size()})) {
            problems.add(L"release.sig: not a signature of release.txt by this key.");
        }
    }

    const std::wstring clash = windowsNameClash(list);
    if (!clash.empty()) problems.add(L"dl_list.txt: " + clash);
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::wstring problem = publishedEntryProblem(list[i]);
        if (!problem.empty()) {
            problems.add(list[i] + L": " + problem);
            continue;
        }
        crypto::Sha256Digest digest;
        std::uint64_t size = 0;
        if (!hashFile(joinEntryPath(folder, relativeEntryPath(list[i])), digest, size)) {
            problems.add(list[i] + L": missing or unreadable.");
            continue;
        }
        if (!haveManifest || i >= manifest.entries.size() || manifest.entries[i].entry != list[i]) continue;
        if (size != manifest.entries[i].size) {
            problems.add(list[i] + L": " + std::to_wstring(size) + L" bytes, the release says " +
                         std::to_wstring(manifest.entries[i].size) + L".");
        } else if (digest != manifest.entries[i].sha256) {
            problems.add(list[i] + L": SHA-256 differs from the release.");
        }
    }
    // The whole items offered beside the deltas, range by range.
    for (const ReleaseItem& item : manifest.items) {
        const std::wstring relative = relativeEntryPath(item.file);
        File file;
        crypto::Sha256 hash;
        std::vector<std::uint8_t> piece(1u << 20);
        bool read = !isUnsafeRelativePath(relative) && !relative.empty() &&
                    file.open(joinEntryPath(folder, relative), File::Mode::read);
        for (std::uint64_t done = 0; read && done < item.length;) {
            const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), item.length - done));
            read = file.readAt(item.offset + done, piece.data(), length);
            hash.update(piece.data(), length);
            done += length;
        }
        crypto::Sha256Digest digest{};
        if (!read || !hash.finish(digest) || digest != item.range) {
            problems.add(item.file + L" at " + std::to_wstring(item.offset) + L": not the item the release says.");
        }
    }
    return problems.count();
}

int verifyCommand(const Args& args) {
    if (args.empty() || args[0].starts_with(L"-") || (args.size() != 1 && args.size() != 3) ||
        (args.size() == 3 && args[1] != L"--public-key")) {
        return kExitUsage;
    }
    std::string publicKey;
    std::wstring error;
    if (args.size() == 3 && !readTextFile(args[2], publicKey, error)) return fail(error);
    crypto::P256Point point;
    if (args.size() == 3 && !crypto::parseP256PublicKeyPem(publicKey, point)) {
        return fail(L"Not a P-256 public key: " + args[2] + L".");
    }

    const std::filesystem::path folder = toPath(args[0]);
    if (!isExistingDirectory(args[0])) return fail(L"No such version folder: " + args[0] + L".");
    std::int32_t version = 0;
    std::wstring trimmed = args[0];
    while (trimmed.size() > 1 && isPathSeparator(trimmed.back())) trimmed.pop_back();
    const std::wstring folderName = toWide(toPath(trimmed).filename());
    if (!parseInt32(folderName, version) || version <= 0) {
        return fail(L"The folder name is not a version number: " + args[0] + L".");
    }
    std::size_t files = 0;
    if (checkVersionFolder(folder, version, publicKey, "dl_list.txt", files) != 0) return kExitFailed;
    out(L"version " + std::to_wstring(version) + L": " + std::to_wstring(files) + L" files match the release" +
        (publicKey.empty() ? L" (signature not checked: no public key)" : L", signed by the publisher") + L".\n");
    return kExitOk;
}

}  // namespace kiv::tool
