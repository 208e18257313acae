#include "KeyFixture.h"

#include "core/LocalIntegrityKey.h"
#include "core/Totp.h"
#include "vault/FileBlockStore.h"
#include "vault/GenerationBinding.h"

#include <QFile>
#include <QUrl>
#include <QUrlQuery>

namespace keys_test {

using dorvex::core::AuthManager;
using dorvex::core::Totp;
using dorvex::core::TwoFactorManager;
using dorvex::vault::FileBlockStore;
using dorvex::vault::RollbackCheckResult;
using dorvex::vault::StorageConfig;
using dorvex::vault::VaultRollbackGuard;

dorvex::test::FakeClock& testClock()
{
    static dorvex::test::FakeClock clock;
    return clock;
}

SecureBuffer secretOfUri(const QString& uri)
{
    auto decoded = Totp::base32Decode(QUrlQuery(QUrl(uri)).queryItemValue(QStringLiteral("secret")));
    EXPECT_TRUE(decoded);
    return decoded ? std::move(*decoded) : SecureBuffer();
}

KeyFolder::KeyFolder(QString folder) : dir(std::move(folder))
{
    static_cast<void>(testClock());
    restart();
}

void KeyFolder::restart()
{
    dorvex::core::LocalIntegrityKey::clearCache();
    auth = std::make_unique<AuthManager>(dir + QStringLiteral("/identity.dat"));
    twoFactor = std::make_unique<TwoFactorManager>(dir + QStringLiteral("/twofactor.dat"));
    guard = std::make_unique<VaultRollbackGuard>(dir + QStringLiteral("/vault_generation.dat"));
    storage = std::make_unique<StorageConfig>(dir + QStringLiteral("/storage.dat"), kMachine,
                                              guard->highestKnownGeneration());
    static_cast<void>(dorvex::vault::adoptPendingBinding(*storage));
}

void KeyFolder::restartAndSettle()
{
    restart();
    dorvex::app::recoverPendingKeyTransitions(*auth, *twoFactor, *storage, dir);
}

dorvex::app::KeyChangeServices KeyFolder::services() const
{
    return {*auth, *twoFactor, *storage, *guard, kMachine};
}

SecureBuffer KeyFolder::createAccountAndVault(const SecureBuffer* secret)
{
    std::optional<SecureBuffer> key = auth->createIdentity(QStringLiteral("alice"), kOldPassword);
    EXPECT_TRUE(key);
    if (!key)
        return {};
    SecureBuffer vaultKey(key->data(), key->size());
    if (secret != nullptr) {
        const SecureBuffer enrolled = beginEnrollment(*key);
        TwoFactorManager::Settings s;
        EXPECT_TRUE(twoFactor->readSettings(s));
        s.enabled = true;
        s.wrappedSecret = TwoFactorManager::wrapSecretFor(*key, *secret, s.wrapSalt);
        s.pendingWrappedSecret.clear();
        EXPECT_TRUE(twoFactor->writeSettings(s));
        vaultKey = TwoFactorManager::combineForVaultKey(*key, *secret);
    }
    auto container = VaultContainer::create(std::make_unique<FileBlockStore>(vaultPath()), vaultKey, kMachine);
    EXPECT_TRUE(container);
    if (!container)
        return {};
    EXPECT_EQ(dorvex::vault::advanceRollbackRecord(*storage, *guard, kMachine, container->vaultId(),
                                                   container->generationCounter(), true),
              RollbackCheckResult::Ok);
    EXPECT_TRUE(auth->bindVaultKeyToVaultIdentity(*key, container->vaultId()));
    EXPECT_TRUE(storage->setBoundVaultId(container->vaultId()));
    for (const QString& name : kEntries)
        importInto(*container, name);
    EXPECT_EQ(dorvex::vault::advanceRollbackRecord(*storage, *guard, kMachine, container->vaultId(),
                                                   container->generationCounter(), false),
              RollbackCheckResult::Ok);
    return vaultKey;
}

SecureBuffer KeyFolder::beginEnrollment(const SecureBuffer& passwordKey)
{
    const std::optional<QString> uri =
        twoFactor->beginEnrollment(passwordKey, QStringLiteral("alice"), QStringLiteral("Murravo"));
    EXPECT_TRUE(uri);
    return uri ? secretOfUri(*uri) : SecureBuffer();
}

SecureBuffer KeyFolder::passwordKey(const std::string& password) const
{
    std::optional<SecureBuffer> key =
        auth->login(password, true, VaultContainer::peekVaultId(vaultPath()), nullptr, nullptr);
    EXPECT_TRUE(key);
    return key ? std::move(*key) : SecureBuffer();
}

bool KeyFolder::tryImport(VaultContainer& container, const QString& name) const
{
    const QString source = dorvex::test::makeScratchDir() + QLatin1Char('/') + name;
    QFile file(source);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write("contents of " + name.toUtf8());
    file.close();
    return container.importFile(source, name);
}

void KeyFolder::importInto(VaultContainer& container, const QString& name) const
{
    EXPECT_TRUE(tryImport(container, name)) << name.toStdString();
}

std::unique_ptr<VaultContainer> KeyFolder::open(const SecureBuffer& key) const
{
    if (!QFile::exists(vaultPath()) || storage->isCorrupted())
        return nullptr;
    auto container = VaultContainer::open(std::make_unique<FileBlockStore>(vaultPath()), key, kMachine);
    if (!container)
        return nullptr;
    if (dorvex::vault::advanceRollbackRecord(*storage, *guard, kMachine, container->vaultId(),
                                             container->generationCounter(), false)
        != RollbackCheckResult::Ok)
        return nullptr;
    return container;
}

QString KeyFolder::codeOf(const SecureBuffer& secret) const
{
    testClock().advanceSecs(TwoFactorManager::kPeriodSeconds * 3);
    return Totp::generateTotp(secret, testClock().now().toSecsSinceEpoch(), TwoFactorManager::kPeriodSeconds,
                              TwoFactorManager::kDigits);
}

std::optional<QStringList> KeyFolder::signIn(const Credentials& credentials) const
{
    // Past any cooldown that earlier wrong attempts started.
    testClock().advanceSecs(120);
    const bool twoFactorOn = twoFactor->isEnabled();
    std::optional<SecureBuffer> key = auth->login(credentials.password, !twoFactorOn,
                                                  VaultContainer::peekVaultId(vaultPath()), nullptr, nullptr);
    if (!key)
        return std::nullopt;
    if (twoFactorOn) {
        if (credentials.secret == nullptr || !twoFactor->verifyLoginCode(*key, codeOf(*credentials.secret)))
            return std::nullopt;
        auth->recordTwoFactorSuccess();
        key = twoFactor->vaultKeyForEnabledSecret(*key);
        if (!key)
            return std::nullopt;
    }
    const std::unique_ptr<VaultContainer> container = open(*key);
    if (!container)
        return std::nullopt;
    QStringList names;
    for (const VaultContainer::EntryInfo& entry : container->listEntries())
        names << entry.name;
    return names;
}

bool KeyFolder::journalLeft() const { return QFile::exists(passwordJournal()) || QFile::exists(twoFactorJournal()); }

}  // namespace keys_test
