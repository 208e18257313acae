#include "VaultTestUtil.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstring>

namespace dorvex::test {

crypto::SecureBuffer keyFromSeed(unsigned char seed)
{
    crypto::SecureBuffer key(32);
    for (std::size_t i = 0; i < key.size(); ++i)
        key.data()[i] = static_cast<unsigned char>(seed * 31 + i);
    return key;
}

QString testMachineId()
{
    return QStringLiteral("0123456789abcdef0123456789abcdef");
}

std::vector<unsigned char> patternBytes(std::size_t length, unsigned seed)
{
    std::vector<unsigned char> out(length);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<unsigned char>(x);
    }
    return out;
}

QString writeFile(const QString& dir, const QString& fileName, const std::vector<unsigned char>& bytes)
{
    const QString path = QDir(dir).filePath(fileName);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    return path;
}

std::optional<Contents> contentsOf(const vault::VaultContainer& container)
{
    Contents out;
    for (const auto& info : container.listEntries()) {
        auto bytes = container.readFileBytes(info.name);
        if (!bytes || static_cast<qint64>(bytes->size()) != info.size)
            return std::nullopt;
        out[info.name] = std::move(*bytes);
    }
    return out;
}

std::optional<ReopenedState> reopenCopy(const std::vector<unsigned char>& bytes, const crypto::SecureBuffer& key,
                                        const QString& machineId)
{
    auto container = vault::VaultContainer::open(
        std::make_unique<MemoryBlockStore>(MemoryBlockStore::imageOf(bytes)), key, machineId);
    if (!container)
        return std::nullopt;
    return ReopenedState{container->generationCounter(), contentsOf(*container)};
}

std::vector<unsigned char> readWholeFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray all = file.readAll();
    return {all.begin(), all.end()};
}

std::vector<RawEntry> rawEntries(const std::vector<unsigned char>& image, const crypto::SecureBuffer& key,
                                 const QString& machineId)
{
    using crypto::AeadCipher;
    int slot = -1;
    for (int s : {0, 1}) {
        const std::size_t at = static_cast<std::size_t>(s) * 96;
        if (image.size() < at + 96 || std::memcmp(image.data() + at, "DRVXVLT1", 8) != 0 || le(image, at + 8, 4) != 5)
            continue;
        if (slot < 0 || le(image, at + 76, 8) > le(image, static_cast<std::size_t>(slot) * 96 + 76, 8))
            slot = s;
    }
    if (slot < 0)
        return {};
    const std::size_t header = static_cast<std::size_t>(slot) * 96;
    const quint64 offset = le(image, header + 16, 8);
    const quint64 length = le(image, header + 32, 8);
    const QString vaultId = QString::fromUtf8(reinterpret_cast<const char*>(image.data() + header + 40), 36);
    std::vector<unsigned char> aad;
    const auto append = [&aad](const QString& text) {
        const QByteArray utf8 = text.toUtf8();
        aad.insert(aad.end(), utf8.begin(), utf8.end());
    };
    append(vaultId);
    append(machineId);
    for (const auto& [at, width] : {std::pair{16, 8}, std::pair{24, 8}, std::pair{76, 8}, std::pair{8, 4}}) {
        const quint64 v = le(image, header + static_cast<std::size_t>(at), width);
        for (int i = 0; i < width; ++i)
            aad.push_back(static_cast<unsigned char>(v >> (8 * i)));
    }
    if (length < 41 || offset + length > image.size())
        return {};
    const std::vector<unsigned char> nonce(image.begin() + static_cast<long>(offset),
                                           image.begin() + static_cast<long>(offset) + 24);
    const std::vector<unsigned char> sealed(image.begin() + static_cast<long>(offset) + 24,
                                            image.begin() + static_cast<long>(offset + length));
    const auto json = AeadCipher::decrypt(key, nonce, sealed, aad);
    if (!json)
        return {};
    const QJsonObject root =
        QJsonDocument::fromJson(QByteArray(reinterpret_cast<const char*>(json->data()), static_cast<qsizetype>(json->size())))
            .object();
    std::vector<RawEntry> out;
    for (const QJsonValue value : root.value(QStringLiteral("entries")).toArray()) {
        const QJsonObject o = value.toObject();
        RawEntry entry;
        entry.name = o.value(QStringLiteral("name")).toString();
        entry.entryId = o.value(QStringLiteral("entryId")).toString();
        for (const QString& part : {vaultId, entry.entryId, machineId}) {
            const QByteArray utf8 = part.toUtf8();
            entry.associatedData.insert(entry.associatedData.end(), utf8.begin(), utf8.end());
        }
        const QByteArray wrapped = QByteArray::fromBase64(o.value(QStringLiteral("wrappedFileKey")).toString().toLatin1());
        auto fileKey = crypto::KeyWrap::unwrap(key, std::vector<unsigned char>(wrapped.begin(), wrapped.end()),
                                               entry.associatedData);
        if (!fileKey)
            return {};
        entry.fileKey = std::move(*fileKey);
        const quint64 dataOffset = o.value(QStringLiteral("dataOffset")).toString().toULongLong();
        const quint64 dataLength = o.value(QStringLiteral("dataLength")).toString().toULongLong();
        if (dataOffset + dataLength > image.size())
            return {};
        entry.blob.assign(image.begin() + static_cast<long>(dataOffset),
                          image.begin() + static_cast<long>(dataOffset + dataLength));
        out.push_back(std::move(entry));
    }
    return out;
}

quint64 le(const std::vector<unsigned char>& bytes, std::size_t at, int width)
{
    quint64 v = 0;
    for (int i = width - 1; i >= 0; --i)
        v = (v << 8) | bytes[at + static_cast<std::size_t>(i)];
    return v;
}

}  // namespace dorvex::test
