// Extraction throughput of large Word and Excel parts, and open-to-first-paint of the viewer
// for a 100-page PDF and a 20-megapixel image.
// Peak memory: bench_office_rss docx|xlsx MIB (one extraction in a fresh process).
#include "OfficeArchives.h"
#include "SampleFiles.h"

#include "app/office/OfficeExtraction.h"
#include "ui/FileViewerDialog.h"

#include <QApplication>
#include <QImage>
#include <QPdfView>
#include <QTest>

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace dorvex::test;

namespace {

// Words of varied length, so the part compresses like prose (about 3:1) rather than like filler.
QByteArray prose(qsizetype bytes)
{
    static const char* words[] = {"the", "vault", "keeps", "every", "document", "sealed", "in", "memory",
                                  "until", "someone", "asks", "for", "it", "again", "quarterly", "figures"};
    QByteArray out;
    out.reserve(bytes + 64);
    quint32 state = 7;
    while (out.size() < bytes) {
        state = state * 1103515245u + 12345u;
        out += words[(state >> 16) % 16];
        out += ' ';
    }
    out.truncate(bytes);
    return out;
}

QByteArray documentPart(qsizetype bytes)
{
    QByteArray xml = "<w:document xmlns:w=\"urn:w\"><w:body>";
    const QByteArray text = prose(bytes);
    for (qsizetype at = 0; xml.size() < bytes; at += 400)
        xml += "<w:p><w:r><w:t>" + text.mid(at % (bytes - 400), 400) + "</w:t></w:r></w:p>";
    return xml + "</w:body></w:document>";
}

QByteArray sheetPart(qsizetype bytes)
{
    QByteArray xml = "<worksheet><sheetData>";
    for (int row = 1; xml.size() < bytes; ++row) {
        xml += "<row>";
        for (const char column : {'A', 'B', 'C', 'D', 'E', 'F'})
            xml += QByteArray("<c r=\"") + column + QByteArray::number(row) + "\"><v>" + QByteArray::number(row * 37 + column)
                   + "</v></c>";
        xml += "</row>";
    }
    return xml + "</sheetData></worksheet>";
}

std::vector<unsigned char> docxOf(qint64 mib) { return docx(documentPart(mib * 1024 * 1024)); }
std::vector<unsigned char> xlsxOf(qint64 mib) { return xlsx({{"xl/worksheets/sheet1.xml", sheetPart(mib * 1024 * 1024)}}); }

void BM_DocxText(benchmark::State& state)
{
    const auto archive = docxOf(state.range(0));
    for (auto _ : state) {
        auto text = dorvex::app::extractDocxText(archive);
        if (!text)
            state.SkipWithError("no text");
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0) * 1024 * 1024);
}
BENCHMARK(BM_DocxText)->Arg(10)->Arg(60)->Unit(benchmark::kMillisecond);

void BM_XlsxSheets(benchmark::State& state)
{
    const auto archive = xlsxOf(state.range(0));
    for (auto _ : state) {
        auto sheets = dorvex::app::extractXlsxSheets(archive);
        if (!sheets)
            state.SkipWithError("no sheets");
        benchmark::DoNotOptimize(sheets);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0) * 1024 * 1024);
}
BENCHMARK(BM_XlsxSheets)->Arg(10)->Arg(60)->Unit(benchmark::kMillisecond);

// From building the dialog to the first frame that shows the content itself.
void openToFirstPaint(benchmark::State& state, const QString& name, const std::vector<unsigned char>& bytes)
{
    for (auto _ : state) {
        FileViewerDialog dialog(name, bytes);
        dialog.show();
        (void)QTest::qWaitForWindowExposed(&dialog);
        if (auto* view = dialog.findChild<QPdfView*>()) {
            // The page is black where drawn; wait until the renderer's image is on screen.
            for (int i = 0; i < 2000; ++i) {
                const QImage frame = view->viewport()->grab().toImage();
                if (frame.pixelColor(frame.width() / 2, 40) == Qt::black)
                    break;
                QTest::qWait(1);
            }
        } else {
            (void)dialog.grab();
        }
    }
}

long statusKiB(const char* field)
{
    FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr)
        return 0;
    char line[256];
    long value = 0;
    while (std::fgets(line, sizeof line, status) != nullptr)
        if (std::strncmp(line, field, std::strlen(field)) == 0)
            value = std::atol(line + std::strlen(field));
    std::fclose(status);
    return value;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "--rss") == 0) {
        const qint64 mib = std::atoll(argv[3]);
        const auto archive = std::strcmp(argv[2], "xlsx") == 0 ? xlsxOf(mib) : docxOf(mib);
        // Building the archive raised the peak; it is reset so that only the extraction counts.
        malloc_trim(0);
        const long base = statusKiB("VmRSS:");
        if (FILE* reset = std::fopen("/proc/self/clear_refs", "w")) {
            std::fputs("5", reset);
            std::fclose(reset);
        }
        bool ok = false;
        if (std::strcmp(argv[2], "xlsx") == 0)
            ok = dorvex::app::extractXlsxSheets(archive).has_value();
        else
            ok = dorvex::app::extractDocxText(archive).has_value();
        if (!ok)
            return 1;
        const double extra = double(statusKiB("VmHWM:") - base) / 1024.0;
        std::printf("%s %lld MiB part: extra peak RSS %.1f MiB (%.2f x part)\n", argv[2], mib, extra, extra / mib);
        return 0;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const auto pdf = toVector(buildPdf({100, {612, 792}, 0, {}, "0 0 0 rg 0 0 612 792 re f"}));
    const auto image = toVector(encodedImage(5472, 3648, "JPEG"));
    benchmark::RegisterBenchmark("BM_OpenToFirstPaint/pdf_100_pages",
                                 [&](benchmark::State& s) { openToFirstPaint(s, QStringLiteral("r.pdf"), pdf); })
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_OpenToFirstPaint/jpeg_20_megapixels",
                                 [&](benchmark::State& s) { openToFirstPaint(s, QStringLiteral("p.jpg"), image); })
        ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
