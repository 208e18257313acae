#pragma once

#include <QString>
#include <QStringList>

namespace dorvex::core {
class AuthManager;
}
namespace dorvex::vault {
class StorageConfig;
}

// Work on the vault file that the configure dialog records for the next start, when no vault
// is open: moving it to a new location, and deleting it with the account. Both run at the top
// of every session pass, are retried on later passes and give up after kPendingAttemptLimit
// failures; neither ever stops the pass.
namespace dorvex::app {

inline constexpr int kPendingAttemptLimit = 5;

// Moves the vault from the recorded old location to the configured one. At every moment one
// complete copy of the vault exists, at the place the configuration names or (until the move
// is recorded as done) at the old one; giving up puts the old location back in the same write.
void applyPendingContainerMigration(vault::StorageConfig& storage, const QString& dataDir);

// A pending deletion: while the vault file is still there, the master password must be typed
// (a wrong one is charged to the lockout; cancel leaves it pending); a deletion whose vault is
// already gone was confirmed before and is finished without asking.
void confirmAndApplyPendingContainerDelete(core::AuthManager& auth, vault::StorageConfig& storage,
                                           const QString& dataDir);

// Deletes, in this order, the vault file, the key-change journals, the account files and their
// key material, then clears the request and releases the vault binding in one write of
// storage.dat. A crash anywhere leaves the request pending, and the next pass finishes it and
// then starts a clean first run.
void applyPendingContainerDelete(vault::StorageConfig& storage, const QString& dataDir);

// The data-folder files a deletion removes (relative, each with a leading "/"), in order.
[[nodiscard]] QStringList deletedJournalFiles();
[[nodiscard]] QStringList deletedAccountFiles();

}  // namespace dorvex::app
