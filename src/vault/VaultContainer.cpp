// The container's user-level operations: create, open, import, read, export, remove, re-key.
#include "vault/VaultContainer.h"

#include "core/Clock.h"
#include "core/SecureErase.h"
#include "crypto/AeadCipher.h"
#include "crypto/AeadStream.h"
#include "vault/FileBlockStore.h"
#include "vault/OwnFiles.h"
#include "vault/PrivateSaveFile.h"
#include "vault/VaultPlatform.h"
#include "vault/WindowPipeline.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator64>
#include <QTimeZone>
#include <QUuid>

#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <limits>
#include <new>

namespace dorvex::vault {

using crypto::AeadCipher;
using crypto::AeadStream;
using crypto::KeyWrap;
using crypto::SecureBuffer;
using crypto::secureZero;

namespace {

constexpr qint64 kOverwriteChunk = 65536;
constexpr quint64 kPageBytes = 4096;

QString newUuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

// Marks a transfer as running for as long as it is in scope.
class TransferScope {
public:
    explicit TransferScope(bool& flag) noexcept : flag_(flag) { flag_ = true; }
    ~TransferScope() { flag_ = false; }
    TransferScope(const TransferScope&) = delete;
    TransferScope& operator=(const TransferScope&) = delete;

private:
    bool& flag_;
};

// Asks the progress callback whether to go on. A transfer also stops once the container was
// locked: the callback may run the event loop, where a session wipe can happen.
class ProgressGate {
public:
    ProgressGate(const TransferProgress& progress, qint64 total, const bool& locked)
        : progress_(progress), total_(total), locked_(locked)
    {
    }
    [[nodiscard]] bool keepGoing(qint64 done)
    {
        cancelled_ = (progress_ && !progress_(done, total_)) || locked_;
        return !cancelled_;
    }
    [[nodiscard]] bool cancelled() const { return cancelled_; }

private:
    const TransferProgress& progress_;
    qint64 total_;
    const bool& locked_;
    bool cancelled_ = false;
};

// Puts the store back to its size at construction unless disarmed: a refused or cancelled
// import leaves no bytes of its own behind the data region.
class StoreSizeRestorer {
public:
    explicit StoreSizeRestorer(IVaultBlockStore& store) : store_(store), size_(store.size()) {}
    ~StoreSizeRestorer()
    {
        if (size_ >= 0 && store_.size() != size_)
            static_cast<void>(store_.resize(size_));
    }
    StoreSizeRestorer(const StoreSizeRestorer&) = delete;
    StoreSizeRestorer& operator=(const StoreSizeRestorer&) = delete;
    [[nodiscard]] bool armed() const { return size_ >= 0; }
    void disarm() { size_ = -1; }

private:
    IVaultBlockStore& store_;
    qint64 size_;
};

// The vault file under a file-backed store; empty for any other store.
QString backingFilePath(const IVaultBlockStore* store)
{
    const auto* file = dynamic_cast<const FileBlockStore*>(store);
    return file != nullptr ? file->path() : QString();
}

}  // namespace

void VaultContainer::logCaughtException(const char* operation) noexcept
{
    try {
        try {
            throw;
        } catch (const std::bad_alloc&) {
            qWarning("%s: out of memory -- the operation was refused.", operation);
        } catch (const std::exception& e) {
            qWarning("%s: unexpected failure (%s) -- the operation was refused.", operation, e.what());
        } catch (...) {
            qWarning("%s: unexpected failure -- the operation was refused.", operation);
        }
    } catch (...) {
        // Nothing more can be said when even the log line cannot be written.
    }
}

VaultContainer::VaultContainer(std::unique_ptr<IVaultBlockStore> store, const SecureBuffer& vaultKey,
                               const QString& machineId)
    : store_(std::move(store)), vaultKey_(vaultKey.data(), vaultKey.size()), machineId_(machineId)
{
    formatVersion_ = 0;  // unknown until a header has loaded
}

VaultContainer::~VaultContainer()
{
    if (store_) {
        static_cast<void>(store_->flush());
        store_->close();
    }
    for (IndexEntry& entry : entries_)
        secureZero(entry.wrappedFileKey);
}

std::unique_ptr<VaultContainer> VaultContainer::create(std::unique_ptr<IVaultBlockStore> store,
                                                       const SecureBuffer& vaultKey, const QString& machineId)
{
    if (!store || store->exists() || !store->create())
        return nullptr;
    std::unique_ptr<VaultContainer> container(new VaultContainer(std::move(store), vaultKey, machineId));
    container->formatVersion_ = kFormatVersion;
    container->indexCapacity_ = kIndexCapacity;
    container->indexOffset_ = static_cast<quint64>(kHeaderAreaSize);
    container->nextAppendOffset_ = static_cast<quint64>(kDataRegionStart);
    container->vaultId_ = newUuid();
    container->generation_ = 0;
    container->cipherSuiteVersion_ = static_cast<std::int32_t>(kCipherSuiteVersion);
    container->currentSlot_ = 1;
    if (!container->store_->resize(kDataRegionStart)) {
        if (!container->store_->rollbackFailedCreate())
            qWarning("%s", "VaultContainer::create: failed to roll back a partially-created store after resize() "
                           "failed -- a retry at the same location may find a broken, unopenable file left behind.");
        return nullptr;
    }
    // Only a vault whose first state is durable takes the vault's name.
    if (!container->commitIndexAndHeader() || !container->store_->publishCreated()) {
        if (!container->store_->rollbackFailedCreate())
            qWarning("%s", "VaultContainer::create: failed to roll back a partially-created store after its first "
                           "commit failed -- a retry at the same location may find a broken, unopenable file left "
                           "behind.");
        return nullptr;
    }
    return container;
}

std::unique_ptr<VaultContainer> VaultContainer::open(std::unique_ptr<IVaultBlockStore> store,
                                                     const SecureBuffer& vaultKey, const QString& machineId,
                                                     const QString& overrideVaultId, QString* failureReason)
try {
    if (!store || !store->exists() || !store->open()) {
        if (failureReason && store)
            *failureReason = store->exists() ? store->lastFailureReason() : QString();
        return nullptr;
    }
    std::unique_ptr<VaultContainer> container(new VaultContainer(std::move(store), vaultKey, machineId));
    if (!overrideVaultId.isEmpty())
        container->vaultId_ = overrideVaultId;
    const bool loaded = container->readHeader() && container->readIndex();
    if (!loaded && !container->tryFallbackHeaderAndIndex())
        return nullptr;
    if (container->formatVersion_ == kLegacyFormatVersion)
        static_cast<void>(container->migrateFromLegacyFormat());
    // A damaged newer header left the older state loaded; the fallback has committed already.
    if (loaded && container->openedAtPreviousState_)
        container->persistRecovery();
    if (container->openedAtPreviousState_)
        qWarning("VaultContainer::open: the newest saved state (generation %llu) was damaged; the vault was opened "
                 "at its previous state.",
                 static_cast<unsigned long long>(container->damagedGeneration_));
    if (!overrideVaultId.isEmpty() && !container->commitIndexAndHeader())
        qWarning("%s", "VaultContainer: opened via a recovered vaultId but failed to persist the correction -- "
                       "recovery will be needed again on the next open.");
    return container;
} catch (...) {
    logCaughtException("VaultContainer::open");
    return nullptr;
}

std::vector<VaultContainer::EntryInfo> VaultContainer::listEntries() const
try {
    std::vector<EntryInfo> out;
    out.reserve(entries_.size());
    for (const IndexEntry& entry : entries_)
        out.push_back(EntryInfo{entry.name, entry.size, entry.importedAt});
    return out;
} catch (...) {
    logCaughtException("VaultContainer::listEntries");
    return {};
}

const VaultContainer::IndexEntry* VaultContainer::findEntry(const QString& name) const
{
    const auto it = std::find_if(entries_.begin(), entries_.end(),
                                 [&](const IndexEntry& entry) { return entry.name == name; });
    return it == entries_.end() ? nullptr : &*it;
}

bool VaultContainer::contains(const QString& name) const
{
    return findEntry(name) != nullptr;
}

qint64 VaultContainer::currentTotalSizeBytes() const
{
    qint64 total = 0;
    for (const IndexEntry& entry : entries_)
        total += entry.size;
    return total;
}

bool VaultContainer::wouldExceedMaxSize(qint64 additionalBytes) const
{
    if (maxSizeBytes_ <= 0)
        return false;
    return currentTotalSizeBytes() + additionalBytes > maxSizeBytes_;
}

bool VaultContainer::importFile(const QString& sourcePath, const QString& name, core::FileIdentity* imported,
                                const TransferOptions& options)
try {
    lastImportFailure_ = ImportFailure::Other;
    if (locked_ || transferring_ || contains(name))
        return false;
    // The caller erases what was imported: never the vault file or its lock file.
    if (isOwnFile(sourcePath, backingFilePath(store_.get()), QString()))
        return false;
    // Appending below the data region would destroy the index slots.
    if (nextAppendOffset_ < static_cast<quint64>(kDataRegionStart) ||
        nextAppendOffset_ > static_cast<quint64>(std::numeric_limits<qint64>::max() / 2))
        return false;
    // Only regular files: reading a FIFO or a device would block or never end.
    const int fd = platform::openRegularFileForReading(sourcePath);
    if (fd < 0) {
        if (const ImportFailure cause = sourceFailure(sourcePath); cause != ImportFailure::None)
            lastImportFailure_ = cause;
        return false;
    }
    QFile source;
    if (!source.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        platform::closeDescriptor(fd);
        return false;
    }
    // Taken from the descriptor that is read, so it describes exactly the bytes imported.
    const core::FileIdentity before = core::FileIdentity::ofDescriptor(fd);
    const qint64 size = source.size();
    if (size < 0 || !before.isKnown() || size != before.size)
        return false;
    if (size > kMaxImportBytes) {
        lastImportFailure_ = ImportFailure::TooLarge;
        qWarning("VaultContainer::importFile: a file of %lld bytes is larger than an import may be; it was refused.",
                 static_cast<long long>(size));
        return false;
    }
    if (wouldExceedMaxSize(size)) {
        lastImportFailure_ = ImportFailure::OverSizeLimit;
        return false;
    }
    platform::adviseSequentialRead(fd);

    TransferScope scope(transferring_);
    std::optional<WindowPipeline> pipeline;
    try {
        pipeline.emplace(WindowPipeline::forLength(size, options.windowBytes, TransferOptions::kDepth));
    } catch (const std::bad_alloc&) {
        lastImportFailure_ = ImportFailure::OutOfMemory;
        qWarning("VaultContainer::importFile: no memory for the windows of an import; it was refused.");
        return false;
    }

    IndexEntry entry;
    entry.name = name;
    entry.size = size;
    entry.importedAt = QDateTime::fromSecsSinceEpoch(core::Clock::nowSecsSinceEpoch(), Qt::UTC);
    entry.entryId = newUuid();
    const std::vector<unsigned char> aad = entryAad(entry);
    const SecureBuffer fileKey = AeadCipher::generateKey();
    // The blob is nonce | suite | ciphertext | tag, written in that order.
    unsigned char head[kBlobHeadBytes];
    randombytes_buf(head, 24);
    AeadStream sealer(AeadStream::Direction::Seal, AeadStream::preferredSuite(), fileKey, head, aad.data(), aad.size());
    head[24] = sealer.suite();

    const quint64 offset = nextAppendOffset_;
    const auto total = static_cast<quint64>(size) + static_cast<quint64>(kBlobOverhead);
    // Anything written past the old end goes again unless the import commits.
    StoreSizeRestorer restorer(*store_);
    if (!restorer.armed() || !store_->writeAt(static_cast<qint64>(offset), head, sizeof head))
        return false;

    qint64 read = 0;
    qint64 written = 0;
    bool changed = false;
    ProgressGate gate(options.progress, size, locked_);
    WriteBackPacer pacer([this](qint64 at, qint64 length, bool wait) { store_->writeBack(at, length, wait); });
    if (!gate.keepGoing(0)) {
        lastImportFailure_ = ImportFailure::Cancelled;
        return false;
    }
    const auto outcome = pipeline->run(
        [&](unsigned char* window, std::size_t capacity) -> qint64 {
            if (read == size) {
                // The file must end where it ended when the import began.
                char extra = 0;
                if (source.read(&extra, 1) == 0)
                    return 0;
                changed = true;
                return -1;
            }
            // The first window ends on a page boundary of the vault file, so every later write
            // covers whole pages.
            const quint64 misalignment = read == 0 ? (offset + sizeof head) % kPageBytes : 0;
            if (misalignment > 0 && capacity > kPageBytes)
                capacity -= kPageBytes - misalignment;
            const auto want = static_cast<qint64>(std::min<quint64>(capacity, static_cast<quint64>(size - read)));
            for (qint64 got = 0; got < want;) {
                const qint64 n = source.read(reinterpret_cast<char*>(window) + got, want - got);
                if (n <= 0) {
                    changed = n == 0;  // it ended early: it shrank
                    return -1;
                }
                got += n;
            }
            read += want;
            return want;
        },
        [&](unsigned char* window, std::size_t length) { return sealer.update(window, window, length); },
        [&](unsigned char* window, std::size_t length) {
            const qint64 at = static_cast<qint64>(offset + sizeof head) + written;
            if (!store_->writeAt(at, window, static_cast<qint64>(length)))
                return false;
            pacer.wrote(at, static_cast<qint64>(length));
            written += static_cast<qint64>(length);
            return gate.keepGoing(written);
        });
    // Written to in place (same size, new time) is a change too.
    changed = changed || !(core::FileIdentity::ofDescriptor(fd) == before);
    source.close();
    if (outcome != WindowPipeline::Outcome::Done) {
        if (gate.cancelled())
            lastImportFailure_ = ImportFailure::Cancelled;
        else if (changed)
            lastImportFailure_ = ImportFailure::SourceChanged;
        else if (outcome == WindowPipeline::Outcome::TransformFailed)
            lastImportFailure_ = ImportFailure::Unexpected;
        return false;
    }
    if (changed || written != size) {
        lastImportFailure_ = ImportFailure::SourceChanged;
        return false;
    }
    unsigned char tag[AeadCipher::kTagBytes];
    if (!sealer.finishSeal(tag)) {
        lastImportFailure_ = ImportFailure::Unexpected;
        return false;
    }
    if (!store_->writeAt(static_cast<qint64>(offset + sizeof head) + size, tag, sizeof tag))
        return false;

    entry.dataOffset = static_cast<qint64>(offset);
    entry.dataLength = static_cast<qint64>(total);
    entry.wrappedFileKey = KeyWrap::wrap(vaultKey_, fileKey, aad);
    entries_.push_back(std::move(entry));
    nextAppendOffset_ = offset + total;
    // A commit that failed part-way may still have made its header durable, naming this blob:
    // from here on the blob stays, unreferenced if the commit failed.
    restorer.disarm();
    if (!commitIndexAndHeader()) {
        secureZero(entries_.back().wrappedFileKey);
        entries_.pop_back();
        nextAppendOffset_ = offset;
        if (indexFull_)
            lastImportFailure_ = ImportFailure::IndexFull;
        return false;
    }
    if (imported != nullptr)
        *imported = before;
    lastImportFailure_ = ImportFailure::None;
    return true;
} catch (const std::bad_alloc&) {
    lastImportFailure_ = ImportFailure::OutOfMemory;
    logCaughtException("VaultContainer::importFile");
    return false;
} catch (...) {
    lastImportFailure_ = ImportFailure::Unexpected;
    logCaughtException("VaultContainer::importFile");
    return false;
}

bool VaultContainer::blobInStore(const IndexEntry& entry) const
{
    const qint64 storeSize = store_->size();
    return entry.dataOffset >= 0 && entry.dataLength >= kBlobOverhead && entry.dataOffset <= storeSize
        && entry.dataLength <= storeSize - entry.dataOffset;
}

std::optional<std::vector<unsigned char>> VaultContainer::decryptEntry(const IndexEntry& entry) const
try {
    if (!blobInStore(entry))
        return std::nullopt;
    // Nonce and suite are read apart so that the ciphertext, and after decryption the plaintext,
    // starts the returned buffer: no move of the whole contents afterwards.
    unsigned char head[kBlobHeadBytes];
    if (!store_->readAt(entry.dataOffset, head, sizeof head) || head[24] > AeadCipher::kSuiteXChaCha20Poly1305)
        return std::nullopt;
    const auto sealedLength = static_cast<std::size_t>(entry.dataLength) - sizeof head;
    std::vector<unsigned char> buffer;
    buffer.reserve(sealedLength);
    platform::adviseLargeBuffer(buffer.data(), buffer.capacity());
    buffer.resize(sealedLength);
    if (!store_->readAt(entry.dataOffset + static_cast<qint64>(sizeof head), buffer.data(),
                        static_cast<qint64>(sealedLength)))
        return std::nullopt;
    const std::vector<unsigned char> aad = entryAad(entry);
    const std::optional<SecureBuffer> fileKey = KeyWrap::unwrap(vaultKey_, entry.wrappedFileKey, aad);
    if (!fileKey || fileKey->size() != AeadCipher::kKeyBytes)
        return std::nullopt;
    const std::size_t plainLength = sealedLength - AeadCipher::kTagBytes;
    AeadStream opener(AeadStream::Direction::Open, head[24], *fileKey, head, aad.data(), aad.size());
    // Decrypted in place; nothing of it is handed out unless the tag holds.
    if (!opener.update(buffer.data(), buffer.data(), plainLength) || !opener.finishOpen(buffer.data() + plainLength)) {
        secureZero(buffer);
        return std::nullopt;
    }
    buffer.resize(plainLength);
    return buffer;
} catch (...) {
    // An entry larger than the memory left; nothing was decrypted yet.
    logCaughtException("VaultContainer::decryptEntry");
    return std::nullopt;
}

std::optional<std::vector<unsigned char>> VaultContainer::readFileBytes(const QString& name) const
try {
    if (locked_ || transferring_)
        return std::nullopt;
    const IndexEntry* entry = findEntry(name);
    if (!entry)
        return std::nullopt;
    return decryptEntry(*entry);
} catch (...) {
    logCaughtException("VaultContainer::readFileBytes");
    return std::nullopt;
}

bool VaultContainer::exportFile(const QString& name, const QString& destinationPath,
                                const TransferOptions& options) const
try {
    lastExportFailure_ = ExportFailure::Other;
    // Refused before anything is decrypted or written: it would overwrite the vault itself.
    if (locked_ || transferring_ || isOwnFile(destinationPath, backingFilePath(store_.get()), QString()))
        return false;
    const IndexEntry* found = findEntry(name);
    if (found == nullptr)
        return false;
    // A copy: a session wipe while progress runs the event loop clears the entries.
    const IndexEntry entry = *found;
    TransferScope scope(transferring_);
    const bool ok = exportStreamed(entry, destinationPath, options);
    if (ok)
        lastExportFailure_ = ExportFailure::None;
    return ok;
} catch (...) {
    logCaughtException("VaultContainer::exportFile");
    return false;
}

bool VaultContainer::exportStreamed(const IndexEntry& entry, const QString& destinationPath,
                                    const TransferOptions& options) const
{
    if (!blobInStore(entry))
        return false;
    unsigned char head[kBlobHeadBytes];
    unsigned char tag[AeadCipher::kTagBytes];
    const qint64 size = entry.dataLength - kBlobOverhead;
    const qint64 ciphertextAt = entry.dataOffset + static_cast<qint64>(sizeof head);
    if (!store_->readAt(entry.dataOffset, head, sizeof head) || !store_->readAt(ciphertextAt + size, tag, sizeof tag))
        return false;
    const std::vector<unsigned char> aad = entryAad(entry);
    const std::optional<SecureBuffer> fileKey = KeyWrap::unwrap(vaultKey_, entry.wrappedFileKey, aad);
    if (head[24] > AeadCipher::kSuiteXChaCha20Poly1305 || !fileKey || fileKey->size() != AeadCipher::kKeyBytes) {
        lastExportFailure_ = ExportFailure::NotAuthentic;
        return false;
    }
    AeadStream opener(AeadStream::Direction::Open, head[24], *fileKey, head, aad.data(), aad.size());
    WindowPipeline pipeline = WindowPipeline::forLength(size, options.windowBytes, TransferOptions::kDepth);
    PrivateSaveFile out(resolvedFilePath(destinationPath));
    if (!out.open()) {
        lastExportFailure_ = ExportFailure::WriteFailed;
        return false;
    }
    qint64 read = 0;
    qint64 written = 0;
    bool writeFailed = false;
    ProgressGate gate(options.progress, size, locked_);
    const auto outcome = gate.keepGoing(0) ? pipeline.run(
        [&](unsigned char* window, std::size_t capacity) -> qint64 {
            const auto n = static_cast<qint64>(std::min<quint64>(capacity, static_cast<quint64>(size - read)));
            if (n > 0 && !store_->readAt(ciphertextAt + read, window, n))
                return -1;
            read += n;
            return n;
        },
        [&](unsigned char* window, std::size_t length) { return opener.update(window, window, length); },
        [&](unsigned char* window, std::size_t length) {
            // Plaintext whose tag is not checked yet: it reaches only the new file, never the
            // destination's name, and the window is wiped before it is filled again.
            writeFailed = !out.append(window, length);
            secureZero(window, static_cast<unsigned long>(length));
            if (writeFailed)
                return false;
            written += static_cast<qint64>(length);
            return gate.keepGoing(written);
        }) : WindowPipeline::Outcome::Stopped;
    if (outcome != WindowPipeline::Outcome::Done || written != size) {
        out.discard();
        if (gate.cancelled())
            lastExportFailure_ = ExportFailure::Cancelled;
        else if (writeFailed)
            lastExportFailure_ = ExportFailure::WriteFailed;
        return false;
    }
    if (!opener.finishOpen(tag)) {
        out.discard();
        lastExportFailure_ = ExportFailure::NotAuthentic;
        qWarning("%s", "VaultContainer::exportFile: the entry did not authenticate; the partial copy was erased.");
        return false;
    }
    if (!out.commit()) {
        lastExportFailure_ = ExportFailure::WriteFailed;
        return false;
    }
    return true;
}

void VaultContainer::overwriteRegion(qint64 offset, qint64 length)
{
    if (offset < 0 || length <= 0)
        return;
    // On the stack: the overwrite runs after a commit and must not fail for want of memory.
    std::array<unsigned char, kOverwriteChunk> chunk;
    for (int pass = 0; pass < 3; ++pass) {
        if (pass < 2)
            chunk.fill(pass == 0 ? 0x00 : 0xFF);
        for (qint64 done = 0; done < length;) {
            const qint64 n = std::min(length - done, kOverwriteChunk);
            if (pass == 2) {
                QRandomGenerator64* random = QRandomGenerator64::global();
                for (qint64 i = 0; i < n; i += 8) {
                    const quint64 word = random->generate64();
                    std::memcpy(chunk.data() + i, &word, static_cast<std::size_t>(std::min<qint64>(8, n - i)));
                }
            }
            static_cast<void>(store_->writeAt(offset + done, chunk.data(), n));
            done += n;
        }
    }
}

bool VaultContainer::removeFile(const QString& name)
try {
    if (locked_ || transferring_)
        return false;
    const auto it = std::find_if(entries_.begin(), entries_.end(),
                                 [&](const IndexEntry& entry) { return entry.name == name; });
    if (it == entries_.end())
        return false;
    const qint64 storeSize = store_->size();
    // Never overwrite outside the data region, whatever the index says.
    if (it->dataOffset < kDataRegionStart || it->dataLength < 0 || it->dataLength > storeSize ||
        it->dataOffset > storeSize - it->dataLength)
        return false;
    const auto position = it - entries_.begin();
    IndexEntry removed = std::move(*it);
    entries_.erase(it);
    // Commit first: destroying the blob before the index drops it would leave a listed entry
    // that can no longer be decrypted whenever the commit fails.
    if (!commitIndexAndHeader()) {
        entries_.insert(entries_.begin() + position, std::move(removed));
        return false;
    }
    overwriteRegion(removed.dataOffset, removed.dataLength);
    static_cast<void>(store_->flush());
    secureZero(removed.wrappedFileKey);
    secureZero(removed.name);
    secureZero(removed.entryId);
    return true;
} catch (...) {
    logCaughtException("VaultContainer::removeFile");
    return false;
}

int VaultContainer::rekey(const SecureBuffer& newVaultKey)
try {
    if (locked_ || formatVersion_ != kFormatVersion)
        return RekeyFailedUnchanged;
    std::vector<IndexEntry> rewrapped = entries_;
    for (IndexEntry& entry : rewrapped) {
        const std::vector<unsigned char> aad = entryAad(entry);
        const std::optional<SecureBuffer> fileKey = KeyWrap::unwrap(vaultKey_, entry.wrappedFileKey, aad);
        if (!fileKey) {
            for (IndexEntry& e : rewrapped)
                secureZero(e.wrappedFileKey);
            return RekeyFailedUnchanged;
        }
        entry.wrappedFileKey = KeyWrap::wrap(newVaultKey, *fileKey, aad);
    }
    // Everything that allocates comes first, so that a failure leaves the container as it was.
    SecureBuffer oldKey(vaultKey_.data(), vaultKey_.size());
    SecureBuffer installed(newVaultKey.data(), newVaultKey.size());
    std::vector<IndexEntry> oldEntries = std::move(entries_);
    const quint64 oldGeneration = generation_;
    vaultKey_ = std::move(installed);
    entries_ = std::move(rewrapped);
    bool headerWritten = false;
    bool committed = commitIndexAndHeader(&headerWritten);
    // Once the new header may be in the file, a generation above the old one has to mean the new
    // key: the same state is committed again, never the old key at that generation.
    if (!committed && headerWritten)
        committed = commitIndexAndHeader();
    if (committed || headerWritten) {
        for (IndexEntry& e : oldEntries)
            secureZero(e.wrappedFileKey);
    }
    if (committed) {
        try {
            // No index sealed under the old key may stay behind in the other slot.
            const int other = 1 - currentSlot_;
            overwriteRegion(other * kHeaderSize, kHeaderSize);
            overwriteRegion(kHeaderAreaSize + other * static_cast<qint64>(indexCapacity_),
                            static_cast<qint64>(indexCapacity_));
            static_cast<void>(store_->flush());
        } catch (...) {
            logCaughtException("VaultContainer::rekey");
        }
        return RekeyDone;
    }
    if (headerWritten) {
        lockSynchronously();
        return RekeyFailedLocked;
    }
    // No header was written: the file still names the old state.
    for (IndexEntry& e : entries_)
        secureZero(e.wrappedFileKey);
    vaultKey_ = std::move(oldKey);
    entries_ = std::move(oldEntries);
    generation_ = oldGeneration;
    return RekeyFailedUnchanged;
} catch (...) {
    logCaughtException("VaultContainer::rekey");
    return RekeyFailedUnchanged;
}

bool VaultContainer::migrateToCurrentFormat()
try {
    if (locked_)
        return false;
    return formatVersion_ == kFormatVersion || migrateFromLegacyFormat();
} catch (...) {
    logCaughtException("VaultContainer::migrateToCurrentFormat");
    return false;
}

void VaultContainer::lockSynchronously()
{
    if (!vaultKey_.empty())
        secureZero(vaultKey_.data(), static_cast<unsigned long>(vaultKey_.size()));
    for (IndexEntry& entry : entries_) {
        secureZero(entry.wrappedFileKey);
        // A name still shared (a list handed out earlier) is only let go of, never written.
        secureZero(entry.name);
        secureZero(entry.entryId);
    }
    entries_.clear();
    locked_ = true;
}

VaultContainer::ImportFailure VaultContainer::sourceFailure(const QString& sourcePath)
try {
    const QFileInfo info(sourcePath);
    if (info.exists())
        return info.isFile() ? ImportFailure::None : ImportFailure::NotRegularFile;
    // Bytes that are not valid UTF-8 decode to U+FFFD, and the path then names no file at all.
    if (!info.isSymLink() && sourcePath.contains(QChar::ReplacementCharacter))
        return ImportFailure::UnreadableName;
    return ImportFailure::None;
} catch (...) {
    logCaughtException("VaultContainer::sourceFailure");
    return ImportFailure::None;
}

QString VaultContainer::confinedRealPath(const QString& path)
try {
    if (path.isEmpty())
        return {};
    const QFileInfo info(path);
    if (!info.exists())
        return {};
    const QString canonical = info.canonicalFilePath();
    // Any symbolic link on the way makes the canonical path differ from the cleaned one.
    if (canonical.isEmpty() || canonical != QDir::cleanPath(info.absoluteFilePath()) || !looksLikeContainer(canonical))
        return {};
    return canonical;
} catch (...) {
    logCaughtException("VaultContainer::confinedRealPath");
    return {};
}

}  // namespace dorvex::vault
