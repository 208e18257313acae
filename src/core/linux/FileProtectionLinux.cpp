#include "core/FileProtection.h"

#include "core/AtomicFile.h"

#include <QFileInfo>

#include <optional>

namespace dorvex::core {

namespace {

QString hiddenListPath(const QFileInfo& info) { return info.absolutePath() + QStringLiteral("/.hidden"); }

// Empty when there is no list; nothing when something is there that cannot be read as one
// (a FIFO, a folder, a device), which is then left alone.
std::optional<QStringList> readHiddenList(const QString& listPath) {
    const FileReadResult read = AtomicFile::read(listPath);
    if (read.status == FileReadStatus::Absent) return QStringList();
    if (!read.ok()) return std::nullopt;
    return QString::fromUtf8(read.bytes).split(QLatin1Char('\n'));
}

bool writeHiddenList(const QString& listPath, QStringList lines) {
    while (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    QByteArray bytes = lines.join(QLatin1Char('\n')).toUtf8();
    if (!bytes.isEmpty()) bytes.append('\n');
    return AtomicFile::replace(listPath, bytes);
}

}  // namespace

bool FileProtection::setHidden(const QString& path, bool hidden) {
    const QFileInfo info(path);
    if (!info.exists()) return false;
    const QString name = info.fileName();
    if (name.startsWith(QLatin1Char('.'))) return hidden;  // a dot name cannot be shown
    const QString listPath = hiddenListPath(info);
    const std::optional<QStringList> list = readHiddenList(listPath);
    if (!list) return false;
    QStringList lines = *list;
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
    if (name.startsWith(QLatin1Char('.'))) return true;
    const std::optional<QStringList> list = readHiddenList(hiddenListPath(info));
    return list && list->contains(name);
}

bool FileProtection::restrictDeleteToAdministrators(const QString&) { return true; }
bool FileProtection::clearDeleteRestriction(const QString&) { return true; }
bool FileProtection::isDeleteRestricted(const QString&) { return false; }

}  // namespace dorvex::core
