#include "AccountFixture.h"

#include "core/AuthManager.h"
#include "core/LocalIntegrityKey.h"
#include "core/SealedFile.h"
#include "crypto/AeadCipher.h"
#include "crypto/PasswordHasher.h"

#include <QDir>
#include <QJsonObject>

#include <functional>

using dorvex::core::AuthManager;
using dorvex::core::LocalIntegrityKey;
using dorvex::core::LoginFailureReason;
using dorvex::crypto::SecureBuffer;

namespace {

const std::string kPassword = "Correct-Horse-9";
const QString kVaultId = QStringLiteral("3f2a9c4e-1b7d-4e8f-a6c2-9d0e5b7a1c34");

struct Account {
    dorvex::test::FakeClock clock;
    QString dir = dorvex::test::makeScratchDir();
    QString path = dir + QStringLiteral("/identity.dat");
    AuthManager auth{path};
    SecureBuffer passwordKey;

    Account()
    {
        auto key = auth.createIdentity(QStringLiteral("alice"), kPassword);
        EXPECT_TRUE(key.has_value());
        if (key)
            passwordKey = std::move(*key);
    }

    std::optional<SecureBuffer> login(const std::string& password, LoginFailureReason* reason,
                                      const QString& vaultId = QString(), QString* corrected = nullptr)
    {
        return AuthManager(path).login(password, true, vaultId, corrected, reason);
    }

    void bind(const QString& vaultId) { ASSERT_TRUE(auth.bindVaultKeyToVaultIdentity(passwordKey, vaultId)); }

    void rewrite(const std::function<void(QJsonObject&)>& change) const
    {
        auto read = dorvex::core::SealedFile::readAuthenticated(path, dorvex::core::SealedKeySource::Load);
        ASSERT_EQ(read.status, dorvex::core::SealedReadStatus::Ok);
        change(read.object);
        ASSERT_TRUE(dorvex::core::SealedFile::writeAuthenticated(path, read.object));
    }
};

QString changeHexDigit(QString id, int position)
{
    id[position] = id[position] == QLatin1Char('0') ? QLatin1Char('1') : QLatin1Char('0');
    return id;
}

}  // namespace

TEST(AuthManager, CreateThenLoginReturnsTheSameKeyAndRecordsTheUser)
{
    Account a;
    ASSERT_EQ(a.passwordKey.size(), 32u);
    LoginFailureReason reason = LoginFailureReason::LockedOut;
    AuthManager fresh(a.path);
    auto key = fresh.login(kPassword, true, QString(), nullptr, &reason);
    ASSERT_TRUE(key);
    EXPECT_TRUE(key->equals(a.passwordKey));
    EXPECT_EQ(fresh.username(), QStringLiteral("alice"));

    AuthManager::IdentityRecord record;
    ASSERT_TRUE(fresh.readIdentityFile(record, nullptr));
    EXPECT_EQ(record.keySalt.size(), 16u);
    EXPECT_EQ(record.wrappedVaultKey.size(), 73u);
    EXPECT_EQ(record.passwordHash.rfind("$argon2id$", 0), 0u);
}

TEST(AuthManager, CreateRefusesAnExistingAccountOrAWeakPassword)
{
    Account a;
    const QByteArray before = dorvex::test::readFile(a.path);
    EXPECT_FALSE(AuthManager(a.path).createIdentity(QStringLiteral("bob"), kPassword));
    EXPECT_EQ(dorvex::test::readFile(a.path), before);

    const QString other = dorvex::test::makeScratchDir() + QStringLiteral("/identity.dat");
    AuthManager weak(other);
    EXPECT_FALSE(weak.createIdentity(QStringLiteral("bob"), "short1!A"));
    EXPECT_FALSE(QFile::exists(other));
}

TEST(AuthManager, EveryFailureReasonFromARealFileState)
{
    enum class Setup {
        WrongPassword,
        Cooldown,
        NoIdentityFile,
        EnvelopeChanged,
        SidecarDeleted,
        MissingSalt,
        ShortSalt,
        BoundToAnotherVault,
        LockoutNotWritable,
    };
    const struct {
        const char* name;
        Setup setup;
        bool rightPassword;
        LoginFailureReason expected;
    } table[] = {
        {"wrong password", Setup::WrongPassword, false, LoginFailureReason::WrongPassword},
        {"cooldown running", Setup::Cooldown, true, LoginFailureReason::LockedOut},
        {"identity file missing", Setup::NoIdentityFile, true, LoginFailureReason::IdentityUnreadable},
        {"envelope changed", Setup::EnvelopeChanged, true, LoginFailureReason::IdentityCorrupt},
        {"sidecar deleted, folder has a root", Setup::SidecarDeleted, true, LoginFailureReason::IdentityCorrupt},
        {"keySalt missing", Setup::MissingSalt, true, LoginFailureReason::IdentityCorrupt},
        {"salt of 15 bytes", Setup::ShortSalt, true, LoginFailureReason::IdentityCorrupt},
        {"key bound to another vault", Setup::BoundToAnotherVault, true, LoginFailureReason::VaultKeyMismatch},
        {"lockout not writable", Setup::LockoutNotWritable, false, LoginFailureReason::WrongPasswordNotRecorded},
    };
    for (const auto& row : table) {
        Account a;
        switch (row.setup) {
        case Setup::WrongPassword:
        case Setup::LockoutNotWritable:
            break;
        case Setup::Cooldown:
            for (int i = 0; i < 6; ++i) {
                LoginFailureReason r{};
                EXPECT_FALSE(a.auth.login("Wrong-Password-1", true, QString(), nullptr, &r));
            }
            break;
        case Setup::NoIdentityFile:
            ASSERT_TRUE(QFile::remove(a.path));
            break;
        case Setup::EnvelopeChanged: {
            QByteArray bytes = dorvex::test::readFile(a.path);
            bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x04);
            dorvex::test::writeFile(a.path, bytes);
            break;
        }
        case Setup::SidecarDeleted:
            ASSERT_TRUE(QFile::remove(a.path + QStringLiteral(".key")));
            break;
        case Setup::MissingSalt:
            a.rewrite([](QJsonObject& o) { o.remove(QStringLiteral("keySalt")); });
            break;
        case Setup::ShortSalt:
            a.rewrite([](QJsonObject& o) {
                o.insert(QStringLiteral("keySalt"), QString::fromLatin1(QByteArray(15, 'x').toBase64()));
            });
            break;
        case Setup::BoundToAnotherVault:
            a.bind(QStringLiteral("00000000-0000-4000-8000-000000000000"));
            break;
        }

        LoginFailureReason reason = static_cast<LoginFailureReason>(-1);
        std::optional<SecureBuffer> key;
        const std::string password = row.rightPassword ? kPassword : std::string("Wrong-Password-1");
        if (row.setup == Setup::LockoutNotWritable) {
            dorvex::test::ReadOnlyFolder guard(a.dir);
            MURRAVO_REQUIRE_READ_ONLY(guard);
            key = a.auth.login(password, true, kVaultId, nullptr, &reason);
        } else if (row.setup == Setup::Cooldown) {
            key = a.auth.login(password, true, QString(), nullptr, &reason);
        } else {
            key = a.login(password, &reason, row.setup == Setup::BoundToAnotherVault ? kVaultId : QString());
        }
        EXPECT_FALSE(key) << row.name;
        EXPECT_EQ(reason, row.expected) << row.name;
    }
}

TEST(AuthManager, LostKeychainRootIsReportedApart)
{
    Account a;
    const QString keyPath = a.path + QStringLiteral(".key");
    ASSERT_TRUE(LocalIntegrityKey::isTpmProtected(keyPath));
    dorvex::test::loseKeychainRoots();
    LoginFailureReason reason{};
    EXPECT_FALSE(a.login(kPassword, &reason));
    EXPECT_EQ(reason, LoginFailureReason::IntegrityKeyUnavailable);
}

TEST(AuthManager, WrongPasswordIsChargedAndLoggedMismatchIsNot)
{
    Account a;
    dorvex::test::LogCapture log;
    LoginFailureReason reason{};
    EXPECT_FALSE(a.auth.login("Wrong-Password-1", true, QString(), nullptr, &reason));
    EXPECT_TRUE(log.contains(QStringLiteral("AuthManager::login: password did not verify. identity.dat last modified ")));
    EXPECT_TRUE(log.contains(QStringLiteral(" bytes.")));

    // Five charged failures, then a mismatch that must not count as the sixth.
    for (int i = 0; i < 4; ++i)
        EXPECT_FALSE(a.auth.login("Wrong-Password-1", true, QString(), nullptr, &reason));
    EXPECT_FALSE(a.auth.login(kPassword, true, kVaultId, nullptr, &reason));
    EXPECT_EQ(reason, LoginFailureReason::VaultKeyMismatch);
    EXPECT_EQ(a.auth.secondsUntilNextLoginAttemptAllowed(), 0);
    EXPECT_FALSE(a.auth.login("Wrong-Password-1", true, QString(), nullptr, &reason));
    EXPECT_EQ(a.auth.secondsUntilNextLoginAttemptAllowed(), 2);
}

TEST(AuthManager, BindingTiesTheKeyToOneVault)
{
    Account a;
    LoginFailureReason reason{};
    EXPECT_FALSE(a.login(kPassword, &reason, kVaultId));
    EXPECT_EQ(reason, LoginFailureReason::VaultKeyMismatch);

    a.bind(kVaultId);
    auto key = a.login(kPassword, &reason, kVaultId);
    ASSERT_TRUE(key);
    EXPECT_TRUE(key->equals(a.passwordKey));
    EXPECT_FALSE(a.login(kPassword, &reason, QString()));
    EXPECT_EQ(reason, LoginFailureReason::VaultKeyMismatch);

    a.auth.clearCachedPasswordKey();
    EXPECT_FALSE(a.auth.bindVaultKeyToVaultIdentity(a.passwordKey, kVaultId));
}

TEST(AuthManager, OneChangedCharacterOfTheVaultIdIsRecovered)
{
    Account a;
    a.bind(kVaultId);
    const struct {
        const char* name;
        QString presented;
        bool signsIn;
    } table[] = {
        {"first digit", changeHexDigit(kVaultId, 0), true},
        {"last digit", changeHexDigit(kVaultId, 35), true},
        {"hyphen replaced", QString(kVaultId).replace(8, 1, QLatin1Char('7')), true},
        {"foreign character", QString(kVaultId).replace(3, 1, QLatin1Char('Z')), true},
        {"two digits", changeHexDigit(changeHexDigit(kVaultId, 0), 20), false},
    };
    for (const auto& row : table) {
        LoginFailureReason reason{};
        QString corrected;
        auto key = a.login(kPassword, &reason, row.presented, &corrected);
        EXPECT_EQ(key.has_value(), row.signsIn) << row.name;
        if (row.signsIn) {
            EXPECT_EQ(corrected, kVaultId) << row.name;
            EXPECT_TRUE(key->equals(a.passwordKey)) << row.name;
        } else {
            EXPECT_EQ(reason, LoginFailureReason::VaultKeyMismatch) << row.name;
            EXPECT_TRUE(corrected.isEmpty()) << row.name;
        }
    }
}

TEST(AuthManager, RewriteErasesTheBackupAndALeftoverOne)
{
    Account a;
    const QString backup = a.path + QStringLiteral(".oldcopy");
    dorvex::test::writeFile(backup, QByteArray("stale salt and wrapped key"));
    a.bind(kVaultId);
    EXPECT_FALSE(QFile::exists(backup));

    // A failed write keeps the previous identity in place and in the backup.
    const QByteArray before = dorvex::test::readFile(a.path);
    {
        dorvex::test::LogCapture log;
        dorvex::test::ReadOnlyFolder guard(a.dir);
        MURRAVO_REQUIRE_READ_ONLY(guard);
        EXPECT_FALSE(a.auth.bindVaultKeyToVaultIdentity(a.passwordKey, QStringLiteral("other")));
    }
    EXPECT_EQ(dorvex::test::readFile(a.path), before);
}

TEST(AuthManager, PasswordChecksWithoutAVaultWorkForABoundAccountAndChargeWrongOnes)
{
    Account a;
    a.bind(kVaultId);
    LoginFailureReason reason{};
    // The sign-in with an empty vault id is refused once bound; the plain check is not.
    EXPECT_FALSE(a.auth.login(kPassword, true, QString(), nullptr, &reason));
    EXPECT_EQ(reason, LoginFailureReason::VaultKeyMismatch);
    EXPECT_TRUE(a.auth.verifyPassword(kPassword, true, &reason));

    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(a.auth.verifyPassword("Wrong-Password-1", true, &reason));
        EXPECT_EQ(reason, LoginFailureReason::WrongPassword);
    }
    EXPECT_EQ(a.auth.secondsUntilNextLoginAttemptAllowed(), 0);
    EXPECT_FALSE(a.auth.beginPasswordChange("Wrong-Password-1"));
    EXPECT_EQ(a.auth.secondsUntilNextLoginAttemptAllowed(), 2);
    EXPECT_FALSE(a.auth.verifyPassword(kPassword, true, &reason));
    EXPECT_EQ(reason, LoginFailureReason::LockedOut);
}

TEST(AuthManager, CommittedPasswordChangeOpensTheNewKeyWithTheNewPasswordOnly)
{
    Account a;
    a.bind(kVaultId);
    std::optional<SecureBuffer> newKey = a.auth.beginPasswordChange(kPassword);
    ASSERT_TRUE(newKey);
    EXPECT_FALSE(newKey->equals(a.passwordKey));
    EXPECT_FALSE(a.auth.commitPasswordChange(*newKey, "weak", kVaultId));

    AuthManager::IdentityRecord before;
    ASSERT_TRUE(a.auth.readIdentityFile(before, nullptr));
    const std::string newPassword = "New-Battery-Staple-7";
    ASSERT_TRUE(a.auth.commitPasswordChange(*newKey, newPassword, kVaultId));
    AuthManager::IdentityRecord after;
    ASSERT_TRUE(a.auth.readIdentityFile(after, nullptr));
    EXPECT_EQ(after.username, before.username);
    EXPECT_NE(after.keySalt, before.keySalt);

    LoginFailureReason reason{};
    EXPECT_FALSE(a.login(kPassword, &reason, kVaultId));
    EXPECT_EQ(reason, LoginFailureReason::WrongPassword);
    auto key = a.login(newPassword, &reason, kVaultId);
    ASSERT_TRUE(key);
    EXPECT_TRUE(key->equals(*newKey));
    EXPECT_FALSE(QFile::exists(a.path + QStringLiteral(".oldcopy")));
}
