// Every text a sign-in dialog can put in its status label is readable in full: the label has
// the height its wrapped text needs and the dialog has grown to hold it.
#include "core/AtomicFile.h"
#include "DialogFixture.h"

#include "account/AccountFixture.h"
#include "AddressSpaceLimit.h"

#include "app/Theme.h"
#include "core/LocalIntegrityKey.h"
#include "core/MemorySecretStore.h"
#include "ui/FirstRunWizard.h"
#include "ui/LoginDialog.h"
#include "ui/TwoFactorPromptDialog.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLayout>
#include <QSet>
#include <QTest>
#include <QUuid>

#include <functional>
#include <optional>
#include <ostream>

using namespace dialogs_test;
using dorvex::core::LocalIntegrityKey;
using dorvex::crypto::SecureBuffer;

namespace {

// The whole text has room: the label is as tall as its text at its width, it lies inside the
// dialog, and the dialog is no smaller than its layout asks for (so nothing else is squeezed).
::testing::AssertionResult fitsInItsDialog(const QLabel* label)
{
    const QWidget* dialog = label->window();
    if (!label->isVisible())
        return ::testing::AssertionFailure() << "the label is hidden";
    const int needed = label->heightForWidth(label->width());
    if (needed > label->height())
        return ::testing::AssertionFailure() << "the text needs " << needed << " px at width " << label->width()
                                             << ", the label has " << label->height() << " px";
    if (!dialog->rect().contains(label->geometry()))
        return ::testing::AssertionFailure() << "the label reaches outside the dialog";
    // What the layout asks for, with the height its wrapped labels need at the dialog's width.
    const QLayout* layout = dialog->layout();
    const QSize wanted(dialog->sizeHint().width(), layout->totalHeightForWidth(dialog->width()));
    if (dialog->width() < wanted.width() || dialog->height() < wanted.height())
        return ::testing::AssertionFailure() << "the dialog is " << dialog->width() << "x" << dialog->height()
                                             << ", its layout asks for " << wanted.width() << "x" << wanted.height();
    return ::testing::AssertionSuccess();
}

// Layout requests and window resizes are delivered as events; give them the chance to land.
void expectFits(const QLabel* label)
{
    (void)QTest::qWaitFor([label] { return static_cast<bool>(fitsInItsDialog(label)); }, 1000);
    EXPECT_TRUE(fitsInItsDialog(label)) << label->text().toStdString();
}

// Argon2id asks for more memory than the process may still take, as on a machine short of it.
class ArgonMemoryOutOfReach {
public:
    [[nodiscard]] bool active() const { return limit_.active(); }

private:
    static constexpr std::size_t kMiB = 1024 * 1024;
    dorvex::test::ArgonCost cost_{1, 256 * kMiB};
    dorvex::test::AddressSpaceLimit limit_{64 * kMiB};
};

enum class Look { Plain, Themed };
void PrintTo(Look look, std::ostream* out) { *out << (look == Look::Plain ? "default style" : "app theme"); }

class SignInTextFitTest : public DialogTest, public ::testing::WithParamInterface<Look> {
protected:
    void SetUp() override
    {
        // A keychain in memory, so that one case can lose the device's root.
        LocalIntegrityKey::setSecretStore(&keychain);
        DialogTest::SetUp();
        if (GetParam() == Look::Themed) {
            dorvex::app::ensureResources();
            dorvex::app::applyTheme(*qApp);
        }
    }
    void TearDown() override
    {
        dorvex::core::AtomicFile::setStepHook({});
        qApp->setStyleSheet(QString());
        DialogTest::TearDown();
        LocalIntegrityKey::setSecretStore(nullptr);
    }

    // A new data folder, so that nothing (a lockout above all) carries over between cases.
    void freshDataFolder()
    {
        dataDir = dorvex::test::makeScratchDir();
        auth = std::make_unique<dorvex::core::AuthManager>(dataDir + QStringLiteral("/identity.dat"));
        twoFactor = std::make_unique<dorvex::core::TwoFactorManager>(dataDir + QStringLiteral("/twofactor.dat"));
    }
    void loseDeviceRoot()
    {
        keychain.items.clear();
        LocalIntegrityKey::clearCache();
    }

    dorvex::test::MemorySecretStore keychain;
};

TEST_P(SignInTextFitTest, LoginDialogHoldsTheTextOfEveryFailureReason)
{
    struct Case {
        const char* reason;
        std::function<void()> arrange;
        const char* password;
        QString vaultId;
        bool withoutArgonMemory = false;
    };
    const char* const wrong = "Wrong-Password-1!";
    const char* const right = "Correct-Horse-42!";
    const Case cases[] = {
        {"WrongPassword", [] {}, wrong, QString()},
        {"LockedOut",
         [this] {
             for (int i = 0; i < 6; ++i)
                 (void)auth->login("Wrong-Password-1!", true, QString(), nullptr, nullptr);
         },
         right, QString()},
        {"IdentityUnreadable",
         [this] {
             // A link to nothing cannot be opened (a folder there would read as a damaged file).
             ASSERT_TRUE(QFile::remove(auth->identityFilePath()));
             ASSERT_TRUE(QFile::link(auth->identityFilePath() + QStringLiteral(".gone"), auth->identityFilePath()));
         },
         right, QString()},
        {"IdentityCorrupt",
         [this] {
             QFile f(auth->identityFilePath());
             ASSERT_TRUE(f.open(QIODevice::ReadWrite));
             QByteArray bytes = f.readAll();
             bytes[bytes.size() - 3] = static_cast<char>(bytes[bytes.size() - 3] ^ 0x20);
             ASSERT_TRUE(f.seek(0));
             ASSERT_EQ(f.write(bytes), bytes.size());
         },
         right, QString()},
        {"IntegrityKeyUnavailable", [this] { loseDeviceRoot(); }, right, QString()},
        {"VaultKeyMismatch", [] {}, right, QUuid::createUuid().toString(QUuid::WithoutBraces)},
        {"WrongPasswordNotRecorded",
         // The data folder takes no new file: the attempt cannot be recorded.
         [] {
             dorvex::core::AtomicFile::setStepHook([](dorvex::core::AtomicFile::Step step, const QString&, int) {
                 return step != dorvex::core::AtomicFile::Step::Create;
             });
         },
         wrong,
         QString()},
        {"OutOfMemory", [] {}, right, QString(), true},
    };
    QSet<QString> texts;
    qsizetype reached = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        if (c.withoutArgonMemory && !dorvex::test::kAddressSpaceCanBeLimited)
            continue;
        freshDataFolder();
        (void)createAccount();
        c.arrange();

        LoginDialog dialog(*auth, false, c.vaultId);
        dialog.show();
        auto* edit = child<QLineEdit>(&dialog, "loginPasswordEdit");
        edit->setText(QString::fromLatin1(c.password));
        {
            std::optional<ArgonMemoryOutOfReach> noMemory;
            if (c.withoutArgonMemory) {
                noMemory.emplace();
                ASSERT_TRUE(noMemory->active());
            }
            QTest::keyClick(edit, Qt::Key_Return);
        }
        auto* error = child<QLabel>(&dialog, "loginErrorLabel");
        texts.insert(error->text());
        ++reached;
        expectFits(error);
        dorvex::core::AtomicFile::setStepHook({});
    }
    // Each case reached a reason of its own.
    EXPECT_EQ(texts.size(), reached);
}

TEST_P(SignInTextFitTest, FirstRunWizardHoldsEveryErrorText)
{
    struct Case {
        const char* name;
        std::function<void()> arrange;
        const char* user;
        const char* password;
        const char* confirm;
        bool withoutArgonMemory = false;
    };
    const Case cases[] = {
        {"no username", [] {}, " ", "Correct-Horse-42!", "Correct-Horse-42!"},
        {"weak password", [] {}, "alice", "Short-1!", "Short-1!"},
        {"different confirmation", [] {}, "alice", "Correct-Horse-42!", "Correct-Horse-42?"},
        {"account exists", [this] { (void)createAccount(); }, "bob", "Correct-Horse-42!",
         "Correct-Horse-42!"},
        {"account cannot be written",
         [this] {
             // The data folder's place is taken by a file, so nothing can be written there.
             QFile blocker(dataDir + QStringLiteral("/blocker"));
             ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
             auth = std::make_unique<dorvex::core::AuthManager>(dataDir + QStringLiteral("/blocker/identity.dat"));
         },
         "alice", "Correct-Horse-42!", "Correct-Horse-42!"},
        {"out of memory", [] {}, "alice", "Correct-Horse-42!", "Correct-Horse-42!", true},
    };
    QSet<QString> texts;
    qsizetype reached = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.withoutArgonMemory && !dorvex::test::kAddressSpaceCanBeLimited)
            continue;
        freshDataFolder();
        c.arrange();

        FirstRunWizard wizard(*auth);
        wizard.show();
        const QList<QLineEdit*> edits = wizard.findChildren<QLineEdit*>();
        ASSERT_EQ(edits.size(), 3);
        edits[0]->setText(QString::fromLatin1(c.user));
        edits[1]->setText(QString::fromLatin1(c.password));
        edits[2]->setText(QString::fromLatin1(c.confirm));
        {
            std::optional<ArgonMemoryOutOfReach> noMemory;
            if (c.withoutArgonMemory) {
                noMemory.emplace();
                ASSERT_TRUE(noMemory->active());
            }
            QTest::mouseClick(child<QPushButton>(&wizard, "firstRunCreateButton"), Qt::LeftButton);
        }
        auto* error = child<QLabel>(&wizard, "firstRunErrorLabel");
        texts.insert(error->text());
        ++reached;
        expectFits(error);
    }
    EXPECT_EQ(texts.size(), reached);
}

TEST_P(SignInTextFitTest, TwoFactorPromptHoldsEveryErrorText)
{
    struct Case {
        const char* name;
        bool readOnlyFolder;  // the attempt cannot be recorded, while the lockout still reads
        int wrongCodes;
    };
    const Case cases[] = {
        {"wrong code", false, 1},
        {"wrong code not recorded", true, 1},
        {"cooldown", false, 6},
    };
    {
        dorvex::test::ReadOnlyFolder probe(dorvex::test::makeScratchDir());
        if (!probe.active())
            GTEST_SKIP() << "cannot make a folder read-only here";
    }
    QSet<QString> texts;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        freshDataFolder();
        const SecureBuffer passwordKey = createAccount();
        SecureBuffer secret(20);
        for (std::size_t i = 0; i < secret.size(); ++i)
            secret.data()[i] = static_cast<unsigned char>(0x30 + i);
        ASSERT_TRUE(twoFactor->restoreFromSecret(passwordKey, secret));
        std::optional<dorvex::test::ReadOnlyFolder> readOnly;
        if (c.readOnlyFolder)
            readOnly.emplace(dataDir);

        TwoFactorPromptDialog prompt(passwordKey, *twoFactor, *auth);
        prompt.show();
        auto* edit = child<QLineEdit>(&prompt, "twoFactorPromptCodeEdit");
        for (int i = 0; i < c.wrongCodes; ++i) {
            // No code of the six-digit space is guessed here: letters never match.
            edit->setText(QStringLiteral("abcdef"));
            QTest::keyClick(edit, Qt::Key_Return);
        }
        auto* error = child<QLabel>(&prompt, "twoFactorPromptErrorLabel");
        texts.insert(error->text());
        expectFits(error);
    }
    EXPECT_EQ(texts.size(), static_cast<qsizetype>(std::size(cases)));
}

// A prompt opened during a cooldown shows the wait from the start.
TEST_P(SignInTextFitTest, TwoFactorPromptOpenedDuringACooldownHoldsItsText)
{
    const SecureBuffer passwordKey = createAccount();
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(auth->recordTwoFactorFailure());
    TwoFactorPromptDialog prompt(passwordKey, *twoFactor, *auth);
    prompt.show();
    auto* error = child<QLabel>(&prompt, "twoFactorPromptErrorLabel");
    EXPECT_TRUE(error->text().startsWith(QStringLiteral("Too many attempts.")));
    expectFits(error);
}

INSTANTIATE_TEST_SUITE_P(Looks, SignInTextFitTest, ::testing::Values(Look::Plain, Look::Themed),
                         [](const ::testing::TestParamInfo<Look>& info) {
                             return info.param == Look::Plain ? "DefaultStyle" : "AppTheme";
                         });

}  // namespace
