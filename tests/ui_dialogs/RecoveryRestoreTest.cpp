// The login dialog's restore of a lost device key from a recovery code, against the real
// keyring of the test session.
#include "DialogFixture.h"

#include "app/PlatformWording.h"
#include "core/LocalIntegrityKey.h"
#include "ui/LoginDialog.h"

#include <QInputDialog>
#include <QMessageBox>
#include <QTest>

#include <libsecret/secret.h>

using namespace dialogs_test;
using dorvex::core::LocalIntegrityKey;

namespace {

// Deletes every item of the session's keyring: the test bus owns a throw-away keyring.
void forgetEveryKeyringItem()
{
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_LOAD_COLLECTIONS, nullptr, &error);
    ASSERT_NE(service, nullptr);
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    GList* items = secret_service_search_sync(service, nullptr, attributes, SECRET_SEARCH_ALL, nullptr, &error);
    for (GList* it = items; it != nullptr; it = it->next) {
        EXPECT_TRUE(secret_item_delete_sync(SECRET_ITEM(it->data), nullptr, nullptr));
    }
    g_list_free_full(items, g_object_unref);
    g_hash_table_unref(attributes);
    g_object_unref(service);
    LocalIntegrityKey::clearCache();
}

class RecoveryRestoreTest : public DialogTest {
protected:
    void SetUp() override
    {
        DialogTest::SetUp();
        passwordKey = createAccount();
        keyPath = auth->identityFilePath() + QStringLiteral(".key");
        if (!LocalIntegrityKey::isTpmProtected(keyPath))
            GTEST_SKIP() << "no Secret Service keyring in this session";
        code = LocalIntegrityKey::exportRootRecoveryCode(keyPath);
        ASSERT_FALSE(code.isEmpty());
        forgetEveryKeyringItem();
        ASSERT_TRUE(LocalIntegrityKey::isTpmRootUnavailable(keyPath));
    }
    void signInAttempt(LoginDialog& dialog)
    {
        auto* edit = child<QLineEdit>(&dialog, "loginPasswordEdit");
        edit->setText(kPassword);
        QTest::keyClick(edit, Qt::Key_Return);
    }

    dorvex::crypto::SecureBuffer passwordKey;
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
    std::optional<dorvex::crypto::SecureBuffer> key = dialog.takePasswordKey();
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
