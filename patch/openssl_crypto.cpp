// Cryptography backend on libcrypto.
#include "patch/crypto.h"

#include <openssl/evp.h>

#include <algorithm>
#include <limits>

namespace kiv::crypto {

bool pbkdf2HmacSha1(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                    std::uint32_t iterations, std::span<std::uint8_t> output, Failure& failure) {
    const EVP_MD* sha1 = EVP_sha1();
    if (sha1 == nullptr) {
        failure = Failure::hashProvider;
        return false;
    }
    constexpr std::size_t intMax = static_cast<std::size_t>(std::numeric_limits<int>::max());
    if (password.size() > intMax || salt.size() > intMax || output.size() > intMax ||
        iterations > static_cast<std::uint32_t>(std::numeric_limits<int>::max()) ||
        PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(password.data()), static_cast<int>(password.size()),
                          salt.data(), static_cast<int>(salt.size()), static_cast<int>(iterations), sha1,
                          static_cast<int>(output.size()), output.data()) != 1) {
        failure = Failure::keyDerivation;
        return false;
    }
    return true;
}

struct Aes256Ecb::State {
    ~State() { EVP_CIPHER_CTX_free(context); }
    EVP_CIPHER_CTX* context = nullptr;
};

Aes256Ecb::Aes256Ecb() = default;
Aes256Ecb::~Aes256Ecb() = default;

bool Aes256Ecb::open(std::span<const std::uint8_t, kKeySize> key, Failure& failure) {
    state_ = std::make_unique<State>();
    const EVP_CIPHER* cipher = EVP_aes_256_ecb();
    state_->context = EVP_CIPHER_CTX_new();
    if (cipher == nullptr || state_->context == nullptr) {
        state_.reset();
        failure = Failure::cipherProvider;
        return false;
    }
    if (EVP_EncryptInit_ex(state_->context, cipher, nullptr, key.data(), nullptr) != 1) {
        state_.reset();
        failure = Failure::keyCreation;
        return false;
    }
    if (EVP_CIPHER_CTX_set_padding(state_->context, 0) != 1) {
        state_.reset();
        failure = Failure::chainingMode;
        return false;
    }
    return true;
}

bool Aes256Ecb::encrypt(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, Failure& failure) {
    // libcrypto takes int lengths: feed it in pieces well below that.
    constexpr std::size_t kPiece = 1u << 30;
    if (!state_ || in.size() != out.size() || in.size() % kBlockSize != 0) {
        failure = Failure::encryption;
        return false;
    }
    for (std::size_t done = 0; done < in.size();) {
        const std::size_t length = std::min(kPiece, in.size() - done);
        int written = 0;
        if (EVP_EncryptUpdate(state_->context, out.data() + done, &written, in.data() + done,
                              static_cast<int>(length)) != 1 ||
            static_cast<std::size_t>(written) != length) {
            failure = Failure::encryption;
            return false;
        }
        done += length;
    }
    return true;
}

}  // namespace kiv::crypto
