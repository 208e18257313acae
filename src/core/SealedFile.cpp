#include "core/SealedFile.h"

#include "core/AuthenticatedJson.h"
#include "core/EncryptedJson.h"
#include "core/LocalIntegrityKey.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>

namespace dorvex::core {

namespace {

crypto::SecureBuffer keyFor(const QString& path, SealedKeySource source) {
    const QString keyPath = SealedFile::keyPathFor(path);
    return source == SealedKeySource::Load ? LocalIntegrityKey::load(keyPath) : LocalIntegrityKey::getOrCreate(keyPath);
}

std::optional<QByteArray> readAll(const QString& path) {
    QFile file(path);
    if (QFileInfo(path).isDir() || !file.open(QIODevice::ReadOnly)) return std::nullopt;
    return file.readAll();
}

SealedReadResult parsed(std::optional<QByteArray> payload) {
    SealedReadResult result;
    if (!payload) {
        result.status = SealedReadStatus::NotOpened;
        return result;
    }
    const QJsonDocument document = QJsonDocument::fromJson(*payload);
    crypto::secureZero(*payload);
    if (!document.isObject()) {
        result.status = SealedReadStatus::NotAnObject;
        return result;
    }
    result.status = SealedReadStatus::Ok;
    result.object = document.object();
    return result;
}

QByteArray compact(const QJsonObject& object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

void makeParent(const QString& path) { QDir().mkpath(QFileInfo(path).absolutePath()); }

}  // namespace

QString SealedFile::keyPathFor(const QString& path) { return path + QStringLiteral(".key"); }

SealedReadResult SealedFile::readAuthenticated(const QString& path, SealedKeySource source) {
    const std::optional<QByteArray> data = readAll(path);
    if (!data) return {};
    const crypto::SecureBuffer key = keyFor(path, source);
    return parsed(AuthenticatedJson::open(*data, key));
}

SealedReadResult SealedFile::readEncrypted(const QString& path, SealedKeySource source,
                                           const QByteArray& associatedData, bool acceptAuthenticated) {
    const std::optional<QByteArray> data = readAll(path);
    if (!data) return {};
    const crypto::SecureBuffer key = keyFor(path, source);
    std::optional<QByteArray> payload = EncryptedJson::open(*data, key, associatedData);
    if (payload || !acceptAuthenticated) return parsed(std::move(payload));
    SealedReadResult result = parsed(AuthenticatedJson::open(*data, key));
    result.authenticatedForm = result.status != SealedReadStatus::NotOpened;
    return result;
}

QByteArray SealedFile::sealAuthenticated(const QString& path, const QJsonObject& object, SealedKeySource source) {
    QByteArray text = compact(object);
    makeParent(path);
    const crypto::SecureBuffer key = keyFor(path, source);
    QByteArray envelope = AuthenticatedJson::seal(text, key);
    crypto::secureZero(text);
    return envelope;
}

QByteArray SealedFile::sealEncrypted(const QString& path, const QJsonObject& object,
                                     const QByteArray& associatedData, SealedKeySource source) {
    QByteArray text = compact(object);
    makeParent(path);
    const crypto::SecureBuffer key = keyFor(path, source);
    QByteArray envelope = EncryptedJson::seal(text, key, associatedData);
    crypto::secureZero(text);
    return envelope;
}

bool SealedFile::writeAtomically(const QString& path, const QByteArray& envelope) {
    if (envelope.isEmpty()) return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return false;
    if (file.write(envelope) != envelope.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

bool SealedFile::writeAuthenticated(const QString& path, const QJsonObject& object, SealedKeySource source) {
    return writeAtomically(path, sealAuthenticated(path, object, source));
}

bool SealedFile::writeEncrypted(const QString& path, const QJsonObject& object, const QByteArray& associatedData,
                                SealedKeySource source) {
    return writeAtomically(path, sealEncrypted(path, object, associatedData, source));
}

std::optional<QString> recoverSingleCharCorruption(const QString& value,
                                                   const std::function<bool(const QString&)>& accepts) {
    if (value.isEmpty() || value.size() > 128) return std::nullopt;
    static const QString alphabet = QStringLiteral("0123456789abcdef-");
    QString candidate = value;
    QString found;
    int approvals = 0;
    for (qsizetype i = 0; i < candidate.size(); ++i) {
        const QChar original = candidate[i];
        for (QChar c : alphabet) {
            if (c == original) continue;
            candidate[i] = c;
            if (accepts(candidate)) {
                ++approvals;
                found = candidate;
            }
        }
        candidate[i] = original;
    }
    if (approvals != 1) return std::nullopt;
    return found;
}

}  // namespace dorvex::core
