#include "ui/LoginDialog.h"

#include "app/DialogHeader.h"
#include "app/PlatformWording.h"
#include "app/ScreenCapture.h"
#include "core/AuthManager.h"
#include "core/LocalIntegrityKey.h"
#include "ui/BusyCursor.h"
#include "ui/SignInSupport.h"

#include <QFormLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

using dorvex::core::LoginFailureReason;
using dorvex::crypto::secureZero;

LoginDialog::LoginDialog(dorvex::core::AuthManager& auth, bool twoFactorEnabled, const QString& vaultId,
                         QWidget* parent)
    : QDialog(parent), auth_(auth), twoFactorEnabled_(twoFactorEnabled), vaultId_(vaultId)
{
    setWindowTitle(tr("Murravo - Login"));
    setMinimumWidth(420);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(16);
    layout->addWidget(buildDialogHeader(this, QStringLiteral(":/icons/lock.svg"), tr("Welcome Back"),
                                        tr("Enter your master password to unlock your vault.")));

    auto* form = new QFormLayout;
    passwordEdit_ = new QLineEdit(this);
    passwordEdit_->setObjectName(QStringLiteral("loginPasswordEdit"));
    passwordEdit_->setEchoMode(QLineEdit::Password);
    form->addRow(tr("Master password"), passwordEdit_);
    layout->addLayout(form);

    errorLabel_ = signin::makeErrorLabel(this, QStringLiteral("loginErrorLabel"));
    layout->addWidget(errorLabel_);

    auto* unlockButton = new QPushButton(tr("Unlock"), this);
    unlockButton->setObjectName(QStringLiteral("loginUnlockButton"));
    signin::makeAccentButton(unlockButton, QStringLiteral(":/icons/lock.svg"));
    layout->addWidget(unlockButton);

    restoreButton_ = new QPushButton(tr("Restore From Recovery Code..."), this);
    restoreButton_->setObjectName(QStringLiteral("restoreRecoveryCodeButton"));
    restoreButton_->hide();
    layout->addWidget(restoreButton_);

    // Return in the field already signs in; a default button would try a second, empty attempt.
    unlockButton->setAutoDefault(false);
    restoreButton_->setAutoDefault(false);
    connect(passwordEdit_, &QLineEdit::returnPressed, this, &LoginDialog::onLoginClicked);
    connect(unlockButton, &QPushButton::clicked, this, &LoginDialog::onLoginClicked);
    connect(restoreButton_, &QPushButton::clicked, this, &LoginDialog::onRestoreRecoveryCodeClicked);
}

LoginDialog::~LoginDialog() = default;

std::optional<dorvex::crypto::SecureBuffer> LoginDialog::takePasswordKey()
{
    std::optional<dorvex::crypto::SecureBuffer> key = std::move(passwordKey_);
    passwordKey_.reset();
    return key;
}

void LoginDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    dorvex::app::excludeWindowFromScreenCapture(static_cast<unsigned long long>(winId()));
}

void LoginDialog::onLoginClicked()
{
    QString typed = passwordEdit_->text();
    // Dropping the field's copy first lets the wipe below reach the only remaining one.
    passwordEdit_->clear();
    std::string password = signin::utf8Password(typed);
    LoginFailureReason reason = LoginFailureReason::WrongPassword;
    QString corrected;
    std::optional<dorvex::crypto::SecureBuffer> key;
    {
        BusyCursor busy;
        key = auth_.login(password, !twoFactorEnabled_, vaultId_, &corrected, &reason);
    }
    secureZero(password);
    secureZero(typed);

    if (key) {
        passwordKey_ = std::move(key);
        correctedVaultId_ = corrected;
        accept();
        return;
    }

    qWarning("LoginDialog::onLoginClicked: login() failed, LoginFailureReason=%d", static_cast<int>(reason));
    restoreButton_->hide();
    QString message;
    switch (reason) {
    case LoginFailureReason::LockedOut:
        message = tr("Too many attempts. Please wait before trying again.");
        break;
    case LoginFailureReason::IdentityUnreadable:
        message = tr("Murravo could not read your account file (permission denied or the file is in use). This "
                     "is not a wrong password -- check the file's permissions, or restart Murravo if another "
                     "program may be holding it open.");
        break;
    case LoginFailureReason::IdentityCorrupt:
        message = tr("Murravo's account file appears to be corrupted or tampered with, and cannot be verified. "
                     "This is not a wrong password. If you have a backup of your account file, restore it; "
                     "otherwise please contact support.");
        break;
    case LoginFailureReason::IntegrityKeyUnavailable:
        message = dorvex::app::platformWording(dorvex::app::Wording::LoginIntegrityKeyUnavailable);
        restoreButton_->show();
        break;
    case LoginFailureReason::VaultKeyMismatch:
        message = tr("Your password was correct, but Murravo could not unlock the vault key on file. This usually "
                     "means the account file doesn't match this vault. Please contact support.");
        break;
    case LoginFailureReason::WrongPasswordNotRecorded:
        message = tr("Incorrect password. Murravo also could not save this attempt to its data folder -- its "
                     "protection against repeated guessing may not be active right now. Check that the data "
                     "folder is writable.");
        break;
    case LoginFailureReason::OutOfMemory:
        message = tr("Murravo could not check your password because this computer did not have enough free "
                     "memory. Close some programs and try again.");
        break;
    default:
        message = tr("Incorrect password.");
        break;
    }
    signin::showError(errorLabel_, message);
    passwordEdit_->clear();
    passwordEdit_->setFocus();
}

void LoginDialog::onRestoreRecoveryCodeClicked()
{
    const QString title = tr("Restore From Recovery Code");
    bool ok = false;
    QString entered = QInputDialog::getText(
        this, title, tr("Enter the recovery code you saved when this device's secure key was first set up:"),
        QLineEdit::Normal, QString(), &ok);
    QString code = entered.trimmed();
    if (!ok || code.isEmpty()) {
        entered.fill(QLatin1Char('0'));
        code.fill(QLatin1Char('0'));
        return;
    }
    const bool restored =
        dorvex::core::LocalIntegrityKey::restoreRootFromRecoveryCode(auth_.identityFilePath() + QStringLiteral(".key"),
                                                                     code);
    entered.fill(QLatin1Char('0'));
    code.fill(QLatin1Char('0'));
    if (!restored) {
        QMessageBox::warning(this, title,
                             tr("Could not restore from that code -- it may not be a valid recovery code for this "
                                "account, or this device's secure credential store is not available right now to "
                                "reseal it under."),
                             QMessageBox::Ok);
        return;
    }
    restoreButton_->hide();
    errorLabel_->hide();
    QMessageBox::information(this, title, tr("Restored. Enter your master password and select Unlock to continue."),
                             QMessageBox::Ok);
    passwordEdit_->setFocus();
}
