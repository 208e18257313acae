#include "core/AtomicFile.h"

#include "core/DurableSync.h"
#include "crypto/SecureBuffer.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dorvex::core {

namespace {

using Step = AtomicFile::Step;

AtomicFile::StepHook& stepHook()
{
    static AtomicFile::StepHook hook;
    return hook;
}

// False (with errno set as the system would) when the test hook fails this step.
bool allowed(Step step, const QString& path, int fd)
{
    const AtomicFile::StepHook& hook = stepHook();
    if (!hook || hook(step, path, fd))
        return true;
    errno = step == Step::Write ? ENOSPC : EIO;
    return false;
}

bool syncDescriptor(int fd) { return core::syncToMedium(fd); }

bool writeAll(int fd, const QString& path, QByteArrayView bytes)
{
    const char* data = bytes.data();
    qsizetype left = bytes.size();
    while (left > 0) {
        if (!allowed(Step::Write, path, fd))
            return false;
        const ssize_t put = ::write(fd, data, static_cast<size_t>(left));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        data += put;
        left -= put;
    }
    return true;
}

// An exclusive, owner-only file beside target; -1 when none could be made.
int createTemporary(const QByteArray& target, QByteArray& name, const QString& path)
{
    for (int attempt = 0; attempt < 16; ++attempt) {
        name = target + '.' + QByteArray::number(QRandomGenerator::global()->generate64(), 36) + ".tmp";
        if (!allowed(Step::Create, path, -1))
            return -1;
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                              static_cast<mode_t>(AtomicFile::kFileMode));
        if (fd >= 0) {
            // The umask may have taken bits away; the mode is exact before the first byte.
            if (::fchmod(fd, static_cast<mode_t>(AtomicFile::kFileMode)) != 0) {
                ::close(fd);
                ::unlink(name.constData());
                return -1;
            }
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

bool syncFolder(const QByteArray& folder, const QString& path)
{
    if (!allowed(Step::SyncFolder, path, -1))
        return false;
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = syncDescriptor(fd);
    ::close(fd);
    return synced;
}

// Grows buffer to capacity, wiping the bytes left behind in the old block.
void grow(QByteArray& buffer, qsizetype used, qsizetype capacity)
{
    QByteArray larger(capacity, Qt::Uninitialized);
    std::memcpy(larger.data(), buffer.constData(), static_cast<size_t>(used));
    crypto::secureZero(buffer);
    buffer = std::move(larger);
}

}  // namespace

bool AtomicFile::replace(const QString& path, QByteArrayView bytes)
{
    const QByteArray target = QFile::encodeName(path);
    if (target.isEmpty())
        return false;
    QByteArray temporary;
    int fd = createTemporary(target, temporary, path);
    if (fd < 0)
        return false;

    bool ok = writeAll(fd, path, bytes);
    ok = ok && allowed(Step::Sync, path, fd) && syncDescriptor(fd);
    const bool closeAllowed = allowed(Step::Close, path, fd);
    // close reports write-back errors on some file systems; a failed close means a failed write.
    ok = ::close(fd) == 0 && closeAllowed && ok;
    fd = -1;
    ok = ok && allowed(Step::Rename, path, -1) && ::rename(temporary.constData(), target.constData()) == 0;
    if (!ok) {
        const int saved = errno;
        ::unlink(temporary.constData());
        errno = saved;
        return false;
    }
    return syncFolder(QFile::encodeName(QFileInfo(path).absolutePath()), path);
}

FileReadResult AtomicFile::read(const QString& path, LinkPolicy links)
{
    FileReadResult result;
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty())
        return result;
    if (!allowed(Step::Open, path, -1)) {
        result.status = FileReadStatus::Unreadable;
        return result;
    }
    // Non-blocking, so that opening a FIFO or device returns at once; the type is checked on
    // the open descriptor, so nothing can be swapped in between.
    int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    if (links == LinkPolicy::Refuse)
        flags |= O_NOFOLLOW;
    const int fd = ::open(native.constData(), flags);
    if (fd < 0) {
        switch (errno) {
        case ENOENT:
        case ENOTDIR:
            result.status = FileReadStatus::Absent;
            break;
        case ELOOP:
        case ENXIO:
        case EISDIR:
        case ENODEV:
            result.status = FileReadStatus::NotRegular;
            break;
        default:
            result.status = FileReadStatus::Unreadable;
            break;
        }
        return result;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        result.status = S_ISREG(st.st_mode) ? FileReadStatus::Unreadable : FileReadStatus::NotRegular;
        ::close(fd);
        return result;
    }

    QByteArray buffer(static_cast<qsizetype>(st.st_size) + 1, Qt::Uninitialized);
    qsizetype used = 0;
    bool ok = true;
    for (;;) {
        if (used == buffer.size())
            grow(buffer, used, buffer.size() * 2);
        if (!allowed(Step::Read, path, fd)) {
            ok = false;
            break;
        }
        const ssize_t got = ::read(fd, buffer.data() + used, static_cast<size_t>(buffer.size() - used));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0)
            break;
        used += got;
    }
    ::close(fd);
    if (!ok) {
        crypto::secureZero(buffer);
        result.status = FileReadStatus::Unreadable;
        return result;
    }
    buffer.truncate(used);
    result.status = FileReadStatus::Ok;
    result.bytes = std::move(buffer);
    return result;
}

bool AtomicFile::makeFolder(const QString& folder)
{
    const QString absolute = QFileInfo(folder).absoluteFilePath();
    const QByteArray native = QFile::encodeName(absolute);
    if (native.isEmpty())
        return false;
    struct stat st {};
    if (::stat(native.constData(), &st) == 0)
        return S_ISDIR(st.st_mode);
    if (errno != ENOENT)
        return false;
    const QString parent = QFileInfo(absolute).absolutePath();
    if (parent != absolute && !makeFolder(parent))
        return false;
    if (::mkdir(native.constData(), static_cast<mode_t>(kFolderMode)) != 0)
        return errno == EEXIST && ::stat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode);
    // Exact whatever the umask: a umask that took the owner's bits would leave it unusable.
    return ::chmod(native.constData(), static_cast<mode_t>(kFolderMode)) == 0;
}

bool AtomicFile::remove(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty() || !allowed(Step::Remove, path, -1))
        return false;
    return ::unlink(native.constData()) == 0 || errno == ENOENT;
}

bool AtomicFile::syncFolderOf(const QString& path)
{
    return syncFolder(QFile::encodeName(QFileInfo(path).absolutePath()), path);
}

void AtomicFile::setStepHook(StepHook hook) { stepHook() = std::move(hook); }

bool AtomicFile::stepAllowed(Step step, const QString& path, int fd) { return allowed(step, path, fd); }

}  // namespace dorvex::core
