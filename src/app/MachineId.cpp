#include "app/MachineId.h"

#include "core/AtomicFile.h"

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

    // Anything but a regular file counts as an empty one.
    const core::FileReadResult read = core::AtomicFile::read(fallbackPath_);
    if (read.ok()) {
        const QString stored = QString::fromUtf8(read.bytes).trimmed();
        if (!stored.isEmpty())
            return stored;
    }

    // A write that fails leaves no file, so the next start makes a fresh identity again.
    const QString fresh = QUuid::createUuid().toString(QUuid::WithoutBraces);
    if (core::AtomicFile::makeFolder(QFileInfo(fallbackPath_).absolutePath()))
        static_cast<void>(core::AtomicFile::replace(fallbackPath_, fresh.toUtf8()));
    return fresh;
}

}  // namespace dorvex::app
