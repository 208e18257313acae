// Imports and exports through small windows: the blobs are those of the one-shot seal, and a
// cancel, a damaged tag, a changing source or a session wipe part-way leaves nothing behind.
#include "MemoryBlockStore.h"
#include "VaultImageBuilder.h"
#include "VaultTestUtil.h"
#include "vault/FileBlockStore.h"
#include "vault/VaultContainer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <functional>

#include <sys/stat.h>

using namespace dorvex;
using vault::TransferOptions;
using vault::VaultContainer;
using ImportFailure = VaultContainer::ImportFailure;
using ExportFailure = VaultContainer::ExportFailure;
using Bytes = std::vector<unsigned char>;

namespace {

constexpr std::size_t kWindow = 1000;

// A vault holding one entry, in memory or in a real file.
struct Vault {
    explicit Vault(bool onDisk = false) : onDisk(onDisk)
    {
        std::unique_ptr<vault::IVaultBlockStore> store;
        if (onDisk)
            store = std::make_unique<vault::FileBlockStore>(QDir(dir).filePath(QStringLiteral("vault.drvx")));
        else
            store = std::make_unique<test::MemoryBlockStore>(image);
        container = VaultContainer::create(std::move(store), key, test::testMachineId());
        EXPECT_TRUE(container);
        EXPECT_TRUE(import(QStringLiteral("kept.txt"), test::patternBytes(123, 1)));
    }

    bool import(const QString& name, const Bytes& bytes, TransferOptions options = {})
    {
        options.windowBytes = kWindow;
        return container->importFile(test::writeFile(dir, QStringLiteral("src-") + name, bytes), name, nullptr,
                                     options);
    }

    Bytes bytes() const
    {
        return onDisk ? test::readWholeFile(QDir(dir).filePath(QStringLiteral("vault.drvx"))) : image->bytes;
    }

    bool onDisk;
    QString dir = test::makeScratchDir();
    std::shared_ptr<test::MemoryImage> image = std::make_shared<test::MemoryImage>();
    crypto::SecureBuffer key = test::keyFromSeed(6);
    std::unique_ptr<VaultContainer> container;
};

// A progress callback that answers false at its n-th call (1-based), and counts its calls.
struct StopAt {
    int at;
    int calls = 0;
    TransferOptions options()
    {
        TransferOptions o;
        o.windowBytes = kWindow;
        o.progress = [this](qint64, qint64) { return ++calls != at; };
        return o;
    }
};

std::vector<std::size_t> sizesAroundWindows()
{
    std::vector<std::size_t> out = {0, 1, 63, 64, 65};
    for (std::size_t k : {1u, 2u, 3u, 4u})
        for (long d : {-65L, -1L, 0L, 1L, 64L})
            out.push_back(static_cast<std::size_t>(static_cast<long>(k * kWindow) + d));
    return out;
}

QStringList filesIn(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System);
}

struct stat statOf(const QString& path)
{
    struct stat st {};
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    return st;
}

}  // namespace

TEST(StreamedImport, BlobsAreThoseOfTheOneShotSeal)
{
    // Small windows, and windows larger than a page, where the first one is cut short so that
    // the later writes start on page boundaries.
    for (std::size_t window : {kWindow, std::size_t{3 * 4096 + 5}}) {
        SCOPED_TRACE(window);
        Vault v;
        std::vector<std::size_t> sizes = sizesAroundWindows();
        for (std::size_t k : {1u, 2u, 3u})
            for (long d : {-4096L, -1L, 0L, 1L, 4096L})
                if (static_cast<long>(k * window) + d >= 0)
                    sizes.push_back(static_cast<std::size_t>(static_cast<long>(k * window) + d));
        for (std::size_t n : sizes) {
            TransferOptions options;
            options.windowBytes = window;
            ASSERT_TRUE(v.container->importFile(
                test::writeFile(v.dir, QStringLiteral("src"), test::patternBytes(n, static_cast<unsigned>(n))),
                QString::number(n) + QStringLiteral("-") + QString::number(v.container->listEntries().size()),
                nullptr, options));
        }
        const auto raw = test::rawEntries(v.image->bytes, v.key);
        ASSERT_EQ(raw.size(), sizes.size() + 1);
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            const test::RawEntry& e = raw[i + 1];
            const std::size_t n = sizes[i];
            SCOPED_TRACE(n);
            ASSERT_EQ(e.blob.size(), n + 41);
            EXPECT_EQ(e.blob[24], crypto::AeadCipher::usingHardwareAes() ? 0 : 1);
            const Bytes nonce(e.blob.begin(), e.blob.begin() + 24);
            const Bytes oneShot = crypto::AeadCipher::encryptWithSuite(
                e.blob[24], e.fileKey, nonce, test::patternBytes(n, static_cast<unsigned>(n)), e.associatedData);
            EXPECT_TRUE(Bytes(e.blob.begin() + 24, e.blob.end()) == oneShot);
        }
    }
}

TEST(StreamedExport, OneShotBlobsOfEverySuiteExportAndReadExactly)
{
    // Built with libsodium's one-shot seal: the frozen fixture (XChaCha20-Poly1305) and, where
    // libsodium can make it, the same layout under AES-256-GCM.
    std::vector<std::pair<const char*, Bytes>> images = {
        {"frozen fixture", test::readWholeFile(QStringLiteral(MURRAVO_TEST_DATA_DIR "/vault/format5.drvx"))}};
    test::ImageLayout layout = test::fixtureSpec(5);
    for (std::size_t n : sizesAroundWindows())
        layout.entries.push_back({QStringLiteral("size %1").arg(n), test::patternBytes(n, static_cast<unsigned>(n)),
                                  QStringLiteral("00000000-0000-4000-8000-%1").arg(n, 12, 10, QLatin1Char('0')),
                                  QDateTime::currentDateTimeUtc()});
    layout.contentSuite = 1;
    images.push_back({"XChaCha20-Poly1305", test::buildVaultImage(layout, test::fixtureKey())});
    if (crypto::AeadCipher::usingHardwareAes()) {
        layout.contentSuite = 0;
        images.push_back({"AES-256-GCM", test::buildVaultImage(layout, test::fixtureKey())});
    }
    const QString dir = test::makeScratchDir();
    for (const auto& [label, bytes] : images) {
        ASSERT_FALSE(bytes.empty()) << label;
        auto opened = VaultContainer::open(std::make_unique<test::MemoryBlockStore>(test::MemoryBlockStore::imageOf(bytes)),
                                           test::fixtureKey(), test::fixtureMachineId());
        ASSERT_TRUE(opened) << label;
        const test::ImageLayout& spec = std::string(label) == "frozen fixture" ? test::fixtureSpec(5) : layout;
        for (const auto& entry : spec.entries) {
            SCOPED_TRACE(testing::Message() << label << ": " << entry.name.toStdString());
            EXPECT_EQ(opened->readFileBytes(entry.name), entry.contents);
            for (std::size_t window : {std::size_t{7}, std::size_t{64}, kWindow, TransferOptions::kWindowBytes}) {
                TransferOptions options;
                options.windowBytes = window;
                const QString out = QDir(dir).filePath(QStringLiteral("out"));
                ASSERT_TRUE(opened->exportFile(entry.name, out, options));
                EXPECT_TRUE(test::readWholeFile(out) == entry.contents) << "window " << window;
            }
        }
    }
}

TEST(StreamedImport, CancelAtEveryProgressStepLeavesTheVaultAndTheSourceAsTheyWere)
{
    for (bool onDisk : {false, true}) {
        SCOPED_TRACE(onDisk ? "file store" : "memory store");
        Vault v(onDisk);
        const Bytes contents = test::patternBytes(5 * kWindow + 7, 9);
        const QString source = test::writeFile(v.dir, QStringLiteral("big.bin"), contents);
        const struct stat sourceBefore = statOf(source);
        const Bytes before = v.bytes();
        const quint64 generation = v.container->generationCounter();
        int steps = 0;
        for (int k = 1;; ++k) {
            SCOPED_TRACE(k);
            StopAt stop{k};
            const bool imported = v.container->importFile(source, QStringLiteral("big.bin"), nullptr, stop.options());
            if (imported) {
                steps = stop.calls;
                break;
            }
            ASSERT_EQ(v.container->lastImportFailure(), ImportFailure::Cancelled);
            ASSERT_TRUE(v.bytes() == before) << "the vault file changed, size " << v.bytes().size() << " was "
                                             << before.size();
            EXPECT_EQ(v.container->generationCounter(), generation);
            EXPECT_EQ(v.container->listEntries().size(), 1u);
            EXPECT_TRUE(test::readWholeFile(source) == contents);
            const struct stat sourceNow = statOf(source);
            EXPECT_EQ(sourceNow.st_ino, sourceBefore.st_ino);
            EXPECT_EQ(sourceNow.st_mtim.tv_nsec, sourceBefore.st_mtim.tv_nsec);
        }
        // One report before the first window and one after each of the six.
        EXPECT_EQ(steps, 7);
        EXPECT_EQ(v.container->readFileBytes(QStringLiteral("big.bin")), contents);
    }
}

TEST(StreamedExport, CancelAtEveryProgressStepLeavesNothingBehind)
{
    Vault v;
    const Bytes contents = test::patternBytes(3 * kWindow + 1, 4);
    ASSERT_TRUE(v.import(QStringLiteral("doc.pdf"), contents));
    for (bool destinationExists : {false, true}) {
        const QString folder = test::makeScratchDir();
        const QString destination = QDir(folder).filePath(QStringLiteral("doc.pdf"));
        const Bytes old = {'o', 'l', 'd'};
        if (destinationExists)
            test::writeFile(folder, QStringLiteral("doc.pdf"), old);
        for (int k = 1;; ++k) {
            SCOPED_TRACE(testing::Message() << "destination exists " << destinationExists << ", step " << k);
            StopAt stop{k};
            if (v.container->exportFile(QStringLiteral("doc.pdf"), destination, stop.options())) {
                EXPECT_EQ(stop.calls, 5);  // before the first window and after each of four
                break;
            }
            ASSERT_EQ(v.container->lastExportFailure(), ExportFailure::Cancelled);
            EXPECT_EQ(filesIn(folder), destinationExists ? QStringList{QStringLiteral("doc.pdf")} : QStringList{});
            if (destinationExists) {
                EXPECT_TRUE(test::readWholeFile(destination) == old);
            }
        }
        EXPECT_TRUE(test::readWholeFile(destination) == contents);
        EXPECT_EQ(filesIn(folder), QStringList{QStringLiteral("doc.pdf")});
    }
}

TEST(StreamedExport, DamageFoundOnlyAtTheTagLeavesNothingBehind)
{
    const std::size_t n = 4 * kWindow + 10;
    const struct {
        const char* name;
        std::size_t at;  // offset in the blob
    } damages[] = {
        {"last tag byte", n + 40},
        {"first tag byte", n + 25},
        {"last ciphertext byte, in the last window", n + 24},
        {"first ciphertext byte", 25},
    };
    for (const auto& d : damages) {
        SCOPED_TRACE(d.name);
        Vault v;
        const Bytes contents = test::patternBytes(n, 8);
        ASSERT_TRUE(v.import(QStringLiteral("scan.tiff"), contents));
        const auto raw = test::rawEntries(v.image->bytes, v.key);
        ASSERT_EQ(raw.size(), 2u);
        // The second blob is the last thing in the file.
        const std::size_t blobAt = v.image->bytes.size() - raw[1].blob.size();
        v.image->bytes[blobAt + d.at] ^= 0x01;
        for (bool destinationExists : {false, true}) {
            const QString folder = test::makeScratchDir();
            const QString destination = QDir(folder).filePath(QStringLiteral("scan.tiff"));
            if (destinationExists)
                test::writeFile(folder, QStringLiteral("scan.tiff"), {'k', 'e', 'e', 'p'});
            int reports = 0;
            TransferOptions options;
            options.windowBytes = kWindow;
            options.progress = [&](qint64, qint64) { return ++reports > 0; };
            EXPECT_FALSE(v.container->exportFile(QStringLiteral("scan.tiff"), destination, options));
            EXPECT_EQ(v.container->lastExportFailure(), ExportFailure::NotAuthentic);
            EXPECT_EQ(reports, 6) << "the damage is found only after every window was written";
            EXPECT_EQ(filesIn(folder), destinationExists ? QStringList{QStringLiteral("scan.tiff")} : QStringList{});
            if (destinationExists) {
                EXPECT_TRUE(test::readWholeFile(destination) == (Bytes{'k', 'e', 'e', 'p'}));
            }
        }
        EXPECT_FALSE(v.container->readFileBytes(QStringLiteral("scan.tiff")));
    }
}

TEST(StreamedImport, ASourceThatChangesWhileItIsReadIsRefused)
{
    const std::size_t n = 6 * kWindow;
    const struct {
        const char* name;
        std::function<void(const QString&)> change;
    } changes[] = {
        {"grows",
         [](const QString& p) {
             QFile f(p);
             ASSERT_TRUE(f.open(QIODevice::Append));
             f.write("more");
         }},
        {"shrinks", [n](const QString& p) { QFile f(p); ASSERT_TRUE(f.resize(static_cast<qint64>(n / 2))); }},
        {"shrinks by one byte", [n](const QString& p) { QFile f(p); ASSERT_TRUE(f.resize(static_cast<qint64>(n - 1))); }},
        {"rewritten in place", [](const QString& p) {
             QFile f(p);
             ASSERT_TRUE(f.open(QIODevice::ReadWrite));
             ASSERT_TRUE(f.seek(static_cast<qint64>(5 * kWindow)));
             f.write("x");
         }},
    };
    for (const auto& c : changes) {
        SCOPED_TRACE(c.name);
        Vault v;
        const QString source = test::writeFile(v.dir, QStringLiteral("log.txt"), test::patternBytes(n, 2));
        const Bytes before = v.bytes();
        int calls = 0;
        TransferOptions options;
        options.windowBytes = kWindow;
        options.progress = [&](qint64, qint64) {
            if (++calls == 2)
                c.change(source);
            return true;
        };
        EXPECT_FALSE(v.container->importFile(source, QStringLiteral("log.txt"), nullptr, options));
        EXPECT_EQ(v.container->lastImportFailure(), ImportFailure::SourceChanged);
        EXPECT_TRUE(v.bytes() == before);
        EXPECT_FALSE(v.container->contains(QStringLiteral("log.txt")));
    }
}

TEST(StreamedTransfer, ASessionWipeDuringProgressStopsItAndCommitsNothing)
{
    // The progress callback runs the event loop, where an idle lock may wipe the session.
    for (bool exporting : {false, true}) {
        SCOPED_TRACE(exporting ? "export" : "import");
        Vault v;
        const Bytes contents = test::patternBytes(4 * kWindow, 3);
        if (exporting) {
            ASSERT_TRUE(v.import(QStringLiteral("a.bin"), contents));
        }
        const Bytes before = v.bytes();
        const QString destination = QDir(test::makeScratchDir()).filePath(QStringLiteral("a.bin"));
        bool refusedMeanwhile = false;
        int calls = 0;
        TransferOptions options;
        options.windowBytes = kWindow;
        options.progress = [&](qint64, qint64) {
            if (++calls == 2) {
                // Nothing else may touch the vault while a transfer runs.
                refusedMeanwhile = !v.container->removeFile(QStringLiteral("kept.txt"))
                    && !v.container->readFileBytes(QStringLiteral("kept.txt"))
                    && !v.container->exportFile(QStringLiteral("kept.txt"), destination + QStringLiteral(".2"))
                    && !v.container->importFile(test::writeFile(v.dir, QStringLiteral("other"), {1}),
                                                QStringLiteral("other"));
            }
            if (calls == 3)
                v.container->lockSynchronously();
            return true;
        };
        const bool done = exporting
            ? v.container->exportFile(QStringLiteral("a.bin"), destination, options)
            : v.container->importFile(test::writeFile(v.dir, QStringLiteral("src"), contents), QStringLiteral("a.bin"),
                                      nullptr, options);
        EXPECT_FALSE(done);
        EXPECT_TRUE(refusedMeanwhile);
        EXPECT_FALSE(QFileInfo::exists(destination));
        EXPECT_TRUE(v.bytes() == before);
        const auto state = test::reopenCopy(v.bytes(), v.key);
        ASSERT_TRUE(state && state->contents);
        EXPECT_EQ(state->contents->size(), exporting ? 2u : 1u);
    }
}
