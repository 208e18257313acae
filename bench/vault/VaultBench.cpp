// Throughput of import, read and export, each beside its plain floor measured in the same run:
// import against an fsync'ed copy of the source (read, write, fsync, no encryption), export
// against a copy of the blob's bytes with the export's durability (save file, fsync, rename,
// folder sync), readFileBytes against reading the blob and decrypting it with OpenSSL in one
// call. BM_Floor is the earlier floor (libsodium's seal of a buffer plus write and fsync), kept
// for comparison with older figures. Open time by number of entries. The vault file's move to another
// file system against a plain copy, and its secure erase.
#include "crypto/AeadCipher.h"
#include "vault/FileBlockStore.h"
#include "vault/VaultContainer.h"
#include "vault/VaultFileMove.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
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

// Writes all of buffer to fd; false on a short write.
bool writeAll(int fd, const unsigned char* data, std::size_t length)
{
    while (length > 0) {
        const ssize_t w = ::write(fd, data, length);
        if (w <= 0)
            return false;
        data += w;
        length -= static_cast<std::size_t>(w);
    }
    return true;
}

constexpr std::size_t kCopyWindow = std::size_t{4} << 20;

void BM_FsyncedCopy(benchmark::State& state)
{
    const qint64 n = state.range(0) * kMiB;
    const QByteArray source = QFile::encodeName(sourceFile(n));
    const QByteArray target = QFile::encodeName(workDir().filePath(QStringLiteral("copy.bin")));
    std::vector<unsigned char> window(kCopyWindow);
    for (auto _ : state) {
        state.PauseTiming();
        ::unlink(target.constData());
        state.ResumeTiming();
        const int in = ::open(source.constData(), O_RDONLY | O_CLOEXEC);
        const int out = ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        bool ok = in >= 0 && out >= 0;
        for (ssize_t got; ok && (got = ::read(in, window.data(), window.size())) > 0;)
            ok = writeAll(out, window.data(), static_cast<std::size_t>(got));
        ok = ok && ::fsync(out) == 0;
        ::close(in);
        ::close(out);
        if (!ok)
            state.SkipWithError("copy failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
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

// The blob's place in the vault file of vaultWithEntry(bytes): it is the file's last n + 41 bytes.
qint64 blobOffset(qint64 bytes)
{
    const QString path = workDir().filePath(QStringLiteral("read-%1.drvx").arg(bytes));
    return QFileInfo(path).size() - bytes - VaultContainer::kBlobOverhead;
}

// Reading the blob into one buffer and decrypting it in place with OpenSSL in one call.
void BM_ReadFloor(benchmark::State& state)
{
    const qint64 n = state.range(0) * kMiB;
    static_cast<void>(vaultWithEntry(n));
    const QByteArray path = QFile::encodeName(workDir().filePath(QStringLiteral("read-%1.drvx").arg(n)));
    const qint64 at = blobOffset(n);
    unsigned char iv[12] = {};
    for (auto _ : state) {
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        std::vector<unsigned char> buffer(static_cast<std::size_t>(n) + 16);
        const bool read = ::pread(fd, buffer.data(), buffer.size(), at + 25) == static_cast<ssize_t>(buffer.size());
        ::close(fd);
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        int produced = 0;
        const bool ok = read && EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, benchKey().data(), iv) == 1
            && EVP_DecryptUpdate(ctx, buffer.data(), &produced, buffer.data(), static_cast<int>(n)) == 1;
        EVP_CIPHER_CTX_free(ctx);
        if (!ok)
            state.SkipWithError("read floor failed");
        benchmark::DoNotOptimize(buffer);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}

// A plain copy of the blob's bytes with the export's durability: a new file beside the
// destination, fsync, rename over it, folder sync.
void BM_ExportFloor(benchmark::State& state)
{
    const qint64 n = state.range(0) * kMiB;
    static_cast<void>(vaultWithEntry(n));
    const QByteArray path = QFile::encodeName(workDir().filePath(QStringLiteral("read-%1.drvx").arg(n)));
    const QByteArray temporary = QFile::encodeName(workDir().filePath(QStringLiteral("floor-copy.tmp")));
    const QByteArray target = QFile::encodeName(workDir().filePath(QStringLiteral("floor-copy.bin")));
    const QByteArray folder = QFile::encodeName(workDir().path());
    const qint64 at = blobOffset(n) + 25;
    std::vector<unsigned char> window(kCopyWindow);
    for (auto _ : state) {
        const int in = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        const int out = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        bool ok = in >= 0 && out >= 0;
        for (qint64 done = 0; ok && done < n;) {
            const auto want = static_cast<std::size_t>(std::min<qint64>(n - done, static_cast<qint64>(window.size())));
            ok = ::pread(in, window.data(), want, at + done) == static_cast<ssize_t>(want)
                && writeAll(out, window.data(), want);
            done += static_cast<qint64>(want);
        }
        ok = ok && ::fsync(out) == 0;
        ::close(in);
        ok = ::close(out) == 0 && ok && ::rename(temporary.constData(), target.constData()) == 0;
        const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ok = ok && ::fsync(dir) == 0;
        ::close(dir);
        if (!ok)
            state.SkipWithError("export floor failed");
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

// Each operation right after its floor, size by size, so that both see the same machine
// (the disk is shared and its speed drifts).
int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const auto add = [](const char* name, void (*run)(benchmark::State&), int mib) {
        benchmark::RegisterBenchmark(name, run)->Arg(mib)->Unit(benchmark::kMillisecond);
    };
    for (int mib : {1, 64, 256})
        add("BM_Floor", BM_Floor, mib);
    for (int mib : {1, 64, 256, 2048}) {
        add("BM_FsyncedCopy", BM_FsyncedCopy, mib);
        add("BM_Import", BM_Import, mib);
    }
    for (int mib : {1, 64, 256}) {
        add("BM_ReadFloor", BM_ReadFloor, mib);
        add("BM_ReadFileBytes", BM_ReadFileBytes, mib);
    }
    for (int mib : {1, 64, 256, 2048}) {
        add("BM_ExportFloor", BM_ExportFloor, mib);
        add("BM_Export", BM_Export, mib);
    }
    for (int mib : {64, 256}) {
        add("BM_CopyFloor", BM_CopyFloor, mib);
        add("BM_MoveAcrossFileSystems", BM_MoveAcrossFileSystems, mib);
        add("BM_EraseVaultFile", BM_EraseVaultFile, mib);
    }
    for (int entries : {1, 100, 1000})
        add("BM_Open", BM_Open, entries);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
