#include "core/AppDataDir.h"

#include "core/AtomicFile.h"

#include <QFile>
#include <QStandardPaths>

#include <sys/stat.h>

namespace dorvex::core {

QString appDataDir()
{
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    // A failure to create is caught by the start-up write probe.
    static_cast<void>(AtomicFile::makeFolder(dir));
    // Owner-only, also when an earlier version made it readable to everyone.
    static_cast<void>(::chmod(QFile::encodeName(dir).constData(), static_cast<mode_t>(AtomicFile::kFolderMode)));
    return dir;
}

}  // namespace dorvex::core
