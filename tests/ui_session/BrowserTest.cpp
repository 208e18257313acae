// The vault browser over a real container: import with erase, the refusals, export, remove.
#include "BrowserFixture.h"

#include "core/SecureErase.h"
#include "ui/FileViewerDialog.h"
#include "ui/MainWindow.h"
#include "ui/TransferProgressDialog.h"
#include "ui/VaultBrowserWidget.h"
#include "vault/FileBlockStore.h"

#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <functional>
#include <map>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace session_test;
using dorvex::vault::VaultContainer;

namespace {
constexpr int kNoViewerPollMs = 100;
}

TEST_F(BrowserTest, EmptyVaultShowsNoRowsAndNoActions)
{
    EXPECT_EQ(table->rowCount(), 0);
    EXPECT_EQ(table->columnCount(), 3);
    EXPECT_EQ(table->horizontalHeaderItem(0)->text(), QStringLiteral("Name"));
    EXPECT_EQ(table->horizontalHeaderItem(1)->text(), QStringLiteral("Size"));
    EXPECT_EQ(table->horizontalHeaderItem(2)->text(), QStringLiteral("Imported"));
    EXPECT_TRUE(button("importButton")->isEnabled());
    for (const char* name : {"viewButton", "exportButton", "removeButton"})
        EXPECT_FALSE(button(name)->isEnabled()) << name;
}

// The vault file, its lock file and the account's files are one pick away in the file dialogs:
// importing one would erase it, exporting onto one would overwrite it. However the path is
// spelled, both are refused before anything is read or written.
TEST_F(BrowserTest, TheVaultsOwnFilesAreNeverImportedNorExportedOnto)
{
    browser->importFromPath(makeSource(QStringLiteral("entry.txt"), "entry"));
    const quint64 generation = container->generationCounter();
    const QString lockPath = dorvex::vault::lockPathFor(vaultPath());
    ASSERT_TRUE(QFile::exists(lockPath));
    ASSERT_TRUE(QFile::link(vaultPath(), sourceDir + QStringLiteral("/shortcut.drvx")));
    ASSERT_TRUE(QFile::link(dataDir, sourceDir + QStringLiteral("/data")));
    const auto before = dataFolderFiles();
    ASSERT_TRUE(before.count(QStringLiteral("identity.dat")));

    const QString paths[] = {
        vaultPath(),
        lockPath,
        dataDir + QStringLiteral("/identity.dat"),
        dataDir + QStringLiteral("/../") + QFileInfo(dataDir).fileName() + QStringLiteral("/vault.drvx"),
        sourceDir + QStringLiteral("/shortcut.drvx"),
        sourceDir + QStringLiteral("/data/storage.dat"),
        sourceDir + QStringLiteral("/data/new-file.txt"),
    };
    for (const QString& path : paths) {
        SCOPED_TRACE(path.toStdString());
        const QString name = QFileInfo(path).fileName();
        if (QFileInfo::exists(path)) {
            browser->importFromPath(path);
            EXPECT_EQ(status->text(), QStringLiteral("Could not import \"%1\" -- it is one of Murravo's own files (the "
                                                     "vault, its lock file or a file in its data folder), and "
                                                     "importing it would erase it.")
                                          .arg(name));
            EXPECT_TRUE(failureColoured());
        }
        table->selectRow(0);
        exportSelectedTo(path);
        EXPECT_TRUE(status->text().startsWith(QStringLiteral("Could not export \"entry.txt\" -- \"")))
            << status->text().toStdString();
        EXPECT_TRUE(status->text().endsWith(QStringLiteral("\" is one of Murravo's own files (the vault, its lock "
                                                           "file or a file in its data folder). Choose another "
                                                           "location.")))
            << status->text().toStdString();
        EXPECT_TRUE(failureColoured());
    }
    EXPECT_EQ(dataFolderFiles(), before);
    EXPECT_EQ(container->generationCounter(), generation);
    EXPECT_EQ(container->listEntries().size(), 1u);
}

// The window hands its browser the vault's path and the data folder.
TEST_F(BrowserTest, TheMainWindowsBrowserKnowsTheVaultsOwnFiles)
{
    browser.reset();
    MainWindow window(dorvex::crypto::SecureBuffer(key.data(), key.size()), QStringLiteral("alice"), kMachine,
                      std::move(container), *auth, *twoFactor, *storage, *idleLock, *guard, nullptr);
    auto* inWindow = window.findChild<VaultBrowserWidget*>();
    ASSERT_NE(inWindow, nullptr);
    const QByteArray vaultBytes = readFile(vaultPath());
    inWindow->importFromPath(vaultPath());
    inWindow->importFromPath(dataDir + QStringLiteral("/identity.dat"));
    EXPECT_EQ(readFile(vaultPath()), vaultBytes);
    EXPECT_TRUE(QFile::exists(dataDir + QStringLiteral("/identity.dat")));
    EXPECT_TRUE(window.container()->listEntries().empty());
}

namespace {

QString g_changedByAnotherProgram;

// Another program appends to the original just before the erase starts.
bool appendBeforeTheErase(dorvex::core::SecureErase::Step step)
{
    if (step == dorvex::core::SecureErase::Step::Open && !g_changedByAnotherProgram.isEmpty()) {
        QFile file(g_changedByAnotherProgram);
        if (file.open(QIODevice::Append))
            file.write("a line added after the import\n");
        g_changedByAnotherProgram.clear();
    }
    return true;
}

}  // namespace

TEST_F(BrowserTest, AnOriginalChangedAfterItWasReadIsKeptAndSaidSo)
{
    const QString source = makeSource(QStringLiteral("notes.txt"), "the notes as imported\n");
    g_changedByAnotherProgram = source;
    dorvex::core::SecureErase::stepHook = &appendBeforeTheErase;
    browser->importFromPath(source);
    dorvex::core::SecureErase::stepHook = nullptr;

    EXPECT_EQ(status->text(), QStringLiteral("Imported \"notes.txt\", but the original at \"%1\" changed after it was "
                                             "read, so it was kept -- it's still on disk, and the vault holds the "
                                             "version that was read.")
                                  .arg(source));
    EXPECT_TRUE(failureColoured());
    EXPECT_EQ(readFile(source), QByteArray("the notes as imported\na line added after the import\n"));
    ASSERT_EQ(table->rowCount(), 1);
    EXPECT_EQ(table->item(0, 0)->text(), QStringLiteral("notes.txt"));
}

TEST_F(BrowserTest, ImportListsTheEntryErasesTheOriginalAndExportGivesTheBytesBack)
{
    const QByteArray bytes = QByteArray("report contents\n").repeated(1000) + QByteArray(1, '\0');
    const QString source = makeSource(QStringLiteral("report.txt"), bytes);
    browser->importFromPath(source);

    EXPECT_EQ(status->text(), QStringLiteral("Imported \"report.txt\" and securely erased the original."));
    EXPECT_FALSE(failureColoured());
    EXPECT_FALSE(QFile::exists(source));
    ASSERT_EQ(table->rowCount(), 1);
    EXPECT_EQ(table->item(0, 0)->text(), QStringLiteral("report.txt"));
    EXPECT_EQ(table->item(0, 1)->text(), QString::number(bytes.size()) + QStringLiteral(" bytes"));
    const QDateTime imported = QDateTime::fromString(table->item(0, 2)->text(), Qt::ISODate);
    EXPECT_TRUE(imported.isValid()) << table->item(0, 2)->text().toStdString();

    table->selectRow(0);
    EXPECT_TRUE(button("exportButton")->isEnabled());
    EXPECT_TRUE(button("removeButton")->isEnabled());
    EXPECT_TRUE(button("viewButton")->isEnabled());

    const QString exported = sourceDir + QStringLiteral("/out.txt");
    dorvex::test::whenShown<QFileDialog>([exported](QFileDialog* dialog) {
        // Typed as a user would: selectFile() races the dialog's directory listing.
        auto* nameEdit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(nameEdit, nullptr);
        nameEdit->setText(exported);
        QMetaObject::invokeMethod(dialog, "accept");
    });
    browser->onExportClicked();
    EXPECT_EQ(readFile(exported), bytes) << status->text().toStdString();
    EXPECT_EQ(status->text(), QStringLiteral("Exported \"report.txt\"."));
    EXPECT_FALSE(failureColoured());
}

TEST_F(BrowserTest, NameCollisionIsRefusedAndKeepsTheOriginal)
{
    browser->importFromPath(makeSource(QStringLiteral("a.txt"), "first"));
    const QString again = sourceDir + QStringLiteral("/again");
    ASSERT_TRUE(QDir().mkpath(again));
    const QString second = again + QStringLiteral("/a.txt");
    writeFile(second, "second");
    const quint64 generation = container->generationCounter();

    browser->importFromPath(second);
    EXPECT_EQ(status->text(),
              QStringLiteral("Could not import \"a.txt\" (a file with that name may already be in the vault)."));
    EXPECT_TRUE(failureColoured());
    EXPECT_EQ(readFile(second), QByteArray("second"));
    EXPECT_EQ(container->generationCounter(), generation);
    auto stored = container->readFileBytes(QStringLiteral("a.txt"));
    ASSERT_TRUE(stored);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(stored->data()), static_cast<int>(stored->size())), "first");
}

TEST_F(BrowserTest, FileTooLargeToImportIsRefusedWithTheReasonAndKept)
{
    const QString source = sourceDir + QStringLiteral("/disk.img");
    {
        QFile file(source);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        if (!file.resize(qint64{1} << 40))
            GTEST_SKIP() << "this file system does not hold a sparse 1 TiB file";
    }
    const quint64 generation = container->generationCounter();
    browser->importFromPath(source);
    EXPECT_EQ(status->text(), QStringLiteral("Could not import \"disk.img\" -- it is larger than the largest file the "
                                             "vault can hold (34359738368 bytes). Nothing was changed."));
    EXPECT_TRUE(failureColoured());
    EXPECT_EQ(QFileInfo(source).size(), qint64{1} << 40);
    EXPECT_EQ(container->generationCounter(), generation);
    EXPECT_EQ(table->rowCount(), 0);
    QFile::remove(source);
}

// Every refusal names its own cause: none of these is a name already in the vault, and none is a
// missing delete permission.
TEST_F(BrowserTest, RefusedImportsNameTheirRealCause)
{
    const QString notAFile = QStringLiteral("Could not import \"%1\" -- it is a device, a pipe or a socket, not an "
                                            "ordinary file. Only ordinary files can be imported. Nothing was changed.");
    const QByteArray rawName("caf\xe9.txt");  // Latin-1, not valid UTF-8
    const struct {
        const char* what;
        std::function<QString()> arrange;  // the path to import
        QString expected;
    } cases[] = {
        {"FIFO",
         [this] {
             const QString fifo = sourceDir + QStringLiteral("/pipe");
             EXPECT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
             return fifo;
         },
         notAFile.arg(QStringLiteral("pipe"))},
        {"character device", [] { return QStringLiteral("/dev/null"); },
         notAFile.arg(QStringLiteral("null"))},
        {"folder",
         [this] {
             const QString folder = sourceDir + QStringLiteral("/reports");
             EXPECT_TRUE(QDir().mkpath(folder));
             return folder;
         },
         QStringLiteral("Could not import \"reports\" -- it is a folder, not a file. Import the files inside it one at "
                        "a time. Nothing was changed.")},
        {"full index",
         [this] {
             fillIndex();
             return makeSource(QStringLiteral("late.txt"), "late");
         },
         QStringLiteral("Could not import \"late.txt\" -- the vault's index is full and cannot list another file. "
                        "Nothing was changed; remove files you no longer need from the vault to make room.")},
        {"name that is not UTF-8",
         [this, rawName] {
             const int fd = ::open(QFile::encodeName(sourceDir + QLatin1Char('/')).append(rawName).constData(),
                                   O_WRONLY | O_CREAT | O_EXCL, 0600);
             EXPECT_GE(fd, 0);
             ::close(fd);
             // As any decoding of the name gives it to the program.
             return sourceDir + QLatin1Char('/') + QFile::decodeName(rawName);
         },
         QStringLiteral("Could not import \"%1\" -- its name is not valid UTF-8 text, so Murravo cannot open the file "
                        "by that name. Nothing was changed; rename the file and import it again.")
             .arg(QFile::decodeName(rawName))},
        {"past the size limit",
         [this] {
             container->setMaxSizeBytes(container->currentTotalSizeBytes() + 4);
             return makeSource(QStringLiteral("big.txt"), "five!");
         },
         QStringLiteral("Could not import \"big.txt\" -- the vault would grow past its size limit. Nothing was "
                        "changed; raise or remove the limit in File > Configure > Storage, or remove files you no "
                        "longer need from the vault.")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const QString path = c.arrange();
        const quint64 generation = container->generationCounter();
        const std::size_t entries = container->listEntries().size();
        status->clear();

        browser->importFromPath(path);

        EXPECT_EQ(status->text(), c.expected);
        EXPECT_FALSE(status->text().contains(QStringLiteral("may already be in the vault")));
        EXPECT_FALSE(status->text().contains(QStringLiteral("permission")));
        EXPECT_TRUE(failureColoured());
        EXPECT_EQ(container->generationCounter(), generation);
        EXPECT_EQ(container->listEntries().size(), entries);
    }
    struct stat st {};
    EXPECT_EQ(::lstat(QFile::encodeName(sourceDir + QLatin1Char('/')).append(rawName).constData(), &st), 0)
        << "the file with the undecodable name is still there";
    EXPECT_TRUE(QFile::exists(sourceDir + QStringLiteral("/late.txt")));
}

TEST_F(BrowserTest, FileThatMayNotBeDeletedIsRefusedBeforeTheVaultIsTouched)
{
    const QString locked = sourceDir + QStringLiteral("/locked");
    ASSERT_TRUE(QDir().mkpath(locked));
    const QString source = locked + QStringLiteral("/secret.pdf");
    writeFile(source, "%PDF-1.4");
    const bool asRoot = ::geteuid() == 0;
    if (asRoot ? !setImmutable(locked, true) : !QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner))
        GTEST_SKIP() << "cannot take away delete permission here";
    const quint64 generation = container->generationCounter();

    browser->importFromPath(source);

    if (asRoot)
        setImmutable(locked, false);
    else
        QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_EQ(status->text(),
              QStringLiteral("Could not import \"secret.pdf\" -- you don't have permission to delete this file, and "
                             "this import flow always removes the original after copying it in. Free up delete "
                             "permission on it first, or move a copy somewhere you can delete before importing it."));
    EXPECT_TRUE(failureColoured());
    EXPECT_EQ(container->generationCounter(), generation);
    EXPECT_TRUE(container->listEntries().empty());
    EXPECT_TRUE(QFile::exists(source));
}

TEST_F(BrowserTest, ImportWhoseEraseFailsListsTheEntryAndNamesThePath)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs an immutable file, which only root can make";
    const QString source = makeSource(QStringLiteral("kept.txt"), "still here");
    if (!setImmutable(source, true))
        GTEST_SKIP() << "the file system does not take the immutable flag";
    browser->importFromPath(source);
    setImmutable(source, false);

    EXPECT_EQ(status->text(), QStringLiteral("Imported \"kept.txt\", but the original at \"%1\" could not be erased "
                                             "-- it's still on disk.")
                                  .arg(source));
    EXPECT_TRUE(failureColoured());
    ASSERT_EQ(table->rowCount(), 1);
    EXPECT_EQ(table->item(0, 0)->text(), QStringLiteral("kept.txt"));
}

TEST_F(BrowserTest, RemoveAsksWithCancelAsDefaultAndOnlyYesRemoves)
{
    browser->importFromPath(makeSource(QStringLiteral("draft.docx"), "PK draft"));
    const QString before = status->text();
    table->selectRow(0);

    auto cancelled = answerNextMessage(QMessageBox::Cancel);
    browser->onRemoveClicked();
    EXPECT_TRUE(cancelled->shown);
    EXPECT_TRUE(cancelled->cancelWasDefault);
    EXPECT_EQ(cancelled->title, QStringLiteral("Remove From Vault"));
    EXPECT_EQ(cancelled->text, QStringLiteral("Permanently remove \"draft.docx\" from the vault?\n\nThis cannot be "
                                              "undone -- there is no way to recover this file afterward."));
    EXPECT_TRUE(container->contains(QStringLiteral("draft.docx")));
    EXPECT_EQ(status->text(), before);

    auto confirmed = answerNextMessage(QMessageBox::Yes);
    browser->onRemoveClicked();
    EXPECT_TRUE(confirmed->shown);
    EXPECT_FALSE(container->contains(QStringLiteral("draft.docx")));
    EXPECT_EQ(status->text(), QStringLiteral("Removed \"draft.docx\" from the vault."));
    EXPECT_EQ(table->rowCount(), 0);
    EXPECT_FALSE(button("removeButton")->isEnabled());
}

TEST_F(BrowserTest, ClearingTheListLeavesNoNameOnScreen)
{
    browser->importFromPath(makeSource(QStringLiteral("one.txt"), "1"));
    browser->importFromPath(makeSource(QStringLiteral("two.txt"), "2"));
    table->selectRow(1);
    browser->clearDisplayedFileList();
    EXPECT_EQ(table->rowCount(), 0);
    EXPECT_FALSE(button("exportButton")->isEnabled());
    EXPECT_FALSE(button("removeButton")->isEnabled());
    EXPECT_EQ(container->listEntries().size(), 2u);
}

TEST_F(BrowserTest, ViewAndDoubleClickOpenTheViewerOnTheEntry)
{
    browser->importFromPath(makeSource(QStringLiteral("notes.txt"), "in memory only"));
    browser->importFromPath(makeSource(QStringLiteral("tool.bin"), "binary"));
    table->selectRow(0);
    ASSERT_TRUE(button("viewButton")->isEnabled());
    const QString statusBefore = status->text();

    auto seen = closeNextViewer();
    button("viewButton")->click();
    ASSERT_TRUE(seen->shown);
    EXPECT_EQ(seen->name, QStringLiteral("notes.txt"));
    EXPECT_EQ(seen->text, QStringLiteral("in memory only"));
    EXPECT_EQ(status->text(), statusBefore) << "a successful view leaves the status line alone";

    seen = closeNextViewer();
    browser->onRowDoubleClicked(1, 2);
    ASSERT_TRUE(seen->shown);
    EXPECT_EQ(seen->name, QStringLiteral("tool.bin"));
    EXPECT_TRUE(seen->text.startsWith(QStringLiteral("Murravo's built-in viewer doesn't support")));
}

// Each kind has a size the viewer can show within memory; a larger entry is refused from its
// listed size, before it is decrypted, and the viewer never opens.
TEST_F(BrowserTest, EntriesTooLargeToViewAreRefusedBeforeDecrypting)
{
    const struct {
        const char* name;
        qint64 size;
    } cases[] = {
        {"big.pdf", FileViewerDialog::kMaxPdfBytes + 1},
        {"big.png", FileViewerDialog::kMaxImageBytes + 1},
        {"big.docx", FileViewerDialog::kMaxOfficeBytes + 1},
        {"big.xlsx", FileViewerDialog::kMaxOfficeBytes + 1},
        {"big.txt", FileViewerDialog::kMaxTextBytes + 1},
    };
    for (const auto& c : cases) {
        const QString name = QString::fromLatin1(c.name);
        browser->importFromPath(makeSource(name, QByteArray(c.size, 'x')));
        const auto row = table->findItems(name, Qt::MatchExactly);
        ASSERT_EQ(row.size(), 1) << c.name;
        auto seen = closeNextViewer(kNoViewerPollMs);
        browser->viewRow(row.front()->row());
        // Stops at once: a text of this size in one line would keep the viewer busy for minutes.
        ASSERT_FALSE(seen->shown) << c.name;
        EXPECT_TRUE(failureColoured()) << c.name;
        EXPECT_EQ(status->text(),
                  QStringLiteral("Could not open \"%1\" for viewing -- at %2 bytes it is larger than the %3 bytes the "
                                 "viewer shows of this kind of file, so that it stays within memory. Use Export to "
                                 "open it in another application.")
                      .arg(name)
                      .arg(c.size)
                      .arg(c.size - 1))
            << c.name;
        ASSERT_TRUE(container->removeFile(name));
        browser->refreshList();
    }
    QTest::qWait(kNoViewerPollMs + 50);
}

TEST_F(BrowserTest, AnEntryThatCannotBeDecryptedIsReportedNotShown)
{
    browser->importFromPath(makeSource(QStringLiteral("notes.txt"), "words"));
    container->lockSynchronously();
    auto seen = closeNextViewer(kNoViewerPollMs);
    browser->viewRow(0);
    EXPECT_FALSE(seen->shown);
    EXPECT_EQ(status->text(), QStringLiteral("Could not open \"notes.txt\" for viewing."));
    EXPECT_TRUE(failureColoured());
}

TEST_F(BrowserTest, ProgressDialogsCancelImportAndExportLeavingEverythingAsItWas)
{
    const int delay = TransferProgressDialog::showDelayMs;
    TransferProgressDialog::showDelayMs = 0;  // shown at the first window, not after half a second
    CancelWhenShown canceller;
    // Three windows, so that the cancel lands part-way.
    const QByteArray contents(static_cast<qsizetype>(3 * dorvex::vault::TransferOptions::kWindowBytes), 'z');
    const QString source = makeSource(QStringLiteral("holiday.mkv"), contents);
    container.reset();  // the vault file's bytes as they stand
    const QByteArray vaultBefore = readFile(vaultPath());
    container = reopen(key);
    ASSERT_NE(container, nullptr);
    browser = std::make_unique<VaultBrowserWidget>(*container, vaultPath(), dataDir);
    status = browser->findChild<QLabel*>(QStringLiteral("vaultStatusLabel"));
    table = browser->findChild<QTableWidget*>(QStringLiteral("vaultTable"));

    browser->importFromPath(source);
    EXPECT_EQ(canceller.title, QStringLiteral("Murravo - Importing"));
    EXPECT_EQ(canceller.label, QStringLiteral("Importing \"holiday.mkv\"..."));
    EXPECT_EQ(status->text(),
              QStringLiteral("Import of \"holiday.mkv\" was cancelled. Nothing was changed, and the original is still "
                             "in place."));
    EXPECT_FALSE(failureColoured());
    EXPECT_EQ(table->rowCount(), 0);
    EXPECT_EQ(readFile(source), contents);
    EXPECT_EQ(QFileInfo(vaultPath()).size(), vaultBefore.size());
    EXPECT_EQ(readFile(vaultPath()), vaultBefore);

    canceller.enabled = false;
    browser->importFromPath(source);
    ASSERT_EQ(table->rowCount(), 1);
    EXPECT_FALSE(QFileInfo::exists(source));

    canceller.enabled = true;
    canceller.title.clear();
    table->selectRow(0);
    const QString folder = dorvex::test::makeScratchDir();
    exportSelectedTo(folder + QStringLiteral("/holiday.mkv"));
    EXPECT_EQ(canceller.title, QStringLiteral("Murravo - Exporting"));
    EXPECT_EQ(canceller.label, QStringLiteral("Exporting \"holiday.mkv\"..."));
    EXPECT_EQ(status->text(), QStringLiteral("Export of \"holiday.mkv\" was cancelled. Nothing was written."));
    EXPECT_TRUE(QDir(folder).entryList(QDir::Files | QDir::Hidden).isEmpty());

    canceller.enabled = false;
    table->selectRow(0);
    exportSelectedTo(folder + QStringLiteral("/holiday.mkv"));
    EXPECT_EQ(readFile(folder + QStringLiteral("/holiday.mkv")), contents);
    TransferProgressDialog::showDelayMs = delay;
    QTest::qWait(kNoViewerPollMs + 50);
}

