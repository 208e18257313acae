// A password change on a vault of 1,000 entries beside a bare re-key of the same vault, and the
// Argon2id work a password change cannot avoid (one verification of the current password, the
// verifier and the derived key of the new one), all at the real cost.
#include "app/KeyChanges.h"
#include "core/AuthManager.h"
#include "core/TwoFactorManager.h"
#include "crypto/AeadCipher.h"
#include "crypto/PasswordHasher.h"
#include "vault/FileBlockStore.h"
#include "vault/GenerationBinding.h"
#include "vault/StorageConfig.h"
#include "vault/VaultContainer.h"
#include "vault/VaultRollbackGuard.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <sodium.h>

#include <cstdlib>
#include <memory>
#include <string>

using dorvex::crypto::SecureBuffer;
using dorvex::vault::VaultContainer;

namespace {

constexpr int kEntries = 1000;
const std::string kPasswords[2] = {"Correct-Horse-42!", "Battery-Staple-77?"};
const QString kMachine = QStringLiteral("bench-machine");

// A data folder with an account and its vault of kEntries small files, open as in a session.
struct Session {
    QTemporaryDir dir{QStringLiteral("/var/tmp/murravo-bench-XXXXXX")};
    dorvex::core::AuthManager auth{dir.filePath(QStringLiteral("identity.dat"))};
    dorvex::core::TwoFactorManager twoFactor{dir.filePath(QStringLiteral("twofactor.dat"))};
    dorvex::vault::VaultRollbackGuard guard{dir.filePath(QStringLiteral("vault_generation.dat"))};
    dorvex::vault::StorageConfig storage{dir.filePath(QStringLiteral("storage.dat")), kMachine, 0};
    std::unique_ptr<VaultContainer> container;
    int password = 0;  // which of kPasswords is current

    Session()
    {
        std::optional<SecureBuffer> key = auth.createIdentity(QStringLiteral("alice"), kPasswords[0]);
        if (!key)
            std::abort();
        container = VaultContainer::create(
            std::make_unique<dorvex::vault::FileBlockStore>(dir.filePath(QStringLiteral("vault.drvx"))), *key,
            kMachine);
        if (!container || !auth.bindVaultKeyToVaultIdentity(*key, container->vaultId()))
            std::abort();
        const QString source = dir.filePath(QStringLiteral("source"));
        QFile file(source);
        if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(1024, 'x')) != 1024)
            std::abort();
        file.close();
        for (int i = 0; i < kEntries; ++i)
            if (!container->importFile(source, QStringLiteral("entry-%1.txt").arg(i)))
                std::abort();
        if (dorvex::vault::advanceRollbackRecord(storage, guard, kMachine, container->vaultId(),
                                                 container->generationCounter(), true)
            != dorvex::vault::RollbackCheckResult::Ok)
            std::abort();
    }
};

Session& session()
{
    static Session s;
    return s;
}

void BM_PasswordChange(benchmark::State& state)
{
    Session& s = session();
    const dorvex::app::KeyChangeServices services{s.auth, s.twoFactor, s.storage, s.guard, kMachine};
    for (auto _ : state) {
        const std::string& from = kPasswords[s.password];
        const std::string& to = kPasswords[1 - s.password];
        const dorvex::app::KeyChangeResult result =
            dorvex::app::changePassword(services, s.container.get(), from, to, to, false);
        if (!result.success || !result.newVaultKey)
            state.SkipWithError("the password change failed");
        s.password = 1 - s.password;
    }
}

void BM_BareRekey(benchmark::State& state)
{
    Session& s = session();
    for (auto _ : state) {
        const SecureBuffer key = dorvex::crypto::AeadCipher::generateKey();
        if (s.container->rekey(key) != VaultContainer::RekeyDone)
            state.SkipWithError("the re-key failed");
    }
}

// Verification of the current password, then the verifier and the derived key of the new one.
void BM_PasswordChangeArgon2id(benchmark::State& state)
{
    if (sodium_init() < 0)
        std::abort();
    const std::string& password = kPasswords[0];
    char verifier[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(verifier, password.data(), password.size(), dorvex::crypto::PasswordHasher::kOpsLimit,
                          dorvex::crypto::PasswordHasher::kMemLimit) != 0)
        std::abort();
    unsigned char salt[crypto_pwhash_SALTBYTES];
    randombytes_buf(salt, sizeof salt);
    unsigned char out[32];
    char fresh[crypto_pwhash_STRBYTES];
    for (auto _ : state) {
        benchmark::DoNotOptimize(crypto_pwhash_str_verify(verifier, password.data(), password.size()));
        benchmark::DoNotOptimize(crypto_pwhash_str(fresh, password.data(), password.size(),
                                                   dorvex::crypto::PasswordHasher::kOpsLimit,
                                                   dorvex::crypto::PasswordHasher::kMemLimit));
        benchmark::DoNotOptimize(crypto_pwhash(out, sizeof out, password.data(), password.size(), salt,
                                               dorvex::crypto::PasswordHasher::kOpsLimit,
                                               dorvex::crypto::PasswordHasher::kMemLimit,
                                               crypto_pwhash_ALG_ARGON2ID13));
    }
    sodium_memzero(out, sizeof out);
}

}  // namespace

BENCHMARK(BM_PasswordChange)->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_BareRekey)->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_PasswordChangeArgon2id)->Unit(benchmark::kMillisecond)->Iterations(6);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
