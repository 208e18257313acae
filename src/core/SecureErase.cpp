#include "core/SecureErase.h"

#include "core/DurableSync.h"
#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator64>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dorvex::core {

bool (*SecureErase::stepHook)(Step) = nullptr;

namespace {

using Outcome = SecureErase::Outcome;
using Step = SecureErase::Step;

enum class Pass { Zeros, Ones, Random };

bool stepAllowed(Step step)
{
    return SecureErase::stepHook == nullptr || SecureErase::stepHook(step);
}

FileIdentity identityOf(const struct stat& st)
{
    FileIdentity identity;
    identity.device = static_cast<quint64>(st.st_dev);
    identity.inode = static_cast<quint64>(st.st_ino);
    identity.size = static_cast<qint64>(st.st_size);
#ifdef __APPLE__
    identity.modifiedSeconds = static_cast<qint64>(st.st_mtimespec.tv_sec);
    identity.modifiedNanoseconds = static_cast<qint64>(st.st_mtimespec.tv_nsec);
#else
    identity.modifiedSeconds = static_cast<qint64>(st.st_mtim.tv_sec);
    identity.modifiedNanoseconds = static_cast<qint64>(st.st_mtim.tv_nsec);
#endif
    return identity;
}

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { close(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    [[nodiscard]] int get() const { return fd_; }
    void close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

bool writeAt(int fd, const char* data, qint64 length, qint64 offset)
{
    while (length > 0) {
        const ssize_t n = ::pwrite(fd, data, static_cast<size_t>(length), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= n;
        offset += n;
    }
    return true;
}

// Down to the device: overwrites still in the kernel's cache are dropped when the file is deleted.
bool syncData(int fd) { return syncToMedium(fd, true); }

constexpr int kPasses = 3;

bool overwrite(int fd, qint64 size, Pass pass, QByteArray& chunk, const SecureErase::Progress& progress)
{
    for (qint64 offset = 0; offset < size;) {
        const qint64 length = std::min(size - offset, SecureErase::kChunkBytes);
        if (pass == Pass::Random) {
            chunk.resize((length + 3) / 4 * 4);
            QRandomGenerator64::global()->fillRange(reinterpret_cast<quint32*>(chunk.data()),
                                                   static_cast<qsizetype>(chunk.size() / 4));
            chunk.resize(length);
        } else {
            chunk.fill(pass == Pass::Zeros ? '\x00' : '\xFF', length);
        }
        if (!stepAllowed(Step::Write) || !writeAt(fd, chunk.constData(), length, offset))
            return false;
        offset += length;
        if (progress)
            progress(static_cast<qint64>(pass) * size + offset, kPasses * size);
    }
    return stepAllowed(Step::Sync) && syncData(fd);
}

Outcome erase(const QString& path, const FileIdentity* imported, const SecureErase::Progress& progress = {})
{
    const QByteArray given = QFile::encodeName(path);
    struct stat entry {};
    if (given.isEmpty())
        return Outcome::Failed;
    if (::lstat(given.constData(), &entry) != 0)
        return imported != nullptr && errno == ENOENT ? Outcome::Changed : Outcome::Failed;
    // Overwriting through a link and deleting only the link would leave random bytes in place of
    // the document: the file it names goes, then the link.
    const bool viaLink = S_ISLNK(entry.st_mode);
    const QByteArray target = viaLink ? QFile::encodeName(QFileInfo(path).canonicalFilePath()) : given;
    if (target.isEmpty())
        return Outcome::Failed;

    if (!stepAllowed(Step::Open))
        return Outcome::Failed;
    // No link is followed from here on, and a FIFO or device is opened without blocking and refused.
    Descriptor fd(::open(target.constData(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat opened {};
    if (fd.get() < 0 || ::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode))
        return Outcome::Failed;
    if (imported != nullptr && !(identityOf(opened) == *imported))
        return Outcome::Changed;

    const qint64 size = static_cast<qint64>(opened.st_size);
    QByteArray chunk;
    for (Pass pass : {Pass::Zeros, Pass::Ones, Pass::Random}) {
        if (!overwrite(fd.get(), size, pass, chunk, progress))
            return Outcome::Failed;
    }
    // Bytes appended meanwhile were never overwritten, and the name must still be this file:
    // deleting anything else would lose it unerased.
    struct stat after {};
    struct stat named {};
    if (::fstat(fd.get(), &after) != 0 || after.st_size != opened.st_size || ::lstat(target.constData(), &named) != 0
        || !sameFile(named, opened))
        return Outcome::Failed;
    fd.close();
    if (!stepAllowed(Step::Unlink) || ::unlink(target.constData()) != 0)
        return Outcome::Failed;
    if (viaLink) {
        struct stat link {};
        if (::lstat(given.constData(), &link) == 0 && S_ISLNK(link.st_mode)
            && (!stepAllowed(Step::Unlink) || ::unlink(given.constData()) != 0))
            return Outcome::Failed;
    }
    return Outcome::Erased;
}

}  // namespace

FileIdentity FileIdentity::ofDescriptor(int fd)
{
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return {};
    return identityOf(st);
}

bool SecureErase::canErase(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists() || !QFileInfo(info.absolutePath()).isWritable())
        return false;
    // Through a link, both the file it names and the link are removed.
    return !info.isSymLink() || QFileInfo(QFileInfo(info.canonicalFilePath()).absolutePath()).isWritable();
}

bool SecureErase::eraseFile(const QString& path)
{
    return erase(path, nullptr) == Outcome::Erased;
}

SecureErase::Outcome SecureErase::eraseImportedFile(const QString& path, const FileIdentity& imported,
                                                    const Progress& progress)
{
    if (!imported.isKnown())
        return Outcome::Changed;
    return erase(path, &imported, progress);
}

}  // namespace dorvex::core
