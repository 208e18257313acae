// Every operation under injected store failures and simulated crashes: the file always opens at
// the old or the new state, and every entry of that state decrypts to its exact bytes.
#include "CrashSimulatingBlockStore.h"
#include "FaultInjectingBlockStore.h"
#include "MemoryBlockStore.h"
#include "VaultImageBuilder.h"
#include "VaultTestUtil.h"
#include "vault/VaultContainer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

using namespace dorvex;
using dorvex::vault::IVaultBlockStore;
using dorvex::vault::VaultContainer;

namespace {

using Container = std::unique_ptr<VaultContainer>;
using Store = std::unique_ptr<IVaultBlockStore>;

const crypto::SecureBuffer& oldKey()
{
    static const crypto::SecureBuffer key = test::keyFromSeed(1);
    return key;
}

const crypto::SecureBuffer& newKey()
{
    static const crypto::SecureBuffer key = test::keyFromSeed(2);
    return key;
}

struct Scenario {
    const char* name;
    std::function<std::shared_ptr<test::MemoryImage>()> initial;
    bool opensInOperation = false;  // the operation itself creates or opens the container
    bool rekeys = false;
    test::Contents before;
    test::Contents after;
    // Runs the operation; returns whether it reported success.
    std::function<bool(Container&, Store&)> run;
};

test::Contents contents(std::initializer_list<std::pair<const char*, std::vector<unsigned char>>> items)
{
    test::Contents out;
    for (const auto& [name, bytes] : items)
        out[QString::fromUtf8(name)] = bytes;
    return out;
}

std::shared_ptr<test::MemoryImage> vaultWith(const test::Contents& entries)
{
    auto image = std::make_shared<test::MemoryImage>();
    auto c = VaultContainer::create(std::make_unique<test::MemoryBlockStore>(image), oldKey(), test::testMachineId());
    const QString dir = test::makeScratchDir();
    for (const auto& [name, bytes] : entries)
        EXPECT_TRUE(c->importFile(test::writeFile(dir, QStringLiteral("s"), bytes), name));
    return image;
}

const test::Contents kA = contents({{"a.txt", test::patternBytes(300, 1)}});
const test::Contents kAB = contents({{"a.txt", test::patternBytes(300, 1)}, {"b.bin", test::patternBytes(77, 2)}});
const test::Contents kB = contents({{"b.bin", test::patternBytes(77, 2)}});
const test::Contents kAN = contents({{"a.txt", test::patternBytes(300, 1)}, {"new.bin", test::patternBytes(500, 3)}});

std::vector<Scenario> scenarios()
{
    std::vector<Scenario> list;
    list.push_back({"create", [] { return std::make_shared<test::MemoryImage>(); }, true, false, {}, {},
                    [](Container& c, Store& s) {
                        c = VaultContainer::create(std::move(s), oldKey(), test::testMachineId());
                        return c != nullptr;
                    }});
    list.push_back({"import", [] { return vaultWith(kA); }, false, false, kA, kAN, [](Container& c, Store&) {
                        const QString src = test::writeFile(test::makeScratchDir(), QStringLiteral("n"),
                                                            test::patternBytes(500, 3));
                        return c->importFile(src, QStringLiteral("new.bin"));
                    }});
    // Through windows of 64 bytes: the blob is written in eight pieces.
    list.push_back({"streamed import", [] { return vaultWith(kA); }, false, false, kA, kAN, [](Container& c, Store&) {
                        const QString src = test::writeFile(test::makeScratchDir(), QStringLiteral("n"),
                                                            test::patternBytes(500, 3));
                        vault::TransferOptions options;
                        options.windowBytes = 64;
                        return c->importFile(src, QStringLiteral("new.bin"), nullptr, options);
                    }});
    // Cancelled after four of the eight pieces: reported as intended when it ends as cancelled.
    list.push_back({"cancelled import", [] { return vaultWith(kA); }, false, false, kA, kA, [](Container& c, Store&) {
                        const QString src = test::writeFile(test::makeScratchDir(), QStringLiteral("n"),
                                                            test::patternBytes(500, 3));
                        vault::TransferOptions options;
                        options.windowBytes = 64;
                        options.progress = [](qint64 done, qint64) { return done < 256; };
                        return !c->importFile(src, QStringLiteral("new.bin"), nullptr, options)
                            && c->lastImportFailure() == VaultContainer::ImportFailure::Cancelled;
                    }});
    list.push_back({"remove", [] { return vaultWith(kAB); }, false, false, kAB, kB,
                    [](Container& c, Store&) { return c->removeFile(QStringLiteral("a.txt")); }});
    list.push_back({"rekey", [] { return vaultWith(kAB); }, false, true, kAB, kAB,
                    [](Container& c, Store&) { return c->rekey(newKey()) == VaultContainer::RekeyDone; }});
    list.push_back({"fallback repair",
                    [] {
                        auto image = vaultWith(kAB);  // generation 3 in slot 0
                        image->bytes[192 + 40] ^= 0x10;
                        return image;
                    },
                    true, false, kA, kA,
                    [](Container& c, Store& s) {
                        c = VaultContainer::open(std::move(s), oldKey(), test::testMachineId());
                        return c != nullptr;
                    }});
    list.push_back({"format 4 migration",
                    [] {
                        test::ImageLayout layout = test::fixtureSpec(4);
                        layout.machineId = test::testMachineId();
                        return test::MemoryBlockStore::imageOf(test::buildVaultImage(layout, oldKey()));
                    },
                    true, false, {}, {},
                    [](Container& c, Store& s) {
                        c = VaultContainer::open(std::move(s), oldKey(), test::testMachineId());
                        return c != nullptr && c->formatVersion() == 5;
                    }});
    // The migration keeps the fixture's entries.
    test::Contents legacy;
    for (const auto& e : test::fixtureSpec(4).entries)
        legacy[e.name] = e.contents;
    list.back().before = legacy;
    list.back().after = legacy;
    return list;
}

// Opens a copy with either key; true when it shows `before` or `after` completely.
bool opensAtOldOrNew(const std::vector<unsigned char>& bytes, const Scenario& s)
{
    for (const crypto::SecureBuffer* key : {&oldKey(), &newKey()}) {
        const auto state = test::reopenCopy(bytes, *key);
        if (state && state->contents && (*state->contents == s.before || *state->contents == s.after))
            return true;
    }
    return false;
}

}  // namespace

TEST(VaultReliability, FaultLoops)
{
    int runs = 0;
    for (const Scenario& s : scenarios()) {
        for (test::FaultOp op : {test::FaultOp::Write, test::FaultOp::Flush, test::FaultOp::Resize, test::FaultOp::Read}) {
            for (bool persistent : {false, true}) {
                for (int k = 1; k < 1000; ++k) {
                    SCOPED_TRACE(testing::Message() << s.name << " op " << int(op) << " persistent " << persistent
                                                    << " k " << k);
                    auto image = s.initial();
                    auto plan = std::make_shared<test::FaultPlan>();
                    plan->op = op;
                    plan->failAt = k;
                    plan->persistent = persistent;
                    Store store = std::make_unique<test::FaultInjectingBlockStore>(
                        std::make_unique<test::MemoryBlockStore>(image), plan);
                    Container c;
                    if (!s.opensInOperation) {
                        plan->enabled = false;
                        c = VaultContainer::open(std::move(store), oldKey(), test::testMachineId());
                        ASSERT_TRUE(c);
                        plan->enabled = true;
                    }
                    const bool ok = s.run(c, store);
                    plan->enabled = false;
                    ++runs;

                    const crypto::SecureBuffer& key = (s.rekeys && ok) ? newKey() : oldKey();
                    if (c && !c->isLocked()) {
                        // The container in memory matches what it reported, and goes on working.
                        const auto now = test::contentsOf(*c);
                        ASSERT_TRUE(now);
                        EXPECT_EQ(*now, ok ? s.after : s.before);
                        const auto extra = test::patternBytes(33, 9);
                        ASSERT_TRUE(c->importFile(test::writeFile(test::makeScratchDir(), QStringLiteral("x"), extra),
                                                  QStringLiteral("later.bin")));
                        auto expected = *now;
                        expected[QStringLiteral("later.bin")] = extra;
                        c.reset();
                        const auto state = test::reopenCopy(image->bytes, key);
                        ASSERT_TRUE(state && state->contents);
                        EXPECT_EQ(*state->contents, expected);
                    } else {
                        c.reset();
                        EXPECT_FALSE(ok);
                        if (!image->exists) {
                            EXPECT_TRUE(std::string(s.name) == "create");
                        } else {
                            EXPECT_TRUE(opensAtOldOrNew(image->bytes, s) ||
                                        (std::string(s.name) == "create" && !test::reopenCopy(image->bytes, oldKey())));
                        }
                    }
                    if (plan->injected == 0)
                        break;
                }
            }
        }
    }
    std::printf("[ info ] fault-injection runs: %d\n", runs);
}

TEST(VaultReliability, CrashAtEveryPoint)
{
    int tried = 0;
    int passed = 0;
    for (const Scenario& s : scenarios()) {
        SCOPED_TRACE(s.name);
        auto image = s.initial();
        auto recorder = std::make_shared<test::CrashRecorder>(*image);
        Store store = std::make_unique<test::CrashSimulatingBlockStore>(image, recorder);
        Container c;
        if (!s.opensInOperation) {
            c = VaultContainer::open(std::move(store), oldKey(), test::testMachineId());
            ASSERT_TRUE(c);
            recorder->restart(*image);
        }
        ASSERT_TRUE(s.run(c, store));
        c.reset();
        const bool creating = std::string(s.name) == "create";
        tried += recorder->forEachCrashImage([&](const std::vector<unsigned char>& bytes) {
            const bool ok = opensAtOldOrNew(bytes, s) || (creating && !test::reopenCopy(bytes, oldKey()));
            EXPECT_TRUE(ok);
            passed += ok ? 1 : 0;
        });
    }
    std::printf("[ info ] crash points tried: %d, passed: %d\n", tried, passed);
    EXPECT_EQ(tried, passed);
}

namespace {

// The generation the file names, read as the settlement at start reads it.
std::optional<quint64> generationOf(const std::vector<unsigned char>& bytes)
{
    test::MemoryBlockStore store(test::MemoryBlockStore::imageOf(bytes));
    if (!store.open())
        return std::nullopt;
    return VaultContainer::peekGenerationCounter(store);
}

}  // namespace

// A re-key whose commit meets a failure anywhere: the file names the old generation under the old
// key, or a higher one under the new key -- never a higher one under the old key, which a journal
// judged by the generation at the next start would take for the new one. Done exactly when the
// new key is committed; "unchanged" exactly when nothing was.
TEST(VaultReliability, RekeyAboveTheOldGenerationIsAlwaysTheNewKey)
{
    int runs = 0;
    for (test::FaultOp op : {test::FaultOp::Write, test::FaultOp::Flush}) {
        for (bool persistent : {false, true}) {
            for (int k = 1; k < 100; ++k) {
                SCOPED_TRACE(testing::Message() << "op " << int(op) << " persistent " << persistent << " k " << k);
                auto image = vaultWith(kAB);
                auto plan = std::make_shared<test::FaultPlan>();
                plan->op = op;
                plan->failAt = k;
                plan->persistent = persistent;
                plan->enabled = false;
                Container c = VaultContainer::open(
                    std::make_unique<test::FaultInjectingBlockStore>(std::make_unique<test::MemoryBlockStore>(image),
                                                                     plan),
                    oldKey(), test::testMachineId());
                ASSERT_TRUE(c);
                const quint64 before = c->generationCounter();
                plan->enabled = true;
                const int outcome = c->rekey(newKey());
                plan->enabled = false;
                ++runs;
                const std::vector<unsigned char> bytes = image->bytes;
                const std::optional<quint64> generation = generationOf(bytes);
                ASSERT_TRUE(generation);
                const auto underNew = test::reopenCopy(bytes, newKey());
                const auto underOld = test::reopenCopy(bytes, oldKey());
                if (*generation > before) {
                    EXPECT_TRUE(underNew && underNew->contents == kAB);
                    EXPECT_NE(outcome, VaultContainer::RekeyFailedUnchanged);
                } else {
                    EXPECT_TRUE(underOld && underOld->contents == kAB);
                    EXPECT_NE(outcome, VaultContainer::RekeyDone);
                }
                if (outcome == VaultContainer::RekeyFailedUnchanged) {
                    EXPECT_EQ(c->generationCounter(), before);
                    ASSERT_TRUE(c->importFile(test::writeFile(test::makeScratchDir(), QStringLiteral("x"), {7}),
                                              QStringLiteral("later.bin")));
                }
                if (plan->injected == 0)
                    break;
            }
        }
    }
    std::printf("[ info ] re-key fault runs: %d\n", runs);
}

// A format-4 vault keeps its one index in place, so a crash while it is rewritten there loses the
// vault: a re-key never writes it, and once migrated the vault is re-keyed crash-safely.
TEST(VaultReliability, LegacyVaultIsMigratedBeforeARekey)
{
    test::ImageLayout layout = test::fixtureSpec(4);
    layout.machineId = test::testMachineId();
    test::Contents legacy;
    for (const auto& e : layout.entries)
        legacy[e.name] = e.contents;
    auto image = test::MemoryBlockStore::imageOf(test::buildVaultImage(layout, oldKey()));
    auto recorder = std::make_shared<test::CrashRecorder>(*image);
    auto plan = std::make_shared<test::FaultPlan>();
    plan->op = test::FaultOp::Flush;
    plan->failAt = 1;
    plan->persistent = true;
    // The migration at open fails, so the vault stays at format 4.
    Container c = VaultContainer::open(
        std::make_unique<test::FaultInjectingBlockStore>(
            std::make_unique<test::CrashSimulatingBlockStore>(image, recorder), plan),
        oldKey(), test::testMachineId());
    ASSERT_TRUE(c);
    ASSERT_EQ(c->formatVersion(), VaultContainer::kLegacyFormatVersion);
    plan->enabled = false;

    const auto everyCrashOpens = [&] {
        int tried = 0;
        recorder->forEachCrashImage([&](const std::vector<unsigned char>& bytes) {
            ++tried;
            bool opens = false;
            for (const crypto::SecureBuffer* key : {&oldKey(), &newKey()}) {
                const auto state = test::reopenCopy(bytes, *key);
                opens = opens || (state && state->contents == legacy);
            }
            EXPECT_TRUE(opens);
        });
        return tried;
    };
    recorder->restart(*image);
    EXPECT_EQ(c->rekey(newKey()), VaultContainer::RekeyFailedUnchanged);
    EXPECT_GT(everyCrashOpens(), 0);

    ASSERT_TRUE(c->migrateToCurrentFormat());
    EXPECT_EQ(c->formatVersion(), VaultContainer::kFormatVersion);
    recorder->restart(*image);
    EXPECT_EQ(c->rekey(newKey()), VaultContainer::RekeyDone);
    EXPECT_GT(everyCrashOpens(), 10);
    c.reset();
    const auto state = test::reopenCopy(image->bytes, newKey());
    ASSERT_TRUE(state);
    EXPECT_EQ(state->contents, legacy);
}
