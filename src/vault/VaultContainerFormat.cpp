// On-disk layout of the container: header slots, index slots and the commit protocol.
#include "vault/VaultContainer.h"

#include "crypto/AeadCipher.h"
#include "vault/VaultPlatform.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace dorvex::vault {

using crypto::AeadCipher;
using crypto::secureZero;

namespace {

void putU32(unsigned char* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void putU64(unsigned char* p, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint32_t getU32(const unsigned char* p)
{
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

std::uint64_t getU64(const unsigned char* p)
{
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

void appendU64(std::vector<unsigned char>& out, std::uint64_t v)
{
    unsigned char b[8];
    putU64(b, v);
    out.insert(out.end(), b, b + 8);
}

void appendUtf8(std::vector<unsigned char>& out, const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    out.insert(out.end(), utf8.begin(), utf8.end());
}

// The vault id is left out of the checksum so that a damaged id can be recovered by the caller.
void headerChecksum(const unsigned char* header, unsigned char* out)
{
    crypto::detail::ensureSodiumInitialized();
    unsigned char copy[84];
    std::memcpy(copy, header, sizeof copy);
    std::memset(copy + 40, 0, VaultContainer::kVaultIdBytes);
    crypto_generichash(out, VaultContainer::kChecksumBytes, copy, sizeof copy, nullptr, 0);
}

quint64 parseDecimal(const QJsonValue& value)
{
    bool ok = false;
    const quint64 v = value.toString().toULongLong(&ok, 10);
    return ok ? v : 0;
}

QString decimal(quint64 v)
{
    return QString::number(v);
}

qint64 toSigned(quint64 v)
{
    return static_cast<qint64>(v);
}

// Reads the first bytes of a path without blocking on anything that is not a regular file.
QByteArray readPrefix(const QString& path, qint64 length)
{
    const int fd = platform::openRegularFileForReading(path);
    if (fd < 0)
        return {};
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        platform::closeDescriptor(fd);
        return {};
    }
    return file.read(length);
}

}  // namespace

struct VaultContainer::Header {
    int slot = 0;
    std::uint32_t formatVersion = 0;
    quint64 indexOffset = 0;
    quint64 indexCapacity = 0;
    quint64 indexLength = 0;
    QString vaultId;
    quint64 generation = 0;
    bool hasMagic = false;
    bool checksumValid = false;
    bool checksumBlank = false;

    static Header parse(const unsigned char* bytes, int slot)
    {
        Header h;
        h.slot = slot;
        h.hasMagic = std::memcmp(bytes, kMagic, 8) == 0;
        h.formatVersion = getU32(bytes + 8);
        h.indexOffset = getU64(bytes + 16);
        h.indexCapacity = getU64(bytes + 24);
        h.indexLength = getU64(bytes + 32);
        const auto* id = reinterpret_cast<const char*>(bytes + 40);
        h.vaultId = QString::fromUtf8(id, static_cast<qsizetype>(::strnlen(id, kVaultIdBytes)));
        h.generation = getU64(bytes + 76);
        unsigned char sum[kChecksumBytes];
        headerChecksum(bytes, sum);
        h.checksumValid = sodium_memcmp(sum, bytes + 84, kChecksumBytes) == 0;
        h.checksumBlank = std::all_of(bytes + 84, bytes + 84 + kChecksumBytes, [](unsigned char b) { return b == 0; });
        return h;
    }

    [[nodiscard]] bool validCurrent() const { return hasMagic && formatVersion == kFormatVersion && checksumValid; }
    [[nodiscard]] bool legacy() const { return hasMagic && formatVersion == kLegacyFormatVersion; }

    // A header of this slot that went bad, as opposed to a slot never written (zeros), wiped by a
    // re-key (random bytes) or left over from the old single-slot format. One flipped byte
    // leaves either the magic or the slot's own index location intact.
    [[nodiscard]] bool damaged() const
    {
        if (validCurrent() || (legacy() && checksumBlank))
            return false;
        const quint64 ownOffset = static_cast<quint64>(kHeaderAreaSize) + static_cast<quint64>(slot) * kIndexCapacity;
        return hasMagic || (formatVersion == kFormatVersion && indexOffset == ownOffset && indexCapacity == kIndexCapacity);
    }

    // Picks the header to load from slot 0 and (when readable) slot 1.
    static std::optional<Header> choose(const unsigned char* slot0, const unsigned char* slot1)
    {
        const Header h0 = parse(slot0, 0);
        const std::optional<Header> h1 = slot1 ? std::optional<Header>(parse(slot1, 1)) : std::nullopt;
        const bool valid1 = h1 && h1->validCurrent();
        if (h0.validCurrent() && valid1)
            return h1->generation > h0.generation ? *h1 : h0;
        if (h0.validCurrent())
            return h0;
        if (valid1)
            return *h1;
        if (h0.legacy())
            return h0;
        return std::nullopt;
    }
};

bool VaultContainer::looksLikeContainer(const QString& path)
try {
    // A re-key that committed into the second slot wipes the first one, magic included, so the
    // second slot's magic counts as well.
    const QByteArray prefix = readPrefix(path, kHeaderSize + 8);
    const auto magicAt = [&prefix](qsizetype offset) {
        return prefix.size() >= offset + 8 && std::memcmp(prefix.constData() + offset, kMagic, 8) == 0;
    };
    return magicAt(0) || magicAt(kHeaderSize);
} catch (...) {
    logCaughtException("VaultContainer::looksLikeContainer");
    return false;
}

QString VaultContainer::peekVaultId(const QString& path)
try {
    const QByteArray bytes = readPrefix(path, kHeaderAreaSize);
    if (bytes.size() < kHeaderSize)
        return {};
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const auto chosen = Header::choose(p, bytes.size() >= kHeaderAreaSize ? p + kHeaderSize : nullptr);
    if (!chosen)
        return {};
    const unsigned char* slot = p + chosen->slot * kHeaderSize;
    const auto* id = reinterpret_cast<const char*>(slot + 40);
    return QString::fromUtf8(id, static_cast<qsizetype>(::strnlen(id, kVaultIdBytes)));
} catch (...) {
    logCaughtException("VaultContainer::peekVaultId");
    return {};
}

std::optional<quint64> VaultContainer::peekGenerationCounter(const QString& path)
try {
    const QByteArray bytes = readPrefix(path, kHeaderAreaSize);
    if (bytes.size() < kHeaderSize)
        return std::nullopt;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const auto chosen = Header::choose(p, bytes.size() >= kHeaderAreaSize ? p + kHeaderSize : nullptr);
    if (!chosen)
        return std::nullopt;
    return chosen->generation;
} catch (...) {
    logCaughtException("VaultContainer::peekGenerationCounter");
    return std::nullopt;
}

std::optional<quint64> VaultContainer::peekGenerationCounter(IVaultBlockStore& store)
try {
    if (!store.isOpen())
        return std::nullopt;
    unsigned char s0[kHeaderSize];
    unsigned char s1[kHeaderSize];
    if (!store.readAt(0, s0, kHeaderSize))
        return std::nullopt;
    const bool have1 = store.readAt(kHeaderSize, s1, kHeaderSize);
    const auto chosen = Header::choose(s0, have1 ? s1 : nullptr);
    if (!chosen)
        return std::nullopt;
    return chosen->generation;
} catch (...) {
    logCaughtException("VaultContainer::peekGenerationCounter");
    return std::nullopt;
}

bool VaultContainer::boundsAcceptable(const Header& header) const
{
    // The slot capacity is fixed by the format; a header naming any other would have the index
    // read allocate whatever it claims (up to the size of a sparse file) before it is authenticated.
    const quint64 capacity = header.formatVersion == kFormatVersion         ? kIndexCapacity
                             : header.formatVersion == kLegacyFormatVersion ? kLegacyIndexCapacity
                                                                            : 0;
    if (capacity == 0 || header.indexCapacity != capacity)
        return false;
    const qint64 fileSize = store_->size();
    if (fileSize < 0)
        return false;
    const auto size = static_cast<quint64>(fileSize);
    return header.indexLength <= header.indexCapacity && header.indexOffset <= size &&
           header.indexCapacity <= size - header.indexOffset;
}

bool VaultContainer::indexAuthenticatesAt(int slot, quint64 length, quint64 generation) const
{
    const quint64 offset = static_cast<quint64>(kHeaderAreaSize) + static_cast<quint64>(slot) * kIndexCapacity;
    const qint64 fileSize = store_->size();
    if (length < 24 + AeadCipher::kOverheadBytes || length > kIndexCapacity || fileSize < 0 ||
        offset + length > static_cast<quint64>(fileSize))
        return false;
    std::vector<unsigned char> blob(length);
    if (!store_->readAt(toSigned(offset), blob.data(), toSigned(length)))
        return false;
    const std::vector<unsigned char> aad = indexAadFor(offset, kIndexCapacity, generation, kFormatVersion);
    const bool ok =
        AeadCipher::openInPlace(vaultKey_, blob.data(), blob.data() + 24, blob.size() - 24, aad.data(), aad.size());
    secureZero(blob);
    return ok;
}

void VaultContainer::noteDamagedOtherSlot(const Header& other)
{
    if (!other.damaged())
        return;
    // The other slot is the older one when its index still opens as the previous generation,
    // or when its generation, the one field that could tell, says so.
    if (generation_ > 0 && (other.generation == generation_ - 1 ||
                            indexAuthenticatesAt(other.slot, other.indexLength, generation_ - 1)))
        return;
    // Otherwise it may have held a newer state, which the rollback record may have accepted.
    openedAtPreviousState_ = true;
    const quint64 next = generation_ == std::numeric_limits<quint64>::max() ? generation_ : generation_ + 1;
    damagedGeneration_ = std::max({damagedGeneration_, other.generation, next});
}

void VaultContainer::persistRecovery()
{
    // Committing the older state again at a generation the rollback record may already hold
    // for the lost one would let that record take it for the newer state.
    if (generation_ > damagedGeneration_)
        return;
    if (!commitIndexAndHeader()) {
        qWarning("%s", "VaultContainer: recovered by falling back to the other index slot, but could not persist "
                       "the recovery -- the vault opened successfully and remains fully usable; recovery will be "
                       "retried on the next successful open.");
    }
}

bool VaultContainer::readHeader()
{
    unsigned char s0[kHeaderSize];
    unsigned char s1[kHeaderSize];
    if (!store_->readAt(0, s0, kHeaderSize))
        return false;
    const bool have1 = store_->readAt(kHeaderSize, s1, kHeaderSize);
    const auto chosen = Header::choose(s0, have1 ? s1 : nullptr);
    if (!chosen || !boundsAcceptable(*chosen))
        return false;
    indexOffset_ = chosen->indexOffset;
    indexCapacity_ = chosen->indexCapacity;
    indexLength_ = chosen->indexLength;
    currentSlot_ = chosen->slot;
    if (vaultId_.isEmpty())
        vaultId_ = chosen->vaultId;
    formatVersion_ = chosen->formatVersion;
    generation_ = chosen->generation;
    if (chosen->slot == 1)
        noteDamagedOtherSlot(Header::parse(s0, 0));
    else if (have1)
        noteDamagedOtherSlot(Header::parse(s1, 1));
    return true;
}

bool VaultContainer::readIndex()
{
    const quint64 minimum = 24 + AeadCipher::kOverheadBytes;
    if (indexLength_ < minimum || indexLength_ > indexCapacity_)
        return false;
    std::vector<unsigned char> blob(indexLength_);
    if (!store_->readAt(toSigned(indexOffset_), blob.data(), toSigned(indexLength_)))
        return false;
    const std::vector<unsigned char> aad = indexAad();
    if (!AeadCipher::openInPlace(vaultKey_, blob.data(), blob.data() + 24, blob.size() - 24, aad.data(),
                                 aad.size())) {
        secureZero(blob);
        return false;
    }
    QByteArray json(reinterpret_cast<const char*>(blob.data()) + 25, static_cast<qsizetype>(blob.size() - minimum));
    secureZero(blob);
    const QJsonDocument document = QJsonDocument::fromJson(json);
    secureZero(json);
    if (!document.isObject())
        return false;
    const QJsonObject root = document.object();
    if (root.value(QStringLiteral("vaultId")).toString() != vaultId_)
        return false;
    const QJsonValue generationValue = root.value(QStringLiteral("generationCounter"));
    if (!generationValue.isString() || parseDecimal(generationValue) != generation_)
        return false;

    std::vector<IndexEntry> entries;
    const QJsonArray array = root.value(QStringLiteral("entries")).toArray();
    entries.reserve(static_cast<std::size_t>(array.size()));
    for (const QJsonValue& value : array) {
        const QJsonObject object = value.toObject();
        IndexEntry entry;
        entry.name = object.value(QStringLiteral("name")).toString();
        entry.size = object.value(QStringLiteral("size")).toInteger();
        entry.importedAt = QDateTime::fromString(object.value(QStringLiteral("importedAt")).toString(), Qt::ISODate);
        entry.dataOffset = toSigned(parseDecimal(object.value(QStringLiteral("dataOffset"))));
        entry.dataLength = toSigned(parseDecimal(object.value(QStringLiteral("dataLength"))));
        const QByteArray wrapped =
            QByteArray::fromBase64(object.value(QStringLiteral("wrappedFileKey")).toString().toLatin1());
        entry.wrappedFileKey.assign(wrapped.begin(), wrapped.end());
        entry.entryId = object.value(QStringLiteral("entryId")).toString();
        entries.push_back(std::move(entry));
    }
    cipherSuiteVersion_ = root.value(QStringLiteral("cipherSuiteVersion")).toInt(0);
    nextAppendOffset_ = parseDecimal(root.value(QStringLiteral("nextAppendOffset")));
    for (IndexEntry& old : entries_)
        secureZero(old.wrappedFileKey);
    entries_ = std::move(entries);
    return true;
}

bool VaultContainer::tryFallbackHeaderAndIndex()
{
    if (formatVersion_ != kFormatVersion)
        return false;
    const int other = 1 - currentSlot_;
    unsigned char bytes[kHeaderSize];
    if (!store_->readAt(other * kHeaderSize, bytes, kHeaderSize))
        return false;
    const Header header = Header::parse(bytes, other);
    if (!header.validCurrent() || !boundsAcceptable(header))
        return false;
    const quint64 failedGeneration = generation_;
    indexOffset_ = header.indexOffset;
    indexCapacity_ = header.indexCapacity;
    indexLength_ = header.indexLength;
    currentSlot_ = other;
    if (vaultId_.isEmpty())
        vaultId_ = header.vaultId;
    generation_ = header.generation;
    if (!readIndex())
        return false;
    // The header that failed named the newest state; whatever it held is lost.
    openedAtPreviousState_ = true;
    damagedGeneration_ = std::max(damagedGeneration_, failedGeneration);
    persistRecovery();
    return true;
}

std::vector<unsigned char> VaultContainer::indexAad() const
{
    return indexAadFor(indexOffset_, indexCapacity_, generation_, formatVersion_);
}

std::vector<unsigned char> VaultContainer::indexAadFor(quint64 offset, quint64 capacity, quint64 generation,
                                                       std::uint32_t formatVersion) const
{
    std::vector<unsigned char> aad;
    appendUtf8(aad, vaultId_);
    appendUtf8(aad, machineId_);
    appendU64(aad, offset);
    appendU64(aad, capacity);
    appendU64(aad, generation);
    unsigned char version[4];
    putU32(version, formatVersion);
    aad.insert(aad.end(), version, version + 4);
    return aad;
}

std::vector<unsigned char> VaultContainer::entryAad(const IndexEntry& entry) const
{
    std::vector<unsigned char> aad;
    appendUtf8(aad, vaultId_);
    appendUtf8(aad, entry.entryId);
    appendUtf8(aad, machineId_);
    return aad;
}

bool VaultContainer::writeIndex()
{
    // Never below a damaged newer state's generation (see persistRecovery).
    const quint64 previous = generation_;
    const quint64 base = std::max(generation_, damagedGeneration_);
    if (base == std::numeric_limits<quint64>::max())
        return false;
    generation_ = base + 1;
    QJsonArray array;
    for (const IndexEntry& entry : entries_) {
        QJsonObject object;
        object.insert(QStringLiteral("name"), entry.name);
        object.insert(QStringLiteral("size"), entry.size);
        object.insert(QStringLiteral("importedAt"), entry.importedAt.toUTC().toString(Qt::ISODate));
        object.insert(QStringLiteral("dataOffset"), decimal(static_cast<quint64>(entry.dataOffset)));
        object.insert(QStringLiteral("dataLength"), decimal(static_cast<quint64>(entry.dataLength)));
        const QByteArray wrapped(reinterpret_cast<const char*>(entry.wrappedFileKey.data()),
                                 static_cast<qsizetype>(entry.wrappedFileKey.size()));
        object.insert(QStringLiteral("wrappedFileKey"), QString::fromLatin1(wrapped.toBase64()));
        object.insert(QStringLiteral("entryId"), entry.entryId);
        array.append(object);
    }
    QJsonObject root;
    root.insert(QStringLiteral("vaultId"), vaultId_);
    root.insert(QStringLiteral("generationCounter"), decimal(generation_));
    root.insert(QStringLiteral("machineId"), machineId_);
    root.insert(QStringLiteral("cipherSuiteVersion"), cipherSuiteVersion_);
    root.insert(QStringLiteral("nextAppendOffset"), decimal(nextAppendOffset_));
    root.insert(QStringLiteral("entries"), array);
    QByteArray json = QJsonDocument(root).toJson(QJsonDocument::Compact);

    // nonce | suite | ciphertext | tag, sealed in place.
    const std::size_t total = 24 + AeadCipher::kOverheadBytes + static_cast<std::size_t>(json.size());
    std::vector<unsigned char> blob(total);
    randombytes_buf(blob.data(), 24);
    std::memcpy(blob.data() + 25, json.constData(), static_cast<std::size_t>(json.size()));
    secureZero(json);
    const std::vector<unsigned char> aad = indexAad();
    AeadCipher::sealInPlace(vaultKey_, blob.data(), blob.data() + 24, total - 24 - AeadCipher::kOverheadBytes,
                            aad.data(), aad.size());
    indexFull_ = total > indexCapacity_;
    if (indexFull_ || !store_->writeAt(toSigned(indexOffset_), blob.data(), toSigned(total))) {
        generation_ = previous;
        return false;
    }
    indexLength_ = total;
    return true;
}

bool VaultContainer::writeHeader(int slot)
{
    unsigned char header[kHeaderSize] = {};
    std::memcpy(header, kMagic, 8);
    putU32(header + 8, formatVersion_);
    putU32(header + 12, 0);
    putU64(header + 16, indexOffset_);
    putU64(header + 24, indexCapacity_);
    putU64(header + 32, indexLength_);
    const QByteArray id = vaultId_.toUtf8();
    std::memcpy(header + 40, id.constData(), std::min<std::size_t>(kVaultIdBytes, static_cast<std::size_t>(id.size())));
    putU64(header + 76, generation_);
    if (formatVersion_ == kFormatVersion)
        headerChecksum(header, header + 84);
    return store_->writeAt(slot * kHeaderSize, header, kHeaderSize);
}

bool VaultContainer::commitIndexAndHeader(bool* headerWritten)
{
    const quint64 savedOffset = indexOffset_;
    const quint64 savedLength = indexLength_;
    const quint64 savedGeneration = generation_;
    indexFull_ = false;
    const auto restore = [&] {
        indexOffset_ = savedOffset;
        indexLength_ = savedLength;
        generation_ = savedGeneration;
    };
    // Every caller undoes its change in memory on failure; an exception would skip that.
    try {
        if (formatVersion_ != kFormatVersion) {
            // The old single-slot layout is rewritten in place; it is migrated on open for that reason.
            if (!writeIndex() || !writeHeader(0) || !store_->flush()) {
                restore();
                return false;
            }
            return true;
        }
        const int target = 1 - currentSlot_;
        indexOffset_ = static_cast<quint64>(kHeaderAreaSize) + static_cast<quint64>(target) * indexCapacity_;
        // The header may only name an index that is already durable.
        if (!writeIndex() || !store_->flush()) {
            restore();
            return false;
        }
        if (headerWritten != nullptr)
            *headerWritten = true;
        if (!writeHeader(target) || !store_->flush()) {
            restore();
            return false;
        }
        currentSlot_ = target;
        return true;
    } catch (...) {
        restore();
        logCaughtException("VaultContainer::commitIndexAndHeader");
        return false;
    }
}

bool VaultContainer::migrateFromLegacyFormat()
{
    const quint64 slot1Start = static_cast<quint64>(kHeaderAreaSize) + kIndexCapacity;
    bool migrated = false;
    // Slot 1 lies inside the old index area; never overwrite the only copy of the old index.
    if (indexOffset_ + indexLength_ <= slot1Start && indexOffset_ <= slot1Start) {
        formatVersion_ = kFormatVersion;
        indexCapacity_ = kIndexCapacity;
        migrated = commitIndexAndHeader();
    }
    if (!migrated) {
        qWarning("%s", "VaultContainer: could not migrate this vault from format v4 to v5 (dual-slot journaling) -- "
                       "the vault opened successfully and remains fully usable at v4; migration will be retried on "
                       "the next successful open.");
        formatVersion_ = kLegacyFormatVersion;
        indexCapacity_ = kLegacyIndexCapacity;
        currentSlot_ = 0;
        // A header that reached slot 1 before the failure would outrank every later in-place commit.
        static const unsigned char zeros[kHeaderSize] = {};
        if (store_->writeAt(kHeaderSize, zeros, kHeaderSize))
            static_cast<void>(store_->flush());
    }
    return migrated;
}

}  // namespace dorvex::vault
