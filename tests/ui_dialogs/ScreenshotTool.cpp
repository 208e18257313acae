// Renders each dialog with sample state into PNG files for the documentation. Not shipped;
// scripts/screenshots.sh runs it under Xvfb on a scratch data folder.
#include "app/Theme.h"
#include "core/AuthManager.h"
#include "core/TwoFactorManager.h"
#include "ui/AboutDialog.h"
#include "ui/FirstRunWizard.h"
#include "ui/HelpDialog.h"
#include "ui/IdleLockWarningDialog.h"
#include "ui/LoginDialog.h"
#include "ui/MainWindow.h"
#include "ui/TwoFactorPromptDialog.h"
#include "ui/VaultBrowserWidget.h"
#include "core/IdleLockSettings.h"
#include "core/LocalIntegrityKey.h"
#include "core/MemorySecretStore.h"
#include "crypto/AeadCipher.h"
#include "vault/FileBlockStore.h"
#include "vault/StorageConfig.h"
#include "vault/VaultContainer.h"
#include "vault/VaultRollbackGuard.h"

#include <QApplication>
#include <QFile>
#include <QTableWidget>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTextStream>

#include <cstdio>
#include <functional>
#include <map>

namespace {

// Saves a shown widget as it stands, at the size it gave itself.
bool grabShown(QWidget& widget, const QString& outDir, const QString& name)
{
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
    const QString path = outDir + QLatin1Char('/') + name + QStringLiteral(".png");
    const bool ok = widget.grab().save(path);
    std::fprintf(ok ? stdout : stderr, "%s %s\n", ok ? "wrote" : "could not write", qPrintable(path));
    return ok;
}

bool save(QWidget& widget, const QString& outDir, const QString& name)
{
    widget.show();
    widget.adjustSize();
    const bool ok = grabShown(widget, outDir, name);
    widget.hide();
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    dorvex::app::applyTheme(app);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR [SHOT...]\n", argv[0]);
        return 2;
    }
    const QString outDir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(outDir);

    // Sample state lives in the (scratch) data location the script points HOME at.
    const QString dataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
                            + QStringLiteral("/screenshots");
    QDir(dataDir).removeRecursively();
    QDir().mkpath(dataDir);
    dorvex::core::AuthManager auth(dataDir + QStringLiteral("/identity.dat"));
    dorvex::core::TwoFactorManager twoFactor(dataDir + QStringLiteral("/twofactor.dat"));
    const dorvex::crypto::SecureBuffer sampleKey = dorvex::crypto::AeadCipher::generateKey();

    std::map<QString, std::function<bool()>> shots = {
        {QStringLiteral("first-run-wizard"),
         [&] {
             FirstRunWizard wizard(auth);
             const QList<QLineEdit*> edits = wizard.findChildren<QLineEdit*>();
             edits.value(0)->setText(QStringLiteral("alice"));
             edits.value(1)->setText(QStringLiteral("short"));
             edits.value(2)->setText(QStringLiteral("short"));
             wizard.onCreateClicked();  // shows the policy message
             return save(wizard, outDir, QStringLiteral("first-run-wizard"));
         }},
        {QStringLiteral("login"),
         [&] {
             LoginDialog login(auth, false, QString());
             return save(login, outDir, QStringLiteral("login"));
         }},
        {QStringLiteral("login-longest-reason"),
         [&] {
             // The longest failure text: the device key of the account file is gone, as after a
             // keyring reset. A keychain in memory loses it, so the session's keyring is left alone.
             dorvex::test::MemorySecretStore keychain;
             dorvex::core::LocalIntegrityKey::setSecretStore(&keychain);
             bool ok = false;
             {
                 const QString password = QStringLiteral("Correct-Horse-42!");
                 dorvex::core::AuthManager lostKey(dataDir + QStringLiteral("/lost-key/identity.dat"));
                 if (lostKey.createIdentity(QStringLiteral("alice"), password.toStdString())) {
                     keychain.items.clear();
                     dorvex::core::LocalIntegrityKey::clearCache();
                     LoginDialog login(lostKey, false, QString());
                     login.show();
                     login.findChild<QLineEdit*>(QStringLiteral("loginPasswordEdit"))->setText(password);
                     login.onLoginClicked();
                     // Not adjusted here: the picture shows the size the dialog grew to by itself.
                     ok = grabShown(login, outDir, QStringLiteral("login-longest-reason"));
                 }
             }
             dorvex::core::LocalIntegrityKey::setSecretStore(nullptr);
             return ok;
         }},
        {QStringLiteral("two-factor-prompt"),
         [&] {
             TwoFactorPromptDialog prompt(sampleKey, twoFactor, auth);
             prompt.findChild<QLineEdit*>(QStringLiteral("twoFactorPromptCodeEdit"))->setText(QStringLiteral("1234"));
             return save(prompt, outDir, QStringLiteral("two-factor-prompt"));
         }},
        {QStringLiteral("idle-warning"),
         [&] {
             IdleLockWarningDialog warning(30, auth, twoFactor, QString());
             return save(warning, outDir, QStringLiteral("idle-warning"));
         }},
        {QStringLiteral("help"),
         [&] {
             HelpDialog help(auth);
             help.resize(560, 520);
             return save(help, outDir, QStringLiteral("help"));
         }},
        {QStringLiteral("about"),
         [&] {
             AboutDialog about;
             return save(about, outDir, QStringLiteral("about"));
         }},
        {QStringLiteral("main-window"),
         [&] {
             const QString vaultPath = dataDir + QStringLiteral("/vault.drvx");
             auto container = dorvex::vault::VaultContainer::create(
                 std::make_unique<dorvex::vault::FileBlockStore>(vaultPath), sampleKey, QStringLiteral("screenshots"));
             if (!container)
                 return false;
             const struct {
                 const char* name;
                 int size;
             } samples[] = {{"passport-scan.png", 1843200}, {"tax-return-2025.pdf", 412877},
                            {"insurance-policy.docx", 96512}, {"budget.xlsx", 38421}, {"wifi-passwords.txt", 612}};
             for (const auto& sample : samples) {
                 const QString source = dataDir + QLatin1Char('/') + QString::fromLatin1(sample.name);
                 QFile file(source);
                 if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(sample.size, 'x')) != sample.size)
                     return false;
                 file.close();
                 if (!container->importFile(source, QString::fromLatin1(sample.name)))
                     return false;
                 QFile::remove(source);
             }
             dorvex::core::IdleLockSettings idleLock(dataDir + QStringLiteral("/idlelock.dat"));
             dorvex::vault::VaultRollbackGuard guard(dataDir + QStringLiteral("/vault_generation.dat"));
             dorvex::vault::StorageConfig storage(dataDir + QStringLiteral("/storage.dat"),
                                                  QStringLiteral("screenshots"), 0);
             MainWindow window(dorvex::crypto::SecureBuffer(sampleKey.data(), sampleKey.size()),
                               QStringLiteral("alice"), QStringLiteral("screenshots"), std::move(container), auth,
                               twoFactor, storage, idleLock, guard);
             if (auto* table = window.findChild<QTableWidget*>(QStringLiteral("vaultTable"))) {
                 table->setColumnWidth(0, 260);
                 table->setColumnWidth(1, 140);
                 table->selectRow(1);
             }
             window.show();
             return grabShown(window, outDir, QStringLiteral("main-window"));
         }},
    };

    QStringList wanted;
    for (int i = 2; i < argc; ++i)
        wanted << QString::fromLocal8Bit(argv[i]);
    if (wanted.isEmpty()) {
        for (const auto& [name, shot] : shots)
            wanted << name;
    }
    int failures = 0;
    for (const QString& name : wanted) {
        const auto it = shots.find(name);
        if (it == shots.end()) {
            std::fprintf(stderr, "unknown shot: %s\n", qPrintable(name));
            ++failures;
            continue;
        }
        failures += it->second() ? 0 : 1;
    }
    return failures == 0 ? 0 : 1;
}
