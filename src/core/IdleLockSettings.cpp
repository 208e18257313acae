#include "core/IdleLockSettings.h"

#include "core/SealedFile.h"

#include <QJsonObject>

#include <algorithm>
#include <utility>

namespace dorvex::core {

IdleLockSettings::IdleLockSettings(QString path) : path_(std::move(path)) {}

int IdleLockSettings::timeoutMinutes() const
{
    const SealedReadResult read = SealedFile::readAuthenticated(path_, SealedKeySource::Load);
    if (read.status != SealedReadStatus::Ok)
        return kDefaultMinutes;
    const QJsonValue value = read.object.value(QStringLiteral("timeoutMinutes"));
    if (value.isUndefined())
        return kDefaultMinutes;
    return std::clamp(value.toInt(kDefaultMinutes), 0, kMaxMinutes);
}

bool IdleLockSettings::setTimeoutMinutes(int minutes) { return writeTimeoutMinutes(minutes); }

bool IdleLockSettings::writeTimeoutMinutes(int minutes) const
{
    QJsonObject object;
    object.insert(QStringLiteral("timeoutMinutes"), std::clamp(minutes, 0, kMaxMinutes));
    return SealedFile::writeAuthenticated(path_, object);
}

}  // namespace dorvex::core
