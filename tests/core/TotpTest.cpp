#include "CoreTestFiles.h"
#include "FreedMemoryWatch.h"

#include "core/Clock.h"
#include "core/Totp.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

using dorvex::core::Clock;
using dorvex::core::Totp;
using dorvex::crypto::SecureBuffer;

namespace {

SecureBuffer bytesOf(const QByteArray& text) {
    return SecureBuffer(reinterpret_cast<const unsigned char*>(text.constData()), static_cast<std::size_t>(text.size()));
}

QByteArray toQByteArray(const SecureBuffer& b) {
    return QByteArray(reinterpret_cast<const char*>(b.data()), static_cast<qsizetype>(b.size()));
}

const SecureBuffer& rfcSecret() {
    static const SecureBuffer secret = bytesOf("12345678901234567890");
    return secret;
}

}  // namespace

TEST(TotpTest, HotpMatchesRfc4226AppendixD) {
    const char* expected[] = {"755224", "287082", "359152", "969429", "338314",
                              "254676", "287922", "162583", "399871", "520489"};
    for (unsigned long long counter = 0; counter < 10; ++counter) {
        EXPECT_EQ(Totp::generateHotp(rfcSecret(), counter, 6), QString::fromLatin1(expected[counter])) << counter;
    }
}

TEST(TotpTest, TotpMatchesRfc6238AppendixBSha1) {
    const struct {
        long long time;
        const char* code;
    } cases[] = {{59, "94287082"},         {1111111109, "07081804"}, {1111111111, "14050471"},
                 {1234567890, "89005924"}, {2000000000, "69279037"}, {20000000000LL, "65353130"}};
    for (const auto& c : cases) {
        EXPECT_EQ(Totp::generateTotp(rfcSecret(), c.time, 30, 8), QString::fromLatin1(c.code)) << c.time;
    }
}

TEST(TotpTest, NegativeTimeReadsTheClock) {
    Clock::setSource([]() -> std::int64_t { return 1111111109LL * 1000; });
    EXPECT_EQ(Totp::generateTotp(rfcSecret(), -1, 30, 8), QStringLiteral("07081804"));
    EXPECT_EQ(Totp::matchedCounter(rfcSecret(), QStringLiteral("07081804"), -5, 30, 8, 0), 1111111109ULL / 30);
    Clock::setSource(nullptr);
}

TEST(TotpTest, Base32EncodeLengthsAndPadding) {
    const SecureBuffer twenty = Totp::generateSecret();
    ASSERT_EQ(twenty.size(), 20u);
    const QString text = Totp::base32Encode(twenty);
    EXPECT_EQ(text.size(), 32);
    EXPECT_FALSE(text.contains(QLatin1Char('=')));
    EXPECT_EQ(Totp::base32Encode(bytesOf("f")), QStringLiteral("MY======"));
    EXPECT_EQ(Totp::base32Encode(bytesOf("foobar")), QStringLiteral("MZXW6YTBOI======"));
    EXPECT_EQ(Totp::base32Encode(SecureBuffer()), QString());
}

TEST(TotpTest, Base32DecodeAcceptsTypingVariants) {
    const SecureBuffer secret = Totp::generateSecret();
    const QString text = Totp::base32Encode(secret);
    const QString grouped = dorvex::test::typedInGroups(text);
    const QString variants[] = {text, text.toLower(), grouped, grouped.toLower(),
                                QStringLiteral("\t") + text + QChar(0x00A0) + QChar(0x0085) + QStringLiteral("\n")};
    for (const QString& v : variants) {
        const auto decoded = Totp::base32Decode(v);
        ASSERT_TRUE(decoded) << v.toStdString();
        EXPECT_TRUE(decoded->equals(secret)) << v.toStdString();
    }
    const auto unpadded = Totp::base32Decode(QStringLiteral("mzxw6ytboi"));
    ASSERT_TRUE(unpadded);
    EXPECT_EQ(toQByteArray(*unpadded), QByteArray("foobar"));
}

TEST(TotpTest, Base32DecodeRejects) {
    const QString bad[] = {QString(), QStringLiteral("MZXW6YTB1I"), QStringLiteral("0ZXW6YTB"), QStringLiteral("MZX8"),
                           QStringLiteral("== =  =="), QStringLiteral("A"), QStringLiteral("MZ\u00e9W")};
    for (const QString& b : bad) EXPECT_FALSE(Totp::base32Decode(b)) << b.toStdString();
}

// Every copy of a secret in ordinary memory is wiped before it is freed: the bytes a text decodes
// to (also when a bad character stops the decoding half-way), the key a code is computed with,
// and that key's HMAC pads.
TEST(TotpTest, NoFreedTemporaryHoldsTheSecret) {
    const SecureBuffer secret = Totp::generateSecret();
    const QString text = Totp::base32Encode(secret);
    const std::vector<unsigned char> raw(secret.data(), secret.data() + secret.size());
    const auto padded = [&raw](unsigned char pad) {
        std::vector<unsigned char> v = raw;
        for (unsigned char& b : v) b ^= pad;
        return v;
    };
    const std::vector<std::vector<unsigned char>> patterns = {raw, padded(0x36), padded(0x5c)};
    const struct {
        const char* step;
        std::function<void()> run;
    } steps[] = {
        {"base32Decode", [&] { (void)Totp::base32Decode(text); }},
        {"base32Decode stopped by a bad character", [&] { (void)Totp::base32Decode(text + QLatin1Char('1')); }},
        {"generateHotp", [&] { (void)Totp::generateHotp(secret, 7, 6); }},
        {"matchedCounter", [&] { (void)Totp::matchedCounter(secret, QStringLiteral("123456"), 3000, 30, 6, 1); }},
    };
    for (const auto& s : steps) {
        const dorvex::test::FreedMemoryWatch watch(patterns);
        s.run();
        EXPECT_EQ(watch.blocksStillHoldingAPattern(), 0) << s.step;
    }
}

TEST(TotpTest, WindowAcceptsNeighboursAndReturnsTheirCounter) {
    const long long t = 1000LL * 30 + 7;
    const unsigned long long centre = 1000;
    for (long long offset : {-1, 0, 1}) {
        const auto counter = static_cast<unsigned long long>(static_cast<long long>(centre) + offset);
        const QString code = Totp::generateHotp(rfcSecret(), counter, 6);
        EXPECT_EQ(Totp::matchedCounter(rfcSecret(), code, t, 30, 6, 1), counter) << offset;
        EXPECT_TRUE(Totp::verifyTotp(rfcSecret(), code, t, 30, 6, 1));
    }
    EXPECT_FALSE(Totp::matchedCounter(rfcSecret(), Totp::generateHotp(rfcSecret(), centre + 2, 6), t, 30, 6, 1));
    EXPECT_FALSE(Totp::matchedCounter(rfcSecret(), Totp::generateHotp(rfcSecret(), centre - 2, 6), t, 30, 6, 1));
    EXPECT_FALSE(Totp::matchedCounter(rfcSecret(), Totp::generateHotp(rfcSecret(), centre, 6), t, 30, 6, -1));
    const QString current = Totp::generateHotp(rfcSecret(), centre, 6);
    EXPECT_FALSE(Totp::verifyTotp(rfcSecret(), current + QLatin1Char('0'), t, 30, 6, 1));
    EXPECT_FALSE(Totp::verifyTotp(rfcSecret(), current.left(5), t, 30, 6, 1));
    EXPECT_FALSE(Totp::verifyTotp(rfcSecret(), QLatin1Char(' ') + current, t, 30, 6, 1));
}

TEST(TotpTest, WindowAtCounterZeroNeverTriesMinusOne) {
    // The code of counter 2^64-1 would be what a wrapped "-1" produces.
    const QString wrapped = Totp::generateHotp(rfcSecret(), ~0ULL, 6);
    EXPECT_FALSE(Totp::matchedCounter(rfcSecret(), wrapped, 10, 30, 6, 1));
    EXPECT_EQ(Totp::matchedCounter(rfcSecret(), Totp::generateHotp(rfcSecret(), 1, 6), 10, 30, 6, 1), 1ULL);
}

TEST(TotpTest, OtpauthUri) {
    const SecureBuffer secret = Totp::generateSecret();
    const QString secretText = Totp::base32Encode(secret);
    const struct {
        const char* account;
        const char* label;
    } cases[] = {{"alice", "Murravo:alice"},
                 {"al ice/x+y", "Murravo:al%20ice%2Fx%2By"},
                 {"a:b%1", "Murravo:a:b%251"}};
    for (const auto& c : cases) {
        EXPECT_EQ(Totp::otpauthUri(secret, QString::fromUtf8(c.account), QStringLiteral("Murravo")),
                  QStringLiteral("otpauth://totp/") + QString::fromLatin1(c.label) + QStringLiteral("?secret=") +
                      secretText + QStringLiteral("&issuer=Murravo&algorithm=SHA1&digits=6&period=30"))
            << c.account;
    }
    EXPECT_TRUE(Totp::otpauthUri(secret, QStringLiteral("x"), QStringLiteral("My Co:1"))
                    .contains(QStringLiteral("&issuer=My%20Co%3A1&")));
}
