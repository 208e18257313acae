#pragma once

#include "crypto/SecureBuffer.h"

#include <cstddef>
#include <string>
#include <vector>

namespace dorvex::crypto {

// Argon2id verifier strings and password-derived keys, both at the same cost. Every call that
// runs Argon2id throws std::runtime_error when its memory cannot be obtained (verify included:
// that is not a wrong password).
class PasswordHasher {
public:
    static constexpr std::size_t kSaltBytes = 16;
    static constexpr unsigned long long kOpsLimit = 3;
    static constexpr std::size_t kMemLimit = 268435456;  // 256 MiB

    [[nodiscard]] static std::vector<unsigned char> generateSalt();
    [[nodiscard]] static std::string hashForStorage(const std::string& password);
    [[nodiscard]] static bool verify(const std::string& storedVerifier, const std::string& password);
    [[nodiscard]] static SecureBuffer deriveKey(const std::string& password, const std::vector<unsigned char>& salt,
                                                unsigned long length);
};

namespace detail {
struct ArgonCost {
    unsigned long long opsLimit;
    std::size_t memLimit;
};
}  // namespace detail

}  // namespace dorvex::crypto

// Test-only hook. Declared weak and defined only in the test-support library, which the
// shipped program never links; there the symbol stays null and the real cost applies.
extern "C" const dorvex::crypto::detail::ArgonCost* murravoTestArgonCost() __attribute__((weak));
