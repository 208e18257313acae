#include "MemorySecretStore.h"
#include "CoreTestFiles.h"
#include "TestSupport.h"

#include "core/AuthenticatedJson.h"
#include "core/LocalIntegrityKey.h"
#include "core/SealedFile.h"
#include "core/Totp.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include <unistd.h>

using dorvex::core::LocalIntegrityKey;
using dorvex::core::SealedFile;
using dorvex::core::SealedKeySource;
using dorvex::core::SealedReadStatus;
using dorvex::core::SecretStatus;
using dorvex::crypto::SecureBuffer;
using Store = dorvex::test::MemorySecretStore;

using dorvex::test::fileBytes;
using dorvex::test::modeOf;
using dorvex::test::writeBytes;

namespace {

QByteArray asBytes(const SecureBuffer& b) {
    return QByteArray(reinterpret_cast<const char*>(b.data()), static_cast<qsizetype>(b.size()));
}

class LocalIntegrityKeyTest : public ::testing::Test {
protected:
    void SetUp() override {
        LocalIntegrityKey::setSecretStore(&store);
        dir = dorvex::test::makeScratchDir();
    }
    void TearDown() override { LocalIntegrityKey::setSecretStore(nullptr); }

    // A store that cannot hold a root, as when no secret service exists.
    void makeStoreUnavailable() { store.scripted[Store::Add] = SecretStatus::Failed; }
    QString path(const QString& name) const { return dir + QLatin1Char('/') + name; }
    QString rootAccount() const { return QString::fromLatin1(fileBytes(path("local_integrity_root.account"))); }

    Store store;
    QString dir;
};

}  // namespace

TEST_F(LocalIntegrityKeyTest, RootModeCreatesAccountItemAndDerivedSidecars) {
    const QString keyPath = path("identity.dat.key");
    const SecureBuffer key = LocalIntegrityKey::getOrCreate(keyPath);
    ASSERT_EQ(key.size(), 32u);
    const QString account = rootAccount();
    ASSERT_EQ(account.size(), 32);
    EXPECT_EQ(account, account.toLower());
    EXPECT_TRUE(QByteArray::fromHex(account.toLatin1()).size() == 16);
    ASSERT_EQ(store.items.count({LocalIntegrityKey::kService, "root:" + account}), 1u);
    const QByteArray sidecar = fileBytes(keyPath);
    ASSERT_EQ(sidecar.size(), 40);
    EXPECT_TRUE(sidecar.startsWith("DRVTPMK2"));

    EXPECT_TRUE(LocalIntegrityKey::getOrCreate(keyPath).equals(key));
    LocalIntegrityKey::clearCache();
    EXPECT_TRUE(LocalIntegrityKey::load(keyPath).equals(key));
    EXPECT_TRUE(LocalIntegrityKey::isTpmProtected(keyPath));
    EXPECT_FALSE(LocalIntegrityKey::isTpmRootUnavailable(keyPath));

    const SecureBuffer other = LocalIntegrityKey::getOrCreate(path("twofactor.dat.key"));
    EXPECT_FALSE(other.equals(key));
    EXPECT_EQ(rootAccount(), account);
    EXPECT_EQ(store.items.size(), 1u);

    // The path is part of the derivation: a copied sidecar yields another key.
    writeBytes(path("copy.key"), sidecar);
    EXPECT_FALSE(LocalIntegrityKey::load(path("copy.key")).equals(key));
}

TEST_F(LocalIntegrityKeyTest, RootIsFetchedOncePerFolder) {
    const QString keyPath = path("a.key");
    ASSERT_FALSE(LocalIntegrityKey::getOrCreate(keyPath).empty());
    LocalIntegrityKey::clearCache();
    const int before = store.calls[Store::Fetch];
    for (int i = 0; i < 5; ++i) ASSERT_FALSE(LocalIntegrityKey::load(keyPath).empty());
    EXPECT_EQ(store.calls[Store::Fetch] - before, 1);
}

TEST_F(LocalIntegrityKeyTest, UnavailableStoreGivesOwnerOnlySoftwareSidecar) {
    makeStoreUnavailable();
    const QString keyPath = path("idlelock.dat.key");
    const SecureBuffer key = LocalIntegrityKey::getOrCreate(keyPath);
    ASSERT_EQ(key.size(), 32u);
    EXPECT_EQ(fileBytes(keyPath), asBytes(key));
    EXPECT_EQ(modeOf(keyPath), 0600u);
    EXPECT_TRUE(LocalIntegrityKey::load(keyPath).equals(key));
    EXPECT_FALSE(LocalIntegrityKey::isTpmProtected(keyPath));
    EXPECT_FALSE(LocalIntegrityKey::isTpmRootUnavailable(keyPath));
    EXPECT_TRUE(LocalIntegrityKey::exportRootRecoveryCode(keyPath).isEmpty());
}

TEST_F(LocalIntegrityKeyTest, EvidenceOfRootModeRefusesSoftwareSidecars) {
    const QByteArray software(32, '\x07');
    // a. listing fails with a status other than "not found"
    {
        writeBytes(path("s.key"), software);
        store.scripted[Store::List] = SecretStatus::Failed;
        EXPECT_TRUE(LocalIntegrityKey::load(path("s.key")).empty());
        store.scripted[Store::List].reset();
        EXPECT_EQ(asBytes(LocalIntegrityKey::load(path("s.key"))), software);
    }
    // b. a root item of any folder exists for the service
    {
        store.items[{LocalIntegrityKey::kService, "root:0123456789abcdef0123456789abcdef"}] = QByteArray(32, 'r');
        EXPECT_TRUE(LocalIntegrityKey::load(path("s.key")).empty());
        store.items.clear();
    }
    // c. a root-derived sidecar lies in the folder although no root item exists
    {
        writeBytes(path("other.key"), QByteArray("DRVTPMK2") + QByteArray(32, 'm'));
        EXPECT_TRUE(LocalIntegrityKey::load(path("s.key")).empty());
        EXPECT_TRUE(LocalIntegrityKey::isTpmRootUnavailable(path("other.key")));
        QFile::remove(path("other.key"));
        EXPECT_EQ(asBytes(LocalIntegrityKey::load(path("s.key"))), software);
    }
    // d. this folder has a root
    ASSERT_FALSE(LocalIntegrityKey::getOrCreate(path("r.key")).empty());
    EXPECT_TRUE(LocalIntegrityKey::load(path("s.key")).empty());
    EXPECT_EQ(fileBytes(path("s.key")), software);
}

TEST_F(LocalIntegrityKeyTest, DeletedRootItemMakesRootUnavailable) {
    const QString keyPath = path("identity.dat.key");
    ASSERT_FALSE(LocalIntegrityKey::getOrCreate(keyPath).empty());
    store.items.clear();
    LocalIntegrityKey::clearCache();
    EXPECT_TRUE(LocalIntegrityKey::load(keyPath).empty());
    EXPECT_TRUE(LocalIntegrityKey::isTpmRootUnavailable(keyPath));
    EXPECT_FALSE(LocalIntegrityKey::isTpmProtected(keyPath));
    EXPECT_TRUE(LocalIntegrityKey::getOrCreate(keyPath).empty());  // never replaced by a new sidecar
    EXPECT_EQ(fileBytes(keyPath).size(), 40);
}

TEST_F(LocalIntegrityKeyTest, AccountFileOfWrongLengthCountsAsAbsent) {
    for (int length : {31, 33}) {
        LocalIntegrityKey::clearCache();
        store.items.clear();
        const QByteArray bad(length, 'a');
        writeBytes(path("local_integrity_root.account"), bad);
        ASSERT_FALSE(LocalIntegrityKey::create(path(QString("f%1.key").arg(length))).empty());
        EXPECT_EQ(rootAccount().size(), 32) << length;
    }
}

namespace {

// Every entry of a folder with its bytes, to prove that a refused operation wrote nothing.
std::map<QString, QByteArray> folderState(const QString& dir) {
    std::map<QString, QByteArray> state;
    const QDir folder(dir);
    for (const QString& name : folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        state[name] = fileBytes(folder.filePath(name));
    }
    return state;
}

struct StoreFailure {
    const char* name;
    void (*inject)(Store&);
    bool persistent;  // still failing when the caller asks why the read failed
};

const StoreFailure kStoreFailures[] = {
    {"lookup fails", [](Store& s) { s.script(Store::Fetch, SecretStatus::Failed); }, true},
    {"lookup times out once, then answers", [](Store& s) { s.script(Store::Fetch, SecretStatus::Failed, 1); },
     false},
    {"lookup says not found, yet the add meets the item",
     [](Store& s) { s.script(Store::Fetch, SecretStatus::ItemNotFound); }, true},
    {"lookup and listing fail",
     [](Store& s) {
         s.script(Store::Fetch, SecretStatus::Failed);
         s.script(Store::List, SecretStatus::Failed);
     },
     true},
    {"lookup fails and the add is refused",
     [](Store& s) {
         s.script(Store::Fetch, SecretStatus::Failed);
         s.script(Store::Add, SecretStatus::Failed);
     },
     true},
    {"store unreachable", [](Store& s) { s.scriptAll(SecretStatus::Unavailable); }, true},
};

}  // namespace

// A folder sealed under a root in the store. Whatever the store does wrong while the folder is
// used, no file and no item may change, the write is refused, and afterwards everything opens.
TEST_F(LocalIntegrityKeyTest, StoreFailuresInAKeyringFolderChangeNothing) {
    const QStringList sealed = {"identity.dat", "twofactor.dat", "vault_generation.dat"};
    for (const QString& name : sealed) ASSERT_TRUE(SealedFile::writeAuthenticated(path(name), QJsonObject{{"f", name}}));
    const QString identityKey = path("identity.dat.key");
    const QJsonObject changed{{"f", "changed"}};

    struct Attempt {
        const char* name;
        std::function<bool()> succeeded;
    };
    const Attempt attempts[] = {
        {"seal a new file", [&] { return SealedFile::writeAuthenticated(path("identity.dat.lockout"), changed); }},
        {"rewrite a sealed file", [&] { return SealedFile::writeAuthenticated(path("twofactor.dat"), changed); }},
        {"export the recovery code", [&] { return !LocalIntegrityKey::exportRootRecoveryCode(identityKey).isEmpty(); }},
        {"open a sealed file",
         [&] { return SealedFile::readAuthenticated(path("identity.dat"), SealedKeySource::Load).ok(); }},
    };

    const auto filesBefore = folderState(dir);
    const auto itemsBefore = store.items;
    for (const StoreFailure& failure : kStoreFailures) {
        for (const Attempt& attempt : attempts) {
            SCOPED_TRACE(std::string(failure.name) + " / " + attempt.name);
            LocalIntegrityKey::clearCache();
            store.unscript();
            failure.inject(store);
            EXPECT_FALSE(attempt.succeeded());
            if (failure.persistent) {
                EXPECT_TRUE(LocalIntegrityKey::isTpmRootUnavailable(identityKey));
            }
            store.unscript();
            EXPECT_TRUE(folderState(dir) == filesBefore) << "a file changed";
            EXPECT_TRUE(store.items == itemsBefore) << "a keyring item changed";
        }
    }

    LocalIntegrityKey::clearCache();
    for (const QString& name : sealed) {
        const auto read = SealedFile::readAuthenticated(path(name), SealedKeySource::Load);
        ASSERT_TRUE(read.ok()) << name.toStdString();
        EXPECT_EQ(read.object, QJsonObject({{"f", name}}));
    }
    ASSERT_TRUE(SealedFile::writeAuthenticated(path("identity.dat.lockout"), changed));
    EXPECT_TRUE(LocalIntegrityKey::isTpmProtected(path("identity.dat.lockout.key")));
    EXPECT_TRUE(store.items == itemsBefore);
}

// In a folder without a root a software key is acceptable, but only where it can be read back.
TEST_F(LocalIntegrityKeyTest, SoftwareKeyIsWrittenOnlyWhereItReadsBack) {
    struct Row {
        const char* name;
        void (*inject)(Store&);
        bool written;
    };
    const Row rows[] = {
        {"store unreachable", [](Store& s) { s.scriptAll(SecretStatus::Unavailable); }, true},
        {"add refused, no root anywhere", [](Store& s) { s.script(Store::Add, SecretStatus::Failed); }, true},
        {"add refused, listing fails",
         [](Store& s) {
             s.script(Store::Add, SecretStatus::Failed);
             s.script(Store::List, SecretStatus::Failed);
         },
         false},
        {"add refused, another folder has a root",
         [](Store& s) {
             s.script(Store::Add, SecretStatus::Failed);
             s.items[{LocalIntegrityKey::kService, "root:0123456789abcdef0123456789abcdef"}] = QByteArray(32, 'r');
         },
         false},
        {"add times out",
         [](Store& s) {
             s.script(Store::Add, SecretStatus::Failed);
             s.script(Store::List, SecretStatus::Failed);
             s.script(Store::Fetch, SecretStatus::Failed);
         },
         false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QString folder = dorvex::test::makeScratchDir();
        const QString file = folder + "/idlelock.dat";
        LocalIntegrityKey::clearCache();
        store.items.clear();
        store.unscript();
        row.inject(store);
        const auto itemsBefore = store.items;
        const bool written = SealedFile::writeAuthenticated(file, QJsonObject{{"v", 1}});
        EXPECT_EQ(written, row.written);
        if (written) {
            EXPECT_EQ(fileBytes(file + ".key").size(), 32);
            EXPECT_TRUE(SealedFile::readAuthenticated(file, SealedKeySource::Load).ok());
        } else {
            EXPECT_TRUE(folderState(folder).empty());
        }
        EXPECT_TRUE(store.items == itemsBefore) << "a keyring item changed";
    }
    store.unscript();
}

TEST_F(LocalIntegrityKeyTest, FailedSidecarWriteRollsBackTheNewRoot) {
    // The sidecar's folder is a regular file, which no permission bit lets anyone write into.
    writeBytes(path("blocker"), "x");
    const QString keyPath = path("blocker/identity.dat.key");
    EXPECT_TRUE(LocalIntegrityKey::create(keyPath).empty());
    EXPECT_TRUE(store.items.empty());
    EXPECT_FALSE(QFileInfo::exists(path("blocker/local_integrity_root.account")));

    // The root can be stored but the sidecar cannot be written (its path is a folder).
    ASSERT_TRUE(QDir(dir).mkdir("taken.key"));
    EXPECT_TRUE(LocalIntegrityKey::create(path("taken.key")).empty());
    EXPECT_EQ(store.calls[Store::Add], 1);
    EXPECT_TRUE(store.items.empty());
    EXPECT_FALSE(QFileInfo::exists(path("local_integrity_root.account")));
    ASSERT_FALSE(LocalIntegrityKey::getOrCreate(path("fine.key")).empty());
    EXPECT_EQ(store.items.size(), 1u);  // a fresh root, not a cached stale one
}

TEST_F(LocalIntegrityKeyTest, PerFileItemsAndDestroy) {
    const QString keyPath = path("legacy.dat.key");
    EXPECT_FALSE(LocalIntegrityKey::exists(keyPath));
    EXPECT_TRUE(LocalIntegrityKey::destroyPersisted(keyPath));
    store.items[{LocalIntegrityKey::kService, keyPath}] = QByteArray(31, 'k');
    EXPECT_FALSE(LocalIntegrityKey::exists(keyPath));
    store.items[{LocalIntegrityKey::kService, keyPath}] = QByteArray(32, 'k');
    EXPECT_TRUE(LocalIntegrityKey::exists(keyPath));
    EXPECT_TRUE(LocalIntegrityKey::getOrCreate(keyPath).empty());  // an existing key is loaded, not replaced
    EXPECT_FALSE(QFileInfo::exists(keyPath));
    EXPECT_TRUE(LocalIntegrityKey::destroyPersisted(keyPath));
    EXPECT_FALSE(LocalIntegrityKey::exists(keyPath));
    store.scripted[Store::Remove] = SecretStatus::Failed;
    EXPECT_FALSE(LocalIntegrityKey::destroyPersisted(keyPath));
}

TEST_F(LocalIntegrityKeyTest, BadSidecarsGiveEmptyKeysAndStayUntouched) {
    makeStoreUnavailable();
    for (int length : {0, 1, 31, 33, 39, 40, 41, 64}) {
        const QString keyPath = path(QString("len%1.key").arg(length));
        const QByteArray bytes(length, '\x5a');  // 40 bytes without the magic is neither form
        writeBytes(keyPath, bytes);
        EXPECT_TRUE(LocalIntegrityKey::getOrCreate(keyPath).empty()) << length;
        EXPECT_EQ(fileBytes(keyPath), bytes) << length;
    }
    ASSERT_TRUE(QDir(dir).mkdir("folder.key"));
    EXPECT_TRUE(LocalIntegrityKey::getOrCreate(path("folder.key")).empty());
    EXPECT_TRUE(QFileInfo(path("folder.key")).isDir());

    writeBytes(path("target"), QByteArray(32, 't'));
    ASSERT_TRUE(QFile::link(path("target"), path("link.key")));
    EXPECT_TRUE(LocalIntegrityKey::getOrCreate(path("link.key")).empty());
    ASSERT_TRUE(QFile::link(path("missing-target"), path("dangling.key")));
    EXPECT_TRUE(LocalIntegrityKey::getOrCreate(path("dangling.key")).empty());
    EXPECT_FALSE(QFileInfo::exists(path("missing-target")));
    EXPECT_EQ(fileBytes(path("target")), QByteArray(32, 't'));
}

TEST_F(LocalIntegrityKeyTest, RecoveryCodeRestoresTheRoot) {
    const QString sealedPath = path("identity.dat");
    const QString keyPath = SealedFile::keyPathFor(sealedPath);
    ASSERT_TRUE(SealedFile::writeAuthenticated(sealedPath, QJsonObject{{"username", "u"}}));
    const QString code = LocalIntegrityKey::exportRootRecoveryCode(keyPath);
    ASSERT_EQ(code.size(), 56);
    EXPECT_TRUE(code.endsWith("===="));
    EXPECT_FALSE(code.left(52).contains('='));

    store.items.clear();
    LocalIntegrityKey::clearCache();
    ASSERT_TRUE(LocalIntegrityKey::isTpmRootUnavailable(keyPath));

    const auto decoded = dorvex::core::Totp::base32Decode(code);
    ASSERT_TRUE(decoded);
    SecureBuffer longer(33), shorter(31);
    std::memcpy(longer.data(), decoded->data(), 32);
    longer.data()[32] = 1;
    std::memcpy(shorter.data(), decoded->data(), 31);
    SecureBuffer foreign = dorvex::core::Totp::generateSecret();
    SecureBuffer foreign32(32);
    std::memcpy(foreign32.data(), foreign.data(), 20);
    std::memset(foreign32.data() + 20, 9, 12);
    const QString wrong[] = {dorvex::core::Totp::base32Encode(longer), dorvex::core::Totp::base32Encode(shorter),
                             dorvex::core::Totp::base32Encode(foreign32), code.left(55) + "1", QString(),
                             QStringLiteral("!!!!")};
    for (const QString& w : wrong) {
        EXPECT_FALSE(LocalIntegrityKey::restoreRootFromRecoveryCode(keyPath, w)) << w.toStdString();
    }
    EXPECT_FALSE(LocalIntegrityKey::restoreRootFromRecoveryCode(sealedPath, code));  // not a ".key" path
    EXPECT_FALSE(LocalIntegrityKey::restoreRootFromRecoveryCode(path("identity.dat.KEY"), code));
    EXPECT_TRUE(store.items.empty());

    const QString typed = dorvex::test::typedInGroups(code);
    ASSERT_TRUE(LocalIntegrityKey::restoreRootFromRecoveryCode(keyPath, typed.toLower()));
    EXPECT_EQ(store.items.size(), 1u);
    LocalIntegrityKey::clearCache();
    EXPECT_TRUE(SealedFile::readAuthenticated(sealedPath, SealedKeySource::Load).ok());
}

TEST_F(LocalIntegrityKeyTest, SealedFileRoundTripsAndReadOutcomes) {
    const QString file = path("sub/dir/twofactor.dat");
    const QJsonObject object{{"enabled", true}, {"lastCounter", "123"}};
    EXPECT_EQ(SealedFile::readAuthenticated(file, SealedKeySource::Load).status, SealedReadStatus::Absent);
    ASSERT_TRUE(SealedFile::writeAuthenticated(file, object));
    EXPECT_EQ(fileBytes(file).mid(40), QByteArray("{\"enabled\":true,\"lastCounter\":\"123\"}"));
    const auto read = SealedFile::readAuthenticated(file, SealedKeySource::Load);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read.object, object);

    QByteArray tampered = fileBytes(file);
    tampered[45] = 'X';
    writeBytes(file, tampered);
    EXPECT_EQ(SealedFile::readAuthenticated(file, SealedKeySource::Load).status, SealedReadStatus::NotOpened);

    const SecureBuffer key = LocalIntegrityKey::load(SealedFile::keyPathFor(file));
    writeBytes(file, dorvex::core::AuthenticatedJson::seal("[1,2]", key));
    EXPECT_EQ(SealedFile::readAuthenticated(file, SealedKeySource::Load).status, SealedReadStatus::NotAnObject);

    // A reader that loads never creates a sidecar; one that may create does.
    writeBytes(path("nokey.dat"), "whatever");
    EXPECT_EQ(SealedFile::readAuthenticated(path("nokey.dat"), SealedKeySource::Load).status,
              SealedReadStatus::NotOpened);
    EXPECT_FALSE(QFileInfo::exists(path("nokey.dat.key")));
    EXPECT_EQ(SealedFile::readAuthenticated(path("nokey.dat"), SealedKeySource::GetOrCreate).status,
              SealedReadStatus::NotOpened);
    EXPECT_TRUE(QFileInfo::exists(path("nokey.dat.key")));

    // Something that is not a file in its place is damage, not absence.
    ASSERT_TRUE(QDir(dir).mkdir("folder.dat"));
    EXPECT_EQ(SealedFile::readAuthenticated(path("folder.dat"), SealedKeySource::GetOrCreate).status,
              SealedReadStatus::NotOpened);
}

TEST_F(LocalIntegrityKeyTest, EncryptedSealedFileAndAuthenticatedFallback) {
    const QString file = path("storage.dat");
    const QByteArray ad = QByteArrayLiteral("machine") + QByteArray(8, '\0');
    const QJsonObject object{{"backend", "container"}};
    ASSERT_TRUE(SealedFile::writeEncrypted(file, object, ad));
    EXPECT_TRUE(fileBytes(file).startsWith("DRVXEJV1"));
    auto read = SealedFile::readEncrypted(file, SealedKeySource::Load, ad, true);
    ASSERT_TRUE(read.ok());
    EXPECT_FALSE(read.authenticatedForm);
    EXPECT_EQ(read.object, object);
    EXPECT_EQ(SealedFile::readEncrypted(file, SealedKeySource::Load, ad + 'x', true).status,
              SealedReadStatus::NotOpened);

    ASSERT_TRUE(SealedFile::writeAuthenticated(file, object));
    read = SealedFile::readEncrypted(file, SealedKeySource::Load, ad, true);
    ASSERT_TRUE(read.ok());
    EXPECT_TRUE(read.authenticatedForm);
    EXPECT_EQ(SealedFile::readEncrypted(file, SealedKeySource::Load, ad, false).status, SealedReadStatus::NotOpened);
}

TEST_F(LocalIntegrityKeyTest, FailedWritesLeaveThePreviousFile) {
    const QString file = path("vault_generation.dat");
    ASSERT_TRUE(SealedFile::writeAuthenticated(file, QJsonObject{{"v", 1}}));
    const QByteArray before = fileBytes(file);

    // No usable key: the sidecar is corrupt.
    const QByteArray sidecar = fileBytes(SealedFile::keyPathFor(file));
    writeBytes(SealedFile::keyPathFor(file), "short");
    EXPECT_FALSE(SealedFile::writeAuthenticated(file, QJsonObject{{"v", 2}}));
    EXPECT_EQ(fileBytes(file), before);
    writeBytes(SealedFile::keyPathFor(file), sidecar);

    EXPECT_FALSE(SealedFile::writeAtomically(file, QByteArray()));
    EXPECT_EQ(fileBytes(file), before);

    writeBytes(path("plain"), "x");
    EXPECT_FALSE(SealedFile::writeAuthenticated(path("plain/inner.dat"), QJsonObject{{"v", 3}}));
    EXPECT_FALSE(SealedFile::writeAtomically(path("plain/inner.dat"), "data"));

    ASSERT_TRUE(SealedFile::writeAuthenticated(file, QJsonObject{{"v", 2}}));
    EXPECT_EQ(SealedFile::readAuthenticated(file, SealedKeySource::Load).object.value("v").toInt(), 2);
}

TEST_F(LocalIntegrityKeyTest, UnwritableFolderSkipsForRoot) {
    if (::geteuid() == 0) GTEST_SKIP() << "root bypasses permission bits";
    const QString locked = path("locked");
    ASSERT_TRUE(QDir(dir).mkdir("locked"));
    ASSERT_TRUE(SealedFile::writeAuthenticated(locked + "/f.dat", QJsonObject{{"v", 1}}));
    QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    EXPECT_FALSE(SealedFile::writeAuthenticated(locked + "/f.dat", QJsonObject{{"v", 2}}));
    QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_EQ(SealedFile::readAuthenticated(locked + "/f.dat", SealedKeySource::Load).object.value("v").toInt(), 1);
}

// Only a folder whose keys live in the store has it unlocked before its files are read: the one
// with a root asks for the root's item, a new one for the collection its root will go to; one
// sealed with software keys never makes the user answer a prompt.
TEST_F(LocalIntegrityKeyTest, UnlockStoreAsksOnlyWhereTheFolderUsesTheStore) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        bool asked;
        bool rootAccount;  // asked for the root's item rather than for the collection
    };
    const Case cases[] = {
        {"new folder", [] {}, true, false},
        {"folder with a root", [&] { ASSERT_FALSE(LocalIntegrityKey::getOrCreate(path("identity.dat.key")).empty()); },
         true, true},
        {"software keys",
         [&] {
             makeStoreUnavailable();
             ASSERT_FALSE(LocalIntegrityKey::getOrCreate(path("identity.dat.key")).empty());
             ASSERT_EQ(fileBytes(path("identity.dat.key")).size(), 32);
         },
         false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dir = dorvex::test::makeScratchDir();
        store.unscript();
        store.items.clear();
        LocalIntegrityKey::clearCache();
        c.arrange();
        if (HasFatalFailure()) return;
        LocalIntegrityKey::clearCache();
        store.locked = true;
        if (c.asked) store.answerPrompt(SecretStatus::Dismissed);  // a prompt nobody saw would wait for good
        const int before = store.calls[Store::Unlock];
        EXPECT_EQ(LocalIntegrityKey::unlockStore(dir), c.asked ? SecretStatus::Dismissed : SecretStatus::Success);
        EXPECT_EQ(store.calls[Store::Unlock] - before, c.asked ? 1 : 0);
        if (c.asked) {
            EXPECT_EQ(store.unlockedAccount.toStdString(),
                      c.rootAccount ? "root:" + rootAccount().toStdString() : std::string());
        }
        store.locked = false;
    }
}
