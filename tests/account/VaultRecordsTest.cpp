#include "AccountFixture.h"

#include "core/SealedFile.h"
#include "vault/StorageConfig.h"
#include "vault/VaultRollbackGuard.h"
#include "vault/GenerationBinding.h"
#include "core/AtomicFile.h"

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

// What a start makes of storage.dat after advances, interrupted or not. The advance binds the
// configuration first and then raises the record; a copy from before the last completed
// advance must never open again, and a binding an interruption left ahead must.
TEST(StorageConfigAtStart, CopiesFromBeforeTheLastRebindAreRefused)
{
    using dorvex::vault::advanceRollbackRecord;
    using dorvex::vault::adoptPendingBinding;
    struct Case {
        const char* name;
        int failRecordAtAdvance;  // 0: every advance completes; n: the record write of the nth fails
        unsigned long long generations[3];
        int restoreCopyTakenAfter;  // -1: none; n: storage.dat as it was after the nth advance
        bool opens;
        unsigned long long boundAtStart;
    };
    const Case cases[] = {
        {"completed advances", 0, {2, 3, 40}, -1, true, 40},
        {"the record write of the last advance failed", 3, {2, 3, 40}, -1, true, 40},
        {"the record write of a middle advance failed, the next one completed", 2, {2, 3, 40}, -1, true, 40},
        {"a jump beyond the window completes in steps", 0, {2, 3, 5000}, -1, true, 5000},
        {"a jump beyond the window interrupted", 3, {2, 3, 5000}, -1, true, 3 + StorageConfig::kPendingBindingWindow},
        {"copy from before the last completed advance", 0, {2, 3, 40}, 1, false, 0},
        {"copy from before two completed advances", 0, {2, 3, 40}, 0, false, 0},
        {"copy from an interrupted advance the next one completed", 2, {2, 3, 40}, 1, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString dir = dorvex::test::makeScratchDir();
        const QString settings = dir + QStringLiteral("/storage.dat");
        VaultRollbackGuard guard(dir + QStringLiteral("/vault_generation.dat"));
        ASSERT_TRUE(guard.checkAndAdvance(kVaultA, 1, true, nullptr));
        StorageConfig storage(settings, kMachine, 1);
        ASSERT_TRUE(storage.setBoundVaultId(kVaultA));
        QByteArray copies[3];
        for (int i = 0; i < 3; ++i) {
            const bool failRecord = c.failRecordAtAdvance == i + 1;
            // The record is the second file the advance writes.
            if (failRecord) {
                dorvex::core::AtomicFile::setStepHook(
                    [](dorvex::core::AtomicFile::Step step, const QString& path, int) {
                        return step != dorvex::core::AtomicFile::Step::Rename
                               || !path.contains(QStringLiteral("vault_generation.dat"));
                    });
            }
            const RollbackCheckResult result =
                advanceRollbackRecord(storage, guard, kMachine, kVaultA, c.generations[i], false);
            dorvex::core::AtomicFile::setStepHook({});
            EXPECT_EQ(result, failRecord ? RollbackCheckResult::SaveFailed : RollbackCheckResult::Ok) << i;
            copies[i] = dorvex::test::readFile(settings);
        }
        if (c.restoreCopyTakenAfter >= 0) {
            QFile file(settings);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(copies[c.restoreCopyTakenAfter]);
        }
        StorageConfig atStart(settings, kMachine, VaultRollbackGuard(guard.recordPath()).highestKnownGeneration());
        EXPECT_EQ(adoptPendingBinding(atStart), c.opens);
        EXPECT_EQ(atStart.isCorrupted(), !c.opens);
        if (c.opens) {
            EXPECT_EQ(atStart.generation(), c.boundAtStart);
            EXPECT_EQ(atStart.boundVaultId(), kVaultA);
            // The next advance from there leaves both files at the vault's generation.
            EXPECT_EQ(advanceRollbackRecord(atStart, guard, kMachine, kVaultA, c.generations[2], false),
                      RollbackCheckResult::Ok);
            EXPECT_EQ(guard.highestKnownGeneration(), c.generations[2]);
            EXPECT_EQ(atStart.generation(), c.generations[2]);
        }
    }
}

// Before anything is written the record must accept the generation; a refused advance writes
// neither file.
TEST(StorageConfigAtStart, ARefusedAdvanceWritesNothing)
{
    const QString dir = dorvex::test::makeScratchDir();
    VaultRollbackGuard guard(dir + QStringLiteral("/vault_generation.dat"));
    ASSERT_TRUE(guard.checkAndAdvance(kVaultA, 7, true, nullptr));
    StorageConfig storage(dir + QStringLiteral("/storage.dat"), kMachine, 7);
    ASSERT_TRUE(storage.setMaxVaultSizeBytes(5));
    const QByteArray record = dorvex::test::readFile(guard.recordPath());
    const QByteArray settings = dorvex::test::readFile(storage.settingsPath());
    EXPECT_EQ(dorvex::vault::advanceRollbackRecord(storage, guard, kMachine, kVaultA, 6, false),
              RollbackCheckResult::RolledBack);
    EXPECT_EQ(dorvex::test::readFile(guard.recordPath()), record);
    EXPECT_EQ(dorvex::test::readFile(storage.settingsPath()), settings);
    EXPECT_EQ(storage.generation(), 7u);
    // Another vault's higher generation moves the binding with it.
    EXPECT_EQ(dorvex::vault::advanceRollbackRecord(storage, guard, kMachine, kVaultB, 9, false),
              RollbackCheckResult::Ok);
    EXPECT_EQ(storage.generation(), 9u);
    VaultRollbackGuard missing(dir + QStringLiteral("/none.dat"));
    EXPECT_EQ(dorvex::vault::advanceRollbackRecord(storage, missing, kMachine, kVaultA, 10, false),
              RollbackCheckResult::RecordUnreadable);
    EXPECT_EQ(storage.generation(), 9u);
    EXPECT_FALSE(QFile::exists(missing.recordPath()));
}
