// Throughput of import, read and export against the floor: an AES-256-GCM seal of the same
// bytes plus one write and fsync of them. Open time by number of entries. The vault file's move
// to another file system against a plain copy, and its secure erase.
#include "crypto/AeadCipher.h"
#include "vault/FileBlockStore.h"
#include "vault/VaultContainer.h"
#include "vault/VaultFileMove.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <sodium.h>

#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <vector>

using dorvex::crypto::SecureBuffer;
using dorvex::vault::FileBlockStore;
using dorvex::vault::VaultContainer;

namespace {

constexpr qint64 kMiB = 1024 * 1024;

QTemporaryDir& workDir()
{
    static QTemporaryDir dir(QStringLiteral("/var/tmp/murravo-bench-XXXXXX"));
    return dir;
}

const SecureBuffer& benchKey()
{
    static const SecureBuffer key = dorvex::crypto::AeadCipher::generateKey();
    return key;
}

const QString kMachine = QStringLiteral("bench-machine");

QString sourceFile(qint64 bytes)
{
    const QString path = workDir().filePath(QStringLiteral("src-%1").arg(bytes));
    if (!QFile::exists(path)) {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            return {};
        std::vector<char> chunk(static_cast<std::size_t>(kMiB));
        for (qint64 done = 0; done < bytes; done += kMiB) {
            randombytes_buf(chunk.data(), chunk.size());
            f.write(chunk.data(), std::min(kMiB, bytes - done));
        }
    }
    return path;
}

std::unique_ptr<VaultContainer> freshVault(const QString& name)
{
    const QString path = workDir().filePath(name);
    QFile::remove(path);
    return VaultContainer::create(std::make_unique<FileBlockStore>(path), benchKey(), kMachine);
}

// A vault holding one entry of the given size, kept for the read and export benchmarks.
VaultContainer& vaultWithEntry(qint64 bytes)
{
    static std::map<qint64, std::unique_ptr<VaultContainer>> vaults;
    auto& slot = vaults[bytes];
    if (!slot) {
        slot = freshVault(QStringLiteral("read-%1.drvx").arg(bytes));
        static_cast<void>(slot->importFile(sourceFile(bytes), QStringLiteral("entry")));
    }
    return *slot;
}

void BM_Floor(benchmark::State& state)
{
    const auto n = static_cast<std::size_t>(state.range(0) * kMiB);
    std::vector<unsigned char> buffer(n + 16);
    randombytes_buf(buffer.data(), n);
    unsigned char nonce[crypto_aead_aes256gcm_NPUBBYTES] = {};
    const QByteArray path = QFile::encodeName(workDir().filePath(QStringLiteral("floor.bin")));
    for (auto _ : state) {
        unsigned long long written = 0;
        crypto_aead_aes256gcm_encrypt(buffer.data(), &written, buffer.data(), n, nullptr, 0, nullptr, nonce,
                                      benchKey().data());
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::size_t done = 0;
        while (done < written) {
            const ssize_t w = ::write(fd, buffer.data() + done, written - done);
            if (w <= 0)
                break;
            done += static_cast<std::size_t>(w);
        }
        ::fsync(fd);
        ::close(fd);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

void BM_Import(benchmark::State& state)
{
    const qint64 n = state.range(0) * kMiB;
    const QString source = sourceFile(n);
    for (auto _ : state) {
        state.PauseTiming();
        auto vault = freshVault(QStringLiteral("import.drvx"));
        state.ResumeTiming();
        if (!vault->importFile(source, QStringLiteral("entry")))
            state.SkipWithError("import failed");
        state.PauseTiming();
        vault.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}

void BM_ReadFileBytes(benchmark::State& state)
{
    const qint64 n = state.range(0) * kMiB;
    VaultContainer& vault = vaultWithEntry(n);
    for (auto _ : state) {
        auto bytes = vault.readFileBytes(QStringLiteral("entry"));
        if (!bytes)
            state.SkipWithError("read failed");
        benchmark::DoNotOptimize(bytes);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}

void BM_Export(benchmark::State& state)
{
    const qint64 n = state.range(0) * kMiB;
    VaultContainer& vault = vaultWithEntry(n);
    const QString out = workDir().filePath(QStringLiteral("export.bin"));
    for (auto _ : state) {
        if (!vault.exportFile(QStringLiteral("entry"), out))
            state.SkipWithError("export failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}

void BM_Open(benchmark::State& state)
{
    const auto entries = state.range(0);
    const QString path = workDir().filePath(QStringLiteral("open-%1.drvx").arg(entries));
    if (!QFile::exists(path)) {
        auto vault = VaultContainer::create(std::make_unique<FileBlockStore>(path), benchKey(), kMachine);
        const QString small = sourceFile(1024);
        for (int i = 0; i < entries; ++i)
            static_cast<void>(vault->importFile(small, QStringLiteral("Document %1.pdf").arg(i)));
    }
    for (auto _ : state) {
        auto vault = VaultContainer::open(std::make_unique<FileBlockStore>(path), benchKey(), kMachine);
        if (!vault || vault->listEntries().size() != static_cast<std::size_t>(entries))
            state.SkipWithError("open failed");
    }
}

// A vault file of about `bytes` (one entry) at `path`, closed again.
bool vaultFileOf(const QString& path, qint64 bytes)
{
    QFile::remove(path);
    auto vault = VaultContainer::create(std::make_unique<FileBlockStore>(path), benchKey(), kMachine);
    return vault && vault->importFile(sourceFile(bytes), QStringLiteral("entry"));
}

// The floor of a move across file systems: a plain copy of the same bytes with one fsync.
void BM_CopyFloor(benchmark::State& state)
{
    const qint64 n = state.range(0) * kMiB;
    const QString source = workDir().filePath(QStringLiteral("copy-floor.drvx"));
    const QString target = QStringLiteral("/dev/shm/murravo-bench-copy-floor");
    if (!vaultFileOf(source, n))
        state.SkipWithError("could not make the vault file");
    std::vector<char> chunk(static_cast<std::size_t>(kMiB));
    for (auto _ : state) {
        const int in = ::open(QFile::encodeName(source).constData(), O_RDONLY);
        const int out = ::open(target.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        for (ssize_t got = 0; (got = ::read(in, chunk.data(), chunk.size())) > 0;)
            benchmark::DoNotOptimize(::write(out, chunk.data(), static_cast<size_t>(got)));
        ::fsync(out);
        ::close(in);
        ::close(out);
        state.PauseTiming();
        QFile::remove(target);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}

// The relocation to another file system: checked copy under the lock, then the source erased
// (three passes, each synced).
void BM_MoveAcrossFileSystems(benchmark::State& state)
{
    const qint64 n = state.range(0) * kMiB;
    const QString source = workDir().filePath(QStringLiteral("move.drvx"));
    const QString target = QStringLiteral("/dev/shm/murravo-bench-moved.drvx");
    for (auto _ : state) {
        state.PauseTiming();
        QFile::remove(target);
        if (!vaultFileOf(source, n)) {
            state.SkipWithError("could not make the vault file");
            break;
        }
        state.ResumeTiming();
        const auto moved = dorvex::vault::moveVaultFile(source, target);
        if (moved.outcome != dorvex::vault::VaultFileOutcome::Done || !moved.copied) {
            state.SkipWithError("the move did not copy");
            break;
        }
    }
    QFile::remove(target);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}

// The deletion's erase of the vault file.
void BM_EraseVaultFile(benchmark::State& state)
{
    const qint64 n = state.range(0) * kMiB;
    const QString path = workDir().filePath(QStringLiteral("erase.drvx"));
    for (auto _ : state) {
        state.PauseTiming();
        if (!vaultFileOf(path, n)) {
            state.SkipWithError("could not make the vault file");
            break;
        }
        state.ResumeTiming();
        if (dorvex::vault::eraseVaultFile(path) != dorvex::vault::VaultFileOutcome::Done) {
            state.SkipWithError("the erase failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}

}  // namespace


BENCHMARK(BM_Floor)->Arg(1)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Import)->Arg(1)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadFileBytes)->Arg(1)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Export)->Arg(1)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyFloor)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MoveAcrossFileSystems)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EraseVaultFile)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Open)->Arg(1)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
