#include "CoreTestFiles.h"
#include "HangGuard.h"
#include "TestSupport.h"

#include "core/FileProtection.h"
#include "core/SecureErase.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using dorvex::core::FileProtection;
using dorvex::core::SecureErase;

using dorvex::test::fileBytes;
using dorvex::test::modeOf;
using dorvex::test::writeBytes;

TEST(SecureEraseTest, ErasesFilesOfEverySize) {
    const QString dir = dorvex::test::makeScratchDir();
    for (qint64 size : {qint64(0), qint64(1), SecureErase::kChunkBytes, SecureErase::kChunkBytes + 1}) {
        const QString path = dir + QStringLiteral("/f%1").arg(size);
        writeBytes(path, QByteArray(size, 'p'));
        EXPECT_TRUE(SecureErase::canErase(path));
        EXPECT_TRUE(SecureErase::eraseFile(path)) << size;
        EXPECT_FALSE(QFileInfo::exists(path)) << size;
    }
}

TEST(SecureEraseTest, RefusesWhatItCannotErase) {
    const QString dir = dorvex::test::makeScratchDir();
    EXPECT_FALSE(SecureErase::eraseFile(dir + "/missing"));
    EXPECT_FALSE(SecureErase::canErase(dir + "/missing"));
    EXPECT_FALSE(SecureErase::eraseFile(dir));
    EXPECT_TRUE(QFileInfo(dir).isDir());
    writeBytes(dir + "/plain", "x");
    EXPECT_FALSE(SecureErase::canErase(dir + "/plain/below"));
    EXPECT_FALSE(SecureErase::eraseFile(dir + "/plain/below"));
}

TEST(SecureEraseTest, ReadOnlyFileAndFolderForNonRoot) {
    if (::geteuid() == 0) GTEST_SKIP() << "root bypasses permission bits";
    const QString dir = dorvex::test::makeScratchDir();
    const QString path = dir + "/ro";
    writeBytes(path, "secret");
    QFile::setPermissions(path, QFileDevice::ReadOwner);
    EXPECT_FALSE(SecureErase::eraseFile(path));
    EXPECT_EQ(fileBytes(path), QByteArray("secret"));
    QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    EXPECT_FALSE(SecureErase::canErase(path));
    QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

TEST(FileProtectionTest, HiddenListKeepsOtherLines) {
    const QString dir = dorvex::test::makeScratchDir();
    const QString vault = dir + "/vault.drvx";
    writeBytes(vault, "v");
    writeBytes(dir + "/.hidden", "notes.txt\nphotos\n");
    EXPECT_FALSE(FileProtection::isHidden(vault));
    EXPECT_TRUE(FileProtection::setHidden(vault, true));
    EXPECT_TRUE(FileProtection::isHidden(vault));
    EXPECT_EQ(fileBytes(dir + "/.hidden"), QByteArray("notes.txt\nphotos\nvault.drvx\n"));
    EXPECT_TRUE(FileProtection::setHidden(vault, true));
    EXPECT_EQ(fileBytes(dir + "/.hidden"), QByteArray("notes.txt\nphotos\nvault.drvx\n"));
    EXPECT_TRUE(FileProtection::setHidden(vault, false));
    EXPECT_FALSE(FileProtection::isHidden(vault));
    EXPECT_EQ(fileBytes(dir + "/.hidden"), QByteArray("notes.txt\nphotos\n"));
    EXPECT_TRUE(FileProtection::setHidden(vault, false));
}

TEST(FileProtectionTest, DotNamesMissingFilesAndBlockedFolders) {
    const QString dir = dorvex::test::makeScratchDir();
    writeBytes(dir + "/.vault", "v");
    EXPECT_TRUE(FileProtection::isHidden(dir + "/.vault"));
    EXPECT_TRUE(FileProtection::setHidden(dir + "/.vault", true));
    EXPECT_FALSE(FileProtection::setHidden(dir + "/.vault", false));
    EXPECT_FALSE(QFileInfo::exists(dir + "/.hidden"));

    EXPECT_FALSE(FileProtection::setHidden(dir + "/missing", true));
    EXPECT_FALSE(FileProtection::isHidden(dir + "/missing"));

    // A ".hidden" that is a folder cannot be replaced.
    writeBytes(dir + "/vault.drvx", "v");
    ASSERT_TRUE(QDir(dir).mkdir(".hidden"));
    EXPECT_FALSE(FileProtection::setHidden(dir + "/vault.drvx", true));
    EXPECT_FALSE(FileProtection::isHidden(dir + "/vault.drvx"));
}

TEST(FileProtectionTest, DeleteRestrictionIsANoOp) {
    const QString path = dorvex::test::makeScratchDir() + "/v";
    EXPECT_TRUE(FileProtection::restrictDeleteToAdministrators(path));
    EXPECT_FALSE(FileProtection::isDeleteRestricted(path));
    EXPECT_TRUE(FileProtection::clearDeleteRestriction(path));
    EXPECT_FALSE(FileProtection::isDeleteRestricted(path));
}

TEST(FileProtectionTest, HiddenListThatIsNotAFileIsNeitherReadNorReplaced) {
    dorvex::test::HangGuard guard;
    const QString dir = dorvex::test::makeScratchDir();
    writeBytes(dir + "/vault.drvx", "v");
    const QString list = dir + "/.hidden";
    const struct {
        const char* what;
        bool (*place)(const QString&);
    } cases[] = {
        {"FIFO", [](const QString& p) { return ::mkfifo(QFile::encodeName(p).constData(), 0600) == 0; }},
        {"link to /dev/zero", [](const QString& p) { return QFile::link(QStringLiteral("/dev/zero"), p); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        guard.at(c.what);
        QFile::remove(list);
        ASSERT_TRUE(c.place(list));
        EXPECT_FALSE(FileProtection::isHidden(dir + "/vault.drvx"));
        EXPECT_FALSE(FileProtection::setHidden(dir + "/vault.drvx", true));
        EXPECT_FALSE(FileProtection::isHidden(dir + "/vault.drvx"));
        EXPECT_FALSE(QFileInfo(list).isFile() && !QFileInfo(list).isSymLink()) << "it was replaced";
    }
}
