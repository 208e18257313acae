#include "CoreTestFiles.h"
#include "FileFaults.h"
#include "HangGuard.h"
#include "SmallTmpfs.h"
#include "TestSupport.h"

#include "core/AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

using dorvex::core::AtomicFile;
using dorvex::core::FileReadStatus;
using dorvex::core::LinkPolicy;
using dorvex::test::FileFaults;
using dorvex::test::fileBytes;
using dorvex::test::writeBytes;

namespace {

QStringList entries(const QString& dir) {
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

unsigned linkMode(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? static_cast<unsigned>(st.st_mode & 07777) : 0u;
}

}  // namespace

TEST(AtomicFileTest, ReplaceWritesOwnerOnlyFilesAndLeavesNoTemporary) {
    const QString dir = dorvex::test::makeScratchDir();
    const QString path = dir + "/record.dat";
    for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0277}}) {
        const mode_t previous = ::umask(mask);
        const bool written = AtomicFile::replace(path, QByteArray("content ") + QByteArray::number(mask));
        ::umask(previous);
        ASSERT_TRUE(written) << mask;
        EXPECT_EQ(fileBytes(path), QByteArray("content ") + QByteArray::number(mask));
        EXPECT_EQ(linkMode(path), 0600u) << mask;
    }
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0644), 0);
    ASSERT_TRUE(AtomicFile::replace(path, ""));
    EXPECT_EQ(fileBytes(path), QByteArray());
    EXPECT_EQ(linkMode(path), 0600u) << "a replaced file takes the owner-only mode";
    EXPECT_EQ(entries(dir), QStringList{"record.dat"});
}

TEST(AtomicFileTest, ReplaceSwapsALinkInsteadOfWritingThroughIt) {
    const QString dir = dorvex::test::makeScratchDir();
    writeBytes(dir + "/elsewhere", "untouched");
    ASSERT_TRUE(QFile::link(dir + "/elsewhere", dir + "/record.dat"));
    ASSERT_TRUE(AtomicFile::replace(dir + "/record.dat", "new"));
    EXPECT_FALSE(QFileInfo(dir + "/record.dat").isSymLink());
    EXPECT_EQ(fileBytes(dir + "/record.dat"), QByteArray("new"));
    EXPECT_EQ(fileBytes(dir + "/elsewhere"), QByteArray("untouched"));
}

TEST(AtomicFileTest, ReplaceRefusesWhatItCannotReplace) {
    const QString dir = dorvex::test::makeScratchDir();
    ASSERT_TRUE(QDir(dir).mkdir("folder"));
    writeBytes(dir + "/folder/inside", "kept");
    EXPECT_FALSE(AtomicFile::replace(dir + "/folder", "x"));
    EXPECT_EQ(fileBytes(dir + "/folder/inside"), QByteArray("kept"));
    writeBytes(dir + "/plain", "p");
    EXPECT_FALSE(AtomicFile::replace(dir + "/plain/below", "x"));
    EXPECT_FALSE(AtomicFile::replace(dir + "/missing/below", "x"));
    EXPECT_EQ(entries(dir), (QStringList{"folder", "plain"}));
}

TEST(AtomicFileTest, ReplaceOnAFullDiskKeepsTheOldBytes) {
    dorvex::test::SmallTmpfs disk(256);
    MURRAVO_REQUIRE_TMPFS(disk);
    const QString path = disk.path() + "/record.dat";
    ASSERT_TRUE(AtomicFile::replace(path, "old"));
    for (const qsizetype size : {qsizetype(1), qsizetype(dorvex::test::SmallTmpfs::pageSize() + 1)}) {
        disk.fillLeaving(0);
        EXPECT_FALSE(AtomicFile::replace(path, QByteArray(size, 'n'))) << size;
        disk.release();
        EXPECT_EQ(fileBytes(path), QByteArray("old"));
        EXPECT_EQ(entries(disk.path()), QStringList{"record.dat"});
    }
    disk.fillLeaving(1);
    EXPECT_FALSE(AtomicFile::replace(path, QByteArray(2 * dorvex::test::SmallTmpfs::pageSize(), 'n')));
    disk.release();
    EXPECT_EQ(fileBytes(path), QByteArray("old"));
}

// A failure at every step in turn, once and as a crash: old or new bytes, never anything else,
// and a temporary file only where a crash left it.
TEST(AtomicFileTest, FailureAtEveryStepLeavesTheOldOrTheNewFile) {
    for (const FileFaults::Mode mode : {FileFaults::Mode::Once, FileFaults::Mode::FromThenOn}) {
        bool injected = true;
        for (int step = 1; injected; ++step) {
            SCOPED_TRACE(step);
            ASSERT_LT(step, 50);
            const QString dir = dorvex::test::makeScratchDir();
            const QString path = dir + "/record.dat";
            writeBytes(path, "old");
            bool written = false;
            {
                FileFaults faults(step, mode);
                written = AtomicFile::replace(path, QByteArray(100000, 'n'));
                injected = faults.injected();
            }
            const QByteArray now = fileBytes(path);
            EXPECT_TRUE(now == "old" || now == QByteArray(100000, 'n'));
            if (written) {
                EXPECT_EQ(now, QByteArray(100000, 'n'));
            }
            if (!injected) {
                EXPECT_TRUE(written);
            }
            if (mode == FileFaults::Mode::Once) {
                EXPECT_EQ(entries(dir), QStringList{"record.dat"});
            }
        }
    }
}

TEST(AtomicFileTest, ReadReturnsAtOnceAndRefusesWhatIsNotARegularFile) {
    dorvex::test::HangGuard guard;
    const QString dir = dorvex::test::makeScratchDir();
    writeBytes(dir + "/plain", "bytes");
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir + "/fifo").constData(), 0600), 0);
    ASSERT_TRUE(QDir(dir).mkdir("folder"));
    ASSERT_TRUE(QFile::link(dir + "/plain", dir + "/link"));
    ASSERT_TRUE(QFile::link(dir + "/fifo", dir + "/fifo-link"));
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), dir + "/zero"));
    ASSERT_TRUE(QFile::link(dir + "/none", dir + "/dangling"));
    const struct {
        const char* name;
        FileReadStatus followed;
        FileReadStatus refused;
    } cases[] = {
        {"plain", FileReadStatus::Ok, FileReadStatus::Ok},
        {"missing", FileReadStatus::Absent, FileReadStatus::Absent},
        {"fifo", FileReadStatus::NotRegular, FileReadStatus::NotRegular},
        {"folder", FileReadStatus::NotRegular, FileReadStatus::NotRegular},
        {"link", FileReadStatus::Ok, FileReadStatus::NotRegular},
        {"fifo-link", FileReadStatus::NotRegular, FileReadStatus::NotRegular},
        {"zero", FileReadStatus::NotRegular, FileReadStatus::NotRegular},
        {"dangling", FileReadStatus::Absent, FileReadStatus::NotRegular},
        {"plain/below", FileReadStatus::Absent, FileReadStatus::Absent},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        guard.at(c.name);
        const QString path = dir + "/" + c.name;
        const auto followed = AtomicFile::read(path, LinkPolicy::Follow);
        EXPECT_EQ(followed.status, c.followed);
        EXPECT_EQ(followed.bytes, c.followed == FileReadStatus::Ok ? QByteArray("bytes") : QByteArray());
        EXPECT_EQ(AtomicFile::read(path, LinkPolicy::Refuse).status, c.refused);
    }
    if (::geteuid() != 0) {
        ASSERT_EQ(::chmod(QFile::encodeName(dir + "/plain").constData(), 0), 0);
        EXPECT_EQ(AtomicFile::read(dir + "/plain").status, FileReadStatus::Unreadable);
    }
}

TEST(AtomicFileTest, MakeFolderCreatesOwnerOnlyFolders) {
    const QString dir = dorvex::test::makeScratchDir();
    const unsigned existing = linkMode(dir);
    const mode_t previous = ::umask(0);
    const bool made = AtomicFile::makeFolder(dir + "/a/b/c");
    ::umask(previous);
    ASSERT_TRUE(made);
    for (const char* folder : {"/a", "/a/b", "/a/b/c"}) {
        EXPECT_EQ(linkMode(dir + folder), 0700u) << folder;
    }
    EXPECT_EQ(linkMode(dir), existing) << "an existing folder keeps its mode";
    EXPECT_TRUE(AtomicFile::makeFolder(dir + "/a/b/c"));
    writeBytes(dir + "/file", "f");
    EXPECT_FALSE(AtomicFile::makeFolder(dir + "/file"));
    EXPECT_FALSE(AtomicFile::makeFolder(dir + "/file/below"));
}
