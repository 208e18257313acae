// A FIFO, a folder or a link to a device in place of a data-folder file: every reader returns
// at once and reacts exactly as it does to that file damaged.
#include "AccountFixture.h"
#include "HangGuard.h"

#include "core/AuthManager.h"
#include "core/IdleLockSettings.h"
#include "core/LocalIntegrityKey.h"
#include "core/LoginLockout.h"
#include "core/TwoFactorManager.h"
#include "crypto/AeadCipher.h"
#include "vault/StorageConfig.h"
#include "vault/VaultRollbackGuard.h"

#include <QDir>

#include <sys/stat.h>

#include <string>
#include <tuple>

using namespace dorvex;

namespace {

const std::string kPassword = "Correct-Horse-9";
const QString kVaultId = QStringLiteral("3f2a9c4e-1b7d-4e8f-a6c2-9d0e5b7a1c34");
const QString kMachine = QStringLiteral("machine-1");

QString in(const QString& dir, const char* name) { return dir + QLatin1Char('/') + QLatin1String(name); }

// An account folder with every sealed file and its sidecar.
void makeAccount(const QString& dir)
{
    core::AuthManager auth(in(dir, "identity.dat"));
    const auto key = auth.createIdentity(QStringLiteral("alice"), kPassword);
    ASSERT_TRUE(key);
    ASSERT_TRUE(core::LoginLockout(in(dir, "identity.dat.lockout")).recordFailure());
    ASSERT_TRUE(core::TwoFactorManager(in(dir, "twofactor.dat")).restoreFromSecret(*key, crypto::AeadCipher::generateKey()));
    ASSERT_TRUE(core::IdleLockSettings(in(dir, "idlelock.dat")).writeTimeoutMinutes(3));
    ASSERT_TRUE(vault::VaultRollbackGuard(in(dir, "vault_generation.dat")).checkAndAdvance(kVaultId, 4, true, nullptr));
    ASSERT_TRUE(vault::StorageConfig(in(dir, "storage.dat"), kMachine, 4).setBoundVaultId(kVaultId));
}

// What every reader of the folder makes of it, in the order a start and a sign-in read it.
using Observed = std::tuple<bool, int, bool, bool, int, int>;

Observed observe(const QString& dir)
{
    core::LocalIntegrityKey::clearCache();
    const bool storageCorrupt = vault::StorageConfig(in(dir, "storage.dat"), kMachine, 4).isCorrupted();
    core::LoginFailureReason reason = core::WrongPassword;
    const bool signedIn = core::AuthManager(in(dir, "identity.dat")).login(kPassword, false, QString(), nullptr, &reason)
                              .has_value();
    const bool lockedOut = core::LoginLockout(in(dir, "identity.dat.lockout")).secondsUntilNextAttemptAllowed() >= 2;
    const bool twoFactor = core::TwoFactorManager(in(dir, "twofactor.dat")).isEnabled();
    const int idle = core::IdleLockSettings(in(dir, "idlelock.dat")).timeoutMinutes();
    vault::RollbackCheckResult rollback = vault::RollbackCheckResult::Ok;
    static_cast<void>(vault::VaultRollbackGuard(in(dir, "vault_generation.dat")).checkAndAdvance(kVaultId, 4, false,
                                                                                                   &rollback));
    return {storageCorrupt, signedIn ? -1 : static_cast<int>(reason), lockedOut, twoFactor, idle,
            static_cast<int>(rollback)};
}

std::string describe(const Observed& o)
{
    return "storage corrupt " + std::to_string(std::get<0>(o)) + ", login " + std::to_string(std::get<1>(o))
           + ", locked out " + std::to_string(std::get<2>(o)) + ", two-factor " + std::to_string(std::get<3>(o))
           + ", idle " + std::to_string(std::get<4>(o)) + ", rollback " + std::to_string(std::get<5>(o));
}

const char* const kDataFiles[] = {
    "identity.dat",         "identity.dat.key",         "identity.dat.lockout", "identity.dat.lockout.key",
    "twofactor.dat",        "twofactor.dat.key",        "idlelock.dat",         "idlelock.dat.key",
    "vault_generation.dat", "vault_generation.dat.key", "storage.dat",          "storage.dat.key",
    "local_integrity_root.account",
};

struct Kind {
    const char* name;
    // Puts something that is not a regular file at path.
    bool (*place)(const QString& path, const QString& spare);
};

bool placeFifo(const QString& path, const QString&) { return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0; }
bool placeFolder(const QString& path, const QString&) { return QDir().mkdir(path); }
bool placeZeroLink(const QString& path, const QString&) { return QFile::link(QStringLiteral("/dev/zero"), path); }
bool placeFifoLink(const QString& path, const QString& spare)
{
    return ::mkfifo(QFile::encodeName(spare).constData(), 0600) == 0 && QFile::link(spare, path);
}

const Kind kKinds[] = {
    {"FIFO", placeFifo},
    {"folder", placeFolder},
    {"link to /dev/zero", placeZeroLink},
    {"link to a FIFO", placeFifoLink},
};

}  // namespace

TEST(NonRegularFile, EveryReaderTreatsItAsThatFileDamaged)
{
    test::FakeClock clock;
    test::HangGuard guard;
    for (const char* file : kDataFiles) {
        SCOPED_TRACE(file);
        guard.at(std::string(file) + ", damaged");
        const QString intact = test::makeScratchDir();
        makeAccount(intact);
        const Observed normal = observe(intact);

        const QString damagedDir = test::makeScratchDir();
        makeAccount(damagedDir);
        test::writeFile(in(damagedDir, file), QByteArrayLiteral("damaged"));
        const Observed damaged = observe(damagedDir);
        ASSERT_NE(damaged, normal) << "the file is not read at all";

        for (const Kind& kind : kKinds) {
            SCOPED_TRACE(kind.name);
            guard.at(std::string(file) + ", " + kind.name);
            const QString dir = test::makeScratchDir();
            makeAccount(dir);
            ASSERT_TRUE(QFile::remove(in(dir, file)));
            ASSERT_TRUE(kind.place(in(dir, file), dir + QStringLiteral("-spare-fifo")));
            const Observed seen = observe(dir);
            EXPECT_EQ(seen, damaged) << describe(seen) << " instead of " << describe(damaged);
        }
    }
}

// A leftover identity backup that is not a file is removed, never followed: the file a link
// points to keeps its bytes.
TEST(NonRegularFile, LeftoverIdentityBackupIsRemovedNotFollowed)
{
    test::FakeClock clock;
    test::HangGuard guard;
    for (const Kind& kind : kKinds) {
        if (kind.place == placeFolder)
            continue;
        SCOPED_TRACE(kind.name);
        guard.at(kind.name);
        const QString dir = test::makeScratchDir();
        core::AuthManager auth(in(dir, "identity.dat"));
        const auto key = auth.createIdentity(QStringLiteral("alice"), kPassword);
        ASSERT_TRUE(key);
        ASSERT_TRUE(kind.place(in(dir, "identity.dat.oldcopy"), dir + QStringLiteral("-spare-fifo")));
        EXPECT_TRUE(auth.bindVaultKeyToVaultIdentity(*key, kVaultId));
        EXPECT_FALSE(QFileInfo(in(dir, "identity.dat.oldcopy")).isSymLink());
        EXPECT_FALSE(QFileInfo::exists(in(dir, "identity.dat.oldcopy")));
    }

    const QString dir = test::makeScratchDir();
    const QString target = dir + QStringLiteral("-someone-elses-file");
    test::writeFile(target, QByteArrayLiteral("not ours to erase"));
    core::AuthManager auth(in(dir, "identity.dat"));
    const auto key = auth.createIdentity(QStringLiteral("alice"), kPassword);
    ASSERT_TRUE(key);
    ASSERT_TRUE(QFile::link(target, in(dir, "identity.dat.oldcopy")));
    EXPECT_TRUE(auth.bindVaultKeyToVaultIdentity(*key, kVaultId));
    EXPECT_EQ(test::readFile(target), QByteArrayLiteral("not ours to erase"));
    EXPECT_FALSE(QFileInfo(in(dir, "identity.dat.oldcopy")).isSymLink());
}
