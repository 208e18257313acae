#include "session/Session.h"

#include "app/KeyChanges.h"
#include "app/MachineId.h"
#include "app/PlatformWording.h"
#include "session/PendingVaultOperations.h"
#include "session/Startup.h"
#include "core/AuthManager.h"
#include "core/FileProtection.h"
#include "core/IdleLockSettings.h"
#include "core/LocalIntegrityKey.h"
#include "core/Totp.h"
#include "core/TwoFactorManager.h"
#include "ui/FirstRunWizard.h"
#include "ui/KeyringWaitDialog.h"
#include "ui/LoginDialog.h"
#include "ui/MainWindow.h"
#include "ui/TwoFactorPromptDialog.h"
#include "vault/FileBlockStore.h"
#include "vault/GenerationBinding.h"
#include "vault/StorageConfig.h"
#include "vault/VaultContainer.h"
#include "vault/VaultRollbackGuard.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QObject>
#include <QStringList>

#include <optional>

namespace dorvex::app {

using crypto::SecureBuffer;
using vault::RollbackCheckResult;
using vault::StorageConfig;
using vault::VaultContainer;

namespace {

QString tr(const char* text) { return QCoreApplication::translate("Session", text); }

// Every sealed file is read through the keyring, and a locked one would make them all look
// lost: it is unlocked first, the user answering the system's own prompt. False, after telling
// the user, when it stays out of reach; nothing has been read or written then.
bool keyringReachable(const QString& dataDir, int& exitCode)
{
    const core::SecretStatus status = KeyringWaitDialog::waitFor(
        [&dataDir](const core::PromptWatcher& watcher) { return core::LocalIntegrityKey::unlockStore(dataDir, watcher); });
    Wording title = Wording::KeyringLockedTitle;
    Wording text = Wording::KeyringLockedText;
    exitCode = kExitFailure;
    switch (status) {
    case core::SecretStatus::Locked:
        break;
    case core::SecretStatus::Dismissed:
        text = Wording::KeyringPromptCancelledText;
        exitCode = kExitOk;  // the user's own choice, as a cancelled sign-in
        break;
    case core::SecretStatus::Failed:
        title = Wording::KeyringNotAnsweringTitle;
        text = Wording::KeyringNotAnsweringText;
        break;
    default:
        return true;
    }
    qWarning("runSession: the keyring that holds the local keys stayed out of reach; nothing was read or changed.");
    QMessageBox::critical(nullptr, platformWording(title), platformWording(text), QMessageBox::Ok);
    return false;
}

// False when the storage configuration exists but cannot be trusted (after telling the user).
bool storageConfigurationTrusted(const StorageConfig& storage, const QString& dataDir)
{
    if (!storage.isCorrupted())
        return true;
    const QString title = tr("Murravo - Storage Configuration Error");
    if (core::LocalIntegrityKey::isTpmRootUnavailable(dataDir + QStringLiteral("/storage.dat.key"))) {
        QMessageBox::critical(nullptr, title, platformWording(Wording::StorageConfigKeyUnavailable), QMessageBox::Ok);
    } else {
        QMessageBox::critical(nullptr, title,
                              tr("Murravo's storage configuration could not be verified -- it may be corrupted or "
                                 "tampered with. To avoid silently creating a new empty vault and losing access to "
                                 "your real one, Murravo is not starting.\n\nIf you know where your vault is "
                                 "stored, you can restore storage.dat from a backup. Otherwise, please contact "
                                 "support."),
                              QMessageBox::Ok);
    }
    return false;
}

// The configuration expects another vault (or none at all) than the file at the path.
bool vaultIdentityMismatch(const StorageConfig& storage, const QString& fileVaultId)
{
    const QString bound = storage.boundVaultId();
    if (bound.isEmpty())
        return storage.boundVaultIdRecorded();
    return bound != fileVaultId;
}

// A vault (or the record of one) without the account that opens it: a new account could never
// open that vault, so none is offered over it.
bool vaultWithoutAccount(const StorageConfig& storage, const QString& containerPath, const QString& dataDir)
{
    const auto present = [](const QString& path) {
        const QFileInfo info(path);
        return info.exists() || info.isSymLink();
    };
    return present(containerPath) || present(dataDir + QStringLiteral("/vault.drvx")) ||
           storage.boundVaultIdRecorded() || !storage.boundVaultId().isEmpty();
}

QString rollbackRefusalText(RollbackCheckResult result)
{
    switch (result) {
    case RollbackCheckResult::RolledBack:
        return tr("Murravo could not open this vault: it looks like an older backup or copy. A newer version of "
                  "this vault has already been used on this machine, and opening an older one could silently undo "
                  "changes or deletions you already made.\n\nYour vault has not been modified.");
    case RollbackCheckResult::SaveFailed:
        return tr("Murravo could not save the rollback-protection record it needs before opening this vault. This "
                  "usually means its data folder isn't currently writable.\n\nYour vault has not been modified. "
                  "Once the data folder is writable again, opening will succeed normally.");
    default:
        return tr("Murravo could not verify this vault's rollback-protection record -- it may be missing or "
                  "unreadable, most often because a previous run could not save changes to Murravo's data "
                  "folder.\n\nYour vault has not been modified.");
    }
}

// Re-applies the device binding, the vault binding and the file protections; returns the
// sentences for the user about what could not be done.
QStringList reapplyProtections(StorageConfig& storage, vault::VaultRollbackGuard& rollbackGuard,
                               const VaultContainer& container, const QString& containerPath, const QString& machineId)
{
    QStringList problems;
    if (storage.generation() < rollbackGuard.highestKnownGeneration()
        && !storage.rebind(machineId, rollbackGuard.highestKnownGeneration())) {
        qWarning("runSession: failed to rebind storage.dat's machine/generation identity.");
        problems << tr("Could not refresh the storage configuration's device binding. This protection may not be "
                       "fully up to date until it succeeds on a future launch.");
    }
    if (storage.boundVaultId().isEmpty() && !storage.setBoundVaultId(container.vaultId())) {
        qWarning("runSession: failed to record storage.dat's bound vault identity.");
        problems << tr("Could not record which vault this configuration belongs to. This protection will stay "
                       "inactive until it succeeds on a future launch.");
    }
    if (storage.backend() == vault::StorageBackend::Container
        && !VaultContainer::confinedRealPath(containerPath).isEmpty()) {
        const StorageConfig::ContainerConfig config = storage.containerConfig();
        if (!core::FileProtection::setHidden(containerPath, config.hidden)) {
            qWarning("Could not set the vault container's hidden attribute.");
            problems << tr("Could not %1 the vault file.").arg(config.hidden ? tr("hide") : tr("unhide"));
        }
        if (config.deleteRestricted) {
            if (!core::FileProtection::restrictDeleteToAdministrators(containerPath)) {
                qWarning("Could not apply the vault container's delete restriction.");
                problems << tr("Could not restrict who can delete the vault file.");
            }
        } else if (!core::FileProtection::clearDeleteRestriction(containerPath)) {
            qWarning("Could not clear the vault container's delete restriction.");
            problems << tr("Could not clear the vault file's delete restriction.");
        }
    }
    return problems;
}

}  // namespace

std::unique_ptr<VaultContainer> openOrCreateVault(StorageConfig& storage, const QString& containerPath,
                                                  const SecureBuffer& vaultKey, const QString& machineId,
                                                  vault::VaultRollbackGuard& rollbackGuard,
                                                  const QString& correctedVaultId, QString* error,
                                                  bool recordMayBeMissing)
{
    auto store = std::make_unique<vault::FileBlockStore>(containerPath);
    const bool created = !store->exists();
    std::unique_ptr<VaultContainer> container =
        created ? VaultContainer::create(std::move(store), vaultKey, machineId)
                : VaultContainer::open(std::move(store), vaultKey, machineId, correctedVaultId, error);
    if (!container)
        return nullptr;
    // After a damaged newest state the container has committed the previous one again above the
    // damaged generation, so the record, which may hold that generation, accepts it as newer.
    if (container->openedAtPreviousState())
        qWarning("openOrCreateVault: the vault was opened at its previous saved state (generation %llu was damaged).",
                 static_cast<unsigned long long>(container->damagedGeneration()));
    const RollbackCheckResult result =
        vault::advanceRollbackRecord(storage, rollbackGuard, machineId, container->vaultId(),
                                     container->generationCounter(), created || recordMayBeMissing);
    if (result != RollbackCheckResult::Ok) {
        container.reset();
        if (error != nullptr)
            *error = rollbackRefusalText(result);
        return nullptr;
    }
    container->setMaxSizeBytes(storage.maxVaultSizeBytes());
    return container;
}

std::unique_ptr<VaultContainer> tryRestoreTwoFactorAndReopen(core::AuthManager& auth, core::TwoFactorManager& twoFactor,
                                                             StorageConfig& storage,
                                                             vault::VaultRollbackGuard& rollbackGuard,
                                                             const QString& containerPath, const QString& machineId,
                                                             SecureBuffer& vaultKey,
                                                             const std::optional<SecureBuffer>& passwordKey)
{
    const QString title = tr("Restore Two-Factor Authentication");
    const auto answer = QMessageBox::question(
        nullptr, title,
        tr("The vault could not be opened, and this install's two-factor authentication data is missing or "
           "unreadable. If you saved the backup secret shown when you first set up two-factor authentication, you "
           "can restore it now to regain access. Do you have that secret?"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return nullptr;

    bool ok = false;
    QString typed = QInputDialog::getText(nullptr, title, tr("Enter your saved two-factor secret:"), QLineEdit::Normal,
                                          QString(), &ok);
    QString trimmed = typed.trimmed();
    crypto::secureZero(typed);
    if (!ok || trimmed.isEmpty()) {
        crypto::secureZero(trimmed);
        return nullptr;
    }
    std::optional<SecureBuffer> secret = core::Totp::base32Decode(trimmed);
    crypto::secureZero(trimmed);
    if (!secret || secret->empty()) {
        QMessageBox::warning(nullptr, title, tr("That doesn't look like a valid secret. Nothing was changed."),
                             QMessageBox::Ok);
        return nullptr;
    }

    SecureBuffer combined = core::TwoFactorManager::combineForVaultKey(vaultKey, *secret);
    std::unique_ptr<VaultContainer> container =
        openOrCreateVault(storage, containerPath, combined, machineId, rollbackGuard, QString(), nullptr);
    if (!container) {
        QMessageBox::warning(nullptr, title, tr("That secret did not open this vault. Nothing was changed."),
                             QMessageBox::Ok);
        return nullptr;
    }
    const SecureBuffer& keyForState = passwordKey ? *passwordKey : vaultKey;
    if (!twoFactor.restoreFromSecret(keyForState, *secret))
        qWarning("tryRestoreTwoFactorAndReopen: restored two-factor secret opened the vault but failed to persist -- "
                 "this recovery flow will be needed again on the next launch.");
    vaultKey = std::move(combined);
    if (passwordKey && !auth.bindVaultKeyToVaultIdentity(*passwordKey, container->vaultId()))
        qWarning("runSession: failed to bind identity.dat's vault key to this vault's real identity after "
                 "2FA-secret recovery -- the F-7 replay protection may not be fully applied until this succeeds.");
    return container;
}

bool runSession(core::AuthManager& auth, core::TwoFactorManager& twoFactor, StorageConfig& storage,
                core::IdleLockSettings& idleLock, vault::VaultRollbackGuard& rollbackGuard, const QString& dataDir,
                const QString& machineId)
{
    // After a sign-out the keys are read from the keyring afresh, and it may have locked meanwhile.
    if (int ignored = kExitOk; !keyringReachable(dataDir, ignored))
        return false;
    // Journals first, judged by the vault where it is now; then what the configure dialog left
    // for a start with no vault open.
    recoverPendingKeyTransitions(auth, twoFactor, storage, dataDir);
    applyPendingContainerMigration(storage, dataDir);
    confirmAndApplyPendingContainerDelete(auth, storage, dataDir);
    // A move that is still pending left the vault where it was.
    const QString containerPath = storage.currentContainerPath(dataDir);

    std::optional<SecureBuffer> vaultKey;
    std::optional<SecureBuffer> passwordKey;
    QString correctedVaultId;

    if (auth.identityExists()) {
        const bool twoFactorEnabled = twoFactor.isEnabled();
        const QString fileVaultId = VaultContainer::peekVaultId(containerPath);
        if (vaultIdentityMismatch(storage, fileVaultId)) {
            QMessageBox::critical(
                nullptr, tr("Murravo - Vault Identity Mismatch"),
                tr("The vault file at this location does not match the one Murravo's configuration expects. This can "
                   "happen if the vault file was replaced, restored from a backup, or copied in from another "
                   "install. To avoid logging in against the wrong vault, Murravo is not starting.\n\nIf you "
                   "intentionally replaced the vault file, contact support for how to safely re-bind it."),
                QMessageBox::Ok);
            return false;
        }
        auth.setUnboundIdentityAccepted(!storage.boundVaultIdRecorded());
        LoginDialog login(auth, twoFactorEnabled, fileVaultId);
        if (login.exec() != QDialog::Accepted)
            return false;
        vaultKey = login.takePasswordKey();
        if (vaultKey)
            passwordKey = SecureBuffer(vaultKey->data(), vaultKey->size());
        correctedVaultId = login.correctedVaultId();
        if (twoFactorEnabled && vaultKey) {
            TwoFactorPromptDialog prompt(*passwordKey, twoFactor, auth);
            if (prompt.exec() != QDialog::Accepted)
                return false;
            std::optional<SecureBuffer> combined = prompt.takeVaultKey();
            if (!combined)
                return false;
            vaultKey = std::move(combined);
        }
    } else {
        if (vaultWithoutAccount(storage, containerPath, dataDir)) {
            QMessageBox::critical(
                nullptr, tr("Murravo - Account Missing"),
                tr("Murravo's account file (identity.dat) is missing, but a vault exists. The vault cannot be opened "
                   "without the account file, and a new account could never open it, so Murravo is not starting."
                   "\n\nRestore identity.dat from a backup into Murravo's data folder:\n%1\n\nNothing was changed.")
                    .arg(QDir::toNativeSeparators(dataDir)),
                QMessageBox::Ok);
            return false;
        }
        FirstRunWizard wizard(auth);
        if (wizard.exec() != QDialog::Accepted)
            return false;
        vaultKey = wizard.takePasswordKey();
        if (vaultKey)
            passwordKey = SecureBuffer(vaultKey->data(), vaultKey->size());
    }
    if (!vaultKey)
        return false;

    QString openError;
    // A first session that ended before the configuration recorded its vault may have left the
    // vault without its rollback record; only then may the record be made for a vault found.
    const bool firstSessionUnfinished = !storage.boundVaultIdRecorded() && auth.signedInUnbound();
    std::unique_ptr<VaultContainer> container = openOrCreateVault(
        storage, containerPath, *vaultKey, machineId, rollbackGuard, correctedVaultId, &openError,
        firstSessionUnfinished);
    if (container && passwordKey && !auth.bindVaultKeyToVaultIdentity(*passwordKey, container->vaultId())) {
        if (auth.signedInUnbound()) {
            // Without the binding the next sign-in could not open what this session adds.
            container.reset();
            openError = tr("Murravo could not save its account file, which links your account to this vault. This "
                           "usually means its data folder isn't currently writable.\n\nYour vault has not been "
                           "modified. Once the data folder is writable again, signing in will succeed normally.");
        } else {
            qWarning("runSession: failed to rewrite identity.dat's binding to this vault; it stays bound as it was.");
        }
    }

    if (!container) {
        if (!openError.isEmpty()) {
            QMessageBox::critical(nullptr, tr("Vault Unavailable"), openError, QMessageBox::Ok);
            return false;
        }
        if (!twoFactor.isEnabled())
            container = tryRestoreTwoFactorAndReopen(auth, twoFactor, storage, rollbackGuard, containerPath, machineId,
                                                     *vaultKey, passwordKey);
    }

    QStringList problems;
    if (container)
        problems = reapplyProtections(storage, rollbackGuard, *container, containerPath, machineId);

    const bool openedAtPreviousState = container && container->openedAtPreviousState();
    auto window = std::make_unique<MainWindow>(std::move(*vaultKey), auth.username(), machineId, std::move(container),
                                               auth, twoFactor, storage, idleLock, rollbackGuard, nullptr);
    vaultKey.reset();
    window->show();
    if (openedAtPreviousState)
        QMessageBox::warning(window.get(), tr("Vault Opened At Its Previous State"),
                             tr("The newest saved state of this vault was damaged, so Murravo opened the vault at its "
                                "previous saved state.\n\nThe most recent change made to the vault (for example the "
                                "last file imported or removed) may be missing. Check that your files are as you "
                                "expect."),
                             QMessageBox::Ok);
    if (!problems.isEmpty())
        QMessageBox::warning(window.get(), tr("Vault Protection"),
                             tr("Some vault file protections could not be re-applied this launch:\n\n%1\n\nCheck "
                                "Configure > Storage for the vault's current protection state.")
                                 .arg(problems.join(QLatin1Char('\n'))),
                             QMessageBox::Ok);
    const int exitCode = QApplication::exec();
    window.reset();
    return exitCode == MainWindow::kSignInAgainExitCode;
}

int runSessions(const QString& dataDir)
{
    if (int exitCode = kExitOk; !keyringReachable(dataDir, exitCode))
        return exitCode;
    core::AuthManager auth(dataDir + QStringLiteral("/identity.dat"));
    const QString machineId = MachineId(dataDir + QStringLiteral("/machine_id.txt")).get();
    core::TwoFactorManager twoFactor(dataDir + QStringLiteral("/twofactor.dat"));
    core::IdleLockSettings idleLock(dataDir + QStringLiteral("/idlelock.dat"));
    vault::VaultRollbackGuard rollbackGuard(dataDir + QStringLiteral("/vault_generation.dat"));
    StorageConfig storage(dataDir + QStringLiteral("/storage.dat"), machineId, rollbackGuard.highestKnownGeneration());

    // A binding left ahead of the record by an interrupted advance is taken before the check.
    if (!vault::adoptPendingBinding(storage) && !storageConfigurationTrusted(storage, dataDir))
        return 1;
    // Interrupted key changes are settled at the start of every pass (runSession).
    while (runSession(auth, twoFactor, storage, idleLock, rollbackGuard, dataDir, machineId)) {
    }
    return 0;
}

}  // namespace dorvex::app
