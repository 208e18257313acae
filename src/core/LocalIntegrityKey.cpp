#include "core/LocalIntegrityKey.h"

#include "core/AtomicFile.h"
#include "core/AuthenticatedJson.h"
#include "core/SecretStore.h"
#include "core/Totp.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sodium.h>
#include <sys/stat.h>

#include <map>
#include <optional>

namespace dorvex::core {

using crypto::SecureBuffer;

namespace {

constexpr char kSidecarMagic[] = "DRVTPMK2";
constexpr qsizetype kMagicBytes = 8;
constexpr qsizetype kKeyBytes = 32;
constexpr qsizetype kDerivedSidecarBytes = kMagicBytes + kKeyBytes;
constexpr qsizetype kAccountChars = 32;
const QString kRootPrefix = QStringLiteral("root:");

SecretStore* g_overrideStore = nullptr;

SecretStore& store() {
    if (g_overrideStore) return *g_overrideStore;
    static const std::unique_ptr<SecretStore> platform = makePlatformSecretStore();
    return *platform;
}

QString service() { return QString::fromLatin1(LocalIntegrityKey::kService); }

std::map<QString, SecureBuffer>& rootCache() {
    static std::map<QString, SecureBuffer> cache;
    return cache;
}

SecureBuffer copyOf(const SecureBuffer& buffer) { return SecureBuffer(buffer.data(), buffer.size()); }

SecureBuffer randomBuffer(std::size_t length) {
    crypto::detail::ensureSodiumInitialized();
    SecureBuffer out(length);
    randombytes_buf(out.data(), out.size());
    return out;
}

QString rootFolder(const QString& keyPath) { return QFileInfo(keyPath).absolutePath(); }

// Only a regular file is taken for a sidecar: never a link, a folder, a FIFO or a device.
std::optional<QByteArray> readPlainFile(const QString& path) {
    FileReadResult read = AtomicFile::read(path, LinkPolicy::Refuse);
    if (!read.ok()) return std::nullopt;
    return std::move(read.bytes);
}

// The 32 material bytes of a root-derived sidecar, or nothing.
std::optional<SecureBuffer> derivedMaterial(const QString& keyPath) {
    std::optional<QByteArray> bytes = readPlainFile(keyPath);
    if (!bytes) return std::nullopt;
    std::optional<SecureBuffer> material;
    if (bytes->size() == kDerivedSidecarBytes && bytes->startsWith(QByteArrayView(kSidecarMagic, kMagicBytes))) {
        material.emplace(reinterpret_cast<const unsigned char*>(bytes->constData()) + kMagicBytes, kKeyBytes);
    }
    crypto::secureZero(*bytes);
    return material;
}

bool writeWholeFile(const QString& path, const QByteArray& bytes) {
    return AtomicFile::makeFolder(QFileInfo(path).absolutePath()) && AtomicFile::replace(path, bytes);
}

QString rootAccountPath(const QString& folder) { return folder + QStringLiteral("/local_integrity_root.account"); }

QString readRootAccount(const QString& folder) {
    const std::optional<QByteArray> bytes = readPlainFile(rootAccountPath(folder));
    if (!bytes || bytes->size() != kAccountChars) return {};
    return QString::fromLatin1(*bytes);
}

// Success with the 32-byte root; ItemNotFound only when the folder certainly has no root item
// (no account file, or the store says there is no such item); anything else leaves it open.
SecretStatus fetchRoot(const QString& folder, SecureBuffer& root) {
    const QString account = readRootAccount(folder);
    if (account.isEmpty()) return SecretStatus::ItemNotFound;
    SecureBuffer secret;
    const SecretStatus status = store().fetch(service(), kRootPrefix + account, secret);
    if (status != SecretStatus::Success) return status;
    if (secret.size() != static_cast<std::size_t>(kKeyBytes)) return SecretStatus::Failed;  // there, but no root
    root = std::move(secret);
    return SecretStatus::Success;
}

// Only a root verified by a recovery code may replace an existing item.
enum class ExistingItem { Keep, Replace };

// A refused add takes back the account file it named, so that a failure leaves no trace.
bool storeRoot(const QString& folder, const SecureBuffer& root, ExistingItem existing, bool* wroteAccount = nullptr) {
    QString account = readRootAccount(folder);
    const bool newAccount = account.isEmpty();
    if (newAccount) {
        const SecureBuffer name = randomBuffer(16);
        const QByteArray hex =
            QByteArray(reinterpret_cast<const char*>(name.data()), static_cast<qsizetype>(name.size())).toHex();
        if (!writeWholeFile(rootAccountPath(folder), hex)) return false;
        account = QString::fromLatin1(hex);
    }
    SecretStatus status = store().add(service(), kRootPrefix + account, root);
    if (status == SecretStatus::DuplicateItem && existing == ExistingItem::Replace) {
        status = store().update(service(), kRootPrefix + account, root);
    }
    if (status != SecretStatus::Success) {
        if (newAccount) QFile::remove(rootAccountPath(folder));
        return false;
    }
    if (wroteAccount) *wroteAccount = newAccount;
    return true;
}

std::optional<SecureBuffer> cachedOrFetchedRoot(const QString& folder) {
    auto& cache = rootCache();
    if (const auto hit = cache.find(folder); hit != cache.end()) return copyOf(hit->second);
    SecureBuffer root;
    if (fetchRoot(folder, root) != SecretStatus::Success) return std::nullopt;
    cache.insert_or_assign(folder, copyOf(root));
    return root;
}

// A lookup that failed or timed out is no proof that the root is missing: then nothing is
// created, since a new root would make every existing sidecar of the folder useless.
std::optional<SecureBuffer> getOrCreateRoot(const QString& folder, bool& created, bool* wroteAccount = nullptr) {
    created = false;
    auto& cache = rootCache();
    if (const auto hit = cache.find(folder); hit != cache.end()) return copyOf(hit->second);
    SecureBuffer root;
    const SecretStatus found = fetchRoot(folder, root);
    if (found == SecretStatus::ItemNotFound) {
        root = randomBuffer(kKeyBytes);
        if (!storeRoot(folder, root, ExistingItem::Keep, wroteAccount)) return std::nullopt;
        created = true;
    } else if (found != SecretStatus::Success) {
        return std::nullopt;
    }
    cache.insert_or_assign(folder, copyOf(root));
    return root;
}

SecureBuffer deriveFileKey(const QString& keyPath, const SecureBuffer& root, const SecureBuffer& material) {
    crypto::detail::ensureSodiumInitialized();
    const QByteArray path = keyPath.toUtf8();
    SecureBuffer key(kKeyBytes);
    crypto_generichash_state state;
    crypto_generichash_init(&state, root.data(), root.size(), key.size());
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(path.constData()),
                              static_cast<unsigned long long>(path.size()));
    crypto_generichash_update(&state, material.data(), material.size());
    crypto_generichash_final(&state, key.data(), key.size());
    crypto::secureZero(reinterpret_cast<unsigned char*>(&state), sizeof state);
    return key;
}

bool folderShowsRootMode(const QString& folder) {
    if (cachedOrFetchedRoot(folder)) return true;
    QStringList accounts;
    const SecretStatus status = store().listAccounts(service(), accounts);
    if (status == SecretStatus::Success) {
        for (const QString& account : accounts) {
            if (account.startsWith(kRootPrefix)) return true;
        }
    } else if (status != SecretStatus::ItemNotFound && status != SecretStatus::Unavailable) {
        return true;  // an error is no proof that the folder is without a root
    }
    const QDir dir(folder);
    const QStringList sidecars = dir.entryList({QStringLiteral("*.key")}, QDir::Files | QDir::Hidden, QDir::Unsorted);
    for (const QString& name : sidecars) {
        if (derivedMaterial(dir.filePath(name))) return true;
    }
    return false;
}

enum class PerFileItem { Absent, Present, Unknown };

PerFileItem perFileItem(const QString& keyPath) {
    SecureBuffer secret;
    switch (store().fetch(service(), keyPath, secret)) {
    case SecretStatus::Success:
        return secret.size() == static_cast<std::size_t>(kKeyBytes) ? PerFileItem::Present : PerFileItem::Absent;
    case SecretStatus::ItemNotFound:
    case SecretStatus::Unavailable:
        return PerFileItem::Absent;
    default:
        return PerFileItem::Unknown;
    }
}

// An account file that was there before the root was made stays.
void undoCreatedRoot(const QString& folder, bool wroteAccount) {
    const QString account = readRootAccount(folder);
    if (!account.isEmpty()) {
        const SecretStatus status = store().remove(service(), kRootPrefix + account);
        if (status != SecretStatus::Success && status != SecretStatus::ItemNotFound) {
            qWarning("LocalIntegrityKey: failed to roll back a just-created root Keychain item for %s -- it may be "
                     "left behind, unreferenced by any sidecar file.",
                     qUtf8Printable(folder));
        }
    }
    if (wroteAccount) QFile::remove(rootAccountPath(folder));
    rootCache().erase(folder);
}

}  // namespace

SecureBuffer LocalIntegrityKey::load(const QString& keyPath) {
    const QString folder = rootFolder(keyPath);
    if (const std::optional<SecureBuffer> material = derivedMaterial(keyPath)) {
        const std::optional<SecureBuffer> root = cachedOrFetchedRoot(folder);
        return root ? deriveFileKey(keyPath, *root, *material) : SecureBuffer();
    }
    if (folderShowsRootMode(folder)) return {};
    std::optional<QByteArray> bytes = readPlainFile(keyPath);
    if (!bytes) return {};
    SecureBuffer key;
    if (bytes->size() == kKeyBytes) key = SecureBuffer(reinterpret_cast<const unsigned char*>(bytes->constData()), kKeyBytes);
    crypto::secureZero(*bytes);
    return key;
}

SecureBuffer LocalIntegrityKey::create(const QString& keyPath) {
    const QString folder = rootFolder(keyPath);
    bool created = false;
    bool wroteAccount = false;
    if (const std::optional<SecureBuffer> root = getOrCreateRoot(folder, created, &wroteAccount)) {
        const SecureBuffer material = randomBuffer(kKeyBytes);
        SecureBuffer key = deriveFileKey(keyPath, *root, material);
        QByteArray sidecar(kSidecarMagic, kMagicBytes);
        sidecar.append(reinterpret_cast<const char*>(material.data()), kKeyBytes);
        const bool written = writeWholeFile(keyPath, sidecar);
        // A write whose last step (the folder sync) failed leaves the sidecar in place: its root
        // stays with it, or the sidecar could never open and would block every later creation.
        const QFileInfo left(keyPath);
        const bool inPlace = !written && left.isFile() && !left.isSymLink() && left.size() == sidecar.size();
        crypto::secureZero(sidecar);
        if (written) return key;
        if (created && !inPlace) undoCreatedRoot(folder, wroteAccount);
    }
    // Where the folder shows signs of a root, load would refuse a software key: a file sealed
    // with one could never be read back.
    if (folderShowsRootMode(folder)) return {};
    SecureBuffer key = randomBuffer(kKeyBytes);
    QByteArray bytes(reinterpret_cast<const char*>(key.data()), kKeyBytes);
    const bool written = writeWholeFile(keyPath, bytes);
    crypto::secureZero(bytes);
    if (!written || ::chmod(QFile::encodeName(keyPath).constData(), S_IRUSR | S_IWUSR) != 0) return {};
    return key;
}

SecureBuffer LocalIntegrityKey::getOrCreate(const QString& keyPath) {
    const QFileInfo info(keyPath);
    if (info.exists() || info.isSymLink()) return load(keyPath);
    switch (perFileItem(keyPath)) {
    case PerFileItem::Present:
        return load(keyPath);
    case PerFileItem::Absent:
        return create(keyPath);
    case PerFileItem::Unknown:
        break;
    }
    return {};  // a key may exist that the store could not tell about; creating one could hide it
}

bool LocalIntegrityKey::exists(const QString& keyPath) {
    const QFileInfo info(keyPath);
    return info.exists() || info.isSymLink() || perFileItem(keyPath) == PerFileItem::Present;
}

bool LocalIntegrityKey::destroyPersisted(const QString& keyPath) {
    const SecretStatus status = store().remove(service(), keyPath);
    return status == SecretStatus::Success || status == SecretStatus::ItemNotFound ||
           status == SecretStatus::Unavailable;
}

bool LocalIntegrityKey::isTpmProtected(const QString& keyPath) {
    return derivedMaterial(keyPath).has_value() && !load(keyPath).empty();
}

bool LocalIntegrityKey::isTpmRootUnavailable(const QString& keyPath) {
    return derivedMaterial(keyPath).has_value() && load(keyPath).empty();
}

void LocalIntegrityKey::clearCache() { rootCache().clear(); }

QString LocalIntegrityKey::exportRootRecoveryCode(const QString& keyPath) {
    bool created = false;
    const std::optional<SecureBuffer> root = getOrCreateRoot(rootFolder(keyPath), created);
    return root ? Totp::base32Encode(*root) : QString();
}

bool LocalIntegrityKey::restoreRootFromRecoveryCode(const QString& keyPath, const QString& code) {
    const std::optional<SecureBuffer> candidate = Totp::base32Decode(code);
    if (!candidate || candidate->size() != static_cast<std::size_t>(kKeyBytes)) return false;
    if (!keyPath.endsWith(QStringLiteral(".key"))) return false;
    const QString sealedPath = keyPath.left(keyPath.size() - 4);
    const std::optional<SecureBuffer> material = derivedMaterial(keyPath);
    if (!material) return false;
    const std::optional<QByteArray> sealed = readPlainFile(sealedPath);
    if (!sealed) return false;
    const SecureBuffer fileKey = deriveFileKey(keyPath, *candidate, *material);
    std::optional<QByteArray> payload = AuthenticatedJson::open(*sealed, fileKey);
    if (!payload) return false;
    crypto::secureZero(*payload);
    const QString folder = rootFolder(keyPath);
    if (!storeRoot(folder, *candidate, ExistingItem::Replace)) return false;
    rootCache().insert_or_assign(folder, copyOf(*candidate));
    return true;
}

SecretStatus LocalIntegrityKey::unlockStore(const QString& folder, const PromptWatcher& watcher) {
    const QString account = readRootAccount(folder);
    if (!account.isEmpty()) return store().unlock(service(), kRootPrefix + account, watcher);
    // Sidecars without a root account are software keys, which need no store.
    if (!QDir(folder).entryList({QStringLiteral("*.key")}, QDir::Files | QDir::Hidden).isEmpty()) {
        return SecretStatus::Success;
    }
    return store().unlock(service(), QString(), watcher);
}

void LocalIntegrityKey::setSecretStore(SecretStore* replacement) {
    g_overrideStore = replacement;
    clearCache();
}

}  // namespace dorvex::core
