#pragma once

#include "crypto/SecureBuffer.h"

#include <QString>

#include <optional>
#include <string>

namespace dorvex::core {
class AuthManager;
class TwoFactorManager;
}  // namespace dorvex::core
namespace dorvex::vault {
class StorageConfig;
class VaultContainer;
class VaultRollbackGuard;
}  // namespace dorvex::vault

namespace dorvex::app {

// The long-lived objects every key change works with.
struct KeyChangeServices {
    core::AuthManager& auth;
    core::TwoFactorManager& twoFactor;
    vault::StorageConfig& storage;
    vault::VaultRollbackGuard& rollbackGuard;
    const QString& machineId;
};

// What a key change tells the user, as the dialog shows it.
struct KeyChangeResult {
    QString message;
    bool success = false;  // shown in the success style, else in the failure style
    // Set when the vault was re-keyed: the key that opens it from now on.
    std::optional<crypto::SecureBuffer> newVaultKey;
    // The enable confirmation only: the enrolment is over (confirmed, or failed for good).
    bool enrollmentEnded = false;
};

// Changes the master password: a new password key, the vault re-keyed to it, and the identity
// (and the two-factor secret, wrapped for the new key) installed through the journal.
[[nodiscard]] KeyChangeResult changePassword(const KeyChangeServices& services, vault::VaultContainer* container,
                                             std::string currentPassword, std::string newPassword,
                                             std::string confirmation, bool enrollmentUnfinished);

// Confirms an enrolment with a code of its secret: the vault is re-keyed to the combined key and
// two-factor sign-in turned on through the journal. currentVaultKey is the password key.
[[nodiscard]] KeyChangeResult confirmTwoFactorEnable(const KeyChangeServices& services,
                                                     vault::VaultContainer* container,
                                                     const crypto::SecureBuffer& currentVaultKey, const QString& code);

// Turns two-factor sign-in off after the password is confirmed: the vault is re-keyed to the
// password key through the journal.
[[nodiscard]] KeyChangeResult disableTwoFactor(const KeyChangeServices& services, vault::VaultContainer* container,
                                               std::string password);

// Finishes or undoes a key change that a crash or a failure interrupted, from the journals left
// in the data folder and the vault's generation. Run before every sign-in.
void recoverPendingKeyTransitions(core::AuthManager& auth, core::TwoFactorManager& twoFactor,
                                  const vault::StorageConfig& storage, const QString& dataDir);

}  // namespace dorvex::app
