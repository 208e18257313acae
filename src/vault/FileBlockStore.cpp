#include "vault/FileBlockStore.h"

#include "vault/VaultPlatform.h"

#include "core/AtomicFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QObject>

#include <cerrno>
#include <cstdio>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dorvex::vault {

namespace {

using Step = core::AtomicFile::Step;

// The lock file is read to see whether it is stale; a FIFO or device there would block that
// read for good, so only a regular file (or nothing) is ever handed to the lock.
bool lockPathUsable(const QString& lockPath)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(lockPath).constData(), &st) != 0)
        return errno == ENOENT;
    return S_ISREG(st.st_mode);
}

}  // namespace

bool renameNoReplace(const QString& from, const QString& to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without the flag: a hard link refuses an existing target just the same.
    if (::link(source.constData(), target.constData()) != 0)
        return false;
    return ::unlink(source.constData()) == 0 || errno == ENOENT;
}

bool tryLockVault(QLockFile& lock, const QString& vaultPath)
{
    if (!lockPathUsable(lockPathFor(vaultPath)))
        return false;
    // A lock left by a process that no longer holds it must not block anyone.
    (void)lock.removeStaleLockFile();
    // Owner-only from the first byte, whatever the umask.
    const mode_t umask = ::umask(077);
    const bool locked = lock.tryLock(0);
    ::umask(umask);
    return locked;
}

QString lockPathFor(const QString& vaultPath)
{
    return vaultPath + QStringLiteral(".lock");
}

QString creatingPathFor(const QString& vaultPath)
{
    return vaultPath + QStringLiteral(".creating");
}

FileBlockStore::FileBlockStore(QString path) : path_(std::move(path)), lock_(lockPathFor(path_))
{
    // A lock left by a process that no longer holds it must not block this session.
    if (lockPathUsable(lockPathFor(path_)))
        lock_.removeStaleLockFile();
}

FileBlockStore::~FileBlockStore()
{
    close();
}

bool FileBlockStore::exists() const
{
    return QFile::exists(path_);
}

bool FileBlockStore::create()
{
    failure_ = FailureNone;
    if (exists() || file_.isOpen())
        return false;
    const QString provisional = creatingPathFor(path_);
    if (!lockAndOpen(provisional, true))
        return false;
    creatingPath_ = provisional;
    return true;
}

bool FileBlockStore::open()
{
    failure_ = FailureNone;
    if (file_.isOpen())
        return true;
    return lockAndOpen(path_, false);
}

bool FileBlockStore::lockAndOpen(const QString& filePath, bool newOnly)
{
    if (!QFileInfo(QFileInfo(path_).absolutePath()).isDir()) {
        failure_ = FailureNoFolder;
        return false;
    }
    if (!lockPathUsable(lockPathFor(path_))) {
        failure_ = FailureOpen;
        return false;
    }
    if (!tryLockVault(lock_, path_)) {
        // Only a lock that someone holds means the vault is open elsewhere.
        switch (lock_.error()) {
        case QLockFile::LockFailedError:
            failure_ = FailureLocked;
            break;
        case QLockFile::PermissionError:
            failure_ = FailureNoPermission;
            break;
        default:
            failure_ = FailureOpen;
            break;
        }
        return false;
    }
    // Under the lock, a provisional file can only be what an interrupted creation left.
    if (newOnly && (!QFile::remove(filePath) && QFileInfo::exists(filePath))) {
        failure_ = FailureOpen;
        lock_.unlock();
        return false;
    }
    QIODevice::OpenMode mode = QIODevice::ReadWrite | QIODevice::Unbuffered;
    if (newOnly)
        mode |= QIODevice::NewOnly;
    file_.setFileName(filePath);
    if ((newOnly && !core::AtomicFile::stepAllowed(Step::Create, filePath, -1))
        || !file_.open(mode, QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        failure_ = FailureOpen;
        lock_.unlock();
        return false;
    }
    return true;
}

bool FileBlockStore::publishCreated()
{
    if (creatingPath_.isEmpty())
        return true;
    if (!file_.isOpen() || !core::AtomicFile::stepAllowed(Step::Rename, path_, -1)
        || !renameNoReplace(creatingPath_, path_))
        return false;
    creatingPath_.clear();
    directoryNeedsSync_ = true;
    return flush();
}

void FileBlockStore::close()
{
    if (file_.isOpen())
        file_.close();
    if (lock_.isLocked())
        lock_.unlock();
    directoryNeedsSync_ = false;
}

bool FileBlockStore::isOpen() const
{
    return file_.isOpen();
}

QString FileBlockStore::lastFailureReason() const
{
    switch (failure_) {
    case FailureLocked:
        return QObject::tr("The vault file appears to be open already -- either in another Murravo window, or in "
                           "a previous session that hasn't finished closing yet. Wait a few seconds and try again.");
    case FailureOpen:
        return QObject::tr("The vault file could not be opened.");
    case FailureNoFolder:
        return QObject::tr("The folder that should hold the vault file does not exist:\n%1\n\nIf the vault is on a "
                           "removable or network drive, connect it and try again.")
            .arg(QDir::toNativeSeparators(QFileInfo(path_).absolutePath()));
    case FailureNoPermission:
        return QObject::tr("Murravo may not write in the folder that holds the vault file, so it cannot place the "
                           "lock file that keeps the vault from being opened twice:\n%1\n\nCheck the folder's "
                           "permissions, or whether its disk is read-only, and try again.")
            .arg(QDir::toNativeSeparators(QFileInfo(path_).absolutePath()));
    default:
        return QString();
    }
}

bool FileBlockStore::rollbackFailedCreate()
{
    const QString made = creatingPath_.isEmpty() ? path_ : creatingPath_;
    IVaultBlockStore& self = *this;
    self.close();
    creatingPath_.clear();
    return QFile::remove(made);
}

qint64 FileBlockStore::size() const
{
    return file_.isOpen() ? file_.size() : 0;
}

bool FileBlockStore::resize(qint64 newSize)
{
    return file_.isOpen() && newSize >= 0 && file_.resize(newSize);
}

bool FileBlockStore::readAt(qint64 offset, unsigned char* buffer, qint64 length)
{
    if (!file_.isOpen() || offset < 0 || length < 0 || !file_.seek(offset))
        return false;
    qint64 done = 0;
    while (done < length) {
        const qint64 got = file_.read(reinterpret_cast<char*>(buffer) + done, length - done);
        if (got <= 0)
            return false;
        done += got;
    }
    return true;
}

bool FileBlockStore::writeAt(qint64 offset, const unsigned char* buffer, qint64 length)
{
    if (!file_.isOpen() || offset < 0 || length < 0 || !file_.seek(offset))
        return false;
    qint64 done = 0;
    while (done < length) {
        if (!core::AtomicFile::stepAllowed(Step::Write, file_.fileName(), file_.handle()))
            return false;
        const qint64 put = file_.write(reinterpret_cast<const char*>(buffer) + done, length - done);
        if (put <= 0)
            return false;
        done += put;
    }
    return true;
}

void FileBlockStore::writeBack(qint64 offset, qint64 length, bool wait)
{
    if (file_.isOpen())
        platform::writeBack(file_.handle(), offset, length, wait);
}

bool FileBlockStore::flush()
{
    if (!file_.isOpen() || !file_.flush())
        return false;
    const int fd = file_.handle();
    if (fd < 0 || !core::AtomicFile::stepAllowed(Step::Sync, file_.fileName(), fd)
        || !platform::syncFileToMedium(fd))
        return false;
    // A new file's directory entry must be durable too, or a crash can lose the whole vault.
    if (directoryNeedsSync_) {
        if (!core::AtomicFile::stepAllowed(Step::SyncFolder, path_, -1) || !platform::syncParentDirectory(path_))
            return false;
        directoryNeedsSync_ = false;
    }
    return true;
}

}  // namespace dorvex::vault
