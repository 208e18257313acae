// The main window of one session: idle lock, sign-out, the wipe, rollback-record advance, its
// remembered geometry.
#include "SessionFixture.h"

#include "app/Platform.h"
#include "ui/FileViewerDialog.h"
#include "ui/IdleLockWarningDialog.h"
#include "ui/LoginDialog.h"
#include "ui/MainWindow.h"
#include "ui/VaultBrowserWidget.h"
#include "ui/WindowGeometry.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QTableWidget>
#include <QTimer>

#include <algorithm>
#include <atomic>

using namespace session_test;
using dorvex::crypto::SecureBuffer;
using dorvex::vault::StorageConfig;
using dorvex::vault::VaultContainer;

namespace {

std::atomic<int> g_wipeStarts{0};
QtMessageHandler g_previousHandler = nullptr;

void countingHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (message.startsWith(QStringLiteral("MainWindow::wipeSessionSynchronously: starting at ")))
        ++g_wipeStarts;
    if (g_previousHandler != nullptr)
        g_previousHandler(type, context, message);
}

bool allZero(const SecureBuffer& buffer)
{
    return !buffer.empty() && std::all_of(buffer.data(), buffer.data() + buffer.size(), [](unsigned char b) { return b == 0; });
}

class MainWindowTest : public SessionTest {
protected:
    void SetUp() override
    {
        SessionTest::SetUp();
        passwordKey = createAccountAndVault();
        g_wipeStarts = 0;
        g_previousHandler = qInstallMessageHandler(countingHandler);
    }
    void TearDown() override
    {
        window.reset();
        qInstallMessageHandler(g_previousHandler);
        MainWindow::idleMillisecondsPerMinute = 60000;
        MainWindow::debuggerCheck = dorvex::app::platform::debuggerAttached;
        IdleLockWarningDialog::tickIntervalMs = 1000;
        SessionTest::TearDown();
    }

    // The window of a session signed in with the password key, with one entry in the vault.
    void openWindow(bool withContainer = true)
    {
        std::unique_ptr<VaultContainer> container;
        if (withContainer) {
            container = reopen(passwordKey);
            ASSERT_NE(container, nullptr);
            const QString source = dorvex::test::makeScratchDir() + QStringLiteral("/notes.txt");
            writeFile(source, "notes");
            ASSERT_TRUE(container->importFile(source, QStringLiteral("notes.txt")));
        }
        window = std::make_unique<MainWindow>(SecureBuffer(passwordKey.data(), passwordKey.size()),
                                              QStringLiteral("alice"), kMachine, std::move(container), *auth,
                                              *twoFactor, *storage, *idleLock, *guard, nullptr);
        window->show();
        if (withContainer) {
            auto* browser = window->findChild<VaultBrowserWidget*>();
            ASSERT_NE(browser, nullptr);
            browser->refreshList();
        }
    }

    QTableWidget* table() const { return window->findChild<QTableWidget*>(QStringLiteral("vaultTable")); }

    void expectWiped()
    {
        EXPECT_TRUE(window->isSessionWiped());
        EXPECT_TRUE(allZero(window->vaultKey()));
        if (window->container() != nullptr) {
            EXPECT_TRUE(window->container()->isLocked());
        }
        if (QTableWidget* t = table()) {
            EXPECT_EQ(t->rowCount(), 0);
        }
        EXPECT_FALSE(window->isVisible());
        EXPECT_EQ(g_wipeStarts.load(), 1);
    }

    SecureBuffer passwordKey;
    std::unique_ptr<MainWindow> window;
};

}  // namespace

TEST_F(MainWindowTest, IdleTimerFollowsTheSettingWithItsCap)
{
    struct Case {
        const char* name;
        int minutes;
        qint64 msPerMinute;
        bool active;
        int interval;
    } const cases[] = {
        {"never", 0, 60000, false, 0},
        {"five minutes", 5, 60000, true, 300000},
        {"longest setting", 1440, 60000, true, 86400000},
        {"past the timer's range", 1440, 2000000, true, 2147483647},
    };
    openWindow();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(idleLock->setTimeoutMinutes(c.minutes));
        MainWindow::idleMillisecondsPerMinute = c.msPerMinute;
        window->idleTimer()->stop();
        // Any input anywhere in the program re-arms the timer by the rule.
        QKeyEvent press(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
        QCoreApplication::sendEvent(window.get(), &press);
        EXPECT_EQ(window->idleTimer()->isActive(), c.active);
        if (c.active) {
            EXPECT_EQ(window->idleTimer()->interval(), c.interval);
        }
    }
}

TEST_F(MainWindowTest, IdleWarningRunningOutWipesTheSessionAndAsksForSignIn)
{
    ASSERT_TRUE(idleLock->setTimeoutMinutes(1));
    MainWindow::idleMillisecondsPerMinute = 30;
    IdleLockWarningDialog::tickIntervalMs = 5;
    openWindow();
    ASSERT_EQ(table()->rowCount(), 1);
    // The root key is cached now; after the wipe the next load must go to the keychain again.
    (void)dorvex::core::LocalIntegrityKey::load(dataDir + QStringLiteral("/identity.dat.key"));
    const int fetchesBefore = keychain.calls[dorvex::test::MemorySecretStore::Fetch];
    bool warned = false;
    dorvex::test::whenShown<IdleLockWarningDialog>([&](IdleLockWarningDialog*) { warned = true; });

    EXPECT_EQ(QApplication::exec(), MainWindow::kSignInAgainExitCode);
    EXPECT_TRUE(warned);
    expectWiped();
    (void)dorvex::core::LocalIntegrityKey::load(dataDir + QStringLiteral("/identity.dat.key"));
    EXPECT_GT(keychain.calls[dorvex::test::MemorySecretStore::Fetch], fetchesBefore);
}

TEST_F(MainWindowTest, AnsweringTheIdleWarningKeepsTheSessionAndRearmsTheTimer)
{
    ASSERT_TRUE(idleLock->setTimeoutMinutes(1));
    MainWindow::idleMillisecondsPerMinute = 30;
    openWindow();
    int result = -1;
    bool timerActiveAfter = false;
    bool wipedAfter = true;
    dorvex::test::whenShown<IdleLockWarningDialog>([&](IdleLockWarningDialog* warning) {
        QObject::connect(warning, &QDialog::finished, warning, [&](int r) {
            result = r;
            // Runs after the window has handled the answer.
            QTimer::singleShot(0, window.get(), [&] {
                timerActiveAfter = window->idleTimer()->isActive();
                wipedAfter = window->isSessionWiped();
                window->close();
            });
        });
        auto* stillHere = warning->findChild<QPushButton*>(QStringLiteral("idleLockStillHereButton"));
        ASSERT_NE(stillHere, nullptr);
        // Deferred: the click runs the password prompt's own event loop.
        QTimer::singleShot(0, stillHere, &QPushButton::click);
    });
    dorvex::test::whenShown<LoginDialog>([](LoginDialog* login) {
        login->findChild<QLineEdit*>(QStringLiteral("loginPasswordEdit"))->setText(kPassword);
        login->findChild<QPushButton*>(QStringLiteral("loginUnlockButton"))->click();
    });

    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_EQ(result, QDialog::Accepted);
    EXPECT_FALSE(wipedAfter);
    EXPECT_TRUE(timerActiveAfter);
    expectWiped();  // by the close at the end
}

TEST_F(MainWindowTest, SignOutAsksAndOnlyYesWipesAndReturnsToSignIn)
{
    openWindow();
    auto cancelled = answerNextMessage(QMessageBox::Cancel);
    window->onSignOutTriggered();
    EXPECT_TRUE(cancelled->shown);
    EXPECT_TRUE(cancelled->cancelWasDefault);
    EXPECT_EQ(cancelled->title, QStringLiteral("Sign Out"));
    EXPECT_EQ(cancelled->text, QStringLiteral("Sign out of Murravo? You'll need to log in again to access the vault."));
    EXPECT_FALSE(window->isSessionWiped());
    EXPECT_EQ(table()->rowCount(), 1);

    auto confirmed = answerNextMessage(QMessageBox::Yes);
    QTimer::singleShot(0, window.get(), [this] { window->onSignOutTriggered(); });
    EXPECT_EQ(QApplication::exec(), MainWindow::kSignInAgainExitCode);
    EXPECT_TRUE(confirmed->shown);
    expectWiped();
}

TEST_F(MainWindowTest, ClosingWipesExactlyOnceAndEndsTheProgram)
{
    openWindow();
    QTimer::singleShot(0, window.get(), [this] { window->close(); });
    EXPECT_EQ(QApplication::exec(), 0);
    expectWiped();
    window->wipeSessionSynchronously();
    EXPECT_EQ(g_wipeStarts.load(), 1);
}

TEST_F(MainWindowTest, AttachedDebuggerEndsTheSessionLikeSignOut)
{
    openWindow();
    MainWindow::debuggerCheck = [] { return true; };
    EXPECT_EQ(QApplication::exec(), MainWindow::kSignInAgainExitCode);
    expectWiped();
}

TEST_F(MainWindowTest, WithoutAVaultTheWindowExplainsAndStillWipes)
{
    openWindow(false);
    auto* label = window->findChild<QLabel*>(QStringLiteral("vaultUnavailableLabel"));
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), QStringLiteral("Could not open the vault. This may be the wrong password, or this vault "
                                            "is locked to a different machine than the one it was created on."));
    EXPECT_EQ(window->findChild<VaultBrowserWidget*>(), nullptr);
    window->onRollbackGuardAdvanceTimeout();
    window->close();
    expectWiped();
}

TEST_F(MainWindowTest, RollbackRecordAndStorageBindingFollowTheSessionsWrites)
{
    const unsigned long long before = guard->highestKnownGeneration();
    openWindow();  // the import in it advanced the vault
    const quint64 current = window->container()->generationCounter();
    ASSERT_GT(current, before);

    window->onRollbackGuardAdvanceTimeout();
    EXPECT_EQ(guard->highestKnownGeneration(), current);
    const QString path = dataDir + QStringLiteral("/storage.dat");
    EXPECT_FALSE(StorageConfig(path, kMachine, current).isCorrupted());
    EXPECT_TRUE(StorageConfig(path, kMachine, before).isCorrupted());
}

// The wipe reaches an open viewer: what it showed is gone before every window closes.
TEST_F(MainWindowTest, TheSessionWipeWipesAndClosesAnOpenViewer)
{
    openWindow();
    auto* browser = window->findChild<VaultBrowserWidget*>();
    bool sawViewer = false;
    bool emptiedBeforeClose = false;
    dorvex::test::whenShown<FileViewerDialog>([&](FileViewerDialog* viewer) {
        sawViewer = true;
        auto* text = viewer->findChild<QPlainTextEdit*>();
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(text->toPlainText(), QStringLiteral("notes"));
        QObject::connect(viewer, &QDialog::finished, viewer, [&emptiedBeforeClose, text] {
            emptiedBeforeClose = text->toPlainText().isEmpty();
        });
        window->wipeSessionSynchronously();
    });
    browser->viewRow(0);
    EXPECT_TRUE(sawViewer);
    EXPECT_TRUE(emptiedBeforeClose);
    EXPECT_TRUE(window->findChildren<FileViewerDialog*>().isEmpty());
    expectWiped();
}

// The window opens where it was closed, from a file in the configuration folder that holds the
// geometry and nothing of the vault; a place that fits no screen now is not taken.
TEST_F(MainWindowTest, TheWindowComesBackWhereItWasClosedWhenThatFitsAScreen)
{
    const QString settingsPath = windowgeometry::settingsPath();
    QFile::remove(settingsPath);
    EXPECT_TRUE(settingsPath.startsWith(qEnvironmentVariable("XDG_CONFIG_HOME") + QLatin1Char('/')));
    EXPECT_FALSE(settingsPath.startsWith(dataDir));

    openWindow();
    const QRect placed(40, 60, 640, 400);
    window->setGeometry(placed);
    window->close();
    ASSERT_TRUE(QFile::exists(settingsPath));
    const QByteArray stored = readFile(settingsPath);
    EXPECT_FALSE(stored.contains("notes")) << "nothing about entries";
    {
        QSettings settings(settingsPath, QSettings::IniFormat);
        EXPECT_EQ(settings.allKeys(), QStringList{QStringLiteral("MainWindow/geometry")});
    }
    window.reset();

    openWindow(false);
    EXPECT_EQ(window->geometry(), placed);
    window.reset();

    // Left on a screen that is gone, or a value that is not a geometry at all.
    QWidget elsewhere;
    elsewhere.setGeometry(5000, 4000, 640, 400);
    for (const QByteArray& saved : {elsewhere.saveGeometry(), QByteArray("not a geometry")}) {
        {
            QSettings settings(settingsPath, QSettings::IniFormat);
            settings.setValue(QStringLiteral("MainWindow/geometry"), saved);
        }
        openWindow(false);
        EXPECT_EQ(window->size(), QSize(900, 600));
        window.reset();
    }
    QFile::remove(settingsPath);
}
