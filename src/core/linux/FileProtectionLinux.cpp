#include "core/FileProtection.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace dorvex::core {

namespace {

QString hiddenListPath(const QFileInfo& info) { return info.absolutePath() + QStringLiteral("/.hidden"); }

QStringList readHiddenList(const QString& listPath) {
    QFile file(listPath);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
}

bool writeHiddenList(const QString& listPath, QStringList lines) {
    while (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    QByteArray bytes = lines.join(QLatin1Char('\n')).toUtf8();
    if (!bytes.isEmpty()) bytes.append('\n');
    QSaveFile file(listPath);
    if (!file.open(QIODevice::WriteOnly)) return false;
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

}  // namespace

bool FileProtection::setHidden(const QString& path, bool hidden) {
    const QFileInfo info(path);
    if (!info.exists()) return false;
    const QString name = info.fileName();
    if (name.startsWith(QLatin1Char('.'))) return hidden;  // a dot name cannot be shown
    const QString listPath = hiddenListPath(info);
    QStringList lines = readHiddenList(listPath);
    const bool listed = lines.contains(name);
    if (hidden == listed) return true;
    if (hidden) {
        while (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
        lines.append(name);
    } else {
        lines.removeAll(name);
    }
    return writeHiddenList(listPath, lines);
}

bool FileProtection::isHidden(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists()) return false;
    const QString name = info.fileName();
    return name.startsWith(QLatin1Char('.')) || readHiddenList(hiddenListPath(info)).contains(name);
}

bool FileProtection::restrictDeleteToAdministrators(const QString&) { return true; }
bool FileProtection::clearDeleteRestriction(const QString&) { return true; }
bool FileProtection::isDeleteRestricted(const QString&) { return false; }

}  // namespace dorvex::core
