// Cryptography backend on libcrypto.
#include "patch/crypto.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

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

struct Sha256::State {
    ~State() { EVP_MD_CTX_free(context); }
    EVP_MD_CTX* context = nullptr;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    state_->context = EVP_MD_CTX_new();
    failed_ = state_->context == nullptr || EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) != 1;
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t size) {
    if (failed_ || size == 0) return;
    failed_ = EVP_DigestUpdate(state_->context, data, size) != 1;
}

bool Sha256::finish(Sha256Digest& digest) {
    unsigned int length = 0;
    if (failed_ || EVP_DigestFinal_ex(state_->context, digest.data(), &length) != 1 || length != digest.size()) {
        failed_ = true;
        return false;
    }
    failed_ = true;  // spent
    return true;
}

namespace {

struct Bio {
    ~Bio() { BIO_free(handle); }
    BIO* handle = nullptr;
};
struct Key {
    ~Key() { EVP_PKEY_free(handle); }
    EVP_PKEY* handle = nullptr;
};
struct DigestContext {
    ~DigestContext() { EVP_MD_CTX_free(handle); }
    EVP_MD_CTX* handle = EVP_MD_CTX_new();
};

bool intFits(std::size_t size) { return size <= static_cast<std::size_t>(std::numeric_limits<int>::max()); }

// Reads one PEM key with libcrypto's reader, public or private.
bool readKey(std::string_view pem, bool isPrivate, Key& key) {
    if (!intFits(pem.size())) return false;
    Bio bio;
    bio.handle = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    if (bio.handle == nullptr) return false;
    key.handle = isPrivate ? PEM_read_bio_PrivateKey(bio.handle, nullptr, nullptr, nullptr)
                           : PEM_read_bio_PUBKEY(bio.handle, nullptr, nullptr, nullptr);
    return key.handle != nullptr && EVP_PKEY_is_a(key.handle, "EC") == 1 && EVP_PKEY_get_bits(key.handle) == 256;
}

bool writePem(EVP_PKEY* key, bool isPrivate, std::string& pem) {
    Bio bio;
    bio.handle = BIO_new(BIO_s_mem());
    if (bio.handle == nullptr) return false;
    const int written = isPrivate ? PEM_write_bio_PrivateKey(bio.handle, key, nullptr, nullptr, 0, nullptr, nullptr)
                                  : PEM_write_bio_PUBKEY(bio.handle, key);
    if (written != 1) return false;
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.handle, &data);
    if (length <= 0 || data == nullptr) return false;
    pem.assign(data, static_cast<std::size_t>(length));
    return true;
}

}  // namespace

bool verifyReleaseSignature(std::string_view publicKeyPem, std::span<const std::uint8_t> message,
                            std::span<const std::uint8_t> signature) {
    // The portable readers decide what is acceptable, so that this build and
    // the CNG one agree on every input; libcrypto then does the arithmetic.
    P256Point point;
    P256RawSignature raw;
    if (!parseP256PublicKeyPem(publicKeyPem, point) || !ecdsaSignatureToRaw(signature, raw)) return false;
    Key key;
    DigestContext context;
    if (!readKey(publicKeyPem, false, key) || context.handle == nullptr) return false;
    return EVP_DigestVerifyInit(context.handle, nullptr, EVP_sha256(), nullptr, key.handle) == 1 &&
           EVP_DigestVerify(context.handle, signature.data(), signature.size(), message.data(), message.size()) == 1;
}

bool generateReleaseKeyPair(std::string& privatePem, std::string& publicPem) {
    Key key;
    key.handle = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    return key.handle != nullptr && writePem(key.handle, true, privatePem) && writePem(key.handle, false, publicPem);
}

bool signRelease(std::string_view privatePem, std::span<const std::uint8_t> message,
                 std::vector<std::uint8_t>& signature) {
    Key key;
    DigestContext context;
    if (!readKey(privatePem, true, key) || context.handle == nullptr ||
        EVP_DigestSignInit(context.handle, nullptr, EVP_sha256(), nullptr, key.handle) != 1) {
        return false;
    }
    std::size_t length = 0;
    if (EVP_DigestSign(context.handle, nullptr, &length, message.data(), message.size()) != 1) return false;
    signature.resize(length);
    if (EVP_DigestSign(context.handle, signature.data(), &length, message.data(), message.size()) != 1) return false;
    signature.resize(length);
    return true;
}

bool releasePublicKeyOf(std::string_view privatePem, std::string& publicPem) {
    Key key;
    return readKey(privatePem, true, key) && writePem(key.handle, false, publicPem);
}

}  // namespace kiv::crypto
