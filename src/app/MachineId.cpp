#include "app/MachineId.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QUuid>

namespace dorvex::app {

namespace {
QByteArray systemIdentifier() { return QSysInfo::machineUniqueId(); }
}  // namespace

QByteArray (*MachineId::platformIdentifier)() = systemIdentifier;

QString MachineId::get() const
{
    const QByteArray platformId = platformIdentifier();
    if (!platformId.isEmpty())
        return QString::fromLatin1(platformId.toHex());

    QFile file(fallbackPath_);
    if (file.open(QIODevice::ReadOnly)) {
        const QString stored = QString::fromUtf8(file.readAll()).trimmed();
        if (!stored.isEmpty())
            return stored;
        file.close();
    }

    const QString fresh = QUuid::createUuid().toString(QUuid::WithoutBraces);
    QDir().mkpath(QFileInfo(fallbackPath_).absolutePath());
    QFile out(fallbackPath_);
    if (out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        out.write(fresh.toUtf8());
    return fresh;
}

}  // namespace dorvex::app
