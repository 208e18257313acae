#include "crypto/SelfTest.h"

#include "crypto/AeadCipher.h"
#include "crypto/Sha1.h"

#include <QByteArray>

#include <string>

namespace dorvex::crypto {

namespace {

std::vector<unsigned char> fromHex(const char* hex)
{
    const QByteArray raw = QByteArray::fromHex(QByteArray(hex));
    return std::vector<unsigned char>(raw.begin(), raw.end());
}

std::vector<unsigned char> bytes(const std::string& s) { return {s.begin(), s.end()}; }

template <typename Digest>
bool sameDigest(const Digest& d, const char* hex)
{
    return std::vector<unsigned char>(d.begin(), d.end()) == fromHex(hex);
}

SecureBuffer counting(unsigned char first)
{
    SecureBuffer key(32);
    for (int i = 0; i < 32; ++i)
        key.data()[i] = static_cast<unsigned char>(first + i);
    return key;
}

bool aeadRoundTrip(unsigned char suite, const char* expectedHex)
{
    const SecureBuffer key = counting(0);
    std::vector<unsigned char> nonce(24);
    for (int i = 0; i < 24; ++i)
        nonce[i] = static_cast<unsigned char>(0x40 + i);
    const auto plain = bytes("Murravo known-answer self-test");
    const auto ad = bytes("kat");
    const auto sealed = AeadCipher::encryptWithSuite(suite, key, nonce, plain, ad);
    if (sealed != fromHex(expectedHex))
        return false;
    const auto opened = AeadCipher::decrypt(key, nonce, sealed, ad);
    if (!opened || *opened != plain)
        return false;
    auto forged = sealed;
    forged.back() ^= 1;
    return !AeadCipher::decrypt(key, nonce, forged, ad).has_value();
}

}  // namespace

bool runSelfTest()
{
    try {
        const std::string abc = "abc";
        if (!sameDigest(Sha1::hash(reinterpret_cast<const unsigned char*>(abc.data()), abc.size()),
                        "a9993e364706816aba3e25717850c26c9cd0d89d"))
            return false;
        // RFC 2202, test case 2.
        if (!sameDigest(HmacSha1::compute(bytes("Jefe"), bytes("what do ya want for nothing?")),
                        "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"))
            return false;
        if (AeadCipher::usingHardwareAes()
            && !aeadRoundTrip(AeadCipher::kSuiteAes256Gcm,
                              "00afccdc51474ae823a6aa7841f54972350ab1372e97466a4f116a3a80e467a3c63e5ffa8c76b7fc66f1f2"
                              "35a0a4aa"))
            return false;
        if (!aeadRoundTrip(AeadCipher::kSuiteXChaCha20Poly1305,
                           "01994c7702b1961636e49ae8c9c1b104fce1cdc8b6332a36f60c1c89207a70ceb5ece294a0b5c96ac98bd52a"
                           "aae3f8"))
            return false;
        const SecureBuffer combined = KeyCombiner::combine(counting(0), counting(0xa0), "murravo-kat", 32);
        const std::vector<unsigned char> got(combined.data(), combined.data() + combined.size());
        return got == fromHex("f9b21a88cf22f9294e86a81e252b045dc8ee6a670ab3310e894956ad1db215ae");
    } catch (...) {
        return false;
    }
}

}  // namespace dorvex::crypto
