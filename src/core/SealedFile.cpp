#include "core/SealedFile.h"

#include "core/AtomicFile.h"
#include "core/AuthenticatedJson.h"
#include "core/EncryptedJson.h"
#include "core/LocalIntegrityKey.h"

#include <QFileInfo>
#include <QJsonDocument>

namespace dorvex::core {

namespace {

crypto::SecureBuffer keyFor(const QString& path, SealedKeySource source) {
    const QString keyPath = SealedFile::keyPathFor(path);
    return source == SealedKeySource::Load ? LocalIntegrityKey::load(keyPath) : LocalIntegrityKey::getOrCreate(keyPath);
}

// Anything but a regular file at the path is damage, never absence: a reader must not take a
// FIFO or a folder for "no record yet".
SealedReadResult readFile(const QString& path, QByteArray& data) {
    FileReadResult read = AtomicFile::read(path);
    SealedReadResult result;
    switch (read.status) {
    case FileReadStatus::Ok:
        data = std::move(read.bytes);
        result.status = SealedReadStatus::Ok;
        break;
    case FileReadStatus::NotRegular:
        result.status = SealedReadStatus::NotOpened;
        break;
    case FileReadStatus::Absent:
    case FileReadStatus::Unreadable:
        result.status = SealedReadStatus::Absent;
        break;
    }
    return result;
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

void makeParent(const QString& path) { static_cast<void>(AtomicFile::makeFolder(QFileInfo(path).absolutePath())); }

}  // namespace

QString SealedFile::keyPathFor(const QString& path) { return path + QStringLiteral(".key"); }

SealedReadResult SealedFile::readAuthenticated(const QString& path, SealedKeySource source) {
    QByteArray data;
    if (SealedReadResult read = readFile(path, data); !read.ok()) return read;
    const crypto::SecureBuffer key = keyFor(path, source);
    return parsed(AuthenticatedJson::open(data, key));
}

SealedReadResult SealedFile::readEncrypted(const QString& path, SealedKeySource source,
                                           const QByteArray& associatedData, bool acceptAuthenticated) {
    QByteArray data;
    if (SealedReadResult read = readFile(path, data); !read.ok()) return read;
    const crypto::SecureBuffer key = keyFor(path, source);
    std::optional<QByteArray> payload = EncryptedJson::open(data, key, associatedData);
    if (payload || !acceptAuthenticated) return parsed(std::move(payload));
    SealedReadResult result = parsed(AuthenticatedJson::open(data, key));
    result.authenticatedForm = result.status != SealedReadStatus::NotOpened;
    return result;
}

SealedReadResult SealedFile::readEncryptedWithAny(const QString& path, SealedKeySource source,
                                                 const std::vector<QByteArray>& associatedData, int* matched) {
    if (matched != nullptr) *matched = -1;
    QByteArray data;
    if (SealedReadResult read = readFile(path, data); !read.ok()) return read;
    const crypto::SecureBuffer key = keyFor(path, source);
    for (std::size_t i = 0; i < associatedData.size(); ++i) {
        std::optional<QByteArray> payload = EncryptedJson::open(data, key, associatedData[i]);
        if (!payload) continue;
        if (matched != nullptr) *matched = static_cast<int>(i);
        return parsed(std::move(payload));
    }
    return parsed(std::nullopt);
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
    return AtomicFile::replace(path, envelope);
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
