// Word and Excel extraction over archives built here: the limits on parts, ratio, budget and
// entries, lying directories, sheet order, the cell rules, malformed XML and the table cap.
#include "OfficeArchives.h"

#include "app/office/OfficeExtraction.h"

#include <gtest/gtest.h>

#include <zip.h>

using dorvex::app::extractDocxText;
using dorvex::app::extractXlsxSheets;
using dorvex::app::XlsxSheet;
using namespace dorvex::test;

namespace {

constexpr qsizetype kMiB = 1024 * 1024;

// A document part of exactly `size` bytes whose text is one run of 'x'.
QByteArray documentOfSize(qsizetype size)
{
    const QByteArray head = "<w:document xmlns:w=\"urn:w\"><w:body><w:p><w:r><w:t>";
    const QByteArray tail = "</w:t></w:r></w:p></w:body></w:document>";
    return head + QByteArray(size - head.size() - tail.size(), 'x') + tail;
}

std::vector<unsigned char> docxOf(std::vector<ZipPart> parts) { return toVector(buildZip(parts)); }

QList<QStringList> onlySheetRows(const std::vector<unsigned char>& archive)
{
    const auto sheets = extractXlsxSheets(archive);
    EXPECT_TRUE(sheets.has_value());
    if (!sheets || sheets->size() != 1)
        return {};
    return sheets->front().rows;
}

}  // namespace

TEST(DocxText, ParagraphsTabsAndBreaksBecomeLineFeedsAndTabs)
{
    EXPECT_EQ(extractDocxText(docx(documentXml({"one", "two", "three"}))), QStringLiteral("one\ntwo\nthree"));
    const QByteArray xml = "<w:document xmlns:w=\"urn:w\"><w:body><w:p><w:r><w:t>a</w:t><w:tab/><w:t>b</w:t>"
                           "<w:br/><w:t>c &amp; &#x263A;</w:t><w:cr/></w:r></w:p><w:p/></w:body></w:document>";
    EXPECT_EQ(extractDocxText(docx(xml)), QStringLiteral("a\tb\nc & \u263A\n\n"));
    EXPECT_EQ(extractDocxText(docx(documentXml({}))), QString());
}

// Each row: how the archive is built, and whether the document's text comes out.
TEST(DocxText, EveryLimitOnThePartHolds)
{
    const QByteArray text = documentXml({"kept"});
    const struct {
        const char* what;
        std::vector<unsigned char> archive;
        bool readable;
    } cases[] = {
        {"ratio exactly 200:1", docxOf({partWithRatio("word/document.xml", text, 200)}), true},
        {"ratio 201:1", docxOf({partWithRatio("word/document.xml", text, 201)}), false},
        {"part of exactly 64 MiB", docx(documentOfSize(64 * kMiB), false), true},
        {"part one byte over 64 MiB", docx(documentOfSize(64 * kMiB + 1), false), false},
        {"directory claims fewer bytes than the data holds",
         docxOf({{"word/document.xml", documentOfSize(8 * kMiB), true, 1000}}), false},
        {"directory claims more bytes than the data holds",
         docxOf({{"word/document.xml", text, true, static_cast<quint32>(text.size() + 1)}}), false},
        {"empty part (compressed size 0)", docxOf({{"word/document.xml", QByteArray(), false, {}}}), false},
        {"no document part", docxOf({{"word/other.xml", text, true, {}}}), false},
        {"name in another letter case", docxOf({{"WORD/Document.XML", text, true, {}}}), true},
        {"not an archive", toVector("PK\x03\x04 but nothing else"), false},
        {"no bytes", {}, false},
    };
    for (const auto& c : cases) {
        const std::optional<QString> result = extractDocxText(c.archive);
        EXPECT_EQ(result.has_value(), c.readable) << c.what;
        if (result && c.archive.size() < 1024 * 1024) {
            EXPECT_EQ(*result, QStringLiteral("kept")) << c.what;
        }
    }
}

TEST(DocxText, MalformedXmlYieldsNothingAndDeepNestingIsRead)
{
    for (const QByteArray& xml : {QByteArray("<w:document><w:p><w:t>cut"), QByteArray("<w:p><w:t>a</w:p></w:t>"),
                                  QByteArray("not xml at all"), QByteArray("<w:p>&undefined;</w:p>")})
        EXPECT_FALSE(extractDocxText(docx(xml)).has_value()) << xml.constData();

    const int depth = 20000;
    const QByteArray deep = QByteArray("<a>").repeated(depth) + "<w:p xmlns:w=\"urn:w\"><w:t>deep</w:t></w:p>"
                            + QByteArray("</a>").repeated(depth);
    EXPECT_EQ(extractDocxText(docx(deep, false)), QStringLiteral("deep"));
}

TEST(XlsxSheets, SheetsComeInNumberOrderNamedByTheirNumber)
{
    const QByteArray one = sheetXml({{{"A1", "x"}}});
    const auto sheets = extractXlsxSheets(xlsx({{"xl/worksheets/sheet2.xml", one},
                                                {"xl/worksheets/sheet10.xml", one},
                                                {"xl/worksheets/sheet1.xml", one},
                                                {"xl/worksheets/sheet.xml", one},
                                                {"xl/worksheets/sheetB.xml", one},
                                                {"xl/worksheets/sheetA.xml", one},
                                                {"xl/worksheets/Sheet3.xml", one},
                                                {"xl/worksheets/sheet4.XML", one}}));
    ASSERT_TRUE(sheets.has_value());
    QStringList names;
    for (const XlsxSheet& sheet : *sheets)
        names << sheet.name;
    // sheet.xml, sheetA.xml and sheetB.xml all read as 0 and sort by raw name.
    EXPECT_EQ(names, QStringList({"Sheet 0", "Sheet 0", "Sheet 0", "Sheet 1", "Sheet 2", "Sheet 10"}));
}

TEST(XlsxSheets, CellRules)
{
    const QByteArray shared = sharedStringsXml({"zero", "one"});
    const struct {
        const char* what;
        QByteArray cell;
        QStringList row;
    } cases[] = {
        {"B1 alone is preceded by one empty cell", "<c r=\"B1\"><v>5</v></c>", {"", "5"}},
        {"shared string by index", "<c r=\"A1\" t=\"s\"><v>1</v></c>", {"one"}},
        {"shared index beyond the list is dropped", "<c r=\"A1\" t=\"s\"><v>2</v></c>", {}},
        {"shared index that is no number is dropped", "<c r=\"A1\" t=\"s\"><v>x</v></c>", {}},
        {"inline string", "<c r=\"C1\" t=\"inlineStr\"><is><t>in</t></is></c>", {"", "", "in"}},
        {"absolute and lower-case references", "<c r=\"$b$1\"><v>b</v></c>", {"", "b"}},
        {"column XFD is the last one kept", "<c r=\"XFD1\"><v>last</v></c>", {}},
        {"column XFE is dropped", "<c r=\"XFE1\"><v>x</v></c>", {}},
        {"four letters are dropped", "<c r=\"AAAA1\"><v>x</v></c>", {}},
        {"no reference is dropped", "<c><v>x</v></c>", {}},
        {"a reference without letters is dropped", "<c r=\"11\"><v>x</v></c>", {}},
        {"an empty value is dropped", "<c r=\"A1\"><v></v></c>", {}},
        {"formula results and booleans are raw text", "<c r=\"A1\" t=\"b\"><f>1=1</f><v>1</v></c>", {"1"}},
    };
    for (const auto& c : cases) {
        const QByteArray xml = "<worksheet><sheetData><row>" + c.cell + "</row></sheetData></worksheet>";
        const QList<QStringList> rows = onlySheetRows(xlsx({{"xl/worksheets/sheet1.xml", xml}}, shared));
        ASSERT_EQ(rows.size(), 1) << c.what;
        if (QByteArray(c.what).startsWith("column XFD ")) {
            ASSERT_EQ(rows.front().size(), 16384) << c.what;
            EXPECT_EQ(rows.front().back(), QStringLiteral("last"));
            continue;
        }
        EXPECT_EQ(rows.front(), c.row) << c.what;
    }
}

TEST(XlsxSheets, RowsKeepDocumentOrderAndCellsFromOneSharedStringOwnTheirBuffers)
{
    const QByteArray xml = "<worksheet><sheetData><row r=\"9\"><c r=\"A9\" t=\"s\"><v>0</v></c>"
                           "<c r=\"B9\" t=\"s\"><v>0</v></c></row><row r=\"2\"><c r=\"A2\"><v>b</v></c></row>"
                           "</sheetData></worksheet>";
    const QList<QStringList> rows =
        onlySheetRows(xlsx({{"xl/worksheets/sheet1.xml", xml}}, sharedStringsXml({"secret"})));
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0], QStringList({"secret", "secret"}));
    EXPECT_EQ(rows[1], QStringList({"b"}));
    // A wipe in place of one cell must never reach another cell's or the string table's text.
    EXPECT_NE(rows[0][0].constData(), rows[0][1].constData());
}

TEST(XlsxSheets, SharedStringsThatAreEmptyOrMalformedKeepWhatCanBeRead)
{
    const QByteArray xml = "<worksheet><sheetData><row><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"s\"><v>1</v></c>"
                           "</row></sheetData></worksheet>";
    const auto withShared = [&](std::vector<ZipPart> extra) {
        std::vector<ZipPart> parts{{"xl/worksheets/sheet1.xml", xml, true, {}}};
        parts.insert(parts.end(), extra.begin(), extra.end());
        return onlySheetRows(toVector(buildZip(parts)));
    };
    EXPECT_EQ(withShared({}), QList<QStringList>{QStringList{}}) << "no shared strings";
    EXPECT_EQ(withShared({{"xl/sharedStrings.xml", QByteArray(), false, {}}}), QList<QStringList>{QStringList{}})
        << "an empty part counts as missing";
    EXPECT_EQ(withShared({{"xl/sharedStrings.xml", "<sst><si><t>kept</t></si><si><t>lost</sst>", true, {}}}),
              QList<QStringList>{QStringList{"kept"}})
        << "the items before the error are kept";
    EXPECT_EQ(withShared({{"xl/sharedStrings.xml", "<sst><si><r><t>ri</t></r><r><t>ch</t></r></si><si/></sst>", true, {}}}),
              QList<QStringList>{QStringList{"rich"}})
        << "rich text runs join; an empty item still takes its index";
}

TEST(XlsxSheets, MalformedSheetKeepsTheRowsBeforeTheError)
{
    const auto sheets = extractXlsxSheets(xlsx({{"xl/worksheets/sheet1.xml",
                                                 "<worksheet><sheetData><row><c r=\"A1\"><v>kept</v></c></row>"
                                                 "<row><c r=\"A2\"><v>lost</c></row></sheetData>"},
                                                {"xl/worksheets/sheet2.xml", "garbage"}}));
    ASSERT_TRUE(sheets.has_value());
    ASSERT_EQ(sheets->size(), 2u);
    EXPECT_EQ(sheets->at(0).rows.value(0), QStringList({"kept"}));
    EXPECT_TRUE(sheets->at(1).rows.isEmpty()) << "a sheet that cannot be read at all is shown empty";

    EXPECT_FALSE(extractXlsxSheets(xlsx({})).has_value()) << "no sheet part";
    EXPECT_FALSE(extractXlsxSheets(toVector("not a zip")).has_value());
}

TEST(XlsxSheets, PartsAndWorkbookLimits)
{
    const QByteArray sheet = sheetXml({{{"A1", "v"}}});
    // Pads a sheet to `size` bytes with an element that is not read.
    const auto sheetOfSize = [&](qsizetype size) {
        const QByteArray head = "<worksheet><x>";
        const QByteArray tail = "</x><sheetData><row><c r=\"A1\"><v>v</v></c></row></sheetData></worksheet>";
        return head + QByteArray(size - head.size() - tail.size(), 'p') + tail;
    };
    const auto countSheets = [](const std::vector<unsigned char>& archive) {
        const auto sheets = extractXlsxSheets(archive);
        return sheets ? static_cast<int>(sheets->size()) : 0;
    };
    EXPECT_EQ(countSheets(xlsx({{"xl/worksheets/sheet1.xml", sheetOfSize(40 * kMiB)},
                                {"xl/worksheets/sheet2.xml", sheetOfSize(40 * kMiB)},
                                {"xl/worksheets/sheet3.xml", sheet}},
                               std::nullopt, false)),
          2)
        << "two 40 MiB parts exceed the 64 MiB workbook budget together";
    EXPECT_EQ(countSheets(xlsx({{"xl/worksheets/sheet1.xml", sheetOfSize(64 * kMiB)}}, std::nullopt, false)), 1);
    EXPECT_EQ(countSheets(xlsx({{"xl/worksheets/sheet1.xml", sheetOfSize(64 * kMiB + 1)}}, std::nullopt, false)), 0);

    const auto archiveWithEntries = [&](int entries) {
        std::vector<ZipPart> parts{{"xl/worksheets/sheet1.xml", sheet, true, {}}};
        for (int i = 1; i < entries; ++i)
            parts.push_back({"f" + QByteArray::number(i), QByteArray(), false, {}});
        return toVector(buildZip(parts));
    };
    EXPECT_EQ(countSheets(archiveWithEntries(100000)), 1);
    EXPECT_EQ(countSheets(archiveWithEntries(100001)), 0);
}

TEST(XlsxSheets, ATableThatWouldPadToGigabytesIsCut)
{
    QByteArray xml = "<worksheet><sheetData>";
    for (int row = 1; row <= 10000; ++row)
        xml += "<row><c r=\"XFD" + QByteArray::number(row) + "\"><v>" + QByteArray::number(row) + "</v></c></row>";
    xml += "</sheetData></worksheet>";
    const auto sheets = extractXlsxSheets(
        xlsx({{"xl/worksheets/sheet1.xml", xml}, {"xl/worksheets/sheet2.xml", sheetXml({{{"A1", "after"}}})}}));
    ASSERT_TRUE(sheets.has_value());
    ASSERT_EQ(sheets->size(), 2u);
    const XlsxSheet& wide = sheets->front();
    EXPECT_TRUE(wide.cut);
    qsizetype widest = 0;
    for (const QStringList& row : wide.rows)
        widest = std::max(widest, row.size());
    EXPECT_EQ(widest, 16384);
    EXPECT_LE(wide.rows.size() * widest, dorvex::app::kMaxWorkbookCells);
    EXPECT_GT(wide.rows.size(), 0);
    EXPECT_EQ(wide.rows.back().back(), QString::number(wide.rows.size()));
    // The budget is the workbook's: what the first sheet left is all the second may use.
    const XlsxSheet& after = sheets->back();
    EXPECT_EQ(after.cut, after.rows.isEmpty());

    const auto small = extractXlsxSheets(xlsx({{"xl/worksheets/sheet1.xml", sheetXml({{{"C3", "x"}}})}}));
    ASSERT_TRUE(small.has_value());
    EXPECT_FALSE(small->front().cut);

    QByteArray rowsOnly = "<worksheet><sheetData>" + QByteArray("<row/>").repeated(dorvex::app::kMaxWorkbookCells + 1)
                          + "</sheetData></worksheet>";
    const auto empties = extractXlsxSheets(xlsx({{"xl/worksheets/sheet1.xml", rowsOnly}}, std::nullopt, false));
    ASSERT_TRUE(empties.has_value());
    EXPECT_TRUE(empties->front().cut) << "empty rows count as one column each";
    EXPECT_EQ(empties->front().rows.size(), dorvex::app::kMaxWorkbookCells);
}

TEST(ZipEntry, DecompressionStopsAtTheDeclaredSize)
{
    // 8 MiB of data behind a directory that claims 1000 bytes: refused without producing more.
    const QByteArray archiveBytes = buildZip({{"part", QByteArray(8 * kMiB, 'z'), true, 1000}});
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(archiveBytes.constData(), archiveBytes.size(), 0, &error);
    ASSERT_NE(source, nullptr);
    zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, &error);
    ASSERT_NE(archive, nullptr);
    unsigned long long budget = 5000;
    EXPECT_FALSE(dorvex::app::extractZipEntrySafely(*archive, "part", &budget).has_value());
    EXPECT_EQ(budget, 5000u) << "a refused part costs nothing";
    zip_discard(archive);
    zip_error_fini(&error);
}
