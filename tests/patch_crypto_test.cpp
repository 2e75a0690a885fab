// The platform cryptography behind the legacy patch, checked against
// published test vectors so that a backend fault is told apart from a fault
// in the chaining built on top of it.
#include "patch/crypto.h"

#include <gtest/gtest.h>

#include <array>
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
    EXPECT_EQ(pbkdf2("password", "salt", 2, 20), "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957");
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

}  // namespace
}  // namespace kiv::crypto
