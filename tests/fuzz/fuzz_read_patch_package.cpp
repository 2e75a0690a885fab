// Feeds arbitrary bytes to the .npatch reader through a file, as the launcher
// reads them. The file lives in memory where possible: rewriting a file on
// disk tens of thousands of times a second would make the file system, not
// the reader, the bottleneck.
//
// Version-2 packages are also applied to a small archive whose item "a.bin"
// is the base of the committed delta seeds: whatever their frames hold
// (garbage, cut short, rebuilding other bytes), a refused package must leave
// both files of the pair exactly as they were.
#include "patch/patch.h"
#include "tests/patch_fixtures.h"
#include "tests/support.h"

#include <map>

namespace {

// The base of the delta seeds: tests/fuzz/corpus/fuzz_read_patch_package/delta_*.
std::string deltaSeedBase() {
    std::string base(3000, '\0');
    for (std::size_t i = 0; i < base.size(); ++i) base[i] = static_cast<char>('a' + (i * i + i / 7) % 26);
    return base;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const kiv::test::ScratchDir dir;
    const std::filesystem::path file = dir / "fuzz.npatch";
    // A fresh file each time: truncating one that still has data in flight
    // makes some file systems write it out first.
    std::filesystem::remove(file);
    kiv::test::writeFile(file, {reinterpret_cast<const char*>(data), size});

    kiv::PatchSet set;
    std::wstring error;
    if (kiv::readPatchPackage(file, set, error)) {
        // A successful read accounts for no more bytes than the file holds.
        std::size_t total = 0;
        for (const kiv::PatchEntry& entry : set.entries) total += 6 + entry.name.size() + entry.data.size();
        if (total > size) __builtin_trap();
    } else if (error.empty() || error.back() != L'.') {
        __builtin_trap();
    }

    if (size < 10 || std::string_view(reinterpret_cast<const char*>(data), 10) != kiv::kPatchPackageMagic2) return 0;
    // The seeds name the pair "x.hed"; a package that names another fails to
    // open it, which leaves the pair alone too.
    static const std::string base = deltaSeedBase();
    const std::filesystem::path install = dir / "install";
    const std::filesystem::path patches = dir / "patches";
    std::filesystem::remove_all(install);
    std::filesystem::remove_all(patches);
    kiv::test::writeArchive(install / "x.hed", {{"a.bin", base}, {"b.txt", "bee"}});
    std::filesystem::create_directories(patches);
    std::filesystem::rename(file, patches / "p.npatch");
    const std::string hed = kiv::test::readFile(install / "x.hed"), dat = kiv::test::readFile(install / "x.dat");
    if (!kiv::applyPatches(install, patches, {}, error)) {
        if (error.empty() || error.back() != L'.') __builtin_trap();
        // Only an entry the archive cannot take ("Could not ...": a name it
        // cannot store, an offset past its limits) keeps the entries before
        // it, as for version 1; everything else is refused beforehand.
        const bool unchanged =
            kiv::test::readFile(install / "x.hed") == hed && kiv::test::readFile(install / "x.dat") == dat;
        if (!unchanged && !error.starts_with(L"Could not")) __builtin_trap();
        return 0;
    }
    // Applied: every item an entry names holds what that entry (the last of
    // its name) records.
    kiv::OpenedPatch patch;
    if (!kiv::openPatchPackage(patches / "p.npatch", patch, error)) __builtin_trap();
    std::map<std::string, kiv::crypto::Sha256Digest> recorded;
    for (const kiv::PatchEntryRange& entry : patch.entries) recorded[entry.name] = entry.itemSha256;
    for (const auto& [name, content] : kiv::test::readArchive(install / "x.hed")) {
        const auto found = recorded.find(name);
        if (found == recorded.end()) continue;
        kiv::crypto::Sha256 hash;
        hash.update(content.data(), content.size());
        kiv::crypto::Sha256Digest digest{};
        if (!hash.finish(digest) || digest != found->second) __builtin_trap();
    }
    return 0;
}
