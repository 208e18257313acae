#pragma once

#include "crypto/SecureBuffer.h"

#include <QString>
#include <QStringList>

#include <memory>

namespace dorvex::core {

enum class SecretStatus {
    Success,
    ItemNotFound,   // the store answered: there is no such item
    DuplicateItem,  // add: an item with this service and account already exists and was left as it was
    Failed,         // no answer to build on: timed out, locked, refused, any other error
    Unavailable,    // no store in this session at all (no bus, no provider): as if there were no keychain
};

// The platform's store of small secrets (generic-password items keyed by service and account).
// Lookups answer Success, ItemNotFound or a failure; only ItemNotFound means the item is absent.
class SecretStore {
public:
    virtual ~SecretStore() = default;

    // Success only with the item's secret in `secret`.
    [[nodiscard]] virtual SecretStatus fetch(const QString& service, const QString& account,
                                             crypto::SecureBuffer& secret) = 0;
    // Success with every account of the service (possibly none); ItemNotFound when there are none.
    [[nodiscard]] virtual SecretStatus listAccounts(const QString& service, QStringList& accounts) = 0;
    // Never replaces an item: DuplicateItem when one with this service and account exists.
    [[nodiscard]] virtual SecretStatus add(const QString& service, const QString& account,
                                           const crypto::SecureBuffer& secret) = 0;
    // Replaces the secret of an existing item; ItemNotFound when there is none.
    [[nodiscard]] virtual SecretStatus update(const QString& service, const QString& account,
                                              const crypto::SecureBuffer& secret) = 0;
    [[nodiscard]] virtual SecretStatus remove(const QString& service, const QString& account) = 0;
};

// The platform backend (Secret Service on Linux). Each call is bounded in time.
[[nodiscard]] std::unique_ptr<SecretStore> makePlatformSecretStore();

}  // namespace dorvex::core
