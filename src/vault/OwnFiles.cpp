#include "vault/OwnFiles.h"

#include "vault/FileBlockStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace dorvex::vault {

namespace {

bool sameExistingFile(const QString& a, const QString& b)
{
    struct stat first {};
    struct stat second {};
    return ::stat(QFile::encodeName(a).constData(), &first) == 0
        && ::stat(QFile::encodeName(b).constData(), &second) == 0 && first.st_dev == second.st_dev
        && first.st_ino == second.st_ino;
}

}  // namespace

QString resolvedFilePath(const QString& path)
{
    if (path.isEmpty())
        return {};
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (folder.isEmpty())
        return QDir::cleanPath(info.absoluteFilePath());
    return folder == QStringLiteral("/") ? folder + info.fileName() : folder + QLatin1Char('/') + info.fileName();
}

bool isOwnFile(const QString& path, const QString& containerPath, const QString& dataFolder)
{
    const QString candidate = resolvedFilePath(path);
    if (candidate.isEmpty())
        return false;
    if (!containerPath.isEmpty()) {
        for (const QString& own : {containerPath, lockPathFor(containerPath)}) {
            if (candidate == resolvedFilePath(own) || sameExistingFile(candidate, own))
                return true;
        }
    }
    if (!dataFolder.isEmpty()) {
        const QString folder = resolvedFilePath(dataFolder);
        const QString inside = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
        if (candidate == folder || candidate.startsWith(inside))
            return true;
    }
    return false;
}

}  // namespace dorvex::vault
