#include "core/SecureErase.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator64>

#include <algorithm>

namespace dorvex::core {

namespace {

enum class Pass { Zeros, Ones, Random };

bool overwrite(QFile& file, qint64 size, Pass pass) {
    if (!file.seek(0)) return false;
    QByteArray chunk;
    qint64 remaining = size;
    while (remaining > 0) {
        const qint64 length = std::min(remaining, SecureErase::kChunkBytes);
        if (pass == Pass::Random) {
            chunk.resize((length + 3) / 4 * 4);
            QRandomGenerator64::global()->fillRange(reinterpret_cast<quint32*>(chunk.data()),
                                                   static_cast<qsizetype>(chunk.size() / 4));
            chunk.resize(length);
        } else {
            chunk.fill(pass == Pass::Zeros ? '\x00' : '\xFF', length);
        }
        if (file.write(chunk) != length) return false;
        remaining -= length;
    }
    return file.flush();
}

}  // namespace

bool SecureErase::canErase(const QString& path) {
    const QFileInfo info(path);
    return info.exists() && QFileInfo(info.absolutePath()).isWritable();
}

bool SecureErase::eraseFile(const QString& path) {
    QFile file(path);
    if (!file.exists() || QFileInfo(path).isDir()) return false;
    if (!file.open(QIODevice::ReadWrite)) return false;
    const qint64 size = file.size();
    for (Pass pass : {Pass::Zeros, Pass::Ones, Pass::Random}) {
        if (!overwrite(file, size, pass)) return false;
    }
    file.close();
    return QFile::remove(path);
}

}  // namespace dorvex::core
