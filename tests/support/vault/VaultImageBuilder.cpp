#include "VaultImageBuilder.h"

#include "crypto/AeadCipher.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <sodium.h>

#include <cstring>

namespace dorvex::test {

using crypto::AeadCipher;
using crypto::SecureBuffer;

namespace {

constexpr unsigned char kSuite = AeadCipher::kSuiteXChaCha20Poly1305;

void putLe(std::vector<unsigned char>& out, std::size_t at, quint64 v, int width)
{
    for (int i = 0; i < width; ++i)
        out[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(v >> (8 * i));
}

void appendLe(std::vector<unsigned char>& out, quint64 v, int width)
{
    for (int i = 0; i < width; ++i)
        out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void appendUtf8(std::vector<unsigned char>& out, const QString& s)
{
    const QByteArray b = s.toUtf8();
    out.insert(out.end(), b.begin(), b.end());
}

std::vector<unsigned char> nonceAndSeal(const SecureBuffer& key, const std::vector<unsigned char>& plain,
                                        const std::vector<unsigned char>& aad, unsigned char suite = kSuite)
{
    std::vector<unsigned char> nonce = AeadCipher::generateNonce();
    const std::vector<unsigned char> sealed = AeadCipher::encryptWithSuite(suite, key, nonce, plain, aad);
    nonce.insert(nonce.end(), sealed.begin(), sealed.end());
    return nonce;
}

}  // namespace

std::vector<unsigned char> buildVaultImage(const ImageLayout& layout, const SecureBuffer& vaultKey)
{
    const bool v5 = layout.formatVersion == 5;
    const quint64 capacity = v5 ? 524240 : 1048576;
    const quint64 indexOffset = 192;
    const quint64 dataStart = v5 ? 192 + 2 * capacity : 192 + capacity;
    std::vector<unsigned char> file(dataStart, 0);

    QJsonArray entries;
    for (const ImageEntry& e : layout.entries) {
        std::vector<unsigned char> aad;
        appendUtf8(aad, layout.vaultId);
        appendUtf8(aad, e.entryId);
        appendUtf8(aad, layout.machineId);
        SecureBuffer fileKey(32);
        randombytes_buf(fileKey.data(), fileKey.size());
        const std::vector<unsigned char> blob = nonceAndSeal(fileKey, e.contents, aad, layout.contentSuite);
        const std::vector<unsigned char> keyBytes(fileKey.data(), fileKey.data() + fileKey.size());
        const std::vector<unsigned char> wrapped = nonceAndSeal(vaultKey, keyBytes, aad);
        QJsonObject o;
        o.insert(QStringLiteral("name"), e.name);
        o.insert(QStringLiteral("size"), static_cast<qint64>(e.contents.size()));
        o.insert(QStringLiteral("importedAt"), e.importedAt.toUTC().toString(Qt::ISODate));
        o.insert(QStringLiteral("dataOffset"), QString::number(file.size()));
        o.insert(QStringLiteral("dataLength"), QString::number(blob.size()));
        o.insert(QStringLiteral("wrappedFileKey"),
                 QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(wrapped.data()),
                                                static_cast<qsizetype>(wrapped.size()))
                                         .toBase64()));
        o.insert(QStringLiteral("entryId"), e.entryId);
        entries.append(o);
        file.insert(file.end(), blob.begin(), blob.end());
    }
    QJsonObject root;
    root.insert(QStringLiteral("vaultId"), layout.vaultId);
    root.insert(QStringLiteral("generationCounter"), QString::number(layout.generation));
    root.insert(QStringLiteral("machineId"), layout.machineId);
    root.insert(QStringLiteral("cipherSuiteVersion"), 1);
    root.insert(QStringLiteral("nextAppendOffset"), QString::number(file.size()));
    root.insert(QStringLiteral("entries"), entries);
    const QByteArray json = QJsonDocument(root).toJson(QJsonDocument::Compact);

    std::vector<unsigned char> aad;
    appendUtf8(aad, layout.vaultId);
    appendUtf8(aad, layout.machineId);
    appendLe(aad, indexOffset, 8);
    appendLe(aad, capacity, 8);
    appendLe(aad, layout.generation, 8);
    appendLe(aad, static_cast<quint64>(layout.formatVersion), 4);
    const std::vector<unsigned char> index =
        nonceAndSeal(vaultKey, std::vector<unsigned char>(json.begin(), json.end()), aad);
    std::memcpy(file.data() + indexOffset, index.data(), index.size());

    std::memcpy(file.data(), "DRVXVLT1", 8);
    putLe(file, 8, static_cast<quint64>(layout.formatVersion), 4);
    putLe(file, 16, indexOffset, 8);
    putLe(file, 24, capacity, 8);
    putLe(file, 32, index.size(), 8);
    const QByteArray id = layout.vaultId.toUtf8();
    std::memcpy(file.data() + 40, id.constData(), std::min<std::size_t>(36, static_cast<std::size_t>(id.size())));
    putLe(file, 76, layout.generation, 8);
    if (v5) {
        unsigned char copy[84];
        std::memcpy(copy, file.data(), 84);
        std::memset(copy + 40, 0, 36);
        crypto_generichash(file.data() + 84, 12, copy, 84, nullptr, 0);
    }
    return file;
}

SecureBuffer fixtureKey()
{
    SecureBuffer key(32);
    for (std::size_t i = 0; i < key.size(); ++i)
        key.data()[i] = static_cast<unsigned char>(0xA0 + i);
    return key;
}

QString fixtureMachineId()
{
    return QStringLiteral("4d757272-6176-6f20-6669-787475726531");
}

ImageLayout fixtureSpec(int formatVersion)
{
    ImageLayout layout;
    layout.formatVersion = formatVersion;
    layout.machineId = fixtureMachineId();
    layout.vaultId = formatVersion == 5 ? QStringLiteral("5f0c1a2b-3c4d-4e5f-8a6b-7c8d9e0f1a2b")
                                      : QStringLiteral("40404040-4444-4444-8444-444444444444");
    layout.generation = formatVersion == 5 ? 7 : 3;
    const QDateTime when = QDateTime::fromString(QStringLiteral("2026-01-02T03:04:05Z"), Qt::ISODate);
    std::vector<unsigned char> pattern(1000);
    for (std::size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<unsigned char>((i * 7) % 251);
    const std::string hello = "Hello, Murravo!\n";
    layout.entries = {
        {QStringLiteral("hello.txt"), std::vector<unsigned char>(hello.begin(), hello.end()),
         QStringLiteral("11111111-2222-4333-8444-555555555555"), when},
        {QStringLiteral("empty.bin"), {}, QStringLiteral("66666666-7777-4888-9999-aaaaaaaaaaaa"), when.addSecs(60)},
        {QStringLiteral("Pattern Ä.bin"), pattern, QStringLiteral("bbbbbbbb-cccc-4ddd-8eee-ffffffffffff"),
         when.addSecs(120)},
    };
    return layout;
}

}  // namespace dorvex::test
