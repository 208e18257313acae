#pragma once

#include "TestSupport.h"
#include "core/MemorySecretStore.h"

#include "session/Session.h"
#include "core/AuthManager.h"
#include "core/Clock.h"
#include "core/IdleLockSettings.h"
#include "core/LocalIntegrityKey.h"
#include "core/TwoFactorManager.h"
#include "crypto/SecureBuffer.h"
#include "vault/StorageConfig.h"
#include "vault/VaultContainer.h"
#include "vault/VaultRollbackGuard.h"

#include <QAbstractButton>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QMessageBox>
#include <QPushButton>
#include <QString>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

namespace session_test {

inline const QString kPassword = QStringLiteral("Correct-Horse-42!");
inline const QString kMachine = QStringLiteral("0123456789abcdef0123456789abcdef");

inline std::int64_t g_nowMs = 1'900'000'000'000;
inline std::int64_t frozenNow() { return g_nowMs; }

// A data folder with the long-lived managers of one program run, on an in-memory keychain.
class SessionTest : public ::testing::Test {
public:
    void SetUp() override
    {
        dorvex::core::Clock::setSource(&frozenNow);
        dorvex::core::LocalIntegrityKey::setSecretStore(&keychain);
        dataDir = dorvex::test::makeScratchDir();
        auth = std::make_unique<dorvex::core::AuthManager>(dataDir + QStringLiteral("/identity.dat"));
        twoFactor = std::make_unique<dorvex::core::TwoFactorManager>(dataDir + QStringLiteral("/twofactor.dat"));
        idleLock = std::make_unique<dorvex::core::IdleLockSettings>(dataDir + QStringLiteral("/idlelock.dat"));
        guard = std::make_unique<dorvex::vault::VaultRollbackGuard>(dataDir + QStringLiteral("/vault_generation.dat"));
        storage = std::make_unique<dorvex::vault::StorageConfig>(dataDir + QStringLiteral("/storage.dat"), kMachine,
                                                                 guard->highestKnownGeneration());
    }
    void TearDown() override
    {
        dorvex::test::closeStrayWidgets();
        dorvex::core::LocalIntegrityKey::setSecretStore(nullptr);
        dorvex::core::Clock::setSource(nullptr);
    }

    [[nodiscard]] QString vaultPath() const { return storage->resolveContainerPath(dataDir); }

    bool runPass()
    {
        return dorvex::app::runSession(*auth, *twoFactor, *storage, *idleLock, *guard, dataDir, kMachine);
    }

    // An account and a bound vault under `vaultKey` (the password key unless given), as a first
    // run leaves them. Returns the password key.
    dorvex::crypto::SecureBuffer createAccountAndVault(const dorvex::crypto::SecureBuffer* vaultKey = nullptr)
    {
        auto key = auth->createIdentity(QStringLiteral("alice"), kPassword.toStdString());
        EXPECT_TRUE(key.has_value());
        if (!key)
            return {};
        auto container = dorvex::app::openOrCreateVault(*storage, vaultPath(), vaultKey ? *vaultKey : *key, kMachine,
                                                         *guard, QString(), nullptr);
        EXPECT_NE(container, nullptr);
        if (container) {
            EXPECT_TRUE(auth->bindVaultKeyToVaultIdentity(*key, container->vaultId()));
            EXPECT_TRUE(storage->setBoundVaultId(container->vaultId()));
            EXPECT_TRUE(storage->rebind(kMachine, guard->highestKnownGeneration()));
        }
        return std::move(*key);
    }

    // Opens the vault directly (after the session closed it).
    std::unique_ptr<dorvex::vault::VaultContainer> reopen(const dorvex::crypto::SecureBuffer& key)
    {
        return dorvex::app::openOrCreateVault(*storage, vaultPath(), key, kMachine, *guard, QString(), nullptr);
    }

    static void writeFile(const QString& path, const QByteArray& bytes)
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_EQ(file.write(bytes), bytes.size());
    }

    static QByteArray readFile(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    dorvex::test::MemorySecretStore keychain;
    QString dataDir;
    std::unique_ptr<dorvex::core::AuthManager> auth;
    std::unique_ptr<dorvex::core::TwoFactorManager> twoFactor;
    std::unique_ptr<dorvex::core::IdleLockSettings> idleLock;
    std::unique_ptr<dorvex::vault::VaultRollbackGuard> guard;
    std::unique_ptr<dorvex::vault::StorageConfig> storage;
};

// Every file below `dir` with its bytes, to show that a run changed nothing.
inline QMap<QString, QByteArray> snapshot(const QString& dir)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        files.insert(path, file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>"));
    }
    return files;
}

// Answers the next visible message box with `button`, noting its title and text.
struct MessageSeen {
    QString title;
    QString text;
    bool cancelWasDefault = false;
    bool shown = false;
};

inline std::shared_ptr<MessageSeen> answerNextMessage(QMessageBox::StandardButton button)
{
    auto seen = std::make_shared<MessageSeen>();
    dorvex::test::whenShown<QMessageBox>([seen, button](QMessageBox* box) {
        seen->shown = true;
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->cancelWasDefault = static_cast<QAbstractButton*>(box->defaultButton()) == box->button(QMessageBox::Cancel);
        if (QAbstractButton* chosen = box->button(button))
            chosen->click();
        else
            box->done(button);
    });
    return seen;
}

}  // namespace session_test
