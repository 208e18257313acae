// The four sign-in dialogs driven through their widgets against a real account on disk.
#include "DialogFixture.h"

#include "core/AtomicFile.h"
#include "crypto/Sha1.h"
#include "ui/FirstRunWizard.h"
#include "ui/IdleLockWarningDialog.h"
#include "ui/LoginDialog.h"
#include "ui/TwoFactorPromptDialog.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTest>
#include <QTimer>
#include <QUuid>

#include <functional>
#include <vector>

using namespace dialogs_test;
using dorvex::crypto::SecureBuffer;

namespace {

// An independent RFC 6238 code for the frozen clock.
QString totpNow(const SecureBuffer& secret)
{
    std::uint64_t counter = static_cast<std::uint64_t>(g_nowMs / 1000 / 30);
    std::vector<unsigned char> message(8);
    for (int i = 7; i >= 0; --i, counter >>= 8)
        message[static_cast<std::size_t>(i)] = static_cast<unsigned char>(counter & 0xFF);
    const std::vector<unsigned char> key(secret.data(), secret.data() + secret.size());
    const auto mac = dorvex::crypto::HmacSha1::compute(key, message);
    const int offset = mac[19] & 0x0F;
    const std::uint32_t binary = (static_cast<std::uint32_t>(mac[offset] & 0x7F) << 24)
                                 | (static_cast<std::uint32_t>(mac[offset + 1]) << 16)
                                 | (static_cast<std::uint32_t>(mac[offset + 2]) << 8) | mac[offset + 3];
    return QStringLiteral("%1").arg(binary % 1000000, 6, 10, QLatin1Char('0'));
}

bool sameBytes(const SecureBuffer& a, const SecureBuffer& b)
{
    return a.size() == b.size() && a.equals(b);
}

// ---------------------------------------------------------------------------------------------
class FirstRunWizardTest : public DialogTest {
protected:
    struct Fields {
        QLineEdit* username;
        QLineEdit* password;
        QLineEdit* confirm;
    };
    static Fields fields(FirstRunWizard& wizard)
    {
        const QList<QLineEdit*> edits = wizard.findChildren<QLineEdit*>();
        EXPECT_EQ(edits.size(), 3);
        return {edits.value(0), edits.value(1), edits.value(2)};
    }
    static void fill(FirstRunWizard& wizard, const QString& user, const QString& pass, const QString& confirm)
    {
        const Fields f = fields(wizard);
        f.username->setText(user);
        f.password->setText(pass);
        f.confirm->setText(confirm);
    }
};

TEST_F(FirstRunWizardTest, RefusesBadInputWithTheFirstFailingRuleAndCreatesNothing)
{
    struct Case {
        const char* user;
        const char* password;
        const char* confirm;
        const char* message;
    };
    const Case cases[] = {
        {"", "Correct-Horse-42!", "Correct-Horse-42!", "Choose a username."},
        {"   ", "Correct-Horse-42!", "Correct-Horse-42!", "Choose a username."},
        {"alice", "Short-1!", "Short-1!", "Must be at least 12 characters."},
        {"alice", "correct-horse-42!", "correct-horse-42!", "Must include at least one uppercase letter."},
        {"alice", "Correct-Horse-Battery", "Correct-Horse-Battery", "Must include at least one number."},
        {"alice", "Correct-Horse-42!", "Correct-Horse-42?", "Passwords do not match."},
        {"alice", "Correct-Horse-42!", "correct-horse-42!", "Passwords do not match."},
    };
    for (const Case& c : cases) {
        FirstRunWizard wizard(*auth);
        wizard.show();
        fill(wizard, QString::fromLatin1(c.user), QString::fromLatin1(c.password), QString::fromLatin1(c.confirm));
        QTest::mouseClick(child<QPushButton>(&wizard, "firstRunCreateButton"), Qt::LeftButton);
        auto* error = child<QLabel>(&wizard, "firstRunErrorLabel");
        EXPECT_TRUE(error->isVisible()) << c.message;
        EXPECT_EQ(error->text(), QString::fromLatin1(c.message));
        EXPECT_TRUE(wizard.isVisible());
        EXPECT_FALSE(wizard.hasPasswordKey());
        EXPECT_FALSE(auth->identityExists()) << c.message;
    }
}

TEST_F(FirstRunWizardTest, CreatesTheAccountAndHandsBackAKeyThatSignsIn)
{
    FirstRunWizard wizard(*auth);
    wizard.show();
    fill(wizard, QStringLiteral("  alice  "), kPassword, kPassword);
    QTest::mouseClick(child<QPushButton>(&wizard, "firstRunCreateButton"), Qt::LeftButton);

    EXPECT_EQ(wizard.result(), QDialog::Accepted);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    const Fields f = fields(wizard);
    EXPECT_TRUE(f.password->text().isEmpty());
    EXPECT_TRUE(f.confirm->text().isEmpty());
    std::optional<SecureBuffer> key = wizard.takePasswordKey();
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(key->size(), 32U);
    EXPECT_FALSE(wizard.takePasswordKey().has_value());

    ASSERT_TRUE(auth->identityExists());
    dorvex::core::LoginFailureReason reason = dorvex::core::LoginFailureReason::WrongPassword;
    std::optional<SecureBuffer> again = auth->login(kPassword.toStdString(), true, QString(), nullptr, &reason);
    ASSERT_TRUE(again.has_value());
    EXPECT_TRUE(sameBytes(*key, *again));
    EXPECT_EQ(auth->username(), QStringLiteral("alice"));
}

TEST_F(FirstRunWizardTest, ExplainsWhenAnAccountAlreadyExists)
{
    (void)createAccount();
    const QByteArray before = [this] {
        QFile f(dataDir + QStringLiteral("/identity.dat"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    FirstRunWizard wizard(*auth);
    wizard.show();
    fill(wizard, QStringLiteral("bob"), kPassword, kPassword);
    QTest::mouseClick(child<QPushButton>(&wizard, "firstRunCreateButton"), Qt::LeftButton);
    EXPECT_EQ(child<QLabel>(&wizard, "firstRunErrorLabel")->text(),
              QStringLiteral("Could not create the account. An identity already exists."));
    EXPECT_TRUE(wizard.isVisible());
    QFile after(dataDir + QStringLiteral("/identity.dat"));
    ASSERT_TRUE(after.open(QIODevice::ReadOnly));
    EXPECT_EQ(after.readAll(), before);
}

TEST_F(FirstRunWizardTest, EscapeScrubsThePasswordFieldsButKeepsTheUsername)
{
    FirstRunWizard wizard(*auth);
    wizard.show();
    fill(wizard, QStringLiteral("alice"), kPassword, kPassword);
    QTest::keyClick(&wizard, Qt::Key_Escape);
    EXPECT_EQ(wizard.result(), QDialog::Rejected);
    const Fields f = fields(wizard);
    EXPECT_EQ(f.username->text(), QStringLiteral("alice"));
    EXPECT_TRUE(f.password->text().isEmpty());
    EXPECT_TRUE(f.confirm->text().isEmpty());
    EXPECT_FALSE(auth->identityExists());
}

// ---------------------------------------------------------------------------------------------
class LoginDialogTest : public DialogTest {
public:
    static void attempt(LoginDialog& dialog, const QString& password)
    {
        auto* edit = child<QLineEdit>(&dialog, "loginPasswordEdit");
        edit->setText(password);
        QTest::keyClick(edit, Qt::Key_Return);
    }
    void wrongAttempts(int count)
    {
        for (int i = 0; i < count; ++i)
            (void)auth->login("Wrong-Password-1!", true, QString(), nullptr, nullptr);
    }
};

TEST_F(LoginDialogTest, EachFailureReasonShowsItsOwnText)
{
    struct Case {
        const char* name;
        std::function<void(LoginDialogTest&, const QString& identity)> arrange;
        QString vaultId;
        const char* password;
        QString text;
    };
    const Case cases[] = {
        {"wrong password", [](LoginDialogTest&, const QString&) {}, QString(), "Wrong-Password-1!",
         QStringLiteral("Incorrect password.")},
        {"locked out", [](LoginDialogTest& t, const QString&) { t.wrongAttempts(6); }, QString(), "Correct-Horse-42!",
         QStringLiteral("Too many attempts. Please wait before trying again.")},
        {"unreadable",
         [](LoginDialogTest&, const QString& identity) {
             // A link to nothing cannot be opened (a folder there would read as a damaged file).
             ASSERT_TRUE(QFile::remove(identity));
             ASSERT_TRUE(QFile::link(identity + QStringLiteral(".gone"), identity));
         },
         QString(), "Correct-Horse-42!",
         QStringLiteral("Murravo could not read your account file (permission denied or the file is in use). This "
                        "is not a wrong password -- check the file's permissions, or restart Murravo if another "
                        "program may be holding it open.")},
        {"corrupt",
         [](LoginDialogTest&, const QString& identity) {
             QFile f(identity);
             ASSERT_TRUE(f.open(QIODevice::ReadWrite));
             QByteArray bytes = f.readAll();
             bytes[bytes.size() - 3] = static_cast<char>(bytes[bytes.size() - 3] ^ 0x20);
             f.seek(0);
             f.write(bytes);
         },
         QString(), "Correct-Horse-42!",
         QStringLiteral("Murravo's account file appears to be corrupted or tampered with, and cannot be verified. "
                        "This is not a wrong password. If you have a backup of your account file, restore it; "
                        "otherwise please contact support.")},
        {"other vault", [](LoginDialogTest&, const QString&) {}, QUuid::createUuid().toString(QUuid::WithoutBraces),
         "Correct-Horse-42!",
         QStringLiteral("Your password was correct, but Murravo could not unlock the vault key on file. This "
                        "usually means the account file doesn't match this vault. Please contact support.")},
        {"attempt not recorded",
         [](LoginDialogTest&, const QString&) {
             // The data folder takes no new file (a folder in place of the record would read as tampering).
             dorvex::core::AtomicFile::setStepHook([](dorvex::core::AtomicFile::Step step, const QString&, int) {
                 return step != dorvex::core::AtomicFile::Step::Create;
             });
         },
         QString(), "Wrong-Password-1!",
         QStringLiteral("Incorrect password. Murravo also could not save this attempt to its data folder -- its "
                        "protection against repeated guessing may not be active right now. Check that the data "
                        "folder is writable.")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A fresh account per case: a lockout must not carry over into the next one.
        dataDir = dorvex::test::makeScratchDir();
        auth = std::make_unique<dorvex::core::AuthManager>(dataDir + QStringLiteral("/identity.dat"));
        (void)createAccount();
        c.arrange(*this, auth->identityFilePath());

        LoginDialog dialog(*auth, false, c.vaultId);
        dialog.show();
        attempt(dialog, QString::fromLatin1(c.password));
        auto* error = child<QLabel>(&dialog, "loginErrorLabel");
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_TRUE(error->isVisible());
        EXPECT_EQ(error->text(), c.text);
        EXPECT_FALSE(child<QPushButton>(&dialog, "restoreRecoveryCodeButton")->isVisible());
        EXPECT_TRUE(child<QLineEdit>(&dialog, "loginPasswordEdit")->text().isEmpty());
        EXPECT_FALSE(dialog.hasPasswordKey());
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        dorvex::core::AtomicFile::setStepHook({});
    }
}

TEST_F(LoginDialogTest, RightPasswordYieldsThePasswordKeyAndTheCorrectedVaultId)
{
    const SecureBuffer key = createAccount();
    const QString vaultId = QStringLiteral("0f8e2b64-5a1c-4d3e-9b7a-123456789abc");
    ASSERT_TRUE(auth->bindVaultKeyToVaultIdentity(key, vaultId));
    QString damaged = vaultId;
    damaged[0] = QLatin1Char('1');

    LoginDialog dialog(*auth, false, damaged);
    dialog.show();
    attempt(dialog, kPassword);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.correctedVaultId(), vaultId);
    std::optional<SecureBuffer> got = dialog.takePasswordKey();
    ASSERT_TRUE(got.has_value());
    EXPECT_TRUE(sameBytes(*got, key));
}

TEST_F(LoginDialogTest, ReturnInThePasswordFieldMakesExactlyOneAttempt)
{
    (void)createAccount();
    LoginDialog dialog(*auth, false, QString());
    dialog.show();
    // Five attempts are free; a doubled attempt per Return would start the cooldown early.
    for (int i = 0; i < 5; ++i)
        attempt(dialog, QStringLiteral("Wrong-Password-1!"));
    EXPECT_EQ(auth->secondsUntilNextLoginAttemptAllowed(), 0);
    attempt(dialog, QStringLiteral("Wrong-Password-1!"));
    EXPECT_GT(auth->secondsUntilNextLoginAttemptAllowed(), 0);
}

TEST_F(LoginDialogTest, WithTwoFactorTheLockoutIsNotResetByThePasswordAlone)
{
    (void)createAccount();
    for (const bool twoFactorEnabled : {false, true}) {
        SCOPED_TRACE(twoFactorEnabled);
        wrongAttempts(5);
        LoginDialog dialog(*auth, twoFactorEnabled, QString());
        dialog.show();
        attempt(dialog, kPassword);
        ASSERT_EQ(dialog.result(), QDialog::Accepted);
        wrongAttempts(1);
        EXPECT_EQ(auth->secondsUntilNextLoginAttemptAllowed() > 0, twoFactorEnabled);
        g_nowMs += 120'000;  // let any cooldown pass
        auth->recordTwoFactorSuccess();
    }
}

// ---------------------------------------------------------------------------------------------
class TwoFactorPromptTest : public DialogTest {
protected:
    void SetUp() override
    {
        DialogTest::SetUp();
        passwordKey = createAccount();
        secret = SecureBuffer(20);
        for (std::size_t i = 0; i < secret.size(); ++i)
            secret.data()[i] = static_cast<unsigned char>(0x30 + i);
        ASSERT_TRUE(twoFactor->restoreFromSecret(passwordKey, secret));
        ASSERT_TRUE(twoFactor->isEnabled());
    }
    static void enter(TwoFactorPromptDialog& prompt, const QString& code)
    {
        auto* edit = child<QLineEdit>(&prompt, "twoFactorPromptCodeEdit");
        edit->setText(code);
        QTest::keyClick(edit, Qt::Key_Return);
    }
    static QString wrongCode(const QString& right) { return right == QLatin1String("000000") ? "111111" : "000000"; }

    SecureBuffer passwordKey;
    SecureBuffer secret;
};

TEST_F(TwoFactorPromptTest, RightCodeYieldsTheCombinedVaultKey)
{
    TwoFactorPromptDialog prompt(passwordKey, *twoFactor, *auth);
    prompt.show();
    enter(prompt, totpNow(secret));
    ASSERT_EQ(prompt.result(), QDialog::Accepted);
    std::optional<SecureBuffer> vaultKey = prompt.takeVaultKey();
    ASSERT_TRUE(vaultKey.has_value());
    EXPECT_TRUE(sameBytes(*vaultKey, dorvex::core::TwoFactorManager::combineForVaultKey(passwordKey, secret)));
    EXPECT_FALSE(sameBytes(*vaultKey, passwordKey));
}

TEST_F(TwoFactorPromptTest, WrongCodesKeepThePromptOpenAndRunIntoTheLockout)
{
    TwoFactorPromptDialog prompt(passwordKey, *twoFactor, *auth);
    prompt.show();
    auto* error = child<QLabel>(&prompt, "twoFactorPromptErrorLabel");
    auto* edit = child<QLineEdit>(&prompt, "twoFactorPromptCodeEdit");
    auto* verify = child<QPushButton>(&prompt, "twoFactorPromptVerifyButton");
    const QString bad = wrongCode(totpNow(secret));

    for (int i = 0; i < 5; ++i) {
        enter(prompt, bad);
        EXPECT_TRUE(prompt.isVisible());
        EXPECT_NE(prompt.result(), QDialog::Accepted);
        EXPECT_EQ(error->text(), QStringLiteral("Incorrect code."));
        EXPECT_TRUE(edit->text().isEmpty());
        EXPECT_TRUE(verify->isEnabled());
    }
    enter(prompt, bad);
    const int wait = auth->secondsUntilNextLoginAttemptAllowed();
    ASSERT_GT(wait, 0);
    EXPECT_EQ(error->text(), QStringLiteral("Too many attempts. Try again in %1s.").arg(wait));
    EXPECT_FALSE(verify->isEnabled());
    EXPECT_FALSE(edit->isEnabled());

    // An attempt during the cooldown, even with the right code, is refused and not counted.
    edit->setText(totpNow(secret));
    prompt.onVerifyClicked();
    EXPECT_NE(prompt.result(), QDialog::Accepted);
    EXPECT_EQ(auth->secondsUntilNextLoginAttemptAllowed(), wait);
    EXPECT_FALSE(verify->isEnabled());

    // A prompt opened during the cooldown starts locked.
    TwoFactorPromptDialog second(passwordKey, *twoFactor, *auth);
    EXPECT_FALSE(child<QPushButton>(&second, "twoFactorPromptVerifyButton")->isEnabled());
}

TEST_F(TwoFactorPromptTest, CooldownCountsDownWithTheClockAndThenTakesCodesAgain)
{
    TwoFactorPromptDialog prompt(passwordKey, *twoFactor, *auth);
    const QString cooldownPrefix = QStringLiteral("Too many attempts.");
    auto drive = [&] {
        auto* error = child<QLabel>(&prompt, "twoFactorPromptErrorLabel");
        auto* edit = child<QLineEdit>(&prompt, "twoFactorPromptCodeEdit");
        auto* verify = child<QPushButton>(&prompt, "twoFactorPromptVerifyButton");
        const QString bad = wrongCode(totpNow(secret));
        for (int i = 0; i < 6; ++i)
            enter(prompt, bad);
        ASSERT_EQ(auth->secondsUntilNextLoginAttemptAllowed(), 2);
        ASSERT_EQ(error->text(), QStringLiteral("Too many attempts. Try again in 2s."));
        ASSERT_FALSE(verify->isEnabled());

        // Nothing but the clock moves: the open prompt follows it down...
        g_nowMs += 1000;
        const QString oneSecondLeft = QStringLiteral("Too many attempts. Try again in 1s.");
        ASSERT_TRUE(QTest::qWaitFor([&] { return error->text() == oneSecondLeft; })) << error->text().toStdString();
        EXPECT_FALSE(verify->isEnabled());
        EXPECT_FALSE(edit->isEnabled());

        // ...and takes codes again once the wait is over, without a stale wait on show.
        g_nowMs += 1000;
        ASSERT_TRUE(QTest::qWaitFor([&] { return verify->isEnabled() && edit->isEnabled(); }));
        EXPECT_FALSE(error->isVisible() && error->text().startsWith(cooldownPrefix)) << error->text().toStdString();
        enter(prompt, totpNow(secret));
    };
    QTimer::singleShot(0, &prompt, [&] {
        drive();
        if (prompt.isVisible())
            prompt.reject();  // a failed step must not leave exec() waiting
    });
    EXPECT_EQ(prompt.exec(), QDialog::Accepted);
    EXPECT_TRUE(prompt.hasVaultKey());
}

TEST_F(TwoFactorPromptTest, AcceptedCodeResetsTheSharedLockout)
{
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(auth->recordTwoFactorFailure());
    {
        TwoFactorPromptDialog prompt(passwordKey, *twoFactor, *auth);
        prompt.show();
        enter(prompt, totpNow(secret));
        ASSERT_EQ(prompt.result(), QDialog::Accepted);
    }
    ASSERT_TRUE(auth->recordTwoFactorFailure());
    EXPECT_EQ(auth->secondsUntilNextLoginAttemptAllowed(), 0);
}

// ---------------------------------------------------------------------------------------------
class IdleLockWarningTest : public DialogTest {
protected:
    void SetUp() override
    {
        DialogTest::SetUp();
        passwordKey = createAccount();
        IdleLockWarningDialog::tickIntervalMs = 20;
    }
    void TearDown() override
    {
        IdleLockWarningDialog::tickIntervalMs = 1000;
        DialogTest::TearDown();
    }
    static QString countdownText(int seconds)
    {
        return QStringLiteral("Signing out in %1 second(s) unless you confirm your password.").arg(seconds);
    }
    static void signInWith(const QString& password)
    {
        dorvex::test::whenShown<LoginDialog>([password](LoginDialog* login) {
            auto* edit = login->findChild<QLineEdit*>(QStringLiteral("loginPasswordEdit"));
            edit->setText(password);
            QTest::keyClick(edit, Qt::Key_Return);
        });
    }

    SecureBuffer passwordKey;
};

TEST_F(IdleLockWarningTest, CountsDownFromTheGivenSecondsThenRejectsItself)
{
    IdleLockWarningDialog::tickIntervalMs = 60'000;  // ticks driven by hand below
    IdleLockWarningDialog dialog(3, *auth, *twoFactor, QString());
    dialog.show();
    auto* label = child<QLabel>(&dialog, "idleLockCountdownLabel");
    EXPECT_EQ(label->text(), countdownText(3));
    dialog.onTick();
    EXPECT_EQ(label->text(), countdownText(2));
    dialog.onTick();
    EXPECT_EQ(label->text(), countdownText(1));
    EXPECT_TRUE(dialog.isVisible());
    dialog.onTick();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
}

TEST_F(IdleLockWarningTest, UnansweredWarningTimesOutOnItsTimer)
{
    IdleLockWarningDialog dialog(3, *auth, *twoFactor, QString());
    EXPECT_EQ(dialog.exec(), QDialog::Rejected);
}

TEST_F(IdleLockWarningTest, SigningInAgainKeepsTheSession)
{
    IdleLockWarningDialog::tickIntervalMs = 60'000;
    IdleLockWarningDialog dialog(30, *auth, *twoFactor, QString());
    signInWith(kPassword);
    QTimer::singleShot(0, &dialog, [&dialog] {
        QTest::mouseClick(dialog.findChild<QPushButton*>(QStringLiteral("idleLockStillHereButton")), Qt::LeftButton);
    });
    EXPECT_EQ(dialog.exec(), QDialog::Accepted);
}

TEST_F(IdleLockWarningTest, CancellingTheLoginLeavesTheCountdownRunning)
{
    IdleLockWarningDialog::tickIntervalMs = 60'000;
    IdleLockWarningDialog dialog(30, *auth, *twoFactor, QString());
    dialog.show();
    dorvex::test::whenShown<LoginDialog>([](LoginDialog* login) { login->reject(); });
    dialog.onStillHereClicked();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_NE(dialog.result(), QDialog::Accepted);
    dialog.onTick();
    EXPECT_EQ(child<QLabel>(&dialog, "idleLockCountdownLabel")->text(), countdownText(29));
}

TEST_F(IdleLockWarningTest, WithTwoFactorBothStepsAreNeeded)
{
    SecureBuffer secret(20);
    for (std::size_t i = 0; i < secret.size(); ++i)
        secret.data()[i] = static_cast<unsigned char>(0x41 + i);
    ASSERT_TRUE(twoFactor->restoreFromSecret(passwordKey, secret));
    IdleLockWarningDialog::tickIntervalMs = 60'000;

    // Password right, prompt cancelled: still counting.
    {
        IdleLockWarningDialog dialog(30, *auth, *twoFactor, QString());
        dialog.show();
        signInWith(kPassword);
        dorvex::test::whenShown<TwoFactorPromptDialog>([](TwoFactorPromptDialog* p) { p->reject(); });
        dialog.onStillHereClicked();
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_NE(dialog.result(), QDialog::Accepted);
    }
    // Password and code: kept.
    {
        IdleLockWarningDialog dialog(30, *auth, *twoFactor, QString());
        dialog.show();
        signInWith(kPassword);
        const QString code = totpNow(secret);
        dorvex::test::whenShown<TwoFactorPromptDialog>([code](TwoFactorPromptDialog* p) {
            auto* edit = p->findChild<QLineEdit*>(QStringLiteral("twoFactorPromptCodeEdit"));
            edit->setText(code);
            QTest::keyClick(edit, Qt::Key_Return);
        });
        dialog.onStillHereClicked();
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
    }
}

TEST_F(IdleLockWarningTest, TimeRunningOutDuringTheLoginStillLetsTheUserIn)
{
    IdleLockWarningDialog dialog(1, *auth, *twoFactor, QString());
    dorvex::test::whenShown<LoginDialog>([](LoginDialog* login) {
        // Let the warning run out underneath, then sign in.
        QTimer::singleShot(IdleLockWarningDialog::tickIntervalMs * 4, login, [login] {
            auto* edit = login->findChild<QLineEdit*>(QStringLiteral("loginPasswordEdit"));
            edit->setText(kPassword);
            QTest::keyClick(edit, Qt::Key_Return);
        });
    });
    QTimer::singleShot(0, &dialog, [&dialog] { dialog.onStillHereClicked(); });
    EXPECT_EQ(dialog.exec(), QDialog::Accepted);
}

}  // namespace
