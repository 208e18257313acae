#include "crypto/AeadCipher.h"

#include <sodium.h>

#include <cstring>
#include <stdexcept>

namespace dorvex::crypto {

static_assert(crypto_aead_xchacha20poly1305_ietf_NPUBBYTES == AeadCipher::kNonceBytes);
static_assert(crypto_aead_aes256gcm_NPUBBYTES <= AeadCipher::kNonceBytes);
static_assert(crypto_aead_aes256gcm_ABYTES == AeadCipher::kTagBytes);
static_assert(crypto_aead_xchacha20poly1305_ietf_ABYTES == AeadCipher::kTagBytes);

namespace {

void checkLengths(const SecureBuffer& key, std::size_t nonceLength, const char* keyMessage, const char* nonceMessage)
{
    if (key.size() != AeadCipher::kKeyBytes)
        throw std::invalid_argument(keyMessage);
    if (nonceLength != AeadCipher::kNonceBytes)
        throw std::invalid_argument(nonceMessage);
}

const unsigned char* adPointer(const unsigned char* ad, std::size_t length) { return length == 0 ? nullptr : ad; }

// Encrypts plaintext (length n, may alias out + 1) into out[1 .. n + 17) with the given suite.
void sealWith(unsigned char suite, const SecureBuffer& key, const unsigned char* nonce, unsigned char* out,
              const unsigned char* plaintext, std::size_t n, const unsigned char* ad, std::size_t adLength)
{
    out[0] = suite;
    unsigned long long written = 0;
    if (suite == AeadCipher::kSuiteAes256Gcm) {
        crypto_aead_aes256gcm_encrypt(out + 1, &written, plaintext, n, adPointer(ad, adLength), adLength, nullptr,
                                      nonce, key.data());
    } else {
        crypto_aead_xchacha20poly1305_ietf_encrypt(out + 1, &written, plaintext, n, adPointer(ad, adLength),
                                                   adLength, nullptr, nonce, key.data());
    }
}

// Decrypts ciphertext | tag (length bytes, may alias out) sealed with the given suite.
bool openWith(const SecureBuffer& key, const unsigned char* nonce, unsigned char suite, const unsigned char* ciphertext,
              std::size_t length, unsigned char* out, const unsigned char* ad, std::size_t adLength)
{
    unsigned long long produced = 0;
    if (suite == AeadCipher::kSuiteAes256Gcm) {
        return crypto_aead_aes256gcm_decrypt(out, &produced, nullptr, ciphertext, length, adPointer(ad, adLength),
                                             adLength, nonce, key.data()) == 0;
    }
    return crypto_aead_xchacha20poly1305_ietf_decrypt(out, &produced, nullptr, ciphertext, length,
                                                      adPointer(ad, adLength), adLength, nonce, key.data()) == 0;
}

}  // namespace

SecureBuffer AeadCipher::generateKey()
{
    detail::ensureSodiumInitialized();
    SecureBuffer key(kKeyBytes);
    randombytes_buf(key.data(), key.size());
    return key;
}

std::vector<unsigned char> AeadCipher::generateNonce()
{
    detail::ensureSodiumInitialized();
    std::vector<unsigned char> nonce(kNonceBytes);
    randombytes_buf(nonce.data(), nonce.size());
    return nonce;
}

bool AeadCipher::usingHardwareAes()
{
    detail::ensureSodiumInitialized();
    return crypto_aead_aes256gcm_is_available() == 1;
}

std::vector<unsigned char> AeadCipher::encrypt(const SecureBuffer& key, const std::vector<unsigned char>& nonce,
                                               const std::vector<unsigned char>& plaintext,
                                               const std::vector<unsigned char>& associatedData)
{
    checkLengths(key, nonce.size(), "AeadCipher::encrypt: key must be kKeyBytes long",
                 "AeadCipher::encrypt: nonce must be kNonceBytes long");
    return encryptWithSuite(usingHardwareAes() ? kSuiteAes256Gcm : kSuiteXChaCha20Poly1305, key, nonce, plaintext,
                            associatedData);
}

std::vector<unsigned char> AeadCipher::encryptWithSuite(unsigned char suite, const SecureBuffer& key,
                                                        const std::vector<unsigned char>& nonce,
                                                        const std::vector<unsigned char>& plaintext,
                                                        const std::vector<unsigned char>& associatedData)
{
    checkLengths(key, nonce.size(), "AeadCipher::encrypt: key must be kKeyBytes long",
                 "AeadCipher::encrypt: nonce must be kNonceBytes long");
    detail::ensureSodiumInitialized();
    if (suite == kSuiteAes256Gcm && crypto_aead_aes256gcm_is_available() != 1)
        throw std::invalid_argument("AeadCipher::encrypt: AES-256-GCM is not available on this processor");
    std::vector<unsigned char> out(plaintext.size() + kOverheadBytes);
    sealWith(suite == kSuiteAes256Gcm ? kSuiteAes256Gcm : kSuiteXChaCha20Poly1305, key, nonce.data(), out.data(),
             plaintext.data(), plaintext.size(), associatedData.data(), associatedData.size());
    return out;
}

std::optional<std::vector<unsigned char>> AeadCipher::decrypt(const SecureBuffer& key,
                                                              const std::vector<unsigned char>& nonce,
                                                              const std::vector<unsigned char>& sealed,
                                                              const std::vector<unsigned char>& associatedData)
{
    checkLengths(key, nonce.size(), "AeadCipher::decrypt: key must be kKeyBytes long",
                 "AeadCipher::decrypt: nonce must be kNonceBytes long");
    detail::ensureSodiumInitialized();
    if (sealed.size() < kOverheadBytes || sealed[0] > kSuiteXChaCha20Poly1305)
        return std::nullopt;
    if (sealed[0] == kSuiteAes256Gcm && crypto_aead_aes256gcm_is_available() != 1)
        return std::nullopt;  // cannot be opened on a processor without AES-NI
    std::vector<unsigned char> plain(sealed.size() - kOverheadBytes);
    if (!openWith(key, nonce.data(), sealed[0], sealed.data() + 1, sealed.size() - 1, plain.data(),
                  associatedData.data(), associatedData.size())) {
        secureZero(plain);
        return std::nullopt;
    }
    return plain;
}

void AeadCipher::sealInPlace(const SecureBuffer& key, const unsigned char* nonce24, unsigned char* sealed,
                             std::size_t plaintextLength, const unsigned char* associatedData,
                             std::size_t associatedLength)
{
    checkLengths(key, kNonceBytes, "AeadCipher::encrypt: key must be kKeyBytes long",
                 "AeadCipher::encrypt: nonce must be kNonceBytes long");
    const unsigned char suite = usingHardwareAes() ? kSuiteAes256Gcm : kSuiteXChaCha20Poly1305;
    sealWith(suite, key, nonce24, sealed, sealed + 1, plaintextLength, associatedData, associatedLength);
}

bool AeadCipher::openInPlace(const SecureBuffer& key, const unsigned char* nonce24, unsigned char* sealed,
                             std::size_t sealedLength, const unsigned char* associatedData,
                             std::size_t associatedLength)
{
    checkLengths(key, kNonceBytes, "AeadCipher::decrypt: key must be kKeyBytes long",
                 "AeadCipher::decrypt: nonce must be kNonceBytes long");
    detail::ensureSodiumInitialized();
    if (sealedLength < kOverheadBytes || sealed[0] > kSuiteXChaCha20Poly1305)
        return false;
    if (sealed[0] == kSuiteAes256Gcm && crypto_aead_aes256gcm_is_available() != 1)
        return false;
    return openWith(key, nonce24, sealed[0], sealed + 1, sealedLength - 1, sealed + 1, associatedData,
                    associatedLength);
}

std::vector<unsigned char> KeyWrap::wrap(const SecureBuffer& wrappingKey, const SecureBuffer& keyToWrap,
                                         const std::vector<unsigned char>& associatedData)
{
    std::vector<unsigned char> nonce = AeadCipher::generateNonce();
    std::vector<unsigned char> copy(keyToWrap.data(), keyToWrap.data() + keyToWrap.size());
    std::vector<unsigned char> sealed;
    try {
        sealed = AeadCipher::encrypt(wrappingKey, nonce, copy, associatedData);
    } catch (...) {
        secureZero(copy);
        throw;
    }
    secureZero(copy);
    nonce.insert(nonce.end(), sealed.begin(), sealed.end());
    return nonce;
}

std::optional<SecureBuffer> KeyWrap::unwrap(const SecureBuffer& wrappingKey, const std::vector<unsigned char>& wrapped,
                                            const std::vector<unsigned char>& associatedData)
{
    if (wrapped.size() <= AeadCipher::kNonceBytes + AeadCipher::kOverheadBytes - 1)
        return std::nullopt;
    const std::vector<unsigned char> nonce(wrapped.begin(), wrapped.begin() + AeadCipher::kNonceBytes);
    const std::vector<unsigned char> sealed(wrapped.begin() + AeadCipher::kNonceBytes, wrapped.end());
    auto plain = AeadCipher::decrypt(wrappingKey, nonce, sealed, associatedData);
    if (!plain)
        return std::nullopt;
    SecureBuffer key(plain->data(), plain->size());
    secureZero(*plain);
    return key;
}

SecureBuffer KeyCombiner::combine(const SecureBuffer& first, const SecureBuffer& second, const std::string& context,
                                  unsigned long outputLength)
{
    detail::ensureSodiumInitialized();
    if (outputLength < crypto_generichash_BYTES_MIN || outputLength > crypto_generichash_BYTES_MAX)
        throw std::invalid_argument("KeyCombiner::combine: output length must be 16 to 64 bytes");
    if (first.size() > crypto_generichash_KEYBYTES_MAX)
        throw std::invalid_argument("KeyCombiner::combine: first key must be at most 64 bytes");
    std::vector<unsigned char> message(context.begin(), context.end());
    message.insert(message.end(), second.data(), second.data() + second.size());
    SecureBuffer result(outputLength);
    crypto_generichash(result.data(), outputLength, message.empty() ? nullptr : message.data(), message.size(),
                       first.empty() ? nullptr : first.data(), first.size());
    secureZero(message);
    return result;
}

}  // namespace dorvex::crypto
