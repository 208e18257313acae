#pragma once

#include "crypto/SecureBuffer.h"

#include <QDialog>

#include <optional>

class QLabel;
class QLineEdit;

namespace dorvex::core {
class AuthManager;
}

// Creates the one local account on first run and yields its new password key.
class FirstRunWizard : public QDialog {
    Q_OBJECT

public:
    FirstRunWizard(dorvex::core::AuthManager& auth, QWidget* parent = nullptr);
    ~FirstRunWizard() override;

    // The password key of the account just created; empty before and after it is taken.
    [[nodiscard]] std::optional<dorvex::crypto::SecureBuffer> takePasswordKey();
    [[nodiscard]] bool hasPasswordKey() const { return passwordKey_.has_value(); }

public Q_SLOTS:
    void onCreateClicked();
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void scrubPasswordFields();
    void showError(const QString& text);

    dorvex::core::AuthManager& auth_;
    QLineEdit* usernameEdit_ = nullptr;
    QLineEdit* passwordEdit_ = nullptr;
    QLineEdit* confirmEdit_ = nullptr;
    QLabel* errorLabel_ = nullptr;
    std::optional<dorvex::crypto::SecureBuffer> passwordKey_;
};
