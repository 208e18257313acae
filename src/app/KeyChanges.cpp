#include "app/KeyChanges.h"

#include "core/AuthManager.h"
#include "core/PasswordPolicy.h"
#include "core/TwoFactorManager.h"
#include "crypto/AeadCipher.h"
#include "vault/StorageConfig.h"
#include "vault/VaultContainer.h"
#include "vault/VaultRollbackGuard.h"

#include <QCoreApplication>
#include <QtDebug>

#include <utility>
#include <vector>

namespace dorvex::app {

namespace {

using crypto::PasswordWipe;
using crypto::SecureBuffer;
using vault::RollbackCheckResult;
using vault::VaultContainer;

QString tr(const char* text) { return QCoreApplication::translate("ConfigureDialog", text); }

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

// The rollback record is moved to the generation the re-key will produce.
bool advanceGuardForRekey(const KeyChangeServices& services, const VaultContainer& container, QString* error)
{
    RollbackCheckResult result = RollbackCheckResult::Ok;
    if (services.rollbackGuard.checkAndAdvance(container.vaultId(), container.generationCounter() + 1, false, &result))
        return true;
    *error = rollbackGuardText(result);
    return false;
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

    const QString vaultId = container->vaultId();
    if (!services.auth.beginCommitPasswordChange(*newPasswordKey, newPassword, vaultId,
                                                 container->generationCounter(), wrappedSecret))
        return failure(tr("Could not save the new password. Please try again."));
    SecureBuffer newVaultKey =
        twoFactorOn ? core::TwoFactorManager::combineForVaultKey(*newPasswordKey, *secret) : copyOf(*newPasswordKey);

    QString guardError;
    if (!advanceGuardForRekey(services, *container, &guardError)) {
        services.auth.abandonPendingPasswordChange();
        return failure(guardError);
    }
    switch (container->rekey(newVaultKey)) {
    case VaultContainer::RekeyDone:
        break;
    case VaultContainer::RekeyFailedUnchanged:
        services.auth.abandonPendingPasswordChange();
        return failure(tr("Could not re-key the vault -- password not changed."));
    default:
        return failure(tr("Something went wrong changing your password and Murravo could not confirm the vault's "
                          "state. Do not try again -- close Murravo and contact support."));
    }
    if (!services.auth.markPasswordChangeVaultRekeyed())
        qWarning("ConfigureDialog: failed to durably record that the vault was re-keyed for a password change -- "
                 "recovery on next launch will rely on the container's own generation counter instead.");

    KeyChangeResult result = services.auth.commitPendingPasswordChange(services.twoFactor)
                                 ? success(tr("Password changed."))
                                 : success(tr("Vault re-keyed; the password change will finish the next time "
                                              "Murravo starts."));
    result.newVaultKey = std::move(newVaultKey);
    return result;
}

KeyChangeResult confirmTwoFactorEnable(const KeyChangeServices& services, VaultContainer* container,
                                       const SecureBuffer& currentVaultKey, const QString& code)
{
    if (container == nullptr) {
        KeyChangeResult result = failure(tr("Vault unavailable -- cannot set up two-factor authentication right now."));
        result.enrollmentEnded = true;
        return result;
    }
    std::optional<SecureBuffer> newVaultKey =
        services.twoFactor.beginConfirmEnable(currentVaultKey, code, container->generationCounter());
    if (!newVaultKey)
        return failure(tr("That code didn't match. Check your app and try again."));

    KeyChangeResult result;
    QString guardError;
    if (!advanceGuardForRekey(services, *container, &guardError)) {
        services.twoFactor.abandonPendingTransition();
        result = failure(guardError);
    } else {
        switch (container->rekey(*newVaultKey)) {
        case VaultContainer::RekeyDone:
            if (!services.twoFactor.markPendingTransitionVaultRekeyed())
                qWarning("ConfigureDialog: failed to durably record that the vault was re-keyed for enabling "
                         "two-factor authentication -- recovery on next launch will rely on the container's own "
                         "generation counter instead.");
            result = success(services.twoFactor.commitPendingTransition()
                                 ? tr("Two-factor authentication is enabled.")
                                 : tr("Two-factor authentication will finish enabling the next time Murravo starts."));
            result.newVaultKey = std::move(newVaultKey);
            break;
        case VaultContainer::RekeyFailedUnchanged:
            services.twoFactor.abandonPendingTransition();
            result = failure(tr("Could not re-key the vault for two-factor authentication -- not enabled."));
            break;
        default:
            result = failure(tr("Something went wrong enabling two-factor authentication and Murravo could not "
                                "confirm the vault's state. Do not try again -- close Murravo and contact support."));
            break;
        }
    }
    result.enrollmentEnded = true;
    return result;
}

KeyChangeResult disableTwoFactor(const KeyChangeServices& services, VaultContainer* container, std::string password)
{
    const PasswordWipe wipe(password);
    // Without the vault its identity is unknown, and the password could not be judged against it.
    if (container == nullptr)
        return failure(tr("Vault unavailable -- cannot disable two-factor authentication right now."));
    std::optional<SecureBuffer> passwordKey =
        services.auth.login(password, true, container->vaultId(), nullptr, nullptr);
    if (!passwordKey)
        return failure(tr("Incorrect password. Two-factor authentication not disabled."));
    if (!services.twoFactor.beginDisable(container->generationCounter()))
        return failure(tr("Could not disable two-factor authentication -- try again."));
    QString guardError;
    if (!advanceGuardForRekey(services, *container, &guardError)) {
        services.twoFactor.abandonPendingTransition();
        return failure(guardError);
    }
    switch (container->rekey(*passwordKey)) {
    case VaultContainer::RekeyDone:
        break;
    case VaultContainer::RekeyFailedUnchanged:
        services.twoFactor.abandonPendingTransition();
        return failure(tr("Could not re-key the vault -- two-factor authentication not disabled."));
    default:
        return failure(tr("Something went wrong disabling two-factor authentication and Murravo could not confirm "
                          "the vault's state. Do not try again -- close Murravo and contact support."));
    }
    if (!services.twoFactor.markPendingTransitionVaultRekeyed())
        qWarning("ConfigureDialog: failed to durably record that the vault was re-keyed for disabling two-factor "
                 "authentication -- recovery on next launch will rely on the container's own generation counter "
                 "instead.");
    KeyChangeResult result =
        success(services.twoFactor.commitPendingTransition()
                    ? tr("Two-factor authentication is disabled.")
                    : tr("Two-factor authentication will finish disabling the next time Murravo starts."));
    result.newVaultKey = std::move(passwordKey);
    return result;
}

void recoverPendingKeyTransitions(core::AuthManager& auth, core::TwoFactorManager& twoFactor,
                                  const vault::StorageConfig& storage, const QString& dataDir)
{
    std::optional<unsigned long long> generation;
    if (storage.backend() == vault::StorageBackend::Container) {
        if (const std::optional<quint64> peeked =
                VaultContainer::peekGenerationCounter(storage.resolveContainerPath(dataDir)))
            generation = *peeked;
    }
    if (auth.hasPendingPasswordChange()) {
        if (!auth.pendingPasswordChangeIsVaultRekeyed(generation))
            auth.abandonPendingPasswordChange();
        else if (!auth.commitPendingPasswordChange(twoFactor))
            qWarning("recoverPendingKeyTransitions: failed to commit a completed password-change transition -- will "
                     "retry on next launch.");
    }
    if (twoFactor.hasPendingTransition()) {
        if (!twoFactor.pendingTransitionIsVaultRekeyed(generation))
            twoFactor.abandonPendingTransition();
        else if (!twoFactor.commitPendingTransition())
            qWarning("recoverPendingKeyTransitions: failed to commit a completed 2FA transition -- will retry on next "
                     "launch.");
    }
}

}  // namespace dorvex::app
