// The password change and the two-factor enable and disable as the configure dialog runs them,
// and the settlement at the start of every session pass.
#include "KeyChangeCases.h"

#include "core/PasswordPolicy.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace keys_test;
using dorvex::app::KeyChangeResult;

TEST(KeyChanges, EachChangeOpensTheVaultWithExactlyTheNewCredentials)
{
    for (const KeyChange& change : keyChanges()) {
        SCOPED_TRACE(change.name);
        KeyFolder f;
        const SessionKeys keys = prepare(f, change);
        auto container = f.open(keys.vaultKey);
        ASSERT_TRUE(container);
        const KeyChangeResult result = change.run(f, container.get(), keys);
        EXPECT_TRUE(result.success);
        EXPECT_EQ(result.message, QString::fromUtf8(change.successText));
        ASSERT_TRUE(result.newVaultKey);
        // The session goes on under the key it was handed.
        f.importInto(*container, QStringLiteral("after.txt"));
        container.reset();
        EXPECT_TRUE(f.open(*result.newVaultKey));
        EXPECT_FALSE(f.journalLeft());
        EXPECT_FALSE(QFile::exists(f.dir + QStringLiteral("/identity.dat.oldcopy")));

        f.restartAndSettle();
        expectOnly(f, change, keys, true, kEntries + QStringList{QStringLiteral("after.txt")});
    }
}

TEST(KeyChanges, PasswordChangeRefusalsChangeNothing)
{
    const std::string weak = "short";
    const std::string wrong = "Wrong-Password-1!";
    struct Row {
        const char* name;
        bool twoFactor;
        std::string current, next, confirmation;
        bool withContainer, enrolling;
        QString message;
    } rows[] = {
        {"mismatch", false, kOldPassword, kNewPassword, kNewPassword + "x", true, false,
         QStringLiteral("New passwords do not match.")},
        {"weak", false, kOldPassword, weak, weak, true, false,
         dorvex::core::PasswordPolicy::describeWeakness(QString::fromStdString(weak))},
        {"no vault", false, kOldPassword, kNewPassword, kNewPassword, false, false,
         QStringLiteral("Vault unavailable -- cannot change password right now.")},
        {"enrolment unfinished", false, kOldPassword, kNewPassword, kNewPassword, true, true,
         QStringLiteral("Finish or cancel setting up two-factor authentication before changing your password.")},
        {"wrong current, two-factor off", false, wrong, kNewPassword, kNewPassword, true, false,
         QStringLiteral("Current password is incorrect.")},
        {"wrong current, two-factor on", true, wrong, kNewPassword, kNewPassword, true, false,
         QStringLiteral("Current password is incorrect.")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        KeyFolder f;
        const SecureBuffer secret = dorvex::crypto::AeadCipher::generateKey();
        const SecureBuffer key = f.createAccountAndVault(row.twoFactor ? &secret : nullptr);
        auto container = f.open(key);
        ASSERT_TRUE(container);
        const quint64 generation = container->generationCounter();
        const KeyChangeResult result = dorvex::app::changePassword(
            f.services(), row.withContainer ? container.get() : nullptr, row.current, row.next, row.confirmation,
            row.enrolling);
        EXPECT_FALSE(result.success);
        EXPECT_EQ(result.message, row.message);
        EXPECT_FALSE(result.newVaultKey);
        EXPECT_EQ(container->generationCounter(), generation);
        EXPECT_FALSE(f.journalLeft());
        container.reset();
        EXPECT_TRUE(f.signIn({kOldPassword, row.twoFactor ? &secret : nullptr}));
    }
}

// A wrong current password counts against the sign-in lockout, with two-factor sign-in on or off.
TEST(KeyChanges, WrongCurrentPasswordsAreChargedToTheLockout)
{
    for (bool twoFactor : {false, true}) {
        SCOPED_TRACE(twoFactor);
        KeyFolder f;
        const SecureBuffer secret = dorvex::crypto::AeadCipher::generateKey();
        auto container = f.open(f.createAccountAndVault(twoFactor ? &secret : nullptr));
        ASSERT_TRUE(container);
        for (int attempt = 0; attempt <= dorvex::core::LoginLockout::kFreeAttempts; ++attempt)
            (void)dorvex::app::changePassword(f.services(), container.get(), "Wrong-Password-1!", kNewPassword,
                                              kNewPassword, false);
        EXPECT_GE(f.auth->secondsUntilNextLoginAttemptAllowed(), 1);
    }
}

TEST(KeyChanges, EnableWithAWrongCodeKeepsTheEnrolment)
{
    KeyFolder f;
    const SecureBuffer key = f.createAccountAndVault();
    const SecureBuffer secret = f.beginEnrollment(key);
    auto container = f.open(key);
    ASSERT_TRUE(container);
    const QString right = f.codeOf(secret);
    const QString wrong = right == QStringLiteral("000000") ? QStringLiteral("111111") : QStringLiteral("000000");
    const KeyChangeResult refused = dorvex::app::confirmTwoFactorEnable(f.services(), container.get(), key, wrong);
    EXPECT_FALSE(refused.success);
    EXPECT_FALSE(refused.enrollmentEnded);
    EXPECT_EQ(refused.message, QStringLiteral("That code didn't match. Check your app and try again."));
    EXPECT_FALSE(f.journalLeft());
    const KeyChangeResult confirmed = dorvex::app::confirmTwoFactorEnable(f.services(), container.get(), key, right);
    EXPECT_TRUE(confirmed.success);
    EXPECT_TRUE(confirmed.enrollmentEnded);
}

TEST(KeyChanges, DisableWithAWrongPasswordChangesNothing)
{
    KeyFolder f;
    const SecureBuffer secret = dorvex::crypto::AeadCipher::generateKey();
    auto container = f.open(f.createAccountAndVault(&secret));
    ASSERT_TRUE(container);
    const KeyChangeResult result = dorvex::app::disableTwoFactor(f.services(), container.get(), "Wrong-Password-1!");
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.message, QStringLiteral("Incorrect password. Two-factor authentication not disabled."));
    EXPECT_FALSE(f.journalLeft());
    container.reset();
    EXPECT_TRUE(f.signIn({kOldPassword, &secret}));
}
