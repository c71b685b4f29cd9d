// SHA-1 against FIPS 180-4 examples, Base64 against RFC 4648 vectors.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include "agent/cryptoutils.h"

namespace vorn {
namespace {

TEST(CryptoUtils, SHA1MatchesPublishedDigests) {
    const struct {
        std::string m_input;
        const char* m_szDigest;
    } cases[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        // The device-identifier example: nonce 1, DigitalProductId aa bb, Sid 01 05 00 00.
        {std::string("\x01\x00\x00\x00\xaa\xbb\x01\x05\x00\x00", 10),
         "d65a0e2aad9f66ca7f7ac6d1261e59c00876f8aa"},
    };
    for (const auto& c : cases) {
        std::string digest = "old";
        ASSERT_EQ(GetSHA1Hash(reinterpret_cast<const unsigned char*>(c.m_input.data()),
                              c.m_input.size(), digest),
                  VORN_OK);
        EXPECT_EQ(digest, c.m_szDigest) << c.m_input.size() << " bytes";
    }
}

// Every length around the one- and two-block padding boundaries, against the
// TLS library's digest.
TEST(CryptoUtils, SHA1AgreesWithTheTlsLibraryAtEveryPaddingBoundary) {
    std::string input;
    for (size_t length = 0; length <= 200; ++length) {
        unsigned char bytes[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        ASSERT_EQ(EVP_Digest(input.data(), input.size(), bytes, &size, EVP_sha1(), nullptr), 1);
        std::string expected;
        for (unsigned int i = 0; i < size; ++i) {
            static const char kHex[] = "0123456789abcdef";
            expected += kHex[bytes[i] >> 4];
            expected += kHex[bytes[i] & 0x0f];
        }
        std::string digest;
        ASSERT_EQ(
            GetSHA1Hash(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest),
            VORN_OK);
        ASSERT_EQ(digest, expected) << length << " bytes";
        input += static_cast<char>(length * 37 + 11);
    }
}

TEST(CryptoUtils, SHA1OfNullDataIsInvalidArgument) {
    std::string digest = "untouched";
    EXPECT_EQ(GetSHA1Hash(nullptr, 3, digest), VORN_INVALID_ARGUMENT);
    EXPECT_EQ(digest, "untouched");
}

TEST(CryptoUtils, Base64MatchesRFC4648WithoutLineBreaks) {
    const struct {
        std::string m_input;
        const char* m_szOutput;
    } cases[] = {
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\xff\xfe\x00\x01", 4), "//4AAQ=="},
        // 60 bytes: past the 48 after which a line-breaking encoder would wrap.
        {"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWX",
         "MDEyMzQ1Njc4OWFiY2RlZmdoaWprbG1ub3BxcnN0dXZ3eHl6QUJDREVGR0hJSktMTU5PUFFSU1RVVldY"},
    };
    for (const auto& c : cases) {
        std::string output = "old";
        ASSERT_EQ(Base64Encode(c.m_input, output), VORN_OK);
        EXPECT_EQ(output, c.m_szOutput);
    }
}

TEST(CryptoUtils, Base64OfEmptyInputFailsAndLeavesOutput) {
    std::string output = "untouched";
    EXPECT_EQ(Base64Encode("", output), VORN_FAILED);
    EXPECT_EQ(output, "untouched");
}

}  // namespace
}  // namespace vorn
