// Input: 1 selector byte, 1 key-length byte, the key, 1 associated-data length byte, the
// associated data, then the envelope bytes. Opening must never crash; sealing then opening
// what was given must give it back.
#include "core/AuthenticatedJson.h"
#include "core/EncryptedJson.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using dorvex::core::AuthenticatedJson;
using dorvex::core::EncryptedJson;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const bool encrypted = (data[0] & 1) != 0;
    std::size_t keyLength = data[1] % 65;
    if (data[0] & 2) keyLength = 32;  // mostly exercise the real key size
    std::size_t at = 2;
    if (size - at < keyLength + 1) return 0;
    dorvex::crypto::SecureBuffer key(data + at, keyLength);
    at += keyLength;
    const std::size_t adLength = data[at++];
    if (size - at < adLength) return 0;
    const QByteArray ad(reinterpret_cast<const char*>(data + at), static_cast<qsizetype>(adLength));
    at += adLength;
    const QByteArray envelope(reinterpret_cast<const char*>(data + at), static_cast<qsizetype>(size - at));

    if (encrypted) {
        (void)EncryptedJson::open(envelope, key, ad);
        const QByteArray sealed = EncryptedJson::seal(envelope, key, ad);
        if (keyLength == 32 && EncryptedJson::open(sealed, key, ad) != envelope) std::abort();
        if (keyLength != 32 && !sealed.isEmpty()) std::abort();
    } else {
        (void)AuthenticatedJson::open(envelope, key);
        const QByteArray sealed = AuthenticatedJson::seal(envelope, key);
        if (keyLength == 32 && AuthenticatedJson::open(sealed, key) != envelope) std::abort();
        if (keyLength != 32 && !sealed.isEmpty()) std::abort();
    }
    return 0;
}
