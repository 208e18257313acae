// Damage the container must survive without losing track of it: a flipped byte in the newest
// saved state, lengths on disk far beyond what the format allows, and sources too large to hold.
#include "MemoryBlockStore.h"
#include "VaultTestUtil.h"
#include "core/LocalIntegrityKey.h"
#include "core/MemorySecretStore.h"
#include "vault/VaultContainer.h"
#include "vault/VaultRollbackGuard.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace dorvex;
using dorvex::vault::RollbackCheckResult;
using dorvex::vault::VaultContainer;
using ImportFailure = dorvex::vault::VaultContainer::ImportFailure;

namespace {

using test::le;

void putLe(unsigned char* p, quint64 v, int width)
{
    for (int i = 0; i < width; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

const test::Contents kOnlyA{{QStringLiteral("a"), test::patternBytes(300, 1)}};
const test::Contents kBoth{{QStringLiteral("a"), test::patternBytes(300, 1)},
                           {QStringLiteral("b"), test::patternBytes(5, 2)}};

constexpr std::size_t kSlot1Index = 192 + VaultContainer::kIndexCapacity;

// Generations 1 and 3 in slot 0, generation 2 (only "a") in slot 1.
class VaultDamageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        core::LocalIntegrityKey::setSecretStore(&keychain);
        auto image = std::make_shared<test::MemoryImage>();
        auto c = VaultContainer::create(std::make_unique<test::MemoryBlockStore>(image), key, test::testMachineId());
        ASSERT_TRUE(c);
        const QString dir = test::makeScratchDir();
        for (const auto& [name, bytes] : kBoth)
            ASSERT_TRUE(c->importFile(test::writeFile(dir, name, bytes), name));
        ASSERT_EQ(c->generationCounter(), 3u);
        vaultId = c->vaultId();
        c.reset();
        base = image->bytes;
    }
    void TearDown() override { core::LocalIntegrityKey::setSecretStore(nullptr); }

    // What a rollback record that has accepted generation 3 (as the main window's timer leaves
    // it after the second import) decides about `generation`.
    RollbackCheckResult guardDecision(quint64 generation)
    {
        vault::VaultRollbackGuard guard(test::makeScratchDir() + QStringLiteral("/vault_generation.dat"));
        RollbackCheckResult result = RollbackCheckResult::SaveFailed;
        EXPECT_TRUE(guard.checkAndAdvance(vaultId, 3, true, nullptr));
        static_cast<void>(guard.checkAndAdvance(vaultId, generation, false, &result));
        return result;
    }

    test::MemorySecretStore keychain;
    crypto::SecureBuffer key = test::keyFromSeed(1);
    QString vaultId;
    std::vector<unsigned char> base;
};

struct Flip {
    const char* what;
    std::size_t at;
    unsigned char mask;
};

}  // namespace

TEST_F(VaultDamageTest, DamagedNewestStateIsReportedAndCommittedAgainAboveIt)
{
    const std::size_t length0 = le(base, 32, 8);
    struct Row {
        Flip flip;
        bool previousState;           // opened at generation 2's state and said so
        RollbackCheckResult decision;  // of the rollback guard, which has accepted generation 3
    };
    const Row rows[] = {
        {{"index nonce", 192 + 5, 0x5A}, true, RollbackCheckResult::Ok},
        {{"index suite byte", 192 + 24, 0x01}, true, RollbackCheckResult::Ok},
        {{"index first ciphertext byte", 192 + 25, 0x5A}, true, RollbackCheckResult::Ok},
        {{"index middle", 192 + length0 / 2, 0x5A}, true, RollbackCheckResult::Ok},
        {{"index tag, last byte", 192 + length0 - 1, 0x5A}, true, RollbackCheckResult::Ok},
        {{"header magic", 0, 0x5A}, true, RollbackCheckResult::Ok},
        {{"header format version", 8, 0x01}, true, RollbackCheckResult::Ok},
        {{"header reserved bytes", 12, 0x5A}, true, RollbackCheckResult::Ok},
        {{"header index offset", 16, 0x5A}, true, RollbackCheckResult::Ok},
        {{"header index capacity", 26, 0x5A}, true, RollbackCheckResult::Ok},
        {{"header index length", 32, 0x5A}, true, RollbackCheckResult::Ok},
        {{"header generation, low byte", 76, 0x5A}, true, RollbackCheckResult::Ok},
        {{"header generation, reads as the older one", 76, 0x01}, true, RollbackCheckResult::Ok},
        {{"header generation, top byte", 83, 0x80}, true, RollbackCheckResult::Ok},
        {{"header checksum, first byte", 84, 0x5A}, true, RollbackCheckResult::Ok},
        {{"header checksum, last byte", 95, 0x5A}, true, RollbackCheckResult::Ok},
        // Indistinguishable from damage to the older slot: the older state loads unannounced at
        // its own generation, and the guard refuses it rather than let the change vanish.
        {{"header generation, reads older than both", 76, 0x02}, false, RollbackCheckResult::RolledBack},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.flip.what);
        auto bytes = base;
        bytes[row.flip.at] ^= row.flip.mask;
        auto image = test::MemoryBlockStore::imageOf(bytes);
        auto opened = VaultContainer::open(std::make_unique<test::MemoryBlockStore>(image), key, test::testMachineId());
        ASSERT_TRUE(opened);
        EXPECT_EQ(test::contentsOf(*opened), kOnlyA);
        EXPECT_EQ(opened->openedAtPreviousState(), row.previousState);
        const quint64 generation = opened->generationCounter();
        if (row.previousState) {
            EXPECT_GE(opened->damagedGeneration(), 3u);
            EXPECT_GT(generation, opened->damagedGeneration());
        } else {
            EXPECT_EQ(generation, 2u);
        }
        EXPECT_EQ(guardDecision(generation), row.decision);
        opened.reset();

        // Reopened, the file is whole again at that generation and nothing more is reported.
        const auto again =
            VaultContainer::open(std::make_unique<test::MemoryBlockStore>(image), key, test::testMachineId());
        ASSERT_TRUE(again);
        EXPECT_FALSE(again->openedAtPreviousState());
        EXPECT_EQ(again->generationCounter(), generation);
        EXPECT_EQ(test::contentsOf(*again), kOnlyA);
    }
}

TEST_F(VaultDamageTest, DamageToTheOlderSlotChangesNothing)
{
    const std::size_t length1 = le(base, 96 + 32, 8);
    const Flip flips[] = {
        {"older index nonce", kSlot1Index + 3, 0x5A},
        {"older index middle", kSlot1Index + length1 / 2, 0x5A},
        {"older header magic", 96, 0x5A},
        {"older header index length", 96 + 32, 0x5A},
        {"older header generation, reads newer", 96 + 76, 0x5A},
        {"older header generation, reads as the newest", 96 + 76, 0x01},
        {"older header checksum", 96 + 90, 0x5A},
    };
    for (const Flip& flip : flips) {
        SCOPED_TRACE(flip.what);
        auto bytes = base;
        bytes[flip.at] ^= flip.mask;
        auto image = test::MemoryBlockStore::imageOf(bytes);
        auto opened = VaultContainer::open(std::make_unique<test::MemoryBlockStore>(image), key, test::testMachineId());
        ASSERT_TRUE(opened);
        EXPECT_FALSE(opened->openedAtPreviousState());
        EXPECT_EQ(opened->generationCounter(), 3u);
        EXPECT_EQ(test::contentsOf(*opened), kBoth);
        EXPECT_EQ(guardDecision(3), RollbackCheckResult::Ok);
        opened.reset();
        EXPECT_TRUE(image->bytes == bytes) << "the file was rewritten";
    }
}

TEST_F(VaultDamageTest, NeverWrittenOrWipedOtherSlotIsNoDamage)
{
    // A new vault's slot 1 is all zero; after a re-key the other slot holds random bytes.
    auto image = std::make_shared<test::MemoryImage>();
    ASSERT_TRUE(VaultContainer::create(std::make_unique<test::MemoryBlockStore>(image), key, test::testMachineId()));
    auto fresh = VaultContainer::open(std::make_unique<test::MemoryBlockStore>(image), key, test::testMachineId());
    ASSERT_TRUE(fresh);
    EXPECT_FALSE(fresh->openedAtPreviousState());
    EXPECT_EQ(fresh->generationCounter(), 1u);
    const crypto::SecureBuffer newKey = test::keyFromSeed(2);
    ASSERT_EQ(fresh->rekey(newKey), VaultContainer::RekeyDone);
    fresh.reset();
    auto rekeyed = VaultContainer::open(std::make_unique<test::MemoryBlockStore>(image), newKey, test::testMachineId());
    ASSERT_TRUE(rekeyed);
    EXPECT_FALSE(rekeyed->openedAtPreviousState());
    EXPECT_EQ(rekeyed->generationCounter(), 2u);
}

namespace {

// Claims to be far larger than the bytes it keeps (reads past them give zeros), as a sparse
// file does, and notes the longest single read: what the container had to allocate for it.
class SparseBlockStore final : public vault::IVaultBlockStore {
public:
    SparseBlockStore(std::vector<unsigned char> bytes, qint64 claimedSize, std::shared_ptr<qint64> longestRead)
        : bytes_(std::move(bytes)), size_(claimedSize), longestRead_(std::move(longestRead))
    {
    }
    [[nodiscard]] bool exists() const override { return true; }
    [[nodiscard]] bool create() override { return false; }
    [[nodiscard]] bool open() override { return open_ = true; }
    void close() override { open_ = false; }
    [[nodiscard]] bool isOpen() const override { return open_; }
    [[nodiscard]] QString lastFailureReason() const override { return {}; }
    bool rollbackFailedCreate() override { return false; }
    [[nodiscard]] qint64 size() const override { return size_; }
    [[nodiscard]] bool resize(qint64) override { return false; }
    [[nodiscard]] bool readAt(qint64 offset, unsigned char* buffer, qint64 length) override
    {
        if (!open_ || offset < 0 || length < 0 || offset > size_ || length > size_ - offset)
            return false;
        *longestRead_ = std::max(*longestRead_, length);
        for (qint64 i = 0; i < length; ++i) {
            const auto at = static_cast<std::size_t>(offset + i);
            buffer[i] = at < bytes_.size() ? bytes_[at] : 0;
        }
        return true;
    }
    [[nodiscard]] bool writeAt(qint64, const unsigned char*, qint64) override { return false; }
    [[nodiscard]] bool flush() override { return open_; }

private:
    std::vector<unsigned char> bytes_;
    qint64 size_;
    std::shared_ptr<qint64> longestRead_;
    bool open_ = false;
};

struct HeaderFields {
    std::uint32_t version = 5;
    quint64 offset = 192;
    quint64 capacity = VaultContainer::kIndexCapacity;
    quint64 length = 1000;
    quint64 generation = 1;
};

// A header slot that passes every check but the bounds: checksum over the fields as given.
void writeHeader(std::vector<unsigned char>& file, int slot, const HeaderFields& h)
{
    unsigned char* p = file.data() + slot * 96;
    std::memset(p, 0, 96);
    std::memcpy(p, "DRVXVLT1", 8);
    putLe(p + 8, h.version, 4);
    putLe(p + 16, h.offset, 8);
    putLe(p + 24, h.capacity, 8);
    putLe(p + 32, h.length, 8);
    std::memcpy(p + 40, "5f0c1a2b-3c4d-4e5f-8a6b-7c8d9e0f1a2b", 36);
    putLe(p + 76, h.generation, 8);
    if (h.version == 5) {
        unsigned char copy[84];
        std::memcpy(copy, p, 84);
        std::memset(copy + 40, 0, 36);
        crypto_generichash(p + 84, 12, copy, 84, nullptr, 0);
    }
}

}  // namespace

TEST(VaultDamage, HeadersClaimingHugeIndexLengthsAreRefusedBeforeAllocating)
{
    constexpr qint64 kFileSize = qint64{1} << 41;  // 2 TiB, as a sparse file could claim
    constexpr quint64 kWhole = static_cast<quint64>(kFileSize) - 192;
    constexpr quint64 kSlot1 = 192 + VaultContainer::kIndexCapacity;
    struct Row {
        const char* what;
        std::optional<HeaderFields> slot0;
        std::optional<HeaderFields> slot1;
    };
    const Row rows[] = {
        {"index as long as the whole file", HeaderFields{5, 192, kWhole, kWhole, 1}, std::nullopt},
        {"format 4 index area as large as the file", HeaderFields{4, 192, kWhole, kWhole, 1}, std::nullopt},
        {"index length past the slot capacity", HeaderFields{5, 192, VaultContainer::kIndexCapacity, kWhole, 1},
         std::nullopt},
        {"capacity of the whole file, length just past the slot",
         HeaderFields{5, 192, kWhole, VaultContainer::kIndexCapacity + 1, 1}, std::nullopt},
        {"the largest length there is", HeaderFields{5, 192, kWhole, std::numeric_limits<quint64>::max(), 1},
         std::nullopt},
        {"huge older slot behind a newer one that does not authenticate", HeaderFields{5, 192,
         VaultContainer::kIndexCapacity, 1000, 2},
         HeaderFields{5, kSlot1, static_cast<quint64>(kFileSize) - kSlot1, static_cast<quint64>(kFileSize) - kSlot1, 1}},
        {"huge newer slot", HeaderFields{5, 192, VaultContainer::kIndexCapacity, 1000, 1},
         HeaderFields{5, kSlot1, static_cast<quint64>(kFileSize) - kSlot1, static_cast<quint64>(kFileSize) - kSlot1, 2}},
    };
    const crypto::SecureBuffer key = test::keyFromSeed(1);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<unsigned char> file(static_cast<std::size_t>(VaultContainer::kDataRegionStart), 0);
        if (row.slot0)
            writeHeader(file, 0, *row.slot0);
        if (row.slot1)
            writeHeader(file, 1, *row.slot1);
        auto longest = std::make_shared<qint64>(0);
        std::unique_ptr<VaultContainer> opened;
        EXPECT_NO_THROW(opened = VaultContainer::open(std::make_unique<SparseBlockStore>(file, kFileSize, longest), key,
                                                      test::testMachineId()));
        EXPECT_FALSE(opened);
        EXPECT_LE(*longest, static_cast<qint64>(VaultContainer::kLegacyIndexCapacity));
    }
}

namespace {

// A vault holding one entry, and a source file of `size` bytes that is all hole.
struct SparseImport {
    std::shared_ptr<test::MemoryImage> image = std::make_shared<test::MemoryImage>();
    crypto::SecureBuffer key = test::keyFromSeed(1);
    std::unique_ptr<VaultContainer> vault;
    QString source = test::makeScratchDir() + QStringLiteral("/huge.bin");

    bool prepare(qint64 size)
    {
        vault = VaultContainer::create(std::make_unique<test::MemoryBlockStore>(image), key, test::testMachineId());
        if (!vault || !vault->importFile(test::writeFile(test::makeScratchDir(), QStringLiteral("a"), {1, 2, 3}),
                                         QStringLiteral("a")))
            return false;
        QFile file(source);
        return file.open(QIODevice::WriteOnly) && file.resize(size);
    }
};

}  // namespace

TEST(VaultDamage, ImportOfASparseTebibyteFileIsRefusedWithTheReason)
{
    SparseImport s;
    if (!s.prepare(qint64{1} << 40))
        GTEST_SKIP() << "this file system does not hold a sparse 1 TiB file";
    const auto before = s.image->bytes;
    const quint64 generation = s.vault->generationCounter();
    bool imported = true;
    EXPECT_NO_THROW(imported = s.vault->importFile(s.source, QStringLiteral("huge.bin")));
    EXPECT_FALSE(imported);
    EXPECT_EQ(s.vault->lastImportFailure(), ImportFailure::TooLarge);
    EXPECT_EQ(s.vault->generationCounter(), generation);
    EXPECT_EQ(s.vault->listEntries().size(), 1u);
    EXPECT_TRUE(s.image->bytes == before);
    EXPECT_EQ(QFileInfo(s.source).size(), qint64{1} << 40);
    // The next import works and clears the reason.
    ASSERT_TRUE(s.vault->importFile(test::writeFile(test::makeScratchDir(), QStringLiteral("b"), {4}), QStringLiteral("b")));
    EXPECT_EQ(s.vault->lastImportFailure(), ImportFailure::None);
    QFile::remove(s.source);
}

TEST(VaultDamage, ImportThatCannotBeAllocatedIsRefusedInsteadOfThrowing)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit allows";
#else
    SparseImport s;
    constexpr qint64 kSize = qint64{1} << 30;  // below the import bound, above the child's limit
    if (!s.prepare(kSize))
        GTEST_SKIP() << "this file system does not hold a sparse 1 GiB file";
    const auto before = s.image->bytes;
    // The child may only grow its address space by 256 MiB, so the in-memory vault cannot take
    // a 1 GiB entry: running out of memory part-way must leave the vault as it was.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        long pages = 0;
        if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld", &pages) != 1)
                pages = 0;
            std::fclose(statm);
        }
        if (pages <= 0)
            _exit(10);
        const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (rlim_t{256} << 20);
        const rlimit cap{limit, limit};
        if (setrlimit(RLIMIT_AS, &cap) != 0)
            _exit(11);
        int code = 0;
        try {
            const bool imported = s.vault->importFile(s.source, QStringLiteral("huge.bin"));
            if (imported)
                code = 12;
            else if (s.vault->lastImportFailure() != ImportFailure::OutOfMemory)
                code = 13;
            else if (s.vault->listEntries().size() != 1 || !(s.image->bytes == before))
                code = 14;
        } catch (...) {
            code = 15;
        }
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "12 imported, 13 other reason, 14 vault changed, 15 threw";
    QFile::remove(s.source);
#endif
}
