#pragma once

#include "crypto/SecureBuffer.h"

#include <QByteArray>

#include <optional>

namespace dorvex::core {

// Magic + nonce + AEAD sealed value of the JSON text, bound to caller-supplied associated data.
class EncryptedJson {
public:
    static constexpr int kMagicBytes = 8;
    static constexpr int kNonceBytes = 24;

    // Empty when the key is not exactly 32 bytes.
    [[nodiscard]] static QByteArray seal(const QByteArray& payload, const crypto::SecureBuffer& key,
                                         const QByteArray& associatedData);
    [[nodiscard]] static bool isSealed(const QByteArray& data);
    [[nodiscard]] static std::optional<QByteArray> open(const QByteArray& data, const crypto::SecureBuffer& key,
                                                        const QByteArray& associatedData);
};

}  // namespace dorvex::core
