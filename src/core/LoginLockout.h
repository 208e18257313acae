#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

namespace dorvex::core {

// Counts consecutive failed sign-in attempts (passwords and second-step codes alike) in a
// sealed file and imposes a growing cooldown after five. Deleting or editing the file, or
// turning the clock back, never shortens the wait.
class LoginLockout {
public:
    static constexpr int kFreeAttempts = 5;
    static constexpr int kMaxCooldownSeconds = 60;
    static constexpr int kMaxStoredCount = 1000000;
    // A file that cannot be trusted may have held the longest wait, so it costs the first count
    // whose cooldown is kMaxCooldownSeconds: neither this wait nor the next one is shortened.
    static constexpr int kPenaltyCount = 11;

    explicit LoginLockout(QString path);

    // 0 when an attempt is allowed now. May write the penalty state of a tampered file.
    [[nodiscard]] int secondsUntilNextAttemptAllowed() const;
    // true when the new state reached the disk; the in-memory count rises either way.
    [[nodiscard]] bool recordFailure();
    void recordSuccess();
    // A new account starts with a written, empty record: its key is never seen without the file,
    // which would read as a removed file (the longest wait) after a crash between the two.
    [[nodiscard]] bool startNewAccount();

    // Cooldown imposed right after the n-th consecutive failure.
    [[nodiscard]] static int cooldownSecondsFor(int failedCount);

private:
    struct State {
        int failedCount = 0;
        QDateTime cooldownUntil;
        QDateTime lastSeen;
    };

    [[nodiscard]] State readState() const;
    [[nodiscard]] bool writeState(const State& state) const;
    [[nodiscard]] static QDateTime effectiveNow(const State& state);

    // Adopts `state` as what the file should hold; keeps it for this process when it cannot
    // be written, so an unwritable file neither loses it nor restarts it at every check.
    bool record(const State& state) const;

    QString path_;
    State memory_;
    // The latest state this process could not write; it stands in for a file that cannot be
    // trusted, with its own start time.
    mutable std::optional<State> unrecorded_;
};

}  // namespace dorvex::core
