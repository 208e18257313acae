#pragma once

#include "crypto/SecureBuffer.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace dorvex::crypto {

// Authenticated encryption: AES-256-GCM where the processor has it, XChaCha20-Poly1305
// otherwise. The sealed value is suite byte | ciphertext | 16-byte tag.
class AeadCipher {
public:
    static constexpr std::size_t kKeyBytes = 32;
    static constexpr std::size_t kNonceBytes = 24;
    static constexpr std::size_t kTagBytes = 16;
    static constexpr std::size_t kOverheadBytes = 1 + kTagBytes;
    static constexpr unsigned char kSuiteAes256Gcm = 0;
    static constexpr unsigned char kSuiteXChaCha20Poly1305 = 1;

    [[nodiscard]] static SecureBuffer generateKey();
    [[nodiscard]] static std::vector<unsigned char> generateNonce();
    [[nodiscard]] static bool usingHardwareAes();

    [[nodiscard]] static std::vector<unsigned char> encrypt(const SecureBuffer& key,
                                                            const std::vector<unsigned char>& nonce,
                                                            const std::vector<unsigned char>& plaintext,
                                                            const std::vector<unsigned char>& associatedData);
    [[nodiscard]] static std::optional<std::vector<unsigned char>> decrypt(
        const SecureBuffer& key, const std::vector<unsigned char>& nonce,
        const std::vector<unsigned char>& sealed, const std::vector<unsigned char>& associatedData);

    // In-place forms for bulk data, so a large file needs one buffer only.
    // sealInPlace: `sealed` has room for plaintextLength + 17 bytes and holds the plaintext
    // from offset 1; on return it holds the sealed value (same layout as encrypt's output).
    static void sealInPlace(const SecureBuffer& key, const unsigned char* nonce24, unsigned char* sealed,
                            std::size_t plaintextLength, const unsigned char* associatedData,
                            std::size_t associatedLength);
    // openInPlace: on success the plaintext (sealedLength - 17 bytes) stands at sealed + 1.
    // On failure the buffer's contents are unspecified (wipe it) and false is returned.
    [[nodiscard]] static bool openInPlace(const SecureBuffer& key, const unsigned char* nonce24,
                                          unsigned char* sealed, std::size_t sealedLength,
                                          const unsigned char* associatedData, std::size_t associatedLength);
    // Seal with an explicitly chosen suite; for self-tests and cross-suite tests.
    [[nodiscard]] static std::vector<unsigned char> encryptWithSuite(
        unsigned char suite, const SecureBuffer& key, const std::vector<unsigned char>& nonce,
        const std::vector<unsigned char>& plaintext, const std::vector<unsigned char>& associatedData);
};

// A key sealed under another key: 24-byte nonce | sealed value.
class KeyWrap {
public:
    [[nodiscard]] static std::vector<unsigned char> wrap(const SecureBuffer& wrappingKey,
                                                         const SecureBuffer& keyToWrap,
                                                         const std::vector<unsigned char>& associatedData);
    [[nodiscard]] static std::optional<SecureBuffer> unwrap(const SecureBuffer& wrappingKey,
                                                            const std::vector<unsigned char>& wrapped,
                                                            const std::vector<unsigned char>& associatedData);
};

// Keyed BLAKE2b of context | second, keyed with first.
class KeyCombiner {
public:
    [[nodiscard]] static SecureBuffer combine(const SecureBuffer& first, const SecureBuffer& second,
                                              const std::string& context, unsigned long outputLength);
};

}  // namespace dorvex::crypto
