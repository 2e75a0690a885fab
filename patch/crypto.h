// The two cryptographic primitives the legacy patch needs, each backend in a
// file of its own (CNG on Windows, libcrypto elsewhere). Only PBKDF2 and the
// raw AES block function are taken from the platform: the chaining mode is
// built on top of them in one place, so that both builds decrypt alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace kiv::crypto {

// Which step of the platform's cryptography failed.
enum class Failure {
    none,
    hashProvider,    // the HMAC-SHA1 implementation is not available
    keyDerivation,   // PBKDF2 itself failed
    cipherProvider,  // the AES implementation is not available
    chainingMode,    // the block mode could not be chosen
    keyCreation,     // the key was refused
    encryption,      // the block function failed
};

// PBKDF2 with HMAC-SHA1, filling all of `output`.
bool pbkdf2HmacSha1(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                    std::uint32_t iterations, std::span<std::uint8_t> output, Failure& failure);

// AES-256 applied block by block (no chaining, no padding).
class Aes256Ecb {
public:
    static constexpr std::size_t kBlockSize = 16;
    static constexpr std::size_t kKeySize = 32;

    Aes256Ecb();
    ~Aes256Ecb();
    Aes256Ecb(const Aes256Ecb&) = delete;
    Aes256Ecb& operator=(const Aes256Ecb&) = delete;

    bool open(std::span<const std::uint8_t, kKeySize> key, Failure& failure);
    // Encrypts whole blocks; `in` and `out` have the same size, a multiple of
    // the block size, and may be the same memory.
    bool encrypt(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, Failure& failure);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace kiv::crypto
