#include "app/InstanceLock.h"
#include "session/Startup.h"
#include "ui/FirstRunWizard.h"

#include "HangGuard.h"
#include "SmallTmpfs.h"
#include "TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <map>

#include <sys/stat.h>

using namespace dorvex;

namespace {

void put(const QString& path, const QByteArray& content = "x")
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content);
}

QByteArray read(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Every entry below `dir` (folders too) with the bytes of the files.
std::map<QString, QByteArray> tree(const QString& dir)
{
    std::map<QString, QByteArray> entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        entries[QDir(dir).relativeFilePath(path)] = it.fileInfo().isDir() ? QByteArray("<dir>") : read(path);
    }
    return entries;
}

}  // namespace

// One row per starting layout; the columns say where the files end up.
TEST(LegacyMigration, Table)
{
    struct Case {
        const char* name;
        QStringList oldest, intermediate, current;  // files present before
        QStringList expectCurrent;                  // files in <base>/Murravo afterwards
        bool intermediateRemains;
        QStringList expectLeftovers;  // relative to base
    };
    const QString id = QStringLiteral("identity.dat");
    const QString vault = QStringLiteral("vault.drvx");
    const Case cases[] = {
        {"oldest only travels all the way", {id, vault, QStringLiteral("identity.dat.key")}, {}, {},
         {id, vault, QStringLiteral("identity.dat.key")}, false, {}},
        {"intermediate only", {}, {id, vault}, {}, {id, vault}, false, {}},
        {"intermediate and current both hold accounts", {}, {id, vault}, {id}, {id}, true, {}},
        {"neither", {}, {}, {}, {}, false, {}},
        {"legacy folder without identity.dat is ignored", {vault}, {vault}, {}, {}, true, {}},
        {"a leftover that could not move is kept", {}, {id, vault}, {vault}, {id, vault}, true,
         {QStringLiteral("Murravo/Murravo/vault.drvx")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString base = test::makeScratchDir();
        for (const auto& f : c.oldest)
            put(base + "/DORVEX/DORVEX/" + f, "oldest:" + f.toUtf8());
        for (const auto& f : c.intermediate)
            put(base + "/Murravo/Murravo/" + f, "intermediate:" + f.toUtf8());
        for (const auto& f : c.current)
            put(base + "/Murravo/" + f, "current:" + f.toUtf8());

        const QStringList leftovers = app::migrateLegacyFolders(base);

        QStringList current = QDir(base + "/Murravo").entryList(QDir::Files, QDir::Name);
        QStringList expected = c.expectCurrent;
        expected.sort();
        EXPECT_EQ(current, expected);
        EXPECT_EQ(QDir(base + "/Murravo/Murravo").exists(), c.intermediateRemains);
        QStringList relative;
        for (const auto& l : leftovers)
            relative << QDir(base).relativeFilePath(l);
        EXPECT_EQ(relative, c.expectLeftovers);
        if (!c.oldest.isEmpty() && c.oldest.contains(id)) {
            EXPECT_TRUE(QDir(base + "/DORVEX/DORVEX").exists()) << "the oldest folder stays, emptied";
            EXPECT_TRUE(QDir(base + "/DORVEX/DORVEX").entryList(QDir::Files).isEmpty());
            EXPECT_EQ(read(base + "/Murravo/identity.dat"), QByteArray("oldest:identity.dat"));
        }
    }
}

TEST(LegacyMigration, LeftoverIsNeverOverwrittenNorDeleted)
{
    const QString base = test::makeScratchDir();
    put(base + "/Murravo/Murravo/identity.dat", "legacy account");
    put(base + "/Murravo/Murravo/vault.drvx", "legacy vault");
    put(base + "/Murravo/vault.drvx", "current vault");
    put(base + "/Murravo/Murravo/notes/kept.txt", "nested");
    app::migrateLegacyFolders(base);
    EXPECT_EQ(read(base + "/Murravo/vault.drvx"), QByteArray("current vault"));
    EXPECT_EQ(read(base + "/Murravo/Murravo/vault.drvx"), QByteArray("legacy vault"));
    EXPECT_EQ(read(base + "/Murravo/Murravo/notes/kept.txt"), QByteArray("nested"));
    EXPECT_EQ(read(base + "/Murravo/identity.dat"), QByteArray("legacy account"));
}

TEST(WriteProbe, SucceedsAndLeavesNothingBehind)
{
    const QString dir = test::makeScratchDir();
    EXPECT_TRUE(app::probeDataFolderWritable(dir));
    EXPECT_TRUE(QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
}

TEST(WriteProbe, FailsWhereEvenRootCannotWrite)
{
    const QString dir = test::makeScratchDir();
    put(dir + "/file");
    EXPECT_FALSE(app::probeDataFolderWritable(dir + "/file"));
}

TEST(WriteProbe, FailsOnAFullDiskAndLeavesNothingBehind)
{
    test::SmallTmpfs disk(256);
    MURRAVO_REQUIRE_TMPFS(disk);
    disk.fillLeaving(0);
    EXPECT_FALSE(app::probeDataFolderWritable(disk.path()));
    disk.release();
    EXPECT_TRUE(QDir(disk.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
    EXPECT_TRUE(app::probeDataFolderWritable(disk.path()));
}

TEST(WriteProbe, AFifoInItsPlaceDoesNotBlock)
{
    test::HangGuard guard;
    const QString dir = test::makeScratchDir();
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir + "/.writecheck").constData(), 0600), 0);
    EXPECT_TRUE(app::probeDataFolderWritable(dir));
    EXPECT_FALSE(QFileInfo::exists(dir + "/.writecheck"));
}

class StartApplication : public ::testing::Test {
protected:
    void SetUp() override { savedDataHome_ = qgetenv("XDG_DATA_HOME"); }
    void TearDown() override
    {
        qputenv("XDG_DATA_HOME", savedDataHome_);
        QCoreApplication::setOrganizationName(QString());
    }
    QByteArray savedDataHome_;
};

TEST_F(StartApplication, UnwritableDataFolderExitsOneBeforeCreatingAnything)
{
    const QString dir = test::makeScratchDir();
    put(dir + "/not-a-folder");
    const QString dataHome = dir + "/not-a-folder/share";
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome));
    QString title, text;
    test::whenShown<QMessageBox>([&](QMessageBox* box) {
        title = box->windowTitle();
        text = box->text();
        box->accept();
    });
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    EXPECT_EQ(app::startApplication(*app), 1);
    EXPECT_EQ(title, QStringLiteral("Murravo - Data Folder Not Writable"));
    EXPECT_TRUE(text.startsWith(QStringLiteral("Murravo cannot save changes to its data folder:\n") + dataHome
                                + QStringLiteral("/Murravo\n\n")))
        << text.toStdString();
    EXPECT_EQ(read(dir + "/not-a-folder"), QByteArray("x"));
}

TEST_F(StartApplication, WritableDataFolderStartsAndLeavesNoProbe)
{
    const QString dataHome = test::makeScratchDir() + "/share";
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome));
    // Start-up goes on into the first-run wizard; declining it ends the program normally.
    bool wizardShown = false;
    test::whenShown<FirstRunWizard>([&](FirstRunWizard* wizard) {
        wizardShown = true;
        wizard->reject();
    });
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    EXPECT_EQ(app::startApplication(*app), 0);
    EXPECT_TRUE(wizardShown);
    EXPECT_TRUE(QDir(dataHome + "/Murravo").exists());
    EXPECT_FALSE(QFile::exists(dataHome + "/Murravo/.writecheck"));
}

// A vault without its account can never be opened: the start says so instead of offering a
// new account over it, and leaves every file as it was.
TEST_F(StartApplication, VaultWithoutItsAccountIsNamedAndNoAccountIsOffered)
{
    const QString dataHome = test::makeScratchDir() + "/share";
    const QString dataDir = dataHome + "/Murravo";
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome));
    put(dataDir + "/vault.drvx", "vault");
    // Present beforehand so that the start has no reason of its own to write them.
    put(dataDir + "/machine_id.txt", "3f1c2e4a-5b6d-4e7f-8a9b-0c1d2e3f4a5b");
    put(dataDir + "/" + app::InstanceLock::kFileName, QByteArray());
    const auto before = tree(dataHome);

    QStringList shown;
    test::whenShown<QDialog>([&](QDialog* dialog) {
        shown << dialog->windowTitle();
        dialog->reject();
    });
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    EXPECT_EQ(app::startApplication(*app), 0);
    EXPECT_EQ(shown, QStringList{QStringLiteral("Murravo - Account Missing")});
    EXPECT_TRUE(tree(dataHome) == before) << "the start changed the data folder";
}

TEST_F(StartApplication, FailedSelfTestRefusesToStart)
{
    const QString dataHome = test::makeScratchDir() + "/share";
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome));
    const auto saved = app::cryptoSelfTest;
    app::cryptoSelfTest = [] { return false; };
    QString title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    test::whenShown<QMessageBox>([&](QMessageBox* box) {
        title = box->windowTitle();
        icon = box->icon();
        box->accept();
    });
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    const int rc = app::startApplication(*app);
    app::cryptoSelfTest = saved;
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(title, QStringLiteral("Murravo - Self-Test Failed"));
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_FALSE(QDir(dataHome + "/Murravo").exists()) << "nothing is created before the self-test passes";
}

// A running instance holds the data folder; a second start, even one that would take over a
// legacy account, says so and changes no file. Once the holder is killed a start goes ahead.
TEST_F(StartApplication, SecondStartOnAHeldDataFolderChangesNothing)
{
    const QString dataHome = test::makeScratchDir() + "/share";
    const QString dataDir = dataHome + "/Murravo";
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome));
    put(dataHome + "/Murravo/Murravo/identity.dat", "legacy account");
    put(dataDir + "/vault.drvx", "vault");

    QProcess holder;
    holder.start(QStringLiteral(MURRAVO_INSTANCE_LOCK_HOLDER), {dataDir});
    ASSERT_TRUE(holder.waitForStarted());
    while (!holder.canReadLine() && holder.waitForReadyRead()) {
    }
    ASSERT_EQ(holder.readLine(), QByteArray("held\n"));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(dataDir + "/.instance.lock").constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    const auto before = tree(dataHome);

    QStringList shown;
    test::whenShown<QDialog>([&](QDialog* dialog) {
        shown << dialog->windowTitle();
        if (auto* box = qobject_cast<QMessageBox*>(dialog))
            shown << box->text();
        dialog->reject();
    });
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    EXPECT_EQ(app::startApplication(*app), 0);
    ASSERT_EQ(shown.size(), 2) << shown.join(" | ").toStdString();
    EXPECT_EQ(shown[0], QStringLiteral("Murravo - Already Running"));
    EXPECT_TRUE(shown[1].startsWith(QStringLiteral("Murravo is already running."))) << shown[1].toStdString();
    EXPECT_TRUE(tree(dataHome) == before) << "the second start changed the data folder";

    holder.kill();  // SIGKILL: the holder gets no chance to let go by itself
    ASSERT_TRUE(holder.waitForFinished());
    bool signInShown = false;
    test::whenShown<QDialog>([&](QDialog* dialog) {
        signInShown = !qobject_cast<QMessageBox*>(dialog);
        dialog->reject();
    });
    EXPECT_EQ(app::startApplication(*app), 0);
    EXPECT_TRUE(signInShown);
    EXPECT_EQ(read(dataDir + "/identity.dat"), QByteArray("legacy account"));

    app::InstanceLock again;
    EXPECT_EQ(again.acquire(dataDir), app::InstanceLock::Outcome::Acquired) << "released when start-up returns";
}
