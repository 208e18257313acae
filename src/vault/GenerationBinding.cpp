#include "vault/GenerationBinding.h"

#include "vault/StorageConfig.h"

#include <algorithm>

namespace dorvex::vault {

RollbackCheckResult advanceRollbackRecord(StorageConfig& storage, VaultRollbackGuard& guard, const QString& machineId,
                                          const QString& vaultId, unsigned long long generation, bool allowCreate)
{
    RollbackCheckResult result = RollbackCheckResult::Ok;
    if (!guard.check(vaultId, generation, allowCreate, &result))
        return result;
    unsigned long long record = guard.highestKnownGeneration();
    const unsigned long long target = std::max(record, generation);
    bool generationRecorded = false;
    const auto raiseRecord = [&](unsigned long long to) {
        if (!guard.checkAndAdvance(vaultId, to, allowCreate, &result))
            return false;
        record = std::max(record, to);
        generationRecorded = to == generation;
        return true;
    };
    while (storage.generation() < target) {
        const unsigned long long bound = storage.generation();
        // An advance interrupted earlier left the binding ahead: the record catches up first, so
        // the binding never runs further ahead than the next start looks.
        if (record < bound && !raiseRecord(bound))
            return result;
        const unsigned long long step = std::min(target, record + StorageConfig::kPendingBindingWindow);
        if (!storage.rebind(machineId, step)) {
            // The old file stays unless only its folder sync failed; keep whichever binding opens it.
            if (!storage.adoptBinding(step, step))
                (void)storage.adoptBinding(bound, bound);
            return RollbackCheckResult::SaveFailed;
        }
        if (!raiseRecord(std::min(step, generation)))
            return result;
    }
    if (!generationRecorded && !raiseRecord(generation))
        return result;
    return RollbackCheckResult::Ok;
}

bool adoptPendingBinding(StorageConfig& storage)
{
    if (!storage.isCorrupted())
        return true;
    const unsigned long long bound = storage.generation();
    return storage.adoptBinding(bound + 1, bound + StorageConfig::kPendingBindingWindow);
}

}  // namespace dorvex::vault
