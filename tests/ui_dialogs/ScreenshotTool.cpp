// Renders each dialog with sample state into PNG files for the documentation. Not shipped;
// scripts/screenshots.sh runs it under Xvfb on a scratch data folder.
#include "app/Theme.h"
#include "core/AuthManager.h"
#include "core/TwoFactorManager.h"
#include "OfficeArchives.h"
#include "SampleFiles.h"
#include "ui/AboutDialog.h"
#include "ui/ConfigureDialog.h"
#include "ui/RecoveryCodeDialog.h"
#include "ui/FileViewerDialog.h"
#include "ui/FirstRunWizard.h"
#include "ui/HelpDialog.h"
#include "ui/ImportSummaryDialog.h"
#include "ui/TransferProgressDialog.h"
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
#include <QBuffer>
#include <QLinearGradient>
#include <QPainter>
#include <QPolygon>
#include <QThread>
#include <QFile>
#include <QTableWidget>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QScrollArea>
#include <QScrollBar>
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
    };


    // The main window with a few entries; `prepare` sets it up before the picture.
    const auto mainWindowShot = [&](const QString& shot, const std::function<void(MainWindow&)>& prepare) {
        shots[shot] = [&, shot, prepare] {
             const QString vaultPath = dataDir + QStringLiteral("/vault.drvx");
             QFile::remove(vaultPath);
             auto container = dorvex::vault::VaultContainer::create(
                 std::make_unique<dorvex::vault::FileBlockStore>(vaultPath), sampleKey, QStringLiteral("screenshots"));
             if (!container)
                 return false;
             const struct {
                 const char* name;
                 int size;
             } samples[] = {{"passport-scan.png", 1843200}, {"tax-return-2025.pdf", 412877},
                            {"insurance-policy.docx", 96512}, {"budget.xlsx", 38421}, {"wifi-passwords.txt", 612},
                            {"Tax receipts 2024.zip", 2281004}};
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
             window.resize(900, 600);
             if (auto* table = window.findChild<QTableWidget*>(QStringLiteral("vaultTable"))) {
                 table->setColumnWidth(0, 260);
                 table->setColumnWidth(1, 140);
             }
             window.show();
             prepare(window);
             return grabShown(window, outDir, shot);
        };
    };
    mainWindowShot(QStringLiteral("main-window"), [](MainWindow& window) {
        window.findChild<QTableWidget*>(QStringLiteral("vaultTable"))->selectRow(1);
    });
    mainWindowShot(QStringLiteral("main-window-filter"), [](MainWindow& window) {
        auto* table = window.findChild<QTableWidget*>(QStringLiteral("vaultTable"));
        window.findChild<QLineEdit*>(QStringLiteral("vaultFilterEdit"))->setText(QStringLiteral("tax"));
        table->sortByColumn(1, Qt::DescendingOrder);
        table->setSortingEnabled(true);
        table->selectRow(0);
    });

    // One progress dialog over a batch of four files, at the second.
    shots[QStringLiteral("import-batch-progress")] = [&] {
        TransferProgressDialog::showDelayMs = 0;
        TransferProgressDialog progress(TransferProgressDialog::Kind::Import, 4 * 104857600, nullptr);
        auto first = progress.startFile(QStringLiteral("scan-01.tiff"), 104857600);
        (void)first(0, 104857600);
        (void)first(104857600, 104857600);
        progress.finishFile();
        auto second = progress.startFile(QStringLiteral("scan-02.tiff"), 104857600);
        (void)second(62914560, 104857600);
        progress.show();
        return grabShown(progress, outDir, QStringLiteral("import-batch-progress"));
    };
    shots[QStringLiteral("import-batch-erase")] = [&] {
        TransferProgressDialog::showDelayMs = 0;
        TransferProgressDialog progress(TransferProgressDialog::Kind::Import, 2 * 104857600, nullptr);
        auto first = progress.startFile(QStringLiteral("scan-01.tiff"), 104857600);
        (void)first(0, 104857600);
        (void)first(104857600, 104857600);
        auto erase = progress.startErase(QStringLiteral("scan-01.tiff"));
        QThread::msleep(20);  // the erase reports at most every 15 ms
        erase(120000000, 3 * 104857600);
        progress.show();
        return grabShown(progress, outDir, QStringLiteral("import-batch-erase"));
    };
    shots[QStringLiteral("import-summary")] = [&] {
        const QString folder = QStringLiteral("/home/alice/Documents");
        const std::vector<ImportOutcome> outcomes = {
            {QStringLiteral("scan-01.tiff"), folder + QStringLiteral("/scan-01.tiff"), ImportOutcome::Kind::Imported,
             QStringLiteral("Imported \"scan-01.tiff\" and securely erased the original."), false},
            {QStringLiteral("scan-02.tiff"), folder + QStringLiteral("/scan-02.tiff"), ImportOutcome::Kind::Imported,
             QStringLiteral("Imported \"scan-02.tiff\" and securely erased the original."), false},
            {QStringLiteral("Receipts"), folder + QStringLiteral("/Receipts"), ImportOutcome::Kind::Skipped,
             QStringLiteral("Could not import \"Receipts\" -- it is a folder, not a file. Import the files inside it "
                            "one at a time. Nothing was changed."),
             true},
            {QStringLiteral("budget.xlsx"), folder + QStringLiteral("/budget.xlsx"), ImportOutcome::Kind::Skipped,
             QStringLiteral("Could not import \"budget.xlsx\" (a file with that name may already be in the vault)."),
             true},
            {QStringLiteral("scan-03.tiff"), folder + QStringLiteral("/scan-03.tiff"), ImportOutcome::Kind::Untouched,
             QStringLiteral("Import of \"scan-03.tiff\" was cancelled. Nothing was changed, and the original is still "
                            "in place."),
             false},
            {QStringLiteral("scan-04.tiff"), folder + QStringLiteral("/scan-04.tiff"), ImportOutcome::Kind::Untouched,
             QStringLiteral("Not imported: the import was cancelled before this file. It is still in place."), false},
        };
        ImportSummaryDialog summary(outcomes);
        summary.resize(720, 420);
        summary.show();
        return grabShown(summary, outDir, QStringLiteral("import-summary"));
    };

    // The configure dialog over a vault of its own, tab by tab.
    const QString configureDir = dataDir + QStringLiteral("/configure");
    QDir().mkpath(configureDir);
    dorvex::core::AuthManager configureAuth(configureDir + QStringLiteral("/identity.dat"));
    dorvex::core::TwoFactorManager configureTwoFactor(configureDir + QStringLiteral("/twofactor.dat"));
    const auto configureShot = [&](const QString& shot, int tab, bool lower,
                                   const std::function<void(ConfigureDialog&)>& prepare) {
        shots[shot] = [&, shot, tab, lower, prepare] {
            // The account's key sidecar tells the local-security section how keys are kept.
            if (!configureAuth.identityExists())
                (void)configureAuth.createIdentity(QStringLiteral("alice"), "Correct-Horse-42!");
            const QString vaultPath = configureDir + QStringLiteral("/vault.drvx");
            QFile::remove(vaultPath);
            auto container = dorvex::vault::VaultContainer::create(
                std::make_unique<dorvex::vault::FileBlockStore>(vaultPath), sampleKey, QStringLiteral("screenshots"));
            if (!container)
                return false;
            for (const auto& [name, size] : {std::pair{"passport-scan.png", 1843200}, std::pair{"budget.xlsx", 38421}}) {
                const QString source = configureDir + QLatin1Char('/') + QString::fromLatin1(name);
                QFile file(source);
                if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(size, 'x')) != size)
                    return false;
                file.close();
                if (!container->importFile(source, QString::fromLatin1(name)))
                    return false;
                QFile::remove(source);
            }
            dorvex::core::IdleLockSettings idleLock(configureDir + QStringLiteral("/idlelock.dat"));
            (void)idleLock.setTimeoutMinutes(15);
            dorvex::vault::VaultRollbackGuard guard(configureDir + QStringLiteral("/vault_generation.dat"));
            dorvex::vault::StorageConfig storage(configureDir + QStringLiteral("/storage.dat"),
                                                 QStringLiteral("screenshots"), 0);
            (void)storage.setMaxVaultSizeBytes(qint64{2048} * 1048576);
            ConfigureDialog dialog(sampleKey, QStringLiteral("alice"), configureAuth, configureTwoFactor, storage,
                                   idleLock, guard, container.get());
            dialog.findChild<QTabWidget*>(QStringLiteral("configureTabs"))->setCurrentIndex(tab);
            dialog.show();
            if (prepare)
                prepare(dialog);
            for (int i = 0; i < 5; ++i)
                QApplication::processEvents();
            if (lower) {
                for (QScrollArea* area : dialog.findChildren<QScrollArea*>())
                    if (area->isVisible())
                        area->verticalScrollBar()->setValue(area->verticalScrollBar()->maximum());
            }
            const bool ok = grabShown(dialog, outDir, shot);
            dialog.reject();
            return ok;
        };
    };
    configureShot(QStringLiteral("configure-general"), 0, false, {});
    configureShot(QStringLiteral("configure-security"), 1, false, {});
    configureShot(QStringLiteral("configure-security-lower"), 1, true, {});
    configureShot(QStringLiteral("configure-two-factor-enrolment"), 1, false, [](ConfigureDialog& dialog) {
        dialog.findChild<QPushButton*>(QStringLiteral("enableTwoFactorButton"))->click();
    });
    configureShot(QStringLiteral("configure-storage"), 2, false, {});
    configureShot(QStringLiteral("configure-storage-lower"), 2, true, {});
    shots[QStringLiteral("recovery-code")] = [&] {
        RecoveryCodeDialog dialog(QStringLiteral("K7QW 2MZD XR4N 6PLA J3VH T5YC 9BEU F2GS QH7M WX3K DN6R ZP===="));
        dialog.resize(520, 10);
        return save(dialog, outDir, QStringLiteral("recovery-code"));
    };

    // The viewer with each kind of file.
    const auto viewerShot = [&](const QString& shot, const QString& name, const std::vector<unsigned char>& bytes) {
        shots[shot] = [&outDir, shot, name, bytes] {
            FileViewerDialog viewer(name, bytes);
            viewer.show();
            for (int i = 0; i < 30; ++i) {
                QApplication::processEvents();
                QThread::msleep(10);
            }
            return grabShown(viewer, outDir, shot);
        };
    };
    QImage photo(640, 400, QImage::Format_RGB32);
    {
        QPainter painter(&photo);
        QLinearGradient sky(0, 0, 0, 400);
        sky.setColorAt(0, QColor(0x2B, 0x4C, 0x7E));
        sky.setColorAt(1, QColor(0xE8, 0xA8, 0x7C));
        painter.fillRect(photo.rect(), sky);
        painter.setBrush(QColor(0x1E, 0x2A, 0x1E));
        painter.setPen(Qt::NoPen);
        painter.drawPolygon(QPolygon({QPoint(0, 400), QPoint(180, 190), QPoint(330, 320), QPoint(470, 170),
                                      QPoint(640, 330), QPoint(640, 400)}));
    }
    QByteArray photoBytes;
    {
        QBuffer buffer(&photoBytes);
        buffer.open(QIODevice::WriteOnly);
        photo.save(&buffer, "PNG");
    }
    viewerShot(QStringLiteral("viewer-image"), QStringLiteral("passport-scan.png"), dorvex::test::toVector(photoBytes));
    viewerShot(QStringLiteral("viewer-text"), QStringLiteral("wifi-passwords.txt"),
               dorvex::test::toVector("Home network\n  name: Orchard-5G\n  password: correct horse battery staple\n\n"
                                      "Guest network\n  name: Orchard-Guest\n  password: apples-and-pears\n"));
    viewerShot(QStringLiteral("viewer-pdf"), QStringLiteral("tax-return-2025.pdf"),
               dorvex::test::toVector(dorvex::test::buildPdf(
                   {3, {612, 792}, 0, {},
                    "0.2 0.3 0.5 rg 54 690 504 50 re f 0.85 0.85 0.85 rg 54 420 504 240 re f "
                    "0.6 0.6 0.6 rg 54 380 300 16 re f 54 350 420 16 re f 54 320 360 16 re f"})));
    viewerShot(QStringLiteral("viewer-word"), QStringLiteral("insurance-policy.docx"),
               dorvex::test::docx(dorvex::test::documentXml(
                   {"Home insurance policy", "", "Policy number: HX-2291-0475",
                    "Cover: buildings and contents, accidental damage included.",
                    "Excess: 250 per claim; 1,000 for subsidence."})));
    viewerShot(QStringLiteral("viewer-excel"), QStringLiteral("budget.xlsx"),
               dorvex::test::xlsx({{"xl/worksheets/sheet1.xml",
                                    dorvex::test::sheetXml({{{"A1", "Month"}, {"B1", "Income"}, {"C1", "Spent"}},
                                                            {{"A2", "January"}, {"B2", "3200"}, {"C2", "2710"}},
                                                            {{"A3", "February"}, {"B3", "3200"}, {"C3", "2955"}},
                                                            {{"A4", "March"}, {"B4", "3350"}, {"C4", "2480"}}})},
                                   {"xl/worksheets/sheet2.xml", dorvex::test::sheetXml({{{"A1", "Savings"}}})}}));
    viewerShot(QStringLiteral("viewer-unsupported"), QStringLiteral("backup.7z"), {});

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
