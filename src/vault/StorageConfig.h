#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace dorvex::vault {

enum class StorageBackend : int { Container = 0, RawDisk = 1 };

// Where and how the vault is stored, in an encrypted file bound to the machine id and to the
// rollback guard's highest generation. Nothing is cached: getters read, setters rewrite.
class StorageConfig {
public:
    struct RawDiskClaim {
        int diskNumber = 0;
        quint64 claimedStartOffset = 0;
        quint64 claimedLength = 0;
        quint32 sectorSize = 512;
        QByteArray diskSerialHash;
    };

    struct ContainerConfig {
        QString overrideDirectory;
        QString overrideFileName;
        bool hidden = false;
        bool deleteRestricted = false;
        QString pendingMigrateFromPath;
        int pendingMigrateAttempts = 0;
    };

    struct Settings {
        StorageBackend backend = StorageBackend::Container;
        RawDiskClaim rawDiskClaim;
        ContainerConfig container;
        qint64 maxVaultSizeBytes = 0;
        QString pendingDeletePath;
        int pendingDeleteAttempts = 0;
        bool pendingDeleteRawDisk = false;
        QString boundVaultId;
        bool boundVaultIdRecorded = false;
    };

    StorageConfig(QString settingsPath, QString machineId, unsigned long long generation);

    [[nodiscard]] bool readSettings(Settings& settings) const;
    [[nodiscard]] bool writeSettings(const Settings& settings) const;
    [[nodiscard]] bool loadForWrite(Settings& settings) const;
    [[nodiscard]] bool isCorrupted() const;

    [[nodiscard]] StorageBackend backend() const;
    [[nodiscard]] RawDiskClaim rawDiskClaim() const;
    [[nodiscard]] ContainerConfig containerConfig() const;
    [[nodiscard]] qint64 maxVaultSizeBytes() const;
    [[nodiscard]] QString pendingDeletePath() const;
    [[nodiscard]] int pendingDeleteAttempts() const;
    [[nodiscard]] bool pendingDeleteRawDisk() const;
    [[nodiscard]] QString boundVaultId() const;
    [[nodiscard]] bool boundVaultIdRecorded() const;

    [[nodiscard]] bool setContainerConfig(const ContainerConfig& config);
    [[nodiscard]] bool setContainerBackend();
    [[nodiscard]] bool setRawDiskClaim(const RawDiskClaim& claim);
    [[nodiscard]] bool setMaxVaultSizeBytes(qint64 bytes);
    [[nodiscard]] bool setPendingDeletePath(const QString& path);
    [[nodiscard]] bool setPendingDeleteAttempts(int attempts);
    [[nodiscard]] bool setPendingDeleteRawDisk(bool rawDisk);
    [[nodiscard]] bool setBoundVaultId(const QString& vaultId);
    // Forgets the bound vault (after the vault file was deleted): the id and its recorded flag
    // are cleared together, so the next first run may bind a new vault.
    [[nodiscard]] bool clearBoundVaultId();
    // Ends a pending deletion in one write: its path and attempts cleared and, once the vault is
    // gone (releaseBinding), the bound vault id with its recorded flag and any move of the
    // deleted vault too. A crash before this write leaves the deletion pending and the binding
    // in place, so the path is never free while a vault could be made there that the pending
    // deletion would then erase.
    [[nodiscard]] bool clearPendingDelete(bool releaseBinding);

    [[nodiscard]] bool rebind(const QString& machineId, unsigned long long generation);

    // The re-bind runs ahead of the rollback record it follows, so a crash between the two
    // leaves this file bound to a generation the record has not reached yet, never by more
    // than this many.
    static constexpr unsigned long long kPendingBindingWindow = 1024;
    // Takes the binding, between lowest and highest, under which the file opens; false (and the
    // binding unchanged) when there is no file or it opens under none of them.
    [[nodiscard]] bool adoptBinding(unsigned long long lowest, unsigned long long highest);

    [[nodiscard]] static bool isValidOverrideFileName(const QString& name);
    [[nodiscard]] static bool isValidOverrideDirectory(const QString& path);
    [[nodiscard]] QString resolveContainerPath(const QString& defaultDirectory) const;
    // Where the vault file is now: its old place while a move to the configured one is still
    // pending (not yet made, or failing and retried), otherwise resolveContainerPath.
    [[nodiscard]] QString currentContainerPath(const QString& defaultDirectory) const;

    [[nodiscard]] const QString& settingsPath() const { return settingsPath_; }
    [[nodiscard]] const QString& machineId() const { return machineId_; }
    [[nodiscard]] unsigned long long generation() const { return generation_; }

    // Machine id (UTF-8) followed by the generation, 8 bytes little-endian.
    [[nodiscard]] static QByteArray associatedData(const QString& machineId, unsigned long long generation);

private:
    template <typename Change>
    [[nodiscard]] bool update(Change&& change);

    QString settingsPath_;
    QString machineId_;
    unsigned long long generation_;
};

}  // namespace dorvex::vault
