#pragma once

#include <QDateTime>

#include <cstdint>

namespace dorvex::core {

// The one source of wall-clock time for TOTP, lockout and every stored instant, so that
// tests can set the time to the second.
class Clock {
public:
    using Source = std::int64_t (*)();  // milliseconds since the Unix epoch, UTC

    [[nodiscard]] static std::int64_t nowMsecsSinceEpoch();
    [[nodiscard]] static std::int64_t nowSecsSinceEpoch();
    [[nodiscard]] static QDateTime nowUtc();

    // Replaces the time source; nullptr restores the system clock.
    static void setSource(Source source);
};

}  // namespace dorvex::core
