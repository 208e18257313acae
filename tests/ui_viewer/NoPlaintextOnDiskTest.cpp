// While a viewer shows each kind of file, and after it closes, nothing is created or written in
// the home, data, config, cache, state, runtime or temporary folders (the test main puts all of
// them below one scratch home, watched here with inotify, every folder of it), and the clipboard
// is left as it was.
#include "OfficeArchives.h"
#include "SampleFiles.h"
#include "TestSupport.h"

#include "ui/FileViewerDialog.h"

#include <QClipboard>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QGuiApplication>
#include <QStandardPaths>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <climits>
#include <map>

using namespace dorvex::test;

namespace {

class FolderWatch {
public:
    FolderWatch() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~FolderWatch()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    [[nodiscard]] bool watchTree(const QString& root)
    {
        if (!add(root))
            return false;
        QDirIterator it(root, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            if (!add(it.next()))
                return false;
        return true;
    }

    // Every file created, written, renamed in or changed since the last call.
    [[nodiscard]] QStringList changes()
    {
        QStringList seen;
        alignas(inotify_event) char buffer[64 * (sizeof(inotify_event) + NAME_MAX + 1)];
        for (;;) {
            const ssize_t got = ::read(fd_, buffer, sizeof buffer);
            if (got <= 0)
                break;
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                seen << folders_[event->wd] + QLatin1Char('/')
                            + QString::fromLocal8Bit(event->len > 0 ? event->name : "");
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return seen;
    }

private:
    bool add(const QString& folder)
    {
        const int wd = inotify_add_watch(fd_, QFile::encodeName(folder).constData(),
                                         IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_ATTRIB);
        if (wd < 0)
            return false;
        folders_[wd] = folder;
        return true;
    }

    int fd_;
    std::map<int, QString> folders_;
};

void showAndClose(const QString& name, std::vector<unsigned char> bytes)
{
    {
        FileViewerDialog dialog(name, bytes);
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
        // Long enough for the PDF view's renderer thread to deliver its first pages.
        QTest::qWait(150);
        (void)dialog.grab();
    }
    dorvex::crypto::secureZero(bytes);
    QCoreApplication::processEvents();
}

}  // namespace

TEST(NoPlaintextOnDisk, NoViewerWritesAFileOrTouchesTheClipboard)
{
    const QString home = QDir::homePath();
    ASSERT_EQ(home, scratchHome());
    for (const auto location : {QStandardPaths::AppDataLocation, QStandardPaths::GenericDataLocation,
                                QStandardPaths::CacheLocation, QStandardPaths::GenericCacheLocation,
                                QStandardPaths::ConfigLocation, QStandardPaths::RuntimeLocation,
                                QStandardPaths::TempLocation}) {
        const QString folder = QStandardPaths::writableLocation(location);
        ASSERT_TRUE(folder.startsWith(home)) << folder.toStdString();
        QDir().mkpath(folder);
    }
    ASSERT_TRUE(QDir::tempPath().startsWith(home));

    struct Sample {
        const char* name;
        std::vector<unsigned char> bytes;
    };
    std::vector<Sample> samples;
    samples.push_back({"notes.txt", toVector("secret words\nsecond line")});
    samples.push_back({"scan.png", toVector(encodedImage(320, 200))});
    samples.push_back({"scan.jpg", toVector(encodedImage(320, 200, "JPEG"))});
    samples.push_back({"report.pdf", toVector(buildPdf({3, {612, 792}, 0, {}, {}}))});
    samples.push_back({"letter.docx", docx(documentXml({"dear", "reader"}))});
    samples.push_back({"budget.xlsx", xlsx({{"xl/worksheets/sheet1.xml", sheetXml({{{"A1", "1"}, {"B1", "2"}}})},
                                            {"xl/worksheets/sheet2.xml", sheetXml({{{"A1", "x"}}})}})});
    samples.push_back({"archive.zip", toVector("PK\x05\x06")});
    samples.push_back({"corrupt.pdf", toVector("%PDF-1.4\nbroken")});
    samples.push_back({"corrupt.png", toVector("\x89PNG\r\n\x1a\nbroken")});
    samples.push_back({"corrupt.docx", toVector("PK\x03\x04broken")});
    samples.push_back({"bomb.docx", toVector(buildZip({partWithRatio("word/document.xml", documentXml({"x"}), 300)}))});
    samples.push_back({"bomb.xlsx", toVector(buildZip({{"xl/worksheets/sheet1.xml", sheetXml({}), true, 64}}))});

    // Fonts and other one-time caches are settled by a first viewer before the watch starts.
    showAndClose(QStringLiteral("warm-up.txt"), toVector("warm up"));

    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setText(QStringLiteral("sentinel"));
    FolderWatch watch;
    ASSERT_TRUE(watch.watchTree(home));
    for (Sample& sample : samples) {
        showAndClose(QString::fromLatin1(sample.name), std::move(sample.bytes));
        EXPECT_EQ(watch.changes(), QStringList()) << sample.name;
        EXPECT_EQ(clipboard->text(), QStringLiteral("sentinel")) << sample.name;
    }

    // The watch itself sees a write anywhere below the home, however deep.
    const QString deep = QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/probe");
    QFile probe(deep);
    ASSERT_TRUE(probe.open(QIODevice::WriteOnly));
    probe.write("x");
    probe.close();
    EXPECT_TRUE(watch.changes().contains(deep));
}
