#pragma once

// The four key changes as the configure dialog runs them, each from a folder prepared for it,
// with the credentials that open the vault before and after.
#include "KeyFixture.h"

#include "crypto/AeadCipher.h"

#include <functional>

namespace keys_test {

// What the signed-in session holds when the change starts.
struct SessionKeys {
    SecureBuffer vaultKey;
    SecureBuffer oldSecret;  // two-factor sign-in on before the change
    SecureBuffer newSecret;  // the enrolment's secret
};

struct KeyChange {
    const char* name;
    bool twoFactorBefore;
    bool enrols;
    const char* successText;
    std::function<dorvex::app::KeyChangeResult(KeyFolder&, VaultContainer*, const SessionKeys&)> run;
    std::function<Credentials(const SessionKeys&)> before;
    std::function<Credentials(const SessionKeys&)> after;
};

inline const std::vector<KeyChange>& keyChanges()
{
    static const std::vector<KeyChange> changes = {
        {"password, two-factor off", false, false, "Password changed.",
         [](KeyFolder& f, VaultContainer* c, const SessionKeys&) {
             return dorvex::app::changePassword(f.services(), c, kOldPassword, kNewPassword, kNewPassword, false);
         },
         [](const SessionKeys&) { return Credentials{kOldPassword}; },
         [](const SessionKeys&) { return Credentials{kNewPassword}; }},
        {"password, two-factor on", true, false, "Password changed.",
         [](KeyFolder& f, VaultContainer* c, const SessionKeys&) {
             return dorvex::app::changePassword(f.services(), c, kOldPassword, kNewPassword, kNewPassword, false);
         },
         [](const SessionKeys& k) { return Credentials{kOldPassword, &k.oldSecret}; },
         [](const SessionKeys& k) { return Credentials{kNewPassword, &k.oldSecret}; }},
        {"enable", false, true, "Two-factor authentication is enabled.",
         [](KeyFolder& f, VaultContainer* c, const SessionKeys& k) {
             return dorvex::app::confirmTwoFactorEnable(f.services(), c, k.vaultKey, f.codeOf(k.newSecret));
         },
         [](const SessionKeys&) { return Credentials{kOldPassword}; },
         [](const SessionKeys& k) { return Credentials{kOldPassword, &k.newSecret}; }},
        {"disable", true, false, "Two-factor authentication is disabled.",
         [](KeyFolder& f, VaultContainer* c, const SessionKeys&) {
             return dorvex::app::disableTwoFactor(f.services(), c, kOldPassword);
         },
         [](const SessionKeys& k) { return Credentials{kOldPassword, &k.oldSecret}; },
         [](const SessionKeys&) { return Credentials{kOldPassword}; }},
    };
    return changes;
}

// Makes the folder ready for the change: account, vault and, as the change needs, two-factor
// sign-in or an enrolment under way.
inline SessionKeys prepare(KeyFolder& f, const KeyChange& change)
{
    SessionKeys keys;
    if (change.twoFactorBefore)
        keys.oldSecret = dorvex::crypto::AeadCipher::generateKey();
    keys.vaultKey = f.createAccountAndVault(change.twoFactorBefore ? &keys.oldSecret : nullptr);
    if (change.enrols)
        keys.newSecret = f.beginEnrollment(keys.vaultKey);
    return keys;
}

// After a restart: exactly the credentials of the state before or after the change open the
// vault, with these entries, and the guard and storage.dat accept it (KeyFolder::open).
// `mayAlsoHold`: entries whose import the run may or may not have committed.
inline void expectOnly(KeyFolder& f, const KeyChange& change, const SessionKeys& keys, bool after,
                       const QStringList& entries = kEntries, const QStringList& mayAlsoHold = {})
{
    const Credentials right = after ? change.after(keys) : change.before(keys);
    const Credentials other = after ? change.before(keys) : change.after(keys);
    const std::optional<QStringList> names = f.signIn(right);
    EXPECT_TRUE(names && (*names == entries || (!mayAlsoHold.isEmpty() && *names == entries + mayAlsoHold)))
        << (names ? names->join(QLatin1Char(',')).toStdString() : std::string("the vault did not open"));
    EXPECT_EQ(f.twoFactor->isEnabled(), right.secret != nullptr);
    if (right.secret != nullptr) {
        EXPECT_FALSE(f.signIn(Credentials{right.password}));
    }
    const std::string wrongPassword = other.password != right.password ? other.password : "Wrong-Password-1!";
    EXPECT_FALSE(f.signIn(Credentials{wrongPassword, right.secret}));
}

}  // namespace keys_test
