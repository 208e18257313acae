#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>

namespace dorvex::core {

enum class FileReadStatus {
    Ok,          // a regular file, read whole
    Absent,      // nothing at the path (or a link to nothing)
    NotRegular,  // a FIFO, socket, device or folder; a link when links are refused
    Unreadable,  // there, but it could not be opened or read
};

struct FileReadResult {
    FileReadStatus status = FileReadStatus::Absent;
    QByteArray bytes;  // the whole file when status is Ok; the caller wipes it if it is secret

    [[nodiscard]] bool ok() const { return status == FileReadStatus::Ok; }
};

enum class LinkPolicy {
    Follow,  // a link to a regular file is read like the file
    Refuse,  // a link is NotRegular, whatever it points to
};

// The one way the program replaces and reads its own small files.
//
// replace: a new owner-only temporary file beside the target (exclusive create, mode 0600 set
// before the first byte), every write checked, synced to the medium, closed, renamed over the
// target, and the folder synced. On any failure the temporary file is removed and false
// returned; the previous file is then untouched, except when only the final folder sync
// failed (the new file is in place but not proven durable). A link at the target is replaced,
// never written through.
//
// read: opened without blocking (a FIFO or device never hangs the caller), refused unless it
// is a regular file, read whole.
class AtomicFile {
public:
    static constexpr unsigned kFileMode = 0600;
    static constexpr unsigned kFolderMode = 0700;

    [[nodiscard]] static bool replace(const QString& path, QByteArrayView bytes);
    [[nodiscard]] static FileReadResult read(const QString& path, LinkPolicy links = LinkPolicy::Follow);

    // Removes the name (never what a link points to); true when nothing is left at the path. The
    // removal is durable only once the folder is synced (syncFolderOf).
    [[nodiscard]] static bool remove(const QString& path);
    // Syncs the folder that holds path, so that its entries (a rename, a removal) survive a crash.
    [[nodiscard]] static bool syncFolderOf(const QString& path);

    // Creates folder with its missing parents, each new one owner-only; true when it is a folder.
    [[nodiscard]] static bool makeFolder(const QString& folder);

    // Test seam: the steps of replace and read, in order. A hook sees each step before it runs
    // (fd is the descriptor it acts on, -1 for Create, Rename and Open) and fails it by
    // returning false, as the system would (ENOSPC for writes, EIO otherwise).
    enum class Step { Create, Write, Sync, Close, Rename, SyncFolder, Open, Read, Remove };
    using StepHook = std::function<bool(Step step, const QString& path, int fd)>;
    static void setStepHook(StepHook hook);  // an empty hook removes it
    // The program's other durable writers (the vault file) pass their steps through the same
    // hook, so one seam fails or stops every write; false (errno set) when the hook fails it.
    [[nodiscard]] static bool stepAllowed(Step step, const QString& path, int fd);
};

}  // namespace dorvex::core
