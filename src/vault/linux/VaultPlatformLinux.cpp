#include "vault/VaultPlatform.h"

#include "core/DurableSync.h"
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dorvex::vault::platform {

bool syncFileToMedium(int fd) { return core::syncToMedium(fd); }

bool syncParentDirectory(const QString& filePath)
{
    const QByteArray dir = QFile::encodeName(QFileInfo(filePath).absolutePath());
    const int fd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

int openRegularFileForReading(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty())
        return -1;
    struct stat before {};
    // Checked before opening so that no device or FIFO is ever opened.
    if (::stat(native.constData(), &before) != 0 || !S_ISREG(before.st_mode))
        return -1;
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return -1;
    struct stat after {};
    // The path may have been swapped between stat and open.
    if (::fstat(fd, &after) != 0 || !S_ISREG(after.st_mode)) {
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void adviseSequentialRead(int fd) noexcept
{
    if (fd >= 0)
        static_cast<void>(::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL));
}

void writeBack(int fd, qint64 offset, qint64 length, bool wait) noexcept
{
    if (fd < 0 || offset < 0 || length <= 0)
        return;
    const unsigned flags = wait ? SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER
                                : SYNC_FILE_RANGE_WRITE;
    static_cast<void>(::sync_file_range(fd, offset, length, flags));
}

void closeDescriptor(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

void adviseLargeBuffer(void* address, std::size_t length) noexcept
{
    constexpr std::size_t kHugePage = std::size_t{2} << 20;
    // Below a few huge pages the allocator mostly reuses pages that are already mapped.
    if (address == nullptr || length < 4 * kHugePage)
        return;
    const auto pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<std::uintptr_t>(address);
    // madvise wants whole pages; the partial pages at either end keep the default.
    const std::uintptr_t first = (begin + pageSize - 1) & ~(pageSize - 1);
    const std::uintptr_t last = (begin + length) & ~(pageSize - 1);
    if (last > first)
        static_cast<void>(::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE));
}

}  // namespace dorvex::vault::platform
