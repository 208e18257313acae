#include "AccountFixture.h"

namespace dorvex::test {

MemorySecretStore& accountKeychain()
{
    static MemorySecretStore store;
    return store;
}

namespace {

class KeychainEnvironment : public ::testing::Environment {
public:
    void SetUp() override { core::LocalIntegrityKey::setSecretStore(&accountKeychain()); }
    void TearDown() override { core::LocalIntegrityKey::setSecretStore(nullptr); }
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new KeychainEnvironment);

}  // namespace

}  // namespace dorvex::test
