#include "vault/VaultRollbackGuard.h"

#include "core/SealedFile.h"

#include <QJsonObject>

#include <algorithm>
#include <utility>

namespace dorvex::vault {

namespace {

using core::SealedKeySource;
using core::SealedFile;
using core::SealedReadResult;
using core::SealedReadStatus;

unsigned long long generationOf(const QJsonValue& value)
{
    bool ok = false;
    const qulonglong g = value.toString().toULongLong(&ok, 10);
    return ok ? g : 0;
}

}  // namespace

VaultRollbackGuard::VaultRollbackGuard(QString recordPath) : recordPath_(std::move(recordPath)) {}

bool VaultRollbackGuard::readAcceptable(const QString& vaultId, unsigned long long generation, bool allowCreate,
                                        RollbackCheckResult& out, QJsonObject& vaults) const
{
    out = RollbackCheckResult::Ok;
    const SealedReadResult read = SealedFile::readAuthenticated(recordPath_, SealedKeySource::Load);
    switch (read.status) {
    case SealedReadStatus::Absent:
        if (!allowCreate) {
            out = RollbackCheckResult::RecordUnreadable;
            return false;
        }
        break;
    case SealedReadStatus::NotOpened:
        out = RollbackCheckResult::RecordUnreadable;
        return false;
    case SealedReadStatus::NotAnObject:
        break;
    case SealedReadStatus::Ok:
        vaults = read.object.value(QStringLiteral("vaults")).toObject();
        break;
    }
    if (generation < generationOf(vaults.value(vaultId))) {
        out = RollbackCheckResult::RolledBack;
        return false;
    }
    return true;
}

bool VaultRollbackGuard::check(const QString& vaultId, unsigned long long generation, bool allowCreate,
                               RollbackCheckResult* result) const
{
    RollbackCheckResult ignored = RollbackCheckResult::Ok;
    QJsonObject vaults;
    return readAcceptable(vaultId, generation, allowCreate, result != nullptr ? *result : ignored, vaults);
}

bool VaultRollbackGuard::checkAndAdvance(const QString& vaultId, unsigned long long generation, bool allowCreate,
                                         RollbackCheckResult* result)
{
    RollbackCheckResult ignored = RollbackCheckResult::Ok;
    RollbackCheckResult& out = result != nullptr ? *result : ignored;
    QJsonObject vaults;
    if (!readAcceptable(vaultId, generation, allowCreate, out, vaults))
        return false;

    vaults.insert(vaultId, QString::number(generation));
    QJsonObject document;
    document.insert(QStringLiteral("vaults"), vaults);
    if (!SealedFile::writeAuthenticated(recordPath_, document)) {
        out = RollbackCheckResult::SaveFailed;
        return false;
    }
    return true;
}

unsigned long long VaultRollbackGuard::highestKnownGeneration() const
{
    const SealedReadResult read = SealedFile::readAuthenticated(recordPath_, SealedKeySource::Load);
    if (read.status != SealedReadStatus::Ok)
        return 0;
    unsigned long long highest = 0;
    const QJsonObject vaults = read.object.value(QStringLiteral("vaults")).toObject();
    for (auto it = vaults.constBegin(); it != vaults.constEnd(); ++it)
        highest = std::max(highest, generationOf(it.value()));
    return highest;
}

bool VaultRollbackGuard::forgetVault(const QString& vaultId)
{
    const SealedReadResult read = SealedFile::readAuthenticated(recordPath_, SealedKeySource::Load);
    if (read.status == SealedReadStatus::Absent || read.status == SealedReadStatus::NotOpened)
        return false;
    QJsonObject vaults = read.object.value(QStringLiteral("vaults")).toObject();
    if (!vaults.contains(vaultId))
        return true;
    vaults.remove(vaultId);
    QJsonObject document;
    document.insert(QStringLiteral("vaults"), vaults);
    // The record opened with the existing key; never mint a new one for the rewrite.
    return SealedFile::writeAuthenticated(recordPath_, document, SealedKeySource::Load);
}

}  // namespace dorvex::vault
