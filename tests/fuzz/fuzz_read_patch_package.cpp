// Feeds arbitrary bytes to the .npatch reader through a file, as the launcher
// reads them. The file lives in memory where possible: rewriting a file on
// disk tens of thousands of times a second would make the file system, not
// the reader, the bottleneck.
#include "patch/patch.h"
#include "tests/support.h"

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
    return 0;
}
