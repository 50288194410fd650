#include "server/Handshake.h"
#include "server/Sha1.h"

#include <gtest/gtest.h>

namespace
{
    std::string hex (const std::array<std::uint8_t, 20>& digest)
    {
        static const char* digits = "0123456789abcdef";
        std::string out;
        for (auto b : digest)
        {
            out += digits[b >> 4];
            out += digits[b & 15];
        }
        return out;
    }
}

TEST (Sha1, MatchesPublishedVectors)
{
    struct Case { const char* name; std::string message; const char* digest; };
    const Case cases[] = {
        { "empty", "", "da39a3ee5e6b4b0d3255bfef95601890afd80709" },
        { "abc", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d" },
        { "448-bit", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1" },
        { "896-bit", "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
          "a49b2446a02c645bf419f995b67091253a04a259" },
        { "million a", std::string (1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f" },
        { "binary with NUL", std::string ("\0\x01\xff", 3), "c63e8274458bc7501e7c981f6394ced6d4490fda" },
    };

    for (const auto& c : cases)
        EXPECT_EQ (hex (sha1Digest (c.message)), c.digest) << c.name;
}

TEST (Sha1, CrossesThePaddingBoundaries)
{
    // At 55 bytes the length still fits the last block, at 56 it needs another, and a multiple
    // of 64 gets a whole block of padding.
    struct Case { size_t length; const char* digest; };
    const Case cases[] = {
        { 55, "c1c8bbdc22796e28c0e15163d20899b65621d65a" },
        { 56, "c2db330f6083854c99d4b5bfb6e8f29f201be699" },
        { 57, "f08f24908d682555111be7ff6f004e78283d989a" },
        { 63, "03f09f5b158a7a8cdad920bddc29b81c18a551f5" },
        { 64, "0098ba824b5c16427bd7a1122a5a442a25ec644d" },
        { 65, "11655326c708d70319be2610e8a57d9a5b959d3b" },
        { 119, "ee971065aaa017e0632a8ca6c77bb3bf8b1dfc56" },
        { 120, "f34c1488385346a55709ba056ddd08280dd4c6d6" },
        { 128, "ad5b3fdbcb526778c2839d2f151ea753995e26a0" },
    };

    for (const auto& c : cases)
        EXPECT_EQ (hex (sha1Digest (std::string (c.length, 'a'))), c.digest) << c.length;
}

TEST (Sha1, GivesTheRfcSampleAcceptValue)
{
    EXPECT_EQ (webSocketAcceptValue ("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}
