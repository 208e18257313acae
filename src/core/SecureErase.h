#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>

namespace dorvex::core {

// A file as it was when it was read: the same file (device and inode) with the same size and
// modification time (to the nanosecond). An import records it from the descriptor it read, so
// that the erase afterwards touches only what went into the vault.
struct FileIdentity {
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = -1;
    qint64 modifiedSeconds = 0;
    qint64 modifiedNanoseconds = 0;

    // Of an open descriptor; unknown (size -1) when it cannot be looked at.
    [[nodiscard]] static FileIdentity ofDescriptor(int fd);
    [[nodiscard]] bool isKnown() const { return size >= 0; }
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// Overwrites a file (0x00, 0xFF, random) in 64 KiB chunks, each pass written through to the
// storage device before the next one and before the file is deleted.
//
// A path that is a symbolic link: the file it names is erased, then the link is removed.
class SecureErase {
public:
    static constexpr qint64 kChunkBytes = 65536;

    enum class Outcome {
        Erased,
        Failed,   // the file is still there, possibly partly overwritten
        Changed,  // not the file that was imported, or changed since: left as it is
    };

    // Told after each chunk is written: bytes overwritten so far over all passes, and three
    // times the file's size. Cannot stop the erase.
    using Progress = std::function<void(qint64 done, qint64 total)>;

    // The steps of an erase that touch the file system, in the order they happen.
    enum class Step { Open, Write, Sync, Unlink };

    [[nodiscard]] static bool canErase(const QString& path);
    [[nodiscard]] static bool eraseFile(const QString& path);
    // Erases path only while it is still the file `imported` describes.
    [[nodiscard]] static Outcome eraseImportedFile(const QString& path, const FileIdentity& imported,
                                                   const Progress& progress = {});

    // Test seam, asked before every step: false makes that step fail as the system call would.
    static bool (*stepHook)(Step step);
};

}  // namespace dorvex::core
