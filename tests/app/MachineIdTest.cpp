#include "app/MachineId.h"

#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <gtest/gtest.h>

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
