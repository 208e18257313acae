#include "app/PlatformWording.h"

#include <QCoreApplication>

#include <iterator>

namespace dorvex::app::detail {

// On Linux the local integrity root lives in the Secret Service keyring.
const WordingEntry kPlatformWordings[] = {
    {Wording::LoginIntegrityKeyUnavailable,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Murravo could not obtain the secure key that protects your account file on this device -- "
                       "most likely Secret Service keyring access was reset or lost, or this data was moved from a "
                       "different computer. This is not a wrong password. If you saved a recovery code for this "
                       "account, use it below to restore access; otherwise you'll need to start with a fresh "
                       "vault.")},
    {Wording::HelpLocalKeyProtected,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Murravo is using this computer's Secret Service keyring: your local account files are "
                       "protected by a key stored there, accessible only while your keyring is unlocked, and never "
                       "synced to other devices or migrated to new hardware.")},
    {Wording::ConfigureLocalSecurityProtected,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Keyring-protected: local configuration files are checked against this device's Secret "
                       "Service keyring for tampering; the vault settings file is also encrypted under it. Most of "
                       "these files remain readable as plain text to anyone with direct access to this device's "
                       "disk -- the keyring detects changes to them, it does not hide their content. If you export "
                       "a recovery code, that code -- not this device -- becomes the real key: anyone who has it "
                       "can read a copy of these files on any device.")},
    {Wording::ConfigureFileProtectionSubtext,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "\"Hidden\" only stops casual discovery -- trivially undone via \"Show hidden files\" in the "
                       "file manager. \"Restrict delete\" isn't available on Linux: the only way to deliver it "
                       "without risking Murravo locking itself out of its own data folder would need a privileged "
                       "helper tool.")},
    {Wording::ConfigureRestrictDeleteTooltip,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Not available on Linux: the only way to deliver this without risking Murravo locking itself "
                       "out of its own data folder would need a privileged helper tool.")},
    {Wording::RecoveryCodeUnavailable,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Could not obtain a recovery code right now. Try again, or check that this device's Secret "
                       "Service keyring is unlocked and available.")},
    {Wording::FirstRunMachineBoundWarning,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Your vault will only ever open on this computer. Reinstalling the operating system, moving "
                       "to a new machine, or major hardware changes will make it permanently unrecoverable -- there "
                       "is no export or transfer option.")},
    {Wording::FirstRunSecureKeyUnavailable,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Could not create the account: Murravo could not obtain a usable secure key on this device. "
                       "If your desktop asked you to unlock your keyring, try again and unlock it; if this keeps "
                       "happening, please contact support.")},
    {Wording::AboutDescription,
     QT_TRANSLATE_NOOP("PlatformWording", "Murravo protects confidential documents in an encrypted vault.")},
    {Wording::HelpConfigure,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "File > Configure covers everything else: enabling two-factor authentication, changing your "
                       "password, auto-lock timing, where the vault file lives and whether it's hidden or "
                       "delete-restricted, and a size limit.")},
    {Wording::HelpMachineBound,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Your vault's encryption key is bound to this specific machine. Reinstalling the operating "
                       "system, replacing the drive, or moving the vault file to a different computer will make it "
                       "permanently unrecoverable. This is a deliberate security choice, not a bug -- if you need to "
                       "move to new hardware, do it BEFORE anything happens to the old machine, by signing in on the "
                       "old machine and exporting what you need first.")},
    {Wording::HelpStorePromptsHeading, QT_TRANSLATE_NOOP("PlatformWording", "Keyring unlock prompts")},
    {Wording::HelpStorePrompts,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "If your Secret Service keyring is locked, your desktop asks you to unlock it when Murravo "
                       "starts, and Murravo shows a window saying that it is waiting for the keyring. If you cancel "
                       "that prompt, Murravo will NOT silently fall back to weaker protection: it closes without "
                       "changing anything, and you can start it again. Only unlock the keyring if you recognize the "
                       "prompt as your desktop's own; if anything about it looks wrong, decline it and contact "
                       "support before retrying.")},
    {Wording::HelpTwoFactorBackupCode,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "If you enable two-factor authentication, Murravo shows you a manual backup code during setup. "
                       "Write it down and store it somewhere safe and separate from this computer. Losing both your "
                       "authenticator device and that backup code permanently locks you out, the same as losing "
                       "your master password.")},
    {Wording::HelpUpgradeFromOldVersion,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Version 2.0.13 changed how Murravo protects its local account files. Accounts created by an "
                       "older version cannot be read by this version -- if you see a message at sign-in saying your "
                       "account file is from an unsupported older version, that's expected, not a sign of "
                       "tampering. You'll need to start with a fresh vault; contact support first if you need the "
                       "contents of the old one.")},
    {Wording::StorageConfigKeyUnavailable,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Murravo could not obtain the secure key that protects its storage configuration on this "
                       "device -- most likely its Secret Service keyring access was reset or lost, or this data was "
                       "moved from a different machine. There is no way to recover from this; you'll need to start "
                       "with a fresh vault.")},
    {Wording::KeyringWaitTitle, QT_TRANSLATE_NOOP("PlatformWording", "Murravo - Waiting for the Keyring")},
    {Wording::KeyringWaitText,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Murravo is waiting for the keyring. Your system is asking for the keyring password in its own "
                       "window; Murravo goes on as soon as you answer it. If you cancel it, Murravo closes without "
                       "changing anything.")},
    {Wording::KeyringLockedTitle, QT_TRANSLATE_NOOP("PlatformWording", "Murravo - Keyring Locked")},
    {Wording::KeyringLockedText,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Murravo keeps the keys to its files in your login keyring, and the keyring is still locked. "
                       "Your vault and its records are intact; nothing was changed.\n\nUnlock the login keyring, then "
                       "start Murravo again.")},
    {Wording::KeyringPromptCancelledText,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "The keyring prompt was cancelled (or could not be shown), so Murravo cannot reach the keys to "
                       "its files in your login keyring. Your vault and its records are intact; nothing was "
                       "changed.\n\nStart Murravo again and unlock the login keyring when the system asks.")},
    {Wording::KeyringNotAnsweringTitle, QT_TRANSLATE_NOOP("PlatformWording", "Murravo - Keyring Not Answering")},
    {Wording::KeyringNotAnsweringText,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "The Secret Service keyring did not answer, so Murravo cannot reach the keys to its files. Your "
                       "vault and its records are intact; nothing was changed.\n\nCheck that the keyring is running "
                       "and unlocked, then start Murravo again.")},
};

const std::size_t kPlatformWordingCount = std::size(kPlatformWordings);

}  // namespace dorvex::app::detail
