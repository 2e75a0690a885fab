// The platform cryptography behind the legacy patch, checked against
// published test vectors so that a backend fault is told apart from a fault
// in the chaining built on top of it.
#include "patch/crypto.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

namespace kiv::crypto {
namespace {

std::span<const std::uint8_t> bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string hex(std::span<const std::uint8_t> data) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : data) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

std::string pbkdf2(std::string_view password, std::string_view salt, std::uint32_t iterations, std::size_t length) {
    std::vector<std::uint8_t> out(length);
    Failure failure = Failure::none;
    EXPECT_TRUE(pbkdf2HmacSha1(bytes(password), bytes(salt), iterations, out, failure));
    return hex(out);
}

TEST(Pbkdf2HmacSha1, MatchesPublishedVectors) {
    EXPECT_EQ(pbkdf2("password", "salt", 1, 20), "0c60c80f961f0e71f3a9b524af6012062fe037a6");
    EXPECT_EQ(pbkdf2("password", "salt", 4096, 20), "4b007901b765489abead49d926f721d065a429c1");
    EXPECT_EQ(pbkdf2("passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096, 25),
              "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038");
}

TEST(Aes256Ecb, MatchesPublishedVectorBlockByBlockAndInPlace) {
    std::array<std::uint8_t, 32> key;
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i);
    std::vector<std::uint8_t> blocks;
    for (int copy = 0; copy < 3; ++copy) {
        for (int i = 0; i < 16; ++i) blocks.push_back(static_cast<std::uint8_t>(i * 0x11));
    }
    Aes256Ecb aes;
    Failure failure = Failure::none;
    ASSERT_TRUE(aes.open(key, failure));
    ASSERT_TRUE(aes.encrypt(blocks, blocks, failure));
    const std::string expected = "8ea2b7ca516745bfeafc49904b496089";
    EXPECT_EQ(hex(blocks), expected + expected + expected);
}

TEST(Aes256Ecb, RefusesPartialBlocks) {
    std::array<std::uint8_t, 32> key{};
    Aes256Ecb aes;
    Failure failure = Failure::none;
    ASSERT_TRUE(aes.open(key, failure));
    std::vector<std::uint8_t> data(17);
    EXPECT_FALSE(aes.encrypt(data, data, failure));
    EXPECT_EQ(failure, Failure::encryption);
}

std::vector<std::uint8_t> unhex(std::string_view text) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

std::string sha256(std::string_view text, std::size_t piece) {
    Sha256 hash;
    for (std::size_t at = 0; at < text.size(); at += piece) {
        const std::string_view part = text.substr(at, piece);
        hash.update(part.data(), part.size());
    }
    Sha256Digest digest;
    EXPECT_TRUE(hash.finish(digest));
    return hex(digest);
}

// A backend that restarts or drops state between pieces shows up as a wrong
// digest of the split input.
TEST(Sha256, MatchesPublishedVectorsWholeAndInPieces) {
    const std::string million(1000000, 'a');
    const struct {
        std::string_view input;
        const char* digest;
    } vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {million, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& vector : vectors) {
        for (std::size_t piece : {std::size_t{1000000}, std::size_t{1}, std::size_t{63}, std::size_t{4096}}) {
            if (piece == 1 && vector.input.size() > 1000) continue;
            EXPECT_EQ(sha256(vector.input, piece), vector.digest) << vector.input.substr(0, 10) << " / " << piece;
        }
    }
}

// The ECDSA P-256 / SHA-256 vector for "sample" from the deterministic-ECDSA
// RFC (public key and signature only).
const char* const kVectorX = "60fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb6";
const char* const kVectorY = "7903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299";
const char* const kVectorR = "efd48b2aacb6a8fd1140dd9cd45e81d69d2c877b56aaf991c34d0ea84eaf3716";
const char* const kVectorS = "f7cb1c942d657c41d436c7a1b6e29f65f3e900dbb9aff4064dc4ab2f843acda8";
const char* const kKeyInfoPrefix = "3059301306072a8648ce3d020106082a8648ce3d030107034200";

std::string pem(std::span<const std::uint8_t> der) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t i = 0; i < der.size(); i += 3) {
        std::uint32_t group = der[i] << 16;
        if (i + 1 < der.size()) group |= der[i + 1] << 8;
        if (i + 2 < der.size()) group |= der[i + 2];
        for (std::size_t k = 0; k < 4; ++k) {
            text.push_back(i + k <= der.size() ? alphabet[(group >> (18 - 6 * k)) & 63] : '=');
        }
        if (i % 48 == 45) text.push_back('\n');
    }
    return "-----BEGIN PUBLIC KEY-----\n" + text + "\n-----END PUBLIC KEY-----\n";
}

std::vector<std::uint8_t> vectorKeyInfo() {
    return unhex(std::string(kKeyInfoPrefix) + "04" + kVectorX + kVectorY);
}

// The DER signature: both scalars have their top bit set, so each takes a
// leading zero.
std::vector<std::uint8_t> vectorSignature() {
    return unhex(std::string("3046022100") + kVectorR + "022100" + kVectorS);
}

TEST(ReleaseSignature, VerifiesThePublishedVectorAndNothingChanged) {
    const std::string key = pem(vectorKeyInfo());
    const std::string message = "sample";
    EXPECT_TRUE(verifyReleaseSignature(key, bytes(message), vectorSignature()));
    EXPECT_FALSE(verifyReleaseSignature(key, bytes("samplf"), vectorSignature()));
    std::vector<std::uint8_t> signature = vectorSignature();
    signature.back() ^= 1;
    EXPECT_FALSE(verifyReleaseSignature(key, bytes(message), signature));
    std::vector<std::uint8_t> otherKey = vectorKeyInfo();
    otherKey[40] ^= 1;  // a point in X: another key, or none on the curve
    EXPECT_FALSE(verifyReleaseSignature(pem(otherKey), bytes(message), vectorSignature()));
}

// Key readers that take another curve, a compressed point or a cut-short
// encoding would hand the platform a key the release was never made with.
TEST(ReleaseSignature, RefusesKeysThatAreNotUncompressedP256Points) {
    const std::vector<std::uint8_t> good = vectorKeyInfo();
    P256Point point;
    ASSERT_TRUE(parseP256PublicKeyPem("junk before\n" + pem(good) + "junk after", point));
    EXPECT_EQ(hex(point), std::string(kVectorX) + kVectorY);
    const struct {
        const char* name;
        std::function<void(std::vector<std::uint8_t>&)> change;
    } cases[] = {
        {"another curve", [](auto& der) { der[24] = 0x08; }},
        {"another algorithm", [](auto& der) { der[12] = 0x03; }},
        {"compressed point", [](auto& der) { der[26] = 0x02; }},
        {"unused bits", [](auto& der) { der[25] = 0x01; }},
        {"cut short", [](auto& der) { der.resize(der.size() - 1); }},
        {"trailing byte", [](auto& der) { der.push_back(0); }},
        {"outer length too long", [](auto& der) { der[1] = 0x5a; }},
        {"long-form length", [](auto& der) { der.insert(der.begin() + 1, 0x81); }},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> der = good;
        c.change(der);
        EXPECT_FALSE(parseP256PublicKeyPem(pem(der), point)) << c.name;
    }
    EXPECT_FALSE(parseP256PublicKeyPem("-----BEGIN PUBLIC KEY-----\nMFkw*EwYH\n-----END PUBLIC KEY-----", point));
    EXPECT_FALSE(parseP256PublicKeyPem("", point));
}

TEST(ReleaseSignature, ReadsOnlyCanonicalSignatureEncodings) {
    P256RawSignature raw;
    ASSERT_TRUE(ecdsaSignatureToRaw(vectorSignature(), raw));
    EXPECT_EQ(hex(raw), std::string(kVectorR) + kVectorS);
    // A short scalar is padded on the left.
    ASSERT_TRUE(ecdsaSignatureToRaw(unhex("3006020105020107"), raw));
    EXPECT_EQ(hex(raw), std::string(62, '0') + "05" + std::string(62, '0') + "07");
    const char* refused[] = {
        "3006020185020107",                     // negative r
        "300702020005020107",                   // needless leading zero
        "3006020105020107" "00",                // trailing byte
        "3007020105020107",                     // sequence longer than its content
        "30050201050201",                       // s cut short
        "3003020105",                           // s missing
        "3009020105020107020101",               // a third integer
        "3006020005020107",                     // empty r
    };
    for (const char* der : refused) EXPECT_FALSE(ecdsaSignatureToRaw(unhex(der), raw)) << der;
    std::string longScalar = "3026022101" + std::string(64, '1') + "020107";
    EXPECT_FALSE(ecdsaSignatureToRaw(unhex(longScalar), raw));
}

}  // namespace
}  // namespace kiv::crypto
