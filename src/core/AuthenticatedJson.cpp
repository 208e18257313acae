#include "core/AuthenticatedJson.h"

#include <sodium.h>

namespace dorvex::core {

namespace {
constexpr char kMagic[] = "DRVXAJV2";
}

QByteArray AuthenticatedJson::seal(const QByteArray& payload, const crypto::SecureBuffer& key) {
    if (key.size() != crypto_auth_KEYBYTES) return {};
    crypto::detail::ensureSodiumInitialized();
    unsigned char tag[crypto_auth_BYTES];
    crypto_auth(tag, reinterpret_cast<const unsigned char*>(payload.constData()),
                static_cast<unsigned long long>(payload.size()), key.data());
    QByteArray out;
    out.reserve(payload.size() + kHeaderBytes);
    out.append(kMagic, kMagicBytes);
    out.append(reinterpret_cast<const char*>(tag), kTagBytes);
    out.append(payload);
    return out;
}

bool AuthenticatedJson::isSealed(const QByteArray& data) {
    return data.size() >= kMagicBytes && data.startsWith(QByteArrayView(kMagic, kMagicBytes));
}

std::optional<QByteArray> AuthenticatedJson::open(const QByteArray& data, const crypto::SecureBuffer& key) {
    if (key.size() != crypto_auth_KEYBYTES) return std::nullopt;
    const qsizetype tagOffset = isSealed(data) ? kMagicBytes : 0;
    if (data.size() < tagOffset + kTagBytes) return std::nullopt;
    crypto::detail::ensureSodiumInitialized();
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.constData());
    const qsizetype payloadOffset = tagOffset + kTagBytes;
    if (crypto_auth_verify(bytes + tagOffset, bytes + payloadOffset,
                           static_cast<unsigned long long>(data.size() - payloadOffset), key.data()) != 0) {
        return std::nullopt;
    }
    return data.mid(payloadOffset);
}

}  // namespace dorvex::core
