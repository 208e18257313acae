#pragma once

#include "crypto/SecureBuffer.h"

#include <QDialog>

#include <optional>

class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace dorvex::core {
class AuthManager;
class TwoFactorManager;
}  // namespace dorvex::core

// Asks for the six-digit code and yields the vault key combined from the password key and
// the two-factor secret. Wrong codes count against the login lockout.
class TwoFactorPromptDialog : public QDialog {
    Q_OBJECT

public:
    TwoFactorPromptDialog(const dorvex::crypto::SecureBuffer& passwordVaultKey,
                          dorvex::core::TwoFactorManager& twoFactor, dorvex::core::AuthManager& auth,
                          QWidget* parent = nullptr);
    ~TwoFactorPromptDialog() override;

    // The combined vault key of an accepted prompt; empty before and after it is taken.
    [[nodiscard]] std::optional<dorvex::crypto::SecureBuffer> takeVaultKey();
    [[nodiscard]] bool hasVaultKey() const { return vaultKey_.has_value(); }

public Q_SLOTS:
    void onVerifyClicked();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refreshLockoutState();

    const dorvex::crypto::SecureBuffer& passwordVaultKey_;
    dorvex::core::TwoFactorManager& twoFactor_;
    dorvex::core::AuthManager& auth_;
    std::optional<dorvex::crypto::SecureBuffer> vaultKey_;
    QLineEdit* codeEdit_ = nullptr;
    QLabel* errorLabel_ = nullptr;
    QPushButton* verifyButton_ = nullptr;
    // Runs while a cooldown does, so the prompt counts the wait down and opens again at its end.
    QTimer* cooldownTimer_ = nullptr;
};
