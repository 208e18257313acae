#include "AccountFixture.h"

#include "core/SealedFile.h"
#include "vault/StorageConfig.h"
#include "vault/VaultRollbackGuard.h"

#include <QFileInfo>
#include <QJsonObject>

using dorvex::vault::RollbackCheckResult;
using dorvex::vault::StorageBackend;
using dorvex::vault::StorageConfig;
using dorvex::vault::VaultRollbackGuard;

namespace {

const QString kVaultA = QStringLiteral("3f2a9c4e-1b7d-4e8f-a6c2-9d0e5b7a1c34");
const QString kVaultB = QStringLiteral("7c1e0b5a-2d4f-4a9b-8e3c-6f1d2a0b9e57");
const QString kMachine = QStringLiteral("0123456789abcdef");

QString recordPath() { return dorvex::test::makeScratchDir() + QStringLiteral("/vault_generation.dat"); }
QString storagePath() { return dorvex::test::makeScratchDir() + QStringLiteral("/storage.dat"); }

RollbackCheckResult check(VaultRollbackGuard& guard, const QString& id, unsigned long long g, bool allowCreate,
                          bool expectAccepted)
{
    RollbackCheckResult result = RollbackCheckResult::SaveFailed;
    EXPECT_EQ(guard.checkAndAdvance(id, g, allowCreate, &result), expectAccepted) << g;
    return result;
}

// Seals an arbitrary object into storage.dat under the given binding, as a writer would.
void sealStorage(const QString& path, const QJsonObject& object, unsigned long long generation = 1)
{
    ASSERT_TRUE(dorvex::core::SealedFile::writeEncrypted(path, object,
                                                         StorageConfig::associatedData(kMachine, generation)));
}

QJsonObject defaultsAsJson(const QString& path)
{
    StorageConfig config(path, kMachine, 1);
    EXPECT_TRUE(config.setMaxVaultSizeBytes(0));
    auto read = dorvex::core::SealedFile::readEncrypted(path, dorvex::core::SealedKeySource::Load,
                                                    StorageConfig::associatedData(kMachine, 1), false);
    EXPECT_EQ(read.status, dorvex::core::SealedReadStatus::Ok);
    return read.object;
}

}  // namespace

TEST(VaultRollbackGuard, AcceptsEqualAndHigherRefusesLower)
{
    const QString path = recordPath();
    VaultRollbackGuard guard(path);
    EXPECT_EQ(guard.highestKnownGeneration(), 0u);
    EXPECT_EQ(check(guard, kVaultA, 1, false, false), RollbackCheckResult::RecordUnreadable);
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_EQ(check(guard, kVaultA, 1, true, true), RollbackCheckResult::Ok);
    EXPECT_TRUE(dorvex::test::readFile(path).endsWith("{\"vaults\":{\"" + kVaultA.toLatin1() + "\":\"1\"}}"));

    EXPECT_EQ(check(guard, kVaultA, 5, false, true), RollbackCheckResult::Ok);
    EXPECT_EQ(check(guard, kVaultA, 5, false, true), RollbackCheckResult::Ok);
    EXPECT_EQ(check(guard, kVaultA, 6, false, true), RollbackCheckResult::Ok);
    EXPECT_EQ(check(guard, kVaultA, 4, false, false), RollbackCheckResult::RolledBack);
    EXPECT_EQ(check(guard, kVaultB, 12, false, true), RollbackCheckResult::Ok);
    EXPECT_EQ(guard.highestKnownGeneration(), 12u);

    {
        dorvex::test::ReadOnlyFolder guardWrites(QFileInfo(path).absolutePath());
        MURRAVO_REQUIRE_READ_ONLY(guardWrites);
        EXPECT_EQ(check(guard, kVaultA, 7, false, false), RollbackCheckResult::SaveFailed);
    }

    EXPECT_TRUE(guard.forgetVault(kVaultB));
    EXPECT_EQ(guard.highestKnownGeneration(), 6u);
    const QByteArray before = dorvex::test::readFile(path);
    EXPECT_TRUE(guard.forgetVault(kVaultB));
    EXPECT_EQ(dorvex::test::readFile(path), before);

    ASSERT_TRUE(QFile::remove(path));
    EXPECT_EQ(check(guard, kVaultA, 6, false, false), RollbackCheckResult::RecordUnreadable);
    EXPECT_FALSE(guard.forgetVault(kVaultA));
}

TEST(VaultRollbackGuard, EditedRecordIsRefusedAndLeftAlone)
{
    const QString path = recordPath();
    VaultRollbackGuard guard(path);
    ASSERT_TRUE(guard.checkAndAdvance(kVaultA, 9, true, nullptr));
    QByteArray bytes = dorvex::test::readFile(path);
    bytes.replace("\"9\"", "\"1\"");
    dorvex::test::writeFile(path, bytes);

    EXPECT_EQ(check(guard, kVaultA, 1, true, false), RollbackCheckResult::RecordUnreadable);
    EXPECT_FALSE(guard.forgetVault(kVaultA));
    EXPECT_EQ(guard.highestKnownGeneration(), 0u);
    EXPECT_EQ(dorvex::test::readFile(path), bytes);
}

TEST(StorageConfig, DefaultsWithoutAFileAndTheFirstSetterCreatesIt)
{
    const QString path = storagePath();
    StorageConfig config(path, kMachine, 3);
    EXPECT_FALSE(config.isCorrupted());
    EXPECT_EQ(config.backend(), StorageBackend::Container);
    EXPECT_EQ(config.rawDiskClaim().sectorSize, 512u);
    EXPECT_EQ(config.maxVaultSizeBytes(), 0);
    EXPECT_FALSE(config.boundVaultIdRecorded());
    EXPECT_EQ(config.resolveContainerPath(QStringLiteral("/data")), QStringLiteral("/data/vault.drvx"));

    ASSERT_TRUE(config.setMaxVaultSizeBytes(1 << 20));
    EXPECT_TRUE(QFile::exists(path));
    EXPECT_TRUE(QFile::exists(path + QStringLiteral(".key")));
    EXPECT_TRUE(dorvex::test::readFile(path).startsWith("DRVXEJV1"));
    EXPECT_EQ(config.maxVaultSizeBytes(), 1 << 20);

    ASSERT_TRUE(config.setBoundVaultId(kVaultA));
    EXPECT_EQ(config.boundVaultId(), kVaultA);
    EXPECT_TRUE(config.boundVaultIdRecorded());
    ASSERT_TRUE(config.clearBoundVaultId());
    EXPECT_TRUE(config.boundVaultId().isEmpty());
    EXPECT_FALSE(config.boundVaultIdRecorded());
    EXPECT_EQ(config.maxVaultSizeBytes(), 1 << 20);
}

TEST(StorageConfig, BindingToMachineAndGeneration)
{
    const QString path = storagePath();
    StorageConfig config(path, kMachine, 4);
    ASSERT_TRUE(config.setPendingDeleteAttempts(2));

    EXPECT_TRUE(StorageConfig(path, QStringLiteral("another-machine"), 4).isCorrupted());
    EXPECT_TRUE(StorageConfig(path, kMachine, 5).isCorrupted());

    ASSERT_TRUE(config.rebind(kMachine, 5));
    EXPECT_EQ(config.generation(), 5u);
    EXPECT_TRUE(StorageConfig(path, kMachine, 4).isCorrupted());
    StorageConfig next(path, kMachine, 5);
    EXPECT_FALSE(next.isCorrupted());
    EXPECT_EQ(next.pendingDeleteAttempts(), 2);

    // An unreadable file is never overwritten with defaults.
    StorageConfig stale(path, kMachine, 4);
    const QByteArray before = dorvex::test::readFile(path);
    EXPECT_FALSE(stale.setPendingDeleteAttempts(0));
    EXPECT_FALSE(stale.rebind(kMachine, 6));
    EXPECT_EQ(dorvex::test::readFile(path), before);
}

TEST(StorageConfig, AuthenticatedFormIsReadAndRewrittenEncrypted)
{
    const QString path = storagePath();
    QJsonObject o = defaultsAsJson(path);
    o.insert(QStringLiteral("pendingDeletePath"), QStringLiteral("/old/vault.drvx"));
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(dorvex::core::SealedFile::writeAuthenticated(path, o));
    StorageConfig config(path, kMachine, 1);
    EXPECT_EQ(config.pendingDeletePath(), QStringLiteral("/old/vault.drvx"));
    ASSERT_TRUE(config.setPendingDeleteRawDisk(true));
    EXPECT_TRUE(dorvex::test::readFile(path).startsWith("DRVXEJV1"));
    EXPECT_EQ(config.pendingDeletePath(), QStringLiteral("/old/vault.drvx"));
}

TEST(StorageConfig, StoredValuesThatMakeTheReadFail)
{
    const QString probe = storagePath();
    const QJsonObject defaults = defaultsAsJson(probe);
    const struct {
        const char* name;
        const char* key;
        QJsonValue value;
        bool corrupted;
    } table[] = {
        {"negative size reads as zero", "maxVaultSizeBytes", QStringLiteral("-10"), false},
        {"digits then letters", "maxVaultSizeBytes", QStringLiteral("12ab"), true},
        {"rawdisk with an empty claim", "backend", QStringLiteral("rawdisk"), true},
        {"unknown backend reads as container", "backend", QStringLiteral("tape"), false},
    };
    for (const auto& row : table) {
        const QString path = storagePath();
        QJsonObject o = defaults;
        o.insert(QLatin1String(row.key), row.value);
        if (QLatin1String(row.key) == QLatin1String("backend") && row.value.toString() == QStringLiteral("rawdisk"))
            o.insert(QStringLiteral("rawDiskClaim"), QJsonObject());
        sealStorage(path, o);
        StorageConfig config(path, kMachine, 1);
        EXPECT_EQ(config.isCorrupted(), row.corrupted) << row.name;
        EXPECT_EQ(config.maxVaultSizeBytes(), 0) << row.name;
        EXPECT_EQ(config.backend(), StorageBackend::Container) << row.name;
    }

    // A sector size above 32 bits, and a claim that reads back unchanged.
    const QString path = storagePath();
    QJsonObject o = defaults;
    QJsonObject claim = o.value(QStringLiteral("rawDiskClaim")).toObject();
    claim.insert(QStringLiteral("sectorSize"), QStringLiteral("4294967296"));
    o.insert(QStringLiteral("rawDiskClaim"), claim);
    sealStorage(path, o);
    EXPECT_TRUE(StorageConfig(path, kMachine, 1).isCorrupted());

    StorageConfig rawDisk(storagePath(), kMachine, 1);
    StorageConfig::RawDiskClaim c;
    c.diskNumber = 2;
    c.claimedStartOffset = 1ULL << 40;
    c.claimedLength = 123456789;
    c.sectorSize = 4294967295u;
    c.diskSerialHash = QByteArray("\x01\x02\xff", 3);
    ASSERT_TRUE(rawDisk.setRawDiskClaim(c));
    EXPECT_EQ(rawDisk.backend(), StorageBackend::RawDisk);
    const auto back = rawDisk.rawDiskClaim();
    EXPECT_EQ(back.diskNumber, 2);
    EXPECT_EQ(back.claimedStartOffset, 1ULL << 40);
    EXPECT_EQ(back.claimedLength, 123456789u);
    EXPECT_EQ(back.sectorSize, 4294967295u);
    EXPECT_EQ(back.diskSerialHash, c.diskSerialHash);
    ASSERT_TRUE(rawDisk.setContainerBackend());
    EXPECT_EQ(rawDisk.backend(), StorageBackend::Container);
    EXPECT_EQ(rawDisk.rawDiskClaim().sectorSize, 512u);
}

TEST(StorageConfig, ValidatorsAndContainerPathResolution)
{
    const struct {
        const char* name;
        bool valid;
    } names[] = {{"vault.drvx", true}, {"", false}, {".", false}, {"..", false}, {"a/b", false}, {"a\\b", false},
                 {"...", true}};
    for (const auto& n : names)
        EXPECT_EQ(StorageConfig::isValidOverrideFileName(QString::fromLatin1(n.name)), n.valid) << n.name;

    const struct {
        const char* path;
        bool valid;
    } dirs[] = {{"/home/alice/Vaults", true}, {"", false},          {"relative/dir", false},
                {"//server/share", false},    {"\\\\server\\share", false}, {"../up", false},
                {"/a/b/..", true}};
    for (const auto& d : dirs)
        EXPECT_EQ(StorageConfig::isValidOverrideDirectory(QString::fromLatin1(d.path)), d.valid) << d.path;

    const QString path = storagePath();
    StorageConfig config(path, kMachine, 1);
    StorageConfig::ContainerConfig bad;
    bad.overrideFileName = QStringLiteral("../escape.drvx");
    EXPECT_FALSE(config.setContainerConfig(bad));
    EXPECT_FALSE(QFile::exists(path));

    StorageConfig::ContainerConfig good;
    good.overrideDirectory = QStringLiteral("/srv/vaults");
    good.overrideFileName = QStringLiteral("mine.drvx");
    good.hidden = true;
    ASSERT_TRUE(config.setContainerConfig(good));
    EXPECT_EQ(config.resolveContainerPath(QStringLiteral("/data")), QStringLiteral("/srv/vaults/mine.drvx"));
    EXPECT_TRUE(config.containerConfig().hidden);

    // Invalid overrides that reached the file are ignored, not reported.
    QJsonObject o = dorvex::core::SealedFile::readEncrypted(path, dorvex::core::SealedKeySource::Load,
                                                    StorageConfig::associatedData(kMachine, 1), false).object;
    QJsonObject container = o.value(QStringLiteral("container")).toObject();
    container.insert(QStringLiteral("overrideFileName"), QStringLiteral(".."));
    container.insert(QStringLiteral("overrideDirectory"), QStringLiteral("relative"));
    o.insert(QStringLiteral("container"), container);
    sealStorage(path, o);
    EXPECT_EQ(config.resolveContainerPath(QStringLiteral("/data")), QStringLiteral("/data/vault.drvx"));
}
