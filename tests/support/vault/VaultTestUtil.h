#pragma once

#include "MemoryBlockStore.h"
#include "TestSupport.h"
#include "crypto/AeadCipher.h"
#include "crypto/SecureBuffer.h"
#include "vault/VaultContainer.h"

#include <QFile>
#include <QString>

#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace dorvex::test {

using Contents = std::map<QString, std::vector<unsigned char>>;

[[nodiscard]] crypto::SecureBuffer keyFromSeed(unsigned char seed);
[[nodiscard]] QString testMachineId();
[[nodiscard]] std::vector<unsigned char> patternBytes(std::size_t length, unsigned seed);
// Writes bytes to a new file in dir and returns its path.
QString writeFile(const QString& dir, const QString& fileName, const std::vector<unsigned char>& bytes);

// Every entry of an open container decrypted; no value when any entry fails to decrypt.
[[nodiscard]] std::optional<Contents> contentsOf(const vault::VaultContainer& container);

struct ReopenedState {
    quint64 generation = 0;
    std::optional<Contents> contents;  // no value when some listed entry does not decrypt
};

// Opens a private copy of the bytes (the original is never changed).
[[nodiscard]] std::optional<ReopenedState> reopenCopy(const std::vector<unsigned char>& bytes,
                                                      const crypto::SecureBuffer& key,
                                                      const QString& machineId = testMachineId());

[[nodiscard]] std::vector<unsigned char> readWholeFile(const QString& path);

// One entry of a vault image as stored, read with the one-shot functions only (independent of
// the container): for checking blobs byte for byte.
struct RawEntry {
    QString name;
    QString entryId;
    crypto::SecureBuffer fileKey;
    std::vector<unsigned char> blob;  // nonce | suite | ciphertext | tag
    std::vector<unsigned char> associatedData;
};
// The entries of the newest valid format-5 header's index; empty when it does not open.
[[nodiscard]] std::vector<RawEntry> rawEntries(const std::vector<unsigned char>& image, const crypto::SecureBuffer& key,
                                               const QString& machineId = testMachineId());

// The little-endian unsigned integer of `width` bytes at `at`.
[[nodiscard]] quint64 le(const std::vector<unsigned char>& bytes, std::size_t at, int width);

}  // namespace dorvex::test
