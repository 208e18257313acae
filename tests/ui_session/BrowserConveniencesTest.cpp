// The browser's conveniences: several files imported at once (dropped or picked), the transfer
// dialog's keys and its erase phase, the filter, the sorting and the keys.
#include "BrowserFixture.h"

#include "core/SecureErase.h"

#include "ui/ImportSummaryDialog.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <chrono>
#include <thread>

using namespace session_test;
using dorvex::core::SecureErase;

namespace {

// Presses a key on the transfer dialog as soon as it shows, where the keyboard focus is in it.
class KeyWhenShown : public QObject {
public:
    explicit KeyWhenShown(Qt::Key key) : key_(key) { qApp->installEventFilter(this); }
    ~KeyWhenShown() override { qApp->removeEventFilter(this); }
    bool pressed = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        auto* dialog = qobject_cast<QProgressDialog*>(watched);
        if (!pressed && event->type() == QEvent::Show && dialog != nullptr
            && dialog->objectName() == QStringLiteral("transferProgressDialog")) {
            pressed = true;
            // Delivered at the next window, once the dialog has settled its focus.
            QTimer::singleShot(0, dialog, [dialog, key = key_] {
                QWidget* target = dialog->focusWidget() != nullptr ? dialog->focusWidget() : dialog;
                QTest::keyClick(target, key);
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    Qt::Key key_;
};

}  // namespace

// Qt makes a dialog's only button its default, so a stray Return pressed Cancel; Cancel takes a
// click or Escape.
TEST_F(BrowserTest, ReturnOnTheTransferDialogNeverCancelsButEscapeDoes)
{
    ProgressShownAtOnce shownAtOnce;
    // Several windows, so that a key lands while the import runs.
    const QByteArray contents(static_cast<qsizetype>(3 * dorvex::vault::TransferOptions::kWindowBytes), 'r');
    const struct {
        const char* what;
        Qt::Key key;
        bool cancels;
    } cases[] = {{"Return", Qt::Key_Return, false}, {"Enter", Qt::Key_Enter, false}, {"Escape", Qt::Key_Escape, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const QString name = QStringLiteral("film-%1.mkv").arg(c.key);
        const QString source = makeSource(name, contents);
        KeyWhenShown presser(c.key);
        browser->importFromPath(source);
        ASSERT_TRUE(presser.pressed);
        EXPECT_EQ(container->contains(name), !c.cancels) << status->text().toStdString();
        EXPECT_EQ(QFileInfo::exists(source), c.cancels);
    }
}

namespace {

// Looks at the window while the erase of an original runs: every write of the erase is slowed a
// little, as on a slow disk, and asks whether the transfer dialog is up and what it says.
struct EraseWatch {
    static inline int writes = 0;
    static inline int writesSeenWithDialog = 0;
    static inline QString label;
    static inline int cancelAtWrite = 0;  // clicks Cancel at this write; 0 never
    static inline bool cancelClicked = false;
    static bool hook(SecureErase::Step step)
    {
        if (step != SecureErase::Step::Write)
            return true;
        ++writes;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (QProgressDialog* dialog = visibleTransferDialog()) {
            ++writesSeenWithDialog;
            label = dialog->labelText();
            if (writes == cancelAtWrite) {
                if (auto* cancel = dialog->findChild<QPushButton*>()) {
                    cancel->click();
                    cancelClicked = true;
                }
            }
        }
        return true;
    }
    EraseWatch()
    {
        writes = writesSeenWithDialog = cancelAtWrite = 0;
        cancelClicked = false;
        label.clear();
        SecureErase::stepHook = &hook;
    }
    ~EraseWatch() { SecureErase::stepHook = nullptr; }
};

}  // namespace

// The erase of a large original takes seconds: the dialog stays up through it, says so, and the
// window keeps handling its events meanwhile. Cancel cannot stop an erase once the import
// committed: pressed then, the erase finishes and the file counts as imported.
TEST_F(BrowserTest, TheTransferDialogStaysUpThroughTheEraseWhichCancelCannotStop)
{
    ProgressShownAtOnce shownAtOnce;
    const QByteArray contents(static_cast<qsizetype>(2 * dorvex::vault::TransferOptions::kWindowBytes), 'e');
    for (const bool cancelDuringErase : {false, true}) {
        SCOPED_TRACE(cancelDuringErase ? "Cancel pressed during the erase" : "left alone");
        const QString name = cancelDuringErase ? QStringLiteral("cancelled.iso") : QStringLiteral("kept.iso");
        const QString source = makeSource(name, contents);
        EraseWatch watch;
        EraseWatch::cancelAtWrite = cancelDuringErase ? 40 : 0;
        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
        ticker.start(5);

        browser->importFromPath(source);
        ticker.stop();

        const int writesOfTheErase = static_cast<int>(3 * contents.size() / SecureErase::kChunkBytes);
        EXPECT_EQ(EraseWatch::writes, writesOfTheErase);
        EXPECT_EQ(EraseWatch::writesSeenWithDialog, writesOfTheErase);
        if (cancelDuringErase) {
            EXPECT_TRUE(EraseWatch::cancelClicked);
            EXPECT_EQ(EraseWatch::label, QStringLiteral("\"%1\" is already in the vault: finishing the secure erase of "
                                                        "its original. Nothing more will be imported.")
                                             .arg(name));
        } else {
            EXPECT_EQ(EraseWatch::label, QStringLiteral("Securely erasing the original of \"%1\"...").arg(name));
        }
        // Two milliseconds a write: the window had its turn many times over.
        EXPECT_GT(ticks, 20);
        EXPECT_EQ(status->text(), QStringLiteral("Imported \"%1\" and securely erased the original.").arg(name));
        EXPECT_FALSE(QFileInfo::exists(source));
        EXPECT_TRUE(container->contains(name));
    }
}

namespace {

// One file of a batch in the summary: the group it is under and what it says.
struct SummaryRow {
    QString group;
    QString outcome;
};

struct SummarySeen {
    bool shown = false;
    QString title;
    std::map<QString, SummaryRow> rows;  // by file name
};

// Reads the summary when it shows, then closes it.
std::shared_ptr<SummarySeen> readNextSummary()
{
    auto seen = std::make_shared<SummarySeen>();
    dorvex::test::whenShown<ImportSummaryDialog>([seen](ImportSummaryDialog* dialog) {
        seen->shown = true;
        seen->title = dialog->windowTitle();
        auto* list = dialog->findChild<QTreeWidget*>(QStringLiteral("importSummaryList"));
        for (int g = 0; list != nullptr && g < list->topLevelItemCount(); ++g) {
            const QTreeWidgetItem* group = list->topLevelItem(g);
            for (int i = 0; i < group->childCount(); ++i)
                seen->rows[group->child(i)->text(0)] = {group->text(0), group->child(i)->text(1)};
        }
        dialog->findChild<QPushButton*>(QStringLiteral("importSummaryCloseButton"))->click();
    });
    return seen;
}

// Counts how often the transfer dialog shows: once for a whole batch.
class TransferDialogShows : public QObject {
public:
    TransferDialogShows() { qApp->installEventFilter(this); }
    ~TransferDialogShows() override { qApp->removeEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show && watched->objectName() == QStringLiteral("transferProgressDialog"))
            ++count;
        return QObject::eventFilter(watched, event);
    }
};

QList<QUrl> localUrls(const QStringList& paths)
{
    QList<QUrl> urls;
    for (const QString& path : paths)
        urls.push_back(QUrl::fromLocalFile(path));
    return urls;
}

// Drags `urls` over the browser and drops them there, as a file manager does; whether the
// browser took the drag.
bool dragAndDrop(QWidget& target, const QList<QUrl>& urls, const QString& text = QString())
{
    QMimeData mime;
    if (!urls.isEmpty())
        mime.setUrls(urls);
    if (!text.isEmpty())
        mime.setText(text);
    const QPoint middle = target.rect().center();
    const Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
    QDragEnterEvent enter(middle, offered, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&target, &enter);
    if (!enter.isAccepted())
        return false;
    EXPECT_EQ(enter.dropAction(), Qt::CopyAction) << "the browser erases the originals itself";
    QDropEvent drop(QPointF(middle), offered, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&target, &drop);
    EXPECT_TRUE(drop.isAccepted());
    EXPECT_EQ(drop.dropAction(), Qt::CopyAction);
    return true;
}

}  // namespace

// Only local files are taken: text, or links to elsewhere alone, are turned away at the door.
TEST_F(BrowserTest, TheBrowserTakesDragsOfLocalFilesOnly)
{
    const QString file = makeSource(QStringLiteral("scan.png"), "png");
    const QUrl remote(QStringLiteral("https://example.org/scan.png"));
    const struct {
        const char* what;
        QList<QUrl> urls;
        QString text;
        bool taken;
    } cases[] = {
        {"plain text", {}, QStringLiteral("scan.png"), false},
        {"a remote link", {remote}, QString(), false},
        {"a local file beside a remote link", {remote, QUrl::fromLocalFile(file)}, QString(), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QMimeData mime;
        if (!c.urls.isEmpty())
            mime.setUrls(c.urls);
        if (!c.text.isEmpty())
            mime.setText(c.text);
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(browser.get(), &enter);
        EXPECT_EQ(enter.isAccepted(), c.taken);
    }
}

// A drop of several files: each gets the checks, the import and the erase of a single import,
// one refusal in the middle does not stop the rest, one dialog covers them all, and the summary
// names every file with its outcome.
TEST_F(BrowserTest, ADroppedBatchImportsEachFileAndSummarisesEveryOutcome)
{
    ProgressShownAtOnce shownAtOnce;
    const QByteArray large(static_cast<qsizetype>(2 * dorvex::vault::TransferOptions::kWindowBytes), 'L');
    browser->importFromPath(makeSource(QStringLiteral("taken.txt"), "already in the vault"));
    const QString first = makeSource(QStringLiteral("first.bin"), large);
    const QString folder = sourceDir + QStringLiteral("/reports");
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(QDir().mkpath(sourceDir + QStringLiteral("/other")));
    const QString taken = sourceDir + QStringLiteral("/other/taken.txt");
    writeFile(taken, "a second taken.txt");
    const QString last = makeSource(QStringLiteral("last.bin"), large);
    const QByteArray identityBefore = readFile(dataDir + QStringLiteral("/identity.dat"));
    QList<QUrl> urls = localUrls({first, folder, taken, dataDir + QStringLiteral("/identity.dat")});
    urls.push_back(QUrl(QStringLiteral("sftp://files.example.org/remote.pdf")));
    urls.push_back(QUrl::fromLocalFile(last));

    TransferDialogShows shows;
    auto summary = readNextSummary();
    ASSERT_TRUE(dragAndDrop(*browser, urls));
    ASSERT_TRUE(QTest::qWaitFor([&summary] { return summary->shown; }, 20000));

    EXPECT_EQ(summary->title, QStringLiteral("Murravo - Import Summary"));
    EXPECT_EQ(shows.count, 1) << "one dialog over the whole batch";
    const QString imported = QStringLiteral("Imported (2)");
    const QString skipped = QStringLiteral("Skipped (4)");
    const std::map<QString, SummaryRow> expected = {
        {QStringLiteral("first.bin"), {imported, QStringLiteral("Imported \"first.bin\" and securely erased the original.")}},
        {QStringLiteral("reports"),
         {skipped, QStringLiteral("Could not import \"reports\" -- it is a folder, not a file. Import the files inside "
                                  "it one at a time. Nothing was changed.")}},
        {QStringLiteral("taken.txt"),
         {skipped, QStringLiteral("Could not import \"taken.txt\" (a file with that name may already be in the "
                                  "vault).")}},
        {QStringLiteral("identity.dat"),
         {skipped, QStringLiteral("Could not import \"identity.dat\" -- it is one of Murravo's own files (the vault, "
                                  "its lock file or a file in its data folder), and importing it would erase it.")}},
        {QStringLiteral("sftp://files.example.org/remote.pdf"),
         {skipped, QStringLiteral("Could not import \"sftp://files.example.org/remote.pdf\" -- it is not a file on "
                                  "this computer. Only local files can be imported. Nothing was changed.")}},
        {QStringLiteral("last.bin"), {imported, QStringLiteral("Imported \"last.bin\" and securely erased the original.")}},
    };
    for (const auto& [name, row] : expected) {
        SCOPED_TRACE(name.toStdString());
        ASSERT_TRUE(summary->rows.count(name));
        EXPECT_EQ(summary->rows.at(name).group, row.group);
        EXPECT_EQ(summary->rows.at(name).outcome, row.outcome);
    }
    EXPECT_EQ(summary->rows.size(), expected.size());
    EXPECT_EQ(status->text(), QStringLiteral("Imported 2 of 6 files; 4 skipped, 0 left untouched."));
    EXPECT_TRUE(failureColoured());

    EXPECT_FALSE(QFileInfo::exists(first));
    EXPECT_FALSE(QFileInfo::exists(last));
    EXPECT_EQ(readFile(taken), QByteArray("a second taken.txt"));
    EXPECT_EQ(readFile(dataDir + QStringLiteral("/identity.dat")), identityBefore);
    ASSERT_EQ(table->rowCount(), 3);
    EXPECT_EQ(table->item(1, 0)->text(), QStringLiteral("first.bin"));
    EXPECT_EQ(table->item(2, 0)->text(), QStringLiteral("last.bin"));
}

// Cancel pressed while the second file is read: that file is left as it was, the third is not
// begun, and the first, already in the vault, stays there with its original erased.
TEST_F(BrowserTest, CancelStopsTheBatchBetweenFilesAndLeavesTheRestUntouched)
{
    ProgressShownAtOnce shownAtOnce;
    const QByteArray contents(static_cast<qsizetype>(3 * dorvex::vault::TransferOptions::kWindowBytes), 'c');
    const QStringList paths = {makeSource(QStringLiteral("one.mkv"), contents),
                               makeSource(QStringLiteral("two.mkv"), contents),
                               makeSource(QStringLiteral("three.mkv"), contents)};
    const quint64 generationBefore = container->generationCounter();
    QTimer canceller;
    QObject::connect(&canceller, &QTimer::timeout, [] {
        QProgressDialog* dialog = visibleTransferDialog();
        if (dialog != nullptr && dialog->labelText() == QStringLiteral("Importing \"two.mkv\"..."))
            dialog->findChild<QPushButton*>()->click();
    });
    canceller.start(0);
    auto summary = readNextSummary();

    browser->importPaths(paths);
    canceller.stop();

    ASSERT_TRUE(summary->shown);
    EXPECT_EQ(summary->rows[QStringLiteral("one.mkv")].group, QStringLiteral("Imported (1)"));
    EXPECT_EQ(summary->rows[QStringLiteral("two.mkv")].group, QStringLiteral("Left untouched (2)"));
    EXPECT_EQ(summary->rows[QStringLiteral("two.mkv")].outcome,
              QStringLiteral("Import of \"two.mkv\" was cancelled. Nothing was changed, and the original is still in "
                             "place."));
    EXPECT_EQ(summary->rows[QStringLiteral("three.mkv")].group, QStringLiteral("Left untouched (2)"));
    EXPECT_EQ(summary->rows[QStringLiteral("three.mkv")].outcome,
              QStringLiteral("Not imported: the import was cancelled before this file. It is still in place."));
    EXPECT_EQ(status->text(), QStringLiteral("Imported 1 of 3 files; 0 skipped, 2 left untouched."));
    EXPECT_FALSE(failureColoured());

    EXPECT_FALSE(QFileInfo::exists(paths[0]));
    EXPECT_EQ(readFile(paths[1]), contents);
    EXPECT_EQ(readFile(paths[2]), contents);
    EXPECT_EQ(container->generationCounter(), generationBefore + 1);
    ASSERT_EQ(table->rowCount(), 1);
    EXPECT_EQ(table->item(0, 0)->text(), QStringLiteral("one.mkv"));
}

// The Import dialog takes several files at once.
TEST_F(BrowserTest, TheImportDialogTakesSeveralFiles)
{
    const QString one = makeSource(QStringLiteral("one.txt"), "1");
    const QString two = makeSource(QStringLiteral("two.txt"), "2");
    dorvex::test::whenShown<QFileDialog>([this](QFileDialog* dialog) {
        EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Import into vault"));
        EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFiles);
        dialog->setDirectory(sourceDir);
        auto* nameEdit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(nameEdit, nullptr);
        nameEdit->setText(QStringLiteral("\"one.txt\" \"two.txt\""));
        QMetaObject::invokeMethod(dialog, "accept");
    });
    auto summary = readNextSummary();
    browser->onImportClicked();
    ASSERT_TRUE(summary->shown);
    EXPECT_EQ(summary->rows.size(), 2u);
    EXPECT_EQ(table->rowCount(), 2);
    EXPECT_FALSE(QFileInfo::exists(one));
    EXPECT_FALSE(QFileInfo::exists(two));
}

namespace {

// The names of the rows on screen, top to bottom.
QStringList visibleNames(const QTableWidget& table)
{
    QStringList names;
    for (int row = 0; row < table.rowCount(); ++row)
        if (!table.isRowHidden(row))
            names << table.item(row, 0)->text();
    return names;
}

}  // namespace

// The filter matches names without regard to case and keeps the vault's order; an entry it hides
// is never what View, Export or Remove act on.
TEST_F(BrowserTest, TheFilterShowsMatchingNamesInTheVaultsOrderAndHidesThemFromTheActions)
{
    for (const char* name : {"Tax-Return.pdf", "passport.png", "tax notes.txt", "budget.xlsx"})
        browser->importFromPath(makeSource(QString::fromLatin1(name), name));
    auto* filter = browser->findChild<QLineEdit*>(QStringLiteral("vaultFilterEdit"));
    ASSERT_NE(filter, nullptr);

    const struct {
        const char* typed;
        QStringList shown;
    } cases[] = {
        {"TAX", {QStringLiteral("Tax-Return.pdf"), QStringLiteral("tax notes.txt")}},
        {"  .p", {QStringLiteral("Tax-Return.pdf"), QStringLiteral("passport.png")}},
        {"nothing like it", {}},
        {"", {QStringLiteral("Tax-Return.pdf"), QStringLiteral("passport.png"), QStringLiteral("tax notes.txt"),
              QStringLiteral("budget.xlsx")}},
    };
    for (const auto& c : cases) {
        filter->setText(QString::fromLatin1(c.typed));
        EXPECT_EQ(visibleNames(*table), c.shown) << c.typed;
    }

    table->selectRow(3);  // budget.xlsx
    ASSERT_TRUE(button("removeButton")->isEnabled());
    filter->setText(QStringLiteral("tax"));
    EXPECT_FALSE(button("viewButton")->isEnabled());
    EXPECT_FALSE(button("exportButton")->isEnabled());
    EXPECT_FALSE(button("removeButton")->isEnabled());
    bool asked = false;
    dorvex::test::whenShown<QMessageBox>([&asked](QMessageBox* box) { asked = true; box->reject(); }, QString(), 200);
    browser->onRemoveClicked();
    QTest::qWait(300);
    EXPECT_FALSE(asked) << "nothing on screen is selected";

    table->selectRow(2);  // tax notes.txt, shown
    auto confirmed = answerNextMessage(QMessageBox::Yes);
    browser->onRemoveClicked();
    ASSERT_TRUE(confirmed->shown);
    EXPECT_TRUE(confirmed->text.startsWith(QStringLiteral("Permanently remove \"tax notes.txt\" from the vault?")));
    EXPECT_FALSE(container->contains(QStringLiteral("tax notes.txt")));
    EXPECT_EQ(visibleNames(*table), QStringList{QStringLiteral("Tax-Return.pdf")}) << "the filter holds after a refresh";
}

// Off until a header is clicked; then by that column, sizes and times by value, again to flip.
TEST_F(BrowserTest, ClickingAHeaderSortsByThatColumn)
{
    const struct {
        const char* name;
        int size;
        qint64 importedAtMs;
    } entries[] = {{"b.txt", 100, 1'900'000'300'000}, {"C.txt", 3, 1'900'000'100'000}, {"a.txt", 20, 1'900'000'200'000}};
    for (const auto& entry : entries) {
        g_nowMs = entry.importedAtMs;
        browser->importFromPath(makeSource(QString::fromLatin1(entry.name), QByteArray(entry.size, 's')));
    }
    browser->show();
    const QStringList vaultOrder = {QStringLiteral("b.txt"), QStringLiteral("C.txt"), QStringLiteral("a.txt")};
    EXPECT_FALSE(table->isSortingEnabled());
    EXPECT_EQ(visibleNames(*table), vaultOrder);

    QHeaderView* header = table->horizontalHeader();
    const auto clickHeader = [header](int section) {
        QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier,
                          QPoint(header->sectionViewportPosition(section) + header->sectionSize(section) / 2,
                                 header->height() / 2));
    };
    const struct {
        int section;
        QStringList order;
    } clicks[] = {
        {1, {QStringLiteral("C.txt"), QStringLiteral("a.txt"), QStringLiteral("b.txt")}},  // 3, 20, 100 bytes
        {1, {QStringLiteral("b.txt"), QStringLiteral("a.txt"), QStringLiteral("C.txt")}},
        {0, {QStringLiteral("a.txt"), QStringLiteral("b.txt"), QStringLiteral("C.txt")}},
        {2, {QStringLiteral("C.txt"), QStringLiteral("a.txt"), QStringLiteral("b.txt")}},
    };
    for (const auto& click : clicks) {
        clickHeader(click.section);
        EXPECT_EQ(visibleNames(*table), click.order) << "section " << click.section;
    }

    // A new entry takes its place in the order, and the filter follows the rows that moved.
    g_nowMs = 1'900'000'000'000;
    browser->importFromPath(makeSource(QStringLiteral("d.txt"), "d"));
    EXPECT_EQ(visibleNames(*table).front(), QStringLiteral("d.txt"));
    browser->findChild<QLineEdit*>(QStringLiteral("vaultFilterEdit"))->setText(QStringLiteral("a"));
    clickHeader(1);
    EXPECT_EQ(visibleNames(*table), QStringList{QStringLiteral("a.txt")});
}

// Return views, Delete removes after the same question, Ctrl+I imports, Ctrl+F goes to the
// filter, where Return and Delete edit the text instead.
TEST_F(BrowserTest, KeysViewRemoveImportAndFilter)
{
    browser->importFromPath(makeSource(QStringLiteral("notes.txt"), "in memory only"));
    browser->importFromPath(makeSource(QStringLiteral("plan.txt"), "the plan"));
    browser->show();
    auto* filter = browser->findChild<QLineEdit*>(QStringLiteral("vaultFilterEdit"));
    // As the window manager does when a dialog closes: the window and its focus come back.
    const auto focusOn = [this](QWidget* widget) {
        QApplication::setActiveWindow(browser.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(browser.get()));
        widget->setFocus();
    };
    focusOn(table);
    table->selectRow(1);

    auto seen = closeNextViewer();
    QTest::keyClick(table, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&seen] { return seen->shown; }));
    EXPECT_EQ(seen->name, QStringLiteral("plan.txt"));

    focusOn(table);
    auto asked = answerNextMessage(QMessageBox::Cancel);
    QTest::keyClick(table, Qt::Key_Delete);
    ASSERT_TRUE(QTest::qWaitFor([&asked] { return asked->shown; }));
    EXPECT_EQ(asked->title, QStringLiteral("Remove From Vault"));
    EXPECT_TRUE(asked->cancelWasDefault);
    EXPECT_TRUE(container->contains(QStringLiteral("plan.txt")));

    bool importAsked = false;
    dorvex::test::whenShown<QFileDialog>([&importAsked](QFileDialog* dialog) {
        importAsked = dialog->windowTitle() == QStringLiteral("Import into vault");
        dialog->reject();
    });
    focusOn(table);
    QTest::keyClick(table, Qt::Key_I, Qt::ControlModifier);
    ASSERT_TRUE(QTest::qWaitFor([&importAsked] { return importAsked; }));

    focusOn(table);
    QTest::keyClick(table, Qt::Key_F, Qt::ControlModifier);
    EXPECT_TRUE(filter->hasFocus());
    QTest::keyClicks(filter, QStringLiteral("planx"));
    bool opened = false;
    dorvex::test::whenShown<QDialog>(
        [&opened](QDialog* shown) {
            opened = true;
            shown->reject();
        },
        QString(), 200);
    QTest::keyClick(filter, Qt::Key_Backspace);
    QTest::keyClick(filter, Qt::Key_Home);
    QTest::keyClick(filter, Qt::Key_Delete);
    QTest::keyClick(filter, Qt::Key_Return);
    QTest::qWait(300);
    EXPECT_EQ(filter->text(), QStringLiteral("lan"));
    EXPECT_FALSE(opened) << "no viewer, no question";
    EXPECT_TRUE(container->contains(QStringLiteral("plan.txt")));
}
