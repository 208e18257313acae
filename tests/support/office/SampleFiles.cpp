#include "SampleFiles.h"

#include <QBuffer>
#include <QImage>
#include <QList>

#include <zlib.h>

namespace dorvex::test {

namespace {

QByteArray pdfWithPadding(const PdfShape& shape, qint64 padding)
{
    QByteArray out = "%PDF-1.4\n";
    if (padding > 0)
        out += '%' + QByteArray(padding, 'p') + '\n';
    QList<qint64> offsets;
    const auto object = [&](const QByteArray& body) {
        offsets.append(out.size());
        out += QByteArray::number(offsets.size()) + " 0 obj\n" + body + "\nendobj\n";
    };
    object("<</Type/Catalog/Pages 2 0 R>>");
    QByteArray kids;
    kids.reserve(shape.pages * 8);
    for (int page = 0; page < shape.pages; ++page)
        kids += QByteArray::number(page + 3) + " 0 R ";
    object("<</Type/Pages/Kids[" + kids + "]/Count " + QByteArray::number(shape.pages) + ">>");
    const QByteArray box = "/MediaBox[0 0 " + QByteArray::number(shape.pageSize.width()) + ' '
                           + QByteArray::number(shape.pageSize.height()) + ']';
    const QByteArray contents =
        shape.content.isEmpty() ? QByteArray() : "/Contents " + QByteArray::number(shape.pages + 3) + " 0 R";
    for (int page = 0; page < shape.pages; ++page)
        object("<</Type/Page/Parent 2 0 R" + box + contents + ">>");
    if (!shape.content.isEmpty())
        object("<</Length " + QByteArray::number(shape.content.size()) + ">>\nstream\n" + shape.content + "\nendstream");
    QByteArray trailer = "/Size " + QByteArray::number(offsets.size() + 1 + (shape.encrypt.isEmpty() ? 0 : 1))
                         + "/Root 1 0 R";
    if (!shape.encrypt.isEmpty()) {
        object("<<" + shape.encrypt + ">>");
        trailer += "/Encrypt " + QByteArray::number(offsets.size())
                   + " 0 R/ID[<00112233445566778899aabbccddeeff><00112233445566778899aabbccddeeff>]";
    }
    const qint64 xref = out.size();
    out += "xref\n0 " + QByteArray::number(offsets.size() + 1) + "\n0000000000 65535 f \n";
    for (const qint64 offset : offsets)
        out += QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n";
    out += "trailer\n<<" + trailer + ">>\nstartxref\n" + QByteArray::number(xref) + "\n%%EOF\n";
    return out;
}

}  // namespace

QByteArray buildPdf(const PdfShape& shape)
{
    QByteArray pdf = pdfWithPadding(shape, 0);
    if (shape.exactSize <= pdf.size())
        return pdf;
    // The comment line adds two bytes around the padding; the moved cross-reference offset may
    // need another digit, hence a second round.
    qint64 padding = shape.exactSize - pdf.size() - 2;
    for (int round = 0; round < 4 && pdf.size() != shape.exactSize; ++round) {
        pdf = pdfWithPadding(shape, padding);
        padding += shape.exactSize - pdf.size();
    }
    return pdf;
}

QByteArray passwordEncryption()
{
    const QByteArray key(64, 'a');
    return "/Filter/Standard/V 1/R 2/Length 40/P -4/O<" + key + ">/U<" + key + ">";
}

QByteArray unknownEncryption() { return "/Filter/NoSuchHandler/V 1/R 2/P -4"; }

QByteArray encodedImage(int width, int height, const char* format)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QByteArray pngHeaderOnly(int width, int height)
{
    QByteArray out = "\x89PNG\r\n\x1a\n";
    const auto chunk = [&](const QByteArray& type, const QByteArray& data) {
        const auto put32 = [&](quint32 v) {
            for (int shift = 24; shift >= 0; shift -= 8)
                out.append(char((v >> shift) & 0xFF));
        };
        put32(static_cast<quint32>(data.size()));
        const QByteArray body = type + data;
        out += body;
        put32(static_cast<quint32>(crc32(0, reinterpret_cast<const Bytef*>(body.constData()), static_cast<uInt>(body.size()))));
    };
    QByteArray header;
    for (const quint32 v : {static_cast<quint32>(width), static_cast<quint32>(height)})
        for (int shift = 24; shift >= 0; shift -= 8)
            header.append(char((v >> shift) & 0xFF));
    header += QByteArray("\x08\x02\x00\x00\x00", 5);
    chunk("IHDR", header);
    // The reader looks for the first data chunk before it reports the size.
    chunk("IDAT", QByteArray::fromHex("789c63000000010001"));
    chunk("IEND", QByteArray());
    return out;
}

}  // namespace dorvex::test
