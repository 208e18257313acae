#pragma once

#include "app/office/OfficeExtraction.h"

#include <QByteArray>
#include <QDialog>

#include <limits>
#include <vector>

class QBuffer;
class QComboBox;
class QLabel;
class QPdfDocument;
class QPdfView;
class QPlainTextEdit;
class QTableWidget;

// Shows one decrypted vault entry in memory: nothing reaches the disk or the clipboard, and
// everything shown is wiped when the dialog goes away or the session is wiped.
class FileViewerDialog : public QDialog {
    Q_OBJECT
public:
    enum class Kind { Image, Text, Pdf, Word, Excel, Unsupported };

    static constexpr qint64 kMaxPdfBytes = 209715200;
    static constexpr int kMaxPdfPages = 10000;
    // Entry sizes the viewer opens, checked by the browser before anything is decrypted. Each
    // keeps the peak near a few hundred MiB: the decrypted entry, at most one copy of it, and
    // what Qt builds from it (UTF-16 text is twice the bytes; Office parts are bounded apart).
    static constexpr qint64 kMaxImageBytes = 64ll * 1024 * 1024;
    static constexpr qint64 kMaxTextBytes = 32ll * 1024 * 1024;
    static constexpr qint64 kMaxOfficeBytes = 64ll * 1024 * 1024;
    // Decoded pixels of an image (256 MiB at 32 bits, Qt's own reader limit) and rendered
    // pixels of one PDF page (32 MiB; the view caches up to 21 pages).
    static constexpr qint64 kMaxImagePixels = 8192ll * 8192;
    static constexpr qint64 kMaxPagePixels = 8ll * 1024 * 1024;

    [[nodiscard]] static Kind kindOf(const QString& name);
    // Largest entry of the kind that is decrypted for viewing; an unsupported one never is.
    [[nodiscard]] static qint64 maxBytes(Kind kind);

    FileViewerDialog(const QString& name, const std::vector<unsigned char>& bytes, QWidget* parent = nullptr);
    ~FileViewerDialog() override;

    // Wipes everything shown; harmless to call twice.
    void wipeContent();
    void excludeFromScreenCapture();

protected:
    void showEvent(QShowEvent* event) override;
    // Swallows every way of copying, printing or saving what is shown.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* buildImage(const QString& extension, const std::vector<unsigned char>& bytes);
    QWidget* buildText(QString text);
    QWidget* buildPdf(const std::vector<unsigned char>& bytes);
    QWidget* buildSheets(const std::vector<unsigned char>& bytes);
    QWidget* messageLabel(const QString& text);
    void showSheet(int index);

    QByteArray pdfBytes_;
    QBuffer* pdfBuffer_ = nullptr;
    QPdfDocument* pdfDocument_ = nullptr;
    QPdfView* pdfView_ = nullptr;
    QLabel* imageLabel_ = nullptr;
    QPlainTextEdit* textView_ = nullptr;
    QTableWidget* sheetTable_ = nullptr;
    QLabel* sheetCutLabel_ = nullptr;
    QComboBox* sheetSelector_ = nullptr;
    // The one copy of the sheets; the selector's handler reads it, never copies it.
    std::vector<dorvex::app::XlsxSheet> sheets_;
};
