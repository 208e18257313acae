#include "session/PendingVaultOperations.h"

#include "core/AtomicFile.h"
#include "core/AuthManager.h"
#include "core/FileProtection.h"
#include "core/LocalIntegrityKey.h"
#include "core/SecureErase.h"
#include "crypto/SecureBuffer.h"
#include "ui/SignInSupport.h"
#include "vault/OwnFiles.h"
#include "vault/StorageConfig.h"
#include "vault/VaultContainer.h"
#include "vault/VaultFileMove.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>

#include <string>

namespace dorvex::app {

using vault::StorageConfig;
using vault::VaultContainer;
using vault::VaultFileOutcome;

namespace {

QString tr(const char* text) { return QCoreApplication::translate("PendingVaultOperations", text); }

const QString kDefaultFileName = QStringLiteral("vault.drvx");

// Something is at the path, a dangling link included.
bool entryExists(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// An existing folder reached without any symbolic link on the way.
bool folderVerified(const QString& folder)
{
    const QFileInfo info(folder);
    const QString canonical = info.canonicalFilePath();
    return info.isDir() && !canonical.isEmpty()
        && QDir::cleanPath(canonical) == QDir::cleanPath(info.absoluteFilePath());
}

// The nearest folder on the way to `folder` that exists, checked before anything is created.
bool nearestExistingFolderVerified(const QString& folder)
{
    QString current = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    while (!current.isEmpty() && !QFileInfo::exists(current)) {
        const QString parent = QDir::cleanPath(QFileInfo(current).absolutePath());
        if (parent == current)
            return false;
        current = parent;
    }
    return !current.isEmpty() && folderVerified(current);
}

bool sameFolder(const QString& a, const QString& b)
{
    return vault::resolvedFilePath(a) == vault::resolvedFilePath(b);
}

// In the data folder the program's own files live; a vault there must not take one of their
// names (".writecheck", a journal, the lockout file...), or the next write of that file would
// replace the vault.
bool nameAllowedIn(const QString& folder, const QString& name, const QString& dataDir)
{
    return !sameFolder(folder, dataDir) || name.endsWith(QStringLiteral(".drvx"));
}

// The relocation's record in storage.dat, changed and persisted as one.
class Relocation {
public:
    Relocation(StorageConfig& storage, StorageConfig::ContainerConfig config, QString dataDir)
        : storage_(storage), config_(std::move(config)), dataDir_(std::move(dataDir))
    {
    }

    void drop()
    {
        config_.pendingMigrateFromPath = QString();
        config_.pendingMigrateAttempts = 0;
        persist();
    }

    void complete() { drop(); }

    void countFailure(const QString& reason)
    {
        const int before = config_.pendingMigrateAttempts;
        if (before < kPendingAttemptLimit - 1) {
            config_.pendingMigrateAttempts = before + 1;
            persist();
            return;
        }
        giveUp(reason);
    }

private:
    // The vault stays where it is, so the configuration names that place again: left naming the
    // new one, every start would refuse the missing vault there.
    void giveUp(const QString& reason)
    {
        const QFileInfo old(config_.pendingMigrateFromPath);
        const QString folder = QDir::cleanPath(old.absolutePath());
        config_.overrideDirectory = sameFolder(folder, dataDir_) ? QString() : folder;
        config_.overrideFileName = old.fileName() == kDefaultFileName ? QString() : old.fileName();
        drop();
        QMessageBox::warning(nullptr, tr("Vault Relocation Failed"),
                             tr("Murravo could not move the vault to its new location after %1 attempts (%2). It has "
                                "been left at its original location; please move it manually or try changing the "
                                "location again in Configure.")
                                 .arg(kPendingAttemptLimit)
                                 .arg(reason),
                             QMessageBox::Ok);
    }

    void persist()
    {
        if (!storage_.setContainerConfig(config_))
            qWarning("applyPendingContainerMigration: failed to persist container config -- migration state may not "
                     "survive to the next launch.");
    }

    StorageConfig& storage_;
    StorageConfig::ContainerConfig config_;
    QString dataDir_;
};

void logPendingDeletePersistFailure()
{
    qWarning("%s: failed to persist -- pending-delete state may not survive to the next launch.",
             "applyPendingContainerDelete");
}

// A link or anything else that is not a regular file is only removed, never written through.
bool eraseOwnFile(const QString& path)
{
    const QFileInfo info(path);
    if (info.isSymLink() || (info.exists() && !info.isFile()))
        return QFile::remove(path);
    return !info.exists() || core::SecureErase::eraseFile(path);
}

// Each failure is logged as `failure` followed by the path; the rest goes on.
void eraseFiles(const QString& dataDir, const QStringList& names, const char* failure)
{
    for (const QString& name : names) {
        const QString path = dataDir + name;
        if (!eraseOwnFile(path))
            qWarning("%s%s", failure, qPrintable(path));
    }
}

void destroyKeys(const QString& dataDir, const QStringList& sidecars, const char* failure)
{
    for (const QString& name : sidecars) {
        const QString path = dataDir + name;
        if (!core::LocalIntegrityKey::destroyPersisted(path))
            qWarning("%s%s", failure, qPrintable(path));
    }
}

bool passwordConfirmed(core::AuthManager& auth)
{
    bool ok = false;
    QString typed = QInputDialog::getText(nullptr, tr("Confirm Your Password"),
                                          tr("A vault deletion is pending. Type your master password to complete it "
                                             "now, or Cancel to be asked again next time you start Murravo."),
                                          QLineEdit::Password, QString(), &ok);
    if (!ok) {
        crypto::secureZero(typed);
        return false;
    }
    std::string password = signin::utf8Password(typed);
    crypto::secureZero(typed);
    // The verifier alone: the wrapped key is bound to the vault, which is what goes away here.
    const bool verified = auth.verifyPassword(password, true);
    crypto::secureZero(password);
    return verified;
}

}  // namespace

QStringList deletedJournalFiles()
{
    return {QStringLiteral("/identity.dat.transition"),       QStringLiteral("/identity.dat.transition.key"),
            QStringLiteral("/identity.dat.transition.key.entropy"), QStringLiteral("/twofactor.dat.transition"),
            QStringLiteral("/twofactor.dat.transition.key"),  QStringLiteral("/twofactor.dat.transition.key.entropy")};
}

QStringList deletedAccountFiles()
{
    return {QStringLiteral("/identity.dat"),         QStringLiteral("/identity.dat.oldcopy"),
            QStringLiteral("/identity.dat.key"),     QStringLiteral("/identity.dat.key.entropy"),
            QStringLiteral("/identity.dat.lockout"), QStringLiteral("/identity.dat.lockout.key"),
            QStringLiteral("/identity.dat.lockout.key.entropy"), QStringLiteral("/twofactor.dat"),
            QStringLiteral("/twofactor.dat.key"),    QStringLiteral("/twofactor.dat.key.entropy")};
}

void applyPendingContainerMigration(StorageConfig& storage, const QString& dataDir)
{
    // A vault that is to be deleted is not moved first; the deletion drops the move.
    if (storage.backend() != vault::StorageBackend::Container || !storage.pendingDeletePath().isEmpty())
        return;
    const StorageConfig::ContainerConfig config = storage.containerConfig();
    const QString from = config.pendingMigrateFromPath;
    if (from.isEmpty())
        return;
    Relocation relocation(storage, config, dataDir);
    const QString destination = storage.resolveContainerPath(dataDir);
    if (vault::resolvedFilePath(from) == vault::resolvedFilePath(destination)) {
        relocation.drop();
        return;
    }
    if (!QFileInfo::exists(from)) {
        // A copied vault whose old file was being erased when the program stopped.
        if (entryExists(vault::erasingPathFor(from)) && vault::eraseVaultFile(from) != VaultFileOutcome::Done)
            qWarning("applyPendingContainerMigration: the old copy of a moved vault could not be securely erased: %s",
                     qPrintable(vault::erasingPathFor(from)));
        relocation.drop();
        return;
    }
    if (VaultContainer::confinedRealPath(from).isEmpty()) {
        relocation.drop();
        return;
    }
    // The copy an earlier pass finished before it could erase the old file does not count.
    if (entryExists(destination) && !vault::sameVaultState(from, destination)) {
        relocation.countFailure(tr("the destination already has a file at that path"));
        return;
    }
    const QString unverified = tr("the destination folder could not be verified");
    const QFileInfo target(destination);
    const QString folder = QDir::cleanPath(target.absolutePath());
    if (!nameAllowedIn(folder, target.fileName(), dataDir) || !nearestExistingFolderVerified(folder)) {
        relocation.countFailure(unverified);
        return;
    }
    if (!core::AtomicFile::makeFolder(folder) || !folderVerified(folder)) {
        relocation.countFailure(unverified);
        return;
    }
    const QString source = VaultContainer::confinedRealPath(from);
    if (source.isEmpty()) {
        relocation.drop();
        return;
    }
    const vault::VaultMoveResult moved = vault::moveVaultFile(source, destination);
    if (moved.outcome != VaultFileOutcome::Done) {
        relocation.countFailure(tr("the move itself failed"));
        return;
    }
    if (moved.sourceRemains) {
        const QString left = vault::unerasedVaultPath(source);
        qWarning("applyPendingContainerMigration: vault moved to %s, but the old copy at %s could not be securely "
                 "erased and was left in place.",
                 qPrintable(destination), qPrintable(left));
        QMessageBox::information(nullptr, tr("Vault Moved"),
                                 tr("The vault was copied to its new location, but the original file at \"%1\" could "
                                    "not be securely erased and was left in place. Both copies now contain your vault "
                                    "-- once you've confirmed the new location works, you can delete the old one "
                                    "manually.")
                                     .arg(left),
                                 QMessageBox::Ok);
    }
    relocation.complete();
}

void confirmAndApplyPendingContainerDelete(core::AuthManager& auth, StorageConfig& storage, const QString& dataDir)
{
    const QString path = storage.pendingDeletePath();
    if (path.isEmpty())
        return;
    // Once the vault file is gone the password was confirmed: the rest is finished without
    // asking, whatever was already erased of the account.
    if (entryExists(path)) {
        if (!auth.identityExists() || !passwordConfirmed(auth))
            return;
    }
    applyPendingContainerDelete(storage, dataDir);
}

void applyPendingContainerDelete(StorageConfig& storage, const QString& dataDir)
{
    const QString path = storage.pendingDeletePath();
    if (path.isEmpty())
        return;
    (void)core::FileProtection::clearDeleteRestriction(path);
    switch (vault::eraseVaultFile(path)) {
    case VaultFileOutcome::Done:
        break;
    case VaultFileOutcome::NotAVault:
        if (!storage.clearPendingDelete(false))
            logPendingDeletePersistFailure();
        return;
    case VaultFileOutcome::Locked:
    case VaultFileOutcome::Failed: {
        const int attempts = storage.pendingDeleteAttempts();
        if (attempts < kPendingAttemptLimit - 1) {
            if (!storage.setPendingDeleteAttempts(attempts + 1))
                logPendingDeletePersistFailure();
            return;
        }
        const QString left = vault::unerasedVaultPath(path);
        if (!storage.clearPendingDelete(false))
            logPendingDeletePersistFailure();
        QMessageBox::warning(nullptr, tr("Vault Deletion Failed"),
                             tr("Murravo could not securely erase the vault at:\n%1\nafter %2 attempts. It has been "
                                "left in place; please delete it manually, or check that it isn't held open by "
                                "another program or read-only media.")
                                 .arg(left)
                                 .arg(kPendingAttemptLimit),
                             QMessageBox::Ok);
        return;
    }
    }
    // Journals before the files they would be settled into, so a restart cannot bring an
    // account file back.
    eraseFiles(dataDir, deletedJournalFiles(), "Could not securely erase leftover transition file: ");
    eraseFiles(dataDir, deletedAccountFiles(), "Could not securely erase leftover identity/2FA file on vault deletion: ");
    destroyKeys(dataDir,
                {QStringLiteral("/identity.dat.key"), QStringLiteral("/identity.dat.lockout.key"),
                 QStringLiteral("/twofactor.dat.key")},
                "Could not remove a TPM-backed key for a deleted identity/2FA file: ");
    destroyKeys(dataDir, {QStringLiteral("/identity.dat.transition.key"), QStringLiteral("/twofactor.dat.transition.key")},
                "Could not remove a TPM-backed key for a leftover transition file: ");
    // The rollback record keeps the deleted vault's generation: storage.dat is bound to the
    // record's highest one, and forgetting it would leave storage.dat unreadable at the next start.
    if (!storage.clearPendingDelete(true))
        logPendingDeletePersistFailure();
}

}  // namespace dorvex::app
