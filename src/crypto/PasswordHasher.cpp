#include "crypto/PasswordHasher.h"

#include <sodium.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace dorvex::crypto {

namespace {

// "$argon2id$v=19$m=<KiB>,t=<passes>,p=1$<salt>$<hash>", salt and hash in Base64 without
// padding: the form crypto_pwhash_str writes.
struct Verifier {
    unsigned long long opsLimit = 0;
    std::size_t memLimit = 0;
    unsigned char salt[crypto_pwhash_SALTBYTES] = {};
    unsigned char hash[64] = {};
    std::size_t hashBytes = 0;
};

bool consume(std::string_view& text, std::string_view prefix)
{
    if (text.substr(0, prefix.size()) != prefix)
        return false;
    text.remove_prefix(prefix.size());
    return true;
}

// A decimal without leading zeros.
bool readNumber(std::string_view& text, unsigned long long& value)
{
    std::size_t digits = 0;
    value = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        if (value > (std::numeric_limits<unsigned long long>::max() - 9) / 10)
            return false;
        value = value * 10 + static_cast<unsigned long long>(text[digits] - '0');
        ++digits;
    }
    if (digits == 0 || (digits > 1 && text[0] == '0'))
        return false;
    text.remove_prefix(digits);
    return true;
}

// The Base64 field up to the next '$' or the end.
bool readBase64(std::string_view& text, unsigned char* out, std::size_t capacity, std::size_t& length)
{
    const std::string_view field = text.substr(0, text.find('$'));
    const char* end = nullptr;
    if (sodium_base642bin(out, capacity, field.data(), field.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_ORIGINAL_NO_PADDING)
            != 0
        || end != field.data() + field.size())
        return false;
    text.remove_prefix(field.size());
    return true;
}

std::optional<Verifier> parseVerifier(const std::string& stored)
{
    std::string_view text(stored);
    Verifier v;
    unsigned long long kib = 0;
    unsigned long long passes = 0;
    unsigned long long lanes = 0;
    std::size_t saltBytes = 0;
    if (!consume(text, "$argon2id$v=19$m=") || !readNumber(text, kib) || !consume(text, ",t=")
        || !readNumber(text, passes) || !consume(text, ",p=") || !readNumber(text, lanes) || lanes != 1
        || !consume(text, "$") || !readBase64(text, v.salt, sizeof v.salt, saltBytes) || saltBytes != sizeof v.salt
        || !consume(text, "$") || !readBase64(text, v.hash, sizeof v.hash, v.hashBytes) || !text.empty())
        return std::nullopt;
    if (v.hashBytes < crypto_pwhash_BYTES_MIN || passes < crypto_pwhash_OPSLIMIT_MIN
        || passes > crypto_pwhash_OPSLIMIT_MAX || kib > crypto_pwhash_MEMLIMIT_MAX / 1024
        || kib * 1024 < crypto_pwhash_MEMLIMIT_MIN)
        return std::nullopt;
    v.opsLimit = passes;
    v.memLimit = static_cast<std::size_t>(kib * 1024);
    return v;
}

detail::ArgonCost cost()
{
    if (murravoTestArgonCost != nullptr) {
        if (const detail::ArgonCost* override = murravoTestArgonCost())
            return *override;
    }
    return {PasswordHasher::kOpsLimit, PasswordHasher::kMemLimit};
}
}  // namespace

std::vector<unsigned char> PasswordHasher::generateSalt()
{
    detail::ensureSodiumInitialized();
    std::vector<unsigned char> salt(kSaltBytes);
    randombytes_buf(salt.data(), salt.size());
    return salt;
}

std::string PasswordHasher::hashForStorage(const std::string& password)
{
    detail::ensureSodiumInitialized();
    const detail::ArgonCost c = cost();
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.data(), password.size(), c.opsLimit, c.memLimit) != 0)
        throw std::runtime_error("PasswordHasher: out of memory hashing password");
    std::string verifier(out, std::strlen(out));
    sodium_memzero(out, sizeof out);
    return verifier;
}

bool PasswordHasher::verify(const std::string& storedVerifier, const std::string& password)
{
    detail::ensureSodiumInitialized();
    // libsodium reads a NUL-terminated string of at most STRBYTES - 1 characters.
    if (storedVerifier.size() >= crypto_pwhash_STRBYTES || storedVerifier.find('\0') != std::string::npos)
        return false;
    // crypto_pwhash_str_verify reports an Argon2id that could not get its memory as a mismatch;
    // recomputing the hash ourselves tells the two apart.
    std::optional<Verifier> parsed = parseVerifier(storedVerifier);
    if (!parsed)
        return crypto_pwhash_str_verify(storedVerifier.c_str(), password.data(), password.size()) == 0;
    unsigned char computed[sizeof parsed->hash];
    errno = 0;
    if (crypto_pwhash(computed, parsed->hashBytes, password.data(), password.size(), parsed->salt, parsed->opsLimit,
                      parsed->memLimit, crypto_pwhash_ALG_ARGON2ID13)
        != 0) {
        sodium_memzero(computed, sizeof computed);
        // Parameters libsodium refuses (a password beyond its limit) are not a memory shortage.
        if (errno == EINVAL || errno == EFBIG)
            return false;
        throw std::runtime_error("PasswordHasher: out of memory verifying password");
    }
    const bool same = sodium_memcmp(computed, parsed->hash, parsed->hashBytes) == 0;
    sodium_memzero(computed, sizeof computed);
    return same;
}

SecureBuffer PasswordHasher::deriveKey(const std::string& password, const std::vector<unsigned char>& salt,
                                       unsigned long length)
{
    if (salt.size() != kSaltBytes)
        throw std::invalid_argument("PasswordHasher::deriveKey: salt must be kSaltBytes long");
    detail::ensureSodiumInitialized();
    const detail::ArgonCost c = cost();
    SecureBuffer key(length);
    if (crypto_pwhash(key.data(), length, password.data(), password.size(), salt.data(), c.opsLimit, c.memLimit,
                      crypto_pwhash_ALG_ARGON2ID13) != 0) {
        key.release();
        throw std::runtime_error("PasswordHasher: out of memory deriving key");
    }
    return key;
}

}  // namespace dorvex::crypto
