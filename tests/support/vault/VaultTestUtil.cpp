#include "VaultTestUtil.h"

#include <QDir>

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

quint64 le(const std::vector<unsigned char>& bytes, std::size_t at, int width)
{
    quint64 v = 0;
    for (int i = width - 1; i >= 0; --i)
        v = (v << 8) | bytes[at + static_cast<std::size_t>(i)];
    return v;
}

}  // namespace dorvex::test
