#pragma once

#include <array>
#include <vector>

namespace dorvex::crypto {

using Sha1Digest = std::array<unsigned char, 20>;

// One-shot SHA-1; only the TOTP codes use it.
class Sha1 {
public:
    [[nodiscard]] static Sha1Digest hash(const unsigned char* data, unsigned long length);
};

class HmacSha1 {
public:
    [[nodiscard]] static Sha1Digest compute(const std::vector<unsigned char>& key,
                                            const std::vector<unsigned char>& message);
};

}  // namespace dorvex::crypto
