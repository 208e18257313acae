#pragma once

#include <QJsonObject>
#include <QString>

namespace dorvex::vault {

enum class RollbackCheckResult : int {
    Ok = 0,
    RolledBack = 1,
    RecordUnreadable = 2,
    SaveFailed = 3,
};

// Remembers, per vault id, the highest generation this machine has accepted, so an older copy
// of a vault put back in place is refused.
class VaultRollbackGuard {
public:
    explicit VaultRollbackGuard(QString recordPath);

    [[nodiscard]] bool checkAndAdvance(const QString& vaultId, unsigned long long generation, bool allowCreate,
                                       RollbackCheckResult* result);
    // checkAndAdvance without the write: whether the record would accept the generation.
    [[nodiscard]] bool check(const QString& vaultId, unsigned long long generation, bool allowCreate,
                             RollbackCheckResult* result) const;
    [[nodiscard]] unsigned long long highestKnownGeneration() const;
    [[nodiscard]] bool forgetVault(const QString& vaultId);

    [[nodiscard]] const QString& recordPath() const { return recordPath_; }

private:
    // The record's "vaults" object when it may be used for the vault; false with out set otherwise.
    [[nodiscard]] bool readAcceptable(const QString& vaultId, unsigned long long generation, bool allowCreate,
                                      RollbackCheckResult& out, QJsonObject& vaults) const;

    QString recordPath_;
};

}  // namespace dorvex::vault
