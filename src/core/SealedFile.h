#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace dorvex::core {

// How a reader or writer obtains the file key from LocalIntegrityKey.
enum class SealedKeySource {
    Load,         // never creates a sidecar; a missing one makes the open fail
    GetOrCreate,  // creates a fresh sidecar when none exists
};

enum class SealedReadStatus {
    Ok,          // the envelope opened and held a JSON object
    Absent,      // the file could not be opened for reading (missing, unreadable)
    NotOpened,   // the envelope did not open (wrong or unavailable key, changed, truncated, foreign),
                 // or the path holds something other than a regular file (a FIFO, a folder, a device)
    NotAnObject, // the envelope opened but its payload is not a JSON object
};

struct SealedReadResult {
    SealedReadStatus status = SealedReadStatus::Absent;
    QJsonObject object;              // filled only when status is Ok
    bool authenticatedForm = false;  // readEncrypted: opened through the authenticated fallback

    [[nodiscard]] bool ok() const { return status == SealedReadStatus::Ok; }
};

// The one read and write path of every small sealed JSON file. The key always comes from the
// sidecar keyPathFor(path); every write is a durable atomic replacement (AtomicFile), so a
// failed write leaves the previous file untouched.
class SealedFile {
public:
    [[nodiscard]] static QString keyPathFor(const QString& path);  // path + ".key"

    [[nodiscard]] static SealedReadResult readAuthenticated(const QString& path, SealedKeySource source);
    // Tries the encrypted envelope with the associated data; when acceptAuthenticated is set and
    // that fails, also the authenticated envelope with the same key.
    [[nodiscard]] static SealedReadResult readEncrypted(const QString& path, SealedKeySource source,
                                                        const QByteArray& associatedData,
                                                        bool acceptAuthenticated);
    // The encrypted envelope tried with each associated data in turn, the file and its key read
    // once; matched (may be null) gets the index of the one that opened, -1 when none did.
    [[nodiscard]] static SealedReadResult readEncryptedWithAny(const QString& path, SealedKeySource source,
                                                               const std::vector<QByteArray>& associatedData,
                                                               int* matched);

    // Compact JSON sealed under the file's key, after creating the file's folder if missing.
    // Empty when no usable key could be obtained. For owners that must act between sealing
    // and writing (a backup of the previous file); others use the write* calls below.
    [[nodiscard]] static QByteArray sealAuthenticated(const QString& path, const QJsonObject& object,
                                                      SealedKeySource source = SealedKeySource::GetOrCreate);
    [[nodiscard]] static QByteArray sealEncrypted(const QString& path, const QJsonObject& object,
                                                  const QByteArray& associatedData,
                                                  SealedKeySource source = SealedKeySource::GetOrCreate);

    // Atomic replacement of path by bytes; an empty envelope is refused and nothing is written.
    [[nodiscard]] static bool writeAtomically(const QString& path, const QByteArray& envelope);

    // seal* followed by writeAtomically.
    [[nodiscard]] static bool writeAuthenticated(const QString& path, const QJsonObject& object,
                                                 SealedKeySource source = SealedKeySource::GetOrCreate);
    [[nodiscard]] static bool writeEncrypted(const QString& path, const QJsonObject& object,
                                             const QByteArray& associatedData,
                                             SealedKeySource source = SealedKeySource::GetOrCreate);
};

// The single variant of value, differing in exactly one character from the alphabet
// "0123456789abcdef-", that accepts approves; none when zero or several are approved.
[[nodiscard]] std::optional<QString> recoverSingleCharCorruption(
    const QString& value, const std::function<bool(const QString&)>& accepts);

}  // namespace dorvex::core
