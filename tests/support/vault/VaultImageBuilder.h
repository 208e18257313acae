#pragma once

#include "crypto/SecureBuffer.h"

#include <QDateTime>
#include <QString>

#include <vector>

namespace dorvex::test {

// Builds vault files byte by byte, independently of the container, with libsodium's one-shot
// functions and by default the portable XChaCha20-Poly1305 suite.
struct ImageEntry {
    QString name;
    std::vector<unsigned char> contents;
    QString entryId;
    QDateTime importedAt;
};

struct ImageLayout {
    int formatVersion = 5;  // 5 or 4
    QString vaultId;
    QString machineId;
    quint64 generation = 1;
    std::vector<ImageEntry> entries;
    unsigned char contentSuite = 1;  // the suite of the entry blobs (0 needs the processor's AES)
};

[[nodiscard]] std::vector<unsigned char> buildVaultImage(const ImageLayout& layout, const crypto::SecureBuffer& vaultKey);

// The frozen fixtures under tests/data/vault/ and what they hold.
[[nodiscard]] crypto::SecureBuffer fixtureKey();
[[nodiscard]] QString fixtureMachineId();
[[nodiscard]] ImageLayout fixtureSpec(int formatVersion);

}  // namespace dorvex::test
