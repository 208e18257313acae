#include "app/KeyChanges.h"

#include "core/AuthManager.h"
#include "core/KeyJournal.h"
#include "core/LocalIntegrityKey.h"
#include "core/PasswordPolicy.h"
#include "core/SealedFile.h"
#include "core/TwoFactorManager.h"
#include "crypto/AeadCipher.h"
#include "vault/GenerationBinding.h"
#include "vault/StorageConfig.h"
#include "vault/VaultContainer.h"
#include "vault/VaultRollbackGuard.h"

#include <QCoreApplication>
#include <QtDebug>

#include <functional>
#include <utility>
#include <vector>

namespace dorvex::app {

namespace {

using crypto::PasswordWipe;
using crypto::SecureBuffer;
using vault::RollbackCheckResult;
using vault::VaultContainer;

QString tr(const char* text) { return QCoreApplication::translate("ConfigureDialog", text); }

const char* const kRestartBeforeChanging =
    QT_TRANSLATE_NOOP("ConfigureDialog", "Murravo could not clear away a finished password or two-factor change. "
                                         "Restart Murravo before changing them again.");

// Why no key change may start now, if one may not. While a change is unfinished (its journal
// kept for the next start, or the vault's state unknown) another one would re-key to a key that
// the kept journal then overrides; signing in again settles it first.
std::optional<QString> refusalToStart(const KeyChangeServices& services, const VaultContainer& container)
{
    if (services.auth.passwordChangeJournalUncleared() || services.twoFactor.transitionJournalUncleared())
        return tr(kRestartBeforeChanging);
    if (container.isLocked() || services.auth.hasPendingPasswordChange() || services.twoFactor.hasPendingTransition())
        return tr("A change to your password or two-factor authentication has not finished yet. Sign out and sign "
                  "in again, then try again.");
    return std::nullopt;
}

KeyChangeResult failure(const QString& message)
{
    KeyChangeResult result;
    result.message = message;
    return result;
}

KeyChangeResult success(const QString& message)
{
    KeyChangeResult result;
    result.message = message;
    result.success = true;
    return result;
}

SecureBuffer copyOf(const SecureBuffer& key) { return SecureBuffer(key.data(), key.size()); }

QString fromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

QString rollbackGuardText(RollbackCheckResult result)
{
    switch (result) {
    case RollbackCheckResult::RecordUnreadable:
        return tr("Murravo could not verify this vault's rollback-protection record.");
    case RollbackCheckResult::RolledBack:
        return tr("Murravo's rollback-protection record disagrees with this vault's actual state. This usually means "
                  "a previous save didn't fully complete.");
    default:
        return tr("Murravo could not save its rollback-protection record -- check that its data folder is writable.");
    }
}

// Before a change writes its journal: a vault of the old format is migrated (a re-key rewrites
// only the current one), and the rollback record must be readable, writable and not ahead of the
// vault. It is advanced only once the re-key has committed.
bool readyForRekey(const KeyChangeServices& services, VaultContainer& container, const char* unchangedText,
                   QString* error)
{
    if (!container.migrateToCurrentFormat()) {
        *error = tr(unchangedText);
        return false;
    }
    const RollbackCheckResult result =
        vault::advanceRollbackRecord(services.storage, services.rollbackGuard, services.machineId,
                                     container.vaultId(), container.generationCounter(), false);
    if (result == RollbackCheckResult::Ok)
        return true;
    *error = rollbackGuardText(result);
    return false;
}

// How one change's journal is written off, marked and installed, and the words for its outcomes.
struct JournalSteps {
    std::function<bool()> abandon;  // true once the journal is durably out of use
    std::function<bool()> mark;
    std::function<bool()> commit;
};

struct RekeyWords {
    const char* failedUnchanged;  // the vault is as it was
    const char* stateUnknown;     // the container locked itself
    const char* markFailedLog;
    const char* done;
    const char* finishesLater;  // re-keyed, not yet installed
};

JournalSteps transitionSteps(core::TwoFactorManager& twoFactor)
{
    return {[&twoFactor] { return twoFactor.abandonPendingTransition(); },
            [&twoFactor] { return twoFactor.markPendingTransitionVaultRekeyed(); },
            [&twoFactor] { return twoFactor.commitPendingTransition(); }};
}

// The part every change shares once its journal is written: the vault re-keyed to newKey, the
// journal marked and installed, or written off when the vault is unchanged.
KeyChangeResult rekeyThroughJournal(const KeyChangeServices& services, VaultContainer& container,
                                    const SecureBuffer& newKey, const JournalSteps& journal, const RekeyWords& words)
{
    switch (container.rekey(newKey)) {
    case VaultContainer::RekeyDone:
        break;
    case VaultContainer::RekeyFailedUnchanged:
        if (!journal.abandon()) {
            // A journal left readable is committed at a later start once the generation has risen:
            // nothing may commit to this vault before then.
            container.lockSynchronously();
            return failure(tr(kRestartBeforeChanging));
        }
        return failure(tr(words.failedUnchanged));
    default:
        return failure(tr(words.stateUnknown));
    }
    if (!journal.mark())
        qWarning("%s", words.markFailedLog);
    // Where the vault now is, at once: the main window's timer may not run before the program ends.
    if (vault::advanceRollbackRecord(services.storage, services.rollbackGuard, services.machineId, container.vaultId(),
                                     container.generationCounter(), false)
        != RollbackCheckResult::Ok)
        qWarning("ConfigureDialog: failed to advance the rollback-protection record to the re-keyed vault's "
                 "generation -- the main window will retry.");
    KeyChangeResult result = success(journal.commit() ? tr(words.done) : tr(words.finishesLater));
    result.newVaultKey = copyOf(newKey);
    return result;
}

}  // namespace

KeyChangeResult changePassword(const KeyChangeServices& services, VaultContainer* container,
                               std::string currentPassword, std::string newPassword, std::string confirmation,
                               bool enrollmentUnfinished)
{
    const PasswordWipe wipeCurrent(currentPassword);
    const PasswordWipe wipeNew(newPassword);
    const PasswordWipe wipeConfirmation(confirmation);
    if (newPassword != confirmation)
        return failure(tr("New passwords do not match."));
    QString newText = fromUtf8(newPassword);
    const QString weakness = core::PasswordPolicy::describeWeakness(newText);
    crypto::secureZero(newText);
    if (!weakness.isEmpty())
        return failure(weakness);
    if (container == nullptr)
        return failure(tr("Vault unavailable -- cannot change password right now."));
    if (enrollmentUnfinished)
        return failure(tr("Finish or cancel setting up two-factor authentication before changing your password."));
    if (const std::optional<QString> refusal = refusalToStart(services, *container))
        return failure(*refusal);

    const bool twoFactorOn = services.twoFactor.isEnabled();
    std::optional<SecureBuffer> secret;
    std::optional<SecureBuffer> newPasswordKey;
    if (twoFactorOn) {
        // The sign-in already proves the password; one Argon2id verification is enough.
        const std::optional<SecureBuffer> passwordKey =
            services.auth.login(currentPassword, true, container->vaultId(), nullptr, nullptr);
        if (!passwordKey)
            return failure(tr("Current password is incorrect."));
        secret = services.twoFactor.unwrapEnabledSecret(*passwordKey);
        if (!secret)
            return failure(tr("Could not read the two-factor secret -- password not changed."));
        newPasswordKey = crypto::AeadCipher::generateKey();
    } else {
        newPasswordKey = services.auth.beginPasswordChange(currentPassword);
        if (!newPasswordKey)
            return failure(tr("Current password is incorrect."));
    }

    std::vector<unsigned char> wrappedSecret;
    if (twoFactorOn) {
        const std::vector<unsigned char> salt = services.twoFactor.wrapSalt();
        if (salt.empty())
            return failure(tr("Could not read the two-factor secret -- password not changed."));
        wrappedSecret = core::TwoFactorManager::wrapSecretFor(*newPasswordKey, *secret, salt);
    }

    const char* const unchanged = QT_TRANSLATE_NOOP("ConfigureDialog",
                                                     "Could not re-key the vault -- password not changed.");
    if (QString error; !readyForRekey(services, *container, unchanged, &error))
        return failure(error);
    const QString vaultId = container->vaultId();
    if (!services.auth.beginCommitPasswordChange(*newPasswordKey, newPassword, vaultId,
                                                 container->generationCounter(), wrappedSecret))
        return failure(tr("Could not save the new password. Please try again."));
    SecureBuffer newVaultKey =
        twoFactorOn ? core::TwoFactorManager::combineForVaultKey(*newPasswordKey, *secret) : copyOf(*newPasswordKey);

    core::AuthManager& auth = services.auth;
    core::TwoFactorManager& twoFactor = services.twoFactor;
    return rekeyThroughJournal(
        services, *container, newVaultKey,
        {[&auth] { return auth.abandonPendingPasswordChange(); },
         [&auth] { return auth.markPasswordChangeVaultRekeyed(); },
         [&auth, &twoFactor] { return auth.commitPendingPasswordChange(twoFactor); }},
        {unchanged,
         QT_TRANSLATE_NOOP("ConfigureDialog",
                           "Something went wrong changing your password and Murravo could not confirm the vault's "
                           "state. Do not try again -- close Murravo and contact support."),
         "ConfigureDialog: failed to durably record that the vault was re-keyed for a password change -- recovery "
         "on next launch will rely on the container's own generation counter instead.",
         QT_TRANSLATE_NOOP("ConfigureDialog", "Password changed."),
         QT_TRANSLATE_NOOP("ConfigureDialog",
                           "Vault re-keyed; the password change will finish the next time Murravo starts.")});
}

KeyChangeResult confirmTwoFactorEnable(const KeyChangeServices& services, VaultContainer* container,
                                       const SecureBuffer& currentVaultKey, const QString& code)
{
    if (container == nullptr) {
        KeyChangeResult result = failure(tr("Vault unavailable -- cannot set up two-factor authentication right now."));
        result.enrollmentEnded = true;
        return result;
    }
    if (const std::optional<QString> refusal = refusalToStart(services, *container))
        return failure(*refusal);
    const char* const unchanged = QT_TRANSLATE_NOOP(
        "ConfigureDialog", "Could not re-key the vault for two-factor authentication -- not enabled.");
    if (QString error; !readyForRekey(services, *container, unchanged, &error)) {
        KeyChangeResult result = failure(error);
        result.enrollmentEnded = true;
        return result;
    }
    std::optional<SecureBuffer> newVaultKey =
        services.twoFactor.beginConfirmEnable(currentVaultKey, code, container->generationCounter());
    if (!newVaultKey)
        return failure(tr("That code didn't match. Check your app and try again."));

    KeyChangeResult result =
        rekeyThroughJournal(services, *container, *newVaultKey, transitionSteps(services.twoFactor),
                            {unchanged,
                             QT_TRANSLATE_NOOP("ConfigureDialog",
                                               "Something went wrong enabling two-factor authentication and Murravo "
                                               "could not confirm the vault's state. Do not try again -- close "
                                               "Murravo and contact support."),
                             "ConfigureDialog: failed to durably record that the vault was re-keyed for enabling "
                             "two-factor authentication -- recovery on next launch will rely on the container's own "
                             "generation counter instead.",
                             QT_TRANSLATE_NOOP("ConfigureDialog", "Two-factor authentication is enabled."),
                             QT_TRANSLATE_NOOP("ConfigureDialog",
                                               "Two-factor authentication will finish enabling the next time Murravo "
                                               "starts.")});
    result.enrollmentEnded = true;
    return result;
}

KeyChangeResult disableTwoFactor(const KeyChangeServices& services, VaultContainer* container, std::string password)
{
    const PasswordWipe wipe(password);
    // Without the vault its identity is unknown, and the password could not be judged against it.
    if (container == nullptr)
        return failure(tr("Vault unavailable -- cannot disable two-factor authentication right now."));
    if (const std::optional<QString> refusal = refusalToStart(services, *container))
        return failure(*refusal);
    std::optional<SecureBuffer> passwordKey =
        services.auth.login(password, true, container->vaultId(), nullptr, nullptr);
    if (!passwordKey)
        return failure(tr("Incorrect password. Two-factor authentication not disabled."));
    const char* const unchanged =
        QT_TRANSLATE_NOOP("ConfigureDialog", "Could not re-key the vault -- two-factor authentication not disabled.");
    if (QString error; !readyForRekey(services, *container, unchanged, &error))
        return failure(error);
    if (!services.twoFactor.beginDisable(container->generationCounter()))
        return failure(tr("Could not disable two-factor authentication -- try again."));
    return rekeyThroughJournal(
        services, *container, *passwordKey, transitionSteps(services.twoFactor),
        {unchanged,
         QT_TRANSLATE_NOOP("ConfigureDialog",
                           "Something went wrong disabling two-factor authentication and Murravo could not confirm "
                           "the vault's state. Do not try again -- close Murravo and contact support."),
         "ConfigureDialog: failed to durably record that the vault was re-keyed for disabling two-factor "
         "authentication -- recovery on next launch will rely on the container's own generation counter instead.",
         QT_TRANSLATE_NOOP("ConfigureDialog", "Two-factor authentication is disabled."),
         QT_TRANSLATE_NOOP("ConfigureDialog",
                           "Two-factor authentication will finish disabling the next time Murravo starts.")});
}

namespace {

// The generation of the vault where its file is now: at its old place while a move to the
// configured one is pending. (A re-keyed vault may begin with the wiped header slot, so the
// headers are read, not the first bytes.)
std::optional<quint64> generationNow(const vault::StorageConfig& storage, const QString& dataDir)
{
    if (storage.backend() != vault::StorageBackend::Container)
        return std::nullopt;
    const QString movingFrom = storage.containerConfig().pendingMigrateFromPath;
    if (!movingFrom.isEmpty()) {
        if (const std::optional<quint64> there = VaultContainer::peekGenerationCounter(movingFrom))
            return there;
    }
    return VaultContainer::peekGenerationCounter(storage.resolveContainerPath(dataDir));
}

// One journal's settlement: committed when it shows the vault re-keyed; kept when the vault's
// generation cannot be read (a vault out of reach proves nothing); abandoned otherwise.
template <typename IsRekeyed, typename Commit, typename Abandon>
void settle(std::optional<unsigned long long> generation, IsRekeyed isRekeyed, Commit commit, Abandon abandon,
            const char* commitFailed, const char* kept)
{
    if (isRekeyed(generation)) {
        if (!commit())
            qWarning("%s", commitFailed);
    } else if (!generation) {
        qWarning("%s", kept);
    } else {
        static_cast<void>(abandon());
    }
}

// A journal file that no longer opens although its key loads is what a crash in the middle of
// its erase leaves: finished with, it is cleared away. One whose key cannot be had now (the
// keyring's root is out of reach) may open again later and is left alone.
void clearBrokenJournal(const QString& path)
{
    if (core::SealedFile::readAuthenticated(path, core::SealedKeySource::Load).status
            != core::SealedReadStatus::NotOpened
        || core::LocalIntegrityKey::load(core::SealedFile::keyPathFor(path)).empty())
        return;
    if (!core::retireJournal(path).gone)
        qWarning("recoverPendingKeyTransitions: could not clear away the unreadable transition file at %s.",
                 path.toUtf8().constData());
}

}  // namespace

void recoverPendingKeyTransitions(core::AuthManager& auth, core::TwoFactorManager& twoFactor,
                                  const vault::StorageConfig& storage, const QString& dataDir)
{
    std::optional<unsigned long long> generation;
    if (const std::optional<quint64> peeked = generationNow(storage, dataDir))
        generation = *peeked;
    if (auth.hasPendingPasswordChange()) {
        settle(
            generation, [&](auto g) { return auth.pendingPasswordChangeIsVaultRekeyed(g); },
            [&] { return auth.commitPendingPasswordChange(twoFactor); },
            [&] { return auth.abandonPendingPasswordChange(); },
            "recoverPendingKeyTransitions: failed to commit a completed password-change transition -- will retry on "
            "next launch.",
            "recoverPendingKeyTransitions: the vault's generation could not be read -- the password-change "
            "transition is kept for a later start.");
    } else {
        clearBrokenJournal(auth.passwordChangeJournalPath());
    }
    if (twoFactor.hasPendingTransition()) {
        settle(
            generation, [&](auto g) { return twoFactor.pendingTransitionIsVaultRekeyed(g); },
            [&] { return twoFactor.commitPendingTransition(); }, [&] { return twoFactor.abandonPendingTransition(); },
            "recoverPendingKeyTransitions: failed to commit a completed 2FA transition -- will retry on next launch.",
            "recoverPendingKeyTransitions: the vault's generation could not be read -- the 2FA transition is kept "
            "for a later start.");
    } else {
        clearBrokenJournal(twoFactor.transitionJournalPath());
    }
}

}  // namespace dorvex::app
