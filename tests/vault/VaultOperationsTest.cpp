// Import, read, export, remove, re-key, lock and the size limit.
#include "MemoryBlockStore.h"
#include "VaultTestUtil.h"
#include "core/Clock.h"
#include "vault/VaultContainer.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <sys/types.h>

using namespace dorvex;
using dorvex::vault::VaultContainer;

namespace {

struct Fixture {
    std::shared_ptr<test::MemoryImage> image = std::make_shared<test::MemoryImage>();
    crypto::SecureBuffer key = test::keyFromSeed(1);
    QString dir = test::makeScratchDir();
    std::unique_ptr<VaultContainer> vault =
        VaultContainer::create(std::make_unique<test::MemoryBlockStore>(image), key, test::testMachineId());

    bool import(const QString& name, const std::vector<unsigned char>& bytes)
    {
        return vault->importFile(test::writeFile(dir, QStringLiteral("src-") + name, bytes), name);
    }
};

}  // namespace

TEST(VaultOperations, ImportReadExportRoundTripAndNamesAreExact)
{
    core::Clock::setSource([]() -> std::int64_t { return 1767225600123; });
    Fixture f;
    ASSERT_TRUE(f.vault);
    const auto data = test::patternBytes(70000, 3);
    ASSERT_TRUE(f.import(QStringLiteral("Report.pdf"), data));
    ASSERT_TRUE(f.import(QStringLiteral("report.pdf"), {}));
    EXPECT_FALSE(f.import(QStringLiteral("Report.pdf"), {1}));
    // A duplicate name is refused before the source is even looked at.
    EXPECT_FALSE(f.vault->importFile(QStringLiteral("/nonexistent"), QStringLiteral("Report.pdf")));
    core::Clock::setSource(nullptr);
    const auto list = f.vault->listEntries();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, QStringLiteral("Report.pdf"));
    EXPECT_EQ(list[0].size, 70000);
    EXPECT_EQ(list[0].importedAt, QDateTime::fromSecsSinceEpoch(1767225600, Qt::UTC));
    EXPECT_TRUE(f.vault->contains(QStringLiteral("report.pdf")));
    EXPECT_FALSE(f.vault->contains(QStringLiteral("REPORT.PDF")));
    EXPECT_EQ(f.vault->currentTotalSizeBytes(), 70000);
    EXPECT_EQ(f.vault->readFileBytes(QStringLiteral("Report.pdf")), data);
    EXPECT_EQ(f.image->bytes.size(), 1048672u + 70041u + 41u);

    const QString out = QDir(f.dir).filePath(QStringLiteral("out.bin"));
    test::writeFile(f.dir, QStringLiteral("out.bin"), test::patternBytes(100000, 9));  // truncated by export
    ASSERT_TRUE(f.vault->exportFile(QStringLiteral("Report.pdf"), out));
    EXPECT_EQ(test::readWholeFile(out), data);
    ASSERT_TRUE(f.vault->exportFile(QStringLiteral("report.pdf"), out));
    EXPECT_TRUE(test::readWholeFile(out).empty());
    EXPECT_FALSE(f.vault->exportFile(QStringLiteral("missing"), out));
    EXPECT_FALSE(f.vault->exportFile(QStringLiteral("Report.pdf"), QStringLiteral("/nonexistent/dir/x")));
}

TEST(VaultOperations, ContentsAroundTheTagLengthAndLargerThanAFewHugePagesRoundTrip)
{
    Fixture f;
    const std::size_t large = (9u << 20) + 4093;  // past the size from which buffers are backed differently
    const std::vector<std::size_t> sizes{1, 15, 16, 17, 4095, 4096, 4097, large};
    for (std::size_t size : sizes) {
        const QString name = QString::number(size);
        ASSERT_TRUE(f.import(name, test::patternBytes(size, static_cast<unsigned>(size))));
    }
    for (std::size_t size : sizes) {
        const auto back = f.vault->readFileBytes(QString::number(size));
        ASSERT_TRUE(back);
        EXPECT_EQ(back->size(), size);
        EXPECT_TRUE(*back == test::patternBytes(size, static_cast<unsigned>(size))) << size;
    }
    const QString out = QDir(f.dir).filePath(QStringLiteral("large.bin"));
    ASSERT_TRUE(f.vault->exportFile(QString::number(large), out));
    EXPECT_TRUE(test::readWholeFile(out) == test::patternBytes(large, static_cast<unsigned>(large)));
}

TEST(VaultOperations, EveryDamagedByteOfABlobIsRefused)
{
    Fixture f;
    const auto data = test::patternBytes(40, 5);
    ASSERT_TRUE(f.import(QStringLiteral("a"), data));
    // The first blob starts the data region: nonce | suite | ciphertext | tag.
    const std::size_t start = static_cast<std::size_t>(VaultContainer::kDataRegionStart);
    const std::size_t length = data.size() + static_cast<std::size_t>(VaultContainer::kBlobOverhead);
    ASSERT_GE(f.image->bytes.size(), start + length);
    const bool aes = f.image->bytes[start + 24] == crypto::AeadCipher::kSuiteAes256Gcm;
    for (std::size_t i = start; i < start + length; ++i) {
        // AES-GCM takes only the first 12 of the 24 nonce bytes.
        if (aes && i - start >= 12 && i - start < 24)
            continue;
        f.image->bytes[i] ^= 0x01;
        EXPECT_FALSE(f.vault->readFileBytes(QStringLiteral("a"))) << "byte " << i - start;
        f.image->bytes[i] ^= 0x01;
    }
    // An unknown suite is refused, not guessed.
    const unsigned char suite = f.image->bytes[start + 24];
    f.image->bytes[start + 24] = 7;
    EXPECT_FALSE(f.vault->readFileBytes(QStringLiteral("a")));
    f.image->bytes[start + 24] = suite;
    EXPECT_EQ(f.vault->readFileBytes(QStringLiteral("a")), data);
}

TEST(VaultOperations, OnlyReadableRegularFilesAreImported)
{
    Fixture f;
    const QString fifo = QDir(f.dir).filePath(QStringLiteral("fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString socketPath = QDir(f.dir).filePath(QStringLiteral("sock"));
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray native = QFile::encodeName(socketPath);
    ASSERT_LT(static_cast<std::size_t>(native.size()), sizeof address.sun_path);
    std::memcpy(address.sun_path, native.constData(), static_cast<std::size_t>(native.size()));
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const QString unreadable = test::writeFile(f.dir, QStringLiteral("secret"), {1, 2, 3});
    QFile::setPermissions(unreadable, QFileDevice::Permissions());
    const bool root = ::geteuid() == 0;
    const struct {
        const char* what;
        QString path;
    } cases[] = {
        {"directory", f.dir}, {"fifo", fifo}, {"socket", socketPath}, {"device", QStringLiteral("/dev/zero")},
        {"missing", QDir(f.dir).filePath(QStringLiteral("none"))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(f.vault->importFile(c.path, QString::fromLatin1(c.what)));
    }
    if (!root) {
        EXPECT_FALSE(f.vault->importFile(unreadable, QStringLiteral("secret")));
    }
    EXPECT_TRUE(f.vault->listEntries().empty());
    EXPECT_EQ(f.vault->generationCounter(), 1u);
    ::close(sock);
}

TEST(VaultOperations, MaximumSize)
{
    Fixture f;
    f.vault->setMaxSizeBytes(1000);
    ASSERT_TRUE(f.import(QStringLiteral("a"), test::patternBytes(900, 1)));
    EXPECT_FALSE(f.vault->wouldExceedMaxSize(100));
    EXPECT_TRUE(f.vault->wouldExceedMaxSize(101));
    EXPECT_FALSE(f.import(QStringLiteral("big"), test::patternBytes(101, 2)));
    EXPECT_TRUE(f.import(QStringLiteral("fits"), test::patternBytes(100, 2)));
    for (qint64 limit : {0, -5}) {
        f.vault->setMaxSizeBytes(limit);
        EXPECT_FALSE(f.vault->wouldExceedMaxSize(1 << 30));
    }
    EXPECT_TRUE(f.import(QStringLiteral("more"), test::patternBytes(5000, 2)));
}

TEST(VaultOperations, RemoveDestroysTheBlobAndKeepsTheFileSize)
{
    Fixture f;
    ASSERT_TRUE(f.import(QStringLiteral("a"), test::patternBytes(5000, 1)));
    ASSERT_TRUE(f.import(QStringLiteral("b"), test::patternBytes(10, 2)));
    const std::vector<unsigned char> blob(f.image->bytes.begin() + 1048672, f.image->bytes.begin() + 1048672 + 5041);
    const std::size_t sizeBefore = f.image->bytes.size();
    ASSERT_TRUE(f.vault->removeFile(QStringLiteral("a")));
    EXPECT_FALSE(f.vault->removeFile(QStringLiteral("a")));
    EXPECT_EQ(f.image->bytes.size(), sizeBefore);
    const std::vector<unsigned char> after(f.image->bytes.begin() + 1048672, f.image->bytes.begin() + 1048672 + 5041);
    EXPECT_NE(after, blob);
    EXPECT_LT(std::count(after.begin(), after.end(), 0), 200);  // random, not left at the zero pass
    f.vault.reset();
    const auto state = test::reopenCopy(f.image->bytes, f.key);
    ASSERT_TRUE(state && state->contents);
    EXPECT_EQ(*state->contents, (test::Contents{{QStringLiteral("b"), test::patternBytes(10, 2)}}));
}

// The names of a list handed out earlier belong to its holder (the browser's table): taking an
// entry out of the index, or locking, must not wipe them under the holder's feet.
TEST(VaultOperations, RemovingOrLockingLeavesTheNamesOfAnEarlierListReadable)
{
    const struct {
        const char* name;
        bool lock;  // else the first entry is removed
    } cases[] = {{"remove", false}, {"lock", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        // Built at run time, so that the index and the list share heap buffers with them.
        for (int i = 1; i <= 2; ++i)
            ASSERT_TRUE(f.import(QStringLiteral("report-") + QString::number(2020 + i) + QStringLiteral(".pdf"),
                                 test::patternBytes(100, static_cast<unsigned>(i))));
        const auto list = f.vault->listEntries();
        ASSERT_EQ(list.size(), 2u);
        if (c.lock)
            f.vault->lockSynchronously();
        else
            ASSERT_TRUE(f.vault->removeFile(list[0].name));
        EXPECT_EQ(list[0].name, QStringLiteral("report-2021.pdf"));
        EXPECT_EQ(list[1].name, QStringLiteral("report-2022.pdf"));
    }
}

TEST(VaultOperations, RekeyLeavesNothingUnderTheOldKey)
{
    Fixture f;
    ASSERT_TRUE(f.import(QStringLiteral("a"), test::patternBytes(3000, 1)));
    ASSERT_TRUE(f.import(QStringLiteral("b"), test::patternBytes(1, 2)));
    const crypto::SecureBuffer newKey = test::keyFromSeed(7);
    EXPECT_EQ(f.vault->rekey(newKey), VaultContainer::RekeyDone);
    EXPECT_EQ(f.vault->readFileBytes(QStringLiteral("a")), test::patternBytes(3000, 1));
    f.vault.reset();
    EXPECT_FALSE(test::reopenCopy(f.image->bytes, f.key));
    const auto state = test::reopenCopy(f.image->bytes, newKey);
    ASSERT_TRUE(state && state->contents);
    EXPECT_EQ(state->contents->size(), 2u);
}

TEST(VaultOperations, LockedContainerRefusesEverything)
{
    Fixture f;
    ASSERT_TRUE(f.import(QStringLiteral("a"), test::patternBytes(30, 1)));
    f.vault->lockSynchronously();
    EXPECT_TRUE(f.vault->isLocked());
    EXPECT_TRUE(f.vault->listEntries().empty());
    EXPECT_FALSE(f.import(QStringLiteral("b"), {1}));
    EXPECT_FALSE(f.vault->readFileBytes(QStringLiteral("a")));
    EXPECT_FALSE(f.vault->exportFile(QStringLiteral("a"), QDir(f.dir).filePath(QStringLiteral("x"))));
    EXPECT_FALSE(f.vault->removeFile(QStringLiteral("a")));
    EXPECT_EQ(f.vault->rekey(test::keyFromSeed(3)), VaultContainer::RekeyFailedUnchanged);
    f.vault.reset();
    EXPECT_TRUE(test::reopenCopy(f.image->bytes, f.key));  // locking changes nothing on disk
}

TEST(VaultOperations, IndexOverflowIsRefusedAndUndone)
{
    Fixture f;
    // Long names make each entry's index record large, so the slot fills after a few hundred imports.
    const QString pad(1500, QLatin1Char('n'));
    const QString source = test::writeFile(f.dir, QStringLiteral("src"), {1, 2, 3});
    int imported = 0;
    while (f.vault->importFile(source, pad + QString::number(imported)))
        ++imported;
    EXPECT_GT(imported, 100);
    EXPECT_LT(imported, 400);
    const quint64 generation = f.vault->generationCounter();
    EXPECT_EQ(f.vault->listEntries().size(), static_cast<std::size_t>(imported));
    EXPECT_FALSE(f.vault->importFile(source, QStringLiteral("x")) && f.vault->contains(pad + QString::number(imported)));
    // Removing one entry makes room again.
    ASSERT_TRUE(f.vault->removeFile(pad + QStringLiteral("0")));
    EXPECT_TRUE(f.vault->importFile(source, QStringLiteral("short")));
    EXPECT_GT(f.vault->generationCounter(), generation);
    f.vault.reset();
    const auto state = test::reopenCopy(f.image->bytes, f.key);
    ASSERT_TRUE(state && state->contents);
    EXPECT_EQ(state->contents->size(), static_cast<std::size_t>(imported));
}

TEST(VaultOperations, ConfinedRealPath)
{
    Fixture f;
    f.vault.reset();
    const QString dir = test::makeScratchDir();
    const QString file = test::writeFile(dir, QStringLiteral("vault.drvx"), f.image->bytes);
    const QString link = QDir(dir).filePath(QStringLiteral("link.drvx"));
    ASSERT_TRUE(QFile::link(file, link));
    EXPECT_EQ(VaultContainer::confinedRealPath(file), QFileInfo(file).canonicalFilePath());
    EXPECT_TRUE(VaultContainer::confinedRealPath(link).isEmpty());
    EXPECT_TRUE(VaultContainer::confinedRealPath(QString()).isEmpty());
    EXPECT_TRUE(VaultContainer::confinedRealPath(QDir(dir).filePath(QStringLiteral("none"))).isEmpty());
    EXPECT_TRUE(VaultContainer::confinedRealPath(test::writeFile(dir, QStringLiteral("plain"), {1, 2, 3})).isEmpty());
}
