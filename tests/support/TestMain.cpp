// Shared main of every test binary: a QApplication on the offscreen platform, and every
// standard location below a fresh temporary home, so no test touches the real one.
#include "TestSupport.h"

#include "crypto/PasswordHasher.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTimer>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace {

std::unique_ptr<QTemporaryDir> g_home;
// The cheapest cost libsodium accepts for Argon2id.
const dorvex::crypto::detail::ArgonCost kCheapArgon{1, 8192};
const dorvex::crypto::detail::ArgonCost kRealArgon{dorvex::crypto::PasswordHasher::kOpsLimit,
                                                   dorvex::crypto::PasswordHasher::kMemLimit};
const dorvex::crypto::detail::ArgonCost* g_argonCost = &kCheapArgon;

void setEnv(const char* name, const QString& value) { ::setenv(name, QFile::encodeName(value).constData(), 1); }

class CleanupListener : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo&) override { dorvex::test::closeStrayWidgets(); }
};

}  // namespace

extern "C" const dorvex::crypto::detail::ArgonCost* murravoTestArgonCost()
{
    return g_argonCost;
}

namespace dorvex::test {

QString scratchHome() { return g_home->path(); }

QString makeScratchDir(const QString& name)
{
    const QString path = g_home->path() + QStringLiteral("/scratch/")
                         + (name.isEmpty() ? QUuid::createUuid().toString(QUuid::WithoutBraces) : name);
    QDir().mkpath(path);
    return path;
}

RealArgonCost::RealArgonCost() { g_argonCost = &kRealArgon; }
RealArgonCost::~RealArgonCost() { g_argonCost = &kCheapArgon; }

ArgonCost::ArgonCost(unsigned long long opsLimit, std::size_t memLimit)
    : cost_{opsLimit, memLimit}, previous_(g_argonCost)
{
    g_argonCost = &cost_;
}
ArgonCost::~ArgonCost() { g_argonCost = previous_; }

void closeStrayWidgets()
{
    // A test that ended the application loop while windows closed leaves Qt's "last window
    // closed" quit request queued; delivered outside any loop it would make every later
    // dialog of this process return at once.
    QCoreApplication::removePostedEvents(QCoreApplication::instance(), QEvent::Quit);
    for (int round = 0; round < 10; ++round) {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr)
            break;
        modal->close();
        QCoreApplication::processEvents();
    }
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible())
            w->close();
    }
    QCoreApplication::processEvents();
}

namespace detail {
void pollUntil(std::function<bool()> attempt, int timeoutMs)
{
    // Owned by the application so that a poll still waiting at exit is released with it.
    auto* timer = new QTimer(QCoreApplication::instance());
    QElapsedTimer clock;
    clock.start();
    timer->setInterval(10);
    auto busy = std::make_shared<bool>(false);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, clock, attempt, timeoutMs, busy]() {
        // An action that runs a nested event loop must not be started a second time from it.
        if (*busy)
            return;
        *busy = true;
        const bool done = attempt() || clock.elapsed() > timeoutMs;
        *busy = false;
        if (done) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
}
}  // namespace detail

}  // namespace dorvex::test

int main(int argc, char** argv)
{
    g_home = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/murravo-test-XXXXXX"));
    if (!g_home->isValid())
        return 2;
    const QString home = g_home->path();
    QDir().mkpath(home + QStringLiteral("/runtime"));
    QFile::setPermissions(home + QStringLiteral("/runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    setEnv("HOME", home);
    setEnv("XDG_DATA_HOME", home + QStringLiteral("/.local/share"));
    setEnv("XDG_CONFIG_HOME", home + QStringLiteral("/.config"));
    setEnv("XDG_CACHE_HOME", home + QStringLiteral("/.cache"));
    setEnv("XDG_STATE_HOME", home + QStringLiteral("/.local/state"));
    setEnv("XDG_RUNTIME_DIR", home + QStringLiteral("/runtime"));
    setEnv("TMPDIR", home);
    ::setenv("XDG_DATA_DIRS", "/usr/share", 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QString());
    QCoreApplication::setApplicationName(QStringLiteral("Murravo"));
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new CleanupListener);
    const int rc = RUN_ALL_TESTS();
    g_home.reset();
    return rc;
}
