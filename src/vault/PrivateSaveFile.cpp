#include "vault/PrivateSaveFile.h"

#include "vault/VaultPlatform.h"

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

// Bounded so that no single call asks for more than the system writes at once.
constexpr std::size_t kMaxWrite = std::size_t{1} << 30;

bool writeAll(int fd, const unsigned char* data, std::size_t length, bool (*allowed)(PrivateSaveFile::Step))
{
    while (length > 0) {
        if (allowed != nullptr && !allowed(PrivateSaveFile::Step::Write))
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

PrivateSaveFile::PrivateSaveFile(const QString& destinationPath)
    : destination_(destinationPath),
      pacer_([this](qint64 offset, qint64 length, bool wait) { platform::writeBack(fd_, offset, length, wait); })
{
}

PrivateSaveFile::~PrivateSaveFile()
{
    discard();
}

bool PrivateSaveFile::open()
{
    if (fd_ >= 0 || destination_.isEmpty())
        return false;
    target_ = QFile::encodeName(QFileInfo(destination_).absoluteFilePath());
    if (target_.isEmpty())
        return false;
    struct stat existing {};
    // A rename over a link, device or FIFO would replace that node itself.
    if (::lstat(target_.constData(), &existing) == 0 && !S_ISREG(existing.st_mode))
        return false;
    if (!stepAllowed(Step::Create))
        return false;
    QByteArray temporary = target_ + QByteArrayLiteral(".XXXXXX");
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    fd_ = fd;
    temporary_ = temporary;
    written_ = 0;
    // mkostemp's 0600 is still cut by the umask; nothing is written before the mode is set.
    if (::fchmod(fd_, S_IRUSR | S_IWUSR) != 0) {
        discard();
        return false;
    }
    return true;
}

bool PrivateSaveFile::append(const unsigned char* data, std::size_t length)
{
    if (fd_ < 0)
        return false;
    const auto at = static_cast<qint64>(written_);
    // Counted before the write: a short write may still have put some bytes down.
    written_ += length;
    if (!writeAll(fd_, data, length, &stepAllowed))
        return false;
    pacer_.wrote(at, static_cast<qint64>(length));
    return true;
}

bool PrivateSaveFile::commit()
{
    if (fd_ < 0)
        return false;
    bool ok = stepAllowed(Step::Sync) && platform::syncFileToMedium(fd_);
    if (ok) {
        ok = ::close(fd_) == 0;
        fd_ = -1;
    }
    ok = ok && stepAllowed(Step::Rename) && ::rename(temporary_.constData(), target_.constData()) == 0;
    if (!ok) {
        discard();
        return false;
    }
    temporary_.clear();
    // The new name's durability is best effort: the contents are complete either way.
    static_cast<void>(platform::syncParentDirectory(destination_));
    return true;
}

void PrivateSaveFile::discard() noexcept
{
    if (temporary_.isEmpty())
        return;
    if (fd_ < 0)
        fd_ = ::open(temporary_.constData(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd_ >= 0) {
        static const unsigned char zeros[65536] = {};
        if (written_ > 0 && ::lseek(fd_, 0, SEEK_SET) == 0) {
            bool ok = true;
            for (std::size_t done = 0; ok && done < written_; done += sizeof zeros)
                ok = writeAll(fd_, zeros, std::min(sizeof zeros, written_ - done), nullptr);
            static_cast<void>(platform::syncFileToMedium(fd_));
        }
        ::close(fd_);
        fd_ = -1;
    }
    ::unlink(temporary_.constData());
    temporary_.clear();
    written_ = 0;
}

bool PrivateSaveFile::write(const QString& destinationPath, const unsigned char* data, std::size_t length)
{
    PrivateSaveFile file(destinationPath);
    return file.open() && file.append(data, length) && file.commit();
}

}  // namespace dorvex::vault
