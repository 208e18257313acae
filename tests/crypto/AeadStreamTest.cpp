// The streamed seal and open against libsodium's one-shot functions: every size around the
// 64-byte ChaCha20 block and around a window, cut into pieces in many ways.
#include "crypto/AeadCipher.h"
#include "crypto/AeadStream.h"

#include <QByteArray>

#include <sodium.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>

using namespace dorvex::crypto;

namespace {

using Bytes = std::vector<unsigned char>;
// Lengths of the pieces a value is cut into, given its length.
using Cutter = std::function<std::vector<std::size_t>(std::size_t)>;

constexpr std::size_t kWindow = 1000;  // deliberately not a multiple of 16 or 64

Bytes randomBytes(std::size_t n)
{
    Bytes b(n);
    if (n > 0)
        randombytes_buf(b.data(), b.size());
    return b;
}

std::vector<std::size_t> fixedPieces(std::size_t total, std::size_t piece)
{
    std::vector<std::size_t> out;
    for (std::size_t done = 0; done < total; done += piece)
        out.push_back(std::min(piece, total - done));
    return out;
}

struct Cut {
    const char* name;
    Cutter pieces;
};

std::vector<Cut> cuts()
{
    static std::mt19937 random(20240614);
    return {
        {"whole", [](std::size_t n) { return std::vector<std::size_t>{n}; }},
        {"bytes", [](std::size_t n) { return fixedPieces(n, 1); }},
        {"63", [](std::size_t n) { return fixedPieces(n, 63); }},
        {"64", [](std::size_t n) { return fixedPieces(n, 64); }},
        {"65", [](std::size_t n) { return fixedPieces(n, 65); }},
        {"window", [](std::size_t n) { return fixedPieces(n, kWindow); }},
        {"random", [](std::size_t n) {
             std::vector<std::size_t> out;
             for (std::size_t done = 0; done < n;) {
                 const std::size_t piece = std::min<std::size_t>(n - done, random() % 300);
                 out.push_back(piece);  // empty pieces included
                 done += piece;
             }
             return out;
         }},
    };
}

std::vector<std::size_t> sizes()
{
    std::vector<std::size_t> out = {0, 1, 15, 16, 17};
    for (std::size_t boundary : {std::size_t{64}, std::size_t{128}, kWindow, 2 * kWindow, 3 * kWindow}) {
        for (long delta : {-65L, -64L, -1L, 0L, 1L, 63L, 64L, 65L}) {
            if (static_cast<long>(boundary) + delta >= 0)
                out.push_back(static_cast<std::size_t>(static_cast<long>(boundary) + delta));
        }
    }
    std::mt19937 random(7);
    for (int i = 0; i < 8; ++i)
        out.push_back(random() % (4 * kWindow));
    return out;
}

std::vector<unsigned char> suites()
{
    // libsodium's one-shot AES-256-GCM, the reference, needs the processor's AES instructions.
    if (AeadCipher::usingHardwareAes())
        return {AeadCipher::kSuiteAes256Gcm, AeadCipher::kSuiteXChaCha20Poly1305};
    return {AeadCipher::kSuiteXChaCha20Poly1305};
}

// suite | ciphertext | tag, sealed piece by piece.
Bytes streamSeal(unsigned char suite, const SecureBuffer& key, const Bytes& nonce, const Bytes& plain, const Bytes& ad,
                 const std::vector<std::size_t>& pieces, bool inPlace)
{
    AeadStream sealer(AeadStream::Direction::Seal, suite, key, nonce.data(), ad.data(), ad.size());
    Bytes out(plain.size() + AeadCipher::kOverheadBytes);
    out[0] = suite;
    if (inPlace)
        std::copy(plain.begin(), plain.end(), out.begin() + 1);
    std::size_t done = 0;
    for (std::size_t piece : pieces) {
        const unsigned char* in = inPlace ? out.data() + 1 + done : plain.data() + done;
        EXPECT_TRUE(sealer.update(in, out.data() + 1 + done, piece));
        done += piece;
    }
    EXPECT_TRUE(sealer.finishSeal(out.data() + 1 + plain.size()));
    return out;
}

// The plaintext when the tag authenticates; no value otherwise.
std::optional<Bytes> streamOpen(const SecureBuffer& key, const Bytes& nonce, const Bytes& sealed, const Bytes& ad,
                                const std::vector<std::size_t>& pieces)
{
    const std::size_t length = sealed.size() - AeadCipher::kOverheadBytes;
    AeadStream opener(AeadStream::Direction::Open, sealed[0], key, nonce.data(), ad.data(), ad.size());
    Bytes plain(sealed.begin() + 1, sealed.end() - AeadCipher::kTagBytes);
    std::size_t done = 0;
    for (std::size_t piece : pieces) {
        EXPECT_TRUE(opener.update(plain.data() + done, plain.data() + done, piece));
        done += piece;
    }
    EXPECT_EQ(done, length);
    if (!opener.finishOpen(sealed.data() + sealed.size() - AeadCipher::kTagBytes))
        return std::nullopt;
    return plain;
}

}  // namespace

TEST(AeadStream, SealsAndOpensByteForByteAsTheOneShotFunctions)
{
    const SecureBuffer key = AeadCipher::generateKey();
    const Bytes nonce = AeadCipher::generateNonce();
    for (unsigned char suite : suites()) {
        for (const Bytes& ad : {Bytes{}, randomBytes(37)}) {
            for (std::size_t n : sizes()) {
                const Bytes plain = randomBytes(n);
                const Bytes oneShot = AeadCipher::encryptWithSuite(suite, key, nonce, plain, ad);
                for (const Cut& cut : cuts()) {
                    SCOPED_TRACE(testing::Message() << "suite " << int(suite) << " ad " << ad.size() << " size " << n
                                                    << " cut " << cut.name);
                    const auto pieces = cut.pieces(n);
                    const bool inPlace = n % 2 == 0;
                    ASSERT_EQ(streamSeal(suite, key, nonce, plain, ad, pieces, inPlace), oneShot);
                    const auto opened = streamOpen(key, nonce, oneShot, ad, pieces);
                    ASSERT_TRUE(opened);
                    ASSERT_EQ(*opened, plain);
                }
            }
        }
    }
}

TEST(AeadStream, KnownAnswersOfBothSuites)
{
    // Known answers that libsodium's one-shot functions give; OpenSSL's AES-256-GCM needs no
    // AES instructions, so these hold on every processor.
    SecureBuffer key(32);
    for (std::size_t i = 0; i < 32; ++i)
        key.data()[i] = static_cast<unsigned char>(i);
    Bytes nonce(24);
    for (std::size_t i = 0; i < 24; ++i)
        nonce[i] = static_cast<unsigned char>(0x40 + i);
    const std::string text = "Murravo known-answer self-test";
    const Bytes plain(text.begin(), text.end());
    const Bytes ad = {'k', 'a', 't'};
    const struct {
        unsigned char suite;
        const char* hex;
    } answers[] = {
        {AeadCipher::kSuiteAes256Gcm,
         "00afccdc51474ae823a6aa7841f54972350ab1372e97466a4f116a3a80e467a3c63e5ffa8c76b7fc66f1f235a0a4aa"},
        {AeadCipher::kSuiteXChaCha20Poly1305,
         "01994c7702b1961636e49ae8c9c1b104fce1cdc8b6332a36f60c1c89207a70ceb5ece294a0b5c96ac98bd52aaae3f8"},
    };
    for (const auto& answer : answers) {
        SCOPED_TRACE(int(answer.suite));
        const QByteArray raw = QByteArray::fromHex(answer.hex);
        const Bytes expected(raw.begin(), raw.end());
        EXPECT_EQ(streamSeal(answer.suite, key, nonce, plain, ad, {7, 0, 23}, false), expected);
        EXPECT_EQ(streamOpen(key, nonce, expected, ad, {29, 1}), plain);
    }
}

TEST(AeadStream, EveryDamageIsRefusedByTheTag)
{
    const SecureBuffer key = AeadCipher::generateKey();
    const Bytes nonce = AeadCipher::generateNonce();
    const Bytes ad = randomBytes(20);
    const std::size_t n = 2 * kWindow + 65;
    const Bytes plain = randomBytes(n);
    struct Damage {
        const char* name;
        std::function<void(Bytes& sealed, Bytes& nonce, Bytes& ad)> apply;
        bool aesIgnores = false;  // AES-256-GCM takes only the first 12 nonce bytes
    };
    const std::vector<Damage> damages = {
        {"first ciphertext byte", [](Bytes& s, Bytes&, Bytes&) { s[1] ^= 1; }},
        {"byte after a window", [](Bytes& s, Bytes&, Bytes&) { s[1 + kWindow] ^= 0x80; }},
        {"last ciphertext byte", [n](Bytes& s, Bytes&, Bytes&) { s[n] ^= 1; }},
        {"first tag byte", [n](Bytes& s, Bytes&, Bytes&) { s[n + 1] ^= 1; }},
        {"last tag byte", [](Bytes& s, Bytes&, Bytes&) { s.back() ^= 1; }},
        {"associated data", [](Bytes&, Bytes&, Bytes& a) { a[19] ^= 1; }},
        {"associated data missing", [](Bytes&, Bytes&, Bytes& a) { a.clear(); }},
        {"nonce byte 0", [](Bytes&, Bytes& v, Bytes&) { v[0] ^= 1; }},
        {"nonce byte 11", [](Bytes&, Bytes& v, Bytes&) { v[11] ^= 1; }},
        {"nonce byte 16", [](Bytes&, Bytes& v, Bytes&) { v[16] ^= 1; }, true},
        {"nonce byte 23", [](Bytes&, Bytes& v, Bytes&) { v[23] ^= 1; }, true},
        {"last ciphertext byte dropped", [n](Bytes& s, Bytes&, Bytes&) { s.erase(s.begin() + static_cast<long>(n)); }},
        {"byte inserted", [](Bytes& s, Bytes&, Bytes&) { s.insert(s.begin() + 5, 0); }},
    };
    for (unsigned char suite : {AeadCipher::kSuiteAes256Gcm, AeadCipher::kSuiteXChaCha20Poly1305}) {
        const Bytes sealed = streamSeal(suite, key, nonce, plain, ad, fixedPieces(n, kWindow), true);
        ASSERT_EQ(streamOpen(key, nonce, sealed, ad, fixedPieces(n, kWindow)), plain);
        for (const Damage& d : damages) {
            SCOPED_TRACE(testing::Message() << "suite " << int(suite) << ": " << d.name);
            Bytes s = sealed;
            Bytes v = nonce;
            Bytes a = ad;
            d.apply(s, v, a);
            const auto opened = streamOpen(key, v, s, a, fixedPieces(s.size() - AeadCipher::kOverheadBytes, kWindow));
            if (d.aesIgnores && suite == AeadCipher::kSuiteAes256Gcm)
                EXPECT_TRUE(opened);
            else
                EXPECT_FALSE(opened);
        }
        const SecureBuffer other = AeadCipher::generateKey();
        EXPECT_FALSE(streamOpen(other, nonce, sealed, ad, {n})) << "suite " << int(suite) << ": other key";
    }
}

TEST(AeadStream, MisuseIsRefused)
{
    const SecureBuffer key = AeadCipher::generateKey();
    const Bytes nonce = AeadCipher::generateNonce();
    EXPECT_THROW(AeadStream(AeadStream::Direction::Seal, 2, key, nonce.data(), nullptr, 0), std::invalid_argument);
    EXPECT_THROW(AeadStream(AeadStream::Direction::Seal, 1, SecureBuffer(16), nonce.data(), nullptr, 0),
                 std::invalid_argument);
    for (unsigned char suite : {AeadCipher::kSuiteAes256Gcm, AeadCipher::kSuiteXChaCha20Poly1305}) {
        AeadStream opener(AeadStream::Direction::Open, suite, key, nonce.data(), nullptr, 0);
        unsigned char tag[16] = {};
        unsigned char byte = 0;
        EXPECT_FALSE(opener.finishSeal(tag)) << "an opener never hands out a tag";
        EXPECT_FALSE(opener.finishOpen(tag));
        EXPECT_FALSE(opener.update(&byte, &byte, 1)) << "nothing passes after the end";
        EXPECT_FALSE(opener.finishOpen(tag)) << "a second check cannot succeed";
    }
}
