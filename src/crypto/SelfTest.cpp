#include "crypto/SelfTest.h"

#include "crypto/AeadCipher.h"
#include "crypto/AeadStream.h"
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

// The inputs of the known answers below.
struct KnownAnswer {
    SecureBuffer key = counting(0);
    std::vector<unsigned char> nonce = nonceBytes();
    std::vector<unsigned char> plain = bytes("Murravo known-answer self-test");
    std::vector<unsigned char> ad = bytes("kat");

    static std::vector<unsigned char> nonceBytes()
    {
        std::vector<unsigned char> nonce(24);
        for (int i = 0; i < 24; ++i)
            nonce[i] = static_cast<unsigned char>(0x40 + i);
        return nonce;
    }
};

bool aeadRoundTrip(unsigned char suite, const char* expectedHex)
{
    const KnownAnswer k;
    const auto sealed = AeadCipher::encryptWithSuite(suite, k.key, k.nonce, k.plain, k.ad);
    if (sealed != fromHex(expectedHex))
        return false;
    const auto opened = AeadCipher::decrypt(k.key, k.nonce, sealed, k.ad);
    if (!opened || *opened != k.plain)
        return false;
    auto forged = sealed;
    forged.back() ^= 1;
    return !AeadCipher::decrypt(k.key, k.nonce, forged, k.ad).has_value();
}

// The streamed form of the same known answer, cut in two uneven pieces, then opened again.
bool streamRoundTrip(unsigned char suite, const char* expectedHex)
{
    const KnownAnswer k;
    auto value = k.plain;
    const std::size_t n = value.size();
    value.insert(value.begin(), suite);
    value.resize(n + AeadCipher::kOverheadBytes);
    AeadStream sealer(AeadStream::Direction::Seal, suite, k.key, k.nonce.data(), k.ad.data(), k.ad.size());
    if (!sealer.update(value.data() + 1, value.data() + 1, 7) || !sealer.update(value.data() + 8, value.data() + 8, n - 7)
        || !sealer.finishSeal(value.data() + 1 + n) || value != fromHex(expectedHex))
        return false;
    AeadStream opener(AeadStream::Direction::Open, suite, k.key, k.nonce.data(), k.ad.data(), k.ad.size());
    return opener.update(value.data() + 1, value.data() + 1, n) && opener.finishOpen(value.data() + 1 + n)
        && std::vector<unsigned char>(value.begin() + 1, value.begin() + 1 + static_cast<long>(n)) == k.plain;
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
        static const char* const kAesAnswer =
            "00afccdc51474ae823a6aa7841f54972350ab1372e97466a4f116a3a80e467a3c63e5ffa8c76b7fc66f1f235a0a4aa";
        static const char* const kXChaChaAnswer =
            "01994c7702b1961636e49ae8c9c1b104fce1cdc8b6332a36f60c1c89207a70ceb5ece294a0b5c96ac98bd52aaae3f8";
        if (AeadCipher::usingHardwareAes() && !aeadRoundTrip(AeadCipher::kSuiteAes256Gcm, kAesAnswer))
            return false;
        if (!aeadRoundTrip(AeadCipher::kSuiteXChaCha20Poly1305, kXChaChaAnswer))
            return false;
        // Entry contents go through the streamed forms (OpenSSL's AES-256-GCM on any processor).
        if (!streamRoundTrip(AeadCipher::kSuiteAes256Gcm, kAesAnswer)
            || !streamRoundTrip(AeadCipher::kSuiteXChaCha20Poly1305, kXChaChaAnswer))
            return false;
        const SecureBuffer combined = KeyCombiner::combine(counting(0), counting(0xa0), "murravo-kat", 32);
        const std::vector<unsigned char> got(combined.data(), combined.data() + combined.size());
        return got == fromHex("f9b21a88cf22f9294e86a81e252b045dc8ee6a670ab3310e894956ad1db215ae");
    } catch (...) {
        return false;
    }
}

}  // namespace dorvex::crypto
