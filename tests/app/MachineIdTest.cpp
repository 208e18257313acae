#include "app/MachineId.h"

#include "HangGuard.h"
#include "SmallTmpfs.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>

using dorvex::app::MachineId;

namespace {

class MachineIdTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = MachineId::platformIdentifier;
        dir_ = dorvex::test::makeScratchDir();
        path_ = dir_ + QStringLiteral("/sub/machine_id.txt");
    }
    void TearDown() override { MachineId::platformIdentifier = saved_; }

    void write(const QByteArray& content)
    {
        QDir().mkpath(QFileInfo(path_).absolutePath());
        QFile f(path_);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    QByteArray (*saved_)() = nullptr;
    QString dir_, path_;
};

QByteArray noPlatformId() { return {}; }
QByteArray fixedPlatformId() { return QByteArray::fromHex("0a1b2c3dff"); }

}  // namespace

TEST_F(MachineIdTest, PlatformIdentifierIsHexAndFileUntouched)
{
    MachineId::platformIdentifier = fixedPlatformId;
    write("stored-id");
    EXPECT_EQ(MachineId(path_).get(), QStringLiteral("0a1b2c3dff"));
    QFile::remove(path_);
    EXPECT_EQ(MachineId(path_).get(), QStringLiteral("0a1b2c3dff"));
    EXPECT_FALSE(QFile::exists(path_));
}

TEST_F(MachineIdTest, RealPlatformReadsEtcMachineId)
{
    // Debian keeps /etc/machine-id; where it is absent the fallback file is used instead.
    const QString id = MachineId(path_).get();
    EXPECT_FALSE(id.isEmpty());
    EXPECT_EQ(MachineId(path_).get(), id);
}

TEST_F(MachineIdTest, FallbackFileRules)
{
    MachineId::platformIdentifier = noPlatformId;
    const QString first = MachineId(path_).get();
    EXPECT_EQ(first.size(), 36);
    EXPECT_FALSE(QUuid::fromString(first).isNull());
    EXPECT_EQ(first, first.toLower());
    QFile f(path_);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), first.toUtf8()) << "no newline is written";
    f.close();
    EXPECT_EQ(MachineId(path_).get(), first);

    write("  custom-identity\n");
    EXPECT_EQ(MachineId(path_).get(), QStringLiteral("custom-identity"));

    for (const QByteArray& empty : {QByteArray(), QByteArray(" \n\t ")}) {
        write(empty);
        const QString replaced = MachineId(path_).get();
        EXPECT_EQ(replaced.size(), 36);
        EXPECT_EQ(MachineId(path_).get(), replaced);
    }
}

TEST_F(MachineIdTest, UnwritableFallbackStillGivesAnIdentity)
{
    MachineId::platformIdentifier = noPlatformId;
    // A regular file where the folder should be: no user, root included, can create below it.
    const QString blocker = dir_ + QStringLiteral("/blocker");
    QFile b(blocker);
    ASSERT_TRUE(b.open(QIODevice::WriteOnly));
    b.close();
    const QString id = MachineId(blocker + QStringLiteral("/machine_id.txt")).get();
    EXPECT_EQ(id.size(), 36);
}

// Anything but a regular file counts as an empty one: a new identity replaces it, without
// ever blocking on a FIFO or reading a device.
TEST_F(MachineIdTest, FallbackThatIsNotAFileIsReplacedWithoutBlocking)
{
    MachineId::platformIdentifier = noPlatformId;
    dorvex::test::HangGuard guard;
    const struct {
        const char* what;
        std::function<bool(const QString&)> place;
        bool replaceable;
    } cases[] = {
        {"FIFO", [](const QString& p) { return ::mkfifo(QFile::encodeName(p).constData(), 0600) == 0; }, true},
        {"link to /dev/zero", [](const QString& p) { return QFile::link(QStringLiteral("/dev/zero"), p); }, true},
        {"folder", [](const QString& p) { return QDir().mkdir(p); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        guard.at(c.what);
        QDir(QFileInfo(path_).absolutePath()).removeRecursively();
        QDir().mkpath(QFileInfo(path_).absolutePath());
        ASSERT_TRUE(c.place(path_));
        const QString id = MachineId(path_).get();
        EXPECT_EQ(id.size(), 36);
        if (c.replaceable) {
            EXPECT_TRUE(QFileInfo(path_).isFile() && !QFileInfo(path_).isSymLink());
            EXPECT_EQ(MachineId(path_).get(), id);
        }
    }
}

TEST_F(MachineIdTest, FallbackIsOwnerOnlyAndNeverEmptyOnAFullDisk)
{
    MachineId::platformIdentifier = noPlatformId;
    const mode_t previous = ::umask(022);
    const QString id = MachineId(path_).get();
    ::umask(previous);
    QFile stored(path_);
    ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
    EXPECT_EQ(stored.readAll(), id.toUtf8());
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path_).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(QFile::encodeName(QFileInfo(path_).absolutePath()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    dorvex::test::SmallTmpfs disk(256);
    MURRAVO_REQUIRE_TMPFS(disk);
    const QString onDisk = disk.path() + QStringLiteral("/machine_id.txt");
    disk.fillLeaving(0);
    const QString fresh = MachineId(onDisk).get();
    disk.release();
    EXPECT_EQ(fresh.size(), 36);
    EXPECT_FALSE(QFileInfo::exists(onDisk)) << "a file that could not be written must not be left empty";
    EXPECT_TRUE(QDir(disk.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
}
