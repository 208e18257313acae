#include "core/AppDataDir.h"

#include <QDir>
#include <QStandardPaths>

namespace dorvex::core {

QString appDataDir()
{
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    // A failure to create is caught by the start-up write probe.
    QDir().mkpath(dir);
    return dir;
}

}  // namespace dorvex::core
