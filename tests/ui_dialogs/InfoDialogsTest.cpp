// About, help and recovery-code dialogs.
#include "DialogFixture.h"

#include "app/PlatformWording.h"
#include "core/LocalIntegrityKey.h"
#include "ui/AboutDialog.h"
#include "ui/HelpDialog.h"
#include "ui/RecoveryCodeDialog.h"

#include <QDialogButtonBox>
#include <QTabWidget>
#include <QTest>

using namespace dialogs_test;

namespace {

using InfoDialogTest = DialogTest;

const QString kFallbackStatus = QStringLiteral(
    "This device's secure credential store was not available, so Murravo is protecting your local account files "
    "with a permissions-restricted file instead. This is a real, working protection -- just weaker: unlike the "
    "credential-store-backed scheme, it can in principle be read by anyone who can already read this account's "
    "files.");

TEST_F(InfoDialogTest, AboutShowsNameAndVersionAndCloses)
{
    AboutDialog about;
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About Murravo"));
    QStringList texts;
    for (QLabel* label : about.findChildren<QLabel*>())
        texts << label->text();
    EXPECT_TRUE(texts.contains(QStringLiteral("Version 4.0.1")));
    EXPECT_TRUE(texts.contains(QStringLiteral("Classified Documents Protection.")));
    EXPECT_TRUE(texts.contains(QStringLiteral("Built with Qt6 and libsodium.")));
    QTimer::singleShot(0, &about, [&about] {
        QTest::mouseClick(about.findChild<QPushButton*>(QStringLiteral("aboutCloseButton")), Qt::LeftButton);
    });
    EXPECT_EQ(about.exec(), QDialog::Accepted);
}

TEST_F(InfoDialogTest, HelpHasItsThreeTabsAndCloses)
{
    HelpDialog help(*auth);
    EXPECT_EQ(help.windowTitle(), QStringLiteral("Murravo - Help"));
    auto* tabs = child<QTabWidget>(&help, "helpTabs");
    ASSERT_EQ(tabs->count(), 3);
    EXPECT_EQ(tabs->tabText(0), QStringLiteral("Manual"));
    EXPECT_EQ(tabs->tabText(1), QStringLiteral("Warnings"));
    EXPECT_EQ(tabs->tabText(2), QStringLiteral("Local Security"));
    int headings = 0;
    for (QLabel* label : tabs->findChildren<QLabel*>())
        headings += label->property("role").toString() == QLatin1String("heading") ? 1 : 0;
    EXPECT_EQ(headings, 5 + 6 + 2);
    QTimer::singleShot(0, &help, [&help] {
        QTest::mouseClick(help.findChild<QPushButton*>(QStringLiteral("helpCloseButton")), Qt::LeftButton);
    });
    EXPECT_EQ(help.exec(), QDialog::Accepted);
}

TEST_F(InfoDialogTest, HelpStatusFollowsTheIdentityKeyAsItWasWhenBuilt)
{
    {
        // No account yet: nothing protects the (missing) identity file through the store.
        HelpDialog help(*auth);
        EXPECT_EQ(child<QLabel>(&help, "helpTpmStatusLabel")->text(), kFallbackStatus);
    }
    (void)createAccount();
    const bool storeProtected =
        dorvex::core::LocalIntegrityKey::isTpmProtected(auth->identityFilePath() + QStringLiteral(".key"));
    HelpDialog help(*auth);
    const QString expected = storeProtected
                                 ? dorvex::app::platformWording(dorvex::app::Wording::HelpLocalKeyProtected)
                                 : kFallbackStatus;
    EXPECT_EQ(child<QLabel>(&help, "helpTpmStatusLabel")->text(), expected);
    if (storeProtected) {
        EXPECT_TRUE(expected.contains(QLatin1String("Secret Service keyring")));
    }
}

TEST_F(InfoDialogTest, RecoveryCodeIsShownOnceAndWipedFromTheLabel)
{
    const QString code = QStringLiteral("MRV1-ABCD-EFGH-IJKL-MNOP");
    RecoveryCodeDialog dialog(code);
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Recovery Code"));
    QLabel* label = dialog.findChild<QLabel*>();
    ASSERT_NE(label, nullptr);
    EXPECT_TRUE(label->text().contains(QStringLiteral("\n\n") + code + QStringLiteral("\n\n")));
    EXPECT_EQ(label->textInteractionFlags(), Qt::TextSelectableByMouse);
    EXPECT_NE(dialog.findChild<QDialogButtonBox*>(), nullptr);

    dialog.wipeContent();
    EXPECT_TRUE(label->text().isEmpty());
    // The caller's string is untouched; the dialog wiped only its own copy.
    EXPECT_EQ(code, QStringLiteral("MRV1-ABCD-EFGH-IJKL-MNOP"));
}

}  // namespace
