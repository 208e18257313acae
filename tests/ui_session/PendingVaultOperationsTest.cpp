// The vault's relocation and deletion that the configure dialog records and the next start
// carries out: through the dialog and whole program starts, against a full or foreign file
// system, and with a crash at every durable step.
#include "SessionFixture.h"

#include "DiskCrash.h"
#include "Pilot.h"
#include "SmallTmpfs.h"
#include "VaultImageBuilder.h"
#include "session/PendingVaultOperations.h"
#include "app/MachineId.h"
#include "ui/ConfigureDialog.h"
#include "ui/MainWindow.h"
#include "vault/FileBlockStore.h"
#include "vault/VaultFileMove.h"

#include <QAction>
#include <QApplication>
#include <QTimer>
#include <QDir>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QLockFile>
#include <QPushButton>
#include <QUuid>

#include <functional>

using namespace session_test;
using dorvex::crypto::SecureBuffer;
using dorvex::test::DiskCrash;
using dorvex::test::Pilot;
using dorvex::vault::StorageConfig;
using dorvex::vault::VaultContainer;

namespace {

const QString kKept = QStringLiteral("kept.txt");

// Opens File > Configure in a running session and runs `use` on the dialog, then closes it.
void inConfigureDialog(MainWindow* window, const std::function<void(ConfigureDialog*)>& use)
{
    dorvex::test::whenShown<ConfigureDialog>([use](ConfigureDialog* dialog) {
        use(dialog);
        dialog->reject();
    });
    window->findChild<QAction*>(QStringLiteral("configureAction"))->trigger();
}

QString statusOf(ConfigureDialog* dialog, const char* label)
{
    return dialog->findChild<QLabel*>(QString::fromLatin1(label))->text();
}

// Sets the location fields and applies them; the status text.
QString applyLocation(ConfigureDialog* dialog, const QString& folder, const QString& name)
{
    dialog->findChild<QLineEdit*>(QStringLiteral("locationDirectoryEdit"))->setText(folder);
    dialog->findChild<QLineEdit*>(QStringLiteral("locationFileNameEdit"))->setText(name);
    dialog->findChild<QPushButton*>(QStringLiteral("applyLocationButton"))->click();
    return statusOf(dialog, "locationStatusLabel");
}

// Runs `run`, answering whatever message it shows as a user would (a process about to crash
// still shows its boxes).
void answeringMessages(const std::function<void()>& run)
{
    QTimer timer;
    timer.setInterval(5);
    QObject::connect(&timer, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            box->done(QMessageBox::Ok);
    });
    timer.start();
    run();
}

// Every name the vault's own machinery may leave beside it.
QStringList leftoversBeside(const QString& vault)
{
    QStringList found;
    for (const QString& path : {dorvex::vault::lockPathFor(vault), dorvex::vault::creatingPathFor(vault),
                                dorvex::vault::erasingPathFor(vault)})
        if (QFileInfo::exists(path))
            found << path;
    return found;
}

class PendingTest : public SessionTest {
protected:
    // The managers again, after a whole program start moved storage.dat's binding. The whole
    // starts use this machine's real identity, so the fixture does too.
    void reload()
    {
        machineId = dorvex::app::MachineId(dataDir + QStringLiteral("/machine_id.txt")).get();
        guard = std::make_unique<dorvex::vault::VaultRollbackGuard>(dataDir + QStringLiteral("/vault_generation.dat"));
        storage = std::make_unique<StorageConfig>(dataDir + QStringLiteral("/storage.dat"), machineId,
                                                  guard->highestKnownGeneration());
        ASSERT_FALSE(storage->isCorrupted());
    }

    // A fresh data folder after a first start: an account and a bound vault holding kept.txt.
    void freshInstall()
    {
        TearDown();
        SetUp();
        Pilot first(kPassword);
        first.inWindow = [](MainWindow* window) {
            const QString source = dorvex::test::makeScratchDir() + QLatin1Char('/') + kKept;
            writeFile(source, "kept across the move");
            ASSERT_TRUE(window->container()->importFile(source, kKept));
            window->onRollbackGuardAdvanceTimeout();
        };
        ASSERT_EQ(first.start(dataDir), 0);
        ASSERT_TRUE(first.windowHadVault);
        reload();
    }

    std::unique_ptr<VaultContainer> openVault(const SecureBuffer& key)
    {
        return dorvex::app::openOrCreateVault(*storage, vaultPath(), key, machineId, *guard, QString(), nullptr);
    }

    QString machineId;

    void scheduleMove(const QString& folder, const QString& name)
    {
        StorageConfig::ContainerConfig config = storage->containerConfig();
        config.pendingMigrateFromPath = vaultPath();
        config.overrideDirectory = folder;
        config.overrideFileName = name;
        ASSERT_TRUE(storage->setContainerConfig(config));
    }

    // A start that must sign in and show kept.txt from `where`, with no message on the way.
    void expectStartOpensAt(const QString& where, const char* context)
    {
        Pilot start(kPassword);
        EXPECT_EQ(start.start(dataDir), 0) << context;
        EXPECT_TRUE(start.windowHadVault) << context;
        EXPECT_TRUE(start.names.contains(kKept)) << context;
        EXPECT_EQ(start.messages, QStringList()) << context << ": " << qPrintable(start.messageTexts.join('|'));
        reload();
        EXPECT_EQ(vaultPath(), where) << context;
        EXPECT_TRUE(storage->containerConfig().pendingMigrateFromPath.isEmpty()) << context;
    }
};

// ---------------------------------------------------------------------------------------------
// Relocation

TEST_F(PendingTest, MoveChosenInTheDialogIsMadeAtTheNextStartAndTheVaultOpensThere)
{
    dorvex::test::SmallTmpfs otherFileSystem(8192);
    struct Case {
        const char* name;
        std::function<QString()> folder;  // empty: skip the row
        bool renameRefused;               // the seam refuses the rename, as across volumes
    } const cases[] = {
        {"same file system: renamed", [] { return dorvex::test::makeScratchDir() + QStringLiteral("/new/deeper"); },
         false},
        {"rename refused: copied", [] { return dorvex::test::makeScratchDir() + QStringLiteral("/copied"); }, true},
        {"another file system: copied",
         [&otherFileSystem] {
             return otherFileSystem.active() ? otherFileSystem.path() + QStringLiteral("/vaults") : QString();
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString folder = c.folder();
        if (folder.isEmpty()) {
            std::printf("skipped \"%s\": needs root to mount a tmpfs\n", c.name);
            continue;
        }
        freshInstall();
        const QString oldPath = vaultPath();
        Pilot second(kPassword);
        QString status;
        second.inWindow = [&](MainWindow* window) {
            inConfigureDialog(window, [&](ConfigureDialog* d) { status = applyLocation(d, folder, QStringLiteral("moved.drvx")); });
        };
        ASSERT_EQ(second.start(dataDir), 0);
        EXPECT_EQ(status, QStringLiteral("Location updated. Restart Murravo to move the vault there."));
        // Nothing moves while the vault is open.
        EXPECT_TRUE(QFileInfo::exists(oldPath));

        bool renameTried = false;
        if (c.renameRefused)
            dorvex::core::AtomicFile::setStepHook([&renameTried](dorvex::core::AtomicFile::Step step, const QString& path, int) {
                const bool refuse = step == dorvex::core::AtomicFile::Step::Rename && path.endsWith(QStringLiteral("/moved.drvx"))
                                    && !renameTried;
                renameTried = renameTried || refuse;
                if (refuse)
                    errno = EXDEV;
                return !refuse;
            });
        const QString newPath = folder + QStringLiteral("/moved.drvx");
        expectStartOpensAt(newPath, c.name);
        dorvex::core::AtomicFile::setStepHook({});
        EXPECT_EQ(renameTried, c.renameRefused);
        EXPECT_FALSE(QFileInfo::exists(oldPath));
        EXPECT_EQ(leftoversBeside(oldPath), QStringList());
        EXPECT_EQ(leftoversBeside(newPath), QStringList());
        EXPECT_EQ(QFileInfo(newPath).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
    }
}

TEST_F(PendingTest, LocationChoicesInTheDialog)
{
    // Each row is applied in one dialog after the previous ones, as a user would.
    freshInstall();
    const QString original = vaultPath();
    const QString elsewhere = dorvex::test::makeScratchDir();
    const QString lockoutBefore = QString::fromLatin1(readFile(dataDir + QStringLiteral("/identity.dat.lockout")).toBase64());
    struct Row {
        const char* name;
        QString folder, file;
        QString status;
        QString pendingFrom;  // the move recorded afterwards
    };
    const QString updated = QStringLiteral("Location updated. Restart Murravo to move the vault there.");
    const std::vector<Row> rows = {
        {"empty folder", QString(), QStringLiteral("vault.drvx"), QStringLiteral("Folder and file name cannot be empty."), QString()},
        {"network path", QStringLiteral("//server/share"), QStringLiteral("vault.drvx"),
         QStringLiteral("Folder must be a local path (not a network path) with no \"..\" segments."), QString()},
        {"dot-dot name", elsewhere, QStringLiteral(".."),
         QStringLiteral("File name must not contain \"/\" or \"\\\", and cannot be \".\" or \"..\"."), QString()},
        {"slash in name", elsewhere, QStringLiteral("a/b.drvx"),
         QStringLiteral("File name must not contain \"/\" or \"\\\", and cannot be \".\" or \"..\"."), QString()},
        {"an own file of the data folder", dataDir, QStringLiteral("identity.dat.lockout"),
         QStringLiteral("In Murravo's data folder the file name must end in \".drvx\"."), QString()},
        {"the journal's name", dataDir + QStringLiteral("/"), QStringLiteral("identity.dat.transition"),
         QStringLiteral("In Murravo's data folder the file name must end in \".drvx\"."), QString()},
        {"where it already is", dataDir, QStringLiteral("vault.drvx"), QStringLiteral("No change."), QString()},
        {"elsewhere", elsewhere, QStringLiteral("v.drvx"), updated, original},
        // The vault has not moved yet: a second choice keeps the place it really is.
        {"elsewhere again before a restart", elsewhere + QStringLiteral("/later"), QStringLiteral("v2.drvx"), updated, original},
        {"back where it is", dataDir, QStringLiteral("vault.drvx"), QStringLiteral("No change."), QString()},
    };
    Pilot session(kPassword);
    QStringList failures;
    session.inWindow = [&](MainWindow* window) {
        inConfigureDialog(window, [&](ConfigureDialog* d) {
            for (const Row& row : rows) {
                const QString status = applyLocation(d, row.folder, row.file);
                const QString pending = storage->containerConfig().pendingMigrateFromPath;
                if (status != row.status || pending != row.pendingFrom)
                    failures << QStringLiteral("%1: \"%2\", pending \"%3\"").arg(QString::fromLatin1(row.name), status, pending);
            }
        });
    };
    // The dialog writes storage.dat under the session's binding; the fixture reads it after.
    ASSERT_EQ(session.start(dataDir), 0);
    EXPECT_EQ(failures, QStringList()) << qPrintable(failures.join(QLatin1Char('\n')));
    reload();
    const StorageConfig::ContainerConfig config = storage->containerConfig();
    EXPECT_TRUE(config.overrideDirectory.isEmpty());
    EXPECT_TRUE(config.overrideFileName.isEmpty());
    EXPECT_EQ(QString::fromLatin1(readFile(dataDir + QStringLiteral("/identity.dat.lockout")).toBase64()).isEmpty(),
              lockoutBefore.isEmpty());
}

TEST_F(PendingTest, AnOccupiedDestinationIsCountedFourTimesThenTheMoveIsGivenUpAndTheOldPlaceKept)
{
    freshInstall();
    const QString original = vaultPath();
    const QString folder = dorvex::test::makeScratchDir();
    writeFile(folder + QStringLiteral("/v.drvx"), "somebody else's file");
    scheduleMove(folder, QStringLiteral("v.drvx"));
    for (int pass = 1; pass <= 4; ++pass) {
        dorvex::app::applyPendingContainerMigration(*storage, dataDir);
        EXPECT_EQ(storage->containerConfig().pendingMigrateAttempts, pass);
        EXPECT_EQ(storage->containerConfig().pendingMigrateFromPath, original);
    }
    auto seen = answerNextMessage(QMessageBox::Ok);
    dorvex::app::applyPendingContainerMigration(*storage, dataDir);
    EXPECT_TRUE(seen->shown);
    EXPECT_EQ(seen->title, QStringLiteral("Vault Relocation Failed"));
    EXPECT_EQ(seen->text, QStringLiteral("Murravo could not move the vault to its new location after 5 attempts (the "
                                         "destination already has a file at that path). It has been left at its "
                                         "original location; please move it manually or try changing the location "
                                         "again in Configure."));
    EXPECT_EQ(readFile(folder + QStringLiteral("/v.drvx")), QByteArray("somebody else's file"));
    // Giving up names the old place again, so the next start opens the vault there.
    EXPECT_EQ(storage->containerConfig().pendingMigrateAttempts, 0);
    expectStartOpensAt(original, "after giving up");
}

TEST_F(PendingTest, RefusedDestinationsAreCountedAndLeaveEverythingInPlace)
{
    struct Case {
        const char* name;
        // Prepares the destination; returns folder and file name of the new location.
        std::function<std::pair<QString, QString>(PendingTest&)> arrange;
        QString reason;
    };
    std::unique_ptr<QLockFile> held;
    const Case cases[] = {
        {"a folder behind a symbolic link",
         [](PendingTest&) {
             const QString real = dorvex::test::makeScratchDir();
             const QString link = dorvex::test::makeScratchDir() + QStringLiteral("/link");
             EXPECT_TRUE(QFile::link(real, link));
             return std::make_pair(link + QStringLiteral("/sub"), QStringLiteral("v.drvx"));
         },
         QStringLiteral("the destination folder could not be verified")},
        // Written straight into storage.dat, as the dialog refuses it: the vault would take the
        // journal's name, and the next key change would replace it.
        {"an own name in the data folder",
         [](PendingTest& t) { return std::make_pair(t.dataDir, QStringLiteral("identity.dat.transition")); },
         QStringLiteral("the destination folder could not be verified")},
        {"the vault held open by another opener",
         [&held](PendingTest& t) {
             held = std::make_unique<QLockFile>(dorvex::vault::lockPathFor(t.vaultPath()));
             EXPECT_TRUE(held->tryLock(0));
             return std::make_pair(dorvex::test::makeScratchDir(), QStringLiteral("v.drvx"));
         },
         QStringLiteral("the move itself failed")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        freshInstall();
        const QString original = vaultPath();
        const auto [folder, name] = c.arrange(*this);
        scheduleMove(folder, name);
        dorvex::app::applyPendingContainerMigration(*storage, dataDir);
        EXPECT_EQ(storage->containerConfig().pendingMigrateAttempts, 1);
        EXPECT_EQ(storage->containerConfig().pendingMigrateFromPath, original);
        EXPECT_TRUE(VaultContainer::looksLikeContainer(original));
        EXPECT_FALSE(QFileInfo::exists(folder + QLatin1Char('/') + name));
        held.reset();
        // The fifth time gives the reason.
        StorageConfig::ContainerConfig config = storage->containerConfig();
        config.pendingMigrateAttempts = 4;
        if (QString(c.name).contains(QStringLiteral("held"))) {
            held = std::make_unique<QLockFile>(dorvex::vault::lockPathFor(original));
            ASSERT_TRUE(held->tryLock(0));
        }
        ASSERT_TRUE(storage->setContainerConfig(config));
        auto seen = answerNextMessage(QMessageBox::Ok);
        dorvex::app::applyPendingContainerMigration(*storage, dataDir);
        held.reset();
        EXPECT_TRUE(seen->text.contains(QStringLiteral("after 5 attempts (") + c.reason + QStringLiteral(")")))
            << qPrintable(seen->text);
        EXPECT_EQ(vaultPath(), original);
    }
}

TEST_F(PendingTest, AFailedCopyLeavesNothingAtTheDestinationAndIsNotTakenForAnOccupiedOne)
{
    dorvex::test::SmallTmpfs full(512);  // smaller than the vault
    struct Case {
        const char* name;
        QString folder;         // empty: skip
        bool failSecondWrite;   // the seam fails a write of the copy
    } const cases[] = {
        {"a write of the copy fails", dorvex::test::makeScratchDir(), true},
        {"the other file system is full", full.active() ? full.path() : QString(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.folder.isEmpty()) {
            std::printf("skipped \"%s\": needs root to mount a tmpfs\n", c.name);
            continue;
        }
        freshInstall();
        const QString original = vaultPath();
        const QString destination = c.folder + QStringLiteral("/v.drvx");
        scheduleMove(c.folder, QStringLiteral("v.drvx"));
        int writes = 0;
        dorvex::core::AtomicFile::setStepHook([&](dorvex::core::AtomicFile::Step step, const QString& path, int) {
            using Step = dorvex::core::AtomicFile::Step;
            if (!path.startsWith(destination))
                return true;
            if (step == Step::Rename && !path.endsWith(QStringLiteral(".creating")) && writes == 0) {
                errno = EXDEV;
                return false;  // across volumes, as far as the move can tell
            }
            return !(c.failSecondWrite && step == Step::Write && ++writes == 2);
        });
        dorvex::app::applyPendingContainerMigration(*storage, dataDir);
        dorvex::core::AtomicFile::setStepHook({});
        EXPECT_EQ(storage->containerConfig().pendingMigrateAttempts, 1);
        EXPECT_FALSE(QFileInfo::exists(destination));
        EXPECT_EQ(leftoversBeside(destination), QStringList());
        EXPECT_TRUE(VaultContainer::looksLikeContainer(original));
        if (c.failSecondWrite) {
            // Nothing is left that the next pass would count as an occupied destination.
            dorvex::app::applyPendingContainerMigration(*storage, dataDir);
            EXPECT_TRUE(storage->containerConfig().pendingMigrateFromPath.isEmpty());
            EXPECT_TRUE(VaultContainer::looksLikeContainer(destination));
        }
    }
}

TEST_F(PendingTest, AMissingOldFileDropsTheMoveSilently)
{
    freshInstall();
    const QString folder = dorvex::test::makeScratchDir();
    const QString moved = folder + QStringLiteral("/v.drvx");
    ASSERT_TRUE(QFile::rename(vaultPath(), moved));  // moved by hand, as the setting asks
    scheduleMove(folder, QStringLiteral("v.drvx"));
    StorageConfig::ContainerConfig config = storage->containerConfig();
    config.pendingMigrateFromPath = dataDir + QStringLiteral("/vault.drvx");
    config.pendingMigrateAttempts = 3;
    ASSERT_TRUE(storage->setContainerConfig(config));
    expectStartOpensAt(moved, "moved by hand");
    EXPECT_EQ(storage->containerConfig().pendingMigrateAttempts, 0);
}

TEST_F(PendingTest, ACrashAtEveryStepOfTheMoveLeavesOneVaultThatTheNextStartOpens)
{
    dorvex::test::SmallTmpfs otherFileSystem(8192);
    struct Case {
        const char* name;
        std::function<QString()> folder;
    } const cases[] = {
        {"renamed", [] { return dorvex::test::makeScratchDir() + QStringLiteral("/to"); }},
        {"copied to another file system",
         [&otherFileSystem] {
             return otherFileSystem.active() ? otherFileSystem.path() + QLatin1Char('/') + QUuid::createUuid().toString(QUuid::WithoutBraces)
                                             : QString();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.folder().isEmpty()) {
            std::printf("skipped \"%s\": needs root to mount a tmpfs\n", c.name);
            continue;
        }
        int crashes = 0;
        QString previous;
        for (int step = 1;; ++step) {
            freshInstall();
            const QString original = vaultPath();
            // The small file system holds one copy at a time.
            if (!previous.isEmpty())
                QDir(previous).removeRecursively();
            const QString folder = c.folder();
            previous = folder;
            scheduleMove(folder, QStringLiteral("v.drvx"));
            bool injected = false;
            {
                DiskCrash crash(step);
                answeringMessages([&] { dorvex::app::applyPendingContainerMigration(*storage, dataDir); });
                injected = DiskCrash::injected();
            }
            if (!injected)
                break;
            ++crashes;
            SCOPED_TRACE(DiskCrash::firstFailed().toStdString());
            // Whichever place the configuration names after the crash, the vault is there.
            const QString at = QFileInfo::exists(original) ? original : folder + QStringLiteral("/v.drvx");
            Pilot next(kPassword);
            EXPECT_EQ(next.start(dataDir), 0) << "crash at step " << step;
            EXPECT_TRUE(next.names.contains(kKept)) << "crash at step " << step;
            EXPECT_EQ(next.messages, QStringList()) << "crash at step " << step;
            reload();
            EXPECT_TRUE(QFileInfo::exists(storage->currentContainerPath(dataDir))) << "crash at step " << step << " " << qPrintable(at);
            EXPECT_EQ(QFileInfo::exists(original) && QFileInfo::exists(folder + QStringLiteral("/v.drvx")), false)
                << "two copies after a crash at step " << step;
            if (HasFailure())
                break;
        }
        EXPECT_GT(crashes, 2) << "the move met too few durable steps to prove anything";
    }
}

// ---------------------------------------------------------------------------------------------
// Deletion

class DeletionTest : public PendingTest {
protected:
    // The sixteen files a deletion removes, each made to exist.
    void fillEveryDeletedFile()
    {
        for (const QString& name : dorvex::app::deletedJournalFiles() + dorvex::app::deletedAccountFiles())
            if (!QFileInfo::exists(dataDir + name))
                writeFile(dataDir + name, "leftover " + name.toUtf8());
    }

    // What a deletion must keep: everything but the vault and the sixteen files.
    QMap<QString, QByteArray> keptFiles(const QString& vault) const
    {
        QMap<QString, QByteArray> files = snapshot(dataDir);
        files.remove(vault);
        for (const QString& name : dorvex::app::deletedJournalFiles() + dorvex::app::deletedAccountFiles())
            files.remove(dataDir + name);
        return files;
    }

    void expectDeleted(const QString& vault, const char* context)
    {
        EXPECT_FALSE(QFileInfo::exists(vault)) << context;
        EXPECT_EQ(leftoversBeside(vault), QStringList()) << context;
        for (const QString& name : dorvex::app::deletedJournalFiles() + dorvex::app::deletedAccountFiles())
            EXPECT_FALSE(QFileInfo::exists(dataDir + name)) << context << ": " << qPrintable(name);
        EXPECT_TRUE(storage->pendingDeletePath().isEmpty()) << context;
        EXPECT_EQ(storage->pendingDeleteAttempts(), 0) << context;
        EXPECT_FALSE(storage->boundVaultIdRecorded()) << context;
        EXPECT_TRUE(storage->boundVaultId().isEmpty()) << context;
    }

    // A start after the deletion: the first-run wizard and a new vault that opens, then a
    // sign-in to it; no refusal on the way.
    void expectCleanFirstRun(const char* context)
    {
        Pilot first(kPassword);
        EXPECT_EQ(first.start(dataDir), 0) << context;
        EXPECT_TRUE(first.wizardShown) << context;
        EXPECT_TRUE(first.windowHadVault) << context;
        EXPECT_EQ(first.names, QStringList()) << context;
        EXPECT_EQ(first.messages, QStringList()) << context << ": " << qPrintable(first.messageTexts.join('|'));
        Pilot again(kPassword);
        EXPECT_EQ(again.start(dataDir), 0) << context;
        EXPECT_FALSE(again.wizardShown) << context;
        EXPECT_TRUE(again.windowHadVault) << context;
        EXPECT_EQ(again.messages, QStringList()) << context;
    }
};

TEST_F(DeletionTest, DeleteInTheDialogThenTheNextStartErasesExactlyItsFilesAfterThePassword)
{
    freshInstall();
    const QString vault = vaultPath();
    QString scheduled;
    bool buttonLeftEnabled = true;
    Pilot session(kPassword);
    session.inWindow = [&](MainWindow* window) {
        inConfigureDialog(window, [&](ConfigureDialog* d) {
            dorvex::test::whenShown<QInputDialog>([](QInputDialog* input) {
                input->setTextValue(kPassword);
                input->accept();
            });
            auto confirm = answerNextMessage(QMessageBox::Yes);
            d->findChild<QPushButton*>(QStringLiteral("deleteVaultButton"))->click();
            scheduled = statusOf(d, "deleteVaultStatusLabel");
            buttonLeftEnabled = d->findChild<QPushButton*>(QStringLiteral("deleteVaultButton"))->isEnabled();
        });
    };
    ASSERT_EQ(session.start(dataDir), 0);
    EXPECT_EQ(scheduled, QStringLiteral("The vault will be permanently deleted the next time you start Murravo. "
                                        "Restart now to complete this."));
    EXPECT_FALSE(buttonLeftEnabled);
    reload();
    ASSERT_EQ(storage->pendingDeletePath(), vault);
    fillEveryDeletedFile();
    writeFile(dataDir + QStringLiteral("/notes.txt"), "the user's own file");
    const auto kept = keptFiles(vault);

    // The start asks for the password, deletes, and offers a new account, which is declined.
    Pilot next(kPassword);
    next.signIn = false;
    EXPECT_EQ(next.start(dataDir), 0);
    EXPECT_EQ(next.prompts, QStringList{QStringLiteral("A vault deletion is pending. Type your master password to "
                                                       "complete it now, or Cancel to be asked again next time you "
                                                       "start Murravo.")});
    EXPECT_TRUE(next.wizardShown);
    reload();
    expectDeleted(vault, "after the deletion");
    auto remaining = snapshot(dataDir);
    remaining.remove(dataDir + QStringLiteral("/storage.dat"));  // rewritten: request and binding cleared
    auto expected = kept;
    expected.remove(dataDir + QStringLiteral("/storage.dat"));
    EXPECT_EQ(remaining.keys(), expected.keys());
    EXPECT_EQ(remaining, expected);
    expectCleanFirstRun("after the deletion");
}

TEST_F(DeletionTest, TheDialogSchedulesBeforeItRotatesAndWithdrawsWhenRotatingFails)
{
    // Rows: which write fails while the dialog deletes. The identity and the schedule must agree
    // afterwards: either both changed, or neither.
    struct Case {
        const char* name;
        std::function<bool(const QString& path)> failWritesTo;
        QString status;
        bool scheduled;
    } const cases[] = {
        {"scheduling fails", [](const QString& path) { return path.endsWith(QStringLiteral("/storage.dat")); },
         QStringLiteral("Could not schedule the deletion. Please try again."), false},
        {"rotating fails", [](const QString& path) { return path.endsWith(QStringLiteral("/identity.dat")); },
         QStringLiteral("Could not rotate the vault key. Vault not deleted."), false},
        {"nothing fails", [](const QString&) { return false; },
         QStringLiteral("The vault will be permanently deleted the next time you start Murravo. Restart now to "
                        "complete this."),
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        freshInstall();
        const SecureBuffer oldKey = *auth->login(kPassword.toStdString(), true, storage->boundVaultId(), nullptr, nullptr);
        auto container = openVault(oldKey);
        ASSERT_NE(container, nullptr);
        QString status;
        {
            ConfigureDialog dialog(oldKey, QStringLiteral("alice"), *auth, *twoFactor, *storage, *idleLock, *guard,
                                   container.get());
            dorvex::test::whenShown<QInputDialog>([](QInputDialog* input) {
                input->setTextValue(kPassword);
                input->accept();
            });
            auto confirm = answerNextMessage(QMessageBox::Yes);
            dorvex::core::AtomicFile::setStepHook([&c](dorvex::core::AtomicFile::Step step, const QString& path, int) {
                return step != dorvex::core::AtomicFile::Step::Create || !c.failWritesTo(path);
            });
            dialog.onDeleteVaultClicked();
            dorvex::core::AtomicFile::setStepHook({});
            EXPECT_TRUE(confirm->cancelWasDefault);
            status = statusOf(&dialog, "deleteVaultStatusLabel");
        }
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(!storage->pendingDeletePath().isEmpty(), c.scheduled);
        const auto key = auth->login(kPassword.toStdString(), true, container->vaultId(), nullptr, nullptr);
        ASSERT_TRUE(key);
        // Rotated exactly when scheduled: the old key no longer comes out of the account.
        EXPECT_EQ(!key->equals(oldKey), c.scheduled);
    }
}

TEST_F(DeletionTest, CancelOrAWrongPasswordAtTheStartChangesNothingAndAsksAgain)
{
    struct Case {
        const char* name;
        bool answer;
        QString password;
    } const cases[] = {
        {"cancelled", false, kPassword},
        {"wrong password", true, QStringLiteral("Wrong-Pass-99!")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        freshInstall();
        ASSERT_TRUE(storage->setPendingDeletePath(vaultPath()));
        const auto before = snapshot(dataDir);
        Pilot start(c.password);
        start.answerPrompts = c.answer;
        start.signIn = false;
        EXPECT_EQ(start.start(dataDir), 0);
        EXPECT_EQ(start.prompts.size(), 1);
        EXPECT_TRUE(start.loginShown);
        EXPECT_EQ(start.messages, QStringList());
        auto after = snapshot(dataDir);
        const QString lockout = dataDir + QStringLiteral("/identity.dat.lockout");
        // A wrong password is charged like a failed sign-in; nothing else changes.
        EXPECT_EQ(after.value(lockout) != before.value(lockout), c.answer);
        after.remove(lockout);
        auto expected = before;
        expected.remove(lockout);
        EXPECT_EQ(after, expected);
        Pilot again(kPassword);
        again.answerPrompts = false;
        again.signIn = false;
        EXPECT_EQ(again.start(dataDir), 0);
        EXPECT_EQ(again.prompts.size(), 1);
    }
}

TEST_F(DeletionTest, AVaultAlreadyGoneStillEndsTheAccountWithoutAskingAgain)
{
    freshInstall();
    const QString vault = vaultPath();
    ASSERT_TRUE(storage->setPendingDeletePath(vault));
    ASSERT_TRUE(QFile::remove(vault));
    Pilot start(kPassword);
    start.signIn = false;
    EXPECT_EQ(start.start(dataDir), 0);
    EXPECT_EQ(start.prompts, QStringList());
    EXPECT_EQ(start.messages, QStringList());
    EXPECT_TRUE(start.wizardShown);
    reload();
    expectDeleted(vault, "vault already gone");
}

TEST_F(DeletionTest, TheRecordKeepsStorageDatReadableAfterDeletingAVaultOfAHighGeneration)
{
    // A vault whose generation is far past the window a start looks ahead in.
    freshInstall();
    const QString vault = vaultPath();
    ASSERT_TRUE(QFile::remove(vault));
    ASSERT_TRUE(QFile::remove(dataDir + QStringLiteral("/vault_generation.dat")));
    ASSERT_TRUE(QFile::remove(dataDir + QStringLiteral("/storage.dat")));
    reload();
    dorvex::test::ImageLayout layout;
    layout.vaultId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    layout.machineId = machineId;
    layout.generation = 5000;
    const std::vector<unsigned char> image = dorvex::test::buildVaultImage(layout, dorvex::test::fixtureKey());
    writeFile(vault, QByteArray(reinterpret_cast<const char*>(image.data()), static_cast<qsizetype>(image.size())));
    auto container = dorvex::app::openOrCreateVault(*storage, vault, dorvex::test::fixtureKey(), machineId, *guard,
                                                     QString(), nullptr, true);
    ASSERT_NE(container, nullptr);
    ASSERT_EQ(container->generationCounter(), 5000u);
    ASSERT_TRUE(storage->setBoundVaultId(container->vaultId()));
    container.reset();
    ASSERT_GE(guard->highestKnownGeneration(), 5000u);
    ASSERT_TRUE(storage->setPendingDeletePath(vault));

    Pilot start(kPassword);
    start.signIn = false;  // the first-run wizard is cancelled
    EXPECT_EQ(start.start(dataDir), 0);
    EXPECT_TRUE(start.wizardShown);
    reload();
    expectDeleted(vault, "high generation");
    expectCleanFirstRun("high generation");
}

TEST_F(DeletionTest, AnEraseThatKeepsFailingIsCountedFourTimesThenGivenUpWithTheAccountKept)
{
    freshInstall();
    const QString vault = vaultPath();
    ASSERT_TRUE(storage->setPendingDeletePath(vault));
    dorvex::core::SecureErase::stepHook = [](dorvex::core::SecureErase::Step step) {
        return step != dorvex::core::SecureErase::Step::Write;
    };
    for (int pass = 1; pass <= 4; ++pass) {
        dorvex::app::applyPendingContainerDelete(*storage, dataDir);
        EXPECT_EQ(storage->pendingDeleteAttempts(), pass);
    }
    auto seen = answerNextMessage(QMessageBox::Ok);
    dorvex::app::applyPendingContainerDelete(*storage, dataDir);
    dorvex::core::SecureErase::stepHook = nullptr;
    EXPECT_EQ(seen->title, QStringLiteral("Vault Deletion Failed"));
    EXPECT_TRUE(seen->text.startsWith(QStringLiteral("Murravo could not securely erase the vault at:\n")));
    EXPECT_TRUE(seen->text.endsWith(QStringLiteral("\nafter 5 attempts. It has been left in place; please delete it "
                                                   "manually, or check that it isn't held open by another program or "
                                                   "read-only media.")));
    EXPECT_TRUE(storage->pendingDeletePath().isEmpty());
    EXPECT_EQ(storage->pendingDeleteAttempts(), 0);
    EXPECT_TRUE(auth->identityExists());
    EXPECT_TRUE(storage->boundVaultIdRecorded());
}

TEST_F(DeletionTest, ACrashAtEveryStepOfTheDeletionIsFinishedByTheNextStartThenAFirstRun)
{
    int crashes = 0;
    for (int step = 1;; ++step) {
        freshInstall();
        const QString vault = vaultPath();
        fillEveryDeletedFile();
        ASSERT_TRUE(storage->setPendingDeletePath(vault));
        bool injected = false;
        {
            DiskCrash crash(step);
            dorvex::app::applyPendingContainerDelete(*storage, dataDir);
            injected = DiskCrash::injected();
        }
        if (!injected)
            break;
        ++crashes;
        const std::string context = "crash at step " + std::to_string(step) + ", " + DiskCrash::firstFailed().toStdString();
        Pilot next(kPassword);
        next.signIn = false;
        EXPECT_EQ(next.start(dataDir), 0) << context;
        EXPECT_EQ(next.messages, QStringList()) << context << ": " << qPrintable(next.messageTexts.join('|'));
        EXPECT_TRUE(next.wizardShown) << context;
        reload();
        expectDeleted(vault, context.c_str());
        if (step % 25 == 1)  // the whole first run, now and then: it costs two more starts
            expectCleanFirstRun(context.c_str());
        if (HasFailure())
            break;
    }
    EXPECT_GT(crashes, 40) << "the deletion met too few durable steps to prove anything";
}

}  // namespace
