#include "crypto/AeadCipher.h"

#include <sodium.h>

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <cstring>
#include <string>

using namespace dorvex::crypto;

namespace {

std::vector<unsigned char> bytes(const std::string& s) { return {s.begin(), s.end()}; }

SecureBuffer keyOf(unsigned char fill)
{
    SecureBuffer k(32);
    std::fill(k.data(), k.data() + 32, fill);
    return k;
}

// Seals with libsodium directly, independent of the suite this machine prefers.
std::vector<unsigned char> sealDirect(unsigned char suite, const SecureBuffer& key, const std::vector<unsigned char>& nonce,
                                      const std::vector<unsigned char>& plain, const std::vector<unsigned char>& ad)
{
    std::vector<unsigned char> out(plain.size() + 17);
    out[0] = suite;
    unsigned long long len = 0;
    if (suite == 0)
        crypto_aead_aes256gcm_encrypt(out.data() + 1, &len, plain.data(), plain.size(), ad.data(), ad.size(), nullptr,
                                      nonce.data(), key.data());
    else
        crypto_aead_xchacha20poly1305_ietf_encrypt(out.data() + 1, &len, plain.data(), plain.size(), ad.data(),
                                                   ad.size(), nullptr, nonce.data(), key.data());
    return out;
}

}  // namespace

TEST(AeadCipher, RoundTripsAndSizes)
{
    const auto key = AeadCipher::generateKey();
    const auto nonce = AeadCipher::generateNonce();
    EXPECT_EQ(key.size(), 32u);
    EXPECT_EQ(nonce.size(), 24u);
    for (std::size_t n : {0u, 1u, 16u, 1000u}) {
        const std::vector<unsigned char> plain(n, 0x42);
        const auto sealed = AeadCipher::encrypt(key, nonce, plain, bytes("ad"));
        ASSERT_EQ(sealed.size(), n + 17);
        EXPECT_EQ(sealed[0], AeadCipher::usingHardwareAes() ? 0 : 1);
        const auto opened = AeadCipher::decrypt(key, nonce, sealed, bytes("ad"));
        ASSERT_TRUE(opened.has_value());
        EXPECT_EQ(*opened, plain);
    }
}

TEST(AeadCipher, EitherSuiteOpensWhateverThisMachinePrefers)
{
    const auto key = keyOf(9);
    const auto nonce = AeadCipher::generateNonce();
    const auto plain = bytes("cross-suite value");
    const auto ad = bytes("context");
    std::vector<unsigned char> suites{1};
    if (crypto_aead_aes256gcm_is_available())
        suites.push_back(0);
    for (unsigned char suite : suites) {
        SCOPED_TRACE(int(suite));
        const auto sealed = sealDirect(suite, key, nonce, plain, ad);
        const auto opened = AeadCipher::decrypt(key, nonce, sealed, ad);
        ASSERT_TRUE(opened.has_value());
        EXPECT_EQ(*opened, plain);
        EXPECT_EQ(AeadCipher::encryptWithSuite(suite, key, nonce, plain, ad), sealed);
    }
}

TEST(AeadCipher, InPlaceFormsMatchTheVectorForms)
{
    const auto key = keyOf(3);
    const auto nonce = AeadCipher::generateNonce();
    const auto plain = bytes("bulk contents sealed inside one buffer");
    const auto ad = bytes("entry");
    std::vector<unsigned char> buf(plain.size() + 17);
    std::copy(plain.begin(), plain.end(), buf.begin() + 1);
    AeadCipher::sealInPlace(key, nonce.data(), buf.data(), plain.size(), ad.data(), ad.size());
    const auto opened = AeadCipher::decrypt(key, nonce, buf, ad);
    ASSERT_TRUE(opened);
    EXPECT_EQ(*opened, plain);
    ASSERT_TRUE(AeadCipher::openInPlace(key, nonce.data(), buf.data(), buf.size(), ad.data(), ad.size()));
    EXPECT_EQ(std::vector<unsigned char>(buf.begin() + 1, buf.end() - 16), plain);
    buf[5] ^= 1;
    EXPECT_FALSE(AeadCipher::openInPlace(key, nonce.data(), buf.data(), buf.size(), ad.data(), ad.size()));
}

TEST(AeadCipher, EmptyAssociatedDataIsNoAssociatedData)
{
    const auto key = keyOf(1);
    const auto nonce = AeadCipher::generateNonce();
    const auto sealed = AeadCipher::encrypt(key, nonce, bytes("x"), {});
    EXPECT_TRUE(AeadCipher::decrypt(key, nonce, sealed, {}).has_value());
    EXPECT_FALSE(AeadCipher::decrypt(key, nonce, sealed, bytes("y")).has_value());
}

TEST(AeadCipher, WrongKeyOrNonceLengthThrowsWithItsMessage)
{
    SecureBuffer shortKey(31);
    const auto key = keyOf(1);
    const std::vector<unsigned char> nonce(24), shortNonce(12), sealed(20);
    struct Case {
        const char* name;
        std::function<void()> call;
        const char* message;
    } cases[] = {
        {"encrypt key", [&] { (void)AeadCipher::encrypt(shortKey, nonce, {}, {}); },
         "AeadCipher::encrypt: key must be kKeyBytes long"},
        {"encrypt nonce", [&] { (void)AeadCipher::encrypt(key, shortNonce, {}, {}); },
         "AeadCipher::encrypt: nonce must be kNonceBytes long"},
        {"decrypt key", [&] { (void)AeadCipher::decrypt(shortKey, nonce, sealed, {}); },
         "AeadCipher::decrypt: key must be kKeyBytes long"},
        {"decrypt nonce", [&] { (void)AeadCipher::decrypt(key, shortNonce, sealed, {}); },
         "AeadCipher::decrypt: nonce must be kNonceBytes long"},
        {"unwrap key", [&] { (void)KeyWrap::unwrap(shortKey, std::vector<unsigned char>(73), {}); },
         "AeadCipher::decrypt: key must be kKeyBytes long"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            c.call();
            ADD_FAILURE() << "no exception";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

// One row per way a stored value can be damaged; none may open.
TEST(AeadCipher, EveryDamagedValueIsRefused)
{
    const auto key = keyOf(7);
    const auto nonce = AeadCipher::generateNonce();
    const auto ad = bytes("assoc");
    const auto sealed = AeadCipher::encrypt(key, nonce, bytes("payload"), ad);

    struct Case {
        std::string name;
        std::vector<unsigned char> nonce, sealed, ad;
    };
    std::vector<Case> cases;
    cases.push_back({"empty", nonce, {}, ad});
    cases.push_back({"16 bytes", nonce, std::vector<unsigned char>(sealed.begin(), sealed.begin() + 16), ad});
    for (unsigned char suite : {2, 3, 0x80, 0xFF}) {
        auto s = sealed;
        s[0] = suite;
        cases.push_back({"suite byte " + std::to_string(suite), nonce, s, ad});
    }
    {
        auto s = sealed;
        s[0] ^= 1;  // the other valid suite
        cases.push_back({"suite byte swapped", nonce, s, ad});
    }
    for (std::size_t i = 1; i < sealed.size(); ++i) {
        auto s = sealed;
        s[i] ^= 0x01;
        cases.push_back({"sealed byte " + std::to_string(i), nonce, s, ad});
    }
    // AES-GCM reads only the first 12 nonce bytes, so only those bind a suite-0 value.
    const std::size_t boundNonce = sealed[0] == 0 ? 12 : 24;
    for (std::size_t i = 0; i < boundNonce; ++i) {
        auto n = nonce;
        n[i] ^= 0x80;
        cases.push_back({"nonce byte " + std::to_string(i), n, sealed, ad});
    }
    for (std::size_t i = 0; i < ad.size(); ++i) {
        auto a = ad;
        a[i] ^= 0x01;
        cases.push_back({"ad byte " + std::to_string(i), nonce, sealed, a});
    }
    cases.push_back({"ad dropped", nonce, sealed, {}});
    cases.push_back({"ad extended", nonce, sealed, bytes("assocX")});
    {
        auto s = sealed;
        s.pop_back();
        cases.push_back({"truncated", nonce, s, ad});
        s = sealed;
        s.push_back(0);
        cases.push_back({"extended", nonce, s, ad});
    }
    const auto other = keyOf(8);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(AeadCipher::decrypt(key, c.nonce, c.sealed, c.ad).has_value());
    }
    EXPECT_FALSE(AeadCipher::decrypt(other, nonce, sealed, ad).has_value()) << "wrong key";
}

TEST(KeyWrap, WrapsToSeventyThreeBytesAndUnwraps)
{
    const auto kek = keyOf(1);
    const auto key = AeadCipher::generateKey();
    const auto wrapped = KeyWrap::wrap(kek, key, bytes("binding"));
    ASSERT_EQ(wrapped.size(), 73u);
    auto unwrapped = KeyWrap::unwrap(kek, wrapped, bytes("binding"));
    ASSERT_TRUE(unwrapped);
    EXPECT_TRUE(unwrapped->equals(key));
    EXPECT_FALSE(KeyWrap::unwrap(kek, wrapped, bytes("other")));
    EXPECT_FALSE(KeyWrap::unwrap(keyOf(2), wrapped, bytes("binding")));
    // Two wraps of one key differ (fresh nonce).
    EXPECT_NE(KeyWrap::wrap(kek, key, {}), KeyWrap::wrap(kek, key, {}));
}

TEST(KeyWrap, LengthBoundary)
{
    const auto kek = keyOf(1);
    EXPECT_FALSE(KeyWrap::unwrap(kek, std::vector<unsigned char>(40), {}));
    EXPECT_FALSE(KeyWrap::unwrap(kek, {}, {}));
    SecureBuffer empty(0);
    const auto wrapped = KeyWrap::wrap(kek, empty, {});
    ASSERT_EQ(wrapped.size(), 41u);
    auto unwrapped = KeyWrap::unwrap(kek, wrapped, {});
    ASSERT_TRUE(unwrapped);
    EXPECT_EQ(unwrapped->size(), 0u);
}

TEST(KeyCombiner, OrderAndContextSeparateResults)
{
    const auto a = keyOf(1);
    const auto b = keyOf(2);
    const auto ab = KeyCombiner::combine(a, b, "ctx", 32);
    EXPECT_EQ(ab.size(), 32u);
    EXPECT_TRUE(ab.equals(KeyCombiner::combine(a, b, "ctx", 32)));
    EXPECT_FALSE(ab.equals(KeyCombiner::combine(b, a, "ctx", 32)));
    EXPECT_FALSE(ab.equals(KeyCombiner::combine(a, b, "ctx2", 32)));
    SecureBuffer longSecret(20);
    std::fill(longSecret.data(), longSecret.data() + 20, 0x33);
    EXPECT_EQ(KeyCombiner::combine(a, longSecret, "", 32).size(), 32u);
}

TEST(KeyCombiner, IsKeyedBlake2bOfContextThenSecond)
{
    const auto a = keyOf(0x11);
    const auto b = keyOf(0x22);
    std::vector<unsigned char> message = bytes("murravo");
    message.insert(message.end(), b.data(), b.data() + 32);
    unsigned char expected[32];
    crypto_generichash(expected, 32, message.data(), message.size(), a.data(), 32);
    const auto got = KeyCombiner::combine(a, b, "murravo", 32);
    EXPECT_EQ(0, std::memcmp(got.data(), expected, 32));
}
