// The browser over a real container, with the files to import in a scratch folder.
#pragma once

#include "SessionFixture.h"

#include "ui/FileViewerDialog.h"
#include "ui/TransferProgressDialog.h"
#include "ui/VaultBrowserWidget.h"
#include "vault/FileBlockStore.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QTableWidget>

#include <map>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace session_test {

using dorvex::vault::VaultContainer;

// Makes a file or folder immutable (root) so that even root cannot change or delete it;
// false where the file system or the process's capabilities do not allow it.
inline bool setImmutable(const QString& path, bool on)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}

class BrowserTest : public SessionTest {
protected:
    void SetUp() override
    {
        SessionTest::SetUp();
        key = createAccountAndVault();
        container = reopen(key);
        ASSERT_NE(container, nullptr);
        browser = std::make_unique<VaultBrowserWidget>(*container, vaultPath(), dataDir);
        table = browser->findChild<QTableWidget*>(QStringLiteral("vaultTable"));
        status = browser->findChild<QLabel*>(QStringLiteral("vaultStatusLabel"));
        ASSERT_NE(table, nullptr);
        ASSERT_NE(status, nullptr);
        sourceDir = dorvex::test::makeScratchDir();
    }
    void TearDown() override
    {
        browser.reset();
        container.reset();
        SessionTest::TearDown();
    }

    QPushButton* button(const char* name) const { return browser->findChild<QPushButton*>(QString::fromLatin1(name)); }
    bool failureColoured() const { return status->styleSheet() == QStringLiteral("color: #FF7A7A;"); }

    // Exports the selected row to `path` through the save dialog, confirming a replacement.
    void exportSelectedTo(const QString& path)
    {
        dorvex::test::whenShown<QFileDialog>([path](QFileDialog* dialog) {
            // Typed as a user would: selectFile() races the dialog's directory listing.
            auto* nameEdit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            ASSERT_NE(nameEdit, nullptr);
            nameEdit->setText(path);
            QMetaObject::invokeMethod(dialog, "accept");
        });
        if (QFileInfo::exists(path))
            answerNextMessage(QMessageBox::Yes);
        browser->onExportClicked();
    }

    // Every file of the data folder with its bytes.
    std::map<QString, QByteArray> dataFolderFiles() const
    {
        std::map<QString, QByteArray> files;
        for (const QFileInfo& info : QDir(dataDir).entryInfoList(QDir::Files | QDir::Hidden | QDir::System))
            files[info.fileName()] = readFile(info.filePath());
        return files;
    }

    QString makeSource(const QString& name, const QByteArray& bytes)
    {
        const QString path = sourceDir + QLatin1Char('/') + name;
        writeFile(path, bytes);
        return path;
    }

    // Imports entries with ever shorter names until the index has no room even for a short one.
    void fillIndex()
    {
        const QString empty = makeSource(QStringLiteral("empty"), QByteArray());
        int serial = 0;
        for (qsizetype length = 65536; length > 0; length /= 2) {
            while (container->importFile(empty, QString::number(serial++) + QString(length, QLatin1Char('n')))) {
            }
        }
        ASSERT_GT(container->listEntries().size(), 8u);
    }

    dorvex::crypto::SecureBuffer key;
    std::unique_ptr<VaultContainer> container;
    std::unique_ptr<VaultBrowserWidget> browser;
    QTableWidget* table = nullptr;
    QLabel* status = nullptr;
    QString sourceDir;
};


// Presses Cancel the moment the transfer dialog shows, as a user would, and notes what it said.
class CancelWhenShown : public QObject {
public:
    CancelWhenShown() { qApp->installEventFilter(this); }
    ~CancelWhenShown() override { qApp->removeEventFilter(this); }
    bool enabled = true;
    QString title;
    QString label;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        auto* dialog = qobject_cast<QProgressDialog*>(watched);
        if (enabled && event->type() == QEvent::Show && dialog != nullptr
            && dialog->objectName() == QStringLiteral("transferProgressDialog")) {
            title = dialog->windowTitle();
            label = dialog->labelText();
            if (auto* cancel = dialog->findChild<QPushButton*>())
                cancel->click();
        }
        return QObject::eventFilter(watched, event);
    }
};



// The transfer dialog shows at its first window instead of after half a second.
struct ProgressShownAtOnce {
    int previous = TransferProgressDialog::showDelayMs;
    ProgressShownAtOnce() { TransferProgressDialog::showDelayMs = 0; }
    ~ProgressShownAtOnce() { TransferProgressDialog::showDelayMs = previous; }
};

// The transfer dialog while it is up, or null.
inline QProgressDialog* visibleTransferDialog()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QProgressDialog*>(widget);
        if (dialog != nullptr && dialog->isVisible() && dialog->objectName() == QStringLiteral("transferProgressDialog"))
            return dialog;
    }
    return nullptr;
}

// Views the selected row through `open` and reports what the viewer showed, then closes it.
struct ViewerSeen {
    bool shown = false;
    QString name;
    QString text;
};

// A poll that outlives its test would close the next test's viewer: one that expects none
// gives it a short life and waits it out.
inline std::shared_ptr<ViewerSeen> closeNextViewer(int timeoutMs = 5000)
{
    auto seen = std::make_shared<ViewerSeen>();
    dorvex::test::whenShown<FileViewerDialog>([seen](FileViewerDialog* viewer) {
        seen->shown = true;
        seen->name = viewer->findChild<QLabel*>(QStringLiteral("fileViewerNameLabel"))->text();
        if (auto* text = viewer->findChild<QPlainTextEdit*>())
            seen->text = text->toPlainText();
        else if (auto* label = viewer->findChild<QLabel*>(QStringLiteral("fileViewerMessageLabel")))
            seen->text = label->text();
        viewer->findChild<QPushButton*>(QStringLiteral("fileViewerCloseButton"))->click();
    }, QString(), timeoutMs);
    return seen;
}

}  // namespace session_test
