#pragma once

#include "crypto/SecureBuffer.h"

#include <QMainWindow>

#include <memory>

class QTimer;

namespace dorvex::core {
class AuthManager;
class IdleLockSettings;
class TwoFactorManager;
}  // namespace dorvex::core
namespace dorvex::vault {
class StorageConfig;
class VaultContainer;
class VaultRollbackGuard;
}  // namespace dorvex::vault

// The window of one signed-in session. Sign-out, idle lock and a debugger wipe the session and
// end the event loop with kSignInAgainExitCode; a plain close wipes it and ends the program.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int kSignInAgainExitCode = 42;
    // Seconds the idle warning counts down before the session is locked.
    static constexpr int kIdleWarningSeconds = 30;
    static constexpr int kRollbackAdvanceIntervalMs = 3000;
    static constexpr int kDebuggerCheckIntervalMs = 1000;

    MainWindow(dorvex::crypto::SecureBuffer vaultKey, QString username, QString machineId,
               std::unique_ptr<dorvex::vault::VaultContainer> container, dorvex::core::AuthManager& auth,
               dorvex::core::TwoFactorManager& twoFactor, dorvex::vault::StorageConfig& storage,
               dorvex::core::IdleLockSettings& idleLock, dorvex::vault::VaultRollbackGuard& rollbackGuard,
               QWidget* parent = nullptr);
    ~MainWindow() override;

    bool eventFilter(QObject* watched, QEvent* event) override;
    void wipeSessionSynchronously();

    [[nodiscard]] const dorvex::crypto::SecureBuffer& vaultKey() const { return vaultKey_; }
    [[nodiscard]] dorvex::vault::VaultContainer* container() const { return container_.get(); }
    [[nodiscard]] bool isSessionWiped() const { return wiped_; }
    [[nodiscard]] QTimer* idleTimer() const { return idleTimer_; }

    // Milliseconds in one minute of the idle setting; tests shorten it so no test waits a minute.
    static qint64 idleMillisecondsPerMinute;
    // Whether a debugger is attached; replaceable in tests.
    static bool (*debuggerCheck)();

public Q_SLOTS:
    void onConfigureTriggered();
    void onHelpTriggered();
    void onAboutTriggered();
    void onSignOutTriggered();
    void onIdleTimeout();
    void restartIdleTimer();
    void onRollbackGuardAdvanceTimeout();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void onDebuggerCheck();
    void lockAndSignIn();

    bool wiped_ = false;
    unsigned long long lastRecordedGeneration_ = 0;  // what the rollback record last took from this window
    dorvex::crypto::SecureBuffer vaultKey_;
    QString username_;
    QString machineId_;
    dorvex::core::AuthManager& auth_;
    dorvex::core::TwoFactorManager& twoFactor_;
    dorvex::vault::StorageConfig& storage_;
    dorvex::core::IdleLockSettings& idleLock_;
    dorvex::vault::VaultRollbackGuard& rollbackGuard_;
    QTimer* idleTimer_ = nullptr;
    QTimer* rollbackTimer_ = nullptr;
    QTimer* debuggerTimer_ = nullptr;
    bool idleWarningOpen_ = false;
    std::unique_ptr<dorvex::vault::VaultContainer> container_;
};
