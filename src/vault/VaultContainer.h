#pragma once

#include "crypto/SecureBuffer.h"
#include "vault/IVaultBlockStore.h"

#include <QDateTime>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace dorvex::core {
struct FileIdentity;
}

namespace dorvex::vault {

// Called on the caller's thread before the first window of an import or export and after each
// one, with the plaintext bytes done so far and the total; returning false cancels it.
using TransferProgress = std::function<bool(qint64 done, qint64 total)>;

struct TransferOptions {
    // Contents move through a few windows of this size, so that the memory an import or export
    // needs does not grow with the file.
    static constexpr std::size_t kWindowBytes = std::size_t{4} << 20;
    static constexpr std::size_t kDepth = 3;

    TransferProgress progress;  // may be empty
    std::size_t windowBytes = kWindowBytes;
};

// The encrypted vault file: two checksummed header slots, two index slots and an
// append-only data region, moved from one consistent state to the next by a crash-safe commit.
class VaultContainer {
public:
    static constexpr char kMagic[9] = "DRVXVLT1";
    static constexpr std::uint32_t kFormatVersion = 5;
    static constexpr std::uint32_t kLegacyFormatVersion = 4;
    static constexpr qint64 kHeaderSize = 96;
    static constexpr qint64 kHeaderAreaSize = 2 * kHeaderSize;
    static constexpr std::uint64_t kIndexCapacity = 524240;
    static constexpr std::uint64_t kLegacyIndexCapacity = 1048576;
    static constexpr qint64 kDataRegionStart = kHeaderAreaSize + 2 * static_cast<qint64>(kIndexCapacity);
    static constexpr qint64 kLegacyDataRegionStart = kHeaderAreaSize + static_cast<qint64>(kLegacyIndexCapacity);
    static constexpr std::size_t kVaultIdBytes = 36;
    static constexpr std::size_t kChecksumBytes = 12;
    static constexpr std::uint32_t kCipherSuiteVersion = 1;
    static constexpr qint64 kBlobOverhead = 24 + 17;
    static constexpr std::size_t kBlobHeadBytes = 25;  // nonce and suite byte

    struct IndexEntry {
        QString name;
        qint64 size = 0;
        QDateTime importedAt;
        qint64 dataOffset = 0;
        qint64 dataLength = 0;
        std::vector<unsigned char> wrappedFileKey;
        QString entryId;
    };

    struct EntryInfo {
        QString name;
        qint64 size = 0;
        QDateTime importedAt;
    };

    enum RekeyOutcome : int { RekeyDone = 0, RekeyFailedUnchanged = 1, RekeyFailedLocked = 2 };

    // Why the last import was refused, so that the browser can say so.
    enum class ImportFailure : int {
        None = 0,         // the last import succeeded, or none was tried
        Other = 1,        // refused for a reason the caller words itself (name taken, unreadable, ...)
        TooLarge = 2,     // the source is larger than kMaxImportBytes
        OutOfMemory = 3,  // the buffer that holds the whole file could not be allocated
        Unexpected = 4,   // an internal failure stopped the import; the vault is unchanged
        NotRegularFile = 5,  // a folder, a device, a pipe or a socket
        IndexFull = 6,       // the index has no room left for another entry
        UnreadableName = 7,  // the path came from bytes that are not valid text and names no file
        Cancelled = 8,       // the progress callback asked to stop; the vault is as it was
        SourceChanged = 9,   // the file grew, shrank or was written to while it was read
        OverSizeLimit = 10,  // the vault would hold more than its size limit allows
    };
    enum class ExportFailure : int {
        None = 0,
        Other = 1,         // locked, no such entry, the entry's bytes cannot be read
        Cancelled = 2,     // the progress callback asked to stop; nothing is left at the destination
        NotAuthentic = 3,  // the entry does not decrypt (damaged or forged); nothing is left either
        WriteFailed = 4,   // the copy could not be written (disk full, no permission, ...)
    };
    // AES-256-GCM cannot seal much more than 64 GiB under one nonce.
    static constexpr qint64 kMaxImportBytes = qint64{32} << 30;

    [[nodiscard]] static std::unique_ptr<VaultContainer> create(std::unique_ptr<IVaultBlockStore> store,
                                                                const crypto::SecureBuffer& vaultKey,
                                                                const QString& machineId);
    [[nodiscard]] static std::unique_ptr<VaultContainer> open(std::unique_ptr<IVaultBlockStore> store,
                                                              const crypto::SecureBuffer& vaultKey,
                                                              const QString& machineId,
                                                              const QString& overrideVaultId = QString(),
                                                              QString* failureReason = nullptr);
    ~VaultContainer();

    VaultContainer(const VaultContainer&) = delete;
    VaultContainer& operator=(const VaultContainer&) = delete;

    // Keyless look-ups on a path, for use before sign-in.
    [[nodiscard]] static bool looksLikeContainer(const QString& path);
    [[nodiscard]] static QString peekVaultId(const QString& path);
    [[nodiscard]] static std::optional<quint64> peekGenerationCounter(const QString& path);
    [[nodiscard]] static std::optional<quint64> peekGenerationCounter(IVaultBlockStore& store);
    [[nodiscard]] static QString confinedRealPath(const QString& path);
    // Why a path could never be imported, whatever the vault holds: NotRegularFile,
    // UnreadableName, or None.
    [[nodiscard]] static ImportFailure sourceFailure(const QString& sourcePath);

    [[nodiscard]] const QString& vaultId() const { return vaultId_; }
    [[nodiscard]] quint64 generationCounter() const { return generation_; }
    [[nodiscard]] std::uint32_t formatVersion() const { return formatVersion_; }
    [[nodiscard]] bool isLocked() const { return locked_; }
    // True when open found the newest saved state damaged and loaded the one before it. That
    // state is committed again above damagedGeneration(), the newest generation seen, so the
    // rollback record never sees one generation for two different states.
    [[nodiscard]] bool openedAtPreviousState() const { return openedAtPreviousState_; }
    [[nodiscard]] quint64 damagedGeneration() const { return damagedGeneration_; }
    [[nodiscard]] ImportFailure lastImportFailure() const { return lastImportFailure_; }
    void setMaxSizeBytes(qint64 maxSizeBytes) { maxSizeBytes_ = maxSizeBytes; }
    [[nodiscard]] qint64 maxSizeBytes() const { return maxSizeBytes_; }

    [[nodiscard]] std::vector<EntryInfo> listEntries() const;
    [[nodiscard]] bool contains(const QString& name) const;
    [[nodiscard]] qint64 currentTotalSizeBytes() const;
    [[nodiscard]] bool wouldExceedMaxSize(qint64 additionalBytes) const;

    // On success, *imported (when given) is the source as it was read, for erasing it afterwards.
    // A refused or cancelled import leaves the vault file as it was, its size included.
    [[nodiscard]] bool importFile(const QString& sourcePath, const QString& name,
                                  core::FileIdentity* imported = nullptr, const TransferOptions& options = {});
    [[nodiscard]] std::optional<std::vector<unsigned char>> decryptEntry(const IndexEntry& entry) const;
    [[nodiscard]] std::optional<std::vector<unsigned char>> readFileBytes(const QString& name) const;
    // The copy takes the destination's name only once the whole entry has authenticated.
    [[nodiscard]] bool exportFile(const QString& name, const QString& destinationPath,
                                  const TransferOptions& options = {}) const;
    [[nodiscard]] ExportFailure lastExportFailure() const { return lastExportFailure_; }
    // True while an import or export runs (its progress callback may run the event loop);
    // import, export, read and remove are refused meanwhile.
    [[nodiscard]] bool isTransferring() const { return transferring_; }
    [[nodiscard]] bool removeFile(const QString& name);
    // Only a vault in the current format is re-keyed (the old one rewrites its single index in
    // place, which a crash can tear): migrate it first.
    [[nodiscard]] int rekey(const crypto::SecureBuffer& newVaultKey);
    // Moves a format-4 vault to the current format now (a commit under its key); true when the
    // vault is in the current format.
    [[nodiscard]] bool migrateToCurrentFormat();
    void lockSynchronously();

private:
    VaultContainer(std::unique_ptr<IVaultBlockStore> store, const crypto::SecureBuffer& vaultKey,
                   const QString& machineId);

    struct Header;

    [[nodiscard]] bool readHeader();
    [[nodiscard]] bool readIndex();
    [[nodiscard]] bool tryFallbackHeaderAndIndex();
    [[nodiscard]] std::vector<unsigned char> indexAad() const;
    [[nodiscard]] std::vector<unsigned char> indexAadFor(quint64 offset, quint64 capacity, quint64 generation,
                                                         std::uint32_t formatVersion) const;
    [[nodiscard]] std::vector<unsigned char> entryAad(const IndexEntry& entry) const;
    [[nodiscard]] bool writeIndex();
    [[nodiscard]] bool writeHeader(int slot);
    // headerWritten (may be null) is set once the new header's write was begun: from then on a
    // failed commit may still have left the new state in the file.
    [[nodiscard]] bool commitIndexAndHeader(bool* headerWritten = nullptr);

    [[nodiscard]] bool migrateFromLegacyFormat();
    [[nodiscard]] bool boundsAcceptable(const Header& header) const;
    [[nodiscard]] bool indexAuthenticatesAt(int slot, quint64 length, quint64 generation) const;
    void noteDamagedOtherSlot(const Header& other);
    void persistRecovery();
    // Logs the exception being handled; for the catch at the boundary of an operation.
    static void logCaughtException(const char* operation) noexcept;
    [[nodiscard]] const IndexEntry* findEntry(const QString& name) const;
    // Whether the entry's blob lies inside the store and can hold nonce, suite and tag.
    [[nodiscard]] bool blobInStore(const IndexEntry& entry) const;
    [[nodiscard]] bool exportStreamed(const IndexEntry& entry, const QString& destinationPath,
                                      const TransferOptions& options) const;
    void overwriteRegion(qint64 offset, qint64 length);

    std::unique_ptr<IVaultBlockStore> store_;
    crypto::SecureBuffer vaultKey_;
    std::vector<IndexEntry> entries_;
    bool locked_ = false;
    quint64 indexOffset_ = static_cast<quint64>(kHeaderAreaSize);
    quint64 indexCapacity_ = kIndexCapacity;
    quint64 indexLength_ = 0;
    quint64 nextAppendOffset_ = static_cast<quint64>(kDataRegionStart);
    qint64 maxSizeBytes_ = 0;
    std::int32_t currentSlot_ = 1;
    QString vaultId_;
    quint64 generation_ = 0;
    QString machineId_;
    std::int32_t cipherSuiteVersion_ = static_cast<std::int32_t>(kCipherSuiteVersion);
    std::uint32_t formatVersion_ = kFormatVersion;
    bool openedAtPreviousState_ = false;
    quint64 damagedGeneration_ = 0;
    ImportFailure lastImportFailure_ = ImportFailure::None;
    mutable ExportFailure lastExportFailure_ = ExportFailure::None;
    mutable bool transferring_ = false;
    bool indexFull_ = false;  // the last commit failed because the index outgrew its slot
};

}  // namespace dorvex::vault
