#pragma once

#include "vault/IVaultBlockStore.h"

#include <QFile>
#include <QLockFile>
#include <QString>

#include <cstdint>

namespace dorvex::vault {

// The lock file that guards a vault file: the vault path with ".lock" appended.
[[nodiscard]] QString lockPathFor(const QString& vaultPath);

// Where a new vault file is written until its first commit is durable: the vault path with
// ".creating" appended. A crash while creating leaves this, never a half-made vault file.
[[nodiscard]] QString creatingPathFor(const QString& vaultPath);

// Renames without ever replacing an existing file (a file that appeared at `to` meanwhile is
// kept). False, with errno set, when it did not happen.
[[nodiscard]] bool renameNoReplace(const QString& from, const QString& to);

// Takes the lock file of the vault at vaultPath without waiting: owner-only from its first
// byte, and never through a FIFO or device at the lock's path. The lock's error() tells why not.
[[nodiscard]] bool tryLockVault(QLockFile& lock, const QString& vaultPath);

// A vault file opened read-write, guarded by an exclusive lock file beside it.
class FileBlockStore final : public IVaultBlockStore {
public:
    enum Failure : std::int32_t {
        FailureNone = 0,
        FailureLocked = 1,        // another opener holds the lock
        FailureOpen = 2,          // the vault file could not be opened read-write
        FailureNoFolder = 3,      // the folder that should hold the vault is not there
        FailureNoPermission = 4,  // the lock file may not be created in the folder
    };

    explicit FileBlockStore(QString path);
    ~FileBlockStore() override;

    FileBlockStore(const FileBlockStore&) = delete;
    FileBlockStore& operator=(const FileBlockStore&) = delete;

    [[nodiscard]] bool exists() const override;
    [[nodiscard]] bool create() override;
    [[nodiscard]] bool open() override;
    void close() override;
    [[nodiscard]] bool isOpen() const override;
    [[nodiscard]] QString lastFailureReason() const override;
    bool rollbackFailedCreate() override;
    [[nodiscard]] qint64 size() const override;
    [[nodiscard]] bool resize(qint64 newSize) override;
    [[nodiscard]] bool readAt(qint64 offset, unsigned char* buffer, qint64 length) override;
    [[nodiscard]] bool writeAt(qint64 offset, const unsigned char* buffer, qint64 length) override;
    [[nodiscard]] bool flush() override;
    [[nodiscard]] bool publishCreated() override;
    void writeBack(qint64 offset, qint64 length, bool wait) override;

    [[nodiscard]] const QString& path() const { return path_; }
    [[nodiscard]] std::int32_t failure() const { return failure_; }

private:
    [[nodiscard]] bool lockAndOpen(const QString& filePath, bool newOnly);

    QString path_;
    QFile file_;
    std::int32_t failure_ = FailureNone;
    QLockFile lock_;
    bool directoryNeedsSync_ = false;
    QString creatingPath_;  // set while a created store still has its provisional name
};

}  // namespace dorvex::vault
