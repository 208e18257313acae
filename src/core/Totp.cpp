#include "core/Totp.h"

#include "core/Clock.h"
#include "crypto/Sha1.h"

#include <QUrl>

#include <sodium.h>

#include <vector>

namespace dorvex::core {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";

long long effectiveTime(long long unixTime) {
    return unixTime < 0 ? static_cast<long long>(Clock::nowSecsSinceEpoch()) : unixTime;
}

bool isSkipped(QChar c) {
    return c == QLatin1Char('=') || c == QLatin1Char('-') || c == QLatin1Char('\t') || c == QLatin1Char('\n') ||
           c == QLatin1Char('\v') || c == QLatin1Char('\f') || c == QLatin1Char('\r') || c == QLatin1Char(' ') ||
           c.isSpace();
}

}  // namespace

crypto::SecureBuffer Totp::generateSecret() {
    crypto::detail::ensureSodiumInitialized();
    crypto::SecureBuffer secret(kSecretBytes);
    randombytes_buf(secret.data(), secret.size());
    return secret;
}

QString Totp::base32Encode(const crypto::SecureBuffer& data) {
    QString out;
    out.reserve(static_cast<qsizetype>((data.size() + 4) / 5 * 8));
    unsigned int buffer = 0;
    int pending = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        buffer = (buffer << 8) | data.data()[i];
        pending += 8;
        while (pending >= 5) {
            out.append(QLatin1Char(kAlphabet[(buffer >> (pending - 5)) & 0x1F]));
            pending -= 5;
        }
    }
    if (pending > 0) out.append(QLatin1Char(kAlphabet[(buffer << (5 - pending)) & 0x1F]));
    crypto::secureZero(reinterpret_cast<unsigned char*>(&buffer), sizeof buffer);
    while (out.size() % 8 != 0) out.append(QLatin1Char('='));
    return out;
}

std::optional<crypto::SecureBuffer> Totp::base32Decode(const QString& text) {
    if (text.isEmpty()) return std::nullopt;
    // Room for every byte the text can hold, so that no push_back leaves a copy behind.
    std::vector<unsigned char> bytes;
    bytes.reserve(static_cast<std::size_t>(text.size()) * 5 / 8 + 1);
    unsigned int buffer = 0;
    int pending = 0;
    const auto wipe = [&] {
        crypto::secureZero(bytes);
        crypto::secureZero(reinterpret_cast<unsigned char*>(&buffer), sizeof buffer);
    };
    for (QChar c : text) {
        if (isSkipped(c)) continue;
        const QChar upper = c.toUpper();
        int value = -1;
        if (upper.unicode() < 128) {
            for (int i = 0; i < 32; ++i) {
                if (kAlphabet[i] == static_cast<char>(upper.unicode())) {
                    value = i;
                    break;
                }
            }
        }
        if (value < 0) {
            wipe();
            return std::nullopt;
        }
        buffer = ((buffer << 5) | static_cast<unsigned int>(value)) & 0xFFFFu;
        pending += 5;
        if (pending >= 8) {
            bytes.push_back(static_cast<unsigned char>((buffer >> (pending - 8)) & 0xFF));
            pending -= 8;
        }
    }
    std::optional<crypto::SecureBuffer> decoded;
    if (!bytes.empty()) decoded.emplace(bytes.data(), bytes.size());
    wipe();
    return decoded;
}

QString Totp::generateHotp(const crypto::SecureBuffer& secret, unsigned long long counter, int digits) {
    std::vector<unsigned char> message(8);
    for (int i = 7; i >= 0; --i) {
        message[static_cast<std::size_t>(i)] = static_cast<unsigned char>(counter & 0xFF);
        counter >>= 8;
    }
    std::vector<unsigned char> key(secret.data(), secret.data() + secret.size());
    crypto::Sha1Digest mac = crypto::HmacSha1::compute(key, message);
    crypto::secureZero(key);
    const unsigned int offset = mac[19] & 0x0F;
    const std::uint32_t value = (static_cast<std::uint32_t>(mac[offset] & 0x7F) << 24) |
                                (static_cast<std::uint32_t>(mac[offset + 1]) << 16) |
                                (static_cast<std::uint32_t>(mac[offset + 2]) << 8) |
                                static_cast<std::uint32_t>(mac[offset + 3]);
    crypto::secureZero(mac.data(), static_cast<unsigned long>(mac.size()));
    std::uint32_t modulus = 1;
    for (int i = 0; i < digits; ++i) modulus *= 10u;
    return QString::number(value % modulus).rightJustified(digits > 0 ? digits : 0, QLatin1Char('0'));
}

QString Totp::generateTotp(const crypto::SecureBuffer& secret, long long unixTime, int period, int digits) {
    const long long time = effectiveTime(unixTime);
    return generateHotp(secret, static_cast<unsigned long long>(time / period), digits);
}

std::optional<unsigned long long> Totp::matchedCounter(const crypto::SecureBuffer& secret, const QString& code,
                                                      long long unixTime, int period, int digits, int window) {
    if (window < 0) return std::nullopt;
    const long long centre = effectiveTime(unixTime) / period;
    const QByteArray given = code.toUtf8();
    for (long long c = centre - window; c <= centre + window; ++c) {
        if (c < 0) continue;
        // A valid code is a secret while its step lasts.
        QString expected = generateHotp(secret, static_cast<unsigned long long>(c), digits);
        QByteArray candidate = expected.toUtf8();
        const bool same =
            candidate.size() == given.size() &&
            sodium_memcmp(candidate.constData(), given.constData(), static_cast<std::size_t>(given.size())) == 0;
        crypto::secureZero(expected);
        crypto::secureZero(candidate);
        if (same) return static_cast<unsigned long long>(c);
    }
    return std::nullopt;
}

bool Totp::verifyTotp(const crypto::SecureBuffer& secret, const QString& code, long long unixTime, int period,
                      int digits, int window) {
    return matchedCounter(secret, code, unixTime, period, digits, window).has_value();
}

QString Totp::otpauthUri(const crypto::SecureBuffer& secret, const QString& accountName, const QString& issuer) {
    const QString label = QString::fromLatin1(QUrl::toPercentEncoding(issuer + QLatin1Char(':') + accountName, ":"));
    const QString issuerText = QString::fromLatin1(QUrl::toPercentEncoding(issuer));
    // The URI is the caller's to wipe; this copy of the secret's text dies here.
    QString secretText = base32Encode(secret);
    QString uri = QStringLiteral("otpauth://totp/%1?secret=%2&issuer=%3&algorithm=SHA1&digits=%4&period=%5")
                      .arg(label, secretText, issuerText, QString::number(kDigits), QString::number(kPeriod));
    crypto::secureZero(secretText);
    return uri;
}

}  // namespace dorvex::core
