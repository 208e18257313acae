#include "app/InstanceLock.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace dorvex::app {

InstanceLock::~InstanceLock() { release(); }

InstanceLock::InstanceLock(InstanceLock&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

InstanceLock& InstanceLock::operator=(InstanceLock&& other) noexcept
{
    if (this != &other) {
        release();
        handle_ = std::exchange(other.handle_, -1);
    }
    return *this;
}

void InstanceLock::release()
{
    if (handle_ >= 0)
        ::close(handle_);
    handle_ = -1;
}

InstanceLock::Outcome InstanceLock::acquire(const QString& dataDir)
{
    release();
    const QByteArray path = QFile::encodeName(dataDir + QLatin1Char('/') + QLatin1String(kFileName));
    // flock rather than fcntl locks: those vanish when any descriptor of the file is closed
    // anywhere in the process. Close-on-exec keeps a started child from inheriting the hold.
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        qWarning("InstanceLock: cannot open %s: %s", path.constData(), std::strerror(errno));
        return Outcome::Failed;
    }
    int rc = 0;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK)
            return Outcome::HeldElsewhere;
        qWarning("InstanceLock: cannot lock %s: %s", path.constData(), std::strerror(error));
        return Outcome::Failed;
    }
    handle_ = fd;
    return Outcome::Acquired;
}

}  // namespace dorvex::app
