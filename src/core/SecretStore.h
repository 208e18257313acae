#pragma once

#include "crypto/SecureBuffer.h"

#include <QString>
#include <QStringList>

#include <memory>

namespace dorvex::core {

enum class SecretStatus {
    Success,
    ItemNotFound,
    DuplicateItem,
    Failed,  // any other error once a store answered, or an add to a store that cannot be reached
};

// The platform's store of small secrets (generic-password items keyed by service and account).
// A store that cannot be reached at all behaves as an empty store whose adds fail.
class SecretStore {
public:
    virtual ~SecretStore() = default;

    // Success only with the item's secret in `secret`.
    [[nodiscard]] virtual SecretStatus fetch(const QString& service, const QString& account,
                                             crypto::SecureBuffer& secret) = 0;
    // Success with every account of the service (possibly none); ItemNotFound when there are none.
    [[nodiscard]] virtual SecretStatus listAccounts(const QString& service, QStringList& accounts) = 0;
    // DuplicateItem when an item with this service and account already exists.
    [[nodiscard]] virtual SecretStatus add(const QString& service, const QString& account,
                                           const crypto::SecureBuffer& secret) = 0;
    [[nodiscard]] virtual SecretStatus update(const QString& service, const QString& account,
                                              const crypto::SecureBuffer& secret) = 0;
    [[nodiscard]] virtual SecretStatus remove(const QString& service, const QString& account) = 0;
};

// The platform backend (Secret Service on Linux). Each call is bounded in time.
[[nodiscard]] std::unique_ptr<SecretStore> makePlatformSecretStore();

}  // namespace dorvex::core
