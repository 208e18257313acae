#pragma once

#include "crypto/SecureBuffer.h"

#include <QString>

#include <optional>

namespace dorvex::core {

// HOTP/TOTP over HMAC-SHA1, base32 and the otpauth enrolment URI. A negative unixTime
// means "now" as told by Clock.
class Totp {
public:
    static constexpr int kPeriod = 30;
    static constexpr int kDigits = 6;
    static constexpr int kWindow = 1;
    static constexpr int kSecretBytes = 20;

    [[nodiscard]] static crypto::SecureBuffer generateSecret();
    [[nodiscard]] static QString base32Encode(const crypto::SecureBuffer& data);
    [[nodiscard]] static std::optional<crypto::SecureBuffer> base32Decode(const QString& text);
    [[nodiscard]] static QString generateHotp(const crypto::SecureBuffer& secret, unsigned long long counter,
                                              int digits);
    [[nodiscard]] static QString generateTotp(const crypto::SecureBuffer& secret, long long unixTime, int period,
                                              int digits);
    [[nodiscard]] static std::optional<unsigned long long> matchedCounter(const crypto::SecureBuffer& secret,
                                                                          const QString& code, long long unixTime,
                                                                          int period, int digits, int window);
    [[nodiscard]] static bool verifyTotp(const crypto::SecureBuffer& secret, const QString& code,
                                         long long unixTime, int period, int digits, int window);
    [[nodiscard]] static QString otpauthUri(const crypto::SecureBuffer& secret, const QString& accountName,
                                            const QString& issuer);
};

}  // namespace dorvex::core
