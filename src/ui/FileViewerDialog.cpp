#include "ui/FileViewerDialog.h"

#include "app/ScreenCapture.h"
#include "crypto/SecureBuffer.h"

#include <QBuffer>
#include <QComboBox>
#include <QEventLoop>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPdfDocument>
#include <QPdfView>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSet>
#include <QTableWidget>
#include <QTextDocument>
#include <QTextOption>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

using dorvex::app::wipeIfSoleOwner;

namespace {

const QSet<QString>& imageExtensions()
{
    static const QSet<QString> set{QStringLiteral("png"), QStringLiteral("jpg"), QStringLiteral("jpeg"),
                                   QStringLiteral("bmp"), QStringLiteral("gif")};
    return set;
}

const QSet<QString>& textExtensions()
{
    static const QSet<QString> set{QStringLiteral("txt"),  QStringLiteral("md"),  QStringLiteral("log"),
                                   QStringLiteral("csv"),  QStringLiteral("json"), QStringLiteral("xml"),
                                   QStringLiteral("ini"),  QStringLiteral("yaml"), QStringLiteral("yml")};
    return set;
}

QString extensionOf(const QString& name) { return QFileInfo(name).suffix().toLower(); }

QByteArray formatHint(const QString& extension)
{
    if (extension == u"png")
        return "PNG";
    if (extension == u"jpg" || extension == u"jpeg")
        return "JPEG";
    if (extension == u"bmp")
        return "BMP";
    return "GIF";
}

bool copiesOrSavesOut(const QKeyEvent* key)
{
    for (const QKeySequence::StandardKey standard :
         {QKeySequence::Copy, QKeySequence::Cut, QKeySequence::SelectAll, QKeySequence::Print, QKeySequence::Save,
          QKeySequence::SaveAs})
        if (key->matches(standard))
            return true;
    return false;
}

}  // namespace

FileViewerDialog::Kind FileViewerDialog::kindOf(const QString& name)
{
    const QString extension = extensionOf(name);
    if (extension == u"docx")
        return Kind::Word;
    if (extension == u"xlsx")
        return Kind::Excel;
    if (extension == u"pdf")
        return Kind::Pdf;
    if (imageExtensions().contains(extension))
        return Kind::Image;
    if (textExtensions().contains(extension))
        return Kind::Text;
    return Kind::Unsupported;
}

qint64 FileViewerDialog::maxBytes(Kind kind)
{
    switch (kind) {
    case Kind::Image:
        return kMaxImageBytes;
    case Kind::Text:
        return kMaxTextBytes;
    case Kind::Pdf:
        return kMaxPdfBytes;
    case Kind::Word:
    case Kind::Excel:
        return kMaxOfficeBytes;
    case Kind::Unsupported:
        break;
    }
    return std::numeric_limits<qint64>::max();
}

FileViewerDialog::FileViewerDialog(const QString& name, const std::vector<unsigned char>& bytes, QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(tr("Murravo - Viewer"));
    resize(760, 640);

    auto* nameLabel = new QLabel(name, this);
    nameLabel->setObjectName(QStringLiteral("fileViewerNameLabel"));
    nameLabel->setProperty("role", "heading");
    nameLabel->setWordWrap(true);

    // Every kind reads the caller's bytes in place: no copy is made that would need wiping,
    // except the one the PDF document reads from.
    const QString extension = extensionOf(name);
    QWidget* content = nullptr;
    switch (kindOf(name)) {
    case Kind::Image:
        content = buildImage(extension, bytes);
        break;
    case Kind::Text:
        content = buildText(QString::fromUtf8(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<qsizetype>(bytes.size())));
        break;
    case Kind::Pdf:
        content = buildPdf(bytes);
        break;
    case Kind::Word:
        if (std::optional<QString> text = dorvex::app::extractDocxText(bytes))
            content = buildText(std::move(*text));
        else
            content = messageLabel(tr("Could not decode this document."));
        break;
    case Kind::Excel:
        content = buildSheets(bytes);
        break;
    case Kind::Unsupported:
        content = messageLabel(tr("Murravo's built-in viewer doesn't support this file type yet. Use Export if you "
                                  "need to open it in another application."));
        break;
    }

    auto* note = new QLabel(tr("On Windows and macOS, screenshot and screen-recording tools are blocked while this "
                               "viewer is open; copying out of it is disabled everywhere. None of this prevents "
                               "someone from photographing the screen, and Linux has no equivalent capture-blocking "
                               "mechanism available."),
                            this);
    note->setProperty("role", "subtext");
    note->setWordWrap(true);

    auto* closeButton = new QPushButton(tr("Close"), this);
    closeButton->setObjectName(QStringLiteral("fileViewerCloseButton"));
    closeButton->setProperty("accent", true);
    connect(closeButton, &QPushButton::clicked, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(nameLabel);
    layout->addWidget(content, 1);
    layout->addWidget(note);
    layout->addWidget(closeButton);

    installEventFilter(this);
    for (QWidget* child : findChildren<QWidget*>())
        child->installEventFilter(this);
}

FileViewerDialog::~FileViewerDialog()
{
    wipeContent();
}

QWidget* FileViewerDialog::messageLabel(const QString& text)
{
    auto* label = new QLabel(text, this);
    label->setObjectName(QStringLiteral("fileViewerMessageLabel"));
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    return label;
}

QWidget* FileViewerDialog::buildImage(const QString& extension, const std::vector<unsigned char>& bytes)
{
    imageLabel_ = new QLabel;
    imageLabel_->setObjectName(QStringLiteral("fileViewerImageLabel"));
    imageLabel_->setContextMenuPolicy(Qt::NoContextMenu);
    imageLabel_->setAlignment(Qt::AlignCenter);

    const QByteArray view = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<qsizetype>(bytes.size()));
    QBuffer source;
    source.setData(view);
    source.open(QIODevice::ReadOnly);
    QImageReader reader(&source, formatHint(extension));
    const QSize size = reader.size();
    if (size.isValid() && static_cast<qint64>(size.width()) * size.height() > kMaxImagePixels) {
        imageLabel_->setText(tr("This image is too large to open safely."));
    } else {
        QImage image = reader.read();
        QPixmap pixmap = image.isNull() ? QPixmap() : QPixmap::fromImage(image);
        // The decoded copy dies here; blacken it unless the pixmap still shares it.
        if (!image.isNull() && image.isDetached())
            image.fill(Qt::black);
        image = QImage();
        if (pixmap.isNull())
            imageLabel_->setText(tr("Could not decode this image."));
        else
            imageLabel_->setPixmap(pixmap);
    }

    auto* scroll = new QScrollArea(this);
    scroll->setContextMenuPolicy(Qt::NoContextMenu);
    scroll->setAlignment(Qt::AlignCenter);
    scroll->setWidget(imageLabel_);
    scroll->setWidgetResizable(true);
    return scroll;
}

QWidget* FileViewerDialog::buildText(QString text)
{
    textView_ = new QPlainTextEdit(this);
    textView_->setReadOnly(true);
    textView_->setTextInteractionFlags(Qt::NoTextInteraction);
    textView_->setContextMenuPolicy(Qt::NoContextMenu);
    textView_->document()->setUndoRedoEnabled(false);
    QTextOption option = textView_->document()->defaultTextOption();
    option.setTextDirection(Qt::LayoutDirectionAuto);
    textView_->document()->setDefaultTextOption(option);
    textView_->setLayoutDirection(text.isRightToLeft() ? Qt::RightToLeft : Qt::LeftToRight);
    textView_->setPlainText(text);
    wipeIfSoleOwner(text);
    return textView_;
}

QWidget* FileViewerDialog::buildPdf(const std::vector<unsigned char>& bytes)
{
    if (bytes.size() > static_cast<std::size_t>(kMaxPdfBytes))
        return messageLabel(tr("This PDF is too large to open safely."));
    // Its own buffer, shared with no other array, so that the wipe may zero it in place.
    pdfBytes_ = QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
    pdfBuffer_ = new QBuffer(&pdfBytes_, this);
    pdfDocument_ = new QPdfDocument(this);
    const QString generic = tr("Could not decode this document.");
    if (!pdfBuffer_->open(QIODevice::ReadOnly))
        return messageLabel(generic);

    pdfDocument_->load(pdfBuffer_);
    if (pdfDocument_->status() == QPdfDocument::Status::Loading) {
        QEventLoop wait;
        if (connect(pdfDocument_, &QPdfDocument::statusChanged, &wait, &QEventLoop::quit)) {
            QTimer::singleShot(2000, &wait, &QEventLoop::quit);
            wait.exec(QEventLoop::ExcludeUserInputEvents);
        }
    }
    if (pdfDocument_->status() == QPdfDocument::Status::Ready) {
        const int pages = pdfDocument_->pageCount();
        if (pages > kMaxPdfPages)
            return messageLabel(tr("This PDF has too many pages to open safely."));
        pdfView_ = new QPdfView(this);
        pdfView_->setContextMenuPolicy(Qt::NoContextMenu);
        pdfView_->setPageMode(QPdfView::PageMode::MultiPage);
        // The view renders every page at the same zoom; shrink it until the largest page fits.
        const qreal pixelsPerPoint =
            QGuiApplication::primaryScreen()->logicalDotsPerInch() / 72.0 * pdfView_->devicePixelRatioF();
        qreal largest = 0;
        for (int page = 0; page < pages; ++page) {
            const QSizeF size = pdfDocument_->pagePointSize(page) * pixelsPerPoint;
            largest = std::max(largest, size.width() * size.height());
        }
        pdfView_->setZoomMode(QPdfView::ZoomMode::Custom);
        pdfView_->setZoomFactor(largest > kMaxPagePixels ? std::sqrt(kMaxPagePixels / largest) : 1.0);
        pdfView_->setDocument(pdfDocument_);
        return pdfView_;
    }
    const QPdfDocument::Error error = pdfDocument_->error();
    if (error == QPdfDocument::Error::IncorrectPassword || error == QPdfDocument::Error::UnsupportedSecurityScheme)
        return messageLabel(tr("This PDF is password-protected or uses an encryption scheme Murravo's viewer "
                               "doesn't support."));
    return messageLabel(generic);
}

QWidget* FileViewerDialog::buildSheets(const std::vector<unsigned char>& bytes)
{
    std::optional<std::vector<dorvex::app::XlsxSheet>> sheets = dorvex::app::extractXlsxSheets(bytes);
    if (!sheets || sheets->empty())
        return messageLabel(tr("Could not decode this spreadsheet."));
    sheets_ = std::move(*sheets);

    auto* holder = new QWidget(this);
    auto* layout = new QVBoxLayout(holder);
    layout->setContentsMargins(0, 0, 0, 0);
    if (sheets_.size() >= 2) {
        sheetSelector_ = new QComboBox(holder);
        sheetSelector_->setObjectName(QStringLiteral("fileViewerSheetSelector"));
        for (const dorvex::app::XlsxSheet& sheet : sheets_)
            sheetSelector_->addItem(sheet.name);
        connect(sheetSelector_, &QComboBox::currentIndexChanged, this, &FileViewerDialog::showSheet);
        layout->addWidget(sheetSelector_);
    }
    sheetCutLabel_ = new QLabel(holder);
    sheetCutLabel_->setObjectName(QStringLiteral("fileViewerSheetCutLabel"));
    sheetCutLabel_->setProperty("role", "subtext");
    sheetCutLabel_->setWordWrap(true);
    layout->addWidget(sheetCutLabel_);

    sheetTable_ = new QTableWidget(holder);
    sheetTable_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    sheetTable_->setContextMenuPolicy(Qt::NoContextMenu);
    sheetTable_->setSelectionMode(QAbstractItemView::NoSelection);
    sheetTable_->setDragEnabled(false);
    sheetTable_->setDragDropMode(QAbstractItemView::NoDragDrop);
    layout->addWidget(sheetTable_, 1);
    showSheet(0);
    return holder;
}

void FileViewerDialog::showSheet(int index)
{
    if (sheetTable_ == nullptr || index < 0 || index >= static_cast<int>(sheets_.size()))
        return;
    const dorvex::app::XlsxSheet& sheet = sheets_[static_cast<std::size_t>(index)];
    sheetTable_->clear();
    qsizetype columns = 0;
    for (const QStringList& row : sheet.rows)
        columns = std::max(columns, row.size());
    sheetTable_->setRowCount(static_cast<int>(sheet.rows.size()));
    sheetTable_->setColumnCount(static_cast<int>(columns));
    for (int r = 0; r < sheet.rows.size(); ++r) {
        const QStringList& row = sheet.rows[r];
        // Padding stays without items: an empty cell looks the same and costs nothing.
        for (int c = 0; c < row.size(); ++c)
            if (!row[c].isEmpty())
                sheetTable_->setItem(r, c, new QTableWidgetItem(row[c]));
    }
    sheetCutLabel_->setVisible(sheet.cut);
    sheetCutLabel_->setText(sheet.cut ? tr("This sheet was cut to %1 rows and %2 columns to keep memory bounded; "
                                           "use Export to see all of it in another application.")
                                            .arg(sheet.rows.size())
                                            .arg(columns)
                                      : QString());
}

void FileViewerDialog::wipeContent()
{
    // The view and the document let go of their page images and parsed objects before the
    // bytes they were read from are zeroed.
    if (pdfView_ != nullptr)
        pdfView_->setDocument(nullptr);
    if (pdfDocument_ != nullptr)
        pdfDocument_->close();
    if (pdfBuffer_ != nullptr)
        pdfBuffer_->close();
    wipeIfSoleOwner(pdfBytes_);

    if (imageLabel_ != nullptr) {
        QPixmap pixmap = imageLabel_->pixmap();
        imageLabel_->clear();
        if (!pixmap.isNull()) {
            QPainter painter(&pixmap);
            painter.fillRect(pixmap.rect(), Qt::black);
        }
    }

    if (textView_ != nullptr) {
        QString shown = textView_->toPlainText();
        if (!shown.isEmpty())
            textView_->setPlainText(QString(shown.size(), QLatin1Char('0')));
        textView_->clear();
        wipeIfSoleOwner(shown);
    }

    // The table's items share the sheets' strings: once they are gone, the sheets hold the
    // only reference and are zeroed in place.
    if (sheetTable_ != nullptr) {
        sheetTable_->clearContents();
        sheetTable_->setRowCount(0);
        sheetTable_->setColumnCount(0);
    }
    if (sheetSelector_ != nullptr) {
        const QSignalBlocker blocker(sheetSelector_);
        sheetSelector_->clear();
    }
    if (sheetCutLabel_ != nullptr)
        sheetCutLabel_->clear();
    dorvex::app::wipeSheets(sheets_);
}

void FileViewerDialog::excludeFromScreenCapture()
{
    dorvex::app::excludeWindowFromScreenCapture(winId());
}

void FileViewerDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    excludeFromScreenCapture();
}

bool FileViewerDialog::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::ShortcutOverride:
    case QEvent::KeyPress:
        if (copiesOrSavesOut(static_cast<QKeyEvent*>(event))) {
            event->accept();
            return true;
        }
        break;
    case QEvent::ContextMenu:
        return true;
    default:
        break;
    }
    return QDialog::eventFilter(watched, event);
}
