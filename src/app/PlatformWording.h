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
