#pragma once

#include "crypto/SecureBuffer.h"

#include <cstddef>
#include <memory>

namespace dorvex::crypto {

// Seals or opens one value piece by piece, so that a file of any size passes through a small
// window. The result is byte for byte what AeadCipher's one-shot forms give for the same key,
// nonce and associated data: AES-256-GCM through OpenSSL (IV = the first 12 nonce bytes), or
// XChaCha20-Poly1305 (IETF) built from libsodium's HChaCha20, ChaCha20 and Poly1305.
//
// Opening releases plaintext before the tag is checked: the caller must keep it from use
// (and wipe it) unless finishOpen() succeeds.
class AeadStream {
public:
    enum class Direction { Seal, Open };

    // Throws std::invalid_argument for a key or nonce of the wrong length or an unknown suite,
    // std::runtime_error when the cipher cannot be set up.
    AeadStream(Direction direction, unsigned char suite, const SecureBuffer& key, const unsigned char* nonce24,
               const unsigned char* associatedData, std::size_t associatedLength);
    ~AeadStream();
    AeadStream(AeadStream&&) noexcept;
    AeadStream& operator=(AeadStream&&) noexcept;
    AeadStream(const AeadStream&) = delete;
    AeadStream& operator=(const AeadStream&) = delete;

    // The suite a new seal uses on this processor (the one AeadCipher::encrypt chooses).
    [[nodiscard]] static unsigned char preferredSuite();
    [[nodiscard]] unsigned char suite() const { return suite_; }

    // The next `length` bytes; `in` and `out` may be the same buffer (not otherwise overlapping).
    // False when the cipher failed or the value grew past what the suite can take.
    [[nodiscard]] bool update(const unsigned char* in, unsigned char* out, std::size_t length);
    // Seal only: the 16-byte tag over everything passed through update.
    [[nodiscard]] bool finishSeal(unsigned char* tag16);
    // Open only: whether the tag authenticates everything passed through update.
    [[nodiscard]] bool finishOpen(const unsigned char* tag16);

    class Backend;

private:
    Direction direction_;
    unsigned char suite_;
    bool finished_ = false;
    std::unique_ptr<Backend> backend_;
};

}  // namespace dorvex::crypto
