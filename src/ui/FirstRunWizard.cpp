#include "ui/FirstRunWizard.h"

#include "app/DialogHeader.h"
#include "app/PlatformWording.h"
#include "app/ScreenCapture.h"
#include "core/AuthManager.h"
#include "core/PasswordPolicy.h"
#include "ui/BusyCursor.h"
#include "ui/SignInSupport.h"

#include <QCloseEvent>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

using dorvex::crypto::secureZero;

FirstRunWizard::FirstRunWizard(dorvex::core::AuthManager& auth, QWidget* parent) : QDialog(parent), auth_(auth)
{
    setWindowTitle(tr("Murravo - Create Account"));
    setMinimumWidth(420);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(16);
    layout->addWidget(buildDialogHeader(this, QStringLiteral(":/icons/user-plus.svg"), tr("Create Your Account"),
                                        tr("Set up your local Murravo identity and master password.")));

    auto* form = new QFormLayout;
    usernameEdit_ = new QLineEdit(this);
    passwordEdit_ = new QLineEdit(this);
    passwordEdit_->setEchoMode(QLineEdit::Password);
    confirmEdit_ = new QLineEdit(this);
    confirmEdit_->setEchoMode(QLineEdit::Password);
    form->addRow(tr("Username"), usernameEdit_);
    form->addRow(tr("Master password"), passwordEdit_);
    form->addRow(tr("Confirm password"), confirmEdit_);
    layout->addLayout(form);

    auto* hint = new QLabel(tr("At least %1 characters, with uppercase, lowercase, a number, and a symbol.").arg(12),
                            this);
    hint->setProperty("role", QStringLiteral("subtext"));
    hint->setWordWrap(true);
    layout->addWidget(hint);

    auto* warning =
        new QLabel(dorvex::app::platformWording(dorvex::app::Wording::FirstRunMachineBoundWarning), this);
    warning->setStyleSheet(QStringLiteral("color: #E8B34C;"));
    warning->setWordWrap(true);
    layout->addWidget(warning);

    errorLabel_ = signin::makeErrorLabel(this, QStringLiteral("firstRunErrorLabel"));
    layout->addWidget(errorLabel_);

    auto* createButton = new QPushButton(tr("Create"), this);
    createButton->setObjectName(QStringLiteral("firstRunCreateButton"));
    signin::makeAccentButton(createButton, QStringLiteral(":/icons/user-plus.svg"));
    layout->addWidget(createButton);
    connect(createButton, &QPushButton::clicked, this, &FirstRunWizard::onCreateClicked);
}

FirstRunWizard::~FirstRunWizard() { scrubPasswordFields(); }

std::optional<dorvex::crypto::SecureBuffer> FirstRunWizard::takePasswordKey()
{
    std::optional<dorvex::crypto::SecureBuffer> key = std::move(passwordKey_);
    passwordKey_.reset();
    return key;
}

void FirstRunWizard::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    dorvex::app::excludeWindowFromScreenCapture(static_cast<unsigned long long>(winId()));
}

void FirstRunWizard::closeEvent(QCloseEvent* event)
{
    scrubPasswordFields();
    QDialog::closeEvent(event);
}

void FirstRunWizard::reject()
{
    scrubPasswordFields();
    QDialog::reject();
}

void FirstRunWizard::showError(const QString& text) { signin::showError(errorLabel_, text); }

void FirstRunWizard::onCreateClicked()
{
    const QString username = usernameEdit_->text().trimmed();
    if (username.isEmpty()) {
        showError(tr("Choose a username."));
        return;
    }
    {
        const QString weakness = dorvex::core::PasswordPolicy::describeWeakness(passwordEdit_->text());
        if (!weakness.isEmpty()) {
            showError(weakness);
            return;
        }
    }
    if (passwordEdit_->text() != confirmEdit_->text()) {
        showError(tr("Passwords do not match."));
        return;
    }

    std::string password = signin::utf8Password(passwordEdit_->text());
    std::optional<dorvex::crypto::SecureBuffer> key;
    bool outOfMemory = false;
    {
        BusyCursor busy;
        key = auth_.createIdentity(username, password, &outOfMemory);
    }
    secureZero(password);

    if (!key && outOfMemory) {
        showError(tr("Murravo could not create your account because this computer did not have enough free "
                     "memory. Close some programs and try again."));
        return;
    }
    if (!key) {
        showError(auth_.identityExists()
                      ? tr("Could not create the account. An identity already exists.")
                      : dorvex::app::platformWording(dorvex::app::Wording::FirstRunSecureKeyUnavailable));
        return;
    }
    passwordKey_ = std::move(key);
    scrubPasswordFields();
    accept();
}

void FirstRunWizard::scrubPasswordFields()
{
    QString password = passwordEdit_->text();
    QString confirmation = confirmEdit_->text();
    passwordEdit_->clear();
    confirmEdit_->clear();
    secureZero(password);
    secureZero(confirmation);
}
