// The login dialog's restore of a lost device key from a recovery code.
#include "DialogFixture.h"

#include "app/PlatformWording.h"
#include "core/LocalIntegrityKey.h"
#include "core/SecretStore.h"
#include "ui/LoginDialog.h"

#include <QInputDialog>
#include <QMessageBox>
#include <QTest>

#include <map>
#include <utility>

using namespace dialogs_test;
using dorvex::core::LocalIntegrityKey;
using dorvex::core::SecretStatus;
using dorvex::crypto::SecureBuffer;

namespace {

// A credential store in memory, so a test can lose the device's root as a reset keyring would.
class MemorySecretStore : public dorvex::core::SecretStore {
public:
    SecretStatus fetch(const QString& service, const QString& account, SecureBuffer& secret) override
    {
        const auto it = items_.find({service, account});
        if (it == items_.end())
            return SecretStatus::ItemNotFound;
        secret = SecureBuffer(it->second.data(), it->second.size());
        return SecretStatus::Success;
    }
    SecretStatus listAccounts(const QString& service, QStringList& accounts) override
    {
        accounts.clear();
        for (const auto& [key, value] : items_) {
            if (key.first == service)
                accounts << key.second;
        }
        return accounts.isEmpty() ? SecretStatus::ItemNotFound : SecretStatus::Success;
    }
    SecretStatus add(const QString& service, const QString& account, const SecureBuffer& secret) override
    {
        if (items_.count({service, account}) != 0)
            return SecretStatus::DuplicateItem;
        items_.emplace(std::make_pair(service, account), SecureBuffer(secret.data(), secret.size()));
        return SecretStatus::Success;
    }
    SecretStatus update(const QString& service, const QString& account, const SecureBuffer& secret) override
    {
        const auto it = items_.find({service, account});
        if (it == items_.end())
            return SecretStatus::ItemNotFound;
        it->second = SecureBuffer(secret.data(), secret.size());
        return SecretStatus::Success;
    }
    SecretStatus remove(const QString& service, const QString& account) override
    {
        return items_.erase({service, account}) != 0 ? SecretStatus::Success : SecretStatus::ItemNotFound;
    }
    void forgetEverything() { items_.clear(); }

private:
    std::map<std::pair<QString, QString>, SecureBuffer> items_;
};

class RecoveryRestoreTest : public DialogTest {
protected:
    void SetUp() override
    {
        DialogTest::SetUp();
        LocalIntegrityKey::setSecretStore(&store);
        passwordKey = createAccount();
        keyPath = auth->identityFilePath() + QStringLiteral(".key");
        ASSERT_TRUE(LocalIntegrityKey::isTpmProtected(keyPath));
        code = LocalIntegrityKey::exportRootRecoveryCode(keyPath);
        ASSERT_FALSE(code.isEmpty());
        store.forgetEverything();
        LocalIntegrityKey::clearCache();
        ASSERT_TRUE(LocalIntegrityKey::isTpmRootUnavailable(keyPath));
    }
    void TearDown() override
    {
        DialogTest::TearDown();
        LocalIntegrityKey::setSecretStore(nullptr);
    }
    void signInAttempt(LoginDialog& dialog)
    {
        auto* edit = child<QLineEdit>(&dialog, "loginPasswordEdit");
        edit->setText(kPassword);
        QTest::keyClick(edit, Qt::Key_Return);
    }

    MemorySecretStore store;
    SecureBuffer passwordKey;
    QString keyPath;
    QString code;
};

TEST_F(RecoveryRestoreTest, LostDeviceKeyOffersTheRestoreAndARightCodeBringsTheAccountBack)
{
    LoginDialog dialog(*auth, false, QString());
    dialog.show();
    signInAttempt(dialog);
    auto* error = child<QLabel>(&dialog, "loginErrorLabel");
    auto* restore = child<QPushButton>(&dialog, "restoreRecoveryCodeButton");
    EXPECT_EQ(error->text(), dorvex::app::platformWording(dorvex::app::Wording::LoginIntegrityKeyUnavailable));
    EXPECT_TRUE(error->text().contains(QLatin1String("Secret Service keyring")));
    ASSERT_TRUE(restore->isVisible());

    // A code that is not this account's: warned, nothing changes.
    dorvex::test::whenShown<QInputDialog>([](QInputDialog* input) {
        input->setTextValue(QStringLiteral("not-a-recovery-code"));
        input->accept();
    });
    QString warning;
    dorvex::test::whenShown<QMessageBox>([&warning](QMessageBox* box) {
        warning = box->text();
        box->accept();
    });
    dialog.onRestoreRecoveryCodeClicked();
    EXPECT_TRUE(warning.startsWith(QLatin1String("Could not restore from that code")));
    EXPECT_TRUE(restore->isVisible());
    EXPECT_TRUE(LocalIntegrityKey::isTpmRootUnavailable(keyPath));

    // The right code, with surrounding spaces.
    const QString padded = QStringLiteral("  ") + code + QStringLiteral(" \n");
    dorvex::test::whenShown<QInputDialog>([padded](QInputDialog* input) {
        input->setTextValue(padded);
        input->accept();
    });
    QString information;
    dorvex::test::whenShown<QMessageBox>([&information](QMessageBox* box) {
        information = box->text();
        box->accept();
    });
    dialog.onRestoreRecoveryCodeClicked();
    EXPECT_EQ(information, QStringLiteral("Restored. Enter your master password and select Unlock to continue."));
    EXPECT_FALSE(restore->isVisible());
    EXPECT_FALSE(error->isVisible());

    signInAttempt(dialog);
    ASSERT_EQ(dialog.result(), QDialog::Accepted);
    std::optional<SecureBuffer> key = dialog.takePasswordKey();
    ASSERT_TRUE(key.has_value());
    EXPECT_TRUE(key->equals(passwordKey));
}

TEST_F(RecoveryRestoreTest, CancelledOrBlankEntryDoesNothing)
{
    LoginDialog dialog(*auth, false, QString());
    dialog.show();
    signInAttempt(dialog);
    auto* restore = child<QPushButton>(&dialog, "restoreRecoveryCodeButton");
    ASSERT_TRUE(restore->isVisible());
    for (const bool cancel : {true, false}) {
        dorvex::test::whenShown<QInputDialog>([cancel](QInputDialog* input) {
            input->setTextValue(QStringLiteral("   "));
            cancel ? input->reject() : input->accept();
        });
        dialog.onRestoreRecoveryCodeClicked();
        EXPECT_TRUE(restore->isVisible());
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    }
    EXPECT_TRUE(LocalIntegrityKey::isTpmRootUnavailable(keyPath));
}

}  // namespace
