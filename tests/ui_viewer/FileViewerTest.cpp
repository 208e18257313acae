// The in-memory viewer: each kind, its limits and texts, nothing copied out, and the wipe.
#include "OfficeArchives.h"
#include "SampleFiles.h"
#include "TestSupport.h"

#include "ui/FileViewerDialog.h"

#include <QAbstractItemView>
#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPdfDocument>
#include <QPdfView>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

using namespace dorvex::test;

namespace {

const QString kUnsupported = QStringLiteral(
    "Murravo's built-in viewer doesn't support this file type yet. Use Export if you need to open it in another "
    "application.");
const QString kPasswordMessage =
    QStringLiteral("This PDF is password-protected or uses an encryption scheme Murravo's viewer doesn't support.");

std::vector<unsigned char> bytesOf(const QByteArray& bytes) { return toVector(bytes); }

// The content's message, or empty when the content is no message.
QString messageOf(const FileViewerDialog& dialog)
{
    for (const char* name : {"fileViewerMessageLabel", "fileViewerImageLabel"})
        if (const auto* label = dialog.findChild<QLabel*>(QString::fromLatin1(name)); label && !label->text().isEmpty())
            return label->text();
    return QString();
}

std::vector<unsigned char> twoSheetWorkbook()
{
    return xlsx({{"xl/worksheets/sheet1.xml", sheetXml({{{"A1", "first"}, {"B1", "sheet"}}})},
                 {"xl/worksheets/sheet2.xml", sheetXml({{{"A1", "second"}}, {{"A2", "two"}}})}});
}

struct Sample {
    QString name;
    std::vector<unsigned char> bytes;
};

// One file of every kind the viewer shows, plus the ones it refuses.
std::vector<Sample> everyKind()
{
    return {{"notes.txt", bytesOf("plain words")},
            {"photo.png", bytesOf(encodedImage(40, 30))},
            {"report.pdf", bytesOf(buildPdf({}))},
            {"letter.docx", docx(documentXml({"dear", "reader"}))},
            {"budget.xlsx", twoSheetWorkbook()},
            {"archive.zip", bytesOf("PK")},
            {"broken.docx", bytesOf("not a zip")},
            {"bomb.xlsx", toVector(buildZip({partWithRatio("xl/worksheets/sheet1.xml", sheetXml({}), 400)}))}};
}

}  // namespace

TEST(FileViewer, ChoosesTheKindByTheExtensionAlone)
{
    const struct {
        const char* name;
        FileViewerDialog::Kind kind;
    } cases[] = {{"a.png", FileViewerDialog::Kind::Image},  {"A.JPG", FileViewerDialog::Kind::Image},
                 {"a.jpeg", FileViewerDialog::Kind::Image}, {"a.gif", FileViewerDialog::Kind::Image},
                 {"a.bmp", FileViewerDialog::Kind::Image},  {"a.yml", FileViewerDialog::Kind::Text},
                 {"a.Md", FileViewerDialog::Kind::Text},    {"a.json", FileViewerDialog::Kind::Text},
                 {"a.PDF", FileViewerDialog::Kind::Pdf},    {"a.docx", FileViewerDialog::Kind::Word},
                 {"a.xlsx", FileViewerDialog::Kind::Excel}, {"a.doc", FileViewerDialog::Kind::Unsupported},
                 {"README", FileViewerDialog::Kind::Unsupported}, {"a.png.zip", FileViewerDialog::Kind::Unsupported}};
    for (const auto& c : cases)
        EXPECT_EQ(FileViewerDialog::kindOf(QString::fromLatin1(c.name)), c.kind) << c.name;

    // A PNG stored under a text name is shown as text, never sniffed.
    FileViewerDialog dialog(QStringLiteral("image.txt"), bytesOf(encodedImage(4, 4)));
    EXPECT_NE(dialog.findChild<QPlainTextEdit*>(), nullptr);
}

TEST(FileViewer, ShowsEachKind)
{
    {
        FileViewerDialog dialog(QStringLiteral("PHOTO.JPG"), bytesOf(encodedImage(64, 48, "JPEG")));
        EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Murravo - Viewer"));
        EXPECT_EQ(dialog.findChild<QLabel*>(QStringLiteral("fileViewerNameLabel"))->text(), QStringLiteral("PHOTO.JPG"));
        const QList<QLabel*> labels = dialog.findChildren<QLabel*>();
        const bool hasPixmap = std::any_of(labels.begin(), labels.end(), [](QLabel* l) {
            return l->pixmap().size() == QSize(64, 48);
        });
        EXPECT_TRUE(hasPixmap);
    }
    {
        FileViewerDialog dialog(QStringLiteral("notes.md"), bytesOf(QStringLiteral("line \u05e9\u05dc\u05d5\u05dd").toUtf8()));
        auto* view = dialog.findChild<QPlainTextEdit*>();
        ASSERT_NE(view, nullptr);
        EXPECT_EQ(view->toPlainText(), QStringLiteral("line \u05e9\u05dc\u05d5\u05dd"));
        EXPECT_TRUE(view->isReadOnly());
        EXPECT_EQ(view->textInteractionFlags(), Qt::NoTextInteraction);
        EXPECT_FALSE(view->document()->isUndoRedoEnabled());
    }
    {
        FileViewerDialog dialog(QStringLiteral("letter.docx"), docx(documentXml({"dear", "reader"})));
        ASSERT_NE(dialog.findChild<QPlainTextEdit*>(), nullptr);
        EXPECT_EQ(dialog.findChild<QPlainTextEdit*>()->toPlainText(), QStringLiteral("dear\nreader"));
    }
    {
        FileViewerDialog dialog(QStringLiteral("report.pdf"), bytesOf(buildPdf({3, {612, 792}, 0, {}, {}})));
        auto* view = dialog.findChild<QPdfView*>();
        ASSERT_NE(view, nullptr);
        ASSERT_NE(view->document(), nullptr);
        EXPECT_EQ(view->document()->pageCount(), 3);
        EXPECT_EQ(view->pageMode(), QPdfView::PageMode::MultiPage);
        EXPECT_EQ(view->contextMenuPolicy(), Qt::NoContextMenu);
    }
    for (const char* name : {"archive.zip", "README"}) {
        FileViewerDialog dialog(QString::fromLatin1(name), {});
        EXPECT_EQ(messageOf(dialog), kUnsupported) << name;
    }
}

TEST(FileViewer, WorkbooksWithOneSheetHaveNoSelectorAndMoreCanBeSwitched)
{
    {
        FileViewerDialog dialog(QStringLiteral("one.xlsx"),
                                xlsx({{"xl/worksheets/sheet1.xml", sheetXml({{{"B2", "x"}}})}}));
        EXPECT_EQ(dialog.findChild<QComboBox*>(), nullptr);
        auto* table = dialog.findChild<QTableWidget*>();
        ASSERT_NE(table, nullptr);
        EXPECT_EQ(table->rowCount(), 1);
        EXPECT_EQ(table->columnCount(), 2);
        EXPECT_EQ(table->item(0, 1)->text(), QStringLiteral("x"));
        EXPECT_EQ(table->selectionMode(), QAbstractItemView::NoSelection);
        EXPECT_EQ(table->editTriggers(), QAbstractItemView::NoEditTriggers);
        EXPECT_FALSE(dialog.findChild<QLabel*>(QStringLiteral("fileViewerSheetCutLabel"))->isVisibleTo(&dialog));
    }
    FileViewerDialog dialog(QStringLiteral("two.xlsx"), twoSheetWorkbook());
    auto* selector = dialog.findChild<QComboBox*>();
    auto* table = dialog.findChild<QTableWidget*>();
    ASSERT_NE(selector, nullptr);
    ASSERT_EQ(selector->count(), 2);
    EXPECT_EQ(selector->itemText(0), QStringLiteral("Sheet 1"));
    EXPECT_EQ(selector->itemText(1), QStringLiteral("Sheet 2"));
    EXPECT_EQ(table->item(0, 1)->text(), QStringLiteral("sheet"));
    selector->setCurrentIndex(1);
    EXPECT_EQ(table->rowCount(), 2);
    EXPECT_EQ(table->columnCount(), 1);
    EXPECT_EQ(table->item(1, 0)->text(), QStringLiteral("two"));
}

// Each row: a file the viewer cannot or must not show, and what it says instead.
TEST(FileViewer, RefusalsAndFailuresAreSaidInTheDialog)
{
    const struct {
        const char* name;
        QByteArray bytes;
        QString message;
    } cases[] = {
        {"corrupt.png", "\x89PNG\r\n\x1a\n not really", QStringLiteral("Could not decode this image.")},
        {"huge.png", pngHeaderOnly(100000, 100000), QStringLiteral("This image is too large to open safely.")},
        {"corrupt.pdf", "%PDF-1.4\nnothing here at all", QStringLiteral("Could not decode this document.")},
        {"locked.pdf", buildPdf({1, {612, 792}, 0, passwordEncryption(), {}}), kPasswordMessage},
        {"unknown-lock.pdf", buildPdf({1, {612, 792}, 0, unknownEncryption(), {}}), kPasswordMessage},
        {"many.pdf", buildPdf({10001, {612, 792}, 0, {}, {}}), QStringLiteral("This PDF has too many pages to open safely.")},
        {"broken.docx", "PK\x03\x04 broken", QStringLiteral("Could not decode this document.")},
        {"broken.xlsx", "PK\x03\x04 broken", QStringLiteral("Could not decode this spreadsheet.")},
    };
    for (const auto& c : cases) {
        FileViewerDialog dialog(QString::fromLatin1(c.name), bytesOf(c.bytes));
        EXPECT_EQ(messageOf(dialog), c.message) << c.name;
    }
    FileViewerDialog pages(QStringLiteral("pages.pdf"), bytesOf(buildPdf({10000, {612, 792}, 0, {}, {}})));
    EXPECT_NE(pages.findChild<QPdfView*>(), nullptr) << "10000 pages still open";
}

TEST(FileViewer, APdfOfExactly200MiBOpensAndOneByteMoreIsRefused)
{
    const QByteArray pdf = buildPdf({1, {612, 792}, FileViewerDialog::kMaxPdfBytes, {}, {}});
    ASSERT_EQ(pdf.size(), FileViewerDialog::kMaxPdfBytes);
    {
        FileViewerDialog dialog(QStringLiteral("large.pdf"), bytesOf(pdf));
        EXPECT_NE(dialog.findChild<QPdfView*>(), nullptr) << messageOf(dialog).toStdString();
    }
    FileViewerDialog dialog(QStringLiteral("larger.pdf"), bytesOf(pdf + ' '));
    EXPECT_EQ(messageOf(dialog), QStringLiteral("This PDF is too large to open safely."));
}

TEST(FileViewer, AHugePdfPageIsRenderedWithinThePixelCap)
{
    FileViewerDialog dialog(QStringLiteral("poster.pdf"),
                            bytesOf(buildPdf({2, {14400, 14400}, 0, {}, {}})));
    auto* view = dialog.findChild<QPdfView*>();
    ASSERT_NE(view, nullptr);
    const qreal perPoint =
        QGuiApplication::primaryScreen()->logicalDotsPerInch() / 72.0 * view->devicePixelRatioF() * view->zoomFactor();
    const QSizeF rendered = view->document()->pagePointSize(0) * perPoint;
    EXPECT_LE(rendered.width() * rendered.height(), qreal(FileViewerDialog::kMaxPagePixels));
    EXPECT_GT(rendered.width() * rendered.height(), 0.5 * FileViewerDialog::kMaxPagePixels);

    FileViewerDialog letter(QStringLiteral("letter.pdf"), bytesOf(buildPdf({})));
    EXPECT_EQ(letter.findChild<QPdfView*>()->zoomFactor(), 1.0) << "ordinary pages keep their size";
}

TEST(FileViewer, ASheetThatWouldPadToGigabytesIsCutAndSaysSo)
{
    QByteArray xml = "<worksheet><sheetData>";
    for (int row = 1; row <= 10000; ++row)
        xml += "<row><c r=\"XFD" + QByteArray::number(row) + "\"><v>1</v></c></row>";
    xml += "</sheetData></worksheet>";
    FileViewerDialog dialog(QStringLiteral("wide.xlsx"), xlsx({{"xl/worksheets/sheet1.xml", xml}}));
    auto* table = dialog.findChild<QTableWidget*>();
    ASSERT_NE(table, nullptr);
    EXPECT_LE(qint64(table->rowCount()) * table->columnCount(), dorvex::app::kMaxWorkbookCells);
    auto* cut = dialog.findChild<QLabel*>(QStringLiteral("fileViewerSheetCutLabel"));
    ASSERT_NE(cut, nullptr);
    EXPECT_TRUE(cut->isVisibleTo(&dialog));
    EXPECT_EQ(cut->text(), QStringLiteral("This sheet was cut to %1 rows and 16384 columns to keep memory bounded; use "
                                          "Export to see all of it in another application.")
                               .arg(table->rowCount()));
}

// Nothing shown may reach the clipboard, by any copy key, after selecting all or clicking a
// cell; nor can it be dragged out, printed or saved.
TEST(FileViewer, NothingCanBeCopiedDraggedPrintedOrSaved)
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    for (Sample& sample : everyKind()) {
        clipboard->setText(QStringLiteral("sentinel"));
        if (clipboard->supportsSelection())
            clipboard->setText(QStringLiteral("sentinel"), QClipboard::Selection);
        FileViewerDialog dialog(sample.name, sample.bytes);
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
        if (auto* table = dialog.findChild<QTableWidget*>()) {
            table->setCurrentCell(0, 0);
            QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, table->visualItemRect(table->item(0, 0)).center());
        }
        for (QWidget* widget : dialog.findChildren<QWidget*>()) {
            if (!widget->isVisible() || widget->focusPolicy() == Qt::NoFocus)
                continue;
            widget->setFocus();
            QTest::keyClick(widget, Qt::Key_A, Qt::ControlModifier);
            QTest::keyClick(widget, Qt::Key_C, Qt::ControlModifier);
            QTest::keyClick(widget, Qt::Key_Insert, Qt::ControlModifier);
            QTest::keyClick(widget, Qt::Key_X, Qt::ControlModifier);
            QTest::keyClick(widget, Qt::Key_P, Qt::ControlModifier);
            QTest::keyClick(widget, Qt::Key_S, Qt::ControlModifier);
            QContextMenuEvent menu(QContextMenuEvent::Keyboard, QPoint(2, 2), widget->mapToGlobal(QPoint(2, 2)));
            QCoreApplication::sendEvent(widget, &menu);
        }
        QCoreApplication::processEvents();
        EXPECT_EQ(clipboard->text(), QStringLiteral("sentinel")) << sample.name.toStdString();
        if (clipboard->supportsSelection()) {
            EXPECT_EQ(clipboard->text(QClipboard::Selection), QStringLiteral("sentinel")) << sample.name.toStdString();
        }
        for (QWidget* top : QApplication::topLevelWidgets())
            EXPECT_TRUE(top == &dialog || !top->isVisible()) << "a window opened: " << top->metaObject()->className();
        EXPECT_EQ(dialog.findChild<QMenu*>(), nullptr) << sample.name.toStdString();
        for (QAction* action : dialog.findChildren<QAction*>())
            EXPECT_TRUE(action->shortcut().isEmpty()) << action->text().toStdString();
        for (QAbstractItemView* view : dialog.findChildren<QAbstractItemView*>()) {
            EXPECT_FALSE(view->dragEnabled());
            EXPECT_EQ(view->dragDropMode(), QAbstractItemView::NoDragDrop);
        }
        for (QPlainTextEdit* text : dialog.findChildren<QPlainTextEdit*>())
            EXPECT_EQ(text->textInteractionFlags(), Qt::NoTextInteraction);
        for (QLabel* label : dialog.findChildren<QLabel*>())
            EXPECT_FALSE(label->textInteractionFlags() & (Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard));
    }
}

// After the wipe nothing shown is left, and no control brings it back.
TEST(FileViewer, WipeLeavesEveryKindEmpty)
{
    for (Sample& sample : everyKind()) {
        FileViewerDialog dialog(sample.name, sample.bytes);
        auto* selector = dialog.findChild<QComboBox*>();
        dialog.wipeContent();
        dialog.wipeContent();
        for (QPlainTextEdit* text : dialog.findChildren<QPlainTextEdit*>())
            EXPECT_TRUE(text->toPlainText().isEmpty()) << sample.name.toStdString();
        for (QLabel* label : dialog.findChildren<QLabel*>())
            EXPECT_TRUE(label->pixmap().isNull()) << sample.name.toStdString();
        if (selector != nullptr)
            selector->setCurrentIndex(1);
        for (QTableWidget* table : dialog.findChildren<QTableWidget*>()) {
            EXPECT_EQ(table->rowCount(), 0) << sample.name.toStdString();
            EXPECT_EQ(table->columnCount(), 0) << sample.name.toStdString();
        }
        for (QPdfView* view : dialog.findChildren<QPdfView*>())
            EXPECT_EQ(view->document(), nullptr) << "the view lets go of the document before its bytes are zeroed";
        for (QPdfDocument* document : dialog.findChildren<QPdfDocument*>()) {
            EXPECT_EQ(document->status(), QPdfDocument::Status::Null);
            EXPECT_EQ(document->pageCount(), 0);
        }
    }
}
