#include "crypto/Sha1.h"

#include <QByteArray>

#include <gtest/gtest.h>

#include <string>

using dorvex::crypto::HmacSha1;
using dorvex::crypto::Sha1;

namespace {
std::string hex(const dorvex::crypto::Sha1Digest& d)
{
    return QByteArray(reinterpret_cast<const char*>(d.data()), int(d.size())).toHex().toStdString();
}
std::vector<unsigned char> bytes(const std::string& s) { return {s.begin(), s.end()}; }
std::vector<unsigned char> repeat(unsigned char c, std::size_t n) { return std::vector<unsigned char>(n, c); }
std::vector<unsigned char> counting(unsigned char first, std::size_t n)
{
    std::vector<unsigned char> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<unsigned char>(first + i);
    return v;
}
}  // namespace

TEST(Sha1, Fips180Vectors)
{
    struct Case {
        const char* name;
        std::string input;
        const char* digest;
    } cases[] = {
        {"empty", "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"two blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        // Padding boundaries: the length field fits, just fits, or spills into a new block.
        {"55 bytes", std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
        {"56 bytes", std::string(56, 'a'), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
        {"63 bytes", std::string(63, 'a'), "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
        {"64 bytes", std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
        {"65 bytes", std::string(65, 'a'), "11655326c708d70319be2610e8a57d9a5b959d3b"},
        {"million a", std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(hex(Sha1::hash(reinterpret_cast<const unsigned char*>(c.input.data()), c.input.size())), c.digest);
    }
}

TEST(HmacSha1, Rfc2202Vectors)
{
    struct Case {
        const char* name;
        std::vector<unsigned char> key, data;
        const char* mac;
    } cases[] = {
        {"1", repeat(0x0b, 20), bytes("Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00"},
        {"2", bytes("Jefe"), bytes("what do ya want for nothing?"), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {"3", repeat(0xaa, 20), repeat(0xdd, 50), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {"4", counting(1, 25), repeat(0xcd, 50), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {"5", repeat(0x0c, 20), bytes("Test With Truncation"), "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        {"6 (80-byte key)", repeat(0xaa, 80), bytes("Test Using Larger Than Block-Size Key - Hash Key First"),
         "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {"7 (80-byte key, long data)", repeat(0xaa, 80),
         bytes("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
         "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
        // A block-sized key is used as it is; one byte more and it is hashed first.
        {"64-byte key", counting(0, 64), bytes("msg"), "582eb65f0e0acba88371c9e302817c2b7c18e501"},
        {"65-byte key", counting(0, 65), bytes("msg"), "fd6e2eb5c5f10da322d1c2b373a2ad8371a7154a"},
        {"empty key", {}, bytes("msg"), "1df552b90836e9881b1873998715838bf13ae65e"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(hex(HmacSha1::compute(c.key, c.data)), c.mac);
    }
}
