// File layout, header selection, fallback, tampering and the frozen fixtures.
#include "MemoryBlockStore.h"
#include "VaultImageBuilder.h"
#include "VaultTestUtil.h"
#include "vault/VaultContainer.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>
#include <sodium.h>

#include <cstring>

using namespace dorvex;
using dorvex::vault::VaultContainer;

namespace {

using test::le;

struct Vault {
    std::shared_ptr<test::MemoryImage> image = std::make_shared<test::MemoryImage>();
    crypto::SecureBuffer key = test::keyFromSeed(1);
    std::unique_ptr<VaultContainer> container;
    QString dir = test::makeScratchDir();

    Vault() { container = VaultContainer::create(std::make_unique<test::MemoryBlockStore>(image), key, test::testMachineId()); }
    void import(const QString& name, const std::vector<unsigned char>& bytes)
    {
        ASSERT_TRUE(container->importFile(test::writeFile(dir, name, bytes), name));
    }
    // The file as it stands, with the container closed.
    std::vector<unsigned char> closedBytes()
    {
        container.reset();
        return image->bytes;
    }
};

std::unique_ptr<VaultContainer> openBytes(const std::vector<unsigned char>& bytes, const crypto::SecureBuffer& key,
                                          const QString& machineId = test::testMachineId(),
                                          std::shared_ptr<test::MemoryImage>* keep = nullptr)
{
    auto image = test::MemoryBlockStore::imageOf(bytes);
    if (keep)
        *keep = image;
    return VaultContainer::open(std::make_unique<test::MemoryBlockStore>(image), key, machineId);
}

}  // namespace

TEST(VaultFormat, NewVaultHasTheFixedLayout)
{
    Vault v;
    ASSERT_TRUE(v.container);
    EXPECT_EQ(v.container->generationCounter(), 1u);
    const std::vector<unsigned char> b = v.closedBytes();
    ASSERT_EQ(b.size(), 1048672u);
    EXPECT_EQ(std::memcmp(b.data(), "DRVXVLT1", 8), 0);
    EXPECT_EQ(le(b, 8, 4), 5u);
    EXPECT_EQ(le(b, 12, 4), 0u);
    EXPECT_EQ(le(b, 16, 8), 192u);
    EXPECT_EQ(le(b, 24, 8), 524240u);
    const quint64 indexLength = le(b, 32, 8);
    EXPECT_GE(indexLength, 41u);
    EXPECT_EQ(le(b, 76, 8), 1u);
    unsigned char copy[84];
    std::memcpy(copy, b.data(), 84);
    std::memset(copy + 40, 0, 36);
    unsigned char sum[12];
    crypto_generichash(sum, 12, copy, 84, nullptr, 0);
    EXPECT_EQ(std::memcmp(sum, b.data() + 84, 12), 0);
    EXPECT_TRUE(std::all_of(b.begin() + 96, b.begin() + 192, [](unsigned char c) { return c == 0; }));
    // The index document, decrypted with the associated data the format names.
    const QString vaultId = QString::fromUtf8(reinterpret_cast<const char*>(b.data() + 40), 36);
    std::vector<unsigned char> aad;
    for (const QString& s : {vaultId, test::testMachineId()}) {
        const QByteArray u = s.toUtf8();
        aad.insert(aad.end(), u.begin(), u.end());
    }
    for (auto [v, w] : {std::pair<quint64, int>{192, 8}, {524240, 8}, {1, 8}, {5, 4}})
        for (int i = 0; i < w; ++i)
            aad.push_back(static_cast<unsigned char>(v >> (8 * i)));
    const std::vector<unsigned char> nonce(b.begin() + 192, b.begin() + 216);
    const std::vector<unsigned char> sealed(b.begin() + 216, b.begin() + 192 + static_cast<qint64>(indexLength));
    const auto plain = crypto::AeadCipher::decrypt(v.key, nonce, sealed, aad);
    ASSERT_TRUE(plain);
    const QString json = QString::fromUtf8(reinterpret_cast<const char*>(plain->data()), static_cast<qsizetype>(plain->size()));
    EXPECT_EQ(json, QStringLiteral("{\"cipherSuiteVersion\":1,\"entries\":[],\"generationCounter\":\"1\",\"machineId\":\"%1\","
                                   "\"nextAppendOffset\":\"1048672\",\"vaultId\":\"%2\"}")
                        .arg(test::testMachineId(), vaultId));
}

TEST(VaultFormat, CommitsAlternateSlotsAndEntryBlobsHaveTheirLength)
{
    Vault v;
    v.import(QStringLiteral("a"), test::patternBytes(100, 1));
    v.import(QStringLiteral("b"), {});
    EXPECT_EQ(v.container->generationCounter(), 3u);
    const auto b = v.closedBytes();
    EXPECT_EQ(b.size(), 1048672u + 141u + 41u);
    EXPECT_EQ(le(b, 76, 8), 3u);            // slot 0: generations 1 and 3
    EXPECT_EQ(le(b, 96 + 76, 8), 2u);       // slot 1: generation 2
    EXPECT_EQ(le(b, 96 + 16, 8), 524432u);  // its index lives in index slot 1
    const auto state = test::reopenCopy(b, v.key);
    ASSERT_TRUE(state && state->contents);
    EXPECT_EQ(state->generation, 3u);
    EXPECT_EQ(state->contents->at(QStringLiteral("a")), test::patternBytes(100, 1));
}

TEST(VaultFormat, HeaderSelection)
{
    Vault v;
    v.import(QStringLiteral("a"), test::patternBytes(10, 1));  // generation 2 in slot 1
    const auto base = v.closedBytes();
    struct Case {
        const char* what;
        std::function<void(std::vector<unsigned char>&)> mutate;
        std::optional<quint64> expected;
    };
    const Case cases[] = {
        {"both valid: the newer wins", [](auto&) {}, 2},
        {"bad checksum in the newer slot", [](auto& b) { b[96 + 84] ^= 1; }, 1},
        {"bad magic in the newer slot", [](auto& b) { b[96] ^= 1; }, 1},
        {"newer slot claims format 4", [](auto& b) { b[96 + 8] = 4; }, 1},
        {"older slot damaged", [](auto& b) { b[20] ^= 1; }, 2},
        {"both damaged", [](auto& b) { b[20] ^= 1; b[96 + 20] ^= 1; }, std::nullopt},
        {"truncated below the newer slot's index", [](auto& b) { b.resize(600000); }, std::nullopt},
        {"only slot 0 readable", [](auto& b) { b.resize(150); }, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto bytes = base;
        c.mutate(bytes);
        const QString path = test::writeFile(test::makeScratchDir(), QStringLiteral("v.drvx"), bytes);
        const auto opened = openBytes(bytes, v.key);
        if (c.expected) {
            ASSERT_TRUE(opened);
            EXPECT_GE(opened->generationCounter(), *c.expected);
        } else {
            EXPECT_FALSE(opened);
        }
        if (std::string(c.what).rfind("truncated", 0) != 0 && std::string(c.what).rfind("only", 0) != 0) {
            EXPECT_EQ(VaultContainer::peekGenerationCounter(path), c.expected);
        }
    }
}

TEST(VaultFormat, EqualGenerationsPreferSlotZeroAndPeekAgrees)
{
    Vault v;
    const auto base = v.closedBytes();
    auto bytes = base;
    // Slot 1 gets a valid header at the same generation naming a bogus index.
    std::memcpy(bytes.data() + 96, bytes.data(), 96);
    bytes[96 + 16] = 0x90;  // names another index offset
    unsigned char copy[84];
    std::memcpy(copy, bytes.data() + 96, 84);
    std::memset(copy + 40, 0, 36);
    crypto_generichash(bytes.data() + 96 + 84, 12, copy, 84, nullptr, 0);
    const QString path = test::writeFile(test::makeScratchDir(), QStringLiteral("v.drvx"), bytes);
    EXPECT_EQ(VaultContainer::peekGenerationCounter(path), 1u);
    EXPECT_EQ(VaultContainer::peekVaultId(path).size(), 36);
    auto opened = openBytes(bytes, v.key);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->generationCounter(), 1u);
    EXPECT_TRUE(VaultContainer::looksLikeContainer(path));
    EXPECT_FALSE(VaultContainer::looksLikeContainer(test::writeFile(test::makeScratchDir(), QStringLiteral("x"), {'D', 'R', 'V'})));
    EXPECT_TRUE(VaultContainer::peekVaultId(QStringLiteral("/nonexistent/v.drvx")).isEmpty());
    EXPECT_FALSE(VaultContainer::peekGenerationCounter(QStringLiteral("/nonexistent/v.drvx")));
}

TEST(VaultFormat, IndexAuthenticatesOnlyInItsSlotWithItsMachine)
{
    Vault v;
    v.import(QStringLiteral("a"), test::patternBytes(10, 1));
    const auto base = v.closedBytes();
    EXPECT_FALSE(openBytes(base, v.key, QStringLiteral("another-machine")));
    EXPECT_FALSE(openBytes(base, test::keyFromSeed(2)));

    // Copy slot 0's index and header into slot 1 with a newer generation and a fixed checksum:
    // the header is valid, the index does not authenticate there, the fallback takes slot 0.
    auto bytes = base;
    const quint64 length0 = le(bytes, 32, 8);
    std::memcpy(bytes.data() + 524432, bytes.data() + 192, length0);
    std::memcpy(bytes.data() + 96, bytes.data(), 96);
    for (int i = 0; i < 8; ++i) {
        bytes[96 + 16 + i] = static_cast<unsigned char>(524432ull >> (8 * i));
        bytes[96 + 76 + i] = static_cast<unsigned char>(9ull >> (8 * i));
    }
    unsigned char copy[84];
    std::memcpy(copy, bytes.data() + 96, 84);
    std::memset(copy + 40, 0, 36);
    crypto_generichash(bytes.data() + 96 + 84, 12, copy, 84, nullptr, 0);
    std::shared_ptr<test::MemoryImage> image;
    auto opened = openBytes(bytes, v.key, test::testMachineId(), &image);
    ASSERT_TRUE(opened);
    // Slot 0 was at 1; the repair commits into slot 1 above the 9 its header claimed.
    EXPECT_TRUE(opened->openedAtPreviousState());
    EXPECT_EQ(opened->generationCounter(), 10u);
    opened.reset();
    EXPECT_EQ(le(image->bytes, 96 + 76, 8), 10u);
    const auto again = test::reopenCopy(image->bytes, v.key);
    ASSERT_TRUE(again && again->contents);
    EXPECT_EQ(again->generation, 10u);
}

TEST(VaultFormat, DamagedNewerIndexFallsBackAndRepairs)
{
    Vault v;
    v.import(QStringLiteral("a"), test::patternBytes(10, 1));
    v.import(QStringLiteral("b"), test::patternBytes(20, 2));  // generation 3 in slot 0
    auto bytes = v.closedBytes();
    bytes[192 + 30] ^= 0x40;
    std::shared_ptr<test::MemoryImage> image;
    auto opened = openBytes(bytes, v.key, test::testMachineId(), &image);
    ASSERT_TRUE(opened);
    // Generation 2's state, committed again above the damaged generation 3.
    EXPECT_TRUE(opened->openedAtPreviousState());
    EXPECT_EQ(opened->damagedGeneration(), 3u);
    EXPECT_EQ(opened->generationCounter(), 4u);
    EXPECT_EQ(opened->listEntries().size(), 1u);
    opened.reset();
    EXPECT_EQ(le(image->bytes, 76, 8), 4u);
    EXPECT_TRUE(test::reopenCopy(image->bytes, v.key));
}

TEST(VaultFormat, DamagedVaultIdIsRecoveredWithTheTrueId)
{
    Vault v;
    v.import(QStringLiteral("a"), test::patternBytes(10, 1));
    const QString trueId = v.container->vaultId();
    auto bytes = v.closedBytes();
    bytes[40] ^= 0x01;
    bytes[96 + 41] ^= 0x01;
    EXPECT_FALSE(openBytes(bytes, v.key));  // checksums still valid; the index does not authenticate
    const QString path = test::writeFile(test::makeScratchDir(), QStringLiteral("v.drvx"), bytes);
    EXPECT_EQ(VaultContainer::peekGenerationCounter(path), 2u);
    auto image = test::MemoryBlockStore::imageOf(bytes);
    auto opened = VaultContainer::open(std::make_unique<test::MemoryBlockStore>(image), v.key, test::testMachineId(), trueId);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->vaultId(), trueId);
    EXPECT_EQ(opened->generationCounter(), 3u);
    opened.reset();
    const auto state = test::reopenCopy(image->bytes, v.key);
    ASSERT_TRUE(state && state->contents);
    EXPECT_EQ(state->contents->size(), 1u);
}

TEST(VaultFormat, EveryFlippedByteOpensAtAValidStateOrNotAtAll)
{
    Vault v;
    v.import(QStringLiteral("a"), test::patternBytes(300, 1));
    v.import(QStringLiteral("b"), test::patternBytes(5, 2));  // generation 3, slot 0
    const test::Contents both{{QStringLiteral("a"), test::patternBytes(300, 1)}, {QStringLiteral("b"), test::patternBytes(5, 2)}};
    const test::Contents onlyA{{QStringLiteral("a"), test::patternBytes(300, 1)}};
    const auto base = v.closedBytes();
    const std::size_t indexLength = le(base, 32, 8);
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < 192; ++i)
        offsets.push_back(i);
    for (std::size_t i = 0; i < indexLength; ++i)
        offsets.push_back(192 + i);
    int opened = 0;
    int refused = 0;
    for (std::size_t at : offsets) {
        auto bytes = base;
        bytes[at] ^= 0x5A;
        const auto state = test::reopenCopy(bytes, v.key);
        if (!state) {
            ++refused;
            continue;
        }
        ++opened;
        ASSERT_TRUE(state->contents) << "offset " << at;
        EXPECT_TRUE(*state->contents == both || *state->contents == onlyA) << "offset " << at;
    }
    EXPECT_GT(opened, 0);
    // Only the vault id bytes of the selected header can make the open fail.
    EXPECT_LE(refused, 36);
}

TEST(VaultFormat, FrozenFixturesOpenAndTheOldFormatMigrates)
{
    for (int format : {5, 4}) {
        SCOPED_TRACE(format);
        const QString path = QStringLiteral(MURRAVO_TEST_DATA_DIR "/vault/format%1.drvx").arg(format);
        const auto bytes = test::readWholeFile(path);
        ASSERT_FALSE(bytes.empty()) << path.toStdString();
        const test::ImageLayout layout = test::fixtureSpec(format);
        EXPECT_EQ(VaultContainer::peekVaultId(path), layout.vaultId);
        EXPECT_EQ(VaultContainer::peekGenerationCounter(path), layout.generation);
        std::shared_ptr<test::MemoryImage> image;
        auto opened = openBytes(bytes, test::fixtureKey(), test::fixtureMachineId(), &image);
        ASSERT_TRUE(opened);
        EXPECT_EQ(opened->formatVersion(), 5u);
        EXPECT_EQ(opened->generationCounter(), format == 4 ? layout.generation + 1 : layout.generation);
        const auto entries = opened->listEntries();
        ASSERT_EQ(entries.size(), layout.entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(entries[i].name, layout.entries[i].name);
            EXPECT_EQ(entries[i].importedAt, layout.entries[i].importedAt);
            EXPECT_EQ(opened->readFileBytes(entries[i].name), layout.entries[i].contents);
        }
        opened.reset();
        if (format == 4) {
            // Slot 0 keeps the old header; slot 1 is now the current one.
            EXPECT_EQ(le(image->bytes, 8, 4), 4u);
            EXPECT_EQ(le(image->bytes, 96 + 8, 4), 5u);
            EXPECT_EQ(le(image->bytes, 96 + 16, 8), 524432u);
            const auto state = test::reopenCopy(image->bytes, test::fixtureKey(), test::fixtureMachineId());
            ASSERT_TRUE(state && state->contents);
            EXPECT_EQ(state->contents->size(), 3u);
        }
    }
}
