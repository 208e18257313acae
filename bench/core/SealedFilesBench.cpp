#include "core/AuthenticatedJson.h"
#include "core/EncryptedJson.h"
#include "core/SecureErase.h"
#include "core/Totp.h"

#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

using dorvex::core::AuthenticatedJson;
using dorvex::core::EncryptedJson;
using dorvex::core::SecureErase;
using dorvex::core::Totp;

namespace {

dorvex::crypto::SecureBuffer benchKey() {
    dorvex::crypto::SecureBuffer key(32);
    for (unsigned i = 0; i < 32; ++i) key.data()[i] = static_cast<unsigned char>(i);
    return key;
}

const QByteArray kPayload(512, 'j');

void BM_AuthenticatedOpen(benchmark::State& state) {
    const auto key = benchKey();
    const QByteArray sealed = AuthenticatedJson::seal(kPayload, key);
    for (auto _ : state) benchmark::DoNotOptimize(AuthenticatedJson::open(sealed, key));
}
BENCHMARK(BM_AuthenticatedOpen);

void BM_EncryptedOpen(benchmark::State& state) {
    const auto key = benchKey();
    const QByteArray sealed = EncryptedJson::seal(kPayload, key, "ad");
    for (auto _ : state) benchmark::DoNotOptimize(EncryptedJson::open(sealed, key, "ad"));
}
BENCHMARK(BM_EncryptedOpen);

void BM_TotpVerifyWindow1(benchmark::State& state) {
    const auto secret = Totp::generateSecret();
    for (auto _ : state) benchmark::DoNotOptimize(Totp::verifyTotp(secret, "000000", 1'700'000'000, 30, 6, 1));
}
BENCHMARK(BM_TotpVerifyWindow1);

// Erase throughput for a file of the given size (three passes plus removal).
void BM_SecureErase(benchmark::State& state) {
    QTemporaryDir dir;
    const QString path = dir.filePath("f");
    const QByteArray content(static_cast<qsizetype>(state.range(0)), 'x');
    for (auto _ : state) {
        state.PauseTiming();
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size()) state.SkipWithError("setup");
        f.close();
        state.ResumeTiming();
        benchmark::DoNotOptimize(SecureErase::eraseFile(path));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_SecureErase)->Arg(1 << 20)->Arg(16 << 20);

}  // namespace

BENCHMARK_MAIN();
