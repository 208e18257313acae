#pragma once

#include <QString>

namespace dorvex::core {

// The idle-lock timeout in its sealed file; read afresh on every query so a change applies at
// the next timer restart.
class IdleLockSettings {
public:
    static constexpr int kDefaultMinutes = 15;
    static constexpr int kMaxMinutes = 1440;

    explicit IdleLockSettings(QString path);

    // A missing or damaged file yields the default, never a weaker lock.
    [[nodiscard]] int timeoutMinutes() const;
    [[nodiscard]] bool setTimeoutMinutes(int minutes);
    [[nodiscard]] bool writeTimeoutMinutes(int minutes) const;

private:
    QString path_;
};

}  // namespace dorvex::core
