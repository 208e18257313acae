// The secret store on a keyring daemon of this test's own, which the tests lock, leave without
// a default collection and prompt through a stand-in for the system prompter.
#include "KeyringControl.h"
#include "TestSupport.h"

#include "core/LocalIntegrityKey.h"
#include "core/SecretStore.h"

#include <QUuid>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

using dorvex::core::LocalIntegrityKey;
using dorvex::core::SecretStatus;
using dorvex::crypto::SecureBuffer;
namespace keyring = dorvex::test::keyring;

namespace dorvex::core {
// Statuses by name in failure messages.
void PrintTo(SecretStatus status, std::ostream* out) {
    static const char* const names[] = {"Success", "ItemNotFound", "DuplicateItem", "Locked",
                                        "Dismissed", "Failed",  "Unavailable"};
    *out << names[static_cast<int>(status)];
}
}  // namespace dorvex::core

namespace {

const auto* const g_keyring = ::testing::AddGlobalTestEnvironment(new keyring::PrivateKeyring);

// One item of the service in a scratch collection that stands in for the default one.
class LockedKeyringTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!keyring::PrivateKeyring::running()) GTEST_SKIP() << "no keyring daemon of this test's own";
        collection.emplace();
        ASSERT_TRUE(collection->ok());
        for (unsigned i = 0; i < secret.size(); ++i) secret.data()[i] = static_cast<unsigned char>(7 * i);
        ASSERT_EQ(store->add(service, account, secret), SecretStatus::Success);
    }

    // store->unlock on a thread of its own, as the start-up runs it; notes what the watcher is told.
    void startUnlock() {
        asking = std::jthread([this] {
            answer = store->unlock(service, account, [this](bool waiting) {
                told.push_back(waiting);
                promptUp = waiting;
            });
            returned = true;
        });
    }

    std::optional<keyring::ScratchCollection> collection;  // made only on the test's own daemon
    std::unique_ptr<dorvex::core::SecretStore> store = dorvex::core::makePlatformSecretStore();
    const QString service = LocalIntegrityKey::kService;
    const QString account = QStringLiteral("test:") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    SecureBuffer secret{32};
    std::jthread asking;  // joined after the test's prompter is gone, so never left waiting
    SecretStatus answer = SecretStatus::Failed;
    std::vector<bool> told;
    std::atomic<bool> promptUp = false;
    std::atomic<bool> returned = false;
};

}  // namespace

// A locked keyring says so to every lookup and change, without asking the user anything; the
// listing still works, and the data is all there once the keyring is unlocked.
TEST_F(LockedKeyringTest, LookupsAnswerLockedAndUnlockGoesThroughThePrompt) {
    ASSERT_TRUE(collection->lock());
    SecureBuffer read;
    EXPECT_EQ(store->fetch(service, account, read), SecretStatus::Locked);
    EXPECT_EQ(store->update(service, account, secret), SecretStatus::Locked);
    EXPECT_EQ(store->add(service, account + QStringLiteral(":other"), secret), SecretStatus::Locked);
    QStringList accounts;
    EXPECT_EQ(store->listAccounts(service, accounts), SecretStatus::Success);
    EXPECT_TRUE(accounts.contains(account));

    {
        keyring::FakePrompter prompter;
        ASSERT_TRUE(prompter.ok());
        startUnlock();
        ASSERT_TRUE(prompter.waitUntilAsked());
        prompter.dismiss();  // as the user's cancel
        asking.join();
    }
    EXPECT_EQ(answer, SecretStatus::Dismissed);
    EXPECT_EQ(told, (std::vector<bool>{true, false}));
    EXPECT_TRUE(collection->locked());

    ASSERT_TRUE(collection->unlock());
    told.clear();
    startUnlock();
    asking.join();
    EXPECT_EQ(answer, SecretStatus::Success);
    EXPECT_TRUE(told.empty()) << "an unlocked keyring needs no prompt";
    ASSERT_EQ(store->fetch(service, account, read), SecretStatus::Success);
    EXPECT_TRUE(read.equals(secret));
    EXPECT_EQ(store->unlock(service, account + QStringLiteral(":none"), {}), SecretStatus::ItemNotFound);
    (void)store->remove(service, account);
}

// The time bound is for a service that does not answer: a prompt waits for the user for as
// long as the user takes, here several times the bound. No time is measured: the wait only
// makes sure that the bound has passed while the prompt was up.
TEST_F(LockedKeyringTest, APromptWaitsForTheUserBeyondTheCallLimit) {
    ASSERT_TRUE(collection->lock());
    struct ShortLimit {
        const std::chrono::milliseconds saved = dorvex::core::secretStoreCallLimit;
        ShortLimit() { dorvex::core::secretStoreCallLimit = std::chrono::milliseconds(500); }
        ~ShortLimit() { dorvex::core::secretStoreCallLimit = saved; }
    } shortLimit;
    keyring::FakePrompter prompter;
    ASSERT_TRUE(prompter.ok());
    startUnlock();
    ASSERT_TRUE(prompter.waitUntilAsked());
    while (!promptUp && !returned) std::this_thread::yield();
    std::this_thread::sleep_for(4 * dorvex::core::secretStoreCallLimit);
    EXPECT_FALSE(returned) << "the wait for the user was cut short by the call limit";
    prompter.dismiss();
    asking.join();
    EXPECT_EQ(answer, SecretStatus::Dismissed);
    ASSERT_TRUE(collection->unlock());
    (void)store->remove(service, account);
}

// Without any default collection the first item has nowhere to go: unlock with no account
// asks the service to make one, which prompts for its password.
TEST(UnlockTest, WithoutAccountAsksForAMissingDefaultCollection) {
    if (!keyring::PrivateKeyring::running()) GTEST_SKIP() << "no keyring daemon of this test's own";
    auto store = dorvex::core::makePlatformSecretStore();
    EXPECT_EQ(store->unlock(LocalIntegrityKey::kService, QString(), {}), SecretStatus::Success);
    std::vector<bool> told;
    SecretStatus answer = SecretStatus::Failed;
    std::jthread asking;
    keyring::ScratchCollection gone;
    ASSERT_TRUE(gone.ok() && gone.remove());
    const std::vector<std::string> before = keyring::collections();
    keyring::FakePrompter prompter;
    ASSERT_TRUE(prompter.ok());
    SecureBuffer secret(32);
    EXPECT_NE(store->add(LocalIntegrityKey::kService, QStringLiteral("test:nowhere"), secret), SecretStatus::Success);
    asking = std::jthread([&] {
        answer = store->unlock(LocalIntegrityKey::kService, QString(), [&](bool waiting) { told.push_back(waiting); });
    });
    ASSERT_TRUE(prompter.waitUntilAsked());
    prompter.dismiss();
    asking.join();
    EXPECT_EQ(answer, SecretStatus::Dismissed);
    EXPECT_EQ(told, (std::vector<bool>{true, false}));
    EXPECT_EQ(keyring::collections(), before) << "a cancelled prompt made a collection all the same";
}
