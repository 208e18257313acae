#include "vault/VaultFileMove.h"

#include "core/AtomicFile.h"
#include "core/SecureErase.h"
#include "vault/FileBlockStore.h"
#include "vault/VaultContainer.h"
#include "vault/VaultPlatform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dorvex::vault {

namespace {

using Step = core::AtomicFile::Step;

constexpr qint64 kCopyChunkBytes = qint64{1} << 20;

enum class Entry { Missing, RegularFile, Other };

Entry entryAt(const QString& path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return errno == ENOENT ? Entry::Missing : Entry::Other;
    return S_ISREG(st.st_mode) ? Entry::RegularFile : Entry::Other;
}

// No symbolic link anywhere on the way to path.
bool confined(const QString& path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return !canonical.isEmpty() && canonical == QDir::cleanPath(info.absoluteFilePath());
}

// The file can be written, so the erase is not refused halfway after the rename.
bool writable(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool lockVault(QLockFile& lock, const QString& path, VaultFileOutcome& outcome)
{
    if (tryLockVault(lock, path))
        return true;
    outcome = lock.error() == QLockFile::LockFailedError ? VaultFileOutcome::Locked : VaultFileOutcome::Failed;
    return false;
}

// The erase itself, with the vault's lock already held.
VaultFileOutcome eraseLocked(const QString& path)
{
    const QString erasing = erasingPathFor(path);
    if (entryAt(erasing) == Entry::RegularFile && confined(erasing) && !core::SecureErase::eraseFile(erasing))
        return VaultFileOutcome::Failed;
    switch (entryAt(path)) {
    case Entry::Missing:
        return VaultFileOutcome::Done;
    case Entry::Other:
        return VaultFileOutcome::NotAVault;
    case Entry::RegularFile:
        break;
    }
    if (VaultContainer::confinedRealPath(path).isEmpty())
        return VaultFileOutcome::NotAVault;
    if (!writable(path) || !core::AtomicFile::stepAllowed(Step::Rename, erasing, -1) || !renameNoReplace(path, erasing))
        return VaultFileOutcome::Failed;
    // Without a durable rename a crash could bring back, under the vault's own name, a file
    // that no longer looks like a vault and so could never be finished.
    if (!core::AtomicFile::stepAllowed(Step::SyncFolder, erasing, -1) || !platform::syncParentDirectory(erasing))
        return VaultFileOutcome::Failed;
    return core::SecureErase::eraseFile(erasing) ? VaultFileOutcome::Done : VaultFileOutcome::Failed;
}

bool copyBytes(int from, FileBlockStore& to)
{
    std::vector<unsigned char> chunk(static_cast<std::size_t>(kCopyChunkBytes));
    qint64 offset = 0;
    for (;;) {
        const ssize_t got = ::read(from, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        if (!to.writeAt(offset, chunk.data(), got))
            return false;
        offset += got;
    }
}

// A copy of source at destination, durable under its final name; nothing there on failure.
bool copyVaultFile(const QString& source, const QString& destination)
{
    const int from = platform::openRegularFileForReading(source);
    if (from < 0)
        return false;
    FileBlockStore to(destination);
    bool ok = to.create();
    if (ok) {
        ok = copyBytes(from, to) && to.flush() && to.publishCreated();
        if (!ok)
            (void)to.rollbackFailedCreate();
    }
    platform::closeDescriptor(from);
    to.close();
    return ok;
}

}  // namespace

QString erasingPathFor(const QString& vaultPath)
{
    return vaultPath + QStringLiteral(".deleting");
}

QString unerasedVaultPath(const QString& path)
{
    return entryAt(path) == Entry::Missing && entryAt(erasingPathFor(path)) == Entry::RegularFile
               ? erasingPathFor(path)
               : path;
}

VaultFileOutcome eraseVaultFile(const QString& path)
{
    // Nothing to lock where nothing is left: a lock file would only be made to be removed.
    if (entryAt(path) == Entry::Missing && entryAt(erasingPathFor(path)) == Entry::Missing)
        return VaultFileOutcome::Done;
    QLockFile lock(lockPathFor(path));
    VaultFileOutcome outcome = VaultFileOutcome::Failed;
    if (!lockVault(lock, path, outcome))
        return outcome;
    return eraseLocked(path);
}

bool sameVaultState(const QString& a, const QString& b)
{
    if (entryAt(a) != Entry::RegularFile || entryAt(b) != Entry::RegularFile || QFileInfo(a).size() != QFileInfo(b).size())
        return false;
    const QString id = VaultContainer::peekVaultId(a);
    const std::optional<quint64> generation = VaultContainer::peekGenerationCounter(a);
    return !id.isEmpty() && generation && id == VaultContainer::peekVaultId(b)
        && generation == VaultContainer::peekGenerationCounter(b);
}

VaultMoveResult moveVaultFile(const QString& source, const QString& destination)
{
    VaultMoveResult result;
    QLockFile lock(lockPathFor(source));
    if (!lockVault(lock, source, result.outcome))
        return result;
    // A copy finished by an earlier pass that stopped before the source was erased.
    result.copied = sameVaultState(source, destination);
    if (!result.copied) {
        if (core::AtomicFile::stepAllowed(Step::Rename, destination, -1) && renameNoReplace(source, destination)) {
            // The vault is at its new place, which the configuration names: a folder that fails
            // to sync is reported, not undone.
            if (!core::AtomicFile::stepAllowed(Step::SyncFolder, destination, -1)
                || !platform::syncParentDirectory(destination) || !platform::syncParentDirectory(source))
                qWarning("moveVaultFile: the vault was renamed to its new place, but a folder could not be synced.");
            result.outcome = VaultFileOutcome::Done;
            return result;
        }
        result.copied = true;
        if (!copyVaultFile(source, destination))
            return result;
        if (!sameVaultState(source, destination)) {
            if (!core::SecureErase::eraseFile(destination))
                qWarning("applyPendingContainerMigration: failed to securely erase a short/corrupt copy at the new "
                         "location: %s",
                         qPrintable(destination));
            return result;
        }
    }
    result.outcome = VaultFileOutcome::Done;
    result.sourceRemains = eraseLocked(source) != VaultFileOutcome::Done;
    return result;
}

}  // namespace dorvex::vault
