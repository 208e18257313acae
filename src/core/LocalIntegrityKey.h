#pragma once

#include "core/SecretStore.h"
#include "crypto/SecureBuffer.h"

#include <QString>

namespace dorvex::core {

// Per-file sealing keys: derived from a per-folder root held in the secret store (sidecar
// "DRVTPMK2" + 32 bytes of material), or, where the store cannot hold a root, a 32-byte
// owner-only sidecar that is the key itself. All calls take the sidecar path (file + ".key").
class LocalIntegrityKey {
public:
    static constexpr const char* kService = "com.murravo.LocalIntegrityKey";

    [[nodiscard]] static crypto::SecureBuffer load(const QString& keyPath);
    [[nodiscard]] static crypto::SecureBuffer create(const QString& keyPath);
    [[nodiscard]] static crypto::SecureBuffer getOrCreate(const QString& keyPath);
    [[nodiscard]] static bool exists(const QString& keyPath);
    [[nodiscard]] static bool destroyPersisted(const QString& keyPath);
    [[nodiscard]] static bool isTpmProtected(const QString& keyPath);
    [[nodiscard]] static bool isTpmRootUnavailable(const QString& keyPath);
    static void clearCache();
    [[nodiscard]] static QString exportRootRecoveryCode(const QString& keyPath);
    [[nodiscard]] static bool restoreRootFromRecoveryCode(const QString& keyPath, const QString& code);

    // Before the sealed files of `folder` are read: unlocks the store's item that holds the
    // folder's root -- or, for a folder that has yet to make its root, the collection it will go
    // to -- through the system's prompt, waiting for the user's answer. Success also when the
    // folder's keys need no store. It touches no cache, so it may run on a worker thread while
    // the GUI thread waits for it.
    [[nodiscard]] static SecretStatus unlockStore(const QString& folder, const PromptWatcher& watcher = {});

    // Replaces the secret store (tests); nullptr restores the platform store. Clears the cache.
    // The store must outlive its use.
    static void setSecretStore(SecretStore* store);
};

}  // namespace dorvex::core
