// Every text names the facilities of the system it runs on: the words of this platform's wording
// table, never another system's.
#include "DialogFixture.h"

#include "app/PlatformWording.h"
#include "ui/AboutDialog.h"
#include "ui/FirstRunWizard.h"
#include "ui/HelpDialog.h"
#include "ui/IdleLockWarningDialog.h"
#include "ui/LoginDialog.h"
#include "ui/RecoveryCodeDialog.h"
#include "ui/TwoFactorPromptDialog.h"

#include <QAbstractButton>
#include <QFile>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTest>

#include <functional>
#include <memory>

using namespace dialogs_test;
using dorvex::app::platformWording;
using dorvex::app::Wording;

namespace {

using PlatformTextsTest = DialogTest;

// Names of facilities that only other systems have.
const QRegularExpression kOtherSystem(
    QStringLiteral("\\b(Windows|macOS|Mac|Keychain|Finder|iCloud|TPM|PC)\\b"));

QStringList visibleTexts(QWidget* root)
{
    QStringList texts{root->windowTitle()};
    for (const QLabel* label : root->findChildren<QLabel*>())
        texts << label->text() << label->toolTip();
    for (const QAbstractButton* button : root->findChildren<QAbstractButton*>())
        texts << button->text() << button->toolTip();
    for (const QLineEdit* edit : root->findChildren<QLineEdit*>())
        texts << edit->placeholderText();
    for (const QTabWidget* tabs : root->findChildren<QTabWidget*>()) {
        for (int i = 0; i < tabs->count(); ++i)
            texts << tabs->tabText(i);
    }
    texts.removeAll(QString());
    return texts;
}

void expectNoOtherSystem(const QStringList& texts)
{
    for (const QString& text : texts)
        EXPECT_FALSE(kOtherSystem.match(text).hasMatch()) << text.toStdString();
}

TEST_F(PlatformTextsTest, NoDialogNamesAnotherSystem)
{
    const dorvex::crypto::SecureBuffer passwordKey = createAccount();
    const struct {
        const char* name;
        std::function<std::unique_ptr<QWidget>()> make;
    } dialogs[] = {
        {"first-run wizard", [this] { return std::make_unique<FirstRunWizard>(*auth); }},
        {"login", [this] { return std::make_unique<LoginDialog>(*auth, false, QString()); }},
        {"two-factor prompt",
         [&] { return std::make_unique<TwoFactorPromptDialog>(passwordKey, *twoFactor, *auth); }},
        {"idle warning", [this] { return std::make_unique<IdleLockWarningDialog>(30, *auth, *twoFactor, QString()); }},
        {"help", [this] { return std::make_unique<HelpDialog>(*auth); }},
        {"about", [] { return std::make_unique<AboutDialog>(); }},
        {"recovery code", [] { return std::make_unique<RecoveryCodeDialog>(QStringLiteral("MRV1-ABCD-EFGH")); }},
    };
    for (const auto& d : dialogs) {
        SCOPED_TRACE(d.name);
        const std::unique_ptr<QWidget> dialog = d.make();
        const QStringList texts = visibleTexts(dialog.get());
        EXPECT_FALSE(texts.isEmpty());
        expectNoOtherSystem(texts);
    }
}

TEST_F(PlatformTextsTest, TheWordingTableNamesNoOtherSystem)
{
    for (std::size_t i = 0; i < dorvex::app::detail::kPlatformWordingCount; ++i) {
        const QString text = platformWording(dorvex::app::detail::kPlatformWordings[i].wording);
        EXPECT_FALSE(text.isEmpty()) << i;
        expectNoOtherSystem({text});
    }
}

TEST_F(PlatformTextsTest, TheMachineBindingWarningsComeFromTheWordingTable)
{
    const struct {
        const char* name;
        std::function<std::unique_ptr<QWidget>()> make;
        Wording wording;
    } cases[] = {
        {"first-run wizard", [this] { return std::make_unique<FirstRunWizard>(*auth); },
         Wording::FirstRunMachineBoundWarning},
        {"help", [this] { return std::make_unique<HelpDialog>(*auth); }, Wording::HelpMachineBound},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString expected = platformWording(c.wording);
        EXPECT_TRUE(expected.contains(QLatin1String("Reinstalling the operating system"))) << expected.toStdString();
        const std::unique_ptr<QWidget> dialog = c.make();
        EXPECT_TRUE(visibleTexts(dialog.get()).contains(expected));
    }
}

TEST_F(PlatformTextsTest, FirstRunWithoutAUsableKeySaysSoInThisSystemsWords)
{
    // The data folder's place is taken by a file, so no key can be kept for the new account.
    QFile blocker(dataDir + QStringLiteral("/blocker"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    auth = std::make_unique<dorvex::core::AuthManager>(dataDir + QStringLiteral("/blocker/identity.dat"));
    FirstRunWizard wizard(*auth);
    wizard.show();
    const QList<QLineEdit*> edits = wizard.findChildren<QLineEdit*>();
    ASSERT_EQ(edits.size(), 3);
    edits[0]->setText(QStringLiteral("alice"));
    edits[1]->setText(kPassword);
    edits[2]->setText(kPassword);
    QTest::mouseClick(child<QPushButton>(&wizard, "firstRunCreateButton"), Qt::LeftButton);
    EXPECT_EQ(child<QLabel>(&wizard, "firstRunErrorLabel")->text(),
              platformWording(Wording::FirstRunSecureKeyUnavailable));
}

}  // namespace
