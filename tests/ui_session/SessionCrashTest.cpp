// Whole program starts with a crash at every durable write (the AtomicFile seam, which the
// vault file shares): the first session, and a later sign-in with imports and the rollback
// timer. After each crash the next start must sign in with the right password.
#include "SessionFixture.h"

#include "FileFaults.h"
#include "Pilot.h"
#include "ui/FirstRunWizard.h"
#include "ui/LoginDialog.h"
#include "ui/MainWindow.h"
#include "vault/FileBlockStore.h"
#include "vault/GenerationBinding.h"

#include <QApplication>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <functional>
#include <set>

using namespace session_test;
using dorvex::test::FileFaults;
using dorvex::test::Pilot;

namespace {

// Imports a small file under `name` and runs the rollback timer's work at once.
void importAndTick(MainWindow* window, const QString& name)
{
    const QString source = dorvex::test::makeScratchDir() + QLatin1Char('/') + name;
    QFile file(source);
    if (file.open(QIODevice::WriteOnly))
        file.write("contents of " + name.toUtf8());
    file.close();
    (void)window->container()->importFile(source, name);
    window->onRollbackGuardAdvanceTimeout();
}

class SessionCrashTest : public SessionTest {
protected:
    // The start after a crash: it signs in (or, when no account was made, creates one) and
    // shows the vault, with no refusal on the way.
    void expectNextStartSignsIn(const QString& dir, int crashStep, const QStringList& mustList)
    {
        const bool accountMade = QFile::exists(dir + QStringLiteral("/identity.dat"));
        Pilot next(kPassword);
        EXPECT_EQ(next.start(dir), 0) << "crash at step " << crashStep;
        EXPECT_TRUE(next.windowHadVault) << "crash at step " << crashStep;
        EXPECT_EQ(next.wizardShown, !accountMade) << "crash at step " << crashStep;
        EXPECT_EQ(next.messages, QStringList()) << "crash at step " << crashStep;
        EXPECT_EQ(next.stuck, QStringList()) << "crash at step " << crashStep;
        for (const QString& name : mustList)
            EXPECT_TRUE(next.names.contains(name)) << qPrintable(name) << " lost after a crash at step " << crashStep;
        EXPECT_FALSE(QFile::exists(dorvex::vault::creatingPathFor(dir + QStringLiteral("/vault.drvx"))))
            << "crash at step " << crashStep;
    }

    // For n = 1, 2, 3... until a run meets no fault: a fresh folder made ready by `setup`, a
    // start that crashes at the nth durable step (it and every later one fail) while the user
    // does `inWindow`, then the start that must sign in.
    void crashAtEveryStep(const std::function<void(const QString&)>& setup,
                          const std::function<void(MainWindow*)>& inWindow, const QStringList& mustList)
    {
        int crashes = 0;
        for (int step = 1;; ++step) {
            const QString dir = dorvex::test::makeScratchDir();
            setup(dir);
            if (HasFatalFailure())
                return;
            bool injected = false;
            QString where;
            {
                FileFaults crash(step, FileFaults::Mode::FromThenOn);
                Pilot crashed(kPassword);
                crashed.inWindow = inWindow;
                (void)crashed.start(dir);
                injected = crash.injected();
                where = crash.firstFailed();
            }
            if (!injected)
                break;
            ++crashes;
            SCOPED_TRACE(where.toStdString());
            expectNextStartSignsIn(dir, step, mustList);
            if (HasFailure())
                break;
        }
        EXPECT_GT(crashes, 10) << "the runs met too few durable steps to prove anything";
    }
};

}  // namespace

TEST_F(SessionCrashTest, FirstSessionEveryDurableWriteThenTheNextStartSignsIn)
{
    crashAtEveryStep([](const QString&) {},
                     [](MainWindow* window) { importAndTick(window, QStringLiteral("first.txt")); }, {});
}

TEST_F(SessionCrashTest, SignInImportsAndTimerEveryDurableWriteThenTheNextStartSignsIn)
{
    crashAtEveryStep(
        [](const QString& dir) {
            Pilot first(kPassword);
            first.inWindow = [](MainWindow* window) { importAndTick(window, QStringLiteral("kept.txt")); };
            ASSERT_EQ(first.start(dir), 0);
            ASSERT_TRUE(first.windowHadVault);
        },
        [](MainWindow* window) {
            importAndTick(window, QStringLiteral("b.txt"));
            importAndTick(window, QStringLiteral("c.txt"));
        },
        {QStringLiteral("kept.txt")});
}
