#include "AccountFixture.h"

#include "core/AuthenticatedJson.h"
#include "core/LocalIntegrityKey.h"
#include "core/LoginLockout.h"
#include "core/SealedFile.h"

#include <QJsonObject>

using dorvex::core::LoginLockout;
using dorvex::test::FakeClock;

namespace {

struct LockoutFiles {
    QString dir = dorvex::test::makeScratchDir();
    QString path = dir + QStringLiteral("/identity.dat.lockout");
    QString keyPath = path + QStringLiteral(".key");
};

void fail(LoginLockout& lockout, int times)
{
    for (int i = 0; i < times; ++i)
        ASSERT_TRUE(lockout.recordFailure());
}

QJsonObject storedState(const QString& path)
{
    const auto read = dorvex::core::SealedFile::readAuthenticated(path, dorvex::core::SealedKeySource::GetOrCreate);
    EXPECT_EQ(read.status, dorvex::core::SealedReadStatus::Ok);
    return read.object;
}

}  // namespace

TEST(LoginLockout, ScheduleAfterEachCountedFailure)
{
    const struct {
        int count;
        int seconds;
    } table[] = {{0, 0},  {1, 0},  {5, 0},  {6, 2},  {7, 4},     {8, 8},
                 {9, 16}, {10, 32}, {11, 60}, {12, 60}, {1000000, 60}};
    for (const auto& row : table)
        EXPECT_EQ(LoginLockout::cooldownSecondsFor(row.count), row.seconds) << row.count;
}

TEST(LoginLockout, FailuresRaiseTheWaitAndSuccessResets)
{
    FakeClock clock;
    LockoutFiles f;
    LoginLockout lockout(f.path);

    fail(lockout, 5);
    EXPECT_EQ(lockout.secondsUntilNextAttemptAllowed(), 0);
    fail(lockout, 1);
    EXPECT_EQ(lockout.secondsUntilNextAttemptAllowed(), 2);
    clock.advanceSecs(1);
    EXPECT_EQ(lockout.secondsUntilNextAttemptAllowed(), 1);
    clock.advanceSecs(1);
    EXPECT_EQ(lockout.secondsUntilNextAttemptAllowed(), 0);
    fail(lockout, 5);  // eleventh
    EXPECT_EQ(lockout.secondsUntilNextAttemptAllowed(), 60);
    fail(lockout, 1);
    EXPECT_EQ(lockout.secondsUntilNextAttemptAllowed(), 60);

    // A fresh instance on the same file sees the stored state.
    EXPECT_EQ(LoginLockout(f.path).secondsUntilNextAttemptAllowed(), 60);

    clock.advanceSecs(5);
    lockout.recordSuccess();
    EXPECT_EQ(lockout.secondsUntilNextAttemptAllowed(), 0);
    const QJsonObject stored = storedState(f.path);
    EXPECT_EQ(stored.value(QStringLiteral("failedCount")).toInt(-1), 0);
    EXPECT_EQ(stored.value(QStringLiteral("cooldownUntil")).toString(QStringLiteral("x")), QString());
    EXPECT_EQ(stored.value(QStringLiteral("lastSeen")).toString(), clock.now().toString(Qt::ISODate));
}

TEST(LoginLockout, TurningTheClockBackNeverShortensTheWait)
{
    FakeClock clock;
    LockoutFiles f;
    LoginLockout lockout(f.path);
    fail(lockout, 11);
    const QDateTime failedAt = clock.now();
    ASSERT_EQ(lockout.secondsUntilNextAttemptAllowed(), 60);

    clock.advanceSecs(-3600);
    EXPECT_EQ(lockout.secondsUntilNextAttemptAllowed(), 60);
    clock.set(failedAt.addSecs(-1));
    EXPECT_EQ(lockout.secondsUntilNextAttemptAllowed(), 60);
    clock.set(failedAt.addSecs(10));
    EXPECT_EQ(lockout.secondsUntilNextAttemptAllowed(), 50);

    // A failure recorded while the clock is behind does not move lastSeen backwards.
    clock.advanceSecs(-7200);
    fail(lockout, 1);
    EXPECT_EQ(storedState(f.path).value(QStringLiteral("lastSeen")).toString(), failedAt.toString(Qt::ISODate));
}

TEST(LoginLockout, StoredCountIsClamped)
{
    FakeClock clock;
    const struct {
        int stored;
        int countAfterOneMoreFailure;
        int waitAfterOneMoreFailure;
    } table[] = {{-3, 1, 0}, {5000000, 1000001, 60}, {4, 5, 0}, {5, 6, 2}};
    for (const auto& row : table) {
        LockoutFiles f;
        QJsonObject o;
        o.insert(QStringLiteral("failedCount"), row.stored);
        o.insert(QStringLiteral("cooldownUntil"), QString());
        o.insert(QStringLiteral("lastSeen"), QString());
        ASSERT_TRUE(dorvex::core::SealedFile::writeAuthenticated(f.path, o));
        LoginLockout lockout(f.path);
        EXPECT_TRUE(lockout.recordFailure());
        EXPECT_EQ(lockout.secondsUntilNextAttemptAllowed(), row.waitAfterOneMoreFailure) << row.stored;
        EXPECT_EQ(storedState(f.path).value(QStringLiteral("failedCount")).toInt(), row.countAfterOneMoreFailure)
            << row.stored;
    }
}

TEST(LoginLockout, TamperingOrRemovalImposesThePenalty)
{
    enum class Damage { FlipByte, DeleteFile, DeleteFileAndSidecar, NotAnObject, KeychainRootLost };
    const struct {
        const char* name;
        Damage damage;
        int newProcessWait;
    } table[] = {
        {"edited byte", Damage::FlipByte, 2},
        {"file deleted, sidecar kept", Damage::DeleteFile, 2},
        {"file and sidecar deleted", Damage::DeleteFileAndSidecar, 0},
        {"payload not an object", Damage::NotAnObject, 2},
        {"keychain root lost is not tampering", Damage::KeychainRootLost, 0},
    };
    for (const auto& row : table) {
        FakeClock clock;
        LockoutFiles f;
        LoginLockout running(f.path);
        fail(running, 2);
        ASSERT_EQ(running.secondsUntilNextAttemptAllowed(), 0);

        switch (row.damage) {
        case Damage::FlipByte: {
            QByteArray bytes = dorvex::test::readFile(f.path);
            bytes[bytes.size() - 3] = static_cast<char>(bytes[bytes.size() - 3] ^ 0x01);
            dorvex::test::writeFile(f.path, bytes);
            break;
        }
        case Damage::DeleteFile:
            ASSERT_TRUE(QFile::remove(f.path));
            break;
        case Damage::DeleteFileAndSidecar:
            ASSERT_TRUE(QFile::remove(f.path));
            ASSERT_TRUE(QFile::remove(f.keyPath));
            break;
        case Damage::KeychainRootLost:
            ASSERT_TRUE(dorvex::core::LocalIntegrityKey::isTpmProtected(f.keyPath));
            dorvex::test::loseKeychainRoots();
            break;
        case Damage::NotAnObject: {
            const auto key = dorvex::core::LocalIntegrityKey::getOrCreate(f.keyPath);
            ASSERT_TRUE(dorvex::core::SealedFile::writeAtomically(
                f.path, dorvex::core::AuthenticatedJson::seal(QByteArrayLiteral("[1,2]"), key)));
            break;
        }
        }

        LoginLockout fresh(f.path);
        EXPECT_EQ(fresh.secondsUntilNextAttemptAllowed(), row.newProcessWait) << row.name;
        if (row.newProcessWait != 0) {
            const QJsonObject penalty = storedState(f.path);
            EXPECT_EQ(penalty.value(QStringLiteral("failedCount")).toInt(), 6) << row.name;
            EXPECT_EQ(penalty.value(QStringLiteral("cooldownUntil")).toString(),
                      clock.now().addSecs(2).toString(Qt::ISODate))
                << row.name;
        }
    }
}

TEST(LoginLockout, InMemoryCountWinsOverADeletedOrPenalisedFile)
{
    FakeClock clock;
    LockoutFiles f;
    LoginLockout running(f.path);
    fail(running, 11);
    ASSERT_EQ(running.secondsUntilNextAttemptAllowed(), 60);

    ASSERT_TRUE(QFile::remove(f.path));
    ASSERT_TRUE(QFile::remove(f.keyPath));
    EXPECT_EQ(running.secondsUntilNextAttemptAllowed(), 60);
    EXPECT_EQ(LoginLockout(f.path).secondsUntilNextAttemptAllowed(), 0);

    QByteArray bytes = dorvex::test::readFile(f.path);
    if (bytes.isEmpty()) {
        ASSERT_TRUE(running.recordFailure());
        bytes = dorvex::test::readFile(f.path);
    }
    bytes[45] = static_cast<char>(bytes[45] ^ 0x20);
    dorvex::test::writeFile(f.path, bytes);
    EXPECT_EQ(running.secondsUntilNextAttemptAllowed(), 60);
}

TEST(LoginLockout, UnwritableFileStillCountsInMemory)
{
    FakeClock clock;
    LockoutFiles f;
    LoginLockout lockout(f.path);
    {
        dorvex::test::ReadOnlyFolder guard(f.dir);
        MURRAVO_REQUIRE_READ_ONLY(guard);
        for (int i = 0; i < 6; ++i)
            EXPECT_FALSE(lockout.recordFailure());
    }
    EXPECT_EQ(lockout.secondsUntilNextAttemptAllowed(), 2);
}
