#pragma once

#include <QString>

#include <cstddef>

// User-visible texts that name operating-system facilities (the credential store, the file
// manager, the system's name). Each platform keeps its own table of these texts in one file
// (linux/PlatformWordingLinux.cpp, mac/PlatformWordingMac.cpp); everything else is shared.
namespace dorvex::app {

enum class Wording {
    // Login error for LoginFailureReason::IntegrityKeyUnavailable.
    LoginIntegrityKeyUnavailable,
    // Help dialog, Local Security tab, when the identity file's key is store-protected.
    HelpLocalKeyProtected,
    // Configure dialog, local-security status when store-protected.
    ConfigureLocalSecurityProtected,
    // Configure dialog, subtext above the file-protection check boxes.
    ConfigureFileProtectionSubtext,
    // Configure dialog, tooltip of the always-disabled "Restrict Delete" check box.
    ConfigureRestrictDeleteTooltip,
    // Configure dialog, warning when no recovery code could be exported.
    RecoveryCodeUnavailable,
    // First-run wizard, the warning that the vault opens only on this machine.
    FirstRunMachineBoundWarning,
    // First-run wizard, error when the new account's secure key could not be obtained.
    FirstRunSecureKeyUnavailable,
    // About dialog, what the program does.
    AboutDescription,
    // Help dialog, Manual tab, the paragraph of "Configure".
    HelpConfigure,
    // Help dialog, Warnings tab, the paragraph of "Your vault is locked to this machine".
    HelpMachineBound,
    // Help dialog, Warnings tab, heading and paragraph on the prompts of the credential store.
    HelpStorePromptsHeading,
    HelpStorePrompts,
    // Help dialog, Warnings tab, the paragraph of "Two-factor authentication backup code".
    HelpTwoFactorBackupCode,
    // Help dialog, Warnings tab, the paragraph of "Upgrading from a version before 2.0.13".
    HelpUpgradeFromOldVersion,
    // Start-up error when the key that protects the storage configuration is lost.
    StorageConfigKeyUnavailable,
    // Start-up: the window shown while the system's prompt for the credential store waits.
    KeyringWaitTitle,
    KeyringWaitText,
    // Start-up: the credential store holding the local keys stays locked, or its prompt was
    // cancelled, or it did not answer; nothing was changed.
    KeyringLockedTitle,
    KeyringLockedText,
    KeyringPromptCancelledText,
    KeyringNotAnsweringTitle,
    KeyringNotAnsweringText,
};

// The translated text for this platform.
[[nodiscard]] QString platformWording(Wording wording);

namespace detail {
struct WordingEntry {
    Wording wording;
    const char* text;  // untranslated, context "PlatformWording"
};
// Defined once per platform.
extern const WordingEntry kPlatformWordings[];
extern const std::size_t kPlatformWordingCount;
}  // namespace detail

}  // namespace dorvex::app
