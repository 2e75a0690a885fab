// Feeds arbitrary bytes to the readers of a signed release: the manifest
// parser, the PEM public-key reader and the DER signature reader. The first
// byte picks the reader; a manifest that reads is written back and must read
// to the same entries.
#include "patch/crypto.h"
#include "update/update.h"

#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 3) {
    case 0: {
        kiv::ReleaseManifest manifest, again;
        std::wstring error;
        if (kiv::parseReleaseManifest(text, manifest, error)) {
            if (!kiv::parseReleaseManifest(kiv::formatReleaseManifest(manifest), again, error) ||
                again.version != manifest.version || again.entries.size() != manifest.entries.size()) {
                std::abort();
            }
        }
        break;
    }
    case 1: {
        kiv::crypto::P256Point point;
        kiv::crypto::parseP256PublicKeyPem(text, point);
        break;
    }
    default: {
        kiv::crypto::P256RawSignature raw;
        kiv::crypto::ecdsaSignatureToRaw({data + 1, size - 1}, raw);
        break;
    }
    }
    return 0;
}
