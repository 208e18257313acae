#include "ui/HelpDialog.h"

#include "app/DialogHeader.h"
#include "app/PlatformWording.h"
#include "app/ScreenCapture.h"
#include "core/AuthManager.h"
#include "core/LocalIntegrityKey.h"

#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QTabWidget>
#include <QVBoxLayout>

#include <utility>
#include <vector>

namespace {

using dorvex::app::platformWording;
using dorvex::app::Wording;
using Section = std::pair<QString, QString>;  // heading, paragraph

QLabel* addSection(QVBoxLayout* layout, QWidget* page, const QString& heading, const QString& paragraph)
{
    auto* title = new QLabel(heading, page);
    title->setProperty("role", QStringLiteral("heading"));
    title->setWordWrap(true);
    auto* body = new QLabel(paragraph, page);
    body->setWordWrap(true);
    layout->addWidget(title);
    layout->addWidget(body);
    return body;
}

// A scrolling tab page; `fill` adds the sections to its layout.
template <typename Fill>
QScrollArea* makePage(QWidget* parent, Fill fill)
{
    auto* scroll = new QScrollArea(parent);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setMinimumSize(1, 1);
    auto* page = new QWidget(scroll);
    auto* layout = new QVBoxLayout(page);
    layout->setSpacing(12);
    fill(layout, page);
    layout->addStretch();
    scroll->setWidget(page);
    return scroll;
}

QScrollArea* makeSectionsPage(QWidget* parent, const std::vector<Section>& sections)
{
    return makePage(parent, [&sections](QVBoxLayout* layout, QWidget* page) {
        for (const Section& section : sections)
            addSection(layout, page, section.first, section.second);
    });
}

}  // namespace

HelpDialog::HelpDialog(const dorvex::core::AuthManager& auth, QWidget* parent) : QDialog(parent), auth_(auth)
{
    setWindowTitle(tr("Murravo - Help"));
    setMinimumSize(520, 480);
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(14);
    layout->addWidget(buildDialogHeader(this, QStringLiteral(":/icons/key.svg"), tr("Help"),
                                        tr("How Murravo works, and what to watch out for.")));

    auto* tabs = new QTabWidget(this);
    tabs->setObjectName(QStringLiteral("helpTabs"));

    const std::vector<Section> manual = {
        {tr("Getting started"),
         tr("The first time Murravo runs, it walks you through creating a single local account: a username and a "
            "master password. That password is the only way in -- Murravo never sends it anywhere and cannot "
            "recover it for you if you forget it (see the Warnings tab).")},
        {tr("Your vault"),
         tr("Files you add are encrypted and stored inside your vault. Use the toolbar to add files, open the ones "
            "already there, or remove them. Everything is decrypted only in memory, only while you're signed in -- "
            "closing Murravo or signing out wipes it from memory immediately.")},
        {tr("Configure"), platformWording(Wording::HelpConfigure)},
        {tr("Signing out and auto-lock"),
         tr("File > Sign Out locks the vault immediately. Configure's auto-lock setting does the same thing "
            "automatically after a period of inactivity. Either way, you'll need your password (and your "
            "two-factor code, if enabled) to get back in.")},
        {tr("Deleting your vault"),
         tr("Configure > Storage has a Delete Vault option. This is permanent and also ends your account -- the "
            "next launch starts over from scratch, the same as a brand-new install. There is no way to undo it.")},
    };
    const std::vector<Section> warnings = {
        {tr("No password recovery"),
         tr("Murravo has no \"forgot password\" option, by design. If you lose your master password, the contents "
            "of your vault are permanently unrecoverable -- not by Murravo, not by support, not by anyone. Store it "
            "somewhere safe.")},
        {tr("Your vault is locked to this machine"), platformWording(Wording::HelpMachineBound)},
        {platformWording(Wording::HelpStorePromptsHeading), platformWording(Wording::HelpStorePrompts)},
        {tr("Two-factor authentication backup code"), platformWording(Wording::HelpTwoFactorBackupCode)},
        {tr("\"Hidden\" and \"Restrict delete\" are deterrents, not locks"),
         tr("These options (Configure > Storage) stop casual discovery and deletion by other accounts. They do NOT "
            "stop this same account: Murravo needs permission to maintain \"Restrict delete\" across launches, so "
            "this account can always remove it directly, with no special rights needed. Treat them as a speed "
            "bump, not a guarantee.")},
        {tr("Upgrading from a version before 2.0.13"), platformWording(Wording::HelpUpgradeFromOldVersion)},
    };

    tabs->addTab(makeSectionsPage(tabs, manual), tr("Manual"));
    tabs->addTab(makeSectionsPage(tabs, warnings), tr("Warnings"));

    // Decided once, when the dialog is built.
    const bool protectedByStore = dorvex::core::LocalIntegrityKey::isTpmProtected(auth_.identityFilePath()
                                                                                  + QStringLiteral(".key"));
    const QString status =
        protectedByStore
            ? platformWording(Wording::HelpLocalKeyProtected)
            : tr("This device's secure credential store was not available, so Murravo is protecting your local "
                 "account files with a permissions-restricted file instead. This is a real, working protection -- "
                 "just weaker: unlike the credential-store-backed scheme, it can in principle be read by anyone who "
                 "can already read this account's files.");
    tabs->addTab(makePage(tabs,
                          [&](QVBoxLayout* pageLayout, QWidget* page) {
                              QLabel* statusLabel = addSection(
                                  pageLayout, page, tr("How is this device protecting your account files?"), status);
                              statusLabel->setObjectName(QStringLiteral("helpTpmStatusLabel"));
                              addSection(pageLayout, page, tr("What this does and doesn't cover"),
                                         tr("This is about protecting Murravo's own local configuration files on "
                                            "THIS device -- it has nothing to do with your vault's encryption, "
                                            "which is always strong regardless of what protects these files. It "
                                            "also isn't a defense against another program already running as your "
                                            "same user account while Murravo itself is running."));
                          }),
                 tr("Local Security"));
    layout->addWidget(tabs, 1);

    auto* close = new QPushButton(tr("Close"), this);
    close->setObjectName(QStringLiteral("helpCloseButton"));
    close->setProperty("accent", true);
    layout->addWidget(close);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
}

void HelpDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    dorvex::app::excludeWindowFromScreenCapture(static_cast<unsigned long long>(winId()));
}
