#pragma once

#include "core/LoginLockout.h"
#include "crypto/SecureBuffer.h"

#include <QString>

#include <optional>
#include <string>
#include <vector>

namespace dorvex::core {

class TwoFactorManager;

// Why a sign-in failed; the sign-in dialog shows one message per value. 4 and 6 are reserved.
enum LoginFailureReason : int {
    WrongPassword = 0,
    LockedOut = 1,
    IdentityUnreadable = 2,
    IdentityCorrupt = 3,
    IntegrityKeyUnavailable = 5,
    VaultKeyMismatch = 7,
    WrongPasswordNotRecorded = 8,
    // Argon2id could not obtain its memory; the password was not judged and nothing was charged.
    OutOfMemory = 9,
};

// The one local account: the identity file, sign-in, the binding of the wrapped password key
// to the vault it belongs to, and the failed-attempt lockout in front of it all.
class AuthManager {
public:
    struct IdentityRecord {
        QString username;
        std::string passwordHash;
        std::vector<unsigned char> keySalt;
        std::vector<unsigned char> wrappedVaultKey;
    };

    // The journal of a password change: the identity to install once the vault is re-keyed.
    struct PendingPasswordChange {
        bool vaultRekeyed = false;
        unsigned long long vaultGenerationAtStart = 0;
        IdentityRecord newIdentity;
        std::vector<unsigned char> twoFactorWrappedSecret;  // empty when two-factor sign-in is off
    };

    explicit AuthManager(QString identityFilePath);
    ~AuthManager();
    AuthManager(const AuthManager&) = delete;
    AuthManager& operator=(const AuthManager&) = delete;

    [[nodiscard]] bool identityExists() const;
    [[nodiscard]] bool readIdentityFile(IdentityRecord& out, LoginFailureReason* reason) const;
    [[nodiscard]] bool writeIdentityFile(const IdentityRecord& record) const;

    // outOfMemory (may be null) tells a creation that failed because Argon2id lacked memory.
    [[nodiscard]] std::optional<crypto::SecureBuffer> createIdentity(const QString& username, std::string password,
                                                                     bool* outOfMemory = nullptr);
    [[nodiscard]] std::optional<crypto::SecureBuffer> login(std::string password, bool resetLockoutOnSuccess,
                                                            const QString& vaultId, QString* correctedVaultId,
                                                            LoginFailureReason* reason);
    [[nodiscard]] bool bindVaultKeyToVaultIdentity(const crypto::SecureBuffer& passwordKey, const QString& vaultId);

    // Checks the password against the identity file's verifier alone, whatever vault the
    // wrapped key is bound to; a wrong one is charged to the lockout like a failed sign-in.
    [[nodiscard]] bool verifyPassword(std::string password, bool resetLockoutOnSuccess,
                                      LoginFailureReason* reason = nullptr) const;

    // A fresh random password key once the current password verifies (a wrong one is charged
    // to the lockout); no value otherwise.
    [[nodiscard]] std::optional<crypto::SecureBuffer> beginPasswordChange(std::string currentPassword) const;
    // Rewrites the identity with a new verifier and salt for newPassword and newPasswordKey
    // wrapped under it, bound to vaultId. No journal: the caller makes it safe to lose.
    [[nodiscard]] bool commitPasswordChange(const crypto::SecureBuffer& newPasswordKey, std::string newPassword,
                                            const QString& vaultId) const;

    // The journaled password change: the journal is written before the vault is re-keyed,
    // marked once it was, and committed into the identity file (and the two-factor secret
    // re-wrapped for the new key) only then.
    [[nodiscard]] bool beginCommitPasswordChange(const crypto::SecureBuffer& newPasswordKey, std::string newPassword,
                                                 const QString& vaultId, unsigned long long vaultGenerationAtStart,
                                                 const std::vector<unsigned char>& twoFactorWrappedSecret) const;
    [[nodiscard]] bool markPasswordChangeVaultRekeyed() const;
    [[nodiscard]] bool commitPendingPasswordChange(TwoFactorManager& twoFactor) const;
    // True when the journal is durably out of use (see passwordChangeJournalUncleared).
    bool abandonPendingPasswordChange() const;
    [[nodiscard]] bool hasPendingPasswordChange() const;
    [[nodiscard]] bool pendingPasswordChangeIsVaultRekeyed(std::optional<unsigned long long> currentGeneration) const;
    [[nodiscard]] bool readPendingPasswordChange(PendingPasswordChange& out) const;
    [[nodiscard]] bool writePendingPasswordChange(const PendingPasswordChange& change) const;
    [[nodiscard]] QString passwordChangeJournalPath() const { return identityFilePath_ + QStringLiteral(".transition"); }
    // A finished journal that this process could not put out of use: a later start would judge
    // it again, over whatever changed since.
    [[nodiscard]] bool passwordChangeJournalUncleared() const { return passwordChangeJournalUncleared_; }

    // Until a first session has bound the account to its vault, a crash can leave a vault
    // beside an account that was never bound to it. While accepted, login() also takes an
    // unbound account for the vault it names, and signedInUnbound() tells it so.
    void setUnboundIdentityAccepted(bool accepted) { unboundIdentityAccepted_ = accepted; }
    [[nodiscard]] bool signedInUnbound() const { return signedInUnbound_; }
    void clearCachedPasswordKey();

    [[nodiscard]] int secondsUntilNextLoginAttemptAllowed() const;
    [[nodiscard]] bool recordTwoFactorFailure() const;
    void recordTwoFactorSuccess() const;

    [[nodiscard]] const QString& username() const { return username_; }
    [[nodiscard]] const QString& identityFilePath() const { return identityFilePath_; }

    // Associated data of the wrapped password key: label | salt | vault id (UTF-8).
    [[nodiscard]] static std::vector<unsigned char> wrappedKeyAssociatedData(const std::vector<unsigned char>& salt,
                                                                             const QString& vaultId);

private:
    [[nodiscard]] std::optional<crypto::SecureBuffer> loginWithPassword(const std::string& password,
                                                                        bool resetLockoutOnSuccess,
                                                                        const QString& vaultId,
                                                                        QString* correctedVaultId,
                                                                        LoginFailureReason* reason);
    void logFailedVerification() const;
    bool retirePasswordChangeJournal(const char* which) const;
    // The current identity with a new verifier and salt for newPassword and newPasswordKey
    // wrapped under it, bound to vaultId; no value for a weak password or an unreadable identity.
    [[nodiscard]] std::optional<IdentityRecord> identityForNewPassword(std::string& newPassword,
                                                                       const crypto::SecureBuffer& newPasswordKey,
                                                                       const QString& vaultId,
                                                                       const char* operation) const;

    QString identityFilePath_;
    mutable LoginLockout lockout_;
    QString username_;
    std::optional<crypto::SecureBuffer> cachedPasswordDerivedKey_;
    bool unboundIdentityAccepted_ = false;
    bool signedInUnbound_ = false;
    mutable bool passwordChangeJournalUncleared_ = false;
};

}  // namespace dorvex::core
