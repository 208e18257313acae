#pragma once

#include "crypto/SecureBuffer.h"

#include <QString>

#include <memory>

namespace dorvex::core {
class AuthManager;
class IdleLockSettings;
class TwoFactorManager;
}  // namespace dorvex::core
namespace dorvex::vault {
class StorageConfig;
class VaultContainer;
class VaultRollbackGuard;
}  // namespace dorvex::vault

namespace dorvex::app {

// The session set-up on a writable data folder: the long-lived managers, the storage
// configuration gate, then sign-in passes until one ends the program. Returns the exit code.
int runSessions(const QString& dataDir);

// One pass: sign-in (or first run), open the vault, main window, event loop. True when the
// user is to sign in again.
bool runSession(core::AuthManager& auth, core::TwoFactorManager& twoFactor, vault::StorageConfig& storage,
                core::IdleLockSettings& idleLock, vault::VaultRollbackGuard& rollbackGuard, const QString& dataDir,
                const QString& machineId);

// Opens the container at `containerPath`, or creates it when no file is there, and admits it
// only if the rollback guard agrees, advancing the record and storage.dat's binding with it.
// Null otherwise, with `error` set when the user must be told. recordMayBeMissing: a missing
// record may be made for a vault found (a first session that did not finish).
std::unique_ptr<vault::VaultContainer> openOrCreateVault(vault::StorageConfig& storage, const QString& containerPath,
                                                         const crypto::SecureBuffer& vaultKey,
                                                         const QString& machineId,
                                                         vault::VaultRollbackGuard& rollbackGuard,
                                                         const QString& correctedVaultId, QString* error,
                                                         bool recordMayBeMissing = false);

// The vault did not open and no two-factor state is left: offers to restore the saved
// two-factor secret. On success `vaultKey` becomes the combined key.
std::unique_ptr<vault::VaultContainer> tryRestoreTwoFactorAndReopen(
    core::AuthManager& auth, core::TwoFactorManager& twoFactor, vault::StorageConfig& storage,
    vault::VaultRollbackGuard& rollbackGuard, const QString& containerPath, const QString& machineId,
    crypto::SecureBuffer& vaultKey, const std::optional<crypto::SecureBuffer>& passwordKey);

}  // namespace dorvex::app
