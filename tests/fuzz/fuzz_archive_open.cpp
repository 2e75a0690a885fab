// Opens arbitrary archive pairs: a two-byte little-endian length, that many
// bytes of .hed, the rest .dat. When a pair opens, replacing an item and
// adding one must leave a pair that opens again and finds both.
#include "archive/archive.h"
#include "base/base.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>

namespace {

// A directory of this process's own, in memory where there is one, removed
// when the fuzzer exits.
struct Scratch {
    Scratch() {
        std::error_code ignored;
        const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ignored)
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        path = base / ("kiv-fuzz-archive-" + std::to_string(getpid()));
        std::filesystem::create_directories(path);
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::filesystem::path path;
};

void writeAll(const std::filesystem::path& path, const std::uint8_t* data, std::size_t size) {
    kiv::File file;
    if (!file.open(path, kiv::File::Mode::create) || !file.writeAt(0, data, size)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Scratch scratch;
    const std::filesystem::path& dir = scratch.path;
    if (size < 2) return 0;
    std::size_t hedSize = data[0] | (data[1] << 8);
    if (hedSize > size - 2) hedSize = size - 2;
    const std::filesystem::path hed = dir / "pair.hed";
    writeAll(hed, data + 2, hedSize);
    writeAll(dir / "pair.dat", data + 2 + hedSize, size - 2 - hedSize);

    kiv::ArchivePair pair;
    std::wstring error;
    if (!pair.open(hed, error)) return 0;

    const std::uint8_t bytes[] = {'n', 'e', 'w'};
    if (!pair.items.empty() && !pair.replaceItem(pair.items.back().name, bytes, error)) std::abort();
    if (!pair.replaceItem("fuzz\\added", bytes, error)) std::abort();

    kiv::ArchivePair again;
    if (!again.open(hed, error)) std::abort();
    const auto found = again.nameIndex.find("fuzz\\added");
    if (found == again.nameIndex.end()) std::abort();
    if (again.items[static_cast<std::size_t>(found->second)].size != sizeof bytes) std::abort();
    if (again.items.size() != pair.items.size()) std::abort();
    return 0;
}
