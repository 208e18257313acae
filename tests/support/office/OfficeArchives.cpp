#include "OfficeArchives.h"

#include <QString>

#include <zlib.h>

#include <stdexcept>

namespace dorvex::test {

namespace {

void put16(QByteArray& out, quint32 value)
{
    out.append(char(value & 0xFF));
    out.append(char((value >> 8) & 0xFF));
}
void put32(QByteArray& out, quint32 value)
{
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}
void put64(QByteArray& out, quint64 value)
{
    put32(out, quint32(value & 0xFFFFFFFFu));
    put32(out, quint32(value >> 32));
}

QByteArray escaped(const QString& text) { return text.toHtmlEscaped().toUtf8(); }

}  // namespace

QByteArray rawDeflate(const QByteArray& data, int level)
{
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    QByteArray out(static_cast<qsizetype>(deflateBound(&stream, static_cast<uLong>(data.size()))), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    const auto written = static_cast<qsizetype>(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END)
        throw std::runtime_error("deflate");
    out.truncate(written);
    return out;
}

QByteArray buildZip(const std::vector<ZipPart>& parts)
{
    QByteArray out;
    QByteArray central;
    for (const ZipPart& part : parts) {
        const QByteArray stored = part.deflate ? rawDeflate(part.data) : part.data;
        const auto crc = static_cast<quint32>(
            crc32(0, reinterpret_cast<const Bytef*>(part.data.constData()), static_cast<uInt>(part.data.size())));
        const quint32 size = part.declaredSize.value_or(static_cast<quint32>(part.data.size()));
        const auto offset = static_cast<quint32>(out.size());
        const quint32 method = part.deflate ? 8 : 0;

        put32(out, 0x04034b50);
        put16(out, 20);
        put16(out, 0);
        put16(out, method);
        put16(out, 0);
        put16(out, 0x21);
        put32(out, crc);
        put32(out, static_cast<quint32>(stored.size()));
        put32(out, size);
        put16(out, static_cast<quint32>(part.name.size()));
        put16(out, 0);
        out.append(part.name);
        out.append(stored);

        put32(central, 0x02014b50);
        put16(central, 20);
        put16(central, 20);
        put16(central, 0);
        put16(central, method);
        put16(central, 0);
        put16(central, 0x21);
        put32(central, crc);
        put32(central, static_cast<quint32>(stored.size()));
        put32(central, size);
        put16(central, static_cast<quint32>(part.name.size()));
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put32(central, 0);
        put32(central, offset);
        central.append(part.name);
    }
    const auto centralOffset = static_cast<quint64>(out.size());
    out.append(central);
    const quint64 count = parts.size();
    if (count > 0xFFFF) {
        const auto zip64Offset = static_cast<quint64>(out.size());
        put32(out, 0x06064b50);
        put64(out, 44);
        put16(out, 45);
        put16(out, 45);
        put32(out, 0);
        put32(out, 0);
        put64(out, count);
        put64(out, count);
        put64(out, static_cast<quint64>(central.size()));
        put64(out, centralOffset);
        put32(out, 0x07064b50);
        put32(out, 0);
        put64(out, zip64Offset);
        put32(out, 1);
    }
    const quint32 shortCount = count > 0xFFFF ? 0xFFFF : static_cast<quint32>(count);
    put32(out, 0x06054b50);
    put16(out, 0);
    put16(out, 0);
    put16(out, shortCount);
    put16(out, shortCount);
    put32(out, static_cast<quint32>(central.size()));
    put32(out, static_cast<quint32>(centralOffset));
    put16(out, 0);
    return out;
}

std::vector<unsigned char> toVector(const QByteArray& bytes)
{
    return std::vector<unsigned char>(bytes.cbegin(), bytes.cend());
}

QByteArray documentXml(const QStringList& paragraphs)
{
    QByteArray xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
        "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\"><w:body>";
    for (const QString& paragraph : paragraphs)
        xml += "<w:p><w:r><w:t xml:space=\"preserve\">" + escaped(paragraph) + "</w:t></w:r></w:p>";
    xml += "</w:body></w:document>";
    return xml;
}

std::vector<unsigned char> docx(const QByteArray& documentXml, bool deflate)
{
    return toVector(buildZip({{"[Content_Types].xml", "<Types/>", true, {}},
                              {"word/document.xml", documentXml, deflate, {}}}));
}

QByteArray sheetXml(const QList<Cells>& rows)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                     "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><sheetData>";
    for (const Cells& row : rows) {
        xml += "<row>";
        for (const auto& [reference, value] : row)
            xml += "<c r=\"" + reference + "\"><v>" + value + "</v></c>";
        xml += "</row>";
    }
    xml += "</sheetData></worksheet>";
    return xml;
}

QByteArray sharedStringsXml(const QStringList& strings)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                     "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">";
    for (const QString& text : strings)
        xml += "<si><t>" + escaped(text) + "</t></si>";
    xml += "</sst>";
    return xml;
}

std::vector<unsigned char> xlsx(const std::vector<std::pair<QByteArray, QByteArray>>& sheets,
                                const std::optional<QByteArray>& sharedStrings, bool deflate)
{
    std::vector<ZipPart> parts{{"[Content_Types].xml", "<Types/>", true, {}}, {"xl/workbook.xml", "<workbook/>", true, {}}};
    if (sharedStrings)
        parts.push_back({"xl/sharedStrings.xml", *sharedStrings, deflate, {}});
    for (const auto& [name, xml] : sheets)
        parts.push_back({name, xml, deflate, {}});
    return toVector(buildZip(parts));
}

ZipPart partWithRatio(const QByteArray& name, const QByteArray& xml, unsigned ratio)
{
    // Incompressible text keeps the compressed size up; a run of one letter adds size almost for free.
    QByteArray noise;
    quint32 state = 12345;
    for (int i = 0; i < 4000; ++i) {
        state = state * 1103515245u + 12345u;
        noise.append("0123456789abcdef"[(state >> 16) & 15]);
    }
    const qsizetype close = xml.lastIndexOf("</");
    const auto build = [&](qsizetype run) {
        return xml.left(close) + "<filler>" + noise + QByteArray(run, 'a') + "</filler>" + xml.mid(close);
    };
    const auto quotient = [&](qsizetype run) {
        const QByteArray data = build(run);
        return static_cast<unsigned>(data.size() / rawDeflate(data).size());
    };
    qsizetype low = 0;
    qsizetype high = 8 * 1024 * 1024;
    while (low < high) {
        const qsizetype middle = (low + high) / 2;
        if (quotient(middle) < ratio)
            low = middle + 1;
        else
            high = middle;
    }
    for (qsizetype run = low; run < low + 100000; ++run) {
        if (quotient(run) == ratio)
            return {name, build(run), true, {}};
    }
    throw std::runtime_error("no filler gives that ratio");
}

}  // namespace dorvex::test
