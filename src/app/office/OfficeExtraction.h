#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

struct zip;

namespace dorvex::app {

// One worksheet as shown: cell texts at their column positions, gaps filled with empty strings.
struct XlsxSheet {
    QString name;
    QList<QStringList> rows;
    // Rows or cells were left out to keep the workbook's table within kMaxWorkbookCells.
    bool cut = false;
};

// Every read from an archive goes through these limits; a part that breaks one counts as missing.
inline constexpr unsigned long long kMaxPartBytes = 64ull * 1024 * 1024;
inline constexpr unsigned long long kMaxCompressionRatio = 200;
inline constexpr unsigned long long kWorkbookBudgetBytes = 64ull * 1024 * 1024;
inline constexpr unsigned long long kMaxProducedBytes = 2147483648ull;
inline constexpr long long kMaxArchiveEntries = 100000;
inline constexpr int kMaxColumns = 16384;
// Rows x columns of every sheet's table together (a row counts at least one column). Each slot
// costs an empty string in the rows and a pointer in the table, so this bounds both near 64 MB.
inline constexpr long long kMaxWorkbookCells = 2000000;

// The decompressed bytes of one part, or nothing. `budget`, when given, is shared by the parts
// of one workbook and shrinks by what each extraction produced. The caller wipes the result.
[[nodiscard]] std::optional<QByteArray> extractZipEntrySafely(struct zip& archive, const char* name,
                                                              unsigned long long* budget);

[[nodiscard]] std::optional<QString> extractDocxText(const std::vector<unsigned char>& bytes);
[[nodiscard]] std::optional<std::vector<XlsxSheet>> extractXlsxSheets(const std::vector<unsigned char>& bytes);

// Zeroes every cell text that no other string shares, then empties the sheets.
void wipeSheets(std::vector<XlsxSheet>& sheets) noexcept;
// Zeroes the string when it is the only holder of its buffer (never another string's), then empties it.
void wipeIfSoleOwner(QString& text) noexcept;
void wipeIfSoleOwner(QByteArray& bytes) noexcept;

}  // namespace dorvex::app
