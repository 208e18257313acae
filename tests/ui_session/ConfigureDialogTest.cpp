// The configure dialog over an open vault: its tabs and texts, the settings it saves, the
// two-factor enrolment display and its wipe, the recovery code, and the main window around it.
#include "SessionFixture.h"

#include "app/PlatformWording.h"
#include "core/AtomicFile.h"
#include "core/FileProtection.h"
#include "core/PasswordPolicy.h"
#include "core/Totp.h"
#include "ui/ConfigureDialog.h"
#include "ui/MainWindow.h"
#include "ui/RecoveryCodeDialog.h"
#include "vault/GenerationBinding.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <QUrlQuery>
#include <QWheelEvent>

using namespace session_test;
using dorvex::crypto::SecureBuffer;
using dorvex::vault::StorageConfig;
using dorvex::vault::VaultContainer;

namespace {

// Fails every write of the program's files whose path ends with `suffix`, while it lives.
class FailWritesTo {
public:
    explicit FailWritesTo(const QString& suffix)
    {
        dorvex::core::AtomicFile::setStepHook([suffix](dorvex::core::AtomicFile::Step step, const QString& path, int) {
            return step != dorvex::core::AtomicFile::Step::Create || !path.endsWith(suffix);
        });
    }
    ~FailWritesTo() { dorvex::core::AtomicFile::setStepHook({}); }
    FailWritesTo(const FailWritesTo&) = delete;
    FailWritesTo& operator=(const FailWritesTo&) = delete;
};

constexpr const char* kGreen = "color: #7CD992;";
constexpr const char* kRed = "color: #FF7A7A;";

class ConfigureDialogTest : public SessionTest {
public:
    void SetUp() override
    {
        SessionTest::SetUp();
        passwordKey = createAccountAndVault();
        container = reopen(passwordKey);
        ASSERT_NE(container, nullptr);
    }
    void TearDown() override
    {
        dialog.reset();
        container.reset();
        SessionTest::TearDown();
    }

    ConfigureDialog& open(VaultContainer* over)
    {
        dialog = std::make_unique<ConfigureDialog>(passwordKey, QStringLiteral("alice"), *auth, *twoFactor, *storage,
                                                   *idleLock, *guard, over);
        return *dialog;
    }
    ConfigureDialog& open() { return open(container.get()); }

    template <typename T = QWidget>
    T* child(const char* name)
    {
        T* found = dialog->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QString text(const char* label) { return child<QLabel>(label)->text(); }
    QString style(const char* label) { return child<QLabel>(label)->styleSheet(); }
    void click(const char* button) { child<QPushButton>(button)->click(); }

    void importSample(const QString& name, const QByteArray& bytes)
    {
        const QString source = dorvex::test::makeScratchDir() + QLatin1Char('/') + name;
        writeFile(source, bytes);
        ASSERT_TRUE(container->importFile(source, name));
    }

    SecureBuffer passwordKey;
    std::unique_ptr<VaultContainer> container;
    std::unique_ptr<ConfigureDialog> dialog;
};

TEST(VaultSizeFormat, EachUnitAtItsBoundaries)
{
    const struct {
        qint64 bytes;
        const char* text;
    } rows[] = {
        {0, "0 bytes"},           {1023, "1023 bytes"},         {1024, "1.0 KB"},
        {1536, "1.5 KB"},         {1048575, "1024.0 KB"},       {1048576, "1.00 MB"},
        {1073741823, "1024.00 MB"}, {1073741824, "1.00 GB"},    {5LL * 1073741824 + 536870912, "5.50 GB"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(formatVaultSize(row.bytes), QString::fromLatin1(row.text)) << row.bytes;
}

TEST_F(ConfigureDialogTest, TabsSummariesAndTheStateOfTheStorageTab)
{
    importSample(QStringLiteral("a.txt"), QByteArray(1000, 'a'));
    importSample(QStringLiteral("b.txt"), QByteArray(1048, 'b'));
    ConfigureDialog& d = open();
    EXPECT_EQ(d.windowTitle(), QStringLiteral("Murravo - Configure"));
    auto* tabs = child<QTabWidget>("configureTabs");
    ASSERT_EQ(tabs->count(), 3);
    EXPECT_EQ(tabs->tabText(0), QStringLiteral("General"));
    EXPECT_EQ(tabs->tabText(1), QStringLiteral("Security"));
    EXPECT_EQ(tabs->tabText(2), QStringLiteral("Storage"));
    EXPECT_EQ(text("generalUsernameLabel"), QStringLiteral("Signed in as: alice"));
    EXPECT_EQ(text("generalVaultStatsLabel"), QStringLiteral("2 file(s), 2.0 KB total"));
    EXPECT_EQ(text("vaultSizeLabel"), QStringLiteral("Vault size: 2.0 KB (2 file(s))"));
    EXPECT_EQ(text("storageStatusLabel"), QStringLiteral("Currently: container file (application data folder)."));
    EXPECT_EQ(child<QLineEdit>("locationDirectoryEdit")->text(), dataDir);
    EXPECT_EQ(child<QLineEdit>("locationFileNameEdit")->text(), QStringLiteral("vault.drvx"));
    EXPECT_EQ(child<QSpinBox>("maxSizeSpinBox")->specialValueText(), QStringLiteral("No limit"));
    auto* restrict = child<QCheckBox>("deleteRestrictedCheckBox");
    EXPECT_FALSE(restrict->isEnabled());
    EXPECT_EQ(restrict->toolTip(), dorvex::app::platformWording(dorvex::app::Wording::ConfigureRestrictDeleteTooltip));
    EXPECT_TRUE(child<QPushButton>("deleteVaultButton")->isEnabled());
    // The keyring holds the root here, so the recovery code is offered.
    EXPECT_EQ(text("localSecurityStatusLabel"),
              dorvex::app::platformWording(dorvex::app::Wording::ConfigureLocalSecurityProtected));
    tabs->setCurrentIndex(1);
    EXPECT_TRUE(child<QPushButton>("showRecoveryCodeButton")->isVisibleTo(&d));
    const QSize size = d.size();
    EXPECT_LE(size.width(), 560);
    EXPECT_LE(size.height(), 660);

    dialog.reset();
    open(nullptr);
    EXPECT_EQ(text("generalVaultStatsLabel"), QStringLiteral("Vault unavailable."));
    EXPECT_EQ(text("vaultSizeLabel"), QStringLiteral("Vault size: unavailable."));
    EXPECT_FALSE(child<QPushButton>("deleteVaultButton")->isEnabled());
    click("enableTwoFactorButton");
    EXPECT_EQ(text("twoFactorStatusLabel"),
              QStringLiteral("Vault unavailable -- cannot set up two-factor authentication right now."));
    EXPECT_EQ(style("twoFactorStatusLabel"), QString::fromLatin1(kRed));
}

TEST_F(ConfigureDialogTest, OpeningShowsTheStoredAutoLockWithoutWritingIt)
{
    const struct {
        int stored;
        QString shown;
    } rows[] = {{1, QStringLiteral("1 minute")}, {30, QStringLiteral("30 minutes")},
                {0, QStringLiteral("Never")},    {10, QStringLiteral("Never")}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.stored);
        ASSERT_TRUE(idleLock->setTimeoutMinutes(row.stored));
        const QByteArray before = readFile(dataDir + QStringLiteral("/idlelock.dat"));
        open();
        EXPECT_EQ(child<QComboBox>("autoLockComboBox")->currentText(), row.shown);
        dialog->reject();
        dialog.reset();
        EXPECT_EQ(idleLock->timeoutMinutes(), row.stored);
        EXPECT_EQ(readFile(dataDir + QStringLiteral("/idlelock.dat")), before);
    }
}

TEST_F(ConfigureDialogTest, AWheelPassingOverTheSettingsScrollsInsteadOfChangingThem)
{
    ASSERT_TRUE(idleLock->setTimeoutMinutes(15));
    open();
    auto* combo = child<QComboBox>("autoLockComboBox");
    auto* spin = child<QSpinBox>("maxSizeSpinBox");
    for (QWidget* control : {static_cast<QWidget*>(combo), static_cast<QWidget*>(spin)}) {
        QWheelEvent wheel(QPointF(5, 5), QPointF(5, 5), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(control, &wheel);
    }
    EXPECT_EQ(combo->currentText(), QStringLiteral("15 minutes"));
    EXPECT_EQ(idleLock->timeoutMinutes(), 15);
    EXPECT_EQ(spin->value(), 0);
}

TEST_F(ConfigureDialogTest, AutoLockChoicesAreSavedAndReported)
{
    ConfigureDialog& d = open();
    (void)d;
    auto* combo = child<QComboBox>("autoLockComboBox");
    const QStringList items = {QStringLiteral("Never"), QStringLiteral("1 minute"), QStringLiteral("5 minutes"),
                               QStringLiteral("15 minutes"), QStringLiteral("30 minutes")};
    ASSERT_EQ(combo->count(), items.size());
    for (int i = 0; i < items.size(); ++i)
        EXPECT_EQ(combo->itemText(i), items[i]);
    combo->setCurrentIndex(2);
    EXPECT_EQ(idleLock->timeoutMinutes(), 5);
    EXPECT_EQ(text("autoLockStatusLabel"), QStringLiteral("Auto-lock timeout updated."));
    EXPECT_EQ(style("autoLockStatusLabel"), QString::fromLatin1(kGreen));
    combo->setCurrentIndex(0);
    EXPECT_EQ(idleLock->timeoutMinutes(), 0);
    EXPECT_EQ(text("autoLockStatusLabel"), QStringLiteral("Auto-lock disabled."));
    {
        FailWritesTo faults(QStringLiteral("/idlelock.dat"));
        combo->setCurrentIndex(4);
    }
    EXPECT_EQ(text("autoLockStatusLabel"), QStringLiteral("Could not save the auto-lock setting. Please try again."));
    EXPECT_EQ(style("autoLockStatusLabel"), QString::fromLatin1(kRed));
    EXPECT_EQ(combo->currentIndex(), 4);
}

TEST_F(ConfigureDialogTest, SizeLimitIsSavedInBytesAndAppliedToTheOpenVault)
{
    const struct {
        int megabytes;
        qint64 bytes;
        QString status;
    } rows[] = {
        {2048, 2147483648LL, QStringLiteral("Size limit set to 2048 MB.")},
        {1000000, 1048576000000LL, QStringLiteral("Size limit set to 1000000 MB.")},
        {0, 0, QStringLiteral("No size limit.")},
    };
    open();
    auto* spin = child<QSpinBox>("maxSizeSpinBox");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.megabytes);
        spin->setValue(row.megabytes);
        click("applyMaxSizeButton");
        EXPECT_EQ(text("maxSizeStatusLabel"), row.status);
        EXPECT_EQ(style("maxSizeStatusLabel"), QString::fromLatin1(kGreen));
        EXPECT_EQ(storage->maxVaultSizeBytes(), row.bytes);
        EXPECT_EQ(container->maxSizeBytes(), row.bytes);
    }
    spin->setValue(3);
    {
        FailWritesTo faults(QStringLiteral("/storage.dat"));
        click("applyMaxSizeButton");
    }
    EXPECT_EQ(text("maxSizeStatusLabel"), QStringLiteral("Could not save the size limit."));
    EXPECT_EQ(container->maxSizeBytes(), 0);
    // The stored limit comes back in megabytes.
    ASSERT_TRUE(storage->setMaxVaultSizeBytes(5LL * 1048576 + 7));
    dialog.reset();
    open();
    EXPECT_EQ(child<QSpinBox>("maxSizeSpinBox")->value(), 5);
}

TEST_F(ConfigureDialogTest, HidingTheVaultFileIsAppliedAndRemembered)
{
    open();
    auto* hidden = child<QCheckBox>("hiddenCheckBox");
    EXPECT_FALSE(hidden->isChecked());
    hidden->setChecked(true);
    EXPECT_EQ(text("containerProtectionStatusLabel"), QStringLiteral("Vault file is now hidden."));
    EXPECT_TRUE(dorvex::core::FileProtection::isHidden(vaultPath()));
    EXPECT_TRUE(storage->containerConfig().hidden);
    hidden->setChecked(false);
    EXPECT_EQ(text("containerProtectionStatusLabel"), QStringLiteral("Vault file is no longer hidden."));
    EXPECT_FALSE(dorvex::core::FileProtection::isHidden(vaultPath()));
    EXPECT_FALSE(storage->containerConfig().hidden);
    {
        FailWritesTo faults(QStringLiteral("/.hidden"));
        hidden->setChecked(true);
    }
    EXPECT_EQ(text("containerProtectionStatusLabel"), QStringLiteral("Could not change the hidden attribute."));
    EXPECT_FALSE(hidden->isChecked());
    EXPECT_FALSE(storage->containerConfig().hidden);
}

TEST_F(ConfigureDialogTest, DeletingWithAWrongPasswordOrCancelledChangesNothing)
{
    struct Case {
        const char* name;
        QString typed;                        // empty: the prompt is cancelled
        QMessageBox::StandardButton confirm;  // the answer to "Delete Vault"
        QString status;
    } const cases[] = {
        {"prompt cancelled", QString(), QMessageBox::Yes, QString()},
        {"wrong password", QStringLiteral("Wrong-Pass-99!"), QMessageBox::Yes,
         QStringLiteral("Incorrect password. Vault not deleted.")},
        {"confirmation cancelled", kPassword, QMessageBox::Cancel, QString()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto before = snapshot(dataDir);
        open();
        dorvex::test::whenShown<QInputDialog>([&c](QInputDialog* input) {
            EXPECT_EQ(input->windowTitle(), QStringLiteral("Confirm Your Password"));
            EXPECT_EQ(input->labelText(), QStringLiteral("Type your master password to delete the vault:"));
            EXPECT_EQ(input->textEchoMode(), QLineEdit::Password);
            if (c.typed.isEmpty()) {
                input->reject();
                return;
            }
            input->setTextValue(c.typed);
            input->accept();
        });
        // Only where a question comes: a waiting answer would take the next row's.
        std::shared_ptr<MessageSeen> seen;
        if (c.confirm == QMessageBox::Cancel)
            seen = answerNextMessage(c.confirm);
        click("deleteVaultButton");
        EXPECT_EQ(text("deleteVaultStatusLabel"), c.status);
        if (c.confirm == QMessageBox::Cancel) {
            EXPECT_EQ(seen->title, QStringLiteral("Delete Vault"));
            EXPECT_EQ(seen->text, QStringLiteral("This will PERMANENTLY delete the vault at:\n%1\n\nand everything in "
                                                 "it. This cannot be undone.\n\nContinue?")
                                      .arg(vaultPath()));
            EXPECT_TRUE(seen->cancelWasDefault);
        }
        EXPECT_TRUE(child<QPushButton>("deleteVaultButton")->isEnabled());
        dialog.reset();
        auto after = snapshot(dataDir);
        const QString lockout = dataDir + QStringLiteral("/identity.dat.lockout");
        after.remove(lockout);
        auto expected = before;
        expected.remove(lockout);
        EXPECT_EQ(after, expected);
        EXPECT_TRUE(storage->pendingDeletePath().isEmpty());
        dorvex::test::closeStrayWidgets();
    }
}

TEST_F(ConfigureDialogTest, RecoveryCodeAfterThePasswordWithOrWithoutAnOpenVault)
{
    const QString expected = dorvex::core::LocalIntegrityKey::exportRootRecoveryCode(auth->identityFilePath()
                                                                                     + QStringLiteral(".key"));
    ASSERT_EQ(expected.size(), 56);
    for (VaultContainer* over : {container.get(), static_cast<VaultContainer*>(nullptr)}) {
        SCOPED_TRACE(over != nullptr ? "vault open" : "no vault");
        open(over);
        auto typePassword = [](const QString& password) {
            dorvex::test::whenShown<QInputDialog>([password](QInputDialog* input) {
                EXPECT_EQ(input->labelText(), QStringLiteral("Type your master password to view this device's "
                                                             "recovery code:"));
                input->setTextValue(password);
                input->accept();
            });
        };
        typePassword(QStringLiteral("Wrong-Pass-99!"));
        auto refused = answerNextMessage(QMessageBox::Ok);
        click("showRecoveryCodeButton");
        EXPECT_EQ(refused->title, QStringLiteral("Recovery Code"));
        EXPECT_EQ(refused->text, QStringLiteral("Incorrect password. Recovery code not shown."));

        typePassword(kPassword);
        QString shown;
        dorvex::test::whenShown<RecoveryCodeDialog>([&shown](RecoveryCodeDialog* code) {
            shown = code->findChild<QLabel*>(QStringLiteral("recoveryCodeLabel"))->text();
            code->accept();
        });
        click("showRecoveryCodeButton");
        EXPECT_TRUE(shown.contains(expected)) << qPrintable(shown);
        // The code dialog is gone with the call, and with it the code.
        EXPECT_EQ(dialog->findChildren<RecoveryCodeDialog*>().size(), 0);
        dialog.reset();
    }
}

TEST_F(ConfigureDialogTest, EnrolmentShowsTheQrCodeAndSecretAndCancelClearsThem)
{
    ConfigureDialog& d = open();
    child<QTabWidget>("configureTabs")->setCurrentIndex(1);
    const auto shown = [&](const char* name) { return child<QWidget>(name)->isVisibleTo(&d); };
    EXPECT_FALSE(shown("disableTwoFactorButton"));
    EXPECT_TRUE(shown("enableTwoFactorButton"));
    EXPECT_FALSE(shown("qrCodeLabel"));
    click("enableTwoFactorButton");
    EXPECT_TRUE(dialog->enrollmentInProgress());
    EXPECT_FALSE(shown("enableTwoFactorButton"));
    EXPECT_TRUE(shown("qrCodeLabel"));
    EXPECT_TRUE(shown("confirmTwoFactorButton"));
    EXPECT_FALSE(child<QLabel>("qrCodeLabel")->pixmap().isNull());
    auto* code = child<QLineEdit>("twoFactorCodeEdit");
    EXPECT_EQ(code->maxLength(), 6);
    EXPECT_EQ(code->placeholderText(), QStringLiteral("Enter the 6-digit code from your app"));
    const QString prefix = QStringLiteral("Can't scan? Enter this code manually: ");
    const QString manual = text("manualSecretLabel");
    ASSERT_TRUE(manual.startsWith(prefix));
    // The secret shown is the one the enrolment keeps: once enabled, its codes sign in.
    const auto secret = dorvex::core::Totp::base32Decode(manual.mid(prefix.size()));
    ASSERT_TRUE(secret);
    dorvex::core::TwoFactorManager::Settings pending;
    ASSERT_TRUE(twoFactor->readSettings(pending));
    dorvex::core::TwoFactorManager::Settings enabled = pending;
    enabled.enabled = true;
    enabled.wrappedSecret = pending.pendingWrappedSecret;
    ASSERT_TRUE(twoFactor->writeSettings(enabled));
    EXPECT_TRUE(twoFactor->verifyLoginCode(passwordKey, dorvex::core::Totp::generateTotp(*secret, g_nowMs / 1000, 30, 6)));
    ASSERT_TRUE(twoFactor->writeSettings(pending));

    // A journal on disk: the enrolment can no longer be called off from here.
    dorvex::core::TwoFactorManager::PendingTransition journal;
    journal.settings = enabled;
    ASSERT_TRUE(twoFactor->writePendingTransition(journal));
    click("cancelTwoFactorButton");
    EXPECT_EQ(text("twoFactorStatusLabel"),
              QStringLiteral("Two-factor authentication is already being enabled and can't be cancelled now. Restart "
                             "Murravo to finish or roll back the change automatically."));
    EXPECT_TRUE(dialog->enrollmentInProgress());
    ASSERT_TRUE(twoFactor->abandonPendingTransition());

    click("cancelTwoFactorButton");
    EXPECT_FALSE(dialog->enrollmentInProgress());
    EXPECT_TRUE(text("twoFactorStatusLabel").isEmpty());
    EXPECT_TRUE(text("manualSecretLabel").isEmpty());
    EXPECT_TRUE(child<QLabel>("qrCodeLabel")->pixmap().isNull());
    EXPECT_TRUE(shown("enableTwoFactorButton"));
    EXPECT_FALSE(shown("qrCodeLabel"));
    ASSERT_TRUE(twoFactor->readSettings(pending));
    EXPECT_TRUE(pending.pendingWrappedSecret.empty());
}

TEST_F(ConfigureDialogTest, TheEnrolmentSecretAndPasswordsDoNotOutliveTheDialog)
{
    // Closed by Escape, by the close button, or wiped with the session while open.
    const struct {
        const char* name;
        std::function<void(ConfigureDialog&)> end;
    } endings[] = {
        {"rejected", [](ConfigureDialog& d) { d.reject(); }},
        {"closed", [](ConfigureDialog& d) { d.close(); }},
        {"session wiped", [](ConfigureDialog& d) { d.wipeContent(); }},
    };
    for (const auto& ending : endings) {
        SCOPED_TRACE(ending.name);
        ConfigureDialog& d = open();
        d.show();
        click("enableTwoFactorButton");
        ASSERT_FALSE(text("manualSecretLabel").isEmpty());
        child<QLineEdit>("currentPasswordEdit")->setText(kPassword);
        child<QLineEdit>("newPasswordEdit")->setText(QStringLiteral("New-Password-77!"));
        d.setNewVaultKey(SecureBuffer(passwordKey.data(), passwordKey.size()));
        ending.end(d);
        EXPECT_TRUE(text("manualSecretLabel").isEmpty());
        EXPECT_TRUE(child<QLabel>("qrCodeLabel")->pixmap().isNull());
        EXPECT_TRUE(child<QLineEdit>("currentPasswordEdit")->text().isEmpty());
        EXPECT_TRUE(child<QLineEdit>("newPasswordEdit")->text().isEmpty());
        EXPECT_FALSE(d.enrollmentInProgress());
        dialog.reset();
    }
}

TEST_F(ConfigureDialogTest, RollbackCheckBeforeAReKey)
{
    struct Case {
        const char* name;
        std::function<void(ConfigureDialogTest&)> arrange;
        bool open;
        bool ok;
        QString error;
    } const cases[] = {
        {"no vault", [](ConfigureDialogTest&) {}, false, false, QStringLiteral("Vault unavailable.")},
        {"record in step", [](ConfigureDialogTest&) {}, true, true, QString()},
        {"record missing",
         [](ConfigureDialogTest& t) { ASSERT_TRUE(QFile::remove(t.dataDir + QStringLiteral("/vault_generation.dat"))); },
         true, false, QStringLiteral("Murravo could not verify this vault's rollback-protection record.")},
        {"record ahead of the vault",
         [](ConfigureDialogTest& t) {
             ASSERT_TRUE(t.guard->checkAndAdvance(t.container->vaultId(), t.container->generationCounter() + 5, false,
                                                  nullptr));
         },
         true, false,
         QStringLiteral("Murravo's rollback-protection record disagrees with this vault's actual state. This usually "
                        "means a previous save didn't fully complete.")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        c.arrange(*this);
        open(c.open ? container.get() : nullptr);
        const unsigned long long recordBefore = guard->highestKnownGeneration();
        QString error;
        EXPECT_EQ(dialog->ensureRollbackGuardCanAdvance(&error), c.ok);
        EXPECT_EQ(error, c.error);
        // Never ahead of the vault: a re-key that then changes nothing leaves it openable.
        if (c.ok) {
            EXPECT_EQ(guard->highestKnownGeneration(), std::max(recordBefore, container->generationCounter()));
            EXPECT_TRUE(guard->check(container->vaultId(), container->generationCounter(), false, nullptr));
        }
    }
}

class ConfigureFromMainWindowTest : public ConfigureDialogTest {
protected:
    void TearDown() override
    {
        window.reset();
        MainWindow::idleMillisecondsPerMinute = 60000;
        ConfigureDialogTest::TearDown();
    }
    void makeWindow()
    {
        window = std::make_unique<MainWindow>(SecureBuffer(passwordKey.data(), passwordKey.size()),
                                              QStringLiteral("alice"), kMachine, std::move(container), *auth,
                                              *twoFactor, *storage, *idleLock, *guard);
        window->show();
    }
    std::unique_ptr<MainWindow> window;
};

TEST_F(ConfigureFromMainWindowTest, TheWindowTakesTheNewKeyAndTimeoutAfterTheDialogUnlessWiped)
{
    makeWindow();
    auto* configure = window->findChild<QAction*>(QStringLiteral("configureAction"));
    ASSERT_TRUE(configure->isEnabled());
    SecureBuffer newKey(32);
    std::fill(newKey.data(), newKey.data() + newKey.size(), 0x5A);
    bool gotSessionKey = false;
    dorvex::test::whenShown<ConfigureDialog>([&](ConfigureDialog* d) {
        gotSessionKey = d->currentVaultKey().equals(passwordKey);
        d->findChild<QComboBox*>(QStringLiteral("autoLockComboBox"))->setCurrentIndex(0);
        d->setNewVaultKey(SecureBuffer(newKey.data(), newKey.size()));
        d->reject();
    });
    configure->trigger();
    EXPECT_TRUE(gotSessionKey);
    EXPECT_TRUE(window->vaultKey().equals(newKey));
    EXPECT_FALSE(window->idleTimer()->isActive());  // "Never"

    // The next dialog starts from the key the window took.
    bool gotNewKey = false;
    dorvex::test::whenShown<ConfigureDialog>([&](ConfigureDialog* d) {
        gotNewKey = d->currentVaultKey().equals(newKey);
        d->reject();
    });
    configure->trigger();
    EXPECT_TRUE(gotNewKey);

    // Wiped while the dialog is open (an idle lock, a debugger): the secrets shown go, and the
    // window keeps nothing from the dialog.
    QString manualAfterWipe = QStringLiteral("unset");
    QString passwordAfterWipe = QStringLiteral("unset");
    dorvex::test::whenShown<ConfigureDialog>([&](ConfigureDialog* d) {
        d->findChild<QPushButton*>(QStringLiteral("enableTwoFactorButton"))->click();
        d->findChild<QLineEdit*>(QStringLiteral("currentPasswordEdit"))->setText(kPassword);
        d->setNewVaultKey(SecureBuffer(passwordKey.data(), passwordKey.size()));
        auto* manual = d->findChild<QLabel*>(QStringLiteral("manualSecretLabel"));
        auto* typed = d->findChild<QLineEdit*>(QStringLiteral("currentPasswordEdit"));
        window->wipeSessionSynchronously();
        manualAfterWipe = manual->text();
        passwordAfterWipe = typed->text();
    });
    configure->trigger();
    EXPECT_TRUE(manualAfterWipe.isEmpty());
    EXPECT_TRUE(passwordAfterWipe.isEmpty());
    EXPECT_TRUE(window->isSessionWiped());
    EXPECT_FALSE(window->vaultKey().equals(passwordKey));
}

// The secret of the enrolment the dialog shows, read off its manual-entry text.
SecureBuffer shownSecret(ConfigureDialog& d)
{
    const QString prefix = QStringLiteral("Can't scan? Enter this code manually: ");
    const QString manual = d.findChild<QLabel*>(QStringLiteral("manualSecretLabel"))->text();
    std::optional<SecureBuffer> secret = dorvex::core::Totp::base32Decode(manual.mid(prefix.size()));
    EXPECT_TRUE(manual.startsWith(prefix) && secret);
    return secret ? std::move(*secret) : SecureBuffer();
}

QString codeAt(const SecureBuffer& secret, std::int64_t nowMs)
{
    return dorvex::core::Totp::generateTotp(secret, nowMs / 1000, 30, 6);
}

TEST_F(ConfigureDialogTest, PasswordChangeThroughTheDialogThenOnlyTheNewPasswordOpensTheVault)
{
    importSample(QStringLiteral("kept.txt"), "kept across the change");
    const QString newPassword = QStringLiteral("Brand-New-Pass-77!");
    struct Step {
        const char* name;
        QString current, chosen, confirmation;
        QString status;
        bool success;
    } const steps[] = {
        {"confirmation differs", kPassword, newPassword, newPassword + QLatin1Char('x'),
         QStringLiteral("New passwords do not match."), false},
        {"weak new password", kPassword, QStringLiteral("short"), QStringLiteral("short"),
         dorvex::core::PasswordPolicy::describeWeakness(QStringLiteral("short")), false},
        {"wrong current password", QStringLiteral("Wrong-Pass-99!"), newPassword, newPassword,
         QStringLiteral("Current password is incorrect."), false},
        {"changed", kPassword, newPassword, newPassword, QStringLiteral("Password changed."), true},
    };
    ConfigureDialog& d = open();
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        child<QLineEdit>("currentPasswordEdit")->setText(step.current);
        child<QLineEdit>("newPasswordEdit")->setText(step.chosen);
        child<QLineEdit>("confirmNewPasswordEdit")->setText(step.confirmation);
        click("changePasswordButton");
        EXPECT_EQ(text("changePasswordStatusLabel"), step.status);
        EXPECT_EQ(style("changePasswordStatusLabel"), QLatin1String(step.success ? kGreen : kRed));
        EXPECT_EQ(d.newVaultKey().has_value(), step.success);
    }
    // The typed passwords do not stay in the fields once the vault took the new one.
    for (const char* field : {"currentPasswordEdit", "newPasswordEdit", "confirmNewPasswordEdit"})
        EXPECT_TRUE(child<QLineEdit>(field)->text().isEmpty()) << field;
    ASSERT_TRUE(d.newVaultKey());
    const SecureBuffer newKey(d.newVaultKey()->data(), d.newVaultKey()->size());
    EXPECT_FALSE(newKey.equals(passwordKey));
    const QString vaultId = container->vaultId();
    dialog.reset();
    container.reset();

    dorvex::core::AuthManager fresh(auth->identityFilePath());
    dorvex::core::LoginFailureReason reason{};
    EXPECT_FALSE(fresh.login(kPassword.toStdString(), true, vaultId, nullptr, &reason));
    EXPECT_EQ(reason, dorvex::core::LoginFailureReason::WrongPassword);
    const auto signedIn = fresh.login(newPassword.toStdString(), true, vaultId, nullptr, &reason);
    ASSERT_TRUE(signedIn);
    EXPECT_TRUE(signedIn->equals(newKey));
    auto reopened = reopen(*signedIn);
    ASSERT_NE(reopened, nullptr);
    EXPECT_TRUE(reopened->contains(QStringLiteral("kept.txt")));
    EXPECT_EQ(reopen(passwordKey), nullptr);
    EXPECT_FALSE(QFile::exists(auth->identityFilePath() + QStringLiteral(".transition")));
}

TEST_F(ConfigureDialogTest, TwoFactorEnabledAndDisabledThroughTheDialogChangeTheKeyThatOpensTheVault)
{
    importSample(QStringLiteral("kept.txt"), "kept across both changes");
    ConfigureDialog& d = open();
    child<QTabWidget>("configureTabs")->setCurrentIndex(1);
    const auto shown = [&](const char* name) { return child<QWidget>(name)->isVisibleTo(&d); };
    click("enableTwoFactorButton");
    const SecureBuffer secret = shownSecret(d);

    auto* code = child<QLineEdit>("twoFactorCodeEdit");
    const QString right = codeAt(secret, g_nowMs);
    code->setText(right == QStringLiteral("000000") ? QStringLiteral("111111") : QStringLiteral("000000"));
    click("confirmTwoFactorButton");
    EXPECT_EQ(text("twoFactorStatusLabel"), QStringLiteral("That code didn't match. Check your app and try again."));
    EXPECT_EQ(style("twoFactorStatusLabel"), QLatin1String(kRed));
    EXPECT_TRUE(d.enrollmentInProgress());
    EXPECT_FALSE(d.newVaultKey());

    code->setText(right);
    Q_EMIT code->returnPressed();
    EXPECT_EQ(text("twoFactorStatusLabel"), QStringLiteral("Two-factor authentication is enabled."));
    EXPECT_EQ(style("twoFactorStatusLabel"), QLatin1String(kGreen));
    EXPECT_FALSE(d.enrollmentInProgress());
    EXPECT_TRUE(text("manualSecretLabel").isEmpty());
    EXPECT_TRUE(shown("disableTwoFactorButton"));
    EXPECT_FALSE(shown("enableTwoFactorButton"));
    const SecureBuffer combined = dorvex::core::TwoFactorManager::combineForVaultKey(passwordKey, secret);
    ASSERT_TRUE(d.newVaultKey());
    EXPECT_TRUE(d.newVaultKey()->equals(combined));
    EXPECT_TRUE(twoFactor->isEnabled());
    // The code that confirmed the enrolment does not sign in again.
    EXPECT_FALSE(twoFactor->verifyLoginCode(passwordKey, right));

    // Disabling asks for the password; a wrong one changes nothing.
    for (const QString& typed : {QStringLiteral("Wrong-Pass-99!"), kPassword}) {
        dorvex::test::whenShown<QInputDialog>([typed](QInputDialog* input) {
            EXPECT_EQ(input->labelText(),
                      QStringLiteral("Type your master password to disable two-factor authentication:"));
            EXPECT_EQ(input->textEchoMode(), QLineEdit::Password);
            input->setTextValue(typed);
            input->accept();
        });
        click("disableTwoFactorButton");
    }
    EXPECT_EQ(text("twoFactorStatusLabel"), QStringLiteral("Two-factor authentication is disabled."));
    EXPECT_EQ(style("twoFactorStatusLabel"), QLatin1String(kGreen));
    EXPECT_TRUE(shown("enableTwoFactorButton"));
    EXPECT_FALSE(twoFactor->isEnabled());
    ASSERT_TRUE(d.newVaultKey());
    EXPECT_TRUE(d.newVaultKey()->equals(passwordKey));
    dialog.reset();
    container.reset();

    auto reopened = reopen(passwordKey);
    ASSERT_NE(reopened, nullptr);
    EXPECT_TRUE(reopened->contains(QStringLiteral("kept.txt")));
    reopened.reset();
    EXPECT_EQ(reopen(combined), nullptr);
    EXPECT_FALSE(QFile::exists(twoFactor->path() + QStringLiteral(".transition")));
}

TEST_F(ConfigureDialogTest, AWrongPasswordToDisableTwoFactorIsRefusedAndChargedToTheLockout)
{
    ConfigureDialog& d = open();
    click("enableTwoFactorButton");
    const SecureBuffer secret = shownSecret(d);
    child<QLineEdit>("twoFactorCodeEdit")->setText(codeAt(secret, g_nowMs));
    click("confirmTwoFactorButton");
    ASSERT_TRUE(twoFactor->isEnabled());
    for (int attempt = 0; attempt < 6; ++attempt) {
        dorvex::test::whenShown<QInputDialog>([](QInputDialog* input) {
            input->setTextValue(QStringLiteral("Wrong-Pass-99!"));
            input->accept();
        });
        click("disableTwoFactorButton");
        EXPECT_EQ(text("twoFactorStatusLabel"),
                  QStringLiteral("Incorrect password. Two-factor authentication not disabled."));
    }
    EXPECT_GT(auth->secondsUntilNextLoginAttemptAllowed(), 0);
    EXPECT_TRUE(twoFactor->isEnabled());
    // A cancelled prompt says nothing and changes nothing.
    child<QLabel>("twoFactorStatusLabel")->clear();
    dorvex::test::whenShown<QInputDialog>([](QInputDialog* input) { input->reject(); });
    click("disableTwoFactorButton");
    EXPECT_TRUE(text("twoFactorStatusLabel").isEmpty());
    EXPECT_TRUE(twoFactor->isEnabled());
}

}  // namespace
