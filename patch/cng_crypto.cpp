// Cryptography backend on CNG (bcrypt). AES is used in ECB mode only: the
// chaining mode is built by the caller, because CNG's own CFB mode cannot be
// relied on to use 16-byte segments everywhere the launcher runs.
#include "patch/crypto.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace kiv::crypto {

namespace {

bool succeeded(NTSTATUS status) { return status >= 0; }

// An algorithm provider closed when it goes out of scope.
struct Provider {
    ~Provider() {
        if (handle != nullptr) BCryptCloseAlgorithmProvider(handle, 0);
    }
    BCRYPT_ALG_HANDLE handle = nullptr;
};

}  // namespace

bool pbkdf2HmacSha1(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                    std::uint32_t iterations, std::span<std::uint8_t> output, Failure& failure) {
    Provider hmac;
    if (!succeeded(
            BCryptOpenAlgorithmProvider(&hmac.handle, BCRYPT_SHA1_ALGORITHM, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG))) {
        hmac.handle = nullptr;
        failure = Failure::hashProvider;
        return false;
    }
    constexpr std::size_t ulongMax = std::numeric_limits<ULONG>::max();
    if (password.size() > ulongMax || salt.size() > ulongMax || output.size() > ulongMax ||
        !succeeded(BCryptDeriveKeyPBKDF2(hmac.handle, const_cast<PUCHAR>(password.data()),
                                         static_cast<ULONG>(password.size()), const_cast<PUCHAR>(salt.data()),
                                         static_cast<ULONG>(salt.size()), iterations, output.data(),
                                         static_cast<ULONG>(output.size()), 0))) {
        failure = Failure::keyDerivation;
        return false;
    }
    return true;
}

struct Aes256Ecb::State {
    ~State() {
        // The key before the provider it was made from.
        if (key != nullptr) BCryptDestroyKey(key);
    }
    Provider aes;
    BCRYPT_KEY_HANDLE key = nullptr;
};

Aes256Ecb::Aes256Ecb() = default;
Aes256Ecb::~Aes256Ecb() = default;

bool Aes256Ecb::open(std::span<const std::uint8_t, kKeySize> key, Failure& failure) {
    auto state = std::make_unique<State>();
    if (!succeeded(BCryptOpenAlgorithmProvider(&state->aes.handle, BCRYPT_AES_ALGORITHM, nullptr, 0))) {
        state->aes.handle = nullptr;
        failure = Failure::cipherProvider;
        return false;
    }
    const wchar_t mode[] = BCRYPT_CHAIN_MODE_ECB;
    if (!succeeded(BCryptSetProperty(state->aes.handle, BCRYPT_CHAINING_MODE,
                                     reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(mode)), sizeof mode, 0))) {
        failure = Failure::chainingMode;
        return false;
    }
    if (!succeeded(BCryptGenerateSymmetricKey(state->aes.handle, &state->key, nullptr, 0,
                                              const_cast<PUCHAR>(key.data()), static_cast<ULONG>(key.size()), 0))) {
        state->key = nullptr;
        failure = Failure::keyCreation;
        return false;
    }
    state_ = std::move(state);
    return true;
}

bool Aes256Ecb::encrypt(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, Failure& failure) {
    constexpr std::size_t kPiece = 1u << 30;
    if (!state_ || in.size() != out.size() || in.size() % kBlockSize != 0) {
        failure = Failure::encryption;
        return false;
    }
    for (std::size_t done = 0; done < in.size();) {
        const ULONG length = static_cast<ULONG>(std::min(kPiece, in.size() - done));
        ULONG written = 0;
        if (!succeeded(BCryptEncrypt(state_->key, const_cast<PUCHAR>(in.data() + done), length, nullptr, nullptr, 0,
                                     out.data() + done, length, &written, 0)) ||
            written != length) {
            failure = Failure::encryption;
            return false;
        }
        done += length;
    }
    return true;
}

struct Sha256::State {
    ~State() {
        if (hash != nullptr) BCryptDestroyHash(hash);
    }
    Provider sha256;
    BCRYPT_HASH_HANDLE hash = nullptr;
    // Windows 7 wants the caller to provide the hash object's memory.
    std::vector<UCHAR> object;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    State& state = *state_;
    if (!succeeded(BCryptOpenAlgorithmProvider(&state.sha256.handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        state.sha256.handle = nullptr;
        failed_ = true;
        return;
    }
    DWORD objectLength = 0;
    ULONG written = 0;
    if (!succeeded(BCryptGetProperty(state.sha256.handle, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectLength),
                                     sizeof objectLength, &written, 0)) ||
        written != sizeof objectLength) {
        failed_ = true;
        return;
    }
    state.object.resize(objectLength);
    if (!succeeded(
            BCryptCreateHash(state.sha256.handle, &state.hash, state.object.data(), objectLength, nullptr, 0, 0))) {
        state.hash = nullptr;
        failed_ = true;
    }
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t size) {
    constexpr std::size_t kPiece = 1u << 30;
    const auto* bytes = static_cast<const UCHAR*>(data);
    while (!failed_ && size != 0) {
        const ULONG length = static_cast<ULONG>(std::min(kPiece, size));
        failed_ = !succeeded(BCryptHashData(state_->hash, const_cast<PUCHAR>(bytes), length, 0));
        bytes += length;
        size -= length;
    }
}

bool Sha256::finish(Sha256Digest& digest) {
    const bool ok =
        !failed_ && succeeded(BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
    failed_ = true;  // spent
    return ok;
}

bool verifyReleaseSignature(std::string_view publicKeyPem, std::span<const std::uint8_t> message,
                            std::span<const std::uint8_t> signature) {
    P256Point point;
    P256RawSignature raw;
    if (!parseP256PublicKeyPem(publicKeyPem, point) || !ecdsaSignatureToRaw(signature, raw)) return false;

    Sha256 hash;
    hash.update(message.data(), message.size());
    Sha256Digest digest;
    if (!hash.finish(digest)) return false;

    Provider ecdsa;
    if (!succeeded(BCryptOpenAlgorithmProvider(&ecdsa.handle, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) {
        ecdsa.handle = nullptr;
        return false;
    }
    // BCRYPT_ECCKEY_BLOB: magic and coordinate length, then X and Y.
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + point.size());
    BCRYPT_ECCKEY_BLOB head{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob.data(), &head, sizeof head);
    std::memcpy(blob.data() + sizeof head, point.data(), point.size());
    BCRYPT_KEY_HANDLE key = nullptr;
    if (!succeeded(BCryptImportKeyPair(ecdsa.handle, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob.data(),
                                       static_cast<ULONG>(blob.size()), 0))) {
        return false;
    }
    const bool valid = succeeded(BCryptVerifySignature(key, nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                                                       raw.data(), static_cast<ULONG>(raw.size()), 0));
    BCryptDestroyKey(key);
    return valid;
}

// Keys are made and releases signed on the operator's machine with libcrypto.
bool generateReleaseKeyPair(std::string&, std::string&) { return false; }
bool signRelease(std::string_view, std::span<const std::uint8_t>, std::vector<std::uint8_t>&) { return false; }
bool releasePublicKeyOf(std::string_view, std::string&) { return false; }

}  // namespace kiv::crypto
