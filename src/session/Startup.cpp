#include "session/Startup.h"

#include "app/CrashHandler.h"
#include "app/InstanceLock.h"
#include "app/Platform.h"
#include "app/SystemLog.h"
#include "session/Session.h"
#include "app/Theme.h"
#include "core/AppDataDir.h"
#include "core/AtomicFile.h"
#include "crypto/SelfTest.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMessageBox>
#include <QStandardPaths>

namespace dorvex::app {

namespace {

const QString kAppName = QStringLiteral("Murravo");

void setNames(const QString& organisation)
{
    QCoreApplication::setOrganizationName(organisation);
    QCoreApplication::setApplicationName(kAppName);
}

// Moves the plain files of an account folder; false when the step does not apply.
bool moveAccountFolder(const QString& source, const QString& destination, QStringList& leftovers)
{
    if (!QFile::exists(source + QStringLiteral("/identity.dat"))
        || QFile::exists(destination + QStringLiteral("/identity.dat")))
        return false;
    QDir().mkpath(destination);
    const QStringList names = QDir(source).entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                                     QDir::NoSort);
    for (const QString& name : names) {
        // rename never replaces an existing file, so a name taken in the destination stays put.
        if (!QFile::rename(source + QLatin1Char('/') + name, destination + QLatin1Char('/') + name))
            leftovers << source + QLatin1Char('/') + name;
    }
    return true;
}

// Files anywhere below `dir`: what a recursive removal would destroy.
QStringList filesBelow(const QString& dir)
{
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    return files;
}

}  // namespace

bool (*cryptoSelfTest)() = crypto::runSelfTest;

QStringList migrateLegacyFolders(const QString& genericBase)
{
    const QString oldest = genericBase + QStringLiteral("/DORVEX/DORVEX");
    const QString intermediate = genericBase + QStringLiteral("/Murravo/Murravo");
    const QString current = genericBase + QStringLiteral("/Murravo");

    QStringList leftovers;
    moveAccountFolder(oldest, intermediate, leftovers);
    QStringList ignored;
    if (moveAccountFolder(intermediate, current, ignored)) {
        // Remove the intermediate folder only when nothing would be lost with it.
        const QStringList remaining = filesBelow(intermediate);
        if (remaining.isEmpty())
            QDir(intermediate).removeRecursively();
        leftovers << remaining;
    }
    for (const QString& path : leftovers)
        qWarning("migrateLegacyFolders: kept %s because it could not be moved into the data folder.",
                 qUtf8Printable(QDir::toNativeSeparators(path)));
    return leftovers;
}

bool probeDataFolderWritable(const QString& dataDir)
{
    // Written as every data file is, so that a full disk or a failing sync shows up here.
    const QString path = dataDir + QStringLiteral("/.writecheck");
    if (!core::AtomicFile::replace(path, QByteArrayView("ok", 2)))
        return false;
    QFile::remove(path);
    return true;
}

int startApplication(QApplication& app)
{
    applyTheme(app);
    if (!cryptoSelfTest()) {
        qCritical("startApplication: the cryptographic self-test failed; refusing to start.");
        QMessageBox::critical(nullptr, QObject::tr("Murravo - Self-Test Failed"),
                              QObject::tr("Murravo's encryption failed its start-up self-test, so it cannot "
                                          "protect your vault on this computer. Murravo will not open the vault."));
        return kExitFailure;
    }

    // The data folder is named, and held, before anything in it is touched (the legacy migration
    // moves files into it): a second start on the same folder must change nothing.
    QCoreApplication::setOrganizationName(QString());
    const QString dataDir = core::appDataDir();
    QDir().mkpath(dataDir);
    InstanceLock instance;
    const InstanceLock::Outcome held = instance.acquire(dataDir);
    if (held == InstanceLock::Outcome::HeldElsewhere) {
        QMessageBox::information(nullptr, QObject::tr("Murravo - Already Running"),
                                 QObject::tr("Murravo is already running. Switch to the Murravo window that is "
                                             "already open; this second start closes without changing anything."));
        return kExitOk;
    }
    if (held == InstanceLock::Outcome::Acquired)
        migrateLegacyFolders(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));

    if (held != InstanceLock::Outcome::Acquired || !probeDataFolderWritable(dataDir)) {
        QMessageBox::critical(
            nullptr, QObject::tr("Murravo - Data Folder Not Writable"),
            QObject::tr("Murravo cannot save changes to its data folder:\n%1\n\nThis usually means the folder is "
                        "locked or its permissions were changed outside Murravo. Murravo will not open the vault "
                        "until it can save, to avoid leaving your vault and its records out of step with each other.")
                .arg(QDir::toNativeSeparators(dataDir)));
        return kExitFailure;
    }
    return runSessions(dataDir);
}

int runMain(int argc, char** argv)
{
    setNames(kAppName);
    installCrashHandler();
    platform::hardenProcess();
    installLogHandler();
    QApplication app(argc, argv);
    setNames(kAppName);
    // Ties the windows to the installed menu entry (Wayland app id, desktop session grouping).
    QGuiApplication::setDesktopFileName(QStringLiteral("com.brindleoak.murravo"));
    return startApplication(app);
}

}  // namespace dorvex::app
