// Every writer of the data folder against a real full disk and against a failure injected at
// each file step in turn: the file is then the old or the new one, never empty or broken, and
// a failed write leaves the old bytes exactly. Every file is owner-only from its first byte.
#include "AccountFixture.h"
#include "FileFaults.h"
#include "SmallTmpfs.h"

#include "core/AppDataDir.h"
#include "core/AtomicFile.h"
#include "core/AuthManager.h"
#include "core/IdleLockSettings.h"
#include "core/LocalIntegrityKey.h"
#include "core/LoginLockout.h"
#include "core/SealedFile.h"
#include "vault/FileBlockStore.h"
#include "vault/StorageConfig.h"
#include "vault/VaultRollbackGuard.h"

#include <QDir>
#include <QDirIterator>
#include <QJsonObject>

#include <functional>
#include <map>
#include <string>

using namespace dorvex;
using test::FileFaults;

namespace {

const std::string kPassword = "Correct-Horse-9";
const QString kVaultId = QStringLiteral("3f2a9c4e-1b7d-4e8f-a6c2-9d0e5b7a1c34");
const QString kMachine = QStringLiteral("machine-1");

QString in(const QString& dir, const char* name) { return dir + QLatin1Char('/') + QLatin1String(name); }

// What a writer finds in its folder: "old", "new", or a description of anything else.
using State = std::string;

struct Writer {
    const char* name;
    std::function<void(const QString& dir)> setup;  // leaves the old state
    std::function<bool(const QString& dir)> write;  // moves to the new state
    std::function<State(const QString& dir)> state;
    bool replacesExistingFiles = true;  // false: it creates a file and its sidecar
};

State identityState(const QString& dir)
{
    // A lockout read that a fault failed rightly counts as a penalty; this state is the identity's.
    QFile::remove(in(dir, "identity.dat.lockout"));
    QFile::remove(in(dir, "identity.dat.lockout.key"));
    core::AuthManager auth(in(dir, "identity.dat"));
    core::LoginFailureReason reason = core::WrongPassword;
    if (auth.login(kPassword, false, kVaultId, nullptr, &reason))
        return "new";
    if (auth.login(kPassword, false, QString(), nullptr, &reason))
        return "old";
    return "identity refused, reason " + std::to_string(reason);
}

State sealedNumber(const QString& path, const char* key, int oldValue, int newValue)
{
    const auto read = core::SealedFile::readAuthenticated(path, core::SealedKeySource::Load);
    if (read.status == core::SealedReadStatus::Absent && oldValue < 0) {
        const QString sidecar = core::SealedFile::keyPathFor(path);
        if (core::LocalIntegrityKey::exists(sidecar) && core::LocalIntegrityKey::load(sidecar).empty())
            return "absent with an unusable sidecar";
        return "old";
    }
    if (!read.ok())
        return "unreadable, status " + std::to_string(static_cast<int>(read.status));
    const int value = read.object.value(QLatin1String(key)).toInt(-2);
    return value == oldValue ? "old" : value == newValue ? "new" : "holds " + std::to_string(value);
}

const Writer kWriters[] = {
    {"sealed file",
     [](const QString& dir) { ASSERT_TRUE(core::IdleLockSettings(in(dir, "idlelock.dat")).writeTimeoutMinutes(3)); },
     [](const QString& dir) { return core::IdleLockSettings(in(dir, "idlelock.dat")).writeTimeoutMinutes(7); },
     [](const QString& dir) { return sealedNumber(in(dir, "idlelock.dat"), "timeoutMinutes", 3, 7); }},
    {"identity rewrite",
     [](const QString& dir) {
         ASSERT_TRUE(core::AuthManager(in(dir, "identity.dat")).createIdentity(QStringLiteral("alice"), kPassword));
     },
     [](const QString& dir) {
         core::AuthManager auth(in(dir, "identity.dat"));
         const auto key = auth.login(kPassword, false, QString(), nullptr, nullptr);
         return key && auth.bindVaultKeyToVaultIdentity(*key, kVaultId);
     },
     identityState},
    {"rollback record",
     [](const QString& dir) {
         ASSERT_TRUE(vault::VaultRollbackGuard(in(dir, "vault_generation.dat")).checkAndAdvance(kVaultId, 4, true,
                                                                                                 nullptr));
     },
     [](const QString& dir) {
         return vault::VaultRollbackGuard(in(dir, "vault_generation.dat")).checkAndAdvance(kVaultId, 5, false,
                                                                                          nullptr);
     },
     [](const QString& dir) -> State {
         const auto g = vault::VaultRollbackGuard(in(dir, "vault_generation.dat")).highestKnownGeneration();
         return g == 4 ? "old" : g == 5 ? "new" : "generation " + std::to_string(g);
     }},
    {"storage configuration",
     [](const QString& dir) {
         ASSERT_TRUE(vault::StorageConfig(in(dir, "storage.dat"), kMachine, 4).setMaxVaultSizeBytes(1000));
     },
     [](const QString& dir) {
         return vault::StorageConfig(in(dir, "storage.dat"), kMachine, 4).setMaxVaultSizeBytes(2000);
     },
     [](const QString& dir) -> State {
         const vault::StorageConfig config(in(dir, "storage.dat"), kMachine, 4);
         if (config.isCorrupted())
             return "corrupted";
         const qint64 limit = config.maxVaultSizeBytes();
         return limit == 1000 ? "old" : limit == 2000 ? "new" : "limit " + std::to_string(limit);
     }},
    {"storage rebind",
     [](const QString& dir) {
         ASSERT_TRUE(vault::StorageConfig(in(dir, "storage.dat"), kMachine, 4).setMaxVaultSizeBytes(1000));
     },
     [](const QString& dir) { return vault::StorageConfig(in(dir, "storage.dat"), kMachine, 4).rebind(kMachine, 5); },
     [](const QString& dir) -> State {
         const bool oldOpens = !vault::StorageConfig(in(dir, "storage.dat"), kMachine, 4).isCorrupted();
         const bool newOpens = !vault::StorageConfig(in(dir, "storage.dat"), kMachine, 5).isCorrupted();
         return oldOpens && !newOpens ? "old" : newOpens && !oldOpens ? "new" : "opens under neither binding";
     }},
    {"new sealed file and its sidecar",
     [](const QString& dir) { ASSERT_TRUE(core::IdleLockSettings(in(dir, "idlelock.dat")).writeTimeoutMinutes(3)); },
     [](const QString& dir) {
         return core::SealedFile::writeAuthenticated(in(dir, "twofactor.dat"), QJsonObject{{"v", 1}});
     },
     [](const QString& dir) { return sealedNumber(in(dir, "twofactor.dat"), "v", -1, 1); },
     false},
};

// Every file below dir (hidden ones too) with its bytes.
std::map<QString, QByteArray> snapshot(const QString& dir)
{
    std::map<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!path.endsWith(QStringLiteral("/.filler")))
            files[QDir(dir).relativeFilePath(path)] = test::readFile(path);
    }
    return files;
}

// The files that differ between two snapshots, with their sizes; empty when none does.
std::string changes(const std::map<QString, QByteArray>& before, const std::map<QString, QByteArray>& after)
{
    std::string out;
    auto describe = [&out](const QString& name, const char* what) { out += name.toStdString() + what + "; "; };
    for (const auto& [name, bytes] : before) {
        const auto now = after.find(name);
        if (now == after.end())
            describe(name, " removed");
        else if (now->second != bytes)
            describe(name, (" changed from " + std::to_string(bytes.size()) + " to "
                            + std::to_string(now->second.size()) + " bytes").c_str());
    }
    for (const auto& [name, bytes] : after) {
        if (before.find(name) == before.end())
            describe(name, (" added, " + std::to_string(bytes.size()) + " bytes").c_str());
    }
    return out;
}

// After a failed identity rewrite whose new file is in place, the old one must still be in the backup.
void expectIdentityBackupRule(const QString& dir, bool written, const State& state, const QByteArray& oldIdentity)
{
    const QString backup = in(dir, "identity.dat.oldcopy");
    if (written) {
        EXPECT_FALSE(QFileInfo::exists(backup)) << "the backup outlived a verified rewrite";
    } else if (state == "new") {
        EXPECT_EQ(test::readFile(backup), oldIdentity) << "the new file was never verified, yet no backup is kept";
    } else if (QFileInfo::exists(backup)) {
        EXPECT_EQ(test::readFile(backup), oldIdentity);
    }
}

class UmaskGuard {
public:
    explicit UmaskGuard(mode_t mask) : previous_(::umask(mask)) {}
    ~UmaskGuard() { ::umask(previous_); }
    UmaskGuard(const UmaskGuard&) = delete;
    UmaskGuard& operator=(const UmaskGuard&) = delete;

private:
    mode_t previous_;
};

unsigned modeOf(const QString& path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? static_cast<unsigned>(st.st_mode & 07777) : 0u;
}

}  // namespace

TEST(DurableWrite, FullDiskFailsEveryWriterAndKeepsTheOldBytes)
{
    test::SmallTmpfs disk(512);
    MURRAVO_REQUIRE_TMPFS(disk);
    test::FakeClock clock;
    for (const Writer& writer : kWriters) {
        SCOPED_TRACE(writer.name);
        const QString dir = disk.path() + QLatin1Char('/') + QLatin1String(writer.name).toString().replace(' ', '-');
        ASSERT_TRUE(QDir().mkpath(dir));
        writer.setup(dir);
        ASSERT_EQ(writer.state(dir), "old");
        const auto before = snapshot(dir);

        disk.fillLeaving(0);
        ASSERT_EQ(disk.freePages(), 0);
        EXPECT_FALSE(writer.write(dir));
        disk.release();

        EXPECT_EQ(changes(before, snapshot(dir)), "") << "a failed write changed the folder";
        EXPECT_EQ(writer.state(dir), "old");
        core::LocalIntegrityKey::clearCache();
        EXPECT_EQ(writer.state(dir), "old") << "after the root cache was emptied";
    }
}

TEST(DurableWrite, NearlyFullDiskLeavesTheOldOrTheNewFile)
{
    test::SmallTmpfs disk(512);
    MURRAVO_REQUIRE_TMPFS(disk);
    test::FakeClock clock;
    for (const Writer& writer : kWriters) {
        for (long pages = 1; pages <= 6; ++pages) {
            SCOPED_TRACE(std::string(writer.name) + ", free pages " + std::to_string(pages));
            const QString dir = disk.path() + QStringLiteral("/nearly-full");
            ASSERT_TRUE(QDir().mkpath(dir));
            writer.setup(dir);
            const QByteArray oldIdentity = test::readFile(in(dir, "identity.dat"));

            disk.fillLeaving(pages);
            const bool written = writer.write(dir);
            disk.release();

            const State state = writer.state(dir);
            EXPECT_EQ(state, written ? "new" : state == "new" ? "new" : "old");
            if (!oldIdentity.isEmpty()) {
                expectIdentityBackupRule(dir, written, state, oldIdentity);
            }
            QDir(dir).removeRecursively();
        }
    }
}

// A failure at the 1st, 2nd, 3rd... file step, until a run meets none; as a single failed
// step, and as a crash there (that step and all after it fail).
TEST(DurableWrite, FailureAtEveryFileStepLeavesTheOldOrTheNewFile)
{
    test::FakeClock clock;
    for (const FileFaults::Mode mode : {FileFaults::Mode::Once, FileFaults::Mode::FromThenOn}) {
        for (const Writer& writer : kWriters) {
            // A single failed step while a new sidecar is made falls back to a key file that
            // this folder's root refuses; that is the key store's choice, not the write's.
            if (mode == FileFaults::Mode::Once && !writer.replacesExistingFiles)
                continue;
            bool injected = true;
            int step = 1;
            for (; injected; ++step) {
                SCOPED_TRACE(std::string(writer.name) + (mode == FileFaults::Mode::Once ? ", failing" : ", crash at")
                             + " step " + std::to_string(step));
                ASSERT_LT(step, 500) << "the writer never stops meeting faults";
                const QString dir = test::makeScratchDir();
                writer.setup(dir);
                const QByteArray oldIdentity = test::readFile(in(dir, "identity.dat"));
                bool written = false;
                {
                    FileFaults faults(step, mode);
                    written = writer.write(dir);
                    injected = faults.injected();
                }
                const State state = writer.state(dir);
                if (!injected) {
                    EXPECT_TRUE(written) << "without a fault the write must succeed";
                }
                EXPECT_EQ(state, written ? "new" : state == "new" ? "new" : "old");
                if (!oldIdentity.isEmpty()) {
                    expectIdentityBackupRule(dir, written, state, oldIdentity);
                }
                core::LocalIntegrityKey::clearCache();
                EXPECT_EQ(writer.state(dir), state) << "after the root cache was emptied";
                QDir(dir).removeRecursively();
            }
            // Create, write, sync, close, rename and folder sync at the least.
            EXPECT_GT(step, 6) << writer.name << " does not write through AtomicFile";
        }
    }
}

TEST(DurableWrite, EveryFileAndFolderIsOwnerOnlyWhateverTheUmask)
{
    test::FakeClock clock;
    for (const mode_t mask : {mode_t{022}, mode_t{0}}) {
        SCOPED_TRACE("umask " + std::to_string(mask));
        const UmaskGuard umask(mask);
        const QString dir = test::makeScratchDir();

        // The mode of each file as its first byte is written.
        std::vector<std::string> loose;
        core::AtomicFile::setStepHook([&loose](core::AtomicFile::Step step, const QString& path, int fd) {
            struct stat st {};
            if (step == core::AtomicFile::Step::Write && (::fstat(fd, &st) != 0 || (st.st_mode & 07777) != 0600))
                loose.push_back(path.toStdString());
            return true;
        });
        for (const Writer& writer : kWriters) {
            writer.setup(dir);
            EXPECT_TRUE(writer.write(dir)) << writer.name;
        }
        ASSERT_TRUE(core::LoginLockout(in(dir, "identity.dat.lockout")).recordFailure());
        ASSERT_TRUE(core::SealedFile::writeAuthenticated(in(dir, "new/sub/folder.dat"), QJsonObject{{"v", 1}}));
        core::AtomicFile::setStepHook({});
        EXPECT_TRUE(loose.empty()) << loose.front();

        vault::FileBlockStore store(in(dir, "vault.drvx"));
        ASSERT_TRUE(store.create());
        ASSERT_TRUE(store.publishCreated());
        EXPECT_EQ(modeOf(in(dir, "vault.drvx")), 0600u);
        EXPECT_EQ(modeOf(in(dir, "vault.drvx.lock")), 0600u);
        store.close();

        QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        int files = 0;
        while (it.hasNext()) {
            const QString path = it.next();
            const bool folder = it.fileInfo().isDir();
            files += folder ? 0 : 1;
            EXPECT_EQ(modeOf(path), folder ? 0700u : 0600u) << path.toStdString();
        }
        EXPECT_GE(files, 14);

        // The data folder, new or left by an earlier version.
        const QString data = core::appDataDir();
        ASSERT_TRUE(QDir(data).removeRecursively());
        EXPECT_EQ(modeOf(core::appDataDir()), 0700u);
        ASSERT_EQ(::chmod(QFile::encodeName(data).constData(), 0755), 0);
        EXPECT_EQ(modeOf(core::appDataDir()), 0700u);
    }
}
