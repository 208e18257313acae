#include "core/AuthenticatedJson.h"
#include "core/EncryptedJson.h"
#include "core/SealedFile.h"
#include "crypto/AeadCipher.h"

#include <gtest/gtest.h>

#include <sodium.h>

#include <stdexcept>

using dorvex::core::AuthenticatedJson;
using dorvex::core::EncryptedJson;
using dorvex::core::recoverSingleCharCorruption;
using dorvex::crypto::SecureBuffer;

namespace {

SecureBuffer keyOf(std::size_t length, unsigned char fill = 0x42) {
    SecureBuffer key(length);
    for (std::size_t i = 0; i < length; ++i) key.data()[i] = static_cast<unsigned char>(fill + i);
    return key;
}

QByteArray earlierForm(const QByteArray& payload, const SecureBuffer& key) {
    unsigned char tag[crypto_auth_BYTES];
    crypto_auth(tag, reinterpret_cast<const unsigned char*>(payload.constData()),
                static_cast<unsigned long long>(payload.size()), key.data());
    return QByteArray(reinterpret_cast<const char*>(tag), 32) + payload;
}

const QByteArray kPayload = QByteArrayLiteral("{\"failedCount\":3,\"lastSeen\":\"2026-01-01T00:00:00Z\"}");

}  // namespace

TEST(AuthenticatedJsonTest, LengthsAndKeySizes) {
    const SecureBuffer key = keyOf(32);
    const QByteArray empty = AuthenticatedJson::seal(QByteArray(), key);
    ASSERT_EQ(empty.size(), 40);
    EXPECT_TRUE(empty.startsWith("DRVXAJV2"));
    ASSERT_TRUE(AuthenticatedJson::open(empty, key));
    EXPECT_TRUE(AuthenticatedJson::open(empty, key)->isEmpty());
    const QByteArray sealed = AuthenticatedJson::seal(kPayload, key);
    EXPECT_EQ(sealed.size(), kPayload.size() + 40);
    EXPECT_EQ(sealed.mid(40), kPayload);
    EXPECT_EQ(AuthenticatedJson::open(sealed, key), kPayload);
    for (std::size_t length : {0u, 16u, 31u, 33u, 64u}) {
        EXPECT_TRUE(AuthenticatedJson::seal(kPayload, keyOf(length)).isEmpty()) << length;
        EXPECT_FALSE(AuthenticatedJson::open(sealed, keyOf(length))) << length;
    }
    EXPECT_FALSE(AuthenticatedJson::open(sealed, keyOf(32, 0x43)));
}

TEST(AuthenticatedJsonTest, ShortAndEarlierForms) {
    const SecureBuffer key = keyOf(32);
    EXPECT_FALSE(AuthenticatedJson::isSealed("DRVXAJV"));
    EXPECT_TRUE(AuthenticatedJson::isSealed("DRVXAJV2"));
    // Every length below a full header fails, with and without the magic.
    for (int n = 0; n < 40; ++n) {
        EXPECT_FALSE(AuthenticatedJson::open(QByteArray("DRVXAJV2").append(QByteArray(32, 'x')).left(n), key)) << n;
    }
    const QByteArray payload7 = QByteArrayLiteral("{\"a\":1}");
    const QByteArray earlier39 = earlierForm(payload7, key);
    ASSERT_EQ(earlier39.size(), 39);
    EXPECT_EQ(AuthenticatedJson::open(earlier39, key), payload7);
    EXPECT_EQ(AuthenticatedJson::open(earlierForm(kPayload, key), key), kPayload);
    EXPECT_EQ(AuthenticatedJson::open(earlierForm(QByteArray(), key), key), QByteArray());
}

TEST(EncryptedJsonTest, LengthsAssociatedDataAndKeys) {
    const SecureBuffer key = keyOf(32);
    const QByteArray ad = QByteArrayLiteral("machine\x01\0\0\0\0\0\0\0");
    const QByteArray sealed = EncryptedJson::seal(kPayload, key, ad);
    ASSERT_EQ(sealed.size(), 8 + 24 + 1 + kPayload.size() + 16);
    EXPECT_TRUE(EncryptedJson::isSealed(sealed));
    EXPECT_EQ(EncryptedJson::open(sealed, key, ad), kPayload);
    EXPECT_NE(EncryptedJson::seal(kPayload, key, ad).mid(8, 24), sealed.mid(8, 24));
    EXPECT_FALSE(EncryptedJson::open(sealed, key, ad + 'x'));
    EXPECT_FALSE(EncryptedJson::open(sealed, key, QByteArray()));
    EXPECT_FALSE(EncryptedJson::open(sealed, keyOf(32, 1), ad));
    for (std::size_t length : {0u, 16u, 64u}) {
        EXPECT_TRUE(EncryptedJson::seal(kPayload, keyOf(length), ad).isEmpty());
        EXPECT_FALSE(EncryptedJson::open(sealed, keyOf(length), ad));
    }
    const QByteArray empty = EncryptedJson::seal(QByteArray(), key, QByteArray());
    ASSERT_EQ(empty.size(), 49);
    EXPECT_EQ(EncryptedJson::open(empty, key, QByteArray()), QByteArray());
    for (int n = 0; n < empty.size(); ++n) EXPECT_FALSE(EncryptedJson::open(empty.left(n), key, QByteArray())) << n;
    EXPECT_FALSE(EncryptedJson::open(AuthenticatedJson::seal(kPayload, key), key, QByteArray()));
}

TEST(EnvelopeTest, EveryByteFlipFailsToOpen) {
    const SecureBuffer key = keyOf(32);
    const QByteArray ad = QByteArrayLiteral("ad");
    const QByteArray authenticated = AuthenticatedJson::seal(kPayload, key);
    const QByteArray encrypted = EncryptedJson::seal(kPayload, key, ad);
    for (int i = 0; i < authenticated.size(); ++i) {
        for (char mask : {'\x01', '\x80'}) {
            QByteArray changed = authenticated;
            changed[i] = static_cast<char>(changed[i] ^ mask);
            EXPECT_FALSE(AuthenticatedJson::open(changed, key)) << "authenticated byte " << i;
        }
    }
    // AES-256-GCM (suite 0) reads only the first 12 of the 24 nonce bytes; the rest carry nothing.
    const bool gcm = encrypted[32] == static_cast<char>(dorvex::crypto::AeadCipher::kSuiteAes256Gcm);
    for (int i = 0; i < encrypted.size(); ++i) {
        if (gcm && i >= 8 + 12 && i < 8 + 24) continue;
        QByteArray changed = encrypted;
        changed[i] = static_cast<char>(changed[i] ^ 0x01);
        EXPECT_FALSE(EncryptedJson::open(changed, key, ad)) << "encrypted byte " << i;
    }
}

TEST(RecoverSingleCharTest, Cases) {
    const QString good = QStringLiteral("3f2a9c1e-7b4d-4e8a-9f0c-1d2e3f4a5b6c");
    QString broken = good;
    broken[5] = QLatin1Char('0');
    int calls = 0;
    EXPECT_EQ(recoverSingleCharCorruption(broken, [&](const QString& s) { ++calls; return s == good; }), good);
    EXPECT_EQ(calls, 36 * 16);
    QString other = broken;
    other[20] = QLatin1Char('7');
    EXPECT_FALSE(recoverSingleCharCorruption(broken, [&](const QString& s) { return s == good || s == other; }));
    EXPECT_FALSE(recoverSingleCharCorruption(broken, [](const QString&) { return false; }));
    // A character outside the alphabet gets all 17 candidates.
    calls = 0;
    EXPECT_EQ(recoverSingleCharCorruption(QStringLiteral("Z"), [&](const QString& s) { ++calls; return s == "-"; }),
              QStringLiteral("-"));
    EXPECT_EQ(calls, 17);
    calls = 0;
    const auto counting = [&](const QString&) { ++calls; return true; };
    EXPECT_FALSE(recoverSingleCharCorruption(QString(), counting));
    EXPECT_FALSE(recoverSingleCharCorruption(QString(129, QLatin1Char('a')), counting));
    EXPECT_EQ(calls, 0);
    EXPECT_THROW((void)recoverSingleCharCorruption(good, [](const QString&) -> bool { throw std::runtime_error("x"); }),
                 std::runtime_error);
    EXPECT_THROW((void)recoverSingleCharCorruption(good, {}), std::bad_function_call);
}
