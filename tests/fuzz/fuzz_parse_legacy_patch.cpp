// Feeds arbitrary decrypted content to the legacy patch scan.
#include "patch/patch.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kiv::PatchSet set;
    std::wstring error;
    if (kiv::parseLegacyPatch(std::span(data, size), set, error)) {
        if (set.archivePath.empty() || set.entries.empty()) __builtin_trap();
        for (const kiv::PatchEntry& entry : set.entries) {
            if (entry.name.empty() || entry.name.size() > 260 || entry.data.size() > size) __builtin_trap();
        }
    } else if (error.empty() || error.back() != L'.') {
        __builtin_trap();
    }
    return 0;
}
