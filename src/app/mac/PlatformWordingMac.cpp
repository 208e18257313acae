#include "app/PlatformWording.h"

#include <QCoreApplication>

#include <iterator>

namespace dorvex::app::detail {

// On macOS the local integrity root lives in the Keychain.
const WordingEntry kPlatformWordings[] = {
    {Wording::LoginIntegrityKeyUnavailable,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Murravo could not obtain the secure key that protects your account file on this device -- "
                       "most likely Keychain access was reset or lost, or this data was moved from a different Mac. "
                       "This is not a wrong password. If you saved a recovery code for this account, use it below to "
                       "restore access; otherwise you'll need to start with a fresh vault.")},
    {Wording::HelpLocalKeyProtected,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Murravo is using this Mac's Keychain: your local account files are protected by a key stored "
                       "there, accessible only while this device is unlocked, and never synced via iCloud Keychain or "
                       "migrated to new hardware.")},
    {Wording::ConfigureLocalSecurityProtected,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Keychain-protected: local configuration files are checked against this device's Keychain for "
                       "tampering; the vault settings file is also encrypted under it. Most of these files remain "
                       "readable as plain text to anyone with direct access to this device's disk -- the Keychain "
                       "detects changes to them, it does not hide their content. If you export a recovery code, that "
                       "code -- not this device -- becomes the real key: anyone who has it can read a copy of these "
                       "files on any device.")},
    {Wording::ConfigureFileProtectionSubtext,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "\"Hidden\" only stops casual discovery -- trivially undone via \"Show hidden files\" in "
                       "Finder. \"Restrict delete\" isn't available on macOS: the only way to deliver it without "
                       "risking Murravo locking itself out of its own data folder would need a privileged helper "
                       "tool.")},
    {Wording::ConfigureRestrictDeleteTooltip,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Not available on macOS: the only way to deliver this without risking Murravo locking itself "
                       "out of its own data folder would need a privileged helper tool.")},
    {Wording::RecoveryCodeUnavailable,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Could not obtain a recovery code right now. Try again, or check that this device's Keychain "
                       "is unlocked and available.")},
    {Wording::FirstRunMachineBoundWarning,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Your vault will only ever open on this computer. Reinstalling Windows, moving to a new "
                       "machine, or major hardware changes will make it permanently unrecoverable -- there is no "
                       "export or transfer option.")},
    {Wording::FirstRunSecureKeyUnavailable,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Could not create the account: Murravo could not obtain a usable hardware security key on "
                       "this device. If you saw a Windows security prompt, try again and approve it; if this keeps "
                       "happening, please contact support.")},
    {Wording::AboutDescription,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Murravo protects confidential documents in an encrypted vault, with an optional storage mode "
                       "that keeps the vault in unallocated disk space instead of an ordinary file.")},
    {Wording::HelpConfigure,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "File > Configure covers everything else: enabling two-factor authentication, changing your "
                       "password, auto-lock timing, where the vault file lives and whether it's hidden or "
                       "delete-restricted, a size limit, and (Windows only, Advanced) storing the vault in "
                       "unallocated disk space instead of an ordinary file.")},
    {Wording::HelpMachineBound,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Your vault's encryption key is bound to this specific machine. Reinstalling Windows, "
                       "replacing the drive, or moving the vault file to a different computer will make it "
                       "permanently unrecoverable. This is a deliberate security choice, not a bug -- if you need to "
                       "move to new hardware, do it BEFORE anything happens to the old machine, by signing in on the "
                       "old machine and exporting what you need first.")},
    {Wording::HelpStorePromptsHeading, QT_TRANSLATE_NOOP("PlatformWording", "Windows security prompts")},
    {Wording::HelpStorePrompts,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "If this PC has a usable TPM (see the Local Security tab), Murravo asks Windows to show a "
                       "security PIN prompt the first time each run actually needs it -- at most once per launch, not "
                       "once per file. If you cancel that prompt, Murravo will NOT silently fall back to weaker "
                       "protection: the action you were doing will simply fail, and you can try again. Only approve "
                       "the prompt if you recognize it as Murravo asking; if anything about it looks wrong, decline "
                       "it and contact support before retrying.")},
    {Wording::HelpTwoFactorBackupCode,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "If you enable two-factor authentication, Murravo shows you a manual backup code during setup. "
                       "Write it down and store it somewhere safe and separate from this PC. Losing both your "
                       "authenticator device and that backup code permanently locks you out, the same as losing "
                       "your master password.")},
    {Wording::HelpUpgradeFromOldVersion,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Version 2.0.13 changed how Murravo protects its local account files on Windows. Accounts "
                       "created by an older version cannot be read by this version -- if you see a message at "
                       "sign-in saying your account file is from an unsupported older version, that's expected, not "
                       "a sign of tampering. You'll need to start with a fresh vault; contact support first if you "
                       "need the contents of the old one.")},
    {Wording::StorageConfigKeyUnavailable,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Murravo could not obtain the secure key that protects its storage configuration on this "
                       "device -- most likely its Keychain/Secret Service access was reset or lost, or this data was "
                       "moved from a different machine. There is no way to recover from this; you'll need to start "
                       "with a fresh vault.")},
    {Wording::KeyringWaitTitle, QT_TRANSLATE_NOOP("PlatformWording", "Murravo - Waiting for the Keychain")},
    {Wording::KeyringWaitText,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Murravo is waiting for the Keychain. macOS is asking for the Keychain password in its own "
                       "window; Murravo goes on as soon as you answer it. If you cancel it, Murravo closes without "
                       "changing anything.")},
    {Wording::KeyringLockedTitle, QT_TRANSLATE_NOOP("PlatformWording", "Murravo - Keychain Locked")},
    {Wording::KeyringLockedText,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "Murravo keeps the keys to its files in your login Keychain, and the Keychain is still locked. "
                       "Your vault and its records are intact; nothing was changed.\n\nUnlock the login Keychain, "
                       "then start Murravo again.")},
    {Wording::KeyringPromptCancelledText,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "The Keychain prompt was cancelled (or could not be shown), so Murravo cannot reach the keys to "
                       "its files in your login Keychain. Your vault and its records are intact; nothing was "
                       "changed.\n\nStart Murravo again and unlock the login Keychain when macOS asks.")},
    {Wording::KeyringNotAnsweringTitle, QT_TRANSLATE_NOOP("PlatformWording", "Murravo - Keychain Not Answering")},
    {Wording::KeyringNotAnsweringText,
     QT_TRANSLATE_NOOP("PlatformWording",
                       "The Keychain did not answer, so Murravo cannot reach the keys to its files. Your vault and its "
                       "records are intact; nothing was changed.\n\nStart Murravo again.")},
};

const std::size_t kPlatformWordingCount = std::size(kPlatformWordings);

}  // namespace dorvex::app::detail
