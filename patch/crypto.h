// The platform cryptography, each backend in a file of its own (CNG on
// Windows, libcrypto elsewhere). For the legacy patch only PBKDF2 and the raw
// AES block function are taken from the platform: the chaining mode is built
// on top of them in one place, so that both builds decrypt alike. For signed
// releases: SHA-256 and ECDSA P-256 verification; the key and signature
// encodings are read by portable code here, so that both builds accept
// exactly the same bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

// ---- Signed releases ---------------------------------------------------------

using Sha256Digest = std::array<std::uint8_t, 32>;

// SHA-256 fed piece by piece. A platform failure at any step makes `finish`
// return false; nothing throws except allocation failures.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, std::size_t size);
    // The digest of everything fed so far; the object is spent afterwards.
    bool finish(Sha256Digest& digest);

private:
    struct State;
    std::unique_ptr<State> state_;
    bool failed_ = false;
};

// The public point of a P-256 key: X then Y, 32 big-endian bytes each.
using P256Point = std::array<std::uint8_t, 64>;
// An ECDSA P-256 signature as r then s, 32 big-endian bytes each.
using P256RawSignature = std::array<std::uint8_t, 64>;

// Reads a PEM "PUBLIC KEY" block (a SubjectPublicKeyInfo) that holds an
// uncompressed point on P-256. Text around the block is ignored; anything
// else (another curve or algorithm, a compressed point, a short or long
// encoding) is refused.
bool parseP256PublicKeyPem(std::string_view pem, P256Point& point);

// Turns a DER ECDSA-Sig-Value (SEQUENCE of two INTEGERs) into r || s.
// Refuses negative or oversized integers, long forms where short ones fit,
// and trailing bytes.
bool ecdsaSignatureToRaw(std::span<const std::uint8_t> der, P256RawSignature& raw);

// Whether `signature` (DER) is a valid ECDSA P-256 / SHA-256 signature of
// `message` under the PEM public key. Any malformed input gives false.
bool verifyReleaseSignature(std::string_view publicKeyPem, std::span<const std::uint8_t> message,
                            std::span<const std::uint8_t> signature);

// The operator's side, available with libcrypto only (false elsewhere):
// a fresh key pair as PKCS#8 and SubjectPublicKeyInfo PEM blocks, a DER
// signature of `message` with the private key, and the key's public half.
bool generateReleaseKeyPair(std::string& privatePem, std::string& publicPem);
bool signRelease(std::string_view privatePem, std::span<const std::uint8_t> message,
                 std::vector<std::uint8_t>& signature);
// The public key (SubjectPublicKeyInfo PEM) of a private key, so that what
// was signed can be checked as a launcher checks it.
bool releasePublicKeyOf(std::string_view privatePem, std::string& publicPem);

}  // namespace kiv::crypto
