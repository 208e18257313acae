#include "CoreTestFiles.h"
#include "HangGuard.h"
#include "TestSupport.h"

#include "core/FileProtection.h"
#include "core/SecureErase.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <ostream>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

using dorvex::core::FileProtection;
using dorvex::core::SecureErase;

using dorvex::test::fileBytes;
using dorvex::test::modeOf;
using dorvex::test::writeBytes;

namespace dorvex::core {
void PrintTo(SecureErase::Step step, std::ostream* out) {
    static const char* const names[] = {"Open", "Write", "Sync", "Unlink"};
    *out << names[static_cast<int>(step)];
}
}  // namespace dorvex::core

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

namespace {

using Step = SecureErase::Step;

// Records every step an erase takes and fails the one numbered failAt (1-based; 0 fails none).
struct StepLog {
    static inline std::vector<Step> steps;
    static inline int failAt = 0;
    static bool hook(Step step) {
        steps.push_back(step);
        return static_cast<int>(steps.size()) != failAt;
    }
};

class SecureEraseSteps : public ::testing::Test {
protected:
    void SetUp() override {
        StepLog::steps.clear();
        StepLog::failAt = 0;
        SecureErase::stepHook = &StepLog::hook;
    }
    void TearDown() override { SecureErase::stepHook = nullptr; }
};

}  // namespace

// Each pass reaches the device before the next pass starts, and all three before the file is
// deleted; otherwise the kernel may drop the overwrites together with the file.
TEST_F(SecureEraseSteps, EveryPassIsWrittenThroughBeforeTheNextAndBeforeTheDelete) {
    const QString path = dorvex::test::makeScratchDir() + "/two-chunks";
    writeBytes(path, QByteArray(SecureErase::kChunkBytes + 1, 'p'));
    ASSERT_TRUE(SecureErase::eraseFile(path));
    const std::vector<Step> expected{Step::Open,  Step::Write, Step::Write, Step::Sync,  Step::Write, Step::Write,
                                     Step::Sync,  Step::Write, Step::Write, Step::Sync,  Step::Unlink};
    EXPECT_EQ(StepLog::steps, expected);
}

// The erase of an import's original reports each chunk as it is written, over all three passes,
// and reporting changes nothing of the order in which the passes reach the device.
TEST_F(SecureEraseSteps, AnImportsEraseReportsEveryChunkWithoutChangingItsSteps) {
    const QString path = dorvex::test::makeScratchDir() + "/two-chunks";
    const qint64 size = SecureErase::kChunkBytes + 1;
    writeBytes(path, QByteArray(size, 'p'));
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const auto identity = dorvex::core::FileIdentity::ofDescriptor(fd);
    ::close(fd);
    struct Report {
        std::size_t stepsBefore;
        qint64 done;
        qint64 total;
    };
    std::vector<Report> reports;
    const auto outcome = SecureErase::eraseImportedFile(path, identity, [&reports](qint64 done, qint64 total) {
        reports.push_back({StepLog::steps.size(), done, total});
    });
    ASSERT_EQ(outcome, SecureErase::Outcome::Erased);
    const std::vector<Step> expected{Step::Open,  Step::Write, Step::Write, Step::Sync,  Step::Write, Step::Write,
                                     Step::Sync,  Step::Write, Step::Write, Step::Sync,  Step::Unlink};
    EXPECT_EQ(StepLog::steps, expected);
    const qint64 chunk = SecureErase::kChunkBytes;
    const std::vector<qint64> done{chunk, size, size + chunk, 2 * size, 2 * size + chunk, 3 * size};
    ASSERT_EQ(reports.size(), done.size());
    for (std::size_t i = 0; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].done, done[i]) << i;
        EXPECT_EQ(reports[i].total, 3 * size) << i;
        EXPECT_EQ(StepLog::steps[reports[i].stepsBefore - 1], Step::Write) << "reported right after its write, " << i;
    }
}

// A failure at any step is reported and never deletes a file whose overwrite did not reach the
// device; once no step fails the file is gone.
TEST_F(SecureEraseSteps, AFailedStepKeepsTheFile) {
    const QString dir = dorvex::test::makeScratchDir();
    const QByteArray original(SecureErase::kChunkBytes + 1, 'p');
    for (int failAt = 1;; ++failAt) {
        const QString path = dir + QStringLiteral("/f%1").arg(failAt);
        writeBytes(path, original);
        StepLog::steps.clear();
        StepLog::failAt = failAt;
        const bool erased = SecureErase::eraseFile(path);
        if (failAt > static_cast<int>(StepLog::steps.size())) {
            EXPECT_TRUE(erased);
            EXPECT_FALSE(QFileInfo::exists(path));
            EXPECT_GT(failAt, 3) << "an erase has at least an open, a sync and a delete";
            break;
        }
        EXPECT_FALSE(erased) << "failing step " << failAt;
        ASSERT_TRUE(QFileInfo::exists(path)) << "failing step " << failAt;
        EXPECT_EQ(QFileInfo(path).size(), original.size());
        if (failAt <= 2) {
            EXPECT_EQ(fileBytes(path), original) << "failing step " << failAt;
        }
        EXPECT_EQ(StepLog::steps.size(), static_cast<std::size_t>(failAt)) << "stops at the failed step";
    }
}

namespace {

// A small ext4 file system in an image file, mounted through a loop device (root only). The
// destructor always unmounts, so a failed check never leaves a mount behind.
class Ext4Image {
public:
    explicit Ext4Image(const QString& dir) : image_(dir + "/ext4.img"), mountPoint_(dir + "/mnt") {}
    ~Ext4Image() { unmount(); }
    Ext4Image(const Ext4Image&) = delete;
    Ext4Image& operator=(const Ext4Image&) = delete;

    [[nodiscard]] bool format() {
        {
            QFile file(image_);
            if (!file.open(QIODevice::WriteOnly) || !file.resize(16 << 20)) return false;
        }
        return QDir().mkpath(mountPoint_) && run("mkfs.ext4", {"-q", "-F", image_});
    }
    // Loop mounts detach their loop device on unmount.
    [[nodiscard]] bool mount(const QString& options) {
        const QString all = options.isEmpty() ? QStringLiteral("loop") : QStringLiteral("loop,") + options;
        mounted_ = run("mount", {"-t", "ext4", "-o", all, image_, mountPoint_});
        return mounted_;
    }
    bool unmount() {
        if (!mounted_) return true;
        mounted_ = !run("umount", {mountPoint_}) && !run("umount", {"-l", mountPoint_});
        return !mounted_;
    }
    [[nodiscard]] const QString& mountPoint() const { return mountPoint_; }
    [[nodiscard]] QByteArray rawBytes() const { return fileBytes(image_); }

private:
    static bool run(const QString& program, const QStringList& arguments) {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(program, arguments);
        return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    }

    QString image_;
    QString mountPoint_;
    bool mounted_ = false;
};

class SecureEraseOnExt4 : public ::testing::TestWithParam<const char*> {};

}  // namespace

// The device itself is read back after the erase: overwrites that only reached the page cache are
// dropped when the file is deleted, leaving the original on the disk.
TEST_P(SecureEraseOnExt4, NoLineOfTheOriginalIsLeftOnTheDevice) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a loop image needs root";
    Ext4Image fs(dorvex::test::makeScratchDir());
    if (!fs.format() || !fs.mount(QString())) GTEST_SKIP() << "cannot make or mount an ext4 image here";

    // Written under the default mode: under data=journal the journal would hold a copy of its own
    // that no overwrite of the file can reach.
    const QString path = fs.mountPoint() + "/document.txt";
    const QByteArray marker("murravo-erase-marker-");
    QByteArray original;
    for (int line = 0; original.size() < 200000; ++line)
        original += marker + QByteArray::number(line).rightJustified(6, '0') + '\n';
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_EQ(file.write(original), original.size());
        ASSERT_TRUE(file.flush());
        ASSERT_EQ(::fsync(file.handle()), 0);
    }
    ASSERT_TRUE(fs.unmount());
    ASSERT_GT(fs.rawBytes().count(marker), 0) << "the original must be on the device before the erase";
    if (!fs.mount(QString::fromLatin1(GetParam()))) GTEST_SKIP() << "cannot mount with " << GetParam();

    EXPECT_TRUE(SecureErase::eraseFile(path));
    EXPECT_FALSE(QFileInfo::exists(path));
    ASSERT_TRUE(fs.unmount());
    EXPECT_EQ(fs.rawBytes().count(marker), 0);
}

INSTANTIATE_TEST_SUITE_P(MountModes, SecureEraseOnExt4, ::testing::Values("data=ordered", "data=journal"));

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
