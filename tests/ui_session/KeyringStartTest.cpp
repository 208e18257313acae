// Start-up on a locked keyring, with the keychain in memory standing in for the Secret Service:
// the unlock goes through the system's prompt, a window says that Murravo waits for it, and
// whatever the answer, the data folder is read only once the keyring is open.
#include "SessionFixture.h"
#include "StartWatcher.h"

using namespace session_test;
using dorvex::core::SecretStatus;

namespace {

struct Case {
    const char* name;
    bool firstRun;         // no account yet: the keyring the first root will go to must open
    SecretStatus answer;   // the user's answer in the system's prompt
    int exitCode;
    bool signInShown;
    const char* title;     // of the message, when there is one
    const char* textStart;
};

}  // namespace

TEST_F(SessionTest, LockedKeyringAtStartGoesThroughThePrompt)
{
    const Case cases[] = {
        {"unlocked in the prompt", false, SecretStatus::Success, 0, true, "", ""},
        {"prompt cancelled", false, SecretStatus::Dismissed, 0, false, "Murravo - Keyring Locked",
         "The keyring prompt was cancelled (or could not be shown), so Murravo cannot reach the keys to its files "
         "in your login keyring. Your vault and its records are intact; nothing was changed.\n\nStart Murravo "
         "again and unlock the login keyring when the system asks."},
        {"stays locked", false, SecretStatus::Locked, 1, false, "Murravo - Keyring Locked",
         "Murravo keeps the keys to its files in your login keyring, and the keyring is still locked. Your vault "
         "and its records are intact; nothing was changed.\n\nUnlock the login keyring, then start Murravo again."},
        {"first run, unlocked in the prompt", true, SecretStatus::Success, 0, true, "", ""},
        {"first run, prompt cancelled", true, SecretStatus::Dismissed, 0, false, "Murravo - Keyring Locked",
         "The keyring prompt was cancelled"},
    };
    const QString accountFolder = dataDir;
    ASSERT_FALSE(createAccountAndVault().empty());
    ASSERT_TRUE(bindStorageToThisMachine(dataDir, vaultPath(), *guard));
    const QString firstRunFolder = dorvex::test::makeScratchDir();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString folder = c.firstRun ? firstRunFolder : accountFolder;
        dorvex::core::LocalIntegrityKey::clearCache();
        keychain.locked = true;
        const auto before = snapshot(folder);

        StartWatcher watcher;
        // Answered only while the waiting window is up, as a user at the system's prompt would.
        watcher.onWaiting = [&] {
            EXPECT_TRUE(keychain.promptWaiting());
            keychain.answerPrompt(c.answer);
        };
        EXPECT_EQ(dorvex::app::runSessions(folder), c.exitCode);

        EXPECT_TRUE(watcher.waitingSeen) << "no window while the keyring's prompt waited";
        EXPECT_FALSE(keychain.promptWaiting());
        EXPECT_EQ(watcher.signInShown, c.signInShown);
        EXPECT_FALSE(watcher.waitingUpAtSignIn) << "the waiting window outlived the prompt";
        EXPECT_EQ(watcher.messageTitle.toStdString(), c.title);
        EXPECT_EQ(watcher.messageText.left(QString::fromUtf8(c.textStart).size()).toStdString(), c.textStart);
        if (!c.signInShown) {
            EXPECT_TRUE(snapshot(folder) == before) << "a start on a locked keyring changed the data folder";
        }
        keychain.locked = false;
    }
}

// An unlocked keyring asks nothing: no prompt, no waiting window, straight to the sign-in.
TEST_F(SessionTest, UnlockedKeyringStartsWithoutWaiting)
{
    ASSERT_FALSE(createAccountAndVault().empty());
    ASSERT_TRUE(bindStorageToThisMachine(dataDir, vaultPath(), *guard));
    dorvex::core::LocalIntegrityKey::clearCache();
    StartWatcher watcher;
    EXPECT_EQ(dorvex::app::runSessions(dataDir), 0);
    EXPECT_TRUE(watcher.signInShown);
    EXPECT_FALSE(watcher.waitingSeen);
    EXPECT_TRUE(watcher.messageTitle.isEmpty()) << watcher.messageTitle.toStdString();
}
