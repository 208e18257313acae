#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QTimer;

namespace dorvex::core {
class AuthManager;
class TwoFactorManager;
}  // namespace dorvex::core

// Counts down after a period of inactivity; accepted only when the user signs in again
// (password, and the code when two-factor authentication is on), rejected when time runs out.
class IdleLockWarningDialog : public QDialog {
    Q_OBJECT

public:
    IdleLockWarningDialog(int seconds, dorvex::core::AuthManager& auth, dorvex::core::TwoFactorManager& twoFactor,
                          const QString& vaultId, QWidget* parent = nullptr);
    ~IdleLockWarningDialog() override;

    // Length of one countdown step; tests shorten it so no test waits a minute.
    static int tickIntervalMs;

public Q_SLOTS:
    void onTick();
    void onStillHereClicked();

protected:
    void showEvent(QShowEvent* event) override;

private:
    dorvex::core::AuthManager& auth_;
    dorvex::core::TwoFactorManager& twoFactor_;
    QString vaultId_;
    QLabel* countdownLabel_ = nullptr;
    QTimer* timer_ = nullptr;
    int remainingSeconds_;
};
