#pragma once

#include "crypto/SecureBuffer.h"

#include <QDialog>
#include <QString>

#include <optional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace dorvex::core {
class AuthManager;
}

// Asks for the master password and yields the password key; offers the restore of the
// device's local key from a recovery code when that key is missing.
class LoginDialog : public QDialog {
    Q_OBJECT

public:
    LoginDialog(dorvex::core::AuthManager& auth, bool twoFactorEnabled, const QString& vaultId,
                QWidget* parent = nullptr);
    ~LoginDialog() override;

    // The password key of an accepted sign-in; empty before and after it is taken.
    [[nodiscard]] std::optional<dorvex::crypto::SecureBuffer> takePasswordKey();
    [[nodiscard]] bool hasPasswordKey() const { return passwordKey_.has_value(); }
    // The vault identifier the login reported as the one the key is bound to.
    [[nodiscard]] const QString& correctedVaultId() const { return correctedVaultId_; }

public Q_SLOTS:
    void onLoginClicked();
    void onRestoreRecoveryCodeClicked();

protected:
    void showEvent(QShowEvent* event) override;

private:
    dorvex::core::AuthManager& auth_;
    bool twoFactorEnabled_;
    QString vaultId_;
    QLineEdit* passwordEdit_ = nullptr;
    QLabel* errorLabel_ = nullptr;
    QPushButton* restoreButton_ = nullptr;
    std::optional<dorvex::crypto::SecureBuffer> passwordKey_;
    QString correctedVaultId_;
};
