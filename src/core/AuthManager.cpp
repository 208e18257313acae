#include "core/AuthManager.h"

#include "core/AtomicFile.h"
#include "core/AuthenticatedJson.h"
#include "core/KeyJournal.h"
#include "core/LocalIntegrityKey.h"
#include "core/PasswordPolicy.h"
#include "core/SealedFile.h"
#include "core/SecureErase.h"
#include "core/TwoFactorManager.h"
#include "crypto/AeadCipher.h"
#include "crypto/PasswordHasher.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QtDebug>

#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

namespace dorvex::core {

namespace {

using crypto::AeadCipher;
using crypto::KeyWrap;
using crypto::PasswordWipe;
using crypto::PasswordHasher;
using crypto::SecureBuffer;

constexpr char kWrapLabel[] = "murravo.identity.wrappedVaultKey.v1";

std::vector<unsigned char> fromBase64(const QJsonValue& value)
{
    const QByteArray bytes = QByteArray::fromBase64(value.toString().toUtf8());
    return {bytes.begin(), bytes.end()};
}

// Runs one Argon2id step; no value when it could not obtain its memory, which says nothing
// about the password.
template <typename Step>
auto withArgonMemory(const char* operation, Step&& step) -> std::optional<decltype(step())>
{
    try {
        return step();
    } catch (const std::runtime_error& e) {
        qWarning("%s: Argon2id could not obtain its memory (%s).", operation, e.what());
    } catch (const std::bad_alloc&) {
        qWarning("%s: Argon2id could not obtain its memory.", operation);
    }
    return std::nullopt;
}

QString toBase64(const std::vector<unsigned char>& bytes)
{
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())).toBase64());
}

// The new identity file is trusted only once it reads back as written and opens with its key.
bool readsBack(const QString& path, const QByteArray& envelope)
{
    FileReadResult written = AtomicFile::read(path);
    const bool same = written.ok() && written.bytes == envelope;
    crypto::secureZero(written.bytes);
    if (!same)
        return false;
    std::optional<QByteArray> payload =
        AuthenticatedJson::open(envelope, LocalIntegrityKey::load(path + QStringLiteral(".key")));
    if (!payload)
        return false;
    crypto::secureZero(*payload);
    return true;
}

// Only a regular file is erased; anything else in its place (a link, a FIFO) is just removed,
// so an erase never reaches through a link into another file.
bool removeLeftoverBackup(const QString& backupPath)
{
    const QFileInfo info(backupPath);
    if (!info.exists() && !info.isSymLink())
        return true;
    if (info.isSymLink() || !info.isFile())
        return !info.isDir() && QFile::remove(backupPath);
    return SecureErase::eraseFile(backupPath);
}

}  // namespace

AuthManager::AuthManager(QString identityFilePath)
    : identityFilePath_(std::move(identityFilePath)), lockout_(identityFilePath_ + QStringLiteral(".lockout"))
{
}

AuthManager::~AuthManager() = default;

std::vector<unsigned char> AuthManager::wrappedKeyAssociatedData(const std::vector<unsigned char>& salt,
                                                                 const QString& vaultId)
{
    const std::size_t labelBytes = sizeof(kWrapLabel) - 1;
    const QByteArray id = vaultId.toUtf8();
    std::vector<unsigned char> ad(labelBytes + salt.size() + static_cast<std::size_t>(id.size()));
    std::memcpy(ad.data(), kWrapLabel, labelBytes);
    if (!salt.empty())
        std::memcpy(ad.data() + labelBytes, salt.data(), salt.size());
    if (!id.isEmpty())
        std::memcpy(ad.data() + labelBytes + salt.size(), id.constData(), static_cast<std::size_t>(id.size()));
    return ad;
}

bool AuthManager::identityExists() const { return QFile::exists(identityFilePath_); }

bool AuthManager::readIdentityFile(IdentityRecord& out, LoginFailureReason* reason) const
{
    LoginFailureReason ignored = IdentityUnreadable;
    LoginFailureReason& why = reason != nullptr ? *reason : ignored;
    const QString keyPath = identityFilePath_ + QStringLiteral(".key");

    const SealedReadResult read = SealedFile::readAuthenticated(identityFilePath_, SealedKeySource::Load);
    switch (read.status) {
    case SealedReadStatus::Absent:
        why = IdentityUnreadable;
        return false;
    case SealedReadStatus::NotOpened:
        why = LocalIntegrityKey::isTpmRootUnavailable(keyPath) ? IntegrityKeyUnavailable : IdentityCorrupt;
        return false;
    case SealedReadStatus::NotAnObject:
        why = IdentityCorrupt;
        return false;
    case SealedReadStatus::Ok:
        break;
    }
    const QJsonObject& o = read.object;
    for (const char* key : {"username", "passwordHash", "keySalt", "wrappedVaultKey"}) {
        if (!o.contains(QLatin1String(key))) {
            why = IdentityCorrupt;
            return false;
        }
    }
    out.username = o.value(QStringLiteral("username")).toString();
    out.passwordHash = o.value(QStringLiteral("passwordHash")).toString().toStdString();
    out.keySalt = fromBase64(o.value(QStringLiteral("keySalt")));
    out.wrappedVaultKey = fromBase64(o.value(QStringLiteral("wrappedVaultKey")));
    return true;
}

bool AuthManager::writeIdentityFile(const IdentityRecord& record) const
{
    QJsonObject o;
    o.insert(QStringLiteral("username"), record.username);
    o.insert(QStringLiteral("passwordHash"), QString::fromStdString(record.passwordHash));
    o.insert(QStringLiteral("keySalt"), toBase64(record.keySalt));
    o.insert(QStringLiteral("wrappedVaultKey"), toBase64(record.wrappedVaultKey));

    const QByteArray envelope = SealedFile::sealAuthenticated(identityFilePath_, o);
    if (envelope.isEmpty())
        return false;

    const QString backupPath = identityFilePath_ + QStringLiteral(".oldcopy");
    const QByteArray backupUtf8 = backupPath.toUtf8();
    if (!removeLeftoverBackup(backupPath)) {
        qWarning("AuthManager: failed to securely erase a leftover identity backup at %s -- an old salt and wrapped "
                 "vault key may still be recoverable from disk.",
                 backupUtf8.constData());
    }

    // The backup holds the previous file until the new one has been read back and verified.
    FileReadResult previous = AtomicFile::read(identityFilePath_);
    const bool backedUp = previous.ok();
    if (previous.status != FileReadStatus::Absent && !backedUp)
        return false;
    if (backedUp && !AtomicFile::replace(backupPath, previous.bytes)) {
        crypto::secureZero(previous.bytes);
        return false;
    }

    if (!SealedFile::writeAtomically(identityFilePath_, envelope) || !readsBack(identityFilePath_, envelope)) {
        // Whatever reached the disk is not proven; put the previous file back (or none).
        FileReadResult now = AtomicFile::read(identityFilePath_);
        if (!backedUp)
            static_cast<void>(QFile::remove(identityFilePath_));
        else if (!now.ok() || now.bytes != previous.bytes)
            static_cast<void>(AtomicFile::replace(identityFilePath_, previous.bytes));
        crypto::secureZero(now.bytes);
        crypto::secureZero(previous.bytes);
        if (backedUp) {
            qWarning("AuthManager: failed to write the new identity file -- the previous identity/vault key is still "
                     "intact, both at its original location and in an untouched backup at %s. The backup is being "
                     "kept (not erased) specifically because of this failure -- see identityFilePath_ in "
                     "AuthManager if manual recovery is ever needed.",
                     backupUtf8.constData());
        }
        return false;
    }
    crypto::secureZero(previous.bytes);

    if (backedUp && !SecureErase::eraseFile(backupPath)) {
        qWarning("AuthManager: failed to securely erase old identity backup at %s -- the previous salt and wrapped "
                 "vault key may still be recoverable from disk.",
                 backupUtf8.constData());
    }
    return true;
}

std::optional<SecureBuffer> AuthManager::createIdentity(const QString& username, std::string password,
                                                        bool* outOfMemory)
{
    PasswordWipe wipe(password);
    if (outOfMemory != nullptr)
        *outOfMemory = false;
    if (identityExists())
        return std::nullopt;
    QString asText = QString::fromUtf8(password.data(), static_cast<qsizetype>(password.size()));
    const bool weak = !PasswordPolicy::describeWeakness(asText).isEmpty();
    crypto::secureZero(asText);
    if (weak)
        return std::nullopt;

    IdentityRecord record;
    record.username = username;
    record.keySalt = PasswordHasher::generateSalt();
    std::optional<std::string> verifier =
        withArgonMemory("AuthManager::createIdentity", [&] { return PasswordHasher::hashForStorage(password); });
    std::optional<SecureBuffer> derivedKey;
    if (verifier) {
        derivedKey = withArgonMemory("AuthManager::createIdentity",
                                     [&] { return PasswordHasher::deriveKey(password, record.keySalt, 32); });
    }
    if (!derivedKey) {
        if (outOfMemory != nullptr)
            *outOfMemory = true;
        return std::nullopt;
    }
    record.passwordHash = std::move(*verifier);
    SecureBuffer derived = std::move(*derivedKey);
    SecureBuffer passwordKey = AeadCipher::generateKey();
    record.wrappedVaultKey = KeyWrap::wrap(derived, passwordKey, wrappedKeyAssociatedData(record.keySalt, QString()));

    // Before the account exists, so a crash in between leaves no account to lock out.
    if (!lockout_.startNewAccount() || !writeIdentityFile(record))
        return std::nullopt;
    username_ = record.username;
    signedInUnbound_ = true;
    cachedPasswordDerivedKey_ = std::move(derived);
    return passwordKey;
}

std::optional<SecureBuffer> AuthManager::login(std::string password, bool resetLockoutOnSuccess,
                                               const QString& vaultId, QString* correctedVaultId,
                                               LoginFailureReason* reason)
{
    PasswordWipe wipe(password);
    LoginFailureReason ignored = WrongPassword;
    return loginWithPassword(password, resetLockoutOnSuccess, vaultId, correctedVaultId,
                             reason != nullptr ? reason : &ignored);
}

std::optional<SecureBuffer> AuthManager::loginWithPassword(const std::string& password, bool resetLockoutOnSuccess,
                                                           const QString& vaultId, QString* correctedVaultId,
                                                           LoginFailureReason* reason)
{
    if (lockout_.secondsUntilNextAttemptAllowed() >= 1) {
        *reason = LockedOut;
        return std::nullopt;
    }

    IdentityRecord record;
    if (!readIdentityFile(record, reason))
        return std::nullopt;

    // The verification and the derivation of the password-derived key are independent, so they
    // run at once on two threads: a sign-in costs one Argon2id time instead of two.
    const bool saltUsable = record.keySalt.size() == PasswordHasher::kSaltBytes;
    const auto verify = [&] {
        return withArgonMemory("AuthManager::login", [&] { return PasswordHasher::verify(record.passwordHash, password); });
    };
    std::optional<SecureBuffer> derivedKey;
    const auto derive = [&]() noexcept {
        try {
            derivedKey = withArgonMemory(
                "AuthManager::login", [&] { return PasswordHasher::deriveKey(password, record.keySalt, 32); });
        } catch (...) {
            derivedKey.reset();
        }
    };
    std::optional<bool> verified;
    {
        std::optional<std::jthread> deriving;
        if (saltUsable) {
            try {
                deriving.emplace(derive);
            } catch (const std::system_error&) {
                // No thread to be had: derived after the verification instead.
            }
        }
        verified = verify();
    }  // joined here
    // Both at once may not fit where one at a time does: what lacked memory runs again alone.
    if (!verified)
        verified = verify();
    if (!verified || !*verified) {
        derivedKey.reset();  // wiped: a key derived from a password that did not verify
        if (!verified) {
            *reason = OutOfMemory;
            return std::nullopt;
        }
        logFailedVerification();
        *reason = lockout_.recordFailure() ? WrongPassword : WrongPasswordNotRecorded;
        return std::nullopt;
    }

    // The envelope authenticated, yet the salt cannot be used: the record itself is damaged.
    if (!saltUsable) {
        *reason = IdentityCorrupt;
        return std::nullopt;
    }

    if (!derivedKey)
        derive();
    if (!derivedKey) {
        *reason = OutOfMemory;
        return std::nullopt;
    }
    SecureBuffer derived = std::move(*derivedKey);
    std::optional<SecureBuffer> passwordKey =
        KeyWrap::unwrap(derived, record.wrappedVaultKey, wrappedKeyAssociatedData(record.keySalt, vaultId));
    bool unbound = false;
    if (!passwordKey && !vaultId.isEmpty() && unboundIdentityAccepted_) {
        passwordKey = KeyWrap::unwrap(derived, record.wrappedVaultKey, wrappedKeyAssociatedData(record.keySalt, {}));
        unbound = passwordKey.has_value();
    }

    if (!passwordKey && !vaultId.isEmpty()) {
        const std::optional<QString> candidate = recoverSingleCharCorruption(vaultId, [&](const QString& id) {
            return KeyWrap::unwrap(derived, record.wrappedVaultKey, wrappedKeyAssociatedData(record.keySalt, id))
                .has_value();
        });
        if (candidate) {
            passwordKey =
                KeyWrap::unwrap(derived, record.wrappedVaultKey, wrappedKeyAssociatedData(record.keySalt, *candidate));
            if (passwordKey && correctedVaultId != nullptr)
                *correctedVaultId = *candidate;
        }
    }

    if (!passwordKey) {
        *reason = VaultKeyMismatch;
        return std::nullopt;
    }

    if (resetLockoutOnSuccess)
        lockout_.recordSuccess();
    signedInUnbound_ = unbound || vaultId.isEmpty();
    username_ = record.username;
    cachedPasswordDerivedKey_ = std::move(derived);
    return passwordKey;
}

void AuthManager::logFailedVerification() const
{
    const QFileInfo info(identityFilePath_);
    const QByteArray modified = info.lastModified().toUTC().toString(Qt::ISODate).toUtf8();
    qWarning("AuthManager::login: password did not verify. identity.dat last modified %s, size %lld bytes.",
             modified.constData(), static_cast<long long>(info.size()));
}

bool AuthManager::bindVaultKeyToVaultIdentity(const SecureBuffer& passwordKey, const QString& vaultId)
{
    if (!cachedPasswordDerivedKey_)
        return false;
    IdentityRecord record;
    if (!readIdentityFile(record, nullptr))
        return false;
    record.wrappedVaultKey =
        KeyWrap::wrap(*cachedPasswordDerivedKey_, passwordKey, wrappedKeyAssociatedData(record.keySalt, vaultId));
    if (!writeIdentityFile(record))
        return false;
    signedInUnbound_ = vaultId.isEmpty();
    return true;
}

bool AuthManager::verifyPassword(std::string password, bool resetLockoutOnSuccess, LoginFailureReason* reason) const
{
    PasswordWipe wipe(password);
    LoginFailureReason ignored = WrongPassword;
    LoginFailureReason& why = reason != nullptr ? *reason : ignored;
    if (lockout_.secondsUntilNextAttemptAllowed() >= 1) {
        why = LockedOut;
        return false;
    }
    IdentityRecord record;
    if (!readIdentityFile(record, &why))
        return false;
    const std::optional<bool> verified = withArgonMemory(
        "AuthManager::verifyPassword", [&] { return PasswordHasher::verify(record.passwordHash, password); });
    if (!verified) {
        why = OutOfMemory;
        return false;
    }
    if (!*verified) {
        logFailedVerification();
        why = lockout_.recordFailure() ? WrongPassword : WrongPasswordNotRecorded;
        return false;
    }
    if (resetLockoutOnSuccess)
        lockout_.recordSuccess();
    return true;
}

std::optional<SecureBuffer> AuthManager::beginPasswordChange(std::string currentPassword) const
{
    if (!verifyPassword(std::move(currentPassword), false))
        return std::nullopt;
    return AeadCipher::generateKey();
}

std::optional<AuthManager::IdentityRecord> AuthManager::identityForNewPassword(std::string& newPassword,
                                                                             const SecureBuffer& newPasswordKey,
                                                                             const QString& vaultId,
                                                                             const char* operation) const
{
    QString asText = QString::fromUtf8(newPassword.data(), static_cast<qsizetype>(newPassword.size()));
    const bool weak = !PasswordPolicy::describeWeakness(asText).isEmpty();
    crypto::secureZero(asText);
    if (weak)
        return std::nullopt;
    IdentityRecord record;
    if (!readIdentityFile(record, nullptr))
        return std::nullopt;
    record.keySalt = PasswordHasher::generateSalt();
    std::optional<std::string> verifier =
        withArgonMemory(operation, [&] { return PasswordHasher::hashForStorage(newPassword); });
    if (!verifier)
        return std::nullopt;
    std::optional<SecureBuffer> derived =
        withArgonMemory(operation, [&] { return PasswordHasher::deriveKey(newPassword, record.keySalt, 32); });
    if (!derived)
        return std::nullopt;
    record.passwordHash = std::move(*verifier);
    record.wrappedVaultKey = KeyWrap::wrap(*derived, newPasswordKey, wrappedKeyAssociatedData(record.keySalt, vaultId));
    return record;
}

bool AuthManager::commitPasswordChange(const SecureBuffer& newPasswordKey, std::string newPassword,
                                       const QString& vaultId) const
{
    PasswordWipe wipe(newPassword);
    const std::optional<IdentityRecord> record =
        identityForNewPassword(newPassword, newPasswordKey, vaultId, "AuthManager::commitPasswordChange");
    return record && writeIdentityFile(*record);
}

bool AuthManager::beginCommitPasswordChange(const SecureBuffer& newPasswordKey, std::string newPassword,
                                            const QString& vaultId, unsigned long long vaultGenerationAtStart,
                                            const std::vector<unsigned char>& twoFactorWrappedSecret) const
{
    PasswordWipe wipe(newPassword);
    std::optional<IdentityRecord> identity =
        identityForNewPassword(newPassword, newPasswordKey, vaultId, "AuthManager::beginCommitPasswordChange");
    if (!identity)
        return false;
    PendingPasswordChange change;
    change.vaultGenerationAtStart = vaultGenerationAtStart;
    change.newIdentity = std::move(*identity);
    change.twoFactorWrappedSecret = twoFactorWrappedSecret;
    return writePendingPasswordChange(change);
}

bool AuthManager::readPendingPasswordChange(PendingPasswordChange& out) const
{
    const SealedReadResult read =
        SealedFile::readAuthenticated(passwordChangeJournalPath(), SealedKeySource::GetOrCreate);
    if (!read.ok())
        return false;
    const QJsonObject& o = read.object;
    for (const char* key : {"username", "passwordHash", "keySalt", "wrappedVaultKey"}) {
        if (!o.contains(QLatin1String(key)))
            return false;
    }
    out = PendingPasswordChange{};
    out.vaultRekeyed = o.value(QStringLiteral("vaultRekeyed")).toBool(false);
    bool parsed = false;
    const qulonglong generation = o.value(QStringLiteral("vaultGenerationAtStart")).toString().toULongLong(&parsed, 10);
    out.vaultGenerationAtStart = parsed ? generation : 0;
    out.newIdentity.username = o.value(QStringLiteral("username")).toString();
    out.newIdentity.passwordHash = o.value(QStringLiteral("passwordHash")).toString().toStdString();
    out.newIdentity.keySalt = fromBase64(o.value(QStringLiteral("keySalt")));
    out.newIdentity.wrappedVaultKey = fromBase64(o.value(QStringLiteral("wrappedVaultKey")));
    out.twoFactorWrappedSecret = fromBase64(o.value(QStringLiteral("twoFactorWrappedSecret")));
    return true;
}

bool AuthManager::writePendingPasswordChange(const PendingPasswordChange& change) const
{
    QJsonObject o;
    o.insert(QStringLiteral("vaultRekeyed"), change.vaultRekeyed);
    o.insert(QStringLiteral("vaultGenerationAtStart"), QString::number(change.vaultGenerationAtStart));
    o.insert(QStringLiteral("username"), change.newIdentity.username);
    o.insert(QStringLiteral("passwordHash"), QString::fromStdString(change.newIdentity.passwordHash));
    o.insert(QStringLiteral("keySalt"), toBase64(change.newIdentity.keySalt));
    o.insert(QStringLiteral("wrappedVaultKey"), toBase64(change.newIdentity.wrappedVaultKey));
    o.insert(QStringLiteral("twoFactorWrappedSecret"), toBase64(change.twoFactorWrappedSecret));
    return SealedFile::writeAuthenticated(passwordChangeJournalPath(), o);
}

bool AuthManager::markPasswordChangeVaultRekeyed() const
{
    PendingPasswordChange change;
    if (!readPendingPasswordChange(change))
        return false;
    change.vaultRekeyed = true;
    return writePendingPasswordChange(change);
}

bool AuthManager::hasPendingPasswordChange() const
{
    PendingPasswordChange change;
    return readPendingPasswordChange(change);
}

bool AuthManager::pendingPasswordChangeIsVaultRekeyed(std::optional<unsigned long long> currentGeneration) const
{
    PendingPasswordChange change;
    return readPendingPasswordChange(change) && journalShowsRekeyed(change.vaultRekeyed, change.vaultGenerationAtStart, currentGeneration);
}

bool AuthManager::commitPendingPasswordChange(TwoFactorManager& twoFactor) const
{
    PendingPasswordChange change;
    if (!readPendingPasswordChange(change))
        return false;
    if (!writeIdentityFile(change.newIdentity))
        return false;
    // Without the secret wrapped for the new key no code would be accepted again: the journal
    // stays for a later commit, which writes both files once more. With two-factor sign-in off
    // there is no secret in use to re-wrap.
    if (!change.twoFactorWrappedSecret.empty() && twoFactor.isEnabled()
        && !twoFactor.commitRewrappedSecret(change.twoFactorWrappedSecret))
        return false;
    retirePasswordChangeJournal("completed");
    return true;
}

bool AuthManager::abandonPendingPasswordChange() const { return retirePasswordChangeJournal("abandoned"); }

bool AuthManager::retirePasswordChangeJournal(const char* which) const
{
    const QString path = passwordChangeJournalPath();
    const JournalRetirement retired = retireJournal(path);
    if (!retired.erased) {
        qWarning("AuthManager: failed to securely erase the %s password-change transition file at %s -- the wrapped "
                 "vault key and salt it held may still be recoverable from disk.",
                 which, path.toUtf8().constData());
    }
    passwordChangeJournalUncleared_ = !retired.gone;
    return retired.gone;
}

void AuthManager::clearCachedPasswordKey() { cachedPasswordDerivedKey_.reset(); }

int AuthManager::secondsUntilNextLoginAttemptAllowed() const { return lockout_.secondsUntilNextAttemptAllowed(); }

bool AuthManager::recordTwoFactorFailure() const { return lockout_.recordFailure(); }

void AuthManager::recordTwoFactorSuccess() const { lockout_.recordSuccess(); }

}  // namespace dorvex::core
