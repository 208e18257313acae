// Every sealed file of the account and storage records, and each sidecar key, with every byte
// flipped in turn: the owner must react as documented, never crash and never accept silently.
#include "AccountFixture.h"

#include "core/AuthManager.h"
#include "core/IdleLockSettings.h"
#include "core/LoginLockout.h"
#include "core/TwoFactorManager.h"
#include "crypto/AeadCipher.h"
#include "vault/StorageConfig.h"
#include "vault/VaultRollbackGuard.h"

#include <functional>

using namespace dorvex;

namespace {

const QString kVaultId = QStringLiteral("3f2a9c4e-1b7d-4e8f-a6c2-9d0e5b7a1c34");
const QString kMachine = QStringLiteral("machine-1");

struct Owner {
    const char* file;
    // Writes a valid file into the folder.
    std::function<void(const QString& dir)> create;
    // true when the owner shows its documented reaction to a damaged file.
    std::function<bool(const QString& dir)> reacts;
    // Bytes of the sealed file that carry no meaning, so changing them changes nothing read.
    std::function<bool(const QByteArray& file, qsizetype index)> meaningless = nullptr;
};

// AES-256-GCM takes only the first 12 of the 24 stored nonce bytes; the rest are never read.
bool unusedNonceByte(const QByteArray& file, qsizetype i)
{
    return file.size() > 32 && file[32] == 0 && i >= 8 + 12 && i < 8 + 24;
}

QString in(const QString& dir, const char* name) { return dir + QLatin1Char('/') + QLatin1String(name); }

const Owner kOwners[] = {
    {"identity.dat",
     [](const QString& dir) {
         core::AuthManager auth(in(dir, "identity.dat"));
         ASSERT_TRUE(auth.createIdentity(QStringLiteral("alice"), "Correct-Horse-9"));
     },
     [](const QString& dir) {
         core::AuthManager::IdentityRecord record;
         core::LoginFailureReason reason = core::WrongPassword;
         return !core::AuthManager(in(dir, "identity.dat")).readIdentityFile(record, &reason)
                && reason == core::IdentityCorrupt;
     }},
    {"identity.dat.lockout",
     [](const QString& dir) {
         core::LoginLockout lockout(in(dir, "identity.dat.lockout"));
         ASSERT_TRUE(lockout.recordFailure());
     },
     [](const QString& dir) {
         return core::LoginLockout(in(dir, "identity.dat.lockout")).secondsUntilNextAttemptAllowed() >= 2;
     }},
    {"twofactor.dat",
     [](const QString& dir) {
         const auto key = crypto::AeadCipher::generateKey();
         const auto secret = crypto::AeadCipher::generateKey();
         ASSERT_TRUE(core::TwoFactorManager(in(dir, "twofactor.dat")).restoreFromSecret(key, secret));
     },
     [](const QString& dir) { return !core::TwoFactorManager(in(dir, "twofactor.dat")).isEnabled(); }},
    {"idlelock.dat",
     [](const QString& dir) { ASSERT_TRUE(core::IdleLockSettings(in(dir, "idlelock.dat")).writeTimeoutMinutes(3)); },
     [](const QString& dir) { return core::IdleLockSettings(in(dir, "idlelock.dat")).timeoutMinutes() == 15; }},
    {"vault_generation.dat",
     [](const QString& dir) {
         ASSERT_TRUE(vault::VaultRollbackGuard(in(dir, "vault_generation.dat")).checkAndAdvance(kVaultId, 4, true,
                                                                                                 nullptr));
     },
     [](const QString& dir) {
         vault::RollbackCheckResult result = vault::RollbackCheckResult::Ok;
         vault::VaultRollbackGuard guard(in(dir, "vault_generation.dat"));
         return !guard.checkAndAdvance(kVaultId, 4, true, &result)
                && result == vault::RollbackCheckResult::RecordUnreadable && guard.highestKnownGeneration() == 0;
     }},
    {"storage.dat",
     [](const QString& dir) {
         ASSERT_TRUE(vault::StorageConfig(in(dir, "storage.dat"), kMachine, 4).setBoundVaultId(kVaultId));
     },
     [](const QString& dir) {
         vault::StorageConfig config(in(dir, "storage.dat"), kMachine, 4);
         return config.isCorrupted() && !config.boundVaultIdRecorded() && !config.setMaxVaultSizeBytes(1);
     },
     unusedNonceByte},
};

void flipEveryByte(const Owner& owner, const QString& dir, const QString& target, bool sealedFile)
{
    const QByteArray original = test::readFile(target);
    ASSERT_FALSE(original.isEmpty()) << target.toStdString();
    const QString file = in(dir, owner.file);
    const QByteArray sealed = test::readFile(file);
    for (qsizetype i = 0; i < original.size(); ++i) {
        if (sealedFile && owner.meaningless && owner.meaningless(original, i))
            continue;
        for (const char mask : {static_cast<char>(i % 2 == 0 ? 0x01 : 0x80)}) {
            QByteArray damaged = original;
            damaged[i] = static_cast<char>(damaged[i] ^ mask);
            test::writeFile(target, damaged);
            EXPECT_TRUE(owner.reacts(dir)) << owner.file << ": " << target.toStdString() << " byte " << i;
            // Owners may rewrite their file (the lockout penalty); restore both for the next byte.
            test::writeFile(target, original);
            test::writeFile(file, sealed);
        }
    }
}

}  // namespace

static void flipSealedFiles()
{
    for (const Owner& owner : kOwners) {
        test::FakeClock clock;
        const QString dir = test::makeScratchDir();
        owner.create(dir);
        ASSERT_FALSE(owner.reacts(dir)) << owner.file << ": the undamaged file must be accepted";
        flipEveryByte(owner, dir, in(dir, owner.file), true);
    }
}

static void flipSidecars()
{
    for (const Owner& owner : kOwners) {
        test::FakeClock clock;
        const QString dir = test::makeScratchDir();
        owner.create(dir);
        flipEveryByte(owner, dir, in(dir, owner.file) + QStringLiteral(".key"), false);
    }
}

TEST(Tamper, EveryFlippedByteOfEverySealedFileIsDetected)
{
    flipSealedFiles();
}

TEST(Tamper, EveryFlippedByteOfEverySidecarKeyIsDetected)
{
    flipSidecars();
}

TEST(Tamper, EveryFlippedByteIsDetectedWithSoftwareKeys)
{
    test::SoftwareKeys software;
    flipSealedFiles();
    flipSidecars();
}
