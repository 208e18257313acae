#pragma once

// A small tmpfs that a test fills until only a few pages are free, so writes meet a real full
// disk. Needs root; active() is false (and the test should skip) where the mount fails.
#include "TestSupport.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace dorvex::test {

class SmallTmpfs {
public:
    explicit SmallTmpfs(int kibibytes = 512) : path_(makeScratchDir())
    {
        if (::geteuid() != 0)
            return;
        const QByteArray options = "size=" + QByteArray::number(kibibytes) + "k,mode=0700";
        mounted_ = ::mount("tmpfs", QFile::encodeName(path_).constData(), "tmpfs", 0, options.constData()) == 0;
    }
    ~SmallTmpfs()
    {
        if (!mounted_)
            return;
        if (filler_ >= 0)
            ::close(filler_);
        if (::umount(QFile::encodeName(path_).constData()) != 0)
            ::umount2(QFile::encodeName(path_).constData(), MNT_DETACH);
    }
    SmallTmpfs(const SmallTmpfs&) = delete;
    SmallTmpfs& operator=(const SmallTmpfs&) = delete;

    [[nodiscard]] bool active() const { return mounted_; }
    [[nodiscard]] const QString& path() const { return path_; }

    // Fills the file system until exactly `pages` pages are free.
    void fillLeaving(long pages)
    {
        release();
        const QByteArray name = QFile::encodeName(path_ + QStringLiteral("/.filler"));
        filler_ = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (filler_ < 0)
            return;
        const QByteArray chunk(static_cast<qsizetype>(pageSize()), 'f');
        off_t size = 0;
        for (;;) {
            const ssize_t put = ::write(filler_, chunk.constData(), static_cast<size_t>(chunk.size()));
            if (put <= 0)
                break;
            size += put;
        }
        const off_t keep = size - static_cast<off_t>(pages) * static_cast<off_t>(pageSize());
        if (::ftruncate(filler_, keep > 0 ? keep : 0) != 0)
            std::perror("SmallTmpfs: ftruncate");
    }

    // Frees the space taken by fillLeaving.
    void release()
    {
        if (filler_ < 0)
            return;
        ::close(filler_);
        filler_ = -1;
        QFile::remove(path_ + QStringLiteral("/.filler"));
    }

    [[nodiscard]] long freePages() const
    {
        struct statvfs fs {};
        if (::statvfs(QFile::encodeName(path_).constData(), &fs) != 0)
            return -1;
        return static_cast<long>(fs.f_bavail * fs.f_frsize / pageSize());
    }

    static long pageSize() { return ::sysconf(_SC_PAGESIZE); }

private:
    QString path_;
    bool mounted_ = false;
    int filler_ = -1;
};

#define MURRAVO_REQUIRE_TMPFS(fs) \
    if (!(fs).active())           \
    GTEST_SKIP() << "needs root to mount a small tmpfs"

}  // namespace dorvex::test
