#pragma once

#include "crypto/SecureBuffer.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace dorvex::core {

// Owns "twofactor.dat": whether two-factor sign-in is on, the TOTP secret wrapped under the
// password key, a pending enrolment, and the counter of the last accepted code. Every
// operation reads the file afresh; an unreadable file reads as two-factor being off.
class TwoFactorManager {
public:
    struct Settings {
        bool enabled = false;
        std::vector<unsigned char> wrappedSecret;
        std::vector<unsigned char> pendingWrappedSecret;
        std::int64_t lastVerifiedCounter = -1;
        std::vector<unsigned char> wrapSalt;
    };

    static constexpr int kPeriodSeconds = 30;
    static constexpr int kDigits = 6;
    static constexpr int kWindow = 1;

    explicit TwoFactorManager(QString path);

    [[nodiscard]] bool readSettings(Settings& settings) const;
    [[nodiscard]] bool writeSettings(const Settings& settings) const;

    [[nodiscard]] bool isEnabled() const;
    [[nodiscard]] std::vector<unsigned char> wrapSalt() const;

    [[nodiscard]] std::optional<QString> beginEnrollment(const crypto::SecureBuffer& passwordKey,
                                                         const QString& accountName, const QString& issuer);
    [[nodiscard]] bool disable();
    [[nodiscard]] bool verifyLoginCode(const crypto::SecureBuffer& passwordKey, const QString& code) const;
    [[nodiscard]] std::optional<crypto::SecureBuffer> unwrapEnabledSecret(const crypto::SecureBuffer& passwordKey) const;
    [[nodiscard]] std::optional<crypto::SecureBuffer> vaultKeyForEnabledSecret(
        const crypto::SecureBuffer& passwordKey) const;
    [[nodiscard]] bool restoreFromSecret(const crypto::SecureBuffer& passwordKey, const crypto::SecureBuffer& secret);
    [[nodiscard]] bool commitRewrappedSecret(const std::vector<unsigned char>& wrapped);

    [[nodiscard]] static crypto::SecureBuffer combineForVaultKey(const crypto::SecureBuffer& passwordKey,
                                                                 const crypto::SecureBuffer& secret);
    [[nodiscard]] static std::vector<unsigned char> wrapSecretFor(const crypto::SecureBuffer& passwordKey,
                                                                  const crypto::SecureBuffer& secret,
                                                                  const std::vector<unsigned char>& salt);

    [[nodiscard]] const QString& path() const { return path_; }

private:
    [[nodiscard]] static std::optional<crypto::SecureBuffer> unwrapWith(const crypto::SecureBuffer& passwordKey,
                                                                        const std::vector<unsigned char>& wrapped,
                                                                        const std::vector<unsigned char>& salt);

    QString path_;
};

}  // namespace dorvex::core
