// Opens arbitrary archive pairs: a two-byte little-endian length, that many
// bytes of .hed, the rest .dat. When a pair opens, replacing an item and
// adding one must leave a pair that opens again and finds both.
#include "archive/archive.h"
#include "tests/support.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const kiv::test::ScratchDir dir;
    if (size < 2) return 0;
    const std::string_view pairBytes(reinterpret_cast<const char*>(data) + 2, size - 2);
    const std::size_t hedSize = std::min<std::size_t>(data[0] | (data[1] << 8), pairBytes.size());
    const std::filesystem::path hed = dir / "pair.hed";
    kiv::test::writeFile(hed, pairBytes.substr(0, hedSize));
    kiv::test::writeFile(dir / "pair.dat", pairBytes.substr(hedSize));

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
