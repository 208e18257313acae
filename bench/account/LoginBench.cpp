// Sign-in cost against two bare Argon2id calls at the same cost one after the other (the
// verification and the derivation, as the sign-in did before it ran them at once), and one bare
// call (what a sign-in can cost at best), all in the same run. Also the one-character vault-id recovery, which
// must stay far below the hashing cost.
#include "core/AuthManager.h"
#include "core/SealedFile.h"
#include "crypto/AeadCipher.h"
#include "crypto/PasswordHasher.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <sodium.h>

#include <string>

namespace {

using dorvex::core::AuthManager;
using dorvex::crypto::PasswordHasher;

const std::string kPassword = "Correct-Horse-9";
const QString kVaultId = QStringLiteral("3f2a9c4e-1b7d-4e8f-a6c2-9d0e5b7a1c34");

struct Account {
    QTemporaryDir dir;
    AuthManager auth{dir.path() + QStringLiteral("/identity.dat")};
    Account()
    {
        auto key = auth.createIdentity(QStringLiteral("alice"), kPassword);
        if (!key || !auth.bindVaultKeyToVaultIdentity(*key, kVaultId))
            std::abort();
    }
};

Account& account()
{
    static Account a;
    return a;
}

void BM_Login(benchmark::State& state)
{
    Account& a = account();
    for (auto _ : state) {
        dorvex::core::LoginFailureReason reason{};
        auto key = a.auth.login(kPassword, true, kVaultId, nullptr, &reason);
        if (!key)
            state.SkipWithError("login failed");
        benchmark::DoNotOptimize(key);
    }
}

void BM_TwoBareArgon2id(benchmark::State& state)
{
    if (sodium_init() < 0)
        std::abort();
    char verifier[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(verifier, kPassword.data(), kPassword.size(), PasswordHasher::kOpsLimit,
                          PasswordHasher::kMemLimit) != 0)
        std::abort();
    unsigned char salt[crypto_pwhash_SALTBYTES];
    randombytes_buf(salt, sizeof salt);
    unsigned char out[32];
    for (auto _ : state) {
        benchmark::DoNotOptimize(crypto_pwhash_str_verify(verifier, kPassword.data(), kPassword.size()));
        benchmark::DoNotOptimize(crypto_pwhash(out, sizeof out, kPassword.data(), kPassword.size(), salt,
                                               PasswordHasher::kOpsLimit, PasswordHasher::kMemLimit,
                                               crypto_pwhash_ALG_ARGON2ID13));
    }
    sodium_memzero(out, sizeof out);
}

void BM_OneBareArgon2id(benchmark::State& state)
{
    if (sodium_init() < 0)
        std::abort();
    unsigned char salt[crypto_pwhash_SALTBYTES];
    randombytes_buf(salt, sizeof salt);
    unsigned char out[32];
    for (auto _ : state) {
        benchmark::DoNotOptimize(crypto_pwhash(out, sizeof out, kPassword.data(), kPassword.size(), salt,
                                               PasswordHasher::kOpsLimit, PasswordHasher::kMemLimit,
                                               crypto_pwhash_ALG_ARGON2ID13));
    }
    sodium_memzero(out, sizeof out);
}

// The recovery step of the sign-in with the worst inputs: the last character is the wrong one,
// so every one of the 36 x 16 candidates is tried, each one unwrap attempt.
void BM_OneCharacterRecovery(benchmark::State& state)
{
    const dorvex::crypto::SecureBuffer derived = dorvex::crypto::AeadCipher::generateKey();
    const dorvex::crypto::SecureBuffer passwordKey = dorvex::crypto::AeadCipher::generateKey();
    const std::vector<unsigned char> salt = PasswordHasher::generateSalt();
    const auto wrapped =
        dorvex::crypto::KeyWrap::wrap(derived, passwordKey, AuthManager::wrappedKeyAssociatedData(salt, kVaultId));
    QString presented = kVaultId;
    presented[35] = QLatin1Char('0');
    for (auto _ : state) {
        auto found = dorvex::core::recoverSingleCharCorruption(presented, [&](const QString& candidate) {
            return dorvex::crypto::KeyWrap::unwrap(derived, wrapped,
                                                   AuthManager::wrappedKeyAssociatedData(salt, candidate))
                .has_value();
        });
        if (!found || *found != kVaultId)
            state.SkipWithError("recovery failed");
        benchmark::DoNotOptimize(found);
    }
}

}  // namespace

BENCHMARK(BM_Login)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_TwoBareArgon2id)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_OneBareArgon2id)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_OneCharacterRecovery)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
