// Start-up on a real keyring daemon of the test's own: a locked collection, and a keyring
// without any default collection yet. The daemon's prompt goes to a stand-in for the system
// prompter, and the test takes it away as a user would cancel the prompt.
#include "HangGuard.h"
#include "SessionFixture.h"
#include "StartWatcher.h"
#include "core/KeyringControl.h"

using namespace session_test;
namespace keyring = dorvex::test::keyring;
using dorvex::core::LocalIntegrityKey;

namespace {

const auto* const g_keyring = ::testing::AddGlobalTestEnvironment(new keyring::PrivateKeyring);

// The session fixture on the real keyring instead of the one in memory.
class KeyringDaemonStartTest : public SessionTest {
protected:
    void SetUp() override
    {
        if (!keyring::PrivateKeyring::running())
            GTEST_SKIP() << "no keyring daemon of this test's own";
        SessionTest::SetUp();
        LocalIntegrityKey::setSecretStore(nullptr);
    }

    // A whole start whose keyring prompt the user cancels, once the waiting window is up and
    // the prompt has reached the prompter: it ends with the plain message and no sign-in.
    void startAndCancelThePrompt()
    {
        keyring::FakePrompter prompter;
        ASSERT_TRUE(prompter.ok());
        StartWatcher watcher;
        watcher.onWaiting = [&prompter] {
            EXPECT_TRUE(prompter.waitUntilAsked());
            prompter.dismiss();
        };
        EXPECT_EQ(dorvex::app::runSessions(dataDir), 0);
        EXPECT_TRUE(watcher.waitingSeen) << "no window while the keyring's prompt waited";
        EXPECT_FALSE(watcher.signInShown);
        EXPECT_EQ(watcher.messageTitle.toStdString(), "Murravo - Keyring Locked");
        EXPECT_TRUE(watcher.messageText.startsWith(QStringLiteral("The keyring prompt was cancelled")))
            << watcher.messageText.toStdString();
    }
};

}  // namespace

// The data is intact, so a locked keyring is no corruption: Murravo asks the daemon to unlock
// it, waits in view while the prompt is up, and after the cancel says what to do.
TEST_F(KeyringDaemonStartTest, LockedCollectionIsUnlockedThroughThePromptNeverCalledLost)
{
    dorvex::test::HangGuard hang;
    keyring::ScratchCollection collection;
    ASSERT_TRUE(collection.ok());
    ASSERT_FALSE(createAccountAndVault().empty());
    ASSERT_TRUE(bindStorageToThisMachine(dataDir, vaultPath(), *guard));
    LocalIntegrityKey::clearCache();
    ASSERT_TRUE(collection.lock());
    const auto before = snapshot(dataDir);

    startAndCancelThePrompt();
    EXPECT_TRUE(snapshot(dataDir) == before) << "a start on a locked keyring changed the data folder";
    EXPECT_TRUE(collection.locked());

    // Once the user has unlocked it, the same data folder starts as usual.
    ASSERT_TRUE(collection.unlock());
    StartWatcher again;
    EXPECT_EQ(dorvex::app::runSessions(dataDir), 0);
    EXPECT_TRUE(again.signInShown);
    EXPECT_FALSE(again.waitingSeen);
    EXPECT_TRUE(again.messageTitle.isEmpty()) << again.messageTitle.toStdString();
}

// No keyring at all yet: the first run has the daemon ask for a new one before anything is
// written; a cancel leaves the data folder empty and the keyring without a new collection.
TEST_F(KeyringDaemonStartTest, FirstRunWithoutAnyKeyringAsksForOneFirst)
{
    dorvex::test::HangGuard hang;
    keyring::ScratchCollection gone;
    ASSERT_TRUE(gone.ok() && gone.remove());
    const std::vector<std::string> before = keyring::collections();
    startAndCancelThePrompt();
    EXPECT_TRUE(snapshot(dataDir).isEmpty());
    EXPECT_EQ(keyring::collections(), before) << "a cancelled prompt made a collection all the same";
}
