// The proof of the key changes: a crash after every durable write of each change, and after
// injected failures, then a start that settles the journals. Exactly the right credentials must
// open the vault afterwards, the rollback record and storage.dat must accept it, and no journal
// may be left.
#include "CrashSimulatingBlockStore.h"
#include "DurableSteps.h"
#include "KeyChangeCases.h"
#include "MemoryBlockStore.h"
#include "VaultTestUtil.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <cstdio>
#include <sys/mount.h>
#include <unistd.h>
#include <map>

using namespace keys_test;
using dorvex::core::AtomicFile;
using dorvex::core::SecureErase;

namespace {

// The folders of the crash loops: on a tmpfs where one can be mounted (as root), since the
// crashes are simulated and a real sync would only cost time; each is removed after its point.
class LoopFolders {
public:
    LoopFolders() : base_(dorvex::test::makeScratchDir())
    {
        if (::geteuid() == 0)
            mounted_ = ::mount("tmpfs", QFile::encodeName(base_).constData(), "tmpfs", 0, "size=256m,mode=0700") == 0;
    }
    ~LoopFolders()
    {
        if (mounted_)
            ::umount2(QFile::encodeName(base_).constData(), MNT_DETACH);
    }
    LoopFolders(const LoopFolders&) = delete;
    LoopFolders& operator=(const LoopFolders&) = delete;

    QString next()
    {
        const QString dir = base_ + QLatin1Char('/') + QString::number(++count_);
        EXPECT_TRUE(QDir().mkpath(dir));
        return dir;
    }

private:
    QString base_;
    bool mounted_ = false;
    int count_ = 0;
};

LoopFolders& loopFolders()
{
    static LoopFolders folders;
    return folders;
}

// A folder for one crash point, removed with it.
struct PointFolder : KeyFolder {
    PointFolder() : KeyFolder(loopFolders().next()) {}
    ~PointFolder() { QDir(dir).removeRecursively(); }
    PointFolder(const PointFolder&) = delete;
    PointFolder& operator=(const PointFolder&) = delete;
};

int failuresSoFar()
{
    return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

// Tallies crash points: each one passes when it added no failure.
struct Tally {
    int tried = 0;
    int passed = 0;
    template <typename Check>
    void point(Check&& check)
    {
        const int before = failuresSoFar();
        check();
        ++tried;
        passed += failuresSoFar() == before ? 1 : 0;
    }
};

void settleAndExpect(KeyFolder& f, const KeyChange& change, const SessionKeys& keys, bool after,
                     const QStringList& mayAlsoHold = {})
{
    f.restartAndSettle();
    expectOnly(f, change, keys, after, kEntries, mayAlsoHold);
    EXPECT_FALSE(f.journalLeft());
}

bool isVaultWrite(const KeyFolder& f, const DurableSteps::Event& e)
{
    return DurableSteps::isFile(e, AtomicFile::Step::Write) && e.path == f.vaultPath();
}

// The step number, in a run without a crash, at which the re-key writes the new header: the
// second write to the vault file (the first is the new index).
int headerWriteStep(const KeyChange& change)
{
    PointFolder f;
    const SessionKeys keys = prepare(f, change);
    auto container = f.open(keys.vaultKey);
    DurableSteps steps;
    EXPECT_TRUE(change.run(f, container.get(), keys).success);
    int vaultWrites = 0;
    for (std::size_t i = 0; i < steps.events().size(); ++i)
        if (isVaultWrite(f, steps.events()[i]) && ++vaultWrites == 2)
            return static_cast<int>(i) + 1;
    ADD_FAILURE() << "no header write found";
    return 0;
}

// For n = 1, 2, 3... until a run meets no crash: a fresh folder, the change with `failIf`
// failing steps and a crash at the nth changing step, then a start. `after` says from the crash
// step (and the folder the run left) which credentials must open the vault.
void crashAtEveryStep(const KeyChange& change, Tally& tally,
                      const std::function<std::function<bool(const DurableSteps::Event&)>(KeyFolder&)>& failIf,
                      const std::function<void(KeyFolder&, VaultContainer&)>& thenInSession,
                      const std::function<bool(int step)>& after, const QStringList& mayAlsoHold = {})
{
    for (int step = 1;; ++step) {
        PointFolder f;
        const SessionKeys keys = prepare(f, change);
        auto container = f.open(keys.vaultKey);
        ASSERT_TRUE(container);
        QString where;
        bool crashed = false;
        {
            DurableSteps steps(step);
            if (failIf)
                steps.failIf = failIf(f);
            (void)change.run(f, container.get(), keys);
            if (thenInSession && !container->isLocked())
                thenInSession(f, *container);
            container.reset();
            crashed = steps.crashed();
            where = steps.crashedAt();
        }
        if (!crashed)
            break;
        SCOPED_TRACE(testing::Message() << change.name << ": crash at step " << step << " (" << where.toStdString()
                                        << ")");
        tally.point([&] { settleAndExpect(f, change, keys, after(step), mayAlsoHold); });
    }
}

// Every file of a folder with its bytes; file keys derive from their paths, so a folder is put
// back in place rather than copied elsewhere.
using FolderImage = std::map<QString, QByteArray>;

FolderImage imageOfFolder(const QString& dir)
{
    FolderImage files;
    for (const QString& name : QDir(dir).entryList(QDir::Files | QDir::Hidden)) {
        QFile file(dir + QLatin1Char('/') + name);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        files[name] = file.readAll();
    }
    return files;
}

void restoreFolder(const QString& dir, const FolderImage& files)
{
    for (const QString& name : QDir(dir).entryList(QDir::Files | QDir::Hidden))
        ASSERT_TRUE(QFile::remove(dir + QLatin1Char('/') + name));
    for (const auto& [name, bytes] : files) {
        QFile file(dir + QLatin1Char('/') + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_EQ(file.write(bytes), bytes.size());
    }
}

// A store that hands its first write to `beforeFirstWrite` (to take a copy of the data folder
// as it is while the re-key runs).
class FirstWriteWatch final : public dorvex::vault::IVaultBlockStore {
public:
    FirstWriteWatch(std::unique_ptr<IVaultBlockStore> inner, std::function<void()> beforeFirstWrite)
        : inner_(std::move(inner)), beforeFirstWrite_(std::move(beforeFirstWrite))
    {
    }
    [[nodiscard]] bool exists() const override { return inner_->exists(); }
    [[nodiscard]] bool create() override { return inner_->create(); }
    [[nodiscard]] bool open() override { return inner_->open(); }
    void close() override { inner_->close(); }
    [[nodiscard]] bool isOpen() const override { return inner_->isOpen(); }
    [[nodiscard]] QString lastFailureReason() const override { return inner_->lastFailureReason(); }
    bool rollbackFailedCreate() override { return inner_->rollbackFailedCreate(); }
    [[nodiscard]] qint64 size() const override { return inner_->size(); }
    [[nodiscard]] bool resize(qint64 newSize) override { return inner_->resize(newSize); }
    [[nodiscard]] bool readAt(qint64 offset, unsigned char* buffer, qint64 length) override
    {
        return inner_->readAt(offset, buffer, length);
    }
    [[nodiscard]] bool writeAt(qint64 offset, const unsigned char* buffer, qint64 length) override
    {
        if (beforeFirstWrite_)
            std::exchange(beforeFirstWrite_, nullptr)();
        return inner_->writeAt(offset, buffer, length);
    }
    [[nodiscard]] bool flush() override { return inner_->flush(); }

private:
    std::unique_ptr<IVaultBlockStore> inner_;
    std::function<void()> beforeFirstWrite_;
};

}  // namespace

// A crash at every changing step of the whole sequence on real files: the journal and its key,
// the rollback record, storage.dat, the vault file's writes and flushes, the mark, the identity
// and two-factor files, every erase pass and unlink.
TEST(KeyChangeCrash, EveryDurableStepOfEachChange)
{
    Tally tally;
    for (const KeyChange& change : keyChanges()) {
        const int header = headerWriteStep(change);
        ASSERT_GT(header, 0);
        crashAtEveryStep(change, tally, nullptr, nullptr, [header](int step) { return step > header; });
    }
    std::printf("[ info ] crash points tried: %d, passed: %d\n", tally.tried, tally.passed);
    EXPECT_EQ(tally.tried, tally.passed);
    EXPECT_GT(tally.tried, 100);
}

// Every image a crash inside the re-key can leave of the vault file (writes since the last
// flush lost or kept, the write in flight torn), beside the data folder as the re-key found it.
TEST(KeyChangeCrash, EveryCrashImageOfTheRekey)
{
    Tally tally;
    for (const KeyChange& change : keyChanges()) {
        SCOPED_TRACE(change.name);
        PointFolder f;
        const SessionKeys keys = prepare(f, change);
        const quint64 before = *VaultContainer::peekGenerationCounter(f.vaultPath());
        auto image = dorvex::test::MemoryBlockStore::imageOf(dorvex::test::readWholeFile(f.vaultPath()));
        auto recorder = std::make_shared<dorvex::test::CrashRecorder>(*image);
        FolderImage duringRekey;
        auto store = std::make_unique<FirstWriteWatch>(
            std::make_unique<dorvex::test::CrashSimulatingBlockStore>(image, recorder),
            [&] { duringRekey = imageOfFolder(f.dir); });
        auto container = VaultContainer::open(std::move(store), keys.vaultKey, kMachine);
        ASSERT_TRUE(container);
        recorder->restart(*image);
        ASSERT_TRUE(change.run(f, container.get(), keys).success);
        container.reset();

        // The new header's write, and the flush that makes it durable.
        const auto& ops = recorder->ops();
        std::size_t headerWrite = ops.size();
        for (std::size_t i = 0; i < ops.size() && headerWrite == ops.size(); ++i)
            if (ops[i].kind == dorvex::test::CrashRecorder::Op::Write && ops[i].offset < VaultContainer::kHeaderAreaSize)
                headerWrite = i;
        ASSERT_LT(headerWrite + 1, ops.size());
        ASSERT_EQ(ops[headerWrite + 1].kind, dorvex::test::CrashRecorder::Op::Flush);

        recorder->forEachCrashImage([&](const std::vector<unsigned char>& bytes, std::size_t point) {
            FolderImage files = duringRekey;
            files[QStringLiteral("vault.drvx")] =
                QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
            restoreFolder(f.dir, files);
            // Up to the header's write the old state; once it is flushed the new one; in between either.
            const std::optional<quint64> generation = VaultContainer::peekGenerationCounter(f.vaultPath());
            const bool after = point > headerWrite + 1 || (point > headerWrite && generation && *generation > before);
            SCOPED_TRACE(testing::Message() << "crash before operation " << point);
            tally.point([&] { settleAndExpect(f, change, keys, after); });
        });
    }
    std::printf("[ info ] re-key crash images tried: %d, passed: %d\n", tally.tried, tally.passed);
    EXPECT_EQ(tally.tried, tally.passed);
}

// Crashes after injected failures: the first commit of the re-key fails once and the process
// dies later (before an abandon could run); the re-key's state is unknown with the file at the
// old generation or one above it; an abandoned journal's erase fails and an import follows.
TEST(KeyChangeCrash, EveryDurableStepAfterInjectedFailures)
{
    Tally tally;
    for (const KeyChange& change : keyChanges()) {
        const int header = headerWriteStep(change);
        // The first commit's final flush fails once: the header is in the file, not proven durable.
        crashAtEveryStep(
            change, tally,
            [](KeyFolder& f) {
                auto syncs = std::make_shared<int>(0);
                return [&f, syncs](const DurableSteps::Event& e) {
                    return DurableSteps::isFile(e, AtomicFile::Step::Sync) && e.path == f.vaultPath() && ++*syncs == 2;
                };
            },
            nullptr, [header](int step) { return step > header; });
        // Every vault write fails from the header on: the state stays old (outcome 2 at the old
        // generation); and every flush from the header's on: it is new (outcome 2 one above it).
        for (AtomicFile::Step from : {AtomicFile::Step::Write, AtomicFile::Step::Sync}) {
            crashAtEveryStep(
                change, tally,
                [from](KeyFolder& f) {
                    auto seen = std::make_shared<int>(0);
                    return [&f, from, seen](const DurableSteps::Event& e) {
                        return DurableSteps::isFile(e, from) && e.path == f.vaultPath() && ++*seen >= 2;
                    };
                },
                nullptr, [from, header](int step) { return from == AtomicFile::Step::Sync && step > header; });
        }
        // The re-key fails before its header, the abandoned journal cannot be erased, and the
        // session imports a file (raising the vault's generation).
        crashAtEveryStep(
            change, tally,
            [](KeyFolder& f) {
                auto writes = std::make_shared<int>(0);
                auto erases = std::make_shared<int>(0);
                return [&f, writes, erases](const DurableSteps::Event& e) {
                    if (DurableSteps::isErase(e, SecureErase::Step::Open))
                        return ++*erases == 1;
                    return isVaultWrite(f, e) && ++*writes == 1;
                };
            },
            [](KeyFolder& f, VaultContainer& c) { (void)f.tryImport(c, QStringLiteral("later.txt")); },
            [](int) { return false; }, {QStringLiteral("later.txt")});
    }
    std::printf("[ info ] crash points after injected failures tried: %d, passed: %d\n", tally.tried, tally.passed);
    EXPECT_EQ(tally.tried, tally.passed);
}
