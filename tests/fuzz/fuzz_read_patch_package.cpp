// Feeds arbitrary bytes to the .npatch reader through a file, as the launcher
// reads them.
#include "patch/patch.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

// One file per fuzzing process, removed when the process ends. It lives in
// memory where possible: rewriting a file on disk tens of thousands of times
// a second would make the file system, not the reader, the bottleneck.
struct ScratchFile {
    ScratchFile()
        : path((std::filesystem::is_directory("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                          : std::filesystem::temp_directory_path()) /
               ("fuzz_read_patch_package-" + std::to_string(::getpid()) + ".npatch")) {}
    ~ScratchFile() {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
    std::filesystem::path path;
};

const std::filesystem::path& scratchFile() {
    static const ScratchFile file;
    return file.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A fresh file each time: truncating one that still has data in flight
    // makes some file systems write it out first.
    std::remove(scratchFile().c_str());
    std::FILE* file = std::fopen(scratchFile().c_str(), "wb");
    if (file == nullptr) return 0;
    const bool written = std::fwrite(data, 1, size, file) == size;
    std::fclose(file);
    if (!written) return 0;

    kiv::PatchSet set;
    std::wstring error;
    if (kiv::readPatchPackage(scratchFile(), set, error)) {
        // A successful read accounts for no more bytes than the file holds.
        std::size_t total = 0;
        for (const kiv::PatchEntry& entry : set.entries) total += 6 + entry.name.size() + entry.data.size();
        if (total > size) __builtin_trap();
    } else if (error.empty() || error.back() != L'.') {
        __builtin_trap();
    }
    return 0;
}
