#pragma once

#include "crypto/SecureBuffer.h"

#include <QByteArray>

#include <optional>

namespace dorvex::core {

// Magic + HMAC-SHA-512-256 tag + JSON text: detects changes, does not hide content.
class AuthenticatedJson {
public:
    static constexpr int kMagicBytes = 8;
    static constexpr int kTagBytes = 32;
    static constexpr int kHeaderBytes = kMagicBytes + kTagBytes;

    // Empty when the key is not exactly 32 bytes.
    [[nodiscard]] static QByteArray seal(const QByteArray& payload, const crypto::SecureBuffer& key);
    [[nodiscard]] static bool isSealed(const QByteArray& data);
    // Also accepts the older form without the magic (tag at offset 0).
    [[nodiscard]] static std::optional<QByteArray> open(const QByteArray& data, const crypto::SecureBuffer& key);
};

}  // namespace dorvex::core
