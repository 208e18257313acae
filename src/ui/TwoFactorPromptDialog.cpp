#include "ui/TwoFactorPromptDialog.h"

#include "app/DialogHeader.h"
#include "app/ScreenCapture.h"
#include "core/AuthManager.h"
#include "core/TwoFactorManager.h"
#include "ui/SignInSupport.h"

#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

TwoFactorPromptDialog::TwoFactorPromptDialog(const dorvex::crypto::SecureBuffer& passwordVaultKey,
                                             dorvex::core::TwoFactorManager& twoFactor,
                                             dorvex::core::AuthManager& auth, QWidget* parent)
    : QDialog(parent), passwordVaultKey_(passwordVaultKey), twoFactor_(twoFactor), auth_(auth)
{
    setWindowTitle(tr("Murravo - Verification"));
    setMinimumWidth(380);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(16);
    layout->addWidget(buildDialogHeader(this, QStringLiteral(":/icons/check-shield.svg"),
                                        tr("Two-Factor Verification"),
                                        tr("Enter the code from your authenticator app.")));

    auto* form = new QFormLayout;
    codeEdit_ = new QLineEdit(this);
    codeEdit_->setObjectName(QStringLiteral("twoFactorPromptCodeEdit"));
    codeEdit_->setPlaceholderText(tr("6-digit code"));
    codeEdit_->setMaxLength(6);
    form->addRow(tr("Authentication code"), codeEdit_);
    layout->addLayout(form);

    errorLabel_ = signin::makeErrorLabel(this, QStringLiteral("twoFactorPromptErrorLabel"));
    layout->addWidget(errorLabel_);

    verifyButton_ = new QPushButton(tr("Verify"), this);
    verifyButton_->setObjectName(QStringLiteral("twoFactorPromptVerifyButton"));
    signin::makeAccentButton(verifyButton_, QStringLiteral(":/icons/check-shield.svg"));
    // Return in the field already verifies; a default button would spend a second attempt.
    verifyButton_->setAutoDefault(false);
    layout->addWidget(verifyButton_);

    // The wait is read from the lockout (and so from the clock) on every tick, never counted
    // here: a clock set back keeps the prompt closed as long as the lockout says.
    cooldownTimer_ = new QTimer(this);
    cooldownTimer_->setInterval(1000);
    connect(cooldownTimer_, &QTimer::timeout, this, &TwoFactorPromptDialog::refreshLockoutState);

    connect(codeEdit_, &QLineEdit::returnPressed, this, &TwoFactorPromptDialog::onVerifyClicked);
    connect(verifyButton_, &QPushButton::clicked, this, &TwoFactorPromptDialog::onVerifyClicked);
    refreshLockoutState();
}

TwoFactorPromptDialog::~TwoFactorPromptDialog() = default;

std::optional<dorvex::crypto::SecureBuffer> TwoFactorPromptDialog::takeVaultKey()
{
    std::optional<dorvex::crypto::SecureBuffer> key = std::move(vaultKey_);
    vaultKey_.reset();
    return key;
}

void TwoFactorPromptDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    dorvex::app::excludeWindowFromScreenCapture(static_cast<unsigned long long>(winId()));
}

void TwoFactorPromptDialog::onVerifyClicked()
{
    if (auth_.secondsUntilNextLoginAttemptAllowed() > 0) {
        refreshLockoutState();
        return;
    }
    const QString code = codeEdit_->text().trimmed();
    if (twoFactor_.verifyLoginCode(passwordVaultKey_, code))
        vaultKey_ = twoFactor_.vaultKeyForEnabledSecret(passwordVaultKey_);
    if (vaultKey_) {
        auth_.recordTwoFactorSuccess();
        accept();
        return;
    }
    const bool recorded = auth_.recordTwoFactorFailure();
    signin::showError(errorLabel_,
                      recorded ? tr("Incorrect code.")
                               : tr("Incorrect code. Murravo also could not save this attempt to its data folder "
                                    "-- its protection against repeated guessing may not be active right now. "
                                    "Check that the data folder is writable."));
    codeEdit_->clear();
    codeEdit_->setFocus();
    refreshLockoutState();
}

void TwoFactorPromptDialog::refreshLockoutState()
{
    const int seconds = auth_.secondsUntilNextLoginAttemptAllowed();
    if (seconds < 1) {
        verifyButton_->setEnabled(true);
        codeEdit_->setEnabled(true);
        if (cooldownTimer_->isActive()) {
            // The wait just ended: its message no longer holds.
            cooldownTimer_->stop();
            errorLabel_->clear();
            errorLabel_->hide();
            codeEdit_->setFocus();
        }
        return;
    }
    signin::showError(errorLabel_, tr("Too many attempts. Try again in %1s.").arg(seconds));
    verifyButton_->setEnabled(false);
    codeEdit_->setEnabled(false);
    if (!cooldownTimer_->isActive())
        cooldownTimer_->start();
}
