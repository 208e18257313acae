#pragma once

#include "TestSupport.h"
#include "core/Clock.h"
#include "core/LocalIntegrityKey.h"
#include "core/MemorySecretStore.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <optional>

namespace dorvex::test {

// A settable clock for the whole test; restores the system clock when it ends.
class FakeClock {
public:
    explicit FakeClock(const QDateTime& start = QDateTime(QDate(2026, 12, 9), QTime(12, 0), Qt::UTC))
    {
        nowMs() = start.toMSecsSinceEpoch();
        core::Clock::setSource(+[]() -> std::int64_t { return nowMs(); });
    }
    ~FakeClock() { core::Clock::setSource(nullptr); }
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    void advanceSecs(qint64 s) { nowMs() += s * 1000; }
    void set(const QDateTime& t) { nowMs() = t.toMSecsSinceEpoch(); }
    [[nodiscard]] QDateTime now() const { return QDateTime::fromMSecsSinceEpoch(nowMs(), Qt::UTC); }

private:
    static std::int64_t& nowMs()
    {
        static std::int64_t value = 0;
        return value;
    }
};

// Makes a folder refuse new files and renames while it lives, so every atomic save into it
// fails while reads still work. Tests run as root, where permissions alone do not stop writes,
// so the immutable flag is used as well; active() is false where neither is possible.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(const QString& dir) : dir_(QFile::encodeName(dir))
    {
        ::chmod(dir_.constData(), 0555);
        if (!probeWritable())
            return;
        setImmutable(true);
    }
    ~ReadOnlyFolder()
    {
        if (immutable_)
            setImmutable(false);
        ::chmod(dir_.constData(), 0755);
    }
    ReadOnlyFolder(const ReadOnlyFolder&) = delete;
    ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;

    [[nodiscard]] bool active() const { return !probeWritable(); }

private:
    [[nodiscard]] bool probeWritable() const
    {
        const QByteArray probe = dir_ + "/.probe";
        const int fd = ::open(probe.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (fd < 0)
            return false;
        ::close(fd);
        ::unlink(probe.constData());
        return true;
    }
    void setImmutable(bool on)
    {
        const int fd = ::open(dir_.constData(), O_RDONLY | O_DIRECTORY);
        if (fd < 0)
            return;
        int flags = 0;
        if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
            if (::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0)
                immutable_ = on;
        }
        ::close(fd);
    }

    QByteArray dir_;
    bool immutable_ = false;
};

#define MURRAVO_REQUIRE_READ_ONLY(guard) \
    if (!(guard).active())               \
    GTEST_SKIP() << "cannot make a folder read-only here"

// The in-memory keychain every account test runs on (installed for the whole binary), so the
// root-derived key mode is exercised without a desktop keyring.
MemorySecretStore& accountKeychain();

// Removes every root from the keychain, as when its items were deleted.
inline void loseKeychainRoots()
{
    accountKeychain().items.clear();
    core::LocalIntegrityKey::clearCache();
}

// While it lives the keychain refuses new roots, so new sidecars are plain software keys.
class SoftwareKeys {
public:
    SoftwareKeys()
    {
        loseKeychainRoots();
        accountKeychain().scripted[MemorySecretStore::Add] = core::SecretStatus::Failed;
    }
    ~SoftwareKeys()
    {
        accountKeychain().scripted[MemorySecretStore::Add].reset();
        loseKeychainRoots();
    }
    SoftwareKeys(const SoftwareKeys&) = delete;
    SoftwareKeys& operator=(const SoftwareKeys&) = delete;
};

inline QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

// Collects the warnings logged while it lives.
class LogCapture {
public:
    LogCapture() { previous_ = qInstallMessageHandler(&LogCapture::handler); lines().clear(); }
    ~LogCapture() { qInstallMessageHandler(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    [[nodiscard]] bool contains(const QString& text) const
    {
        for (const QString& line : lines())
            if (line.contains(text))
                return true;
        return false;
    }

private:
    static QStringList& lines()
    {
        static QStringList value;
        return value;
    }
    static void handler(QtMsgType, const QMessageLogContext&, const QString& message) { lines().append(message); }
    QtMessageHandler previous_ = nullptr;
};

}  // namespace dorvex::test
