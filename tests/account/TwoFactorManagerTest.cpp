#include "AccountFixture.h"

#include "core/Totp.h"
#include "core/TwoFactorManager.h"
#include "crypto/AeadCipher.h"

#include <QFileInfo>
#include <QUrl>
#include <QUrlQuery>

using dorvex::core::Totp;
using dorvex::core::TwoFactorManager;
using dorvex::crypto::AeadCipher;
using dorvex::crypto::SecureBuffer;

namespace {

SecureBuffer secretOf(const QString& uri)
{
    const QString text = QUrlQuery(QUrl(uri)).queryItemValue(QStringLiteral("secret"));
    auto decoded = Totp::base32Decode(text);
    EXPECT_TRUE(decoded);
    return decoded ? std::move(*decoded) : SecureBuffer();
}

QString codeAt(const SecureBuffer& secret, const dorvex::test::FakeClock& clock, int stepOffset = 0)
{
    return Totp::generateTotp(secret, clock.now().toSecsSinceEpoch() + 30LL * stepOffset, 30, 6);
}

// An enabled manager as the confirmation of an enrolment leaves it.
struct Enrolled {
    dorvex::test::FakeClock clock;
    QString path = dorvex::test::makeScratchDir() + QStringLiteral("/twofactor.dat");
    TwoFactorManager manager{path};
    SecureBuffer passwordKey = AeadCipher::generateKey();
    SecureBuffer secret;

    Enrolled()
    {
        auto uri = manager.beginEnrollment(passwordKey, QStringLiteral("alice"), QStringLiteral("Murravo"));
        EXPECT_TRUE(uri);
        secret = secretOf(*uri);
        TwoFactorManager::Settings s;
        EXPECT_TRUE(manager.readSettings(s));
        s.enabled = true;
        s.wrappedSecret = s.pendingWrappedSecret;
        s.pendingWrappedSecret.clear();
        EXPECT_TRUE(manager.writeSettings(s));
    }
};

}  // namespace

TEST(TwoFactorManager, EnrolmentWrapsAFreshSecretUnderTheSalt)
{
    dorvex::test::FakeClock clock;
    const QString path = dorvex::test::makeScratchDir() + QStringLiteral("/twofactor.dat");
    TwoFactorManager manager(path);
    const SecureBuffer key = AeadCipher::generateKey();
    EXPECT_FALSE(manager.isEnabled());
    EXPECT_TRUE(manager.wrapSalt().empty());

    auto first = manager.beginEnrollment(key, QStringLiteral("alice"), QStringLiteral("Murravo"));
    ASSERT_TRUE(first);
    TwoFactorManager::Settings a;
    ASSERT_TRUE(manager.readSettings(a));
    EXPECT_FALSE(a.enabled);
    EXPECT_EQ(a.wrapSalt.size(), 16u);
    EXPECT_EQ(a.pendingWrappedSecret.size(), 61u);
    EXPECT_EQ(a.lastVerifiedCounter, -1);

    auto second = manager.beginEnrollment(key, QStringLiteral("alice"), QStringLiteral("Murravo"));
    ASSERT_TRUE(second);
    TwoFactorManager::Settings b;
    ASSERT_TRUE(manager.readSettings(b));
    EXPECT_NE(a.wrapSalt, b.wrapSalt);
    EXPECT_NE(*first, *second);

    ASSERT_TRUE(manager.disable());
    TwoFactorManager::Settings off;
    ASSERT_TRUE(manager.readSettings(off));
    EXPECT_FALSE(off.enabled);
    EXPECT_TRUE(off.pendingWrappedSecret.empty());
    EXPECT_TRUE(off.wrapSalt.empty());
}

TEST(TwoFactorManager, CodesAreBurnedAndNeverReplayed)
{
    Enrolled e;
    ASSERT_TRUE(e.manager.isEnabled());
    const QString previous = codeAt(e.secret, e.clock, -1);
    const QString current = codeAt(e.secret, e.clock);

    EXPECT_FALSE(e.manager.verifyLoginCode(e.passwordKey, QStringLiteral("000000") == current
                                                              ? QStringLiteral("111111")
                                                              : QStringLiteral("000000")));
    EXPECT_TRUE(e.manager.verifyLoginCode(e.passwordKey, current));
    EXPECT_FALSE(e.manager.verifyLoginCode(e.passwordKey, current));
    EXPECT_FALSE(e.manager.verifyLoginCode(e.passwordKey, previous));

    e.clock.advanceSecs(30);
    EXPECT_TRUE(e.manager.verifyLoginCode(e.passwordKey, codeAt(e.secret, e.clock)));

    EXPECT_FALSE(e.manager.verifyLoginCode(AeadCipher::generateKey(), codeAt(e.secret, e.clock, 1)));
}

TEST(TwoFactorManager, CounterThatCannotBeStoredRefusesTheCode)
{
    Enrolled e;
    dorvex::test::LogCapture log;
    {
        dorvex::test::ReadOnlyFolder guard(QFileInfo(e.path).absolutePath());
        MURRAVO_REQUIRE_READ_ONLY(guard);
        EXPECT_FALSE(e.manager.verifyLoginCode(e.passwordKey, codeAt(e.secret, e.clock)));
    }
    EXPECT_TRUE(log.contains(QStringLiteral(
        "TwoFactorManager::verifyLoginCode: failed to persist the burned TOTP counter -- refusing this login rather "
        "than risk the code being replayable.")));
}

TEST(TwoFactorManager, OneChangedByteReadsAsDisabled)
{
    Enrolled e;
    QByteArray bytes = dorvex::test::readFile(e.path);
    bytes[bytes.size() - 2] = static_cast<char>(bytes[bytes.size() - 2] ^ 0x01);
    dorvex::test::writeFile(e.path, bytes);
    EXPECT_FALSE(e.manager.isEnabled());
    EXPECT_FALSE(e.manager.vaultKeyForEnabledSecret(e.passwordKey));
    EXPECT_FALSE(e.manager.verifyLoginCode(e.passwordKey, codeAt(e.secret, e.clock)));
}

TEST(TwoFactorManager, VaultKeyNeedsTheRightPasswordKeyAndSurvivesARestore)
{
    Enrolled e;
    auto vaultKey = e.manager.vaultKeyForEnabledSecret(e.passwordKey);
    ASSERT_TRUE(vaultKey);
    EXPECT_TRUE(vaultKey->equals(TwoFactorManager::combineForVaultKey(e.passwordKey, e.secret)));
    EXPECT_FALSE(vaultKey->equals(e.passwordKey));
    EXPECT_FALSE(e.manager.vaultKeyForEnabledSecret(AeadCipher::generateKey()));

    const auto oldSalt = e.manager.wrapSalt();
    ASSERT_TRUE(e.manager.verifyLoginCode(e.passwordKey, codeAt(e.secret, e.clock)));
    ASSERT_TRUE(QFile::remove(e.path));
    ASSERT_TRUE(e.manager.restoreFromSecret(e.passwordKey, e.secret));

    TwoFactorManager::Settings s;
    ASSERT_TRUE(e.manager.readSettings(s));
    EXPECT_TRUE(s.enabled);
    EXPECT_NE(s.wrapSalt, oldSalt);
    EXPECT_EQ(s.lastVerifiedCounter, -1);
    auto restored = e.manager.vaultKeyForEnabledSecret(e.passwordKey);
    ASSERT_TRUE(restored);
    EXPECT_TRUE(restored->equals(*vaultKey));
}

TEST(TwoFactorManager, RewrappedSecretIsCommittedOnlyWhileEnabled)
{
    Enrolled e;
    const SecureBuffer newKey = AeadCipher::generateKey();
    const auto wrapped = TwoFactorManager::wrapSecretFor(newKey, e.secret, e.manager.wrapSalt());
    ASSERT_TRUE(e.manager.commitRewrappedSecret(wrapped));
    auto secret = e.manager.unwrapEnabledSecret(newKey);
    ASSERT_TRUE(secret);
    EXPECT_TRUE(secret->equals(e.secret));
    EXPECT_FALSE(e.manager.unwrapEnabledSecret(e.passwordKey));

    ASSERT_TRUE(e.manager.disable());
    EXPECT_FALSE(e.manager.commitRewrappedSecret(wrapped));
}
