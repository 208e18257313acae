#include "ui/ConfigureDialog.h"

#include "app/KeyChanges.h"

#include "app/PlatformWording.h"
#include "app/QrCode.h"
#include "app/ScreenCapture.h"
#include "core/AuthManager.h"
#include "core/FileProtection.h"
#include "core/IdleLockSettings.h"
#include "core/LocalIntegrityKey.h"
#include "core/PasswordPolicy.h"
#include "core/TwoFactorManager.h"
#include "ui/BusyCursor.h"
#include "ui/RecoveryCodeDialog.h"
#include "ui/SignInSupport.h"
#include "vault/GenerationBinding.h"
#include "vault/OwnFiles.h"
#include "vault/StorageConfig.h"
#include "vault/VaultContainer.h"
#include "vault/VaultRollbackGuard.h"

#include <QCheckBox>
#include <QDir>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <string>
#include <utility>

namespace {

using dorvex::app::platformWording;
using dorvex::app::Wording;
using dorvex::crypto::SecureBuffer;
using dorvex::crypto::secureZero;
using dorvex::vault::StorageConfig;

constexpr const char* kSuccessStyle = "color: #7CD992;";
constexpr qint64 kBytesPerMegabyte = 1048576;
const QString kDefaultFileName = QStringLiteral("vault.drvx");

QAbstractScrollArea* enclosingScrollArea(QWidget* widget)
{
    for (QWidget* parent = widget->parentWidget(); parent != nullptr; parent = parent->parentWidget())
        if (auto* area = qobject_cast<QAbstractScrollArea*>(parent))
            return area;
    return nullptr;
}

void showStatus(QLabel* label, const QString& text, bool success)
{
    label->setStyleSheet(QString::fromLatin1(success ? kSuccessStyle : signin::kErrorStyle));
    label->setText(text);
    // The outcome is shown where the user looks: scrolled into view once the page has laid out
    // the new text.
    if (auto* area = qobject_cast<QScrollArea*>(enclosingScrollArea(label)))
        QTimer::singleShot(0, area, [area, label = QPointer<QLabel>(label)] {
            if (label)
                area->ensureWidgetVisible(label);
        });
}

QLabel* addLabel(QVBoxLayout* layout, QWidget* parent, const QString& text, const char* role = nullptr)
{
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    if (role != nullptr)
        label->setProperty("role", QString::fromLatin1(role));
    layout->addWidget(label);
    return label;
}

QLabel* addStatusLabel(QVBoxLayout* layout, QWidget* parent, const char* objectName)
{
    QLabel* label = addLabel(layout, parent, QString());
    label->setObjectName(QString::fromLatin1(objectName));
    return label;
}

void addLine(QVBoxLayout* layout, QWidget* parent)
{
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    layout->addWidget(line);
}

QPushButton* makeButton(QWidget* parent, const QString& text, const char* objectName)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(objectName));
    return button;
}

QLineEdit* makePasswordEdit(QWidget* parent, const char* objectName)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(objectName));
    edit->setEchoMode(QLineEdit::Password);
    return edit;
}

// A tab's page: its layout (spacing 14) is filled by the caller and closed with a stretch.
QScrollArea* makePage(QWidget* parent, QVBoxLayout*& layout, QWidget*& page)
{
    auto* scroll = new QScrollArea(parent);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    page = new QWidget(scroll);
    layout = new QVBoxLayout(page);
    layout->setSpacing(14);
    scroll->setWidget(page);
    return scroll;
}

// The master password from a prompt over `parent`, as UTF-8 for one call; nothing when
// cancelled. The typed text is wiped here; the caller wipes the result.
std::optional<std::string> askPassword(QWidget* parent, const QString& label)
{
    bool ok = false;
    QString typed = QInputDialog::getText(parent, QCoreApplication::translate("ConfigureDialog", "Confirm Your Password"),
                                          label, QLineEdit::Password, QString(), &ok);
    if (!ok) {
        secureZero(typed);
        return std::nullopt;
    }
    std::string password = signin::utf8Password(typed);
    secureZero(typed);
    return password;
}

// The otpauth URI's secret: the text after "secret=" up to the next "&" or the end.
QString secretOfUri(const QString& uri)
{
    static const QString kKey = QStringLiteral("secret=");
    const qsizetype start = uri.indexOf(kKey);
    if (start < 0)
        return QString();
    const qsizetype from = start + kKey.size();
    const qsizetype end = uri.indexOf(QLatin1Char('&'), from);
    return uri.mid(from, end < 0 ? -1 : end - from);
}

// How many entries the vault holds and the sum of their sizes.
std::pair<qsizetype, qint64> entryTotals(const dorvex::vault::VaultContainer& container)
{
    const auto entries = container.listEntries();
    qint64 total = 0;
    for (const auto& entry : entries)
        total += entry.size;
    return {static_cast<qsizetype>(entries.size()), total};
}

}  // namespace

QString formatVaultSize(qint64 bytes)
{
    if (bytes < 1024)
        return QCoreApplication::translate("ConfigureDialog", "%1 bytes").arg(bytes);
    if (bytes < 1048576)
        return QCoreApplication::translate("ConfigureDialog", "%1 KB")
            .arg(QString::number(static_cast<double>(bytes) / 1024.0, 'f', 1));
    if (bytes < 1073741824)
        return QCoreApplication::translate("ConfigureDialog", "%1 MB")
            .arg(QString::number(static_cast<double>(bytes) / 1048576.0, 'f', 2));
    return QCoreApplication::translate("ConfigureDialog", "%1 GB")
        .arg(QString::number(static_cast<double>(bytes) / 1073741824.0, 'f', 2));
}

ConfigureDialog::ConfigureDialog(const SecureBuffer& vaultKey, const QString& username,
                                 dorvex::core::AuthManager& auth, dorvex::core::TwoFactorManager& twoFactor,
                                 StorageConfig& storage, dorvex::core::IdleLockSettings& idleLock,
                                 dorvex::vault::VaultRollbackGuard& rollbackGuard,
                                 dorvex::vault::VaultContainer* container, QWidget* parent)
    : QDialog(parent),
      vaultKey_(vaultKey),
      username_(username),
      auth_(auth),
      twoFactor_(twoFactor),
      storage_(storage),
      idleLock_(idleLock),
      rollbackGuard_(rollbackGuard),
      container_(container)
{
    setWindowTitle(tr("Murravo - Configure"));
    setMinimumSize(460, 420);
    QSize largest(560, 660);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        largest = largest.boundedTo(QSize(available.width() * 9 / 10, available.height() * 9 / 10));
    }
    setMaximumSize(largest);
    resize(largest);

    auto* layout = new QVBoxLayout(this);
    tabs_ = new QTabWidget(this);
    tabs_->setObjectName(QStringLiteral("configureTabs"));
    tabs_->addTab(buildGeneralTab(), tr("General"));
    tabs_->addTab(buildSecurityTab(), tr("Security"));
    tabs_->addTab(buildStorageTab(), tr("Storage"));
    layout->addWidget(tabs_);

    refreshState();
    refreshStorageState();
}

ConfigureDialog::~ConfigureDialog() = default;

QString ConfigureDialog::dataFolder() const
{
    return QFileInfo(storage_.settingsPath()).absolutePath();
}

QString ConfigureDialog::identityKeyPath() const
{
    return auth_.identityFilePath() + QStringLiteral(".key");
}

QWidget* ConfigureDialog::buildGeneralTab()
{
    QVBoxLayout* layout = nullptr;
    QWidget* page = nullptr;
    QScrollArea* scroll = makePage(tabs_, layout, page);

    addLabel(layout, page, tr("Account"), "heading");
    addLabel(layout, page, tr("Signed in as: %1").arg(username_))->setObjectName(QStringLiteral("generalUsernameLabel"));
    addLine(layout, page);
    addLabel(layout, page, tr("Vault"), "heading");
    QString stats = tr("Vault unavailable.");
    if (container_ != nullptr) {
        const auto [count, total] = entryTotals(*container_);
        stats = tr("%1 file(s), %2 total").arg(count).arg(formatVaultSize(total));
    }
    addLabel(layout, page, stats)->setObjectName(QStringLiteral("generalVaultStatsLabel"));
    layout->addStretch();
    return scroll;
}

QWidget* ConfigureDialog::buildSecurityTab()
{
    QVBoxLayout* layout = nullptr;
    QWidget* page = nullptr;
    QScrollArea* scroll = makePage(tabs_, layout, page);

    addLabel(layout, page, tr("Two-Factor Authentication"), "heading");
    addLabel(layout, page, tr("Add a one-time code from your phone as a second step at login."), "subtext");
    twoFactorStatusLabel_ = addStatusLabel(layout, page, "twoFactorStatusLabel");
    enableTwoFactorButton_ = makeButton(page, tr("Enable Two-Factor Authentication"), "enableTwoFactorButton");
    signin::makeAccentButton(enableTwoFactorButton_, QStringLiteral(":/icons/key.svg"));
    connect(enableTwoFactorButton_, &QPushButton::clicked, this, &ConfigureDialog::onEnableClicked);
    layout->addWidget(enableTwoFactorButton_);

    enrollmentPanel_ = new QWidget(page);
    auto* enrollment = new QVBoxLayout(enrollmentPanel_);
    enrollment->setContentsMargins(0, 0, 0, 0);
    qrCodeLabel_ = new QLabel(enrollmentPanel_);
    qrCodeLabel_->setObjectName(QStringLiteral("qrCodeLabel"));
    qrCodeLabel_->setAlignment(Qt::AlignCenter);
    enrollment->addWidget(qrCodeLabel_);
    manualSecretLabel_ = addLabel(enrollment, enrollmentPanel_, QString(), "subtext");
    manualSecretLabel_->setObjectName(QStringLiteral("manualSecretLabel"));
    manualSecretLabel_->setTextFormat(Qt::PlainText);
    manualSecretLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* codeRow = new QHBoxLayout();
    twoFactorCodeEdit_ = new QLineEdit(enrollmentPanel_);
    twoFactorCodeEdit_->setObjectName(QStringLiteral("twoFactorCodeEdit"));
    twoFactorCodeEdit_->setPlaceholderText(tr("Enter the 6-digit code from your app"));
    twoFactorCodeEdit_->setMaxLength(6);
    connect(twoFactorCodeEdit_, &QLineEdit::returnPressed, this, &ConfigureDialog::onConfirmClicked);
    codeRow->addWidget(twoFactorCodeEdit_);
    QPushButton* confirm = makeButton(enrollmentPanel_, tr("Confirm"), "confirmTwoFactorButton");
    signin::makeAccentButton(confirm, QStringLiteral(":/icons/check-shield.svg"));
    connect(confirm, &QPushButton::clicked, this, &ConfigureDialog::onConfirmClicked);
    codeRow->addWidget(confirm);
    enrollment->addLayout(codeRow);
    QPushButton* cancel = makeButton(enrollmentPanel_, tr("Cancel"), "cancelTwoFactorButton");
    // Return in the code field confirms; it must never cancel the enrolment instead.
    cancel->setAutoDefault(false);
    connect(cancel, &QPushButton::clicked, this, &ConfigureDialog::onCancelEnrollmentClicked);
    enrollment->addWidget(cancel);
    layout->addWidget(enrollmentPanel_);

    disablePanel_ = new QWidget(page);
    auto* disable = new QVBoxLayout(disablePanel_);
    disable->setContentsMargins(0, 0, 0, 0);
    QPushButton* disableButton = makeButton(disablePanel_, tr("Disable Two-Factor Authentication"),
                                            "disableTwoFactorButton");
    connect(disableButton, &QPushButton::clicked, this, &ConfigureDialog::onDisableClicked);
    disable->addWidget(disableButton);
    layout->addWidget(disablePanel_);

    addLine(layout, page);
    addLabel(layout, page, tr("Auto-Lock"), "heading");
    addLabel(layout, page, tr("Automatically sign out after a period of inactivity while a vault is open."),
             "subtext");
    autoLockComboBox_ = new QComboBox(page);
    autoLockComboBox_->setObjectName(QStringLiteral("autoLockComboBox"));
    autoLockComboBox_->addItem(tr("Never"), 0);
    autoLockComboBox_->addItem(tr("1 minute"), 1);
    autoLockComboBox_->addItem(tr("5 minutes"), 5);
    autoLockComboBox_->addItem(tr("15 minutes"), 15);
    autoLockComboBox_->addItem(tr("30 minutes"), 30);
    {
        // Showing the stored value is no change of it: a value not in the list shows "Never"
        // and is left as it is.
        const QSignalBlocker quiet(autoLockComboBox_);
        const int index = autoLockComboBox_->findData(idleLock_.timeoutMinutes());
        autoLockComboBox_->setCurrentIndex(index < 0 ? 0 : index);
    }
    connect(autoLockComboBox_, &QComboBox::currentIndexChanged, this, &ConfigureDialog::onAutoLockChanged);
    autoLockComboBox_->setFocusPolicy(Qt::StrongFocus);
    autoLockComboBox_->installEventFilter(this);
    layout->addWidget(autoLockComboBox_);
    autoLockStatusLabel_ = addStatusLabel(layout, page, "autoLockStatusLabel");

    addLine(layout, page);
    addLabel(layout, page, tr("Master Password"), "heading");
    addLabel(layout, page,
             tr("At least %1 characters, with uppercase, lowercase, a number, and a symbol.")
                 .arg(dorvex::core::PasswordPolicy::kMinimumLength),
             "subtext");
    addLabel(layout, page,
             tr("Changing your password creates a new vault key and re-protects every file's key with it, but doesn't "
                "re-encrypt each file's own content. If someone obtained your OLD vault key before this change, they "
                "could still decrypt content that hasn't changed since then."),
             "subtext");
    auto* form = new QFormLayout();
    currentPasswordEdit_ = makePasswordEdit(page, "currentPasswordEdit");
    newPasswordEdit_ = makePasswordEdit(page, "newPasswordEdit");
    confirmNewPasswordEdit_ = makePasswordEdit(page, "confirmNewPasswordEdit");
    form->addRow(tr("Current password"), currentPasswordEdit_);
    form->addRow(tr("New password"), newPasswordEdit_);
    form->addRow(tr("Confirm new password"), confirmNewPasswordEdit_);
    layout->addLayout(form);
    QPushButton* change = makeButton(page, tr("Change Password"), "changePasswordButton");
    signin::makeAccentButton(change, QString());
    connect(change, &QPushButton::clicked, this, &ConfigureDialog::onChangePasswordClicked);
    layout->addWidget(change);
    changePasswordStatusLabel_ = addStatusLabel(layout, page, "changePasswordStatusLabel");

    addLine(layout, page);
    addLabel(layout, page, tr("Local Security"), "heading");
    addLabel(layout, page, tr("How Murravo protects its local configuration files on this device."), "subtext");
    const bool storeProtected = dorvex::core::LocalIntegrityKey::isTpmProtected(identityKeyPath());
    addStatusLabel(layout, page, "localSecurityStatusLabel")
        ->setText(storeProtected
                      ? platformWording(Wording::ConfigureLocalSecurityProtected)
                      : tr("Software-protected: this device's secure credential store was not available, so local "
                           "configuration files are protected with a permissions-restricted file instead."));
    QPushButton* recovery = makeButton(page, tr("Show Recovery Code..."), "showRecoveryCodeButton");
    recovery->setVisible(storeProtected);
    connect(recovery, &QPushButton::clicked, this, &ConfigureDialog::onShowRecoveryCodeClicked);
    layout->addWidget(recovery);
    layout->addStretch();
    return scroll;
}

QWidget* ConfigureDialog::buildStorageTab()
{
    QVBoxLayout* layout = nullptr;
    QWidget* page = nullptr;
    QScrollArea* scroll = makePage(tabs_, layout, page);

    addLabel(layout, page, tr("Storage"), "heading");
    addLabel(layout, page, tr("Your encrypted vault lives in an ordinary container file."), "subtext");
    storageStatusLabel_ = addStatusLabel(layout, page, "storageStatusLabel");
    vaultSizeLabel_ = addStatusLabel(layout, page, "vaultSizeLabel");

    addLine(layout, page);
    addLabel(layout, page, tr("Vault Size Limit"), "heading");
    addLabel(layout, page, tr("Caps how much data the vault can hold. Applies immediately."), "subtext");
    auto* sizeRow = new QHBoxLayout();
    maxSizeSpinBox_ = new QSpinBox(page);
    maxSizeSpinBox_->setObjectName(QStringLiteral("maxSizeSpinBox"));
    maxSizeSpinBox_->setRange(0, 1000000);
    maxSizeSpinBox_->setSuffix(tr(" MB"));
    maxSizeSpinBox_->setSpecialValueText(tr("No limit"));
    maxSizeSpinBox_->setFocusPolicy(Qt::StrongFocus);
    maxSizeSpinBox_->installEventFilter(this);
    sizeRow->addWidget(maxSizeSpinBox_, 1);
    QPushButton* applySize = makeButton(page, tr("Apply"), "applyMaxSizeButton");
    connect(applySize, &QPushButton::clicked, this, &ConfigureDialog::onApplyMaxSizeClicked);
    sizeRow->addWidget(applySize);
    layout->addLayout(sizeRow);
    maxSizeStatusLabel_ = addStatusLabel(layout, page, "maxSizeStatusLabel");

    addLine(layout, page);
    addLabel(layout, page, tr("Vault File Location (Container Backend)"), "heading");
    addLabel(layout, page, tr("Only applies to the container-file backend. Moves the file on next restart."),
             "subtext");
    auto* form = new QFormLayout();
    auto* folderRow = new QHBoxLayout();
    locationDirectoryEdit_ = new QLineEdit(page);
    locationDirectoryEdit_->setObjectName(QStringLiteral("locationDirectoryEdit"));
    folderRow->addWidget(locationDirectoryEdit_, 1);
    browseLocationButton_ = makeButton(page, tr("Browse..."), "browseLocationButton");
    connect(browseLocationButton_, &QPushButton::clicked, this, &ConfigureDialog::onBrowseLocationClicked);
    folderRow->addWidget(browseLocationButton_);
    form->addRow(tr("Folder"), folderRow);
    locationFileNameEdit_ = new QLineEdit(page);
    locationFileNameEdit_->setObjectName(QStringLiteral("locationFileNameEdit"));
    form->addRow(tr("File name"), locationFileNameEdit_);
    layout->addLayout(form);
    applyLocationButton_ = makeButton(page, tr("Apply"), "applyLocationButton");
    connect(applyLocationButton_, &QPushButton::clicked, this, &ConfigureDialog::onApplyLocationClicked);
    layout->addWidget(applyLocationButton_);
    locationStatusLabel_ = addStatusLabel(layout, page, "locationStatusLabel");

    addLine(layout, page);
    addLabel(layout, page, tr("File Protection (Container Backend)"), "heading");
    addLabel(layout, page, platformWording(Wording::ConfigureFileProtectionSubtext), "subtext");
    hiddenCheckBox_ = new QCheckBox(tr("Hide the vault file"), page);
    hiddenCheckBox_->setObjectName(QStringLiteral("hiddenCheckBox"));
    connect(hiddenCheckBox_, &QCheckBox::toggled, this, &ConfigureDialog::onHiddenToggled);
    layout->addWidget(hiddenCheckBox_);
    deleteRestrictedCheckBox_ = new QCheckBox(tr("Restrict Delete"), page);
    deleteRestrictedCheckBox_->setObjectName(QStringLiteral("deleteRestrictedCheckBox"));
    layout->addWidget(deleteRestrictedCheckBox_);
    containerProtectionStatusLabel_ = addStatusLabel(layout, page, "containerProtectionStatusLabel");

    addLine(layout, page);
    addLabel(layout, page, tr("Delete Vault"), "heading");
    addLabel(layout, page,
             tr("Permanently deletes the vault and everything in it. Requires your master password."), "subtext");
    deleteVaultButton_ = makeButton(page, tr("Delete Vault..."), "deleteVaultButton");
    connect(deleteVaultButton_, &QPushButton::clicked, this, &ConfigureDialog::onDeleteVaultClicked);
    layout->addWidget(deleteVaultButton_);
    deleteVaultStatusLabel_ = addStatusLabel(layout, page, "deleteVaultStatusLabel");
    layout->addStretch();
    return scroll;
}

void ConfigureDialog::refreshState()
{
    const bool enabled = twoFactor_.isEnabled();
    disablePanel_->setVisible(enabled);
    enableTwoFactorButton_->setVisible(!enabled && !enrolling_);
    enrollmentPanel_->setVisible(!enabled && enrolling_);
}

void ConfigureDialog::refreshStorageState()
{
    storageStatusLabel_->setText(tr("Currently: container file (application data folder)."));
    if (container_ != nullptr) {
        const auto [count, total] = entryTotals(*container_);
        vaultSizeLabel_->setText(tr("Vault size: %1 (%2 file(s))").arg(formatVaultSize(total)).arg(count));
    } else {
        vaultSizeLabel_->setText(tr("Vault size: unavailable."));
    }

    const qint64 limit = storage_.maxVaultSizeBytes();
    {
        const QSignalBlocker quiet(maxSizeSpinBox_);
        maxSizeSpinBox_->setValue(limit > 0 ? static_cast<int>(std::min<qint64>(limit / kBytesPerMegabyte,
                                                                                maxSizeSpinBox_->maximum()))
                                            : 0);
    }
    const StorageConfig::ContainerConfig config = storage_.containerConfig();
    locationDirectoryEdit_->setText(config.overrideDirectory.isEmpty() ? dataFolder() : config.overrideDirectory);
    locationFileNameEdit_->setText(config.overrideFileName.isEmpty() ? kDefaultFileName : config.overrideFileName);

    const QString path = storage_.currentContainerPath(dataFolder());
    const bool exists = QFileInfo::exists(path);
    {
        const QSignalBlocker quietHidden(hiddenCheckBox_);
        const QSignalBlocker quietRestricted(deleteRestrictedCheckBox_);
        hiddenCheckBox_->setChecked(exists && dorvex::core::FileProtection::isHidden(path));
        deleteRestrictedCheckBox_->setChecked(exists && dorvex::core::FileProtection::isDeleteRestricted(path));
    }
    for (QWidget* control : {static_cast<QWidget*>(locationDirectoryEdit_), static_cast<QWidget*>(locationFileNameEdit_),
                             static_cast<QWidget*>(browseLocationButton_), static_cast<QWidget*>(applyLocationButton_),
                             static_cast<QWidget*>(hiddenCheckBox_)})
        control->setEnabled(true);
    deleteRestrictedCheckBox_->setEnabled(false);
    deleteRestrictedCheckBox_->setToolTip(platformWording(Wording::ConfigureRestrictDeleteTooltip));
    // A deletion already scheduled is not scheduled again.
    deleteVaultButton_->setEnabled(container_ != nullptr && storage_.pendingDeletePath().isEmpty()
                                   && !storage_.pendingDeleteRawDisk());
}

void ConfigureDialog::setNewVaultKey(SecureBuffer key)
{
    newVaultKey_ = std::move(key);
}

const SecureBuffer& ConfigureDialog::currentVaultKey() const
{
    return newVaultKey_ ? *newVaultKey_ : vaultKey_;
}

bool ConfigureDialog::eventFilter(QObject* watched, QEvent* event)
{
    // The auto-lock choice is saved the moment it changes: a wheel turned to scroll the page
    // must scroll the page, not change the setting it passes over.
    if (event->type() == QEvent::Wheel) {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget != nullptr && !widget->hasFocus()) {
            if (QAbstractScrollArea* area = enclosingScrollArea(widget))
                QCoreApplication::sendEvent(area->viewport(), event);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void ConfigureDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    dorvex::app::excludeWindowFromScreenCapture(static_cast<unsigned long long>(winId()));
}

void ConfigureDialog::closeEvent(QCloseEvent* event)
{
    scrubPasswordFields();
    endEnrollment();
    QDialog::closeEvent(event);
}

void ConfigureDialog::reject()
{
    scrubPasswordFields();
    endEnrollment();
    QDialog::reject();
}

void ConfigureDialog::scrubPasswordFields()
{
    for (QLineEdit* edit : {currentPasswordEdit_, newPasswordEdit_, confirmNewPasswordEdit_}) {
        QString typed = edit->text();
        // The field lets go of its copy first, so the wipe reaches the only one left.
        edit->clear();
        secureZero(typed);
    }
}

void ConfigureDialog::clearEnrollmentSecretDisplay()
{
    qrCodeLabel_->clear();
    QString shown = manualSecretLabel_->text();
    manualSecretLabel_->clear();
    secureZero(shown);
}

void ConfigureDialog::endEnrollment()
{
    enrolling_ = false;
    clearEnrollmentSecretDisplay();
    twoFactorCodeEdit_->clear();
}

void ConfigureDialog::wipeContent()
{
    scrubPasswordFields();
    endEnrollment();
    newVaultKey_.reset();
}

bool ConfigureDialog::ensureRollbackGuardCanAdvance(QString* error)
{
    QString ignored;
    QString& why = error != nullptr ? *error : ignored;
    if (container_ == nullptr) {
        why = tr("Vault unavailable.");
        return false;
    }
    // The record is brought up to the vault as it stands, which proves it readable and
    // writable and leaves room for the next generation; it is never put ahead of the vault, so
    // a re-key that changes nothing cannot make the vault look rolled back at the next start.
    const dorvex::vault::RollbackCheckResult result = dorvex::vault::advanceRollbackRecord(
        storage_, rollbackGuard_, storage_.machineId(), container_->vaultId(), container_->generationCounter(), false);
    switch (result) {
    case dorvex::vault::RollbackCheckResult::Ok:
        return true;
    case dorvex::vault::RollbackCheckResult::RecordUnreadable:
        why = tr("Murravo could not verify this vault's rollback-protection record.");
        break;
    case dorvex::vault::RollbackCheckResult::RolledBack:
        why = tr("Murravo's rollback-protection record disagrees with this vault's actual state. This usually means "
                 "a previous save didn't fully complete.");
        break;
    default:
        why = tr("Murravo could not save its rollback-protection record -- check that its data folder is writable.");
        break;
    }
    return false;
}

void ConfigureDialog::onEnableClicked()
{
    if (container_ == nullptr) {
        showStatus(twoFactorStatusLabel_, tr("Vault unavailable -- cannot set up two-factor authentication right now."),
                   false);
        return;
    }
    std::optional<QString> uri;
    {
        BusyCursor busy;
        uri = twoFactor_.beginEnrollment(currentVaultKey(), username_, QStringLiteral("Murravo"));
    }
    if (!uri) {
        showStatus(twoFactorStatusLabel_,
                   tr("Could not start enrollment -- check disk space/permissions and try again."), false);
        return;
    }
    qrCodeLabel_->setPixmap(renderQrCode(*uri, 6));
    QString secret = secretOfUri(*uri);
    manualSecretLabel_->setText(tr("Can't scan? Enter this code manually: %1").arg(secret));
    secureZero(secret);
    secureZero(*uri);
    twoFactorCodeEdit_->clear();
    twoFactorStatusLabel_->clear();
    enrolling_ = true;
    refreshState();
}

dorvex::app::KeyChangeServices ConfigureDialog::keyChangeServices() const
{
    return {auth_, twoFactor_, storage_, rollbackGuard_, storage_.machineId()};
}

void ConfigureDialog::showKeyChange(QLabel* label, dorvex::app::KeyChangeResult& result)
{
    if (result.newVaultKey) {
        setNewVaultKey(std::move(*result.newVaultKey));
        result.newVaultKey.reset();
    }
    showStatus(label, result.message, result.success);
}

void ConfigureDialog::onConfirmClicked()
{
    const QString code = twoFactorCodeEdit_->text().trimmed();
    dorvex::app::KeyChangeResult result;
    {
        BusyCursor busy;
        result = dorvex::app::confirmTwoFactorEnable(keyChangeServices(), container_, currentVaultKey(), code);
    }
    if (result.enrollmentEnded)
        endEnrollment();
    showKeyChange(twoFactorStatusLabel_, result);
    refreshState();
}

void ConfigureDialog::onCancelEnrollmentClicked()
{
    if (twoFactor_.hasPendingTransition()) {
        showStatus(twoFactorStatusLabel_,
                   tr("Two-factor authentication is already being enabled and can't be cancelled now. Restart "
                      "Murravo to finish or roll back the change automatically."),
                   false);
        return;
    }
    (void)twoFactor_.disable();
    endEnrollment();
    twoFactorStatusLabel_->clear();
    refreshState();
}

void ConfigureDialog::onDisableClicked()
{
    std::optional<std::string> password =
        askPassword(this, tr("Type your master password to disable two-factor authentication:"));
    if (!password)
        return;
    dorvex::app::KeyChangeResult result;
    {
        BusyCursor busy;
        result = dorvex::app::disableTwoFactor(keyChangeServices(), container_, *password);
    }
    secureZero(*password);
    showKeyChange(twoFactorStatusLabel_, result);
    refreshState();
}

void ConfigureDialog::onAutoLockChanged(int index)
{
    const int minutes = autoLockComboBox_->itemData(index).toInt();
    if (!idleLock_.setTimeoutMinutes(minutes)) {
        showStatus(autoLockStatusLabel_, tr("Could not save the auto-lock setting. Please try again."), false);
        return;
    }
    showStatus(autoLockStatusLabel_, minutes != 0 ? tr("Auto-lock timeout updated.") : tr("Auto-lock disabled."), true);
}

void ConfigureDialog::onChangePasswordClicked()
{
    std::string current = signin::utf8Password(currentPasswordEdit_->text());
    std::string chosen = signin::utf8Password(newPasswordEdit_->text());
    std::string confirmation = signin::utf8Password(confirmNewPasswordEdit_->text());
    dorvex::app::KeyChangeResult result;
    {
        BusyCursor busy;
        result = dorvex::app::changePassword(keyChangeServices(), container_, current, chosen, confirmation,
                                             enrolling_);
    }
    secureZero(current);
    secureZero(chosen);
    secureZero(confirmation);
    // The typed passwords are not left in the fields once the vault has taken the new one.
    if (result.newVaultKey)
        scrubPasswordFields();
    showKeyChange(changePasswordStatusLabel_, result);
}

void ConfigureDialog::onShowRecoveryCodeClicked()
{
    std::optional<std::string> password =
        askPassword(this, tr("Type your master password to view this device's recovery code:"));
    if (!password)
        return;
    bool verified = false;
    {
        BusyCursor busy;
        // The verifier alone, so the check works with or without an open vault.
        verified = auth_.verifyPassword(*password, true);
    }
    secureZero(*password);
    if (!verified) {
        QMessageBox::warning(this, tr("Recovery Code"), tr("Incorrect password. Recovery code not shown."));
        return;
    }
    QString code = dorvex::core::LocalIntegrityKey::exportRootRecoveryCode(identityKeyPath());
    if (code.isEmpty()) {
        QMessageBox::warning(this, tr("Recovery Code"), platformWording(Wording::RecoveryCodeUnavailable));
        return;
    }
    {
        RecoveryCodeDialog dialog(code, this);
        dialog.exec();
        dialog.wipeContent();
    }
    secureZero(code);
}

void ConfigureDialog::onApplyMaxSizeClicked()
{
    const int megabytes = maxSizeSpinBox_->value();
    const qint64 bytes = static_cast<qint64>(megabytes) * kBytesPerMegabyte;
    if (!storage_.setMaxVaultSizeBytes(bytes)) {
        showStatus(maxSizeStatusLabel_, tr("Could not save the size limit."), false);
        return;
    }
    if (container_ != nullptr)
        container_->setMaxSizeBytes(bytes);
    showStatus(maxSizeStatusLabel_, megabytes != 0 ? tr("Size limit set to %1 MB.").arg(megabytes) : tr("No size limit."),
               true);
}

void ConfigureDialog::onBrowseLocationClicked()
{
    const QString chosen = QFileDialog::getExistingDirectory(this, tr("Choose Vault Folder"),
                                                             locationDirectoryEdit_->text(), QFileDialog::ShowDirsOnly);
    if (!chosen.isEmpty())
        locationDirectoryEdit_->setText(chosen);
}

void ConfigureDialog::onApplyLocationClicked()
{
    const QString folder = locationDirectoryEdit_->text().trimmed();
    const QString name = locationFileNameEdit_->text().trimmed();
    if (folder.isEmpty() || name.isEmpty()) {
        showStatus(locationStatusLabel_, tr("Folder and file name cannot be empty."), false);
        return;
    }
    if (!StorageConfig::isValidOverrideDirectory(folder)) {
        showStatus(locationStatusLabel_, tr("Folder must be a local path (not a network path) with no \"..\" segments."),
                   false);
        return;
    }
    if (!StorageConfig::isValidOverrideFileName(name)) {
        showStatus(locationStatusLabel_,
                   tr("File name must not contain \"/\" or \"\\\", and cannot be \".\" or \"..\"."), false);
        return;
    }
    const QString dataDir = dataFolder();
    const bool inDataFolder = dorvex::vault::resolvedFilePath(folder) == dorvex::vault::resolvedFilePath(dataDir);
    // The data folder holds the program's own files; a vault under one of their names would be
    // replaced by the next write of that file.
    if (inDataFolder && !name.endsWith(QStringLiteral(".drvx"))) {
        showStatus(locationStatusLabel_, tr("In Murravo's data folder the file name must end in \".drvx\"."), false);
        return;
    }
    // Where the vault is now: until a pending move is made, still at that move's source.
    const QString current = storage_.currentContainerPath(dataDir);
    const QString chosen = QDir::cleanPath(folder) + QLatin1Char('/') + name;
    const bool unchanged = dorvex::vault::resolvedFilePath(chosen) == dorvex::vault::resolvedFilePath(current);

    StorageConfig::ContainerConfig config = storage_.containerConfig();
    config.overrideDirectory = inDataFolder ? QString() : QDir::cleanPath(folder);
    config.overrideFileName = name == kDefaultFileName ? QString() : name;
    // A second choice before the restart moves the vault from where it still is; choosing that
    // place again calls the move off.
    config.pendingMigrateFromPath = unchanged ? QString() : current;
    config.pendingMigrateAttempts = 0;
    if (!storage_.setContainerConfig(config)) {
        showStatus(locationStatusLabel_, tr("Could not save the new location."), false);
        return;
    }
    showStatus(locationStatusLabel_,
               unchanged ? tr("No change.") : tr("Location updated. Restart Murravo to move the vault there."), true);
}

void ConfigureDialog::onHiddenToggled(bool checked)
{
    StorageConfig::ContainerConfig config = storage_.containerConfig();
    if (storage_.backend() != dorvex::vault::StorageBackend::Container || container_ == nullptr) {
        // Applied to the vault file the next time a vault is opened.
        config.hidden = checked;
        (void)storage_.setContainerConfig(config);
        return;
    }
    const QString path = storage_.currentContainerPath(dataFolder());
    if (!dorvex::core::FileProtection::setHidden(path, checked)) {
        showStatus(containerProtectionStatusLabel_, tr("Could not change the hidden attribute."), false);
        const QSignalBlocker quiet(hiddenCheckBox_);
        hiddenCheckBox_->setChecked(!checked);
        return;
    }
    config.hidden = checked;
    (void)storage_.setContainerConfig(config);
    showStatus(containerProtectionStatusLabel_,
               checked ? tr("Vault file is now hidden.") : tr("Vault file is no longer hidden."), true);
}

void ConfigureDialog::onDeleteVaultClicked()
{
    if (container_ == nullptr)
        return;
    std::optional<std::string> password = askPassword(this, tr("Type your master password to delete the vault:"));
    if (!password)
        return;
    bool verified = false;
    {
        BusyCursor busy;
        verified = auth_.verifyPassword(*password, true);
    }
    if (!verified) {
        secureZero(*password);
        showStatus(deleteVaultStatusLabel_, tr("Incorrect password. Vault not deleted."), false);
        return;
    }
    const bool rawDisk = storage_.backend() == dorvex::vault::StorageBackend::RawDisk;
    // Where the vault is now: a pending move is not made while a deletion waits.
    const QString path = storage_.currentContainerPath(dataFolder());
    const QString question =
        rawDisk ? tr("This will PERMANENTLY delete the vault stored in the claimed disk region and everything in it. "
                     "This cannot be undone.\n\nContinue?")
                : tr("This will PERMANENTLY delete the vault at:\n%1\n\nand everything in it. This cannot be "
                     "undone.\n\nContinue?")
                      .arg(path);
    if (QMessageBox::warning(this, tr("Delete Vault"), question, QMessageBox::Yes | QMessageBox::Cancel,
                             QMessageBox::Cancel)
        != QMessageBox::Yes) {
        secureZero(*password);
        return;
    }

    // Scheduled first: a failure or a crash from here on leaves a deletion that the next start
    // completes once the password is typed, never an account that can no longer open a vault
    // that is not deleted either.
    const auto schedule = [&](bool on) {
        return rawDisk ? storage_.setPendingDeleteRawDisk(on) : storage_.setPendingDeletePath(on ? path : QString());
    };
    if (!schedule(true)) {
        secureZero(*password);
        showStatus(deleteVaultStatusLabel_, tr("Could not schedule the deletion. Please try again."), false);
        return;
    }
    // A fresh password key for the account, so the vault's content no longer opens with it.
    bool rotated = false;
    {
        BusyCursor busy;
        const std::optional<SecureBuffer> key = auth_.beginPasswordChange(*password);
        rotated = key && auth_.commitPasswordChange(*key, *password, container_->vaultId());
    }
    secureZero(*password);
    if (!rotated) {
        if (schedule(false)) {
            showStatus(deleteVaultStatusLabel_, tr("Could not rotate the vault key. Vault not deleted."), false);
            return;
        }
        // The schedule stands: the deletion still runs at the next start, after the password.
        qWarning("ConfigureDialog: the vault key could not be rotated and the scheduled deletion could not be "
                 "withdrawn; it stays scheduled.");
    }
    deleteVaultButton_->setEnabled(false);
    showStatus(deleteVaultStatusLabel_,
               tr("The vault will be permanently deleted the next time you start Murravo. Restart now to complete "
                  "this."),
               true);
}
