#include "app/office/OfficeExtraction.h"

#include "crypto/SecureBuffer.h"

#include <QXmlStreamReader>

#include <zip.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace dorvex::app {

namespace {

// The archive read in place from the caller's bytes; discarded (never written) on scope exit.
class Archive {
public:
    explicit Archive(const std::vector<unsigned char>& bytes)
    {
        zip_error_t error;
        zip_error_init(&error);
        zip_source_t* source = zip_source_buffer_create(bytes.empty() ? nullptr : bytes.data(), bytes.size(), 0, &error);
        if (source != nullptr) {
            zip_ = zip_open_from_source(source, ZIP_RDONLY, &error);
            if (zip_ == nullptr)
                zip_source_free(source);
        }
        zip_error_fini(&error);
    }
    ~Archive()
    {
        if (zip_ != nullptr)
            zip_discard(zip_);
    }
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    [[nodiscard]] zip_t* get() const { return zip_; }

private:
    zip_t* zip_ = nullptr;
};

class OpenEntry {
public:
    OpenEntry(zip_t* archive, zip_uint64_t index) : file_(zip_fopen_index(archive, index, 0)) {}
    ~OpenEntry()
    {
        if (file_ != nullptr)
            zip_fclose(file_);
    }
    OpenEntry(const OpenEntry&) = delete;
    OpenEntry& operator=(const OpenEntry&) = delete;

    [[nodiscard]] zip_file_t* get() const { return file_; }

private:
    zip_file_t* file_;
};

// Appends without leaving an unwiped copy behind when the string has to grow.
void appendWiping(QString& out, QStringView piece)
{
    const qsizetype needed = out.size() + piece.size();
    if (needed > out.capacity()) {
        QString grown;
        grown.reserve(std::max<qsizetype>({needed, out.capacity() * 2, 64}));
        grown.append(out);
        crypto::secureZero(out);
        out.swap(grown);
    }
    out.append(piece);
}

void wipeAll(QStringList& list) noexcept
{
    for (QString& text : list)
        wipeIfSoleOwner(text);
    list.clear();
}

// Reads exactly `size` bytes and refuses an entry that yields fewer or more: the directory may lie.
std::optional<QByteArray> readExactly(zip_t* archive, zip_uint64_t index, zip_uint64_t size)
{
    OpenEntry entry(archive, index);
    if (entry.get() == nullptr)
        return std::nullopt;
    QByteArray out(static_cast<qsizetype>(size), Qt::Uninitialized);
    zip_uint64_t total = 0;
    bool ok = true;
    while (total < size) {
        const zip_int64_t got = zip_fread(entry.get(), out.data() + total, size - total);
        if (got <= 0) {
            ok = false;
            break;
        }
        total += static_cast<zip_uint64_t>(got);
    }
    if (ok) {
        char extra = 0;
        ok = zip_fread(entry.get(), &extra, 1) == 0;
        crypto::secureZero(reinterpret_cast<unsigned char*>(&extra), 1);
    }
    if (!ok) {
        crypto::secureZero(reinterpret_cast<unsigned char*>(out.data()), static_cast<unsigned long>(total));
        return std::nullopt;
    }
    return out;
}

constexpr char kSheetPrefix[] = "xl/worksheets/sheet";
constexpr char kSheetSuffix[] = ".xml";
constexpr qsizetype kMaxNameBytes = 512;

struct SheetPart {
    int number = 0;
    QByteArray name;
};

std::vector<SheetPart> findSheetParts(zip_t* archive, zip_int64_t entries)
{
    const qsizetype prefix = qsizetype(sizeof kSheetPrefix) - 1;
    const qsizetype suffix = qsizetype(sizeof kSheetSuffix) - 1;
    std::vector<SheetPart> parts;
    for (zip_int64_t i = 0; i < entries; ++i) {
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(archive, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW, &stat) != 0
            || (stat.valid & ZIP_STAT_NAME) == 0 || stat.name == nullptr)
            continue;
        const QByteArray name(stat.name, static_cast<qsizetype>(qstrnlen(stat.name, kMaxNameBytes)));
        if (name.size() < prefix + suffix || !name.startsWith(kSheetPrefix) || !name.endsWith(kSheetSuffix))
            continue;
        bool valid = false;
        const int number = name.mid(prefix, name.size() - prefix - suffix).toInt(&valid, 10);
        parts.push_back({valid ? number : 0, name});
    }
    std::sort(parts.begin(), parts.end(), [](const SheetPart& a, const SheetPart& b) {
        return a.number != b.number ? a.number < b.number : a.name < b.name;
    });
    return parts;
}

QStringList readSharedStrings(const QByteArray& part)
{
    QStringList strings;
    QString current;
    bool inItem = false;
    bool inText = false;
    QXmlStreamReader reader(part);
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement:
            if (reader.name() == u"si") {
                crypto::secureZero(current);
                current.clear();
                inItem = true;
            } else if (inItem && reader.name() == u"t") {
                inText = true;
            }
            break;
        case QXmlStreamReader::EndElement:
            if (reader.name() == u"t") {
                inText = false;
            } else if (reader.name() == u"si" && inItem) {
                strings.append(std::move(current));
                current = QString();
                inItem = false;
            }
            break;
        case QXmlStreamReader::Characters:
            if (inItem && inText)
                appendWiping(current, reader.text());
            break;
        default:
            break;
        }
    }
    crypto::secureZero(current);
    return strings;
}

// Zero-based column of a reference such as B7, or -1 when the cell is to be dropped.
int columnOf(const QString& reference)
{
    long long column = 0;
    int letters = 0;
    for (const QChar ch : reference) {
        if (ch.isDigit())
            break;
        const bool asciiLetter = (ch >= u'A' && ch <= u'Z') || (ch >= u'a' && ch <= u'z');
        if (!asciiLetter && !ch.isLetter())
            continue;
        if (++letters == 4)
            return -1;
        column = column * 26 + (ch.toUpper().unicode() - 64);
    }
    if (letters == 0)
        return -1;
    const long long index = column - 1;
    return index >= 0 && index < kMaxColumns ? static_cast<int>(index) : -1;
}

// Fills `sheet` from one worksheet part, within `cellsLeft` table tableSlots.
void readSheet(const QByteArray& part, const QStringList& shared, XlsxSheet& sheet, long long& cellsLeft)
{
    long long width = 0;
    qsizetype currentRow = -1;
    QString type;
    QString reference;
    QString text;
    bool inValue = false;
    bool inInline = false;
    const auto tableSlots = [&](long long rows, long long columns) { return rows * std::max<long long>(columns, 1); };

    QXmlStreamReader reader(part);
    while (!reader.atEnd()) {
        const auto token = reader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            const QStringView name = reader.name();
            if (name == u"row") {
                if (tableSlots(sheet.rows.size() + 1, width) > cellsLeft) {
                    sheet.cut = true;
                    break;
                }
                sheet.rows.append(QStringList());
                currentRow = sheet.rows.size() - 1;
            } else if (name == u"c") {
                const QXmlStreamAttributes attributes = reader.attributes();
                type = attributes.value(QLatin1StringView("t")).toString();
                reference = attributes.value(QLatin1StringView("r")).toString();
                crypto::secureZero(text);
                text.clear();
            } else if (name == u"v") {
                inValue = true;
            } else if (name == u"t" && type == u"inlineStr") {
                inInline = true;
            }
        } else if (token == QXmlStreamReader::EndElement) {
            const QStringView name = reader.name();
            if (name == u"v") {
                inValue = false;
            } else if (name == u"t") {
                inInline = false;
            } else if (name == u"c" && currentRow >= 0) {
                QString value;
                if (type == u"s") {
                    bool valid = false;
                    const int index = text.toInt(&valid, 10);
                    if (valid && index >= 0 && index < shared.size())
                        value = QString(shared.at(index).constData(), shared.at(index).size());
                    crypto::secureZero(text);
                    text.clear();
                } else {
                    value = std::move(text);
                    text = QString();
                }
                const int column = value.isEmpty() || reference.isEmpty() ? -1 : columnOf(reference);
                if (column < 0) {
                    crypto::secureZero(value);
                    continue;
                }
                const long long newWidth = std::max<long long>(width, column + 1);
                if (tableSlots(sheet.rows.size(), newWidth) > cellsLeft) {
                    sheet.cut = true;
                    crypto::secureZero(value);
                    continue;
                }
                width = newWidth;
                QStringList& row = sheet.rows[currentRow];
                while (row.size() <= column)
                    row.append(QString());
                row[column] = std::move(value);
            }
        } else if (token == QXmlStreamReader::Characters && (inValue || inInline)) {
            appendWiping(text, reader.text());
        }
    }
    crypto::secureZero(text);
    cellsLeft -= tableSlots(sheet.rows.size(), width);
}

}  // namespace

// secureZero already leaves a shared buffer to its other holders.
void wipeIfSoleOwner(QString& text) noexcept
{
    crypto::secureZero(text);
    text = QString();
}

void wipeIfSoleOwner(QByteArray& bytes) noexcept
{
    crypto::secureZero(bytes);
    bytes = QByteArray();
}

void wipeSheets(std::vector<XlsxSheet>& sheets) noexcept
{
    for (XlsxSheet& sheet : sheets) {
        for (QStringList& row : sheet.rows)
            wipeAll(row);
        sheet.rows.clear();
    }
    sheets.clear();
}

std::optional<QByteArray> extractZipEntrySafely(struct zip& archive, const char* name, unsigned long long* budget)
{
    const zip_int64_t index = zip_name_locate(&archive, name, ZIP_FL_NOCASE | ZIP_FL_ENC_RAW);
    if (index < 0)
        return std::nullopt;
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(&archive, static_cast<zip_uint64_t>(index), ZIP_FL_ENC_RAW, &stat) != 0
        || (stat.valid & (ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE)) != (ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE))
        return std::nullopt;
    const zip_uint64_t size = stat.size;
    const zip_uint64_t compressed = stat.comp_size;
    if (size > kMaxPartBytes)
        return std::nullopt;
    if (compressed != 0 && size / compressed > kMaxCompressionRatio)
        return std::nullopt;
    if (budget != nullptr && size > *budget)
        return std::nullopt;
    const bool directory = (stat.valid & ZIP_STAT_NAME) != 0 && stat.name != nullptr && *stat.name != '\0'
                           && stat.name[std::strlen(stat.name) - 1] == '/';
    if (compressed == 0 || directory)
        return std::nullopt;
    std::optional<QByteArray> part = readExactly(&archive, static_cast<zip_uint64_t>(index), size);
    if (!part)
        return std::nullopt;
    const auto produced = static_cast<unsigned long long>(part->size());
    if (produced >= kMaxProducedBytes) {
        crypto::secureZero(*part);
        return std::nullopt;
    }
    if (budget != nullptr)
        *budget -= produced;
    return part;
}

std::optional<QString> extractDocxText(const std::vector<unsigned char>& bytes)
{
    try {
        std::optional<QByteArray> part;
        {
            const Archive archive(bytes);
            if (archive.get() == nullptr)
                return std::nullopt;
            part = extractZipEntrySafely(*archive.get(), "word/document.xml", nullptr);
        }
        if (!part)
            return std::nullopt;
        // Text is never longer than the XML it came from, unless entities expand it; reserving
        // once spares the copies that growing would leave behind.
        QString text;
        text.reserve(part->size());
        bool failed = false;
        {
            bool inRun = false;
            bool seenParagraph = false;
            QXmlStreamReader reader(*part);
            while (!reader.atEnd()) {
                const auto token = reader.readNext();
                if (token == QXmlStreamReader::StartElement) {
                    const QStringView name = reader.name();
                    if (name == u"p") {
                        if (seenParagraph)
                            appendWiping(text, u"\n");
                        seenParagraph = true;
                    } else if (name == u"t") {
                        inRun = true;
                    } else if (name == u"tab") {
                        appendWiping(text, u"\t");
                    } else if (name == u"br" || name == u"cr") {
                        appendWiping(text, u"\n");
                    }
                } else if (token == QXmlStreamReader::EndElement) {
                    if (reader.name() == u"t")
                        inRun = false;
                } else if (token == QXmlStreamReader::Characters && inRun) {
                    appendWiping(text, reader.text());
                }
            }
            failed = reader.hasError();
        }
        wipeIfSoleOwner(*part);
        if (failed) {
            crypto::secureZero(text);
            return std::nullopt;
        }
        return text;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::optional<std::vector<XlsxSheet>> extractXlsxSheets(const std::vector<unsigned char>& bytes)
{
    try {
        const Archive archive(bytes);
        if (archive.get() == nullptr)
            return std::nullopt;
        const zip_int64_t entries = zip_get_num_entries(archive.get(), 0);
        if (entries < 0 || entries > kMaxArchiveEntries)
            return std::nullopt;
        unsigned long long budget = kWorkbookBudgetBytes;
        QStringList shared;
        if (std::optional<QByteArray> part = extractZipEntrySafely(*archive.get(), "xl/sharedStrings.xml", &budget)) {
            shared = readSharedStrings(*part);
            wipeIfSoleOwner(*part);
        }
        std::vector<XlsxSheet> sheets;
        long long cellsLeft = kMaxWorkbookCells;
        for (const SheetPart& sheetPart : findSheetParts(archive.get(), entries)) {
            std::optional<QByteArray> part = extractZipEntrySafely(*archive.get(), sheetPart.name.constData(), &budget);
            if (!part)
                continue;
            XlsxSheet sheet;
            sheet.name = QStringLiteral("Sheet %1").arg(sheetPart.number);
            readSheet(*part, shared, sheet, cellsLeft);
            wipeIfSoleOwner(*part);
            sheets.push_back(std::move(sheet));
        }
        wipeAll(shared);
        if (sheets.empty())
            return std::nullopt;
        return sheets;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

}  // namespace dorvex::app
