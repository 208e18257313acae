#include "ui/MainWindow.h"

#include "app/Platform.h"
#include "app/ScreenCapture.h"
#include "core/AuthManager.h"
#include "core/IdleLockSettings.h"
#include "core/LocalIntegrityKey.h"
#include "core/TwoFactorManager.h"
#include "ui/AboutDialog.h"
#include "ui/ConfigureDialog.h"
#include "ui/FileViewerDialog.h"
#include "ui/HelpDialog.h"
#include "ui/IdleLockWarningDialog.h"
#include "ui/RecoveryCodeDialog.h"
#include "ui/VaultBrowserWidget.h"
#include "ui/WindowGeometry.h"
#include "vault/StorageConfig.h"
#include "vault/VaultContainer.h"
#include "vault/GenerationBinding.h"
#include "vault/VaultRollbackGuard.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QTimer>

#include <algorithm>
#include <climits>

qint64 MainWindow::idleMillisecondsPerMinute = 60000;
bool (*MainWindow::debuggerCheck)() = dorvex::app::platform::debuggerAttached;

MainWindow::MainWindow(dorvex::crypto::SecureBuffer vaultKey, QString username, QString machineId,
                       std::unique_ptr<dorvex::vault::VaultContainer> container, dorvex::core::AuthManager& auth,
                       dorvex::core::TwoFactorManager& twoFactor, dorvex::vault::StorageConfig& storage,
                       dorvex::core::IdleLockSettings& idleLock, dorvex::vault::VaultRollbackGuard& rollbackGuard,
                       QWidget* parent)
    : QMainWindow(parent),
      vaultKey_(std::move(vaultKey)),
      username_(std::move(username)),
      machineId_(std::move(machineId)),
      auth_(auth),
      twoFactor_(twoFactor),
      storage_(storage),
      idleLock_(idleLock),
      rollbackGuard_(rollbackGuard),
      container_(std::move(container))
{
    setWindowTitle(tr("Murravo"));
    resize(900, 600);
    // Where the user left it last time, when that still fits a screen.
    windowgeometry::restore(*this);

    if (container_) {
        const QString dataFolder = QFileInfo(storage_.settingsPath()).absolutePath();
        setCentralWidget(
            new VaultBrowserWidget(*container_, storage_.currentContainerPath(dataFolder), dataFolder, this));
    } else {
        auto* label = new QLabel(tr("Could not open the vault. This may be the wrong password, or this vault is "
                                    "locked to a different machine than the one it was created on."),
                                 this);
        label->setObjectName(QStringLiteral("vaultUnavailableLabel"));
        label->setWordWrap(true);
        label->setAlignment(Qt::AlignCenter);
        setCentralWidget(label);
    }

    QMenu* fileMenu = menuBar()->addMenu(tr("&File"));
    QAction* configure = fileMenu->addAction(QIcon(QStringLiteral(":/icons/key.svg")), tr("&Configure..."));
    configure->setObjectName(QStringLiteral("configureAction"));
    connect(configure, &QAction::triggered, this, &MainWindow::onConfigureTriggered);
    fileMenu->addSeparator();
    QAction* signOut = fileMenu->addAction(QIcon(QStringLiteral(":/icons/lock.svg")), tr("Sign &Out"));
    signOut->setObjectName(QStringLiteral("signOutAction"));
    connect(signOut, &QAction::triggered, this, &MainWindow::onSignOutTriggered);

    QMenu* helpMenu = menuBar()->addMenu(tr("&Help"));
    QAction* guide = helpMenu->addAction(QIcon(QStringLiteral(":/icons/key.svg")), tr("&User Guide..."));
    guide->setObjectName(QStringLiteral("userGuideAction"));
    connect(guide, &QAction::triggered, this, &MainWindow::onHelpTriggered);
    helpMenu->addSeparator();
    QAction* about = helpMenu->addAction(QIcon(QStringLiteral(":/icons/app.svg")), tr("&About Murravo..."));
    about->setObjectName(QStringLiteral("aboutAction"));
    connect(about, &QAction::triggered, this, &MainWindow::onAboutTriggered);

    idleTimer_ = new QTimer(this);
    idleTimer_->setSingleShot(true);
    connect(idleTimer_, &QTimer::timeout, this, &MainWindow::onIdleTimeout);
    QCoreApplication::instance()->installEventFilter(this);
    restartIdleTimer();

    debuggerTimer_ = new QTimer(this);
    connect(debuggerTimer_, &QTimer::timeout, this, &MainWindow::onDebuggerCheck);
    debuggerTimer_->start(kDebuggerCheckIntervalMs);

    if (container_) {
        rollbackTimer_ = new QTimer(this);
        connect(rollbackTimer_, &QTimer::timeout, this, &MainWindow::onRollbackGuardAdvanceTimeout);
        rollbackTimer_->start(kRollbackAdvanceIntervalMs);
    }
}

MainWindow::~MainWindow()
{
    if (QCoreApplication::instance() != nullptr)
        QCoreApplication::instance()->removeEventFilter(this);
    wipeSessionSynchronously();
}

void MainWindow::onConfigureTriggered()
{
    ConfigureDialog dialog(vaultKey_, username_, auth_, twoFactor_, storage_, idleLock_, rollbackGuard_,
                           container_.get(), this);
    dialog.exec();
    // A session wiped meanwhile (idle lock, sign-out) keeps nothing, a new key included.
    if (wiped_)
        return;
    if (const auto& newKey = dialog.newVaultKey())
        vaultKey_ = dorvex::crypto::SecureBuffer(newKey->data(), newKey->size());
    restartIdleTimer();
}

void MainWindow::onHelpTriggered()
{
    HelpDialog dialog(auth_, this);
    dialog.exec();
}

void MainWindow::onAboutTriggered()
{
    AboutDialog dialog(this);
    dialog.exec();
}

void MainWindow::onSignOutTriggered()
{
    const auto answer =
        QMessageBox::question(this, tr("Sign Out"), tr("Sign out of Murravo? You'll need to log in again to access the vault."),
                              QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel);
    if (answer == QMessageBox::Yes)
        lockAndSignIn();
}

void MainWindow::onIdleTimeout()
{
    // Input inside the warning must not re-arm the timer behind it.
    idleWarningOpen_ = true;
    const QString vaultId = container_ ? container_->vaultId() : QString();
    IdleLockWarningDialog dialog(kIdleWarningSeconds, auth_, twoFactor_, vaultId, this);
    const int result = dialog.exec();
    idleWarningOpen_ = false;
    if (wiped_)
        return;
    if (result != QDialog::Accepted) {
        lockAndSignIn();
        return;
    }
    restartIdleTimer();
}

void MainWindow::restartIdleTimer()
{
    if (wiped_ || idleTimer_ == nullptr)
        return;
    const int minutes = idleLock_.timeoutMinutes();
    if (minutes < 1) {
        idleTimer_->stop();
        return;
    }
    const qint64 interval = std::min<qint64>(static_cast<qint64>(minutes) * idleMillisecondsPerMinute, INT_MAX);
    idleTimer_->start(static_cast<int>(interval));
}

void MainWindow::onRollbackGuardAdvanceTimeout()
{
    if (!container_ || wiped_)
        return;
    const unsigned long long generation = container_->generationCounter();
    if (generation == lastRecordedGeneration_)
        return;
    // A failed advance is retried on the next tick.
    if (dorvex::vault::advanceRollbackRecord(storage_, rollbackGuard_, machineId_, container_->vaultId(), generation,
                                             false)
        == dorvex::vault::RollbackCheckResult::Ok)
        lastRecordedGeneration_ = generation;
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseMove:
    case QEvent::KeyPress:
    case QEvent::Wheel:
    case QEvent::TouchBegin:
        if (!idleWarningOpen_)
            restartIdleTimer();
        break;
    default:
        break;
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    dorvex::app::excludeWindowFromScreenCapture(static_cast<unsigned long long>(winId()));
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (isVisible())
        windowgeometry::save(*this);
    wipeSessionSynchronously();
    QMainWindow::closeEvent(event);
}

void MainWindow::onDebuggerCheck()
{
    if (!wiped_ && debuggerCheck != nullptr && debuggerCheck()) {
        qWarning("MainWindow: a debugger is attached to the process; ending the session.");
        lockAndSignIn();
    }
}

void MainWindow::lockAndSignIn()
{
    wipeSessionSynchronously();
    QCoreApplication::exit(kSignInAgainExitCode);
}

void MainWindow::wipeSessionSynchronously()
{
    if (wiped_)
        return;
    wiped_ = true;
    idleTimer_->stop();
    debuggerTimer_->stop();
    if (rollbackTimer_ != nullptr)
        rollbackTimer_->stop();

    const QDateTime started = QDateTime::currentDateTimeUtc();
    QElapsedTimer elapsed;
    elapsed.start();
    qWarning("MainWindow::wipeSessionSynchronously: starting at %s", started.toString(Qt::ISODate).toUtf8().constData());

    if (!vaultKey_.empty())
        dorvex::crypto::secureZero(vaultKey_.data(), static_cast<unsigned long>(vaultKey_.size()));
    auth_.clearCachedPasswordKey();
    if (container_)
        container_->lockSynchronously();
    if (auto* browser = findChild<VaultBrowserWidget*>())
        browser->clearDisplayedFileList();
    for (FileViewerDialog* viewer : findChildren<FileViewerDialog*>())
        viewer->wipeContent();
    for (RecoveryCodeDialog* dialog : findChildren<RecoveryCodeDialog*>())
        dialog->wipeContent();
    for (ConfigureDialog* dialog : findChildren<ConfigureDialog*>())
        dialog->wipeContent();
    dorvex::core::LocalIntegrityKey::clearCache();

    qWarning("MainWindow::wipeSessionSynchronously: core wipe finished at %s (%lld ms after starting)",
             QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toUtf8().constData(),
             static_cast<long long>(elapsed.elapsed()));
    QApplication::closeAllWindows();
}
