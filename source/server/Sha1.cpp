#include "Sha1.h"

namespace
{
    std::uint32_t rotateLeft (std::uint32_t value, int bits)
    {
        return (value << bits) | (value >> (32 - bits));
    }
}

std::array<std::uint8_t, 20> sha1Digest (const std::string& message)
{
    std::string padded (message);
    const auto bitLength = (std::uint64_t) message.size() * 8u;

    padded.push_back ((char) 0x80);

    while (padded.size() % 64 != 56)
        padded.push_back ((char) 0);

    for (int shift = 56; shift >= 0; shift -= 8)
        padded.push_back ((char) ((bitLength >> shift) & 0xff));

    std::uint32_t h[5] = { 0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u };

    for (size_t block = 0; block < padded.size(); block += 64)
    {
        std::uint32_t w[80];

        for (int t = 0; t < 16; ++t)
        {
            const auto* p = reinterpret_cast<const unsigned char*> (padded.data() + block + (size_t) (4 * t));
            w[t] = (std::uint32_t) p[0] << 24 | (std::uint32_t) p[1] << 16 | (std::uint32_t) p[2] << 8 | (std::uint32_t) p[3];
        }

        for (int t = 16; t < 80; ++t)
            w[t] = rotateLeft (w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

        auto a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];

        for (int t = 0; t < 80; ++t)
        {
            std::uint32_t f, k;

            if (t < 20)      { f = (b & c) | (~b & d);          k = 0x5A827999u; }
            else if (t < 40) { f = b ^ c ^ d;                   k = 0x6ED9EBA1u; }
            else if (t < 60) { f = (b & c) | (b & d) | (c & d); k = 0x8F1BBCDCu; }
            else             { f = b ^ c ^ d;                   k = 0xCA62C1D6u; }

            const auto temp = rotateLeft (a, 5) + f + e + k + w[t];
            e = d;
            d = c;
            c = rotateLeft (b, 30);
            b = a;
            a = temp;
        }

        h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e;
    }

    std::array<std::uint8_t, 20> digest {};

    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 4; ++j)
            digest[(size_t) (4 * i + j)] = (std::uint8_t) (h[i] >> (24 - 8 * j));

    return digest;
}
