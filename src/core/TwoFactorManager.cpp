#include "core/TwoFactorManager.h"

#include "core/Clock.h"
#include "core/KeyJournal.h"
#include "core/SealedFile.h"
#include "core/Totp.h"
#include "crypto/AeadCipher.h"
#include "crypto/PasswordHasher.h"

#include <QJsonObject>
#include <QtDebug>

#include <algorithm>
#include <cstring>
#include <utility>

namespace dorvex::core {

namespace {

using crypto::KeyWrap;
using crypto::SecureBuffer;

constexpr char kWrapLabel[] = "murravo.2fa.wrappedSecret.v1";
constexpr char kVaultKeyContext[] = "murravo.2fa.vault-key.v1";

std::vector<unsigned char> wrapAssociatedData(const std::vector<unsigned char>& salt)
{
    const std::size_t labelBytes = sizeof(kWrapLabel) - 1;
    std::vector<unsigned char> ad(labelBytes + salt.size());
    std::memcpy(ad.data(), kWrapLabel, labelBytes);
    if (!salt.empty())
        std::memcpy(ad.data() + labelBytes, salt.data(), salt.size());
    return ad;
}

QString toBase64(const std::vector<unsigned char>& bytes)
{
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())).toBase64());
}

std::vector<unsigned char> fromBase64(const QJsonValue& value)
{
    const QByteArray bytes = QByteArray::fromBase64(value.toString().toLatin1());
    return {bytes.begin(), bytes.end()};
}

// The settings' members of the file and of the journal, which carries them whole.
void insertSettings(QJsonObject& o, const TwoFactorManager::Settings& settings)
{
    o.insert(QStringLiteral("enabled"), settings.enabled);
    o.insert(QStringLiteral("wrappedSecret"), toBase64(settings.wrappedSecret));
    o.insert(QStringLiteral("pendingWrappedSecret"), toBase64(settings.pendingWrappedSecret));
    o.insert(QStringLiteral("lastVerifiedCounter"), static_cast<qint64>(settings.lastVerifiedCounter));
    o.insert(QStringLiteral("wrapSalt"), toBase64(settings.wrapSalt));
}

TwoFactorManager::Settings settingsOf(const QJsonObject& o)
{
    TwoFactorManager::Settings settings;
    settings.enabled = o.value(QStringLiteral("enabled")).toBool(false);
    settings.wrappedSecret = fromBase64(o.value(QStringLiteral("wrappedSecret")));
    settings.pendingWrappedSecret = fromBase64(o.value(QStringLiteral("pendingWrappedSecret")));
    const QJsonValue counter = o.value(QStringLiteral("lastVerifiedCounter"));
    settings.lastVerifiedCounter = counter.isDouble() ? counter.toInteger(-1) : -1;
    settings.wrapSalt = fromBase64(o.value(QStringLiteral("wrapSalt")));
    return settings;
}

}  // namespace

TwoFactorManager::TwoFactorManager(QString path) : path_(std::move(path)) {}

bool TwoFactorManager::readSettings(Settings& settings) const
{
    const SealedReadResult read = SealedFile::readAuthenticated(path_, SealedKeySource::Load);
    if (read.status != SealedReadStatus::Ok)
        return false;
    settings = settingsOf(read.object);
    return true;
}

bool TwoFactorManager::writeSettings(const Settings& settings) const
{
    QJsonObject o;
    insertSettings(o, settings);
    return SealedFile::writeAuthenticated(path_, o);
}

bool TwoFactorManager::isEnabled() const
{
    Settings s;
    return readSettings(s) && s.enabled;
}

std::vector<unsigned char> TwoFactorManager::wrapSalt() const
{
    Settings s;
    return readSettings(s) ? s.wrapSalt : std::vector<unsigned char>{};
}

std::optional<QString> TwoFactorManager::beginEnrollment(const SecureBuffer& passwordKey, const QString& accountName,
                                                         const QString& issuer)
{
    Settings s;
    if (!readSettings(s))
        s = Settings{};
    s.wrapSalt = crypto::PasswordHasher::generateSalt();
    const SecureBuffer secret = Totp::generateSecret();
    s.pendingWrappedSecret = wrapSecretFor(passwordKey, secret, s.wrapSalt);
    if (!writeSettings(s))
        return std::nullopt;
    return Totp::otpauthUri(secret, accountName, issuer);
}

bool TwoFactorManager::disable() { return writeSettings(Settings{}); }

std::optional<SecureBuffer> TwoFactorManager::unwrapWith(const SecureBuffer& passwordKey,
                                                         const std::vector<unsigned char>& wrapped,
                                                         const std::vector<unsigned char>& salt)
{
    if (passwordKey.size() != crypto::AeadCipher::kKeyBytes)
        return std::nullopt;
    return KeyWrap::unwrap(passwordKey, wrapped, wrapAssociatedData(salt));
}

bool TwoFactorManager::verifyLoginCode(const SecureBuffer& passwordKey, const QString& code) const
{
    Settings s;
    if (!readSettings(s) || !s.enabled || s.wrappedSecret.empty())
        return false;
    const std::optional<SecureBuffer> secret = unwrapWith(passwordKey, s.wrappedSecret, s.wrapSalt);
    if (!secret)
        return false;
    const std::optional<unsigned long long> counter =
        Totp::matchedCounter(*secret, code, Clock::nowSecsSinceEpoch(), kPeriodSeconds, kDigits, kWindow);
    if (!counter)
        return false;
    const auto matched = static_cast<std::int64_t>(*counter);
    if (matched <= s.lastVerifiedCounter)
        return false;
    s.lastVerifiedCounter = matched;
    if (!writeSettings(s)) {
        qWarning("TwoFactorManager::verifyLoginCode: failed to persist the burned TOTP counter -- refusing this "
                 "login rather than risk the code being replayable.");
        return false;
    }
    return true;
}

std::optional<SecureBuffer> TwoFactorManager::unwrapEnabledSecret(const SecureBuffer& passwordKey) const
{
    Settings s;
    if (!readSettings(s) || !s.enabled || s.wrappedSecret.empty())
        return std::nullopt;
    return unwrapWith(passwordKey, s.wrappedSecret, s.wrapSalt);
}

std::optional<SecureBuffer> TwoFactorManager::vaultKeyForEnabledSecret(const SecureBuffer& passwordKey) const
{
    const std::optional<SecureBuffer> secret = unwrapEnabledSecret(passwordKey);
    if (!secret)
        return std::nullopt;
    return combineForVaultKey(passwordKey, *secret);
}

bool TwoFactorManager::restoreFromSecret(const SecureBuffer& passwordKey, const SecureBuffer& secret)
{
    Settings s;
    s.enabled = true;
    s.wrapSalt = crypto::PasswordHasher::generateSalt();
    s.wrappedSecret = wrapSecretFor(passwordKey, secret, s.wrapSalt);
    s.lastVerifiedCounter = -1;
    return writeSettings(s);
}

bool TwoFactorManager::commitRewrappedSecret(const std::vector<unsigned char>& wrapped)
{
    Settings s;
    if (!readSettings(s) || !s.enabled)
        return false;
    s.wrappedSecret = wrapped;
    return writeSettings(s);
}

bool TwoFactorManager::readPendingTransition(PendingTransition& out) const
{
    const SealedReadResult read = SealedFile::readAuthenticated(transitionJournalPath(), SealedKeySource::GetOrCreate);
    if (!read.ok())
        return false;
    out = PendingTransition{};
    out.vaultRekeyed = read.object.value(QStringLiteral("vaultRekeyed")).toBool(false);
    bool parsed = false;
    const qulonglong generation =
        read.object.value(QStringLiteral("vaultGenerationAtStart")).toString().toULongLong(&parsed, 10);
    out.vaultGenerationAtStart = parsed ? generation : 0;
    out.settings = settingsOf(read.object);
    return true;
}

bool TwoFactorManager::writePendingTransition(const PendingTransition& transition) const
{
    QJsonObject o;
    o.insert(QStringLiteral("vaultRekeyed"), transition.vaultRekeyed);
    o.insert(QStringLiteral("vaultGenerationAtStart"), QString::number(transition.vaultGenerationAtStart));
    insertSettings(o, transition.settings);
    return SealedFile::writeAuthenticated(transitionJournalPath(), o);
}

std::optional<SecureBuffer> TwoFactorManager::beginConfirmEnable(const SecureBuffer& passwordKey, const QString& code,
                                                                 unsigned long long vaultGenerationAtStart)
{
    Settings s;
    if (!readSettings(s) || s.pendingWrappedSecret.empty())
        return std::nullopt;
    const std::optional<SecureBuffer> secret = unwrapWith(passwordKey, s.pendingWrappedSecret, s.wrapSalt);
    if (!secret)
        return std::nullopt;
    const std::optional<unsigned long long> counter =
        Totp::matchedCounter(*secret, code, Clock::nowSecsSinceEpoch(), kPeriodSeconds, kDigits, kWindow);
    if (!counter)
        return std::nullopt;
    PendingTransition transition;
    transition.vaultGenerationAtStart = vaultGenerationAtStart;
    transition.settings = s;
    transition.settings.enabled = true;
    transition.settings.wrappedSecret = s.pendingWrappedSecret;
    transition.settings.pendingWrappedSecret.clear();
    // The confirming code is used up as a sign-in code is, so it cannot sign in within its window.
    transition.settings.lastVerifiedCounter = std::max(s.lastVerifiedCounter, static_cast<std::int64_t>(*counter));
    if (!writePendingTransition(transition))
        return std::nullopt;
    return combineForVaultKey(passwordKey, *secret);
}

bool TwoFactorManager::beginDisable(unsigned long long vaultGenerationAtStart)
{
    Settings s;
    if (!readSettings(s))
        s = Settings{};
    PendingTransition transition;
    transition.vaultGenerationAtStart = vaultGenerationAtStart;
    transition.settings = s;
    transition.settings.enabled = false;
    return writePendingTransition(transition);
}

bool TwoFactorManager::markPendingTransitionVaultRekeyed()
{
    PendingTransition transition;
    if (!readPendingTransition(transition))
        return false;
    transition.vaultRekeyed = true;
    return writePendingTransition(transition);
}

bool TwoFactorManager::hasPendingTransition() const
{
    PendingTransition transition;
    return readPendingTransition(transition);
}

bool TwoFactorManager::pendingTransitionIsVaultRekeyed(std::optional<unsigned long long> currentGeneration) const
{
    PendingTransition transition;
    return readPendingTransition(transition) && journalShowsRekeyed(transition.vaultRekeyed, transition.vaultGenerationAtStart, currentGeneration);
}

bool TwoFactorManager::commitPendingTransition()
{
    PendingTransition transition;
    if (!readPendingTransition(transition))
        return false;
    if (!writeSettings(transition.settings))
        return false;
    retireTransitionJournal("completed");
    return true;
}

bool TwoFactorManager::abandonPendingTransition() { return retireTransitionJournal("abandoned"); }

bool TwoFactorManager::retireTransitionJournal(const char* which)
{
    const QString path = transitionJournalPath();
    const JournalRetirement retired = retireJournal(path);
    if (!retired.erased) {
        qWarning("TwoFactorManager: failed to securely erase the %s transition file at %s -- the wrapped two-factor "
                 "secret it held may still be recoverable from disk.",
                 which, path.toUtf8().constData());
    }
    transitionJournalUncleared_ = !retired.gone;
    return retired.gone;
}

SecureBuffer TwoFactorManager::combineForVaultKey(const SecureBuffer& passwordKey, const SecureBuffer& secret)
{
    return crypto::KeyCombiner::combine(passwordKey, secret, std::string(kVaultKeyContext), 32);
}

std::vector<unsigned char> TwoFactorManager::wrapSecretFor(const SecureBuffer& passwordKey, const SecureBuffer& secret,
                                                           const std::vector<unsigned char>& salt)
{
    return KeyWrap::wrap(passwordKey, secret, wrapAssociatedData(salt));
}

}  // namespace dorvex::core
