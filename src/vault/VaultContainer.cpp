// The container's user-level operations: create, open, import, read, export, remove, re-key.
#include "vault/VaultContainer.h"

#include "core/Clock.h"
#include "core/SecureErase.h"
#include "crypto/AeadCipher.h"
#include "vault/FileBlockStore.h"
#include "vault/OwnFiles.h"
#include "vault/PrivateSaveFile.h"
#include "vault/VaultPlatform.h"

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
using crypto::KeyWrap;
using crypto::SecureBuffer;
using crypto::secureZero;

namespace {

constexpr qint64 kOverwriteChunk = 65536;

QString newUuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

// Wipes a plaintext buffer when an exception leaves the scope before the buffer was sealed.
class WipeOnUnwind {
public:
    WipeOnUnwind(unsigned char* data, std::size_t length) noexcept
        : data_(data), length_(length), uncaught_(std::uncaught_exceptions())
    {
    }
    ~WipeOnUnwind()
    {
        if (data_ != nullptr && std::uncaught_exceptions() > uncaught_)
            secureZero(data_, static_cast<unsigned long>(length_));
    }
    // Once sealed, the buffer holds no plaintext (and may be freed before this guard ends).
    void disarm() noexcept { data_ = nullptr; }
    WipeOnUnwind(const WipeOnUnwind&) = delete;
    WipeOnUnwind& operator=(const WipeOnUnwind&) = delete;

private:
    unsigned char* data_;
    std::size_t length_;
    int uncaught_;
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

bool VaultContainer::importFile(const QString& sourcePath, const QString& name, core::FileIdentity* imported)
try {
    lastImportFailure_ = ImportFailure::Other;
    if (locked_ || contains(name))
        return false;
    // The caller erases what was imported: never the vault file or its lock file.
    if (isOwnFile(sourcePath, backingFilePath(store_.get()), QString()))
        return false;
    // Appending below the data region would destroy the index slots.
    if (nextAppendOffset_ < static_cast<quint64>(kDataRegionStart) ||
        nextAppendOffset_ > static_cast<quint64>(std::numeric_limits<qint64>::max() / 2))
        return false;
    // Only regular files: reading a FIFO or a device whole would block or never end.
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
    if (maxSizeBytes_ > 0 && currentTotalSizeBytes() + size > maxSizeBytes_)
        return false;

    // One buffer laid out as nonce | suite | ciphertext | tag; the contents are sealed in place.
    const auto total = static_cast<std::size_t>(size) + static_cast<std::size_t>(kBlobOverhead);
    std::unique_ptr<unsigned char[]> blob;
    try {
        blob = std::make_unique_for_overwrite<unsigned char[]>(total);
    } catch (const std::bad_alloc&) {
        lastImportFailure_ = ImportFailure::OutOfMemory;
        qWarning("VaultContainer::importFile: no memory for the %lld bytes of a file to import; it was refused.",
                 static_cast<long long>(size));
        return false;
    }
    platform::adviseLargeBuffer(blob.get(), total);
    unsigned char* plain = blob.get() + 25;
    WipeOnUnwind wipePlain(plain, static_cast<std::size_t>(size));
    qint64 got = 0;
    while (got < size) {
        const qint64 n = source.read(reinterpret_cast<char*>(plain) + got, size - got);
        if (n <= 0)
            break;
        got += n;
    }
    char extra = 0;
    // A file that changes while it is read must not be imported (its original is erased afterwards).
    if (got != size || source.read(&extra, 1) != 0 || !(core::FileIdentity::ofDescriptor(fd) == before)) {
        secureZero(plain, static_cast<unsigned long>(got));
        return false;
    }
    source.close();

    IndexEntry entry;
    entry.name = name;
    entry.size = size;
    entry.importedAt = QDateTime::fromSecsSinceEpoch(core::Clock::nowSecsSinceEpoch(), Qt::UTC);
    entry.entryId = newUuid();
    const std::vector<unsigned char> aad = entryAad(entry);
    const SecureBuffer fileKey = AeadCipher::generateKey();
    randombytes_buf(blob.get(), 24);
    AeadCipher::sealInPlace(fileKey, blob.get(), blob.get() + 24, static_cast<std::size_t>(size), aad.data(),
                            aad.size());
    wipePlain.disarm();

    const quint64 offset = nextAppendOffset_;
    if (!store_->writeAt(static_cast<qint64>(offset), blob.get(), static_cast<qint64>(total)))
        return false;
    blob.reset();
    entry.dataOffset = static_cast<qint64>(offset);
    entry.dataLength = static_cast<qint64>(total);
    entry.wrappedFileKey = KeyWrap::wrap(vaultKey_, fileKey, aad);
    entries_.push_back(std::move(entry));
    nextAppendOffset_ = offset + total;
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

std::optional<std::vector<unsigned char>> VaultContainer::decryptEntry(const IndexEntry& entry) const
try {
    const qint64 storeSize = store_->size();
    if (entry.dataOffset < 0 || entry.dataLength < 24 || entry.dataOffset > storeSize ||
        entry.dataLength > storeSize - entry.dataOffset)
        return std::nullopt;
    // Too short to hold nonce, suite and tag: it could never be opened.
    if (entry.dataLength < kBlobOverhead)
        return std::nullopt;
    // Nonce and suite are read apart so that the ciphertext, and after decryption the plaintext,
    // starts the returned buffer: no move of the whole contents afterwards.
    unsigned char head[25];
    if (!store_->readAt(entry.dataOffset, head, sizeof head))
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
    if (!AeadCipher::openCiphertextInPlace(*fileKey, head, head[24], buffer.data(), buffer.size(), aad.data(),
                                           aad.size())) {
        secureZero(buffer);
        return std::nullopt;
    }
    const std::size_t plainLength = sealedLength - AeadCipher::kTagBytes;
    secureZero(buffer.data() + plainLength, static_cast<unsigned long>(AeadCipher::kTagBytes));
    buffer.resize(plainLength);
    return buffer;
} catch (...) {
    // An entry larger than the memory left; nothing was decrypted yet.
    logCaughtException("VaultContainer::decryptEntry");
    return std::nullopt;
}

std::optional<std::vector<unsigned char>> VaultContainer::readFileBytes(const QString& name) const
try {
    if (locked_)
        return std::nullopt;
    const IndexEntry* entry = findEntry(name);
    if (!entry)
        return std::nullopt;
    return decryptEntry(*entry);
} catch (...) {
    logCaughtException("VaultContainer::readFileBytes");
    return std::nullopt;
}

bool VaultContainer::exportFile(const QString& name, const QString& destinationPath) const
try {
    // Refused before anything is decrypted or written: it would overwrite the vault itself.
    if (isOwnFile(destinationPath, backingFilePath(store_.get()), QString()))
        return false;
    std::optional<std::vector<unsigned char>> plain = readFileBytes(name);
    if (!plain)
        return false;
    // Written through a save file, so a failed export never leaves a destination truncated.
    const bool ok = PrivateSaveFile::write(resolvedFilePath(destinationPath), plain->data(), plain->size());
    secureZero(*plain);
    return ok;
} catch (...) {
    logCaughtException("VaultContainer::exportFile");
    return false;
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
    if (locked_)
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
