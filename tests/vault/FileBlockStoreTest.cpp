// The file-backed store and its lock file, within one process and across two.
#include "HangGuard.h"
#include "VaultTestUtil.h"
#include "vault/FileBlockStore.h"
#include "vault/VaultContainer.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <optional>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace dorvex;
using dorvex::vault::FileBlockStore;

namespace {

const QString kLockedMessage = QStringLiteral(
    "The vault file appears to be open already -- either in another Murravo window, or in a previous session that "
    "hasn't finished closing yet. Wait a few seconds and try again.");

// A folder nobody may write in while it lives: taken from the owner, or for root a read-only
// bind mount of the folder onto itself.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(QString path) : path_(std::move(path))
    {
        const QByteArray native = QFile::encodeName(path_);
        if (::geteuid() != 0) {
            active_ = ::chmod(native.constData(), 0500) == 0;
            return;
        }
        mounted_ = ::mount(native.constData(), native.constData(), nullptr, MS_BIND, nullptr) == 0;
        active_ = mounted_ &&
                  ::mount(nullptr, native.constData(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }
    ~ReadOnlyFolder()
    {
        const QByteArray native = QFile::encodeName(path_);
        if (mounted_)
            ::umount2(native.constData(), MNT_DETACH);
        else if (active_)
            ::chmod(native.constData(), 0700);
    }
    ReadOnlyFolder(const ReadOnlyFolder&) = delete;
    ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;

    [[nodiscard]] bool active() const { return active_; }

private:
    QString path_;
    bool mounted_ = false;
    bool active_ = false;
};

}  // namespace

// Only a lock that another opener holds is reported as the vault being open already; a folder
// that is missing or may not be written in says so.
TEST(FileBlockStore, LockFailuresNameTheirRealCause)
{
    const QString missingFolder = test::makeScratchDir() + QStringLiteral("/gone");
    const QString readOnly = test::makeScratchDir();
    const struct {
        const char* what;
        QString path;
        bool held, readOnlyFolder;
        QString expected;
    } cases[] = {
        {"held by another store", QDir(test::makeScratchDir()).filePath(QStringLiteral("vault.drvx")), true, false,
         kLockedMessage},
        {"missing folder", missingFolder + QStringLiteral("/vault.drvx"), false, false,
         QStringLiteral("The folder that should hold the vault file does not exist:\n%1\n\nIf the vault is on a "
                        "removable or network drive, connect it and try again.")
             .arg(missingFolder)},
        {"folder that may not be written in", readOnly + QStringLiteral("/vault.drvx"), false, true,
         QStringLiteral("Murravo may not write in the folder that holds the vault file, so it cannot place the lock "
                        "file that keeps the vault from being opened twice:\n%1\n\nCheck the folder's permissions, "
                        "or whether its disk is read-only, and try again.")
             .arg(readOnly)},
    };
    QStringList skipped;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const bool hasFolder = QFileInfo(QFileInfo(c.path).absolutePath()).isDir();
        if (hasFolder) {
            auto created = vault::VaultContainer::create(std::make_unique<FileBlockStore>(c.path),
                                                         test::keyFromSeed(1), test::testMachineId());
            ASSERT_TRUE(created);
        }
        std::unique_ptr<FileBlockStore> holder;
        if (c.held) {
            holder = std::make_unique<FileBlockStore>(c.path);
            ASSERT_TRUE(holder->open());
        }
        std::optional<ReadOnlyFolder> guard;
        if (c.readOnlyFolder) {
            guard.emplace(readOnly);
            if (!guard->active()) {
                skipped << QString::fromLatin1(c.what);
                continue;
            }
        }

        FileBlockStore store(c.path);
        EXPECT_FALSE(store.open());
        EXPECT_EQ(store.lastFailureReason(), c.expected);
        if (hasFolder) {
            QString reason;
            EXPECT_FALSE(vault::VaultContainer::open(std::make_unique<FileBlockStore>(c.path), test::keyFromSeed(1),
                                                     test::testMachineId(), QString(), &reason));
            EXPECT_EQ(reason, c.expected);
        } else {
            EXPECT_FALSE(store.create());
            EXPECT_EQ(store.lastFailureReason(), c.expected);
        }
    }
    if (!skipped.isEmpty())
        GTEST_SKIP() << "no way to make a folder read-only here: " << skipped.join(", ").toStdString();
}

TEST(FileBlockStore, CreateReadWriteAndRollBack)
{
    const QString path = QDir(test::makeScratchDir()).filePath(QStringLiteral("vault.drvx"));
    EXPECT_EQ(vault::lockPathFor(path), path + QStringLiteral(".lock"));
    FileBlockStore store(path);
    EXPECT_FALSE(store.flush());
    ASSERT_TRUE(store.create());
    EXPECT_TRUE(QFile::exists(path + QStringLiteral(".lock")));
    const unsigned char data[5] = {1, 2, 3, 4, 5};
    ASSERT_TRUE(store.writeAt(10, data, 5));
    EXPECT_EQ(store.size(), 15);
    unsigned char back[5] = {};
    ASSERT_TRUE(store.readAt(10, back, 5));
    EXPECT_EQ(std::memcmp(back, data, 5), 0);
    EXPECT_FALSE(store.readAt(12, back, 5));
    EXPECT_FALSE(store.readAt(-1, back, 1));
    ASSERT_TRUE(store.resize(4));
    EXPECT_EQ(store.size(), 4);
    EXPECT_TRUE(store.flush());
    EXPECT_TRUE(store.rollbackFailedCreate());
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_FALSE(QFile::exists(path + QStringLiteral(".lock")));
}

TEST(FileBlockStore, CreateOnAnExistingFileLeavesItAlone)
{
    const QString dir = test::makeScratchDir();
    const QString path = test::writeFile(dir, QStringLiteral("vault.drvx"), {9, 9, 9});
    FileBlockStore store(path);
    EXPECT_FALSE(store.create());
    EXPECT_TRUE(store.lastFailureReason().isEmpty());
    EXPECT_EQ(test::readWholeFile(path), (std::vector<unsigned char>{9, 9, 9}));
    FileBlockStore missingDir(QStringLiteral("/nonexistent/dir/vault.drvx"));
    EXPECT_FALSE(missingDir.open());
    EXPECT_FALSE(missingDir.lastFailureReason().isEmpty());
}

TEST(FileBlockStore, SecondStoreInTheSameProcessIsRefused)
{
    const QString path = QDir(test::makeScratchDir()).filePath(QStringLiteral("vault.drvx"));
    auto first = std::make_unique<FileBlockStore>(path);
    ASSERT_TRUE(first->create());
    ASSERT_TRUE(first->publishCreated());
    FileBlockStore second(path);
    EXPECT_FALSE(second.open());
    EXPECT_EQ(second.failure(), FileBlockStore::FailureLocked);
    EXPECT_EQ(second.lastFailureReason(), kLockedMessage);
    QString reason;
    EXPECT_FALSE(vault::VaultContainer::open(std::make_unique<FileBlockStore>(path), test::keyFromSeed(1),
                                             test::testMachineId(), QString(), &reason));
    EXPECT_EQ(reason, kLockedMessage);
    first.reset();
    EXPECT_TRUE(second.open());
}

TEST(FileBlockStore, LockHeldByAnotherProcessAndStaleAfterItIsKilled)
{
    const QString path = QDir(test::makeScratchDir()).filePath(QStringLiteral("vault.drvx"));
    {
        auto created = vault::VaultContainer::create(std::make_unique<FileBlockStore>(path), test::keyFromSeed(1),
                                                     test::testMachineId());
        ASSERT_TRUE(created);
    }
    QProcess holder;
    holder.start(QStringLiteral(VAULT_LOCK_HOLDER), {path});
    ASSERT_TRUE(holder.waitForStarted(10000));
    ASSERT_TRUE(holder.waitForReadyRead(10000));
    ASSERT_EQ(holder.readAllStandardOutput().trimmed(), QByteArray("locked"));
    {
        QString reason;
        EXPECT_FALSE(vault::VaultContainer::open(std::make_unique<FileBlockStore>(path), test::keyFromSeed(1),
                                                 test::testMachineId(), QString(), &reason));
        EXPECT_EQ(reason, kLockedMessage);
    }
    holder.kill();
    ASSERT_TRUE(holder.waitForFinished(10000));
    EXPECT_TRUE(QFile::exists(vault::lockPathFor(path)));  // left behind by the killed process
    auto reopened = vault::VaultContainer::open(std::make_unique<FileBlockStore>(path), test::keyFromSeed(1),
                                                test::testMachineId());
    ASSERT_TRUE(reopened);
    EXPECT_EQ(reopened->generationCounter(), 1u);
}

// A lock path that holds no regular file is never read (a FIFO would block for good): the
// store refuses to open instead of waiting or taking it for a lock.
TEST(FileBlockStore, LockPathThatIsNotAFileIsRefusedWithoutBlocking)
{
    test::HangGuard guard;
    const struct {
        const char* what;
        bool (*place)(const QString&);
    } cases[] = {
        {"FIFO", [](const QString& p) { return ::mkfifo(QFile::encodeName(p).constData(), 0600) == 0; }},
        {"folder", [](const QString& p) { return QDir().mkdir(p); }},
        {"link to /dev/zero", [](const QString& p) { return QFile::link(QStringLiteral("/dev/zero"), p); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        guard.at(c.what);
        const QString path = QDir(test::makeScratchDir()).filePath(QStringLiteral("vault.drvx"));
        ASSERT_TRUE(c.place(vault::lockPathFor(path)));
        FileBlockStore store(path);
        EXPECT_FALSE(store.create());
        EXPECT_EQ(store.failure(), FileBlockStore::FailureOpen);
        EXPECT_FALSE(QFile::exists(path));
        EXPECT_FALSE(store.open());
        EXPECT_FALSE(QFileInfo(vault::lockPathFor(path)).isFile() && !QFileInfo(vault::lockPathFor(path)).isSymLink());
    }
}

// A re-key whose commit lands in the second header slot wipes the first one, magic and all;
// the file is still the vault, for every path check the relocation and deletion make.
TEST(FileBlockStore, AVaultReKeyedIntoItsSecondSlotStillLooksLikeAVault)
{
    const QString path = QDir(test::makeScratchDir()).filePath(QStringLiteral("vault.drvx"));
    {
        auto vault = vault::VaultContainer::create(std::make_unique<FileBlockStore>(path), test::keyFromSeed(1),
                                                   QStringLiteral("machine"));
        ASSERT_NE(vault, nullptr);
        ASSERT_EQ(vault->rekey(test::keyFromSeed(2)), vault::VaultContainer::RekeyDone);
    }
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_NE(file.read(8), QByteArray("DRVXVLT1"));  // the first slot was wiped
    file.close();
    EXPECT_TRUE(vault::VaultContainer::looksLikeContainer(path));
    EXPECT_EQ(vault::VaultContainer::confinedRealPath(path), QFileInfo(path).canonicalFilePath());
    EXPECT_EQ(vault::VaultContainer::peekGenerationCounter(path), std::optional<quint64>(2));
    EXPECT_NE(vault::VaultContainer::open(std::make_unique<FileBlockStore>(path), test::keyFromSeed(2),
                                          QStringLiteral("machine")),
              nullptr);
}
