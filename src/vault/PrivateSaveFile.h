#pragma once

#include "vault/WindowPipeline.h"

#include <QByteArray>
#include <QString>

#include <cstddef>

namespace dorvex::vault {

// Writes a file that only its owner may read: a new file beside the destination, mode 0600
// before its first byte whatever the umask, every write checked, synced to the device, then
// renamed over the destination. On any failure, and when it is discarded or destroyed before
// its commit, the new file is overwritten and removed, and an existing destination is left
// exactly as it was. Only a regular file (or nothing) is replaced.
class PrivateSaveFile {
public:
    // The steps that touch the file system, in the order they happen.
    enum class Step { Create, Write, Sync, Rename };

    explicit PrivateSaveFile(const QString& destinationPath);
    ~PrivateSaveFile();
    PrivateSaveFile(const PrivateSaveFile&) = delete;
    PrivateSaveFile& operator=(const PrivateSaveFile&) = delete;

    // Creates the new file beside the destination.
    [[nodiscard]] bool open();
    [[nodiscard]] bool append(const unsigned char* data, std::size_t length);
    // Synced, closed and renamed over the destination.
    [[nodiscard]] bool commit();
    // What was written may be plaintext: it is overwritten with zeros and synced before the
    // file is removed, so that it does not outlive the export in the file's blocks.
    void discard() noexcept;

    // The whole file at once.
    [[nodiscard]] static bool write(const QString& destinationPath, const unsigned char* data, std::size_t length);

    // Test seam, asked before every step: false makes that step fail as the system call would.
    static bool (*stepHook)(Step step);

private:
    QString destination_;
    QByteArray target_;
    QByteArray temporary_;
    int fd_ = -1;
    std::size_t written_ = 0;
    WriteBackPacer pacer_;
};

}  // namespace dorvex::vault
