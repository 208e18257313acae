// The password change and the two-factor enable and disable as the configure dialog runs them,
// and the settlement at the start of every session pass.
#include "KeyChangeCases.h"

#include "DurableSteps.h"
#include "VaultImageBuilder.h"
#include "core/PasswordPolicy.h"
#include "vault/FileBlockStore.h"
#include "vault/GenerationBinding.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

using namespace keys_test;
using dorvex::app::KeyChangeResult;
using dorvex::core::AtomicFile;
using dorvex::core::SecureErase;

namespace {

const QString kRefusalSignInAgain = QStringLiteral(
    "A change to your password or two-factor authentication has not finished yet. Sign out and sign in again, then "
    "try again.");
const QString kRefusalRestart = QStringLiteral(
    "Murravo could not clear away a finished password or two-factor change. Restart Murravo before changing them "
    "again.");

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

// The rollback record and storage.dat move only with a committed re-key, and at once.
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

namespace {

// The step of the nth secure erase of a sequence that opens the file.
std::function<bool(const DurableSteps::Event&)> failNthErase(int n)
{
    return failNth(n, [](const DurableSteps::Event& e) { return DurableSteps::isErase(e, SecureErase::Step::Open); });
}

// A password change whose commit cannot erase its journal (the identity's backup is erased first).
KeyChangeResult changePasswordErasingNothing(KeyFolder& f, VaultContainer& container, const std::string& from,
                                             const std::string& to)
{
    DurableSteps steps;
    steps.failIf = failNthErase(2);
    return dorvex::app::changePassword(f.services(), &container, from, to, to, false);
}

}  // namespace

// A finished journal that cannot be erased is still cleared away for good, so no later
// start commits it over what came after.
TEST(KeyChanges, AFinishedJournalThatCannotBeErasedIsNeverReplayed)
{
    const std::string third = "Third-Password-55#";
    {
        SCOPED_TRACE("abandoned password change, then an import");
        KeyFolder f;
        const SecureBuffer key = f.createAccountAndVault();
        auto container = f.open(key);
        ASSERT_TRUE(container);
        {
            DurableSteps steps;
            const auto failWrite = failNth(1, [&](const DurableSteps::Event& e) {
                return vaultStep(f, e, AtomicFile::Step::Write);
            });
            const auto failErase = failNthErase(1);
            steps.failIf = [&](const DurableSteps::Event& e) { return failWrite(e) || failErase(e); };
            EXPECT_FALSE(
                dorvex::app::changePassword(f.services(), container.get(), kOldPassword, kNewPassword, kNewPassword,
                                            false)
                    .success);
        }
        f.importInto(*container, QStringLiteral("after.txt"));
        container.reset();
        f.restartAndSettle();
        EXPECT_TRUE(f.signIn({kOldPassword}));
        EXPECT_FALSE(f.signIn({kNewPassword}));
    }
    {
        SCOPED_TRACE("password change, then another one");
        KeyFolder f;
        auto container = f.open(f.createAccountAndVault());
        ASSERT_TRUE(container);
        EXPECT_TRUE(changePasswordErasingNothing(f, *container, kOldPassword, kNewPassword).success);
        const KeyChangeResult second =
            dorvex::app::changePassword(f.services(), container.get(), kNewPassword, third, third, false);
        EXPECT_TRUE(second.success) << second.message.toStdString();
        container.reset();
        f.restartAndSettle();
        EXPECT_TRUE(f.signIn({third}));
    }
    {
        SCOPED_TRACE("password change with two-factor on, then disable and enable again");
        KeyFolder f;
        const SecureBuffer secret = dorvex::crypto::AeadCipher::generateKey();
        auto container = f.open(f.createAccountAndVault(&secret));
        ASSERT_TRUE(container);
        EXPECT_TRUE(changePasswordErasingNothing(f, *container, kOldPassword, kNewPassword).success);
        EXPECT_TRUE(dorvex::app::disableTwoFactor(f.services(), container.get(), kNewPassword).success);
        const SecureBuffer passwordKey = f.passwordKey(kNewPassword);
        const SecureBuffer again = f.beginEnrollment(passwordKey);
        EXPECT_TRUE(
            dorvex::app::confirmTwoFactorEnable(f.services(), container.get(), passwordKey, f.codeOf(again)).success);
        container.reset();
        f.restartAndSettle();
        EXPECT_TRUE(f.signIn({kNewPassword, &again}));
    }
    {
        SCOPED_TRACE("enable, then sign-ins use codes");
        KeyFolder f;
        const SecureBuffer key = f.createAccountAndVault();
        const SecureBuffer secret = f.beginEnrollment(key);
        auto container = f.open(key);
        ASSERT_TRUE(container);
        {
            DurableSteps steps;
            steps.failIf = failNthErase(1);
            EXPECT_TRUE(
                dorvex::app::confirmTwoFactorEnable(f.services(), container.get(), key, f.codeOf(secret)).success);
        }
        container.reset();
        const QString used = f.codeOf(secret);
        EXPECT_TRUE(f.twoFactor->verifyLoginCode(key, used));
        f.restartAndSettle();
        EXPECT_FALSE(f.twoFactor->verifyLoginCode(key, used));
    }
}

// When nothing clears the journal away: no further key change in this process, and after
// a change that left the vault as it was, no commit to the vault either (an abandoned journal
// would be committed at a later start once the generation rose).
TEST(KeyChanges, AJournalThatCannotBeClearedStopsFurtherChanges)
{
    for (bool rekeyFails : {false, true}) {
        SCOPED_TRACE(rekeyFails ? "abandoned" : "committed");
        KeyFolder f;
        auto container = f.open(f.createAccountAndVault());
        ASSERT_TRUE(container);
        KeyChangeResult first;
        {
            DurableSteps steps;
            const QString journal = f.passwordJournal();
            // The journal's erase (after the identity backup's, when committed): from then on nothing
            // may erase, remove or replace the journal.
            const int journalErase = rekeyFails ? 1 : 2;
            auto erases = std::make_shared<int>(0);
            const auto failWrite =
                failNth(1, [&](const DurableSteps::Event& e) { return vaultStep(f, e, AtomicFile::Step::Write); });
            steps.failIf = [&, erases](const DurableSteps::Event& e) {
                if (rekeyFails && failWrite(e))
                    return true;
                if (DurableSteps::isErase(e, SecureErase::Step::Open))
                    return ++*erases >= journalErase;
                return !e.erase && e.path == journal && *erases >= journalErase;
            };
            first = dorvex::app::changePassword(f.services(), container.get(), kOldPassword, kNewPassword,
                                                kNewPassword, false);
        }
        EXPECT_EQ(first.success, !rekeyFails);
        EXPECT_EQ(container->isLocked(), rekeyFails);
        const std::string current = rekeyFails ? kOldPassword : kNewPassword;
        const KeyChangeResult next = dorvex::app::changePassword(f.services(), container.get(), current,
                                                                 "Third-Password-55#", "Third-Password-55#", false);
        EXPECT_FALSE(next.success);
        EXPECT_EQ(next.message, kRefusalRestart);
        container.reset();
        f.restartAndSettle();
        EXPECT_TRUE(f.signIn({current}));
        EXPECT_FALSE(f.journalLeft());
    }
}

// A password change whose two-factor secret could not be re-wrapped is not finished.
TEST(KeyChanges, ASecretThatWasNotRewrappedKeepsThePasswordChangeOpen)
{
    KeyFolder f;
    const SecureBuffer secret = dorvex::crypto::AeadCipher::generateKey();
    auto container = f.open(f.createAccountAndVault(&secret));
    ASSERT_TRUE(container);
    KeyChangeResult result;
    {
        DurableSteps steps;
        const QString twoFactorFile = f.dir + QStringLiteral("/twofactor.dat");
        steps.failIf = [&](const DurableSteps::Event& e) {
            return DurableSteps::isFile(e, AtomicFile::Step::Rename) && e.path == twoFactorFile;
        };
        result = dorvex::app::changePassword(f.services(), container.get(), kOldPassword, kNewPassword, kNewPassword,
                                             false);
    }
    EXPECT_EQ(result.message,
              QStringLiteral("Vault re-keyed; the password change will finish the next time Murravo starts."));
    EXPECT_TRUE(result.newVaultKey);
    EXPECT_TRUE(f.auth->hasPendingPasswordChange());
    container.reset();
    f.restartAndSettle();
    EXPECT_TRUE(f.signIn({kNewPassword, &secret}));
    EXPECT_FALSE(f.journalLeft());
    // Committing the same journal again changes nothing that came after it.
    f.restartAndSettle();
    EXPECT_TRUE(f.signIn({kNewPassword, &secret}));
}

// While a change is unfinished (a locked vault, a journal kept), no other one starts.
TEST(KeyChanges, NoKeyChangeStartsWhileAnotherIsUnfinished)
{
    struct Row {
        const char* name;
        const KeyChange& setup;  // the first change, left unfinished by `first`
        std::function<void(KeyFolder&, VaultContainer&, SessionKeys&)> first;
        std::function<KeyChangeResult(KeyFolder&, VaultContainer&, const SessionKeys&)> second;
    };
    const KeyChange& passwordOff = keyChanges()[0];
    const KeyChange& passwordOn = keyChanges()[1];
    const KeyChange& enable = keyChanges()[2];
    const auto failFromHeaderFlushOn = [](KeyFolder& f) {
        auto syncs = std::make_shared<int>(0);
        return [&f, syncs](const DurableSteps::Event& e) { return vaultStep(f, e, AtomicFile::Step::Sync) && ++*syncs >= 2; };
    };
    const auto failWritesOf = [](const QString& path) {
        return [path](const DurableSteps::Event& e) { return DurableSteps::isFile(e, AtomicFile::Step::Create) && e.path == path; };
    };
    const Row rows[] = {
        {"a retry after the vault's state became unknown", passwordOff,
         [&](KeyFolder& f, VaultContainer& c, SessionKeys&) {
             DurableSteps steps;
             steps.failIf = failFromHeaderFlushOn(f);
             const KeyChangeResult r =
                 dorvex::app::changePassword(f.services(), &c, kOldPassword, kNewPassword, kNewPassword, false);
             EXPECT_TRUE(c.isLocked()) << r.message.toStdString();
         },
         [](KeyFolder& f, VaultContainer& c, const SessionKeys&) {
             return dorvex::app::changePassword(f.services(), &c, kOldPassword, kNewPassword, kNewPassword, false);
         }},
        {"a disable after a password change that finishes at the next start", passwordOn,
         [&](KeyFolder& f, VaultContainer& c, SessionKeys&) {
             DurableSteps steps;
             steps.failIf = failWritesOf(f.dir + QStringLiteral("/identity.dat"));
             const KeyChangeResult r =
                 dorvex::app::changePassword(f.services(), &c, kOldPassword, kNewPassword, kNewPassword, false);
             EXPECT_EQ(r.message,
                       QStringLiteral("Vault re-keyed; the password change will finish the next time Murravo starts."));
         },
         [](KeyFolder& f, VaultContainer& c, const SessionKeys&) {
             return dorvex::app::disableTwoFactor(f.services(), &c, kOldPassword);
         }},
        {"a password change after an enable that finishes at the next start", enable,
         [&](KeyFolder& f, VaultContainer& c, SessionKeys& k) {
             DurableSteps steps;
             steps.failIf = failWritesOf(f.dir + QStringLiteral("/twofactor.dat"));
             const KeyChangeResult r =
                 dorvex::app::confirmTwoFactorEnable(f.services(), &c, k.vaultKey, f.codeOf(k.newSecret));
             EXPECT_EQ(r.message,
                       QStringLiteral("Two-factor authentication will finish enabling the next time Murravo starts."));
         },
         [](KeyFolder& f, VaultContainer& c, const SessionKeys&) {
             return dorvex::app::changePassword(f.services(), &c, kOldPassword, kNewPassword, kNewPassword, false);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        KeyFolder f;
        SessionKeys keys = prepare(f, row.setup);
        auto container = f.open(keys.vaultKey);
        ASSERT_TRUE(container);
        row.first(f, *container, keys);
        const KeyChangeResult second = row.second(f, *container, keys);
        EXPECT_FALSE(second.success);
        EXPECT_EQ(second.message, kRefusalSignInAgain);
        EXPECT_FALSE(second.newVaultKey);
        container.reset();
        // The first change, finished by the start.
        f.restartAndSettle();
        expectOnly(f, row.setup, keys, true);
        EXPECT_FALSE(f.journalLeft());
    }
}

// The settlement reads the generation where the vault is, and without one it decides
// nothing about a journal that does not say it was re-keyed.
TEST(KeyChanges, TheSettlementJudgesByTheVaultWhereItIs)
{
    for (const char* where : {"relocation pending", "vault out of reach"}) {
        SCOPED_TRACE(where);
        KeyFolder f;
        auto container = f.open(f.createAccountAndVault());
        ASSERT_TRUE(container);
        // A password change that crashed after the re-key, before its journal was marked.
        const SecureBuffer newKey = dorvex::crypto::AeadCipher::generateKey();
        ASSERT_TRUE(f.auth->beginCommitPasswordChange(newKey, kNewPassword, container->vaultId(),
                                                      container->generationCounter(), {}));
        ASSERT_EQ(container->rekey(newKey), VaultContainer::RekeyDone);
        container.reset();
        const QString away = dorvex::test::makeScratchDir() + QStringLiteral("/vault.drvx");
        if (QByteArray(where) == "relocation pending") {
            auto config = f.storage->containerConfig();
            config.overrideDirectory = dorvex::test::makeScratchDir();
            config.pendingMigrateFromPath = f.vaultPath();
            ASSERT_TRUE(f.storage->setContainerConfig(config));
        } else {
            ASSERT_TRUE(QFile::rename(f.vaultPath(), away));
            f.restartAndSettle();
            EXPECT_TRUE(f.auth->hasPendingPasswordChange());
            ASSERT_TRUE(QFile::rename(away, f.vaultPath()));
        }
        f.restartAndSettle();
        EXPECT_TRUE(f.signIn({kNewPassword}));
        EXPECT_FALSE(f.journalLeft());
    }
}

// Each journal write, mark and removal is durable in its folder before the sequence goes
// on (a rename or unlink that no folder sync follows could be undone by a crash).
TEST(KeyChanges, EveryJournalChangeReachesItsFolder)
{
    for (const KeyChange& change : keyChanges()) {
        for (bool abandoned : {false, true}) {
            SCOPED_TRACE(testing::Message() << change.name << (abandoned ? ", abandoned" : ", committed"));
            KeyFolder f;
            const SessionKeys keys = prepare(f, change);
            auto container = f.open(keys.vaultKey);
            ASSERT_TRUE(container);
            std::vector<DurableSteps::Event> events;
            {
                DurableSteps steps;
                if (abandoned)
                    steps.failIf = failNth(1, [&](const DurableSteps::Event& e) {
                        return vaultStep(f, e, AtomicFile::Step::Write);
                    });
                (void)change.run(f, container.get(), keys);
                events = steps.events();
            }
            bool unsynced = false;
            for (const DurableSteps::Event& e : events) {
                if (e.failed)
                    continue;
                if (DurableSteps::isErase(e, SecureErase::Step::Unlink) || DurableSteps::isFile(e, AtomicFile::Step::Rename))
                    unsynced = true;
                else if (DurableSteps::isFile(e, AtomicFile::Step::SyncFolder) && QFileInfo(e.path).absolutePath() == f.dir)
                    unsynced = false;
                else if (vaultStep(f, e, AtomicFile::Step::Write)) {
                    EXPECT_FALSE(unsynced) << "a folder change not yet durable when the vault is written";
                }
            }
            EXPECT_FALSE(unsynced) << "the sequence ends with a folder change not yet durable";
        }
    }
}

// A vault still in the old single-index format is migrated before its key changes.
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

// The code that confirmed the enrolment is used up, as a sign-in code is.
TEST(KeyChanges, TheCodeThatConfirmedTheEnrolmentDoesNotSignInAgain)
{
    KeyFolder f;
    const SecureBuffer key = f.createAccountAndVault();
    const SecureBuffer secret = f.beginEnrollment(key);
    auto container = f.open(key);
    ASSERT_TRUE(container);
    const QString code = f.codeOf(secret);
    ASSERT_TRUE(dorvex::app::confirmTwoFactorEnable(f.services(), container.get(), key, code).success);
    EXPECT_FALSE(f.twoFactor->verifyLoginCode(key, code));
}
