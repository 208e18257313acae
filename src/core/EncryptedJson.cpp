#include "core/EncryptedJson.h"

#include "crypto/AeadCipher.h"

#include <vector>

namespace dorvex::core {

namespace {

constexpr char kMagic[] = "DRVXEJV1";

std::vector<unsigned char> toBytes(const QByteArray& data) {
    const auto* begin = reinterpret_cast<const unsigned char*>(data.constData());
    return std::vector<unsigned char>(begin, begin + data.size());
}

}  // namespace

QByteArray EncryptedJson::seal(const QByteArray& payload, const crypto::SecureBuffer& key,
                               const QByteArray& associatedData) {
    if (key.size() != crypto::AeadCipher::kKeyBytes) return {};
    const std::vector<unsigned char> nonce = crypto::AeadCipher::generateNonce();
    std::vector<unsigned char> plain = toBytes(payload);
    const std::vector<unsigned char> sealed =
        crypto::AeadCipher::encrypt(key, nonce, plain, toBytes(associatedData));
    crypto::secureZero(plain);
    QByteArray out;
    out.reserve(kMagicBytes + kNonceBytes + static_cast<qsizetype>(sealed.size()));
    out.append(kMagic, kMagicBytes);
    out.append(reinterpret_cast<const char*>(nonce.data()), static_cast<qsizetype>(nonce.size()));
    out.append(reinterpret_cast<const char*>(sealed.data()), static_cast<qsizetype>(sealed.size()));
    return out;
}

bool EncryptedJson::isSealed(const QByteArray& data) {
    return data.size() >= kMagicBytes && data.startsWith(QByteArrayView(kMagic, kMagicBytes));
}

std::optional<QByteArray> EncryptedJson::open(const QByteArray& data, const crypto::SecureBuffer& key,
                                              const QByteArray& associatedData) {
    if (key.size() != crypto::AeadCipher::kKeyBytes || !isSealed(data) || data.size() < kMagicBytes + kNonceBytes) {
        return std::nullopt;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.constData());
    const std::vector<unsigned char> nonce(bytes + kMagicBytes, bytes + kMagicBytes + kNonceBytes);
    const std::vector<unsigned char> sealed(bytes + kMagicBytes + kNonceBytes, bytes + data.size());
    std::optional<std::vector<unsigned char>> plain =
        crypto::AeadCipher::decrypt(key, nonce, sealed, toBytes(associatedData));
    if (!plain) return std::nullopt;
    QByteArray out(reinterpret_cast<const char*>(plain->data()), static_cast<qsizetype>(plain->size()));
    crypto::secureZero(*plain);
    return out;
}

}  // namespace dorvex::core
