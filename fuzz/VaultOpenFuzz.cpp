// Header selection and index parsing of the vault container over arbitrary bytes.
// First input byte: bit 0 clear = the rest is the file itself (bit 1: pad it to a full
// format-5 layout); bit 0 set = the rest is an index document, sealed here into a valid
// layout so that parsing behind the authentication is reached too.
#include "MemoryBlockStore.h"
#include "crypto/AeadCipher.h"
#include "vault/VaultContainer.h"

#include <sodium.h>

#include <cstdint>
#include <cstring>

using dorvex::crypto::AeadCipher;
using dorvex::crypto::SecureBuffer;
using dorvex::vault::VaultContainer;

namespace {

const char* kMachine = "4d757272-6176-6f20-6669-787475726531";
const char* kVaultId = "5f0c1a2b-3c4d-4e5f-8a6b-7c8d9e0f1a2b";

SecureBuffer fuzzKey()
{
    SecureBuffer key(32);
    for (std::size_t i = 0; i < key.size(); ++i)
        key.data()[i] = static_cast<unsigned char>(0xA0 + i);
    return key;
}

void putLe(unsigned char* p, std::uint64_t v, int width)
{
    for (int i = 0; i < width; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::vector<unsigned char> sealIntoLayout(const SecureBuffer& key, const std::uint8_t* doc, std::size_t length)
{
    std::vector<unsigned char> file(VaultContainer::kDataRegionStart + 4096, 0);
    if (length + 41 > VaultContainer::kIndexCapacity)
        length = VaultContainer::kIndexCapacity - 41;
    std::vector<unsigned char> aad(kVaultId, kVaultId + 36);
    aad.insert(aad.end(), kMachine, kMachine + std::strlen(kMachine));
    unsigned char tail[28];
    putLe(tail, 192, 8);
    putLe(tail + 8, VaultContainer::kIndexCapacity, 8);
    putLe(tail + 16, 1, 8);
    putLe(tail + 24, 5, 4);
    aad.insert(aad.end(), tail, tail + 28);
    const std::vector<unsigned char> nonce = AeadCipher::generateNonce();
    const std::vector<unsigned char> sealed =
        AeadCipher::encrypt(key, nonce, std::vector<unsigned char>(doc, doc + length), aad);
    std::memcpy(file.data() + 192, nonce.data(), 24);
    std::memcpy(file.data() + 216, sealed.data(), sealed.size());
    std::memcpy(file.data(), "DRVXVLT1", 8);
    putLe(file.data() + 8, 5, 4);
    putLe(file.data() + 16, 192, 8);
    putLe(file.data() + 24, VaultContainer::kIndexCapacity, 8);
    putLe(file.data() + 32, 24 + sealed.size(), 8);
    std::memcpy(file.data() + 40, kVaultId, 36);
    putLe(file.data() + 76, 1, 8);
    unsigned char copy[84];
    std::memcpy(copy, file.data(), 84);
    std::memset(copy + 40, 0, 36);
    crypto_generichash(file.data() + 84, 12, copy, 84, nullptr, 0);
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    static const SecureBuffer key = fuzzKey();
    const std::uint8_t mode = data[0];
    std::vector<unsigned char> file;
    if (mode & 1) {
        file = sealIntoLayout(key, data + 1, size - 1);
    } else {
        file.assign(data + 1, data + size);
        if ((mode & 2) && file.size() < static_cast<std::size_t>(VaultContainer::kDataRegionStart))
            file.resize(static_cast<std::size_t>(VaultContainer::kDataRegionStart));
    }
    auto image = dorvex::test::MemoryBlockStore::imageOf(std::move(file));
    {
        dorvex::test::MemoryBlockStore peek(image);
        if (peek.open())
            static_cast<void>(VaultContainer::peekGenerationCounter(peek));
    }
    auto container = VaultContainer::open(std::make_unique<dorvex::test::MemoryBlockStore>(image), key,
                                          QString::fromLatin1(kMachine));
    if (!container)
        return 0;
    for (const auto& entry : container->listEntries())
        static_cast<void>(container->readFileBytes(entry.name));
    if (!container->listEntries().empty())
        static_cast<void>(container->removeFile(container->listEntries().front().name));
    return 0;
}
