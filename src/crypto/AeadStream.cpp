#include "crypto/AeadStream.h"

#include "crypto/AeadCipher.h"

#include <openssl/evp.h>
#include <sodium.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>

namespace dorvex::crypto {

class AeadStream::Backend {
public:
    virtual ~Backend() = default;
    [[nodiscard]] virtual bool update(bool seal, const unsigned char* in, unsigned char* out, std::size_t length) = 0;
    [[nodiscard]] virtual bool finish(bool seal, unsigned char* tag16) = 0;
};

namespace {

constexpr std::size_t kGcmIvBytes = 12;

// AES-256-GCM through EVP. The context holds the expanded key; EVP_CIPHER_CTX_free cleanses it.
class GcmBackend final : public AeadStream::Backend {
public:
    GcmBackend(bool seal, const SecureBuffer& key, const unsigned char* nonce, const unsigned char* ad,
               std::size_t adLength)
        : ctx_(EVP_CIPHER_CTX_new())
    {
        if (ctx_ == nullptr)
            throw std::bad_alloc();
        // EVP's default GCM IV length is the 12 bytes the stored format uses.
        const int ok = seal ? EVP_EncryptInit_ex(ctx_, EVP_aes_256_gcm(), nullptr, key.data(), nonce)
                            : EVP_DecryptInit_ex(ctx_, EVP_aes_256_gcm(), nullptr, key.data(), nonce);
        if (ok != 1 || EVP_CIPHER_CTX_get_iv_length(ctx_) != static_cast<int>(kGcmIvBytes)
            || !update(seal, ad, nullptr, adLength)) {
            EVP_CIPHER_CTX_free(ctx_);
            throw std::runtime_error("AeadStream: AES-256-GCM could not be set up");
        }
    }
    ~GcmBackend() override { EVP_CIPHER_CTX_free(ctx_); }
    GcmBackend(const GcmBackend&) = delete;
    GcmBackend& operator=(const GcmBackend&) = delete;

    // out == nullptr feeds associated data.
    bool update(bool seal, const unsigned char* in, unsigned char* out, std::size_t length) override
    {
        // EVP takes an int length.
        constexpr std::size_t kPiece = std::size_t{1} << 30;
        while (length > 0) {
            const std::size_t n = std::min(length, kPiece);
            int produced = 0;
            const int ok = seal ? EVP_EncryptUpdate(ctx_, out, &produced, in, static_cast<int>(n))
                                : EVP_DecryptUpdate(ctx_, out, &produced, in, static_cast<int>(n));
            // GCM is a stream mode: every byte in is a byte out at once.
            if (ok != 1 || (out != nullptr && produced != static_cast<int>(n)))
                return false;
            in += n;
            if (out != nullptr)
                out += n;
            length -= n;
        }
        return true;
    }

    bool finish(bool seal, unsigned char* tag16) override
    {
        unsigned char none[16];
        int produced = 0;
        if (seal) {
            return EVP_EncryptFinal_ex(ctx_, none, &produced) == 1 && produced == 0
                && EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_GCM_GET_TAG, static_cast<int>(AeadCipher::kTagBytes), tag16) == 1;
        }
        return EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_GCM_SET_TAG, static_cast<int>(AeadCipher::kTagBytes), tag16) == 1
            && EVP_DecryptFinal_ex(ctx_, none, &produced) == 1 && produced == 0;
    }

private:
    EVP_CIPHER_CTX* ctx_;
};

// libsodium's crypto_aead_xchacha20poly1305_ietf construction, one piece at a time: the
// HChaCha20 subkey of the first 16 nonce bytes, then ChaCha20-Poly1305 (IETF) under it with
// four zero bytes and the last 8 nonce bytes as its nonce. Block 0 of the key stream keys
// Poly1305; the message is encrypted from block 1 on.
class XChaChaBackend final : public AeadStream::Backend {
public:
    XChaChaBackend(const SecureBuffer& key, const unsigned char* nonce, const unsigned char* ad, std::size_t adLength)
        : secret_(paddedSize())
    {
        State& s = *new (secret_.data()) State{};
        crypto_core_hchacha20(s.subkey, nonce, key.data(), nullptr);
        std::memset(s.nonce12, 0, 4);
        std::memcpy(s.nonce12 + 4, nonce + 16, 8);
        crypto_stream_chacha20_ietf(s.block, sizeof s.block, s.nonce12, s.subkey);
        crypto_onetimeauth_poly1305_init(&s.mac, s.block);
        sodium_memzero(s.block, sizeof s.block);
        crypto_onetimeauth_poly1305_update(&s.mac, ad, adLength);
        pad(adLength);
        adLength_ = adLength;
        s.counter = 1;
        s.used = sizeof s.block;  // no key stream left over
    }

    bool update(bool seal, const unsigned char* in, unsigned char* out, std::size_t length) override
    {
        State& s = state();
        // Poly1305 reads the ciphertext: before decryption (in may be out), after encryption.
        if (!seal)
            crypto_onetimeauth_poly1305_update(&s.mac, in, length);
        const unsigned char* const ciphertext = out;
        const std::size_t total = length;
        // The rest of a block that an earlier piece began.
        while (length > 0 && s.used < sizeof s.block) {
            *out++ = static_cast<unsigned char>(*in++ ^ s.block[s.used++]);
            --length;
        }
        const std::size_t whole = length / sizeof s.block;
        const std::size_t tail = length % sizeof s.block;
        // ChaCha20-IETF's block counter is 32 bits wide.
        if (whole + (tail > 0 ? 1 : 0) > std::numeric_limits<std::uint32_t>::max() - s.counter)
            return false;
        if (whole > 0) {
            crypto_stream_chacha20_ietf_xor_ic(out, in, whole * sizeof s.block, s.nonce12,
                                               static_cast<std::uint32_t>(s.counter), s.subkey);
            s.counter += whole;
            in += whole * sizeof s.block;
            out += whole * sizeof s.block;
        }
        if (tail > 0) {
            std::memset(s.block, 0, sizeof s.block);
            crypto_stream_chacha20_ietf_xor_ic(s.block, s.block, sizeof s.block, s.nonce12,
                                               static_cast<std::uint32_t>(s.counter), s.subkey);
            ++s.counter;
            for (std::size_t i = 0; i < tail; ++i)
                out[i] = static_cast<unsigned char>(in[i] ^ s.block[i]);
            s.used = tail;
        }
        if (seal)
            crypto_onetimeauth_poly1305_update(&s.mac, ciphertext, total);
        messageLength_ += total;
        return true;
    }

    bool finish(bool seal, unsigned char* tag16) override
    {
        State& s = state();
        pad(messageLength_);
        unsigned char lengths[16];
        for (int i = 0; i < 8; ++i) {
            lengths[i] = static_cast<unsigned char>(static_cast<std::uint64_t>(adLength_) >> (8 * i));
            lengths[8 + i] = static_cast<unsigned char>(messageLength_ >> (8 * i));
        }
        crypto_onetimeauth_poly1305_update(&s.mac, lengths, sizeof lengths);
        unsigned char computed[crypto_onetimeauth_poly1305_BYTES];
        crypto_onetimeauth_poly1305_final(&s.mac, computed);
        bool ok = true;
        if (seal)
            std::memcpy(tag16, computed, sizeof computed);
        else
            ok = crypto_verify_16(computed, tag16) == 0;
        sodium_memzero(computed, sizeof computed);
        return ok;
    }

private:
    struct State {
        crypto_onetimeauth_poly1305_state mac;
        unsigned char subkey[crypto_core_hchacha20_OUTPUTBYTES];
        unsigned char nonce12[12];
        unsigned char block[64];  // key stream of the block in progress
        std::size_t used;
        std::uint64_t counter;
    };

    // sodium_malloc ends a region at a page boundary, so a size in whole 64-byte units keeps
    // the state aligned.
    static std::size_t paddedSize() { return (sizeof(State) + 63) / 64 * 64; }
    State& state() { return *reinterpret_cast<State*>(secret_.data()); }

    void pad(std::size_t length)
    {
        static const unsigned char zeros[16] = {};
        crypto_onetimeauth_poly1305_update(&state().mac, zeros, (0x10 - length) & 0xf);
    }

    SecureBuffer secret_;  // subkey, key stream and MAC state: guarded, wiped on release
    std::size_t adLength_ = 0;
    std::uint64_t messageLength_ = 0;
};

static_assert(std::is_trivially_copyable_v<crypto_onetimeauth_poly1305_state>);

}  // namespace

AeadStream::AeadStream(Direction direction, unsigned char suite, const SecureBuffer& key, const unsigned char* nonce24,
                       const unsigned char* associatedData, std::size_t associatedLength)
    : direction_(direction), suite_(suite)
{
    if (key.size() != AeadCipher::kKeyBytes)
        throw std::invalid_argument("AeadStream: key must be kKeyBytes long");
    if (nonce24 == nullptr)
        throw std::invalid_argument("AeadStream: nonce must be kNonceBytes long");
    if (associatedLength > 0 && associatedData == nullptr)
        throw std::invalid_argument("AeadStream: associated data missing");
    detail::ensureSodiumInitialized();
    const bool seal = direction == Direction::Seal;
    if (suite == AeadCipher::kSuiteAes256Gcm)
        backend_ = std::make_unique<GcmBackend>(seal, key, nonce24, associatedData, associatedLength);
    else if (suite == AeadCipher::kSuiteXChaCha20Poly1305)
        backend_ = std::make_unique<XChaChaBackend>(key, nonce24, associatedData, associatedLength);
    else
        throw std::invalid_argument("AeadStream: unknown suite");
}

AeadStream::~AeadStream() = default;
AeadStream::AeadStream(AeadStream&&) noexcept = default;
AeadStream& AeadStream::operator=(AeadStream&&) noexcept = default;

unsigned char AeadStream::preferredSuite()
{
    return AeadCipher::usingHardwareAes() ? AeadCipher::kSuiteAes256Gcm : AeadCipher::kSuiteXChaCha20Poly1305;
}

bool AeadStream::update(const unsigned char* in, unsigned char* out, std::size_t length)
{
    if (!backend_ || finished_)
        return false;
    if (length == 0)
        return true;
    return backend_->update(direction_ == Direction::Seal, in, out, length);
}

bool AeadStream::finishSeal(unsigned char* tag16)
{
    if (!backend_ || finished_ || direction_ != Direction::Seal)
        return false;
    finished_ = true;
    return backend_->finish(true, tag16);
}

bool AeadStream::finishOpen(const unsigned char* tag16)
{
    if (!backend_ || finished_ || direction_ != Direction::Open)
        return false;
    finished_ = true;
    unsigned char tag[AeadCipher::kTagBytes];
    std::memcpy(tag, tag16, sizeof tag);
    return backend_->finish(false, tag);
}

}  // namespace dorvex::crypto
