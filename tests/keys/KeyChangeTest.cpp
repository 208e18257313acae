// The password change and the two-factor enable and disable as the configure dialog runs them,
// and the settlement at the start of every session pass.
#include "KeyChangeCases.h"

#include "DurableSteps.h"
#include "VaultImageBuilder.h"
#include "core/PasswordPolicy.h"
#include "vault/FileBlockStore.h"
#include "vault/GenerationBinding.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace keys_test;
using dorvex::app::KeyChangeResult;
using dorvex::core::AtomicFile;

namespace {

// A step of the vault file's own writes (the block store shares the AtomicFile seam).
bool vaultStep(const KeyFolder& f, const DurableSteps::Event& e, AtomicFile::Step step)
{
    return DurableSteps::isFile(e, step) && e.path == f.vaultPath();
}

// Fails the nth step that `matches` accepts, once.
std::function<bool(const DurableSteps::Event&)> failNth(int n, std::function<bool(const DurableSteps::Event&)> matches)
{
    auto seen = std::make_shared<int>(0);
    return [=](const DurableSteps::Event& e) { return matches(e) && ++*seen == n; };
}

}  // namespace

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
        bool recordDamaged = false;
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
        {"rollback record unreadable", false, kOldPassword, kNewPassword, kNewPassword, true, false,
         QStringLiteral("Murravo could not verify this vault's rollback-protection record."), true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        KeyFolder f;
        const SecureBuffer secret = dorvex::crypto::AeadCipher::generateKey();
        const SecureBuffer key = f.createAccountAndVault(row.twoFactor ? &secret : nullptr);
        auto container = f.open(key);
        ASSERT_TRUE(container);
        const quint64 generation = container->generationCounter();
        if (row.recordDamaged)
            dorvex::test::writeFile(f.dir + QStringLiteral("/vault_generation.dat"), "not a record");
        const KeyChangeResult result = dorvex::app::changePassword(
            f.services(), row.withContainer ? container.get() : nullptr, row.current, row.next, row.confirmation,
            row.enrolling);
        EXPECT_FALSE(result.success);
        EXPECT_EQ(result.message, row.message);
        EXPECT_FALSE(result.newVaultKey);
        EXPECT_EQ(container->generationCounter(), generation);
        EXPECT_FALSE(f.journalLeft());
        container.reset();
        if (!row.recordDamaged) {
            EXPECT_TRUE(f.signIn({kOldPassword, row.twoFactor ? &secret : nullptr}));
        }
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

// Fault 1: the rollback record and storage.dat move only with a committed re-key, and at once.
TEST(KeyChanges, TheRollbackRecordFollowsOnlyACommittedRekey)
{
    for (const KeyChange& change : keyChanges()) {
        for (bool rekeyFails : {false, true}) {
            SCOPED_TRACE(testing::Message() << change.name << (rekeyFails ? ", index write fails" : ", committed"));
            KeyFolder f;
            const SessionKeys keys = prepare(f, change);
            auto container = f.open(keys.vaultKey);
            ASSERT_TRUE(container);
            KeyChangeResult result;
            {
                DurableSteps steps;
                if (rekeyFails)
                    steps.failIf = failNth(1, [&](const DurableSteps::Event& e) {
                        return vaultStep(f, e, AtomicFile::Step::Write);
                    });
                result = change.run(f, container.get(), keys);
            }
            EXPECT_EQ(result.success, !rekeyFails);
            const quint64 generation = container->generationCounter();
            // Where the vault is, before any timer of the main window runs.
            EXPECT_EQ(f.guard->highestKnownGeneration(), generation);
            EXPECT_EQ(f.storage->generation(), generation);
            container.reset();
            // A start right away (the process ended before the window's timer ran).
            f.restartAndSettle();
            expectOnly(f, change, keys, !rekeyFails);
        }
    }
}

// Fault 9: a vault still in the old single-index format is migrated before its key changes.
TEST(KeyChanges, ALegacyVaultIsMigratedBeforeItsKeyChanges)
{
    KeyFolder f;
    std::optional<SecureBuffer> key = f.auth->createIdentity(QStringLiteral("alice"), kOldPassword);
    ASSERT_TRUE(key);
    dorvex::test::ImageLayout layout = dorvex::test::fixtureSpec(4);
    layout.machineId = kMachine;
    QStringList names;
    for (const auto& entry : layout.entries)
        names << entry.name;
    const std::vector<unsigned char> bytes = dorvex::test::buildVaultImage(layout, *key);
    {
        QFile vault(f.vaultPath());
        ASSERT_TRUE(vault.open(QIODevice::WriteOnly));
        vault.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    }
    ASSERT_TRUE(f.auth->bindVaultKeyToVaultIdentity(*key, layout.vaultId));
    ASSERT_TRUE(f.storage->setBoundVaultId(layout.vaultId));
    ASSERT_EQ(dorvex::vault::advanceRollbackRecord(*f.storage, *f.guard, kMachine, layout.vaultId, layout.generation,
                                                   true),
              dorvex::vault::RollbackCheckResult::Ok);
    std::unique_ptr<VaultContainer> container;
    {
        // The migration at open fails: the session goes on with the old format.
        DurableSteps steps;
        steps.failIf = [&](const DurableSteps::Event& e) {
            return DurableSteps::isFile(e, AtomicFile::Step::Sync) && e.path == f.vaultPath();
        };
        container = VaultContainer::open(std::make_unique<dorvex::vault::FileBlockStore>(f.vaultPath()), *key, kMachine);
    }
    ASSERT_TRUE(container);
    ASSERT_EQ(container->formatVersion(), VaultContainer::kLegacyFormatVersion);
    const KeyChangeResult result =
        dorvex::app::changePassword(f.services(), container.get(), kOldPassword, kNewPassword, kNewPassword, false);
    EXPECT_EQ(result.message, QStringLiteral("Password changed."));
    EXPECT_EQ(container->formatVersion(), VaultContainer::kFormatVersion);
    container.reset();
    f.restartAndSettle();
    EXPECT_EQ(f.signIn({kNewPassword}), std::optional<QStringList>(names));
}
