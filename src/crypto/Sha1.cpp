#include "crypto/Sha1.h"

#include "crypto/SecureBuffer.h"

#include <cstdint>

namespace dorvex::crypto {

namespace {
constexpr std::uint32_t rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
}  // namespace

Sha1Digest Sha1::hash(const unsigned char* data, unsigned long length)
{
    std::vector<unsigned char> m;
    m.reserve(length + 72);
    if (length != 0)
        m.assign(data, data + length);
    m.push_back(0x80);
    while (m.size() % 64 != 56)
        m.push_back(0);
    const std::uint64_t bits = static_cast<std::uint64_t>(length) * 8;
    for (int i = 7; i >= 0; --i)
        m.push_back(static_cast<unsigned char>(bits >> (8 * i)));

    std::uint32_t h[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    std::uint32_t w[80];
    for (std::size_t block = 0; block < m.size(); block += 64) {
        for (int t = 0; t < 16; ++t) {
            const unsigned char* p = &m[block + 4 * t];
            w[t] = (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
        }
        for (int t = 16; t < 80; ++t)
            w[t] = rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (int t = 0; t < 80; ++t) {
            std::uint32_t f, k;
            if (t < 20) {
                f = (b & c) | (~b & d);
                k = 0x5A827999u;
            } else if (t < 40) {
                f = b ^ c ^ d;
                k = 0x6ED9EBA1u;
            } else if (t < 60) {
                f = (b & c) | (b & d) | (c & d);
                k = 0x8F1BBCDCu;
            } else {
                f = b ^ c ^ d;
                k = 0xCA62C1D6u;
            }
            const std::uint32_t temp = rotl(a, 5) + f + e + k + w[t];
            e = d;
            d = c;
            c = rotl(b, 30);
            b = a;
            a = temp;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
    }
    // The message is an HMAC key pad whenever HmacSha1 calls: nothing of it stays behind.
    secureZero(m);
    secureZero(reinterpret_cast<unsigned char*>(w), sizeof w);
    Sha1Digest out{};
    for (int i = 0; i < 5; ++i) {
        out[4 * i] = static_cast<unsigned char>(h[i] >> 24);
        out[4 * i + 1] = static_cast<unsigned char>(h[i] >> 16);
        out[4 * i + 2] = static_cast<unsigned char>(h[i] >> 8);
        out[4 * i + 3] = static_cast<unsigned char>(h[i]);
    }
    return out;
}

Sha1Digest HmacSha1::compute(const std::vector<unsigned char>& key, const std::vector<unsigned char>& message)
{
    constexpr std::size_t kBlock = 64;
    std::vector<unsigned char> keyBlock(kBlock, 0);
    if (key.size() > kBlock) {
        Sha1Digest d = Sha1::hash(key.data(), key.size());
        std::copy(d.begin(), d.end(), keyBlock.begin());
        secureZero(d.data(), static_cast<unsigned long>(d.size()));
    } else {
        std::copy(key.begin(), key.end(), keyBlock.begin());
    }
    // Sized for what is appended below, so that growing leaves no copy of a pad behind.
    std::vector<unsigned char> inner(kBlock), outer(kBlock);
    inner.reserve(kBlock + message.size());
    outer.reserve(kBlock + std::tuple_size_v<Sha1Digest>);
    for (std::size_t i = 0; i < kBlock; ++i) {
        inner[i] = keyBlock[i] ^ 0x36;
        outer[i] = keyBlock[i] ^ 0x5c;
    }
    secureZero(keyBlock);
    inner.insert(inner.end(), message.begin(), message.end());
    Sha1Digest innerDigest = Sha1::hash(inner.data(), inner.size());
    secureZero(inner);
    outer.insert(outer.end(), innerDigest.begin(), innerDigest.end());
    secureZero(innerDigest.data(), static_cast<unsigned long>(innerDigest.size()));
    const Sha1Digest mac = Sha1::hash(outer.data(), outer.size());
    secureZero(outer);
    return mac;
}

}  // namespace dorvex::crypto
