#include "ui/IdleLockWarningDialog.h"

#include "app/DialogHeader.h"
#include "app/ScreenCapture.h"
#include "core/AuthManager.h"
#include "core/TwoFactorManager.h"
#include "ui/LoginDialog.h"
#include "ui/SignInSupport.h"
#include "ui/TwoFactorPromptDialog.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

int IdleLockWarningDialog::tickIntervalMs = 1000;

IdleLockWarningDialog::IdleLockWarningDialog(int seconds, dorvex::core::AuthManager& auth,
                                             dorvex::core::TwoFactorManager& twoFactor, const QString& vaultId,
                                             QWidget* parent)
    : QDialog(parent), auth_(auth), twoFactor_(twoFactor), vaultId_(vaultId), remainingSeconds_(seconds)
{
    setWindowTitle(tr("Murravo - Still there?"));
    setMinimumWidth(380);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(16);
    layout->addWidget(buildDialogHeader(this, QStringLiteral(":/icons/lock.svg"), tr("You've Been Idle"),
                                        tr("Enter your master password to stay signed in.")));

    countdownLabel_ = new QLabel(this);
    countdownLabel_->setObjectName(QStringLiteral("idleLockCountdownLabel"));
    countdownLabel_->setWordWrap(true);
    layout->addWidget(countdownLabel_);

    auto* stillHereButton = new QPushButton(tr("I'm Still Here"), this);
    stillHereButton->setObjectName(QStringLiteral("idleLockStillHereButton"));
    signin::makeAccentButton(stillHereButton, QString());
    layout->addWidget(stillHereButton);
    connect(stillHereButton, &QPushButton::clicked, this, &IdleLockWarningDialog::onStillHereClicked);

    timer_ = new QTimer(this);
    timer_->setInterval(tickIntervalMs);
    connect(timer_, &QTimer::timeout, this, &IdleLockWarningDialog::onTick);
    timer_->start();
    onTick();
}

IdleLockWarningDialog::~IdleLockWarningDialog() = default;

void IdleLockWarningDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    dorvex::app::excludeWindowFromScreenCapture(static_cast<unsigned long long>(winId()));
}

void IdleLockWarningDialog::onTick()
{
    if (remainingSeconds_ < 1) {
        timer_->stop();
        reject();
        return;
    }
    countdownLabel_->setText(
        tr("Signing out in %1 second(s) unless you confirm your password.").arg(remainingSeconds_));
    --remainingSeconds_;
}

void IdleLockWarningDialog::onStillHereClicked()
{
    const bool twoFactorEnabled = twoFactor_.isEnabled();
    LoginDialog login(auth_, twoFactorEnabled, vaultId_, this);
    if (login.exec() != QDialog::Accepted || !login.hasPasswordKey())
        return;
    if (twoFactorEnabled) {
        std::optional<dorvex::crypto::SecureBuffer> passwordKey = login.takePasswordKey();
        TwoFactorPromptDialog prompt(*passwordKey, twoFactor_, auth_, this);
        if (prompt.exec() != QDialog::Accepted)
            return;
        // Only proof of presence is wanted; the session keeps its own vault key.
    }
    timer_->stop();
    accept();
}
