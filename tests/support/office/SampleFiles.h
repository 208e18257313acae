#pragma once

#include <QByteArray>
#include <QSizeF>

// PDFs and images made in tests.
namespace dorvex::test {

struct PdfShape {
    int pages = 1;
    QSizeF pageSize{612, 792};
    // When above the natural size, a comment pads the file to exactly this many bytes.
    qint64 exactSize = 0;
    // The body of an /Encrypt dictionary, or empty for none.
    QByteArray encrypt;
    // One content stream drawn on every page, or empty for blank pages.
    QByteArray content;
};

[[nodiscard]] QByteArray buildPdf(const PdfShape& shape);
// Standard security whose stored user key matches no password, and a scheme no reader knows.
[[nodiscard]] QByteArray passwordEncryption();
[[nodiscard]] QByteArray unknownEncryption();

[[nodiscard]] QByteArray encodedImage(int width, int height, const char* format = "PNG");
// A PNG header that promises width x height pixels and carries none of them.
[[nodiscard]] QByteArray pngHeaderOnly(int width, int height);

}  // namespace dorvex::test
