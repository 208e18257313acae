#pragma once

#include "crypto/SecureBuffer.h"

#include <QDialog>
#include <QString>

#include <optional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QVBoxLayout;
class QWidget;

namespace dorvex::core {
class AuthManager;
class IdleLockSettings;
class TwoFactorManager;
}  // namespace dorvex::core
namespace dorvex::app {
struct KeyChangeResult;
struct KeyChangeServices;
}  // namespace dorvex::app
namespace dorvex::vault {
class StorageConfig;
class VaultContainer;
class VaultRollbackGuard;
}  // namespace dorvex::vault

// The settings of an open session: two-factor sign-in, auto-lock, master password, recovery
// code, vault size limit, location, hiding and deletion. Every change is saved at once or
// recorded for the next start; an operation that re-keys the vault leaves the new key here for
// the main window to take after exec().
class ConfigureDialog : public QDialog {
    Q_OBJECT

public:
    ConfigureDialog(const dorvex::crypto::SecureBuffer& vaultKey, const QString& username,
                    dorvex::core::AuthManager& auth, dorvex::core::TwoFactorManager& twoFactor,
                    dorvex::vault::StorageConfig& storage, dorvex::core::IdleLockSettings& idleLock,
                    dorvex::vault::VaultRollbackGuard& rollbackGuard, dorvex::vault::VaultContainer* container,
                    QWidget* parent = nullptr);
    ~ConfigureDialog() override;

    // The key the vault was re-keyed to by this dialog; empty while no operation re-keyed it.
    [[nodiscard]] const std::optional<dorvex::crypto::SecureBuffer>& newVaultKey() const { return newVaultKey_; }
    // Kept by a re-keying operation once the vault is under `key`.
    void setNewVaultKey(dorvex::crypto::SecureBuffer key);
    // The key the two-factor operations start from: the new key when there is one.
    [[nodiscard]] const dorvex::crypto::SecureBuffer& currentVaultKey() const;

    [[nodiscard]] bool enrollmentInProgress() const { return enrolling_; }

    void scrubPasswordFields();
    void clearEnrollmentSecretDisplay();
    // For the session wipe: the password fields, the enrolment's QR code and secret, and the
    // new vault key. The dialog is left with nothing secret in it.
    void wipeContent();

    // The check a re-keying operation makes before it re-keys the container: the rollback record
    // (and storage.dat's binding with it) must accept the next generation. False with the text
    // for the user otherwise.
    [[nodiscard]] bool ensureRollbackGuardCanAdvance(QString* error);

public Q_SLOTS:
    void reject() override;

    void onEnableClicked();
    void onConfirmClicked();
    void onCancelEnrollmentClicked();
    void onDisableClicked();
    void onAutoLockChanged(int index);
    void onChangePasswordClicked();
    void onShowRecoveryCodeClicked();
    void onApplyMaxSizeClicked();
    void onBrowseLocationClicked();
    void onApplyLocationClicked();
    void onHiddenToggled(bool checked);
    void onDeleteVaultClicked();

    bool eventFilter(QObject* watched, QEvent* event) override;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QWidget* buildGeneralTab();
    QWidget* buildSecurityTab();
    QWidget* buildStorageTab();
    void refreshState();
    void refreshStorageState();
    // Ends an enrolment: the flag cleared, the QR code and secret wiped from the display.
    void endEnrollment();
    [[nodiscard]] dorvex::app::KeyChangeServices keyChangeServices() const;
    // Shows a key change's outcome and keeps the key the vault was re-keyed to.
    void showKeyChange(QLabel* label, dorvex::app::KeyChangeResult& result);
    [[nodiscard]] QString dataFolder() const;
    [[nodiscard]] QString identityKeyPath() const;

    const dorvex::crypto::SecureBuffer& vaultKey_;
    std::optional<dorvex::crypto::SecureBuffer> newVaultKey_;
    QString username_;
    dorvex::core::AuthManager& auth_;
    dorvex::core::TwoFactorManager& twoFactor_;
    dorvex::vault::StorageConfig& storage_;
    dorvex::core::IdleLockSettings& idleLock_;
    dorvex::vault::VaultRollbackGuard& rollbackGuard_;
    dorvex::vault::VaultContainer* container_;
    bool enrolling_ = false;

    QTabWidget* tabs_ = nullptr;
    // Security tab
    QLabel* twoFactorStatusLabel_ = nullptr;
    QPushButton* enableTwoFactorButton_ = nullptr;
    QWidget* enrollmentPanel_ = nullptr;
    QLabel* qrCodeLabel_ = nullptr;
    QLabel* manualSecretLabel_ = nullptr;
    QLineEdit* twoFactorCodeEdit_ = nullptr;
    QWidget* disablePanel_ = nullptr;
    QComboBox* autoLockComboBox_ = nullptr;
    QLabel* autoLockStatusLabel_ = nullptr;
    QLineEdit* currentPasswordEdit_ = nullptr;
    QLineEdit* newPasswordEdit_ = nullptr;
    QLineEdit* confirmNewPasswordEdit_ = nullptr;
    QLabel* changePasswordStatusLabel_ = nullptr;
    // Storage tab
    QLabel* storageStatusLabel_ = nullptr;
    QLabel* vaultSizeLabel_ = nullptr;
    QSpinBox* maxSizeSpinBox_ = nullptr;
    QLabel* maxSizeStatusLabel_ = nullptr;
    QLineEdit* locationDirectoryEdit_ = nullptr;
    QPushButton* browseLocationButton_ = nullptr;
    QLineEdit* locationFileNameEdit_ = nullptr;
    QPushButton* applyLocationButton_ = nullptr;
    QLabel* locationStatusLabel_ = nullptr;
    QCheckBox* hiddenCheckBox_ = nullptr;
    QCheckBox* deleteRestrictedCheckBox_ = nullptr;
    QLabel* containerProtectionStatusLabel_ = nullptr;
    QPushButton* deleteVaultButton_ = nullptr;
    QLabel* deleteVaultStatusLabel_ = nullptr;
};

// The size texts of the configure dialog: bytes, KB (1 decimal), MB or GB (2 decimals).
[[nodiscard]] QString formatVaultSize(qint64 bytes);
