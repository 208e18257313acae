// The browser's conveniences: the transfer dialog's keys and its erase phase.
#include "BrowserFixture.h"

#include "core/SecureErase.h"

#include <QKeyEvent>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <thread>

using namespace session_test;
using dorvex::core::SecureErase;

namespace {

// Presses a key on the transfer dialog as soon as it shows, where the keyboard focus is in it.
class KeyWhenShown : public QObject {
public:
    explicit KeyWhenShown(Qt::Key key) : key_(key) { qApp->installEventFilter(this); }
    ~KeyWhenShown() override { qApp->removeEventFilter(this); }
    bool pressed = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        auto* dialog = qobject_cast<QProgressDialog*>(watched);
        if (!pressed && event->type() == QEvent::Show && dialog != nullptr
            && dialog->objectName() == QStringLiteral("transferProgressDialog")) {
            pressed = true;
            // Delivered at the next window, once the dialog has settled its focus.
            QTimer::singleShot(0, dialog, [dialog, key = key_] {
                QWidget* target = dialog->focusWidget() != nullptr ? dialog->focusWidget() : dialog;
                QTest::keyClick(target, key);
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    Qt::Key key_;
};

}  // namespace

// Qt makes a dialog's only button its default, so a stray Return pressed Cancel; Cancel takes a
// click or Escape.
TEST_F(BrowserTest, ReturnOnTheTransferDialogNeverCancelsButEscapeDoes)
{
    ProgressShownAtOnce shownAtOnce;
    // Several windows, so that a key lands while the import runs.
    const QByteArray contents(static_cast<qsizetype>(3 * dorvex::vault::TransferOptions::kWindowBytes), 'r');
    const struct {
        Qt::Key key;
        bool cancels;
    } cases[] = {{Qt::Key_Return, false}, {Qt::Key_Enter, false}, {Qt::Key_Escape, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(QTest::toString(QKeySequence(c.key)));
        const QString name = QStringLiteral("film-%1.mkv").arg(c.key);
        const QString source = makeSource(name, contents);
        KeyWhenShown presser(c.key);
        browser->importFromPath(source);
        ASSERT_TRUE(presser.pressed);
        EXPECT_EQ(container->contains(name), !c.cancels) << status->text().toStdString();
        EXPECT_EQ(QFileInfo::exists(source), c.cancels);
    }
}

namespace {

// Looks at the window while the erase of an original runs: every write of the erase is slowed a
// little, as on a slow disk, and asks whether the transfer dialog is up and what it says.
struct EraseWatch {
    static inline int writes = 0;
    static inline int writesSeenWithDialog = 0;
    static inline QString label;
    static inline int cancelAtWrite = 0;  // clicks Cancel at this write; 0 never
    static inline bool cancelClicked = false;
    static bool hook(SecureErase::Step step)
    {
        if (step != SecureErase::Step::Write)
            return true;
        ++writes;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (QProgressDialog* dialog = visibleTransferDialog()) {
            ++writesSeenWithDialog;
            label = dialog->labelText();
            if (writes == cancelAtWrite) {
                if (auto* cancel = dialog->findChild<QPushButton*>()) {
                    cancel->click();
                    cancelClicked = true;
                }
            }
        }
        return true;
    }
    EraseWatch()
    {
        writes = writesSeenWithDialog = cancelAtWrite = 0;
        cancelClicked = false;
        label.clear();
        SecureErase::stepHook = &hook;
    }
    ~EraseWatch() { SecureErase::stepHook = nullptr; }
};

}  // namespace

// The erase of a large original takes seconds: the dialog stays up through it, says so, and the
// window keeps handling its events meanwhile. Cancel cannot stop an erase once the import
// committed: pressed then, the erase finishes and the file counts as imported.
TEST_F(BrowserTest, TheTransferDialogStaysUpThroughTheEraseWhichCancelCannotStop)
{
    ProgressShownAtOnce shownAtOnce;
    const QByteArray contents(static_cast<qsizetype>(2 * dorvex::vault::TransferOptions::kWindowBytes), 'e');
    for (const bool cancelDuringErase : {false, true}) {
        SCOPED_TRACE(cancelDuringErase ? "Cancel pressed during the erase" : "left alone");
        const QString name = cancelDuringErase ? QStringLiteral("cancelled.iso") : QStringLiteral("kept.iso");
        const QString source = makeSource(name, contents);
        EraseWatch watch;
        EraseWatch::cancelAtWrite = cancelDuringErase ? 40 : 0;
        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
        ticker.start(5);

        browser->importFromPath(source);
        ticker.stop();

        const int writesOfTheErase = static_cast<int>(3 * contents.size() / SecureErase::kChunkBytes);
        EXPECT_EQ(EraseWatch::writes, writesOfTheErase);
        EXPECT_EQ(EraseWatch::writesSeenWithDialog, writesOfTheErase);
        if (cancelDuringErase) {
            EXPECT_TRUE(EraseWatch::cancelClicked);
            EXPECT_EQ(EraseWatch::label, QStringLiteral("\"%1\" is already in the vault: finishing the secure erase of "
                                                        "its original. Nothing more will be imported.")
                                             .arg(name));
        } else {
            EXPECT_EQ(EraseWatch::label, QStringLiteral("Securely erasing the original of \"%1\"...").arg(name));
        }
        // Two milliseconds a write: the window had its turn many times over.
        EXPECT_GT(ticks, 20);
        EXPECT_EQ(status->text(), QStringLiteral("Imported \"%1\" and securely erased the original.").arg(name));
        EXPECT_FALSE(QFileInfo::exists(source));
        EXPECT_TRUE(container->contains(name));
    }
}
