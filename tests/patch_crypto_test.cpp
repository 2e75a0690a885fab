// The platform cryptography behind signed releases, checked against
// published test vectors, and the portable readers of keys and signatures.
// (PBKDF2 and AES are checked by the legacy sample, which other tools made.)
#include "patch/crypto.h"
#include "tests/support.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace kiv::crypto {
namespace {

using test::asBytes;

std::string hex(std::span<const std::uint8_t> data) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : data) out += {digits[b >> 4], digits[b & 15]};
    return out;
}

std::vector<std::uint8_t> unhex(std::string_view text) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(std::stoi(std::string(text, i, 2), nullptr, 16));
    return out;
}

// A backend that restarts or drops state between pieces shows up as a wrong
// digest of the split input; the pieces of 63 bytes straddle its blocks.
TEST(Sha256, MatchesPublishedVectorsFedInPieces) {
    const std::string million(1000000, 'a');
    const std::tuple<std::string_view, std::size_t, const char*> vectors[] = {
        {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {million, 63, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& [input, piece, digest] : vectors) {
        Sha256 hash;
        for (std::size_t at = 0; at < input.size(); at += piece) {
            hash.update(&input[at], std::min(piece, input.size() - at));
        }
        Sha256Digest result;
        EXPECT_TRUE(hash.finish(result));
        EXPECT_EQ(hex(result), digest) << input.size();
    }
}

// The ECDSA P-256 / SHA-256 vector for "sample" from the deterministic-ECDSA
// RFC (public key and signature only).
const std::string kVectorX = "60fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb6";
const std::string kVectorY = "7903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299";
const std::string kVectorR = "efd48b2aacb6a8fd1140dd9cd45e81d69d2c877b56aaf991c34d0ea84eaf3716";
const std::string kVectorS = "f7cb1c942d657c41d436c7a1b6e29f65f3e900dbb9aff4064dc4ab2f843acda8";
const std::vector<std::uint8_t> kKeyInfo =
    unhex("3059301306072a8648ce3d020106082a8648ce3d030107034200" "04" + kVectorX + kVectorY);
// Both scalars have their top bit set, so each takes a leading zero.
const std::vector<std::uint8_t> kSignature = unhex("3046022100" + kVectorR + "022100" + kVectorS);

std::string pem(std::span<const std::uint8_t> der) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t i = 0; i < der.size(); i += 3) {
        std::uint32_t group = der[i] << 16;
        if (i + 1 < der.size()) group |= der[i + 1] << 8;
        if (i + 2 < der.size()) group |= der[i + 2];
        for (std::size_t k = 0; k < 4; ++k) text += i + k <= der.size() ? alphabet[(group >> (18 - 6 * k)) & 63] : '=';
        if (i % 48 == 45) text += '\n';
    }
    return "-----BEGIN PUBLIC KEY-----\n" + text + "\n-----END PUBLIC KEY-----\n";
}

TEST(ReleaseSignature, VerifiesThePublishedVectorAndNothingChanged) {
    std::vector<std::uint8_t> changed = kSignature;
    changed.back() ^= 1;
    EXPECT_TRUE(verifyReleaseSignature(pem(kKeyInfo), asBytes("sample"), kSignature));
    EXPECT_FALSE(verifyReleaseSignature(pem(kKeyInfo), asBytes("samplf"), kSignature));
    EXPECT_FALSE(verifyReleaseSignature(pem(kKeyInfo), asBytes("sample"), changed));
}

// Key readers that take another curve, a compressed point or a cut-short
// encoding would hand the platform a key the release was never made with.
TEST(ReleaseSignature, RefusesKeysThatAreNotUncompressedP256Points) {
    P256Point point;
    ASSERT_TRUE(parseP256PublicKeyPem("junk before\n" + pem(kKeyInfo) + "junk after", point));
    EXPECT_EQ(hex(point), kVectorX + kVectorY);
    const std::pair<const char*, std::function<void(std::vector<std::uint8_t>&)>> cases[] = {
        {"another curve", [](auto& der) { der[24] = 0x08; }},
        {"another algorithm", [](auto& der) { der[12] = 0x03; }},
        {"compressed point", [](auto& der) { der[26] = 0x02; }},
        {"unused bits", [](auto& der) { der[25] = 0x01; }},
        {"cut short", [](auto& der) { der.pop_back(); }},
        {"trailing byte", [](auto& der) { der.push_back(0); }},
        {"outer length too long", [](auto& der) { der[1] = 0x5a; }},
        {"long-form length", [](auto& der) { der.insert(der.begin() + 1, 0x81); }},
    };
    for (const auto& [name, change] : cases) {
        std::vector<std::uint8_t> der = kKeyInfo;
        change(der);
        EXPECT_FALSE(parseP256PublicKeyPem(pem(der), point)) << name;
    }
    EXPECT_FALSE(parseP256PublicKeyPem("-----BEGIN PUBLIC KEY-----\nMFkw*EwYH\n-----END PUBLIC KEY-----", point));
}

TEST(ReleaseSignature, ReadsOnlyCanonicalSignatureEncodings) {
    P256RawSignature raw;
    ASSERT_TRUE(ecdsaSignatureToRaw(kSignature, raw));
    EXPECT_EQ(hex(raw), kVectorR + kVectorS);
    // A short scalar is padded on the left.
    ASSERT_TRUE(ecdsaSignatureToRaw(unhex("3006020105020107"), raw));
    EXPECT_EQ(hex(raw), std::string(62, '0') + "05" + std::string(62, '0') + "07");
    const std::string refused[] = {
        "3006020185020107",                         // negative r
        "300702020005020107",                       // needless leading zero
        "300602010502010700",                       // trailing byte
        "3007020105020107",                         // sequence longer than its content
        "30050201050201",                           // s cut short
        "3003020105",                               // s missing
        "3009020105020107020101",                   // a third integer
        "3006020005020107",                         // empty r
        "3026022101" + std::string(64, '1') + "020107",  // 33-byte r
    };
    for (const std::string& der : refused) EXPECT_FALSE(ecdsaSignatureToRaw(unhex(der), raw)) << der;
}

}  // namespace
}  // namespace kiv::crypto
