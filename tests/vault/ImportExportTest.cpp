// What an import hands to the erase afterwards, and how an export writes its copy: never over
// the vault's own files, never a truncated destination, always owner-only.
#include "MemoryBlockStore.h"
#include "VaultTestUtil.h"
#include "core/SecureErase.h"
#include "vault/FileBlockStore.h"
#include "vault/PrivateSaveFile.h"
#include "vault/VaultContainer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <csignal>
#include <map>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace dorvex;
using core::SecureErase;
using vault::VaultContainer;
using Outcome = SecureErase::Outcome;

namespace dorvex::core {
void PrintTo(SecureErase::Outcome outcome, std::ostream* out)
{
    static const char* const names[] = {"Erased", "Failed", "Changed"};
    *out << names[static_cast<int>(outcome)];
}
}  // namespace dorvex::core

namespace {

struct Fixture {
    QString dir = test::makeScratchDir();
    crypto::SecureBuffer key = test::keyFromSeed(4);
    std::unique_ptr<VaultContainer> vault = VaultContainer::create(
        std::make_unique<test::MemoryBlockStore>(std::make_shared<test::MemoryImage>()), key, test::testMachineId());
};

QByteArray bytesOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void put(const QString& path, const QByteArray& bytes, QIODevice::OpenMode mode = QIODevice::Truncate)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | mode));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

unsigned modeOf(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? static_cast<unsigned>(st.st_mode & 07777) : 0u;
}

void setModifiedTime(const QString& path, const struct timespec& when)
{
    const struct timespec times[2] = {when, when};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
}

struct timespec modifiedTimeOf(const QString& path)
{
    struct stat st {};
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    return st.st_mtim;
}

void makeLink(const QString& target, const QString& link)
{
    ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()), 0);
}

// Every name in dir with its contents, and for a symbolic link also where it points.
std::map<QString, QByteArray> snapshot(const QString& dir)
{
    std::map<QString, QByteArray> files;
    for (const QFileInfo& info : QDir(dir).entryInfoList(QDir::Files | QDir::System | QDir::Hidden)) {
        files[info.fileName()] =
            info.isSymLink() ? "-> " + QFile::encodeName(info.symLinkTarget()) : bytesOf(info.filePath());
    }
    return files;
}

const QByteArray kOriginal = QByteArray("the document as it was imported\n").repeated(300);

}  // namespace

// Between the import and the erase another program may change the file. Only the very file that
// was read, unchanged, is erased; anything else is left as it is and reported.
TEST(ImportThenErase, OnlyTheFileThatWasReadIsErased)
{
    const struct {
        const char* what;
        bool throughLink;  // imported through "link", a symbolic link to "doc"
        void (*change)(const QString& dir);
        Outcome expected;
    } cases[] = {
        {"unchanged", false, [](const QString&) {}, Outcome::Erased},
        {"appended to", false,
         [](const QString& dir) { put(dir + "/doc", "one more line\n", QIODevice::Append); }, Outcome::Changed},
        {"rewritten, same size, later modification time", false,
         [](const QString& dir) {
             struct timespec when = modifiedTimeOf(dir + "/doc");
             put(dir + "/doc", QByteArray(kOriginal.size(), 'r'));
             when.tv_sec += 1;
             setModifiedTime(dir + "/doc", when);
         },
         Outcome::Changed},
        {"replaced by a rename, same bytes and time", false,
         [](const QString& dir) {
             put(dir + "/doc.new", kOriginal);
             setModifiedTime(dir + "/doc.new", modifiedTimeOf(dir + "/doc"));
             ASSERT_EQ(::rename(QFile::encodeName(dir + "/doc.new").constData(),
                                QFile::encodeName(dir + "/doc").constData()),
                       0);
         },
         Outcome::Changed},
        {"moved away", false,
         [](const QString& dir) { ASSERT_TRUE(QFile::rename(dir + "/doc", dir + "/moved")); }, Outcome::Changed},
        {"through a link, unchanged", true, [](const QString&) {}, Outcome::Erased},
        {"through a link, its file appended to", true,
         [](const QString& dir) { put(dir + "/doc", "one more line\n", QIODevice::Append); }, Outcome::Changed},
        {"through a link, pointed at another file", true,
         [](const QString& dir) {
             put(dir + "/other", kOriginal);
             setModifiedTime(dir + "/other", modifiedTimeOf(dir + "/doc"));
             ASSERT_TRUE(QFile::remove(dir + "/link"));
             makeLink(dir + "/other", dir + "/link");
         },
         Outcome::Changed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fixture f;
        ASSERT_TRUE(f.vault);
        put(f.dir + "/doc", kOriginal);
        QString source = f.dir + "/doc";
        if (c.throughLink) {
            makeLink(source, f.dir + "/link");
            source = f.dir + "/link";
        }
        core::FileIdentity imported;
        ASSERT_TRUE(f.vault->importFile(source, QStringLiteral("doc"), &imported));
        c.change(f.dir);
        const auto before = snapshot(f.dir);

        EXPECT_EQ(SecureErase::eraseImportedFile(source, imported), c.expected);
        if (c.expected == Outcome::Erased)
            EXPECT_TRUE(snapshot(f.dir).empty()) << "the file and any link to it are gone";
        else
            EXPECT_EQ(snapshot(f.dir), before) << "nothing is touched";
        const auto stored = f.vault->readFileBytes(QStringLiteral("doc"));
        ASSERT_TRUE(stored);
        EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(stored->data()), static_cast<qsizetype>(stored->size())),
                  kOriginal);
    }
}

// The vault file and its lock file, however they are named, are neither imported (which would
// erase them) nor overwritten by an export.
TEST(VaultOwnFiles, AreNeverImportedNorExportedOnto)
{
    const QString dir = test::makeScratchDir();
    const QString vaultPath = dir + "/vault.drvx";
    const crypto::SecureBuffer key = test::keyFromSeed(5);
    auto vault = VaultContainer::create(std::make_unique<vault::FileBlockStore>(vaultPath), key, test::testMachineId());
    ASSERT_TRUE(vault);
    ASSERT_TRUE(vault->importFile(test::writeFile(dir, "entry", test::patternBytes(5000, 2)), "entry"));
    ASSERT_TRUE(QDir().mkpath(dir + "/sub"));
    makeLink(vaultPath, dir + "/alias.drvx");
    ASSERT_EQ(::link(QFile::encodeName(vaultPath).constData(), QFile::encodeName(dir + "/hard.drvx").constData()), 0);
    const QByteArray vaultBytes = bytesOf(vaultPath);
    const QByteArray lockBytes = bytesOf(vault::lockPathFor(vaultPath));
    ASSERT_FALSE(lockBytes.isEmpty());

    for (const QString& path : {vaultPath, vault::lockPathFor(vaultPath), dir + "/sub/../vault.drvx",
                                dir + "/alias.drvx", dir + "/hard.drvx"}) {
        SCOPED_TRACE(path.toStdString());
        EXPECT_FALSE(vault->exportFile("entry", path));
        EXPECT_FALSE(vault->importFile(path, "copy"));
    }
    EXPECT_EQ(bytesOf(vaultPath), vaultBytes);
    EXPECT_EQ(bytesOf(vault::lockPathFor(vaultPath)), lockBytes);
    EXPECT_EQ(vault->listEntries().size(), 1u);
    EXPECT_TRUE(vault->exportFile("entry", dir + "/sub/entry"));
    vault.reset();
    const auto reopened = VaultContainer::open(std::make_unique<vault::FileBlockStore>(vaultPath), key,
                                               test::testMachineId());
    ASSERT_TRUE(reopened);
    EXPECT_EQ(reopened->readFileBytes("entry"), test::patternBytes(5000, 2));
}

// The write itself fails part-way (the file-size limit stands in for a full disk): the file
// that was there keeps its bytes and no partial copy is left beside it.
TEST(VaultExport, AWriteThatFailsPartWayLeavesTheDestinationAsItWas)
{
    Fixture f;
    ASSERT_TRUE(f.vault->importFile(test::writeFile(f.dir, "src", test::patternBytes(300000, 7)), "big"));
    ASSERT_TRUE(QFile::remove(f.dir + "/src"));
    const QString destination = f.dir + "/out.bin";
    put(destination, "the file that was there");

    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 65536;
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool exported = f.vault->exportFile("big", destination);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_FALSE(exported);
    EXPECT_EQ(bytesOf(destination), QByteArray("the file that was there"));
    EXPECT_EQ(QDir(f.dir).entryList(QDir::Files | QDir::Hidden), QStringList{"out.bin"});
}

namespace {

struct SaveSteps {
    static inline int calls = 0;
    static inline int failAt = 0;
    static bool hook(vault::PrivateSaveFile::Step)
    {
        return ++calls != failAt;
    }
};

}  // namespace

// A failure at any step of the save (create, each write, sync, rename) leaves an existing
// destination untouched and nothing beside it; without a failure the copy replaces it.
TEST(VaultExport, AFailureAtAnyStepLeavesTheDestinationUntouched)
{
    Fixture f;
    const auto contents = test::patternBytes(70000, 8);
    ASSERT_TRUE(f.vault->importFile(test::writeFile(f.dir, "src", contents), "doc"));
    ASSERT_TRUE(QFile::remove(f.dir + "/src"));
    const QString destination = f.dir + "/out.bin";
    put(destination, "the file that was there");
    vault::PrivateSaveFile::stepHook = &SaveSteps::hook;
    for (int failAt = 1;; ++failAt) {
        SCOPED_TRACE(failAt);
        SaveSteps::calls = 0;
        SaveSteps::failAt = failAt;
        const bool exported = f.vault->exportFile("doc", destination);
        EXPECT_EQ(QDir(f.dir).entryList(QDir::Files | QDir::Hidden), QStringList{"out.bin"});
        if (failAt > SaveSteps::calls) {
            EXPECT_TRUE(exported);
            EXPECT_EQ(test::readWholeFile(destination), contents);
            EXPECT_GE(failAt, 5) << "create, write, sync and rename were all asked";
            break;
        }
        EXPECT_FALSE(exported);
        EXPECT_EQ(bytesOf(destination), QByteArray("the file that was there"));
    }
    vault::PrivateSaveFile::stepHook = nullptr;
}

// Exported copies are readable by their owner only, before their first byte and whatever the
// umask; an existing file that others could read is replaced by such a copy.
TEST(VaultExport, CopiesAreOwnerOnlyWhateverTheUmask)
{
    Fixture f;
    ASSERT_TRUE(f.vault->importFile(test::writeFile(f.dir, "src", {1, 2, 3}), "doc"));
    for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0277}}) {
        SCOPED_TRACE(mask);
        const mode_t saved = ::umask(mask);
        const QString fresh = f.dir + QStringLiteral("/fresh%1").arg(mask);
        const QString existing = f.dir + QStringLiteral("/existing%1").arg(mask);
        put(existing, "readable by everyone");
        ASSERT_EQ(::chmod(QFile::encodeName(existing).constData(), 0644), 0);
        EXPECT_TRUE(f.vault->exportFile("doc", fresh));
        EXPECT_TRUE(f.vault->exportFile("doc", existing));
        ::umask(saved);
        EXPECT_EQ(modeOf(fresh), 0600u);
        EXPECT_EQ(modeOf(existing), 0600u);
        EXPECT_EQ(test::readWholeFile(existing), (std::vector<unsigned char>{1, 2, 3}));
    }
}

// Only a regular file (or nothing) is replaced: writing into a FIFO would block, and a rename
// over a device node or a folder would swap the node itself.
TEST(VaultExport, OnlyARegularFileIsReplaced)
{
    Fixture f;
    ASSERT_TRUE(f.vault->importFile(test::writeFile(f.dir, "src", {1, 2, 3}), "doc"));
    const QString fifo = f.dir + "/fifo";
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    ASSERT_TRUE(QDir().mkpath(f.dir + "/folder"));
    for (const QString& path : {fifo, f.dir + "/folder"}) {
        SCOPED_TRACE(path.toStdString());
        EXPECT_FALSE(f.vault->exportFile("doc", path));
    }
    EXPECT_FALSE(QFileInfo(fifo).isFile());
    EXPECT_TRUE(QFileInfo(f.dir + "/folder").isDir());
    // Through a link to a regular file the file it names gets the copy and the link stays.
    put(f.dir + "/target", "old");
    makeLink(f.dir + "/target", f.dir + "/link");
    EXPECT_TRUE(f.vault->exportFile("doc", f.dir + "/link"));
    EXPECT_TRUE(QFileInfo(f.dir + "/link").isSymLink());
    EXPECT_EQ(test::readWholeFile(f.dir + "/target"), (std::vector<unsigned char>{1, 2, 3}));
}
