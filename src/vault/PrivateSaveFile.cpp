#include "vault/PrivateSaveFile.h"

#include "vault/VaultPlatform.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dorvex::vault {

bool (*PrivateSaveFile::stepHook)(Step) = nullptr;

namespace {

bool stepAllowed(PrivateSaveFile::Step step)
{
    return PrivateSaveFile::stepHook == nullptr || PrivateSaveFile::stepHook(step);
}

bool writeAll(int fd, const unsigned char* data, std::size_t length)
{
    // Bounded so that no single call asks for more than the system writes at once.
    constexpr std::size_t kMaxWrite = std::size_t{1} << 30;
    while (length > 0) {
        if (!stepAllowed(PrivateSaveFile::Step::Write))
            return false;
        const ssize_t n = ::write(fd, data, std::min(length, kMaxWrite));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool PrivateSaveFile::write(const QString& destinationPath, const unsigned char* data, std::size_t length)
{
    const QByteArray target = QFile::encodeName(QFileInfo(destinationPath).absoluteFilePath());
    if (destinationPath.isEmpty() || target.isEmpty())
        return false;
    struct stat existing {};
    // A rename over a link, device or FIFO would replace that node itself.
    if (::lstat(target.constData(), &existing) == 0 && !S_ISREG(existing.st_mode))
        return false;

    if (!stepAllowed(Step::Create))
        return false;
    QByteArray temporary = target + QByteArrayLiteral(".XXXXXX");
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    // mkostemp's 0600 is still cut by the umask; nothing is written before the mode is set.
    bool ok = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0 && writeAll(fd, data, length) && stepAllowed(Step::Sync)
        && platform::syncFileToMedium(fd);
    ok = ::close(fd) == 0 && ok;
    ok = ok && stepAllowed(Step::Rename) && ::rename(temporary.constData(), target.constData()) == 0;
    if (!ok) {
        ::unlink(temporary.constData());
        return false;
    }
    // The new name's durability is best effort: the contents are complete either way.
    static_cast<void>(platform::syncParentDirectory(destinationPath));
    return true;
}

}  // namespace dorvex::vault
