#pragma once

#include "vault/VaultRollbackGuard.h"

#include <QString>

namespace dorvex::vault {

class StorageConfig;

// Raises the rollback record of a vault to its generation, and storage.dat's binding with it.
// The binding always moves first, at most StorageConfig::kPendingBindingWindow ahead of the
// record: a crash between the two writes leaves a binding the next start adopts
// (adoptPendingBinding), never a record that the configuration's binding has fallen behind.
// Nothing is written unless the record accepts the generation.
[[nodiscard]] RollbackCheckResult advanceRollbackRecord(StorageConfig& storage, VaultRollbackGuard& guard,
                                                        const QString& machineId, const QString& vaultId,
                                                        unsigned long long generation, bool allowCreate);

// At start: true when storage.dat opens, under the record's binding or one an interrupted
// advance left ahead of it (which the configuration then keeps). Older bindings never open.
[[nodiscard]] bool adoptPendingBinding(StorageConfig& storage);

}  // namespace dorvex::vault
