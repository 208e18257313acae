// Runs against the session's real Secret Service, or, with MURRAVO_EXPECT_NO_SECRET_SERVICE set,
// against a session without any bus, where every sidecar must fall back to the software form.
#include "CoreTestFiles.h"
#include "TestSupport.h"

#include "core/LocalIntegrityKey.h"
#include "core/SealedFile.h"
#include "core/SecretStore.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QUuid>

#include <gtest/gtest.h>


#include <cstdlib>
#include <cstring>
#include <memory>

using dorvex::core::LocalIntegrityKey;
using dorvex::core::SealedFile;
using dorvex::core::SealedKeySource;
using dorvex::core::SecretStatus;
using dorvex::crypto::SecureBuffer;

using dorvex::test::fileBytes;
using dorvex::test::modeOf;
using dorvex::test::writeBytes;

namespace {

bool expectNoService() { return std::getenv("MURRAVO_EXPECT_NO_SECRET_SERVICE") != nullptr; }

bool serviceWorks() {
    static const bool works = [] {
        auto store = dorvex::core::makePlatformSecretStore();
        const QString account = QStringLiteral("probe:") + QUuid::createUuid().toString(QUuid::WithoutBraces);
        SecureBuffer secret(32);
        if (store->add(LocalIntegrityKey::kService, account, secret) != SecretStatus::Success) return false;
        SecureBuffer back;
        const bool ok = store->fetch(LocalIntegrityKey::kService, account, back) == SecretStatus::Success &&
                        back.equals(secret);
        (void)store->remove(LocalIntegrityKey::kService, account);
        return ok;
    }();
    return works;
}

class KeyringTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (expectNoService()) {
            ASSERT_FALSE(serviceWorks()) << "a secret service answered although none should be reachable";
            GTEST_SKIP() << "no secret service in this run";
        }
        if (!serviceWorks()) GTEST_SKIP() << "no unlocked secret service on this session bus";
        LocalIntegrityKey::clearCache();
        dir = dorvex::test::makeScratchDir();
    }
    QString dir;
};

class NoBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!expectNoService()) GTEST_SKIP() << "only without a session bus";
        LocalIntegrityKey::clearCache();
        dir = dorvex::test::makeScratchDir();
    }
    QString dir;
};

}  // namespace

TEST(SecretStoreTest, PlatformStoreItemLifecycle) {
    if (expectNoService() || !serviceWorks()) GTEST_SKIP() << "no secret service";
    auto store = dorvex::core::makePlatformSecretStore();
    const QString service = LocalIntegrityKey::kService;
    const QString account = QStringLiteral("test:") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    SecureBuffer first(32), second(32);
    for (unsigned i = 0; i < 32; ++i) {
        first.data()[i] = static_cast<unsigned char>(i);
        second.data()[i] = static_cast<unsigned char>(255 - i);
    }
    SecureBuffer read;
    EXPECT_EQ(store->fetch(service, account, read), SecretStatus::ItemNotFound);
    EXPECT_EQ(store->update(service, account, first), SecretStatus::ItemNotFound);
    ASSERT_EQ(store->add(service, account, first), SecretStatus::Success);
    EXPECT_EQ(store->add(service, account, second), SecretStatus::DuplicateItem);
    ASSERT_EQ(store->fetch(service, account, read), SecretStatus::Success);
    EXPECT_TRUE(read.equals(first));
    ASSERT_EQ(store->update(service, account, second), SecretStatus::Success);
    ASSERT_EQ(store->fetch(service, account, read), SecretStatus::Success);
    EXPECT_TRUE(read.equals(second));
    QStringList accounts;
    ASSERT_EQ(store->listAccounts(service, accounts), SecretStatus::Success);
    EXPECT_TRUE(accounts.contains(account));
    EXPECT_EQ(store->remove(service, account), SecretStatus::Success);
    EXPECT_EQ(store->remove(service, account), SecretStatus::ItemNotFound);
    EXPECT_EQ(store->fetch(service, account, read), SecretStatus::ItemNotFound);
}

TEST_F(KeyringTest, RootDerivedKeysAndRecoveryCode) {
    const QString sealedPath = dir + "/identity.dat";
    const QString keyPath = SealedFile::keyPathFor(sealedPath);
    ASSERT_TRUE(SealedFile::writeAuthenticated(sealedPath, QJsonObject{{"username", "alice"}}));
    EXPECT_EQ(fileBytes(keyPath).size(), 40);
    EXPECT_EQ(fileBytes(dir + "/local_integrity_root.account").size(), 32);
    EXPECT_TRUE(LocalIntegrityKey::isTpmProtected(keyPath));
    const SecureBuffer key = LocalIntegrityKey::load(keyPath);
    LocalIntegrityKey::clearCache();
    EXPECT_TRUE(LocalIntegrityKey::load(keyPath).equals(key));
    EXPECT_FALSE(LocalIntegrityKey::getOrCreate(dir + "/twofactor.dat.key").equals(key));

    const QString code = LocalIntegrityKey::exportRootRecoveryCode(keyPath);
    ASSERT_EQ(code.size(), 56);

    // A folder with a root refuses a software sidecar.
    QFile soft(dir + "/idlelock.dat.key");
    ASSERT_TRUE(soft.open(QIODevice::WriteOnly));
    ASSERT_EQ(soft.write(QByteArray(32, 's')), 32);
    soft.close();
    EXPECT_TRUE(LocalIntegrityKey::load(dir + "/idlelock.dat.key").empty());

    // Losing the item: a new installation's account name, then the code restores the root.
    const QByteArray account = fileBytes(dir + "/local_integrity_root.account");
    auto store = dorvex::core::makePlatformSecretStore();
    ASSERT_EQ(store->remove(LocalIntegrityKey::kService, "root:" + QString::fromLatin1(account)),
              SecretStatus::Success);
    LocalIntegrityKey::clearCache();
    EXPECT_TRUE(LocalIntegrityKey::isTpmRootUnavailable(keyPath));
    const QString typed = dorvex::test::typedInGroups(code);
    ASSERT_TRUE(LocalIntegrityKey::restoreRootFromRecoveryCode(keyPath, typed.toLower()));
    LocalIntegrityKey::clearCache();
    EXPECT_TRUE(LocalIntegrityKey::load(keyPath).equals(key));
    EXPECT_TRUE(SealedFile::readAuthenticated(sealedPath, SealedKeySource::Load).ok());
    (void)store->remove(LocalIntegrityKey::kService, "root:" + QString::fromLatin1(account));
}

namespace {

// The platform store with lookups that time out while `failedFetches` lasts.
class SlowLookupStore final : public dorvex::core::SecretStore {
public:
    int failedFetches = 0;

    SecretStatus fetch(const QString& service, const QString& account, SecureBuffer& secret) override {
        if (failedFetches > 0) {
            --failedFetches;
            return SecretStatus::Failed;
        }
        return real_->fetch(service, account, secret);
    }
    SecretStatus listAccounts(const QString& service, QStringList& accounts) override {
        return real_->listAccounts(service, accounts);
    }
    SecretStatus add(const QString& service, const QString& account, const SecureBuffer& secret) override {
        return real_->add(service, account, secret);
    }
    SecretStatus update(const QString& service, const QString& account, const SecureBuffer& secret) override {
        return real_->update(service, account, secret);
    }
    SecretStatus remove(const QString& service, const QString& account) override {
        return real_->remove(service, account);
    }

private:
    std::unique_ptr<dorvex::core::SecretStore> real_ = dorvex::core::makePlatformSecretStore();
};

}  // namespace

// A lookup that times out must not make the folder's root look absent: the daemon's existing
// root item is never replaced, neither through the key store nor by a direct add.
TEST_F(KeyringTest, AddNeverOverwritesAnExistingRoot) {
    const QString sealedPath = dir + "/identity.dat";
    ASSERT_TRUE(SealedFile::writeAuthenticated(sealedPath, QJsonObject{{"username", "alice"}}));
    const QString account = "root:" + QString::fromLatin1(fileBytes(dir + "/local_integrity_root.account"));
    auto real = dorvex::core::makePlatformSecretStore();
    SecureBuffer root;
    ASSERT_EQ(real->fetch(LocalIntegrityKey::kService, account, root), SecretStatus::Success);

    SlowLookupStore slow;
    LocalIntegrityKey::setSecretStore(&slow);
    slow.failedFetches = 100;
    EXPECT_FALSE(SealedFile::writeAuthenticated(dir + "/identity.dat.lockout", QJsonObject{{"failures", "1"}}));
    EXPECT_TRUE(LocalIntegrityKey::exportRootRecoveryCode(dir + "/identity.dat.key").isEmpty());
    EXPECT_TRUE(LocalIntegrityKey::isTpmRootUnavailable(dir + "/identity.dat.key"));
    slow.failedFetches = 1;  // the daemon answers again right after the first lookup
    EXPECT_TRUE(LocalIntegrityKey::exportRootRecoveryCode(dir + "/identity.dat.key").isEmpty());
    LocalIntegrityKey::setSecretStore(nullptr);
    EXPECT_FALSE(QFileInfo::exists(dir + "/identity.dat.lockout"));
    EXPECT_FALSE(QFileInfo::exists(dir + "/identity.dat.lockout.key"));

    SecureBuffer other(32);
    std::memset(other.data(), 0x5a, other.size());
    EXPECT_EQ(real->add(LocalIntegrityKey::kService, account, other), SecretStatus::DuplicateItem);

    SecureBuffer after;
    ASSERT_EQ(real->fetch(LocalIntegrityKey::kService, account, after), SecretStatus::Success);
    EXPECT_TRUE(after.equals(root));
    LocalIntegrityKey::clearCache();
    EXPECT_TRUE(SealedFile::readAuthenticated(sealedPath, SealedKeySource::Load).ok());
    (void)real->remove(LocalIntegrityKey::kService, account);
}

TEST_F(NoBusTest, SoftwareModeWithOwnerOnlySidecars) {
    const QString sealedPath = dir + "/identity.dat";
    const QString keyPath = SealedFile::keyPathFor(sealedPath);
    ASSERT_TRUE(SealedFile::writeAuthenticated(sealedPath, QJsonObject{{"username", "alice"}}));
    EXPECT_EQ(fileBytes(keyPath).size(), 32);
    EXPECT_EQ(modeOf(keyPath), 0600u);
    EXPECT_FALSE(LocalIntegrityKey::isTpmProtected(keyPath));
    EXPECT_FALSE(LocalIntegrityKey::isTpmRootUnavailable(keyPath));
    EXPECT_TRUE(SealedFile::readAuthenticated(sealedPath, SealedKeySource::Load).ok());
    EXPECT_TRUE(LocalIntegrityKey::exportRootRecoveryCode(keyPath).isEmpty());
    EXPECT_TRUE(LocalIntegrityKey::destroyPersisted(keyPath));
}
