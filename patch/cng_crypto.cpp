// Cryptography backend on CNG (bcrypt). AES is used in ECB mode only: the
// chaining mode is built by the caller, because CNG's own CFB mode cannot be
// relied on to use 16-byte segments everywhere the launcher runs.
#include "patch/crypto.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <limits>

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
    if (!succeeded(BCryptOpenAlgorithmProvider(&hmac.handle, BCRYPT_SHA1_ALGORITHM, nullptr,
                                               BCRYPT_ALG_HANDLE_HMAC_FLAG))) {
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
                                              const_cast<PUCHAR>(key.data()), static_cast<ULONG>(key.size()),
                                              0))) {
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
        if (!succeeded(BCryptEncrypt(state_->key, const_cast<PUCHAR>(in.data() + done), length, nullptr, nullptr,
                                     0, out.data() + done, length, &written, 0)) ||
            written != length) {
            failure = Failure::encryption;
            return false;
        }
        done += length;
    }
    return true;
}

}  // namespace kiv::crypto
