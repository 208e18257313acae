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
};

const std::size_t kPlatformWordingCount = std::size(kPlatformWordings);

}  // namespace dorvex::app::detail
