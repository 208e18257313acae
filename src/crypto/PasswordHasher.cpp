#include "crypto/PasswordHasher.h"

#include <sodium.h>

#include <cstring>
#include <stdexcept>

namespace dorvex::crypto {

namespace {
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
    return crypto_pwhash_str_verify(storedVerifier.c_str(), password.data(), password.size()) == 0;
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
