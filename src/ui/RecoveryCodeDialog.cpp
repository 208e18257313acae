#include "ui/RecoveryCodeDialog.h"

#include "app/ScreenCapture.h"
#include "crypto/SecureBuffer.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

#include <exception>

RecoveryCodeDialog::RecoveryCodeDialog(const QString& code, QWidget* parent) : QDialog(parent), code_(code)
{
    // A private copy, so the wipe below does not depend on the caller's string.
    code_.detach();
    setWindowTitle(tr("Recovery Code"));
    auto* layout = new QVBoxLayout(this);
    label_ = new QLabel(this);
    label_->setObjectName(QStringLiteral("recoveryCodeLabel"));
    label_->setWordWrap(true);
    label_->setTextFormat(Qt::PlainText);
    label_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label_->setText(
        tr("Save this recovery code somewhere safe and separate from this device. If this device's secure "
           "credential store access is ever reset or lost, this is the ONLY way to restore access to your account "
           "-- Murravo cannot recover it any other way, the same as a lost master password.\n\n%1\n\nThis code IS "
           "your key, not a token that only works on this device -- anyone who obtains it can use it on ANY "
           "device, with no need to ever touch this one. Treat it exactly like your master password.")
            .arg(code_));
    layout->addWidget(label_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
}

RecoveryCodeDialog::~RecoveryCodeDialog()
{
    try {
        wipeContent();
    } catch (...) {
        // A secret that could not be wiped must not outlive a half-finished destructor.
        std::terminate();
    }
}

void RecoveryCodeDialog::wipeContent()
{
    if (label_ != nullptr) {
        QString shown = label_->text();
        label_->clear();
        dorvex::crypto::secureZero(shown);
    }
    dorvex::crypto::secureZero(code_);
    code_.clear();
}

void RecoveryCodeDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    dorvex::app::excludeWindowFromScreenCapture(static_cast<unsigned long long>(winId()));
}
