// Input: any bytes, read as a Word document and as a workbook. Neither may crash, and what a
// workbook yields must stay within the table cap.
#include "app/office/OfficeExtraction.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::vector<unsigned char> bytes(data, data + size);
#ifdef MURRAVO_FUZZ_XLSX
    std::optional<std::vector<dorvex::app::XlsxSheet>> sheets = dorvex::app::extractXlsxSheets(bytes);
    if (sheets) {
        long long tableSlots = 0;
        for (const dorvex::app::XlsxSheet& sheet : *sheets) {
            qsizetype widest = 1;
            for (const QStringList& row : sheet.rows)
                widest = std::max(widest, row.size());
            tableSlots += sheet.rows.size() * widest;
            if (widest > dorvex::app::kMaxColumns)
                std::abort();
        }
        if (tableSlots > dorvex::app::kMaxWorkbookCells)
            std::abort();
        dorvex::app::wipeSheets(*sheets);
    }
#else
    std::optional<QString> text = dorvex::app::extractDocxText(bytes);
    if (text)
        dorvex::app::wipeIfSoleOwner(*text);
#endif
    return 0;
}
