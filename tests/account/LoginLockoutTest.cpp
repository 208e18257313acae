#include "AccountFixture.h"

#include "core/AuthManager.h"
#include "core/AuthenticatedJson.h"
#include "core/LocalIntegrityKey.h"
#include "core/LoginLockout.h"
#include "core/SealedFile.h"

#include <QDir>
#include <QJsonObject>

#include <optional>
#include <string>

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
        {"edited byte", Damage::FlipByte, 60},
        {"file deleted, sidecar kept", Damage::DeleteFile, 60},
        {"file and sidecar deleted", Damage::DeleteFileAndSidecar, 0},
        {"payload not an object", Damage::NotAnObject, 60},
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
            EXPECT_EQ(penalty.value(QStringLiteral("failedCount")).toInt(), 11) << row.name;
            EXPECT_EQ(penalty.value(QStringLiteral("cooldownUntil")).toString(),
                      clock.now().addSecs(60).toString(Qt::ISODate))
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

namespace {

enum class FileDamage { EditByte, Truncate, Directory, EditByteUnwritable };

struct DamageRow {
    const char* name;
    FileDamage damage;
    // EditByte*: where, found from the start of this text in the file (empty: at `offset`);
    // Truncate: how many bytes are kept.
    const char* marker;
    qsizetype offset;
};

// Index of the byte a row edits: `offset` bytes past the start of `marker`, or `offset` itself.
qsizetype editedIndex(const QByteArray& bytes, const DamageRow& row)
{
    if (row.marker == nullptr || row.marker[0] == '\0')
        return row.offset;
    const qsizetype at = bytes.indexOf(row.marker);
    return at < 0 ? -1 : at + row.offset;
}

const DamageRow kDamageRows[] = {
    {"magic", FileDamage::EditByte, "", 3},
    {"tag, first byte", FileDamage::EditByte, "", 8},
    {"tag, last byte", FileDamage::EditByte, "", 39},
    {"payload opening brace", FileDamage::EditByte, "", 40},
    {"cooldownUntil value", FileDamage::EditByte, "\"cooldownUntil\":\"", 17 + 15},
    {"failedCount value", FileDamage::EditByte, "\"failedCount\":", 14},
    {"lastSeen value", FileDamage::EditByte, "\"lastSeen\":\"", 12 + 3},
    {"payload closing brace", FileDamage::EditByte, "}", 0},
    {"truncated to the header", FileDamage::Truncate, "", 40},
    {"truncated by one byte", FileDamage::Truncate, "", -1},
    {"emptied", FileDamage::Truncate, "", 0},
    {"replaced by a directory", FileDamage::Directory, "", 0},
    {"edited byte in a folder that cannot be written", FileDamage::EditByteUnwritable, "\"failedCount\":", 14},
};

// Applies the row's damage; false when this machine cannot produce it.
bool damage(const LockoutFiles& f, const DamageRow& row)
{
    QByteArray bytes = dorvex::test::readFile(f.path);
    switch (row.damage) {
    case FileDamage::EditByte:
    case FileDamage::EditByteUnwritable: {
        const qsizetype i = editedIndex(bytes, row);
        EXPECT_GE(i, 0) << row.name;
        EXPECT_LT(i, bytes.size()) << row.name;
        if (i < 0 || i >= bytes.size())
            return false;
        bytes[i] = static_cast<char>(bytes[i] ^ 0x01);
        break;
    }
    case FileDamage::Truncate:
        bytes.truncate(row.offset >= 0 ? row.offset : bytes.size() + row.offset);
        break;
    case FileDamage::Directory:
        return QFile::remove(f.path) && QDir().mkdir(f.path);
    }
    QFile file(f.path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

}  // namespace

// A file that cannot be read back honestly is no excuse for a shorter wait than the one it
// held, and a penalty that cannot be written keeps its own start instead of restarting.
TEST(LoginLockout, DamagedFileNeverShortensTheHonestWait)
{
    for (const DamageRow& row : kDamageRows) {
        FakeClock clock;
        LockoutFiles f;
        {
            LoginLockout honest(f.path);
            fail(honest, 11);
        }
        const QDateTime damagedAt = clock.now();
        ASSERT_TRUE(damage(f, row)) << row.name;

        std::optional<dorvex::test::ReadOnlyFolder> guard;
        if (row.damage == FileDamage::EditByteUnwritable) {
            guard.emplace(f.dir);
            if (!guard->active()) {
                ADD_FAILURE() << row.name << ": cannot make a folder read-only here";
                continue;
            }
        }

        // Reported once per row: the first second at which a reader waited less than honestly.
        LoginLockout fresh(f.path);
        std::string shortWait;
        for (int elapsed = 0; elapsed < LoginLockout::kMaxCooldownSeconds && shortWait.empty(); ++elapsed) {
            clock.set(damagedAt.addSecs(elapsed));
            const int honestWait = LoginLockout::kMaxCooldownSeconds - elapsed;
            const int running = fresh.secondsUntilNextAttemptAllowed();
            const int another = LoginLockout(f.path).secondsUntilNextAttemptAllowed();
            if (running < honestWait || another < honestWait)
                shortWait = "after " + std::to_string(elapsed) + " s: " + std::to_string(running) + " s here, "
                            + std::to_string(another) + " s in another process, honest "
                            + std::to_string(honestWait) + " s";
        }
        EXPECT_EQ(shortWait, "") << row.name;
        clock.set(damagedAt.addSecs(LoginLockout::kMaxCooldownSeconds));
        EXPECT_EQ(fresh.secondsUntilNextAttemptAllowed(), 0) << row.name;
    }
}

// The sign-in in front of a lockout that cannot be recorded: refused for the penalty, then the
// right password is accepted, and keeps being accepted.
TEST(LoginLockout, UnrecordablePenaltyReleasesTheRightPasswordOnTime)
{
    const std::string password = "Correct-Horse-9";
    for (const DamageRow& row : kDamageRows) {
        if (row.damage != FileDamage::Directory && row.damage != FileDamage::EditByteUnwritable)
            continue;
        FakeClock clock;
        const QString dir = dorvex::test::makeScratchDir();
        const QString identity = dir + QStringLiteral("/identity.dat");
        const LockoutFiles f{dir, identity + QStringLiteral(".lockout"), identity + QStringLiteral(".lockout.key")};
        {
            dorvex::core::AuthManager auth(identity);
            ASSERT_TRUE(auth.createIdentity(QStringLiteral("alice"), password)) << row.name;
            dorvex::core::LoginFailureReason reason{};
            ASSERT_FALSE(auth.login("Wrong-Password-1", true, QString(), nullptr, &reason)) << row.name;
        }
        const QDateTime damagedAt = clock.now();
        ASSERT_TRUE(damage(f, row)) << row.name;
        std::optional<dorvex::test::ReadOnlyFolder> guard;
        if (row.damage == FileDamage::EditByteUnwritable) {
            guard.emplace(dir);
            if (!guard->active()) {
                ADD_FAILURE() << row.name << ": cannot make a folder read-only here";
                continue;
            }
        }

        dorvex::core::AuthManager auth(identity);
        const auto attempt = [&](int atSecond) {
            clock.set(damagedAt.addSecs(atSecond));
            dorvex::core::LoginFailureReason reason = dorvex::core::WrongPassword;
            const bool signedIn = auth.login(password, true, QString(), nullptr, &reason).has_value();
            return signedIn ? std::string("signed in") : "refused, reason " + std::to_string(static_cast<int>(reason));
        };
        EXPECT_EQ(attempt(0), "refused, reason 1") << row.name;
        EXPECT_EQ(attempt(LoginLockout::kMaxCooldownSeconds - 1), "refused, reason 1") << row.name;
        EXPECT_EQ(attempt(LoginLockout::kMaxCooldownSeconds), "signed in") << row.name;
        EXPECT_EQ(attempt(LoginLockout::kMaxCooldownSeconds + 1), "signed in") << row.name;
    }
}
