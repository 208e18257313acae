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

    // The journal of an enable or a disable: the complete state to install once the vault is
    // re-keyed for it.
    struct PendingTransition {
        bool vaultRekeyed = false;
        unsigned long long vaultGenerationAtStart = 0;
        Settings settings;
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

    // Enabling and disabling as journaled transitions: the journal is written before the vault
    // is re-keyed, marked once it was, and committed into "twofactor.dat" only then.
    [[nodiscard]] bool readPendingTransition(PendingTransition& out) const;
    [[nodiscard]] bool writePendingTransition(const PendingTransition& transition) const;
    // Checks the code against the enrolment's secret, writes the enable journal and returns the
    // vault key the vault is to be re-keyed to.
    [[nodiscard]] std::optional<crypto::SecureBuffer> beginConfirmEnable(const crypto::SecureBuffer& passwordKey,
                                                                         const QString& code,
                                                                         unsigned long long vaultGenerationAtStart);
    [[nodiscard]] bool beginDisable(unsigned long long vaultGenerationAtStart);
    [[nodiscard]] bool markPendingTransitionVaultRekeyed();
    [[nodiscard]] bool commitPendingTransition();
    // True when the journal is durably out of use (see transitionJournalUncleared).
    bool abandonPendingTransition();
    [[nodiscard]] bool hasPendingTransition() const;
    [[nodiscard]] bool pendingTransitionIsVaultRekeyed(std::optional<unsigned long long> currentGeneration) const;
    [[nodiscard]] QString transitionJournalPath() const { return path_ + QStringLiteral(".transition"); }
    // A finished journal that this process could not put out of use: a later start would judge
    // it again, over whatever changed since.
    [[nodiscard]] bool transitionJournalUncleared() const { return transitionJournalUncleared_; }

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

    bool retireTransitionJournal(const char* which);

    QString path_;
    bool transitionJournalUncleared_ = false;
};

}  // namespace dorvex::core
