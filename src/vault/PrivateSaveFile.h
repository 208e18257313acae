#pragma once

#include <QString>

#include <cstddef>

namespace dorvex::vault {

// Writes a whole file that only its owner may read: a new file beside the destination, mode 0600
// before its first byte whatever the umask, every write checked, synced to the device, then
// renamed over the destination. On any failure the new file is removed and an existing
// destination is left exactly as it was. Only a regular file (or nothing) is replaced.
class PrivateSaveFile {
public:
    // The steps that touch the file system, in the order they happen.
    enum class Step { Create, Write, Sync, Rename };

    [[nodiscard]] static bool write(const QString& destinationPath, const unsigned char* data, std::size_t length);

    // Test seam, asked before every step: false makes that step fail as the system call would.
    static bool (*stepHook)(Step step);
};

}  // namespace dorvex::vault
