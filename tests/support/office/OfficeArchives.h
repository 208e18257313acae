#pragma once

#include <QByteArray>
#include <QList>
#include <QStringList>

#include <optional>
#include <utility>
#include <vector>

// ZIP archives, Word documents and workbooks built in memory for tests, fuzz seeds and benchmarks.
namespace dorvex::test {

struct ZipPart {
    QByteArray name;
    QByteArray data;
    bool deflate = true;
    // Written into both headers instead of the real uncompressed size.
    std::optional<quint32> declaredSize;
};

[[nodiscard]] QByteArray buildZip(const std::vector<ZipPart>& parts);
[[nodiscard]] QByteArray rawDeflate(const QByteArray& data, int level = 9);
[[nodiscard]] std::vector<unsigned char> toVector(const QByteArray& bytes);

// word/document.xml with one w:p per paragraph, each holding one run of text (escaped).
[[nodiscard]] QByteArray documentXml(const QStringList& paragraphs);
[[nodiscard]] std::vector<unsigned char> docx(const QByteArray& documentXml, bool deflate = true);

// A worksheet part from rows of (reference, value) cells; values are written as <v> text.
using Cells = QList<std::pair<QByteArray, QByteArray>>;
[[nodiscard]] QByteArray sheetXml(const QList<Cells>& rows);
[[nodiscard]] QByteArray sharedStringsXml(const QStringList& strings);
// An xlsx of the given worksheet parts (name -> XML) and, when given, shared strings.
[[nodiscard]] std::vector<unsigned char> xlsx(const std::vector<std::pair<QByteArray, QByteArray>>& sheets,
                                              const std::optional<QByteArray>& sharedStrings = std::nullopt,
                                              bool deflate = true);

// A deflated part whose declared uncompressed / compressed quotient is exactly `ratio`: the
// XML of `xml` with an ignored element of filler inserted before its last closing tag.
[[nodiscard]] ZipPart partWithRatio(const QByteArray& name, const QByteArray& xml, unsigned ratio);

}  // namespace dorvex::test
