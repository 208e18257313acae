#pragma once

#include "crypto/SecureBuffer.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>

namespace dorvex::core {

enum class SecretStatus {
    Success,
    ItemNotFound,   // the store answered: there is no such item
    DuplicateItem,  // add: an item with this service and account already exists and was left as it was
    Locked,         // the item, or the collection it would go to, is locked; the data behind it is intact
    Dismissed,      // unlock: the system's prompt was cancelled (or could not be shown) and nothing was unlocked
    Failed,         // no answer to build on: timed out, refused, any other error
    Unavailable,    // no store in this session at all (no bus, no provider): as if there were no keychain
};

// Told on the thread of an unlock call: true when the system's prompt starts waiting for the
// user, false once it has been answered.
using PromptWatcher = std::function<void(bool waiting)>;

// The platform's store of small secrets (generic-password items keyed by service and account).
// Lookups answer Success, ItemNotFound, Locked or a failure; only ItemNotFound means the item is
// absent. No call but unlock ever asks the user anything.
class SecretStore {
public:
    virtual ~SecretStore() = default;

    // Success only with the item's secret in `secret`.
    [[nodiscard]] virtual SecretStatus fetch(const QString& service, const QString& account,
                                             crypto::SecureBuffer& secret) = 0;
    // Success with every account of the service, locked ones too; ItemNotFound when there are none.
    [[nodiscard]] virtual SecretStatus listAccounts(const QString& service, QStringList& accounts) = 0;
    // Never replaces an item: DuplicateItem when one with this service and account exists.
    [[nodiscard]] virtual SecretStatus add(const QString& service, const QString& account,
                                           const crypto::SecureBuffer& secret) = 0;
    // Replaces the secret of an existing item; ItemNotFound when there is none.
    [[nodiscard]] virtual SecretStatus update(const QString& service, const QString& account,
                                              const crypto::SecureBuffer& secret) = 0;
    [[nodiscard]] virtual SecretStatus remove(const QString& service, const QString& account) = 0;
    // Unlocks what holds the item of this service and account -- for an empty account, the
    // collection new items go to, created when there is none -- through the system's own prompt,
    // and waits for the user's answer. Success when nothing is left locked, ItemNotFound when
    // there is no such item, Dismissed when the prompt was cancelled, Locked when it stays locked.
    // A store without locks has nothing to unlock.
    [[nodiscard]] virtual SecretStatus unlock(const QString& service, const QString& account,
                                              const PromptWatcher& watcher) {
        (void)service, (void)account, (void)watcher;
        return SecretStatus::Success;
    }
};

// The platform backend (Secret Service on Linux). Each call is bounded in time while the
// service is to answer; not while its prompt waits for the user.
[[nodiscard]] std::unique_ptr<SecretStore> makePlatformSecretStore();

// How long the platform backend waits for the service to answer; tests shorten it.
extern std::chrono::milliseconds secretStoreCallLimit;

}  // namespace dorvex::core
