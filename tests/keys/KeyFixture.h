#pragma once

// A data folder with its long-lived managers and a vault, driven as the program would: the key
// changes with their journals, a restart (new managers, a settlement), and a sign-in with given
// credentials that must or must not open the vault.
#include "AccountFixture.h"

#include "app/KeyChanges.h"
#include "core/AuthManager.h"
#include "core/TwoFactorManager.h"
#include "crypto/SecureBuffer.h"
#include "vault/StorageConfig.h"
#include "vault/VaultContainer.h"
#include "vault/VaultRollbackGuard.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <ostream>
#include <string>

// Test messages show texts as text.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace keys_test {

using dorvex::crypto::SecureBuffer;
using dorvex::vault::VaultContainer;

inline const std::string kOldPassword = "Correct-Horse-42!";
inline const std::string kNewPassword = "Battery-Staple-77?";
inline const QString kMachine = QStringLiteral("0123456789abcdef0123456789abcdef");
inline const QStringList kEntries = {QStringLiteral("a.txt"), QStringLiteral("b.bin")};

// What a user types at sign-in: the password and, when given, a current code of this secret.
struct Credentials {
    std::string password;
    const SecureBuffer* secret = nullptr;
};

class KeyFolder {
public:
    explicit KeyFolder(QString dir = dorvex::test::makeScratchDir());

    QString dir;
    std::unique_ptr<dorvex::core::AuthManager> auth;
    std::unique_ptr<dorvex::core::TwoFactorManager> twoFactor;
    std::unique_ptr<dorvex::vault::VaultRollbackGuard> guard;
    std::unique_ptr<dorvex::vault::StorageConfig> storage;

    [[nodiscard]] dorvex::app::KeyChangeServices services() const;
    [[nodiscard]] QString vaultPath() const { return dir + QStringLiteral("/vault.drvx"); }
    [[nodiscard]] QString passwordJournal() const { return dir + QStringLiteral("/identity.dat.transition"); }
    [[nodiscard]] QString twoFactorJournal() const { return dir + QStringLiteral("/twofactor.dat.transition"); }

    // The managers a new process makes, storage.dat taking a binding an interrupted advance left.
    void restart();
    // restart, then the settlement every session pass starts with.
    void restartAndSettle();

    // The account (kOldPassword) and its vault with kEntries, as a first run and two imports
    // leave them; with a secret, two-factor sign-in is on and the vault under the combined key.
    // Returns the key the session holds (the vault key).
    SecureBuffer createAccountAndVault(const SecureBuffer* secret = nullptr);
    // Begins an enrolment as the configure dialog does; returns the new secret.
    SecureBuffer beginEnrollment(const SecureBuffer& passwordKey);
    [[nodiscard]] SecureBuffer passwordKey(const std::string& password) const;

    // Opens the vault with this key as sign-in does (the rollback record and storage.dat
    // follow it); null when it does not open or the record refuses it.
    [[nodiscard]] std::unique_ptr<VaultContainer> open(const SecureBuffer& key) const;
    // A user's sign-in with these credentials, as the session does it: the vault's entries, or
    // no value when the credentials do not open it.
    [[nodiscard]] std::optional<QStringList> signIn(const Credentials& credentials) const;
    // The code a user reads off the authenticator now (the clock moves on a step first, so
    // that no code is refused as used).
    [[nodiscard]] QString codeOf(const SecureBuffer& secret) const;

    [[nodiscard]] bool journalLeft() const;
    void importInto(VaultContainer& container, const QString& name) const;
    // An import that may fail (a crashed run).
    [[nodiscard]] bool tryImport(VaultContainer& container, const QString& name) const;
};

// The clock every test of this binary runs on.
dorvex::test::FakeClock& testClock();

// The secret of an otpauth URI.
[[nodiscard]] SecureBuffer secretOfUri(const QString& uri);

}  // namespace keys_test
