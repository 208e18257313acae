#include "core/LoginLockout.h"

#include "core/Clock.h"
#include "core/LocalIntegrityKey.h"
#include "core/SealedFile.h"

#include <QJsonObject>

#include <algorithm>
#include <utility>

namespace dorvex::core {

namespace {

QString instantText(const QDateTime& t) { return t.isValid() ? t.toUTC().toString(Qt::ISODate) : QString(); }

QDateTime instantFrom(const QJsonValue& v)
{
    QDateTime t = QDateTime::fromString(v.toString(), Qt::ISODate);
    return t.isValid() ? t.toUTC() : QDateTime();
}

}  // namespace

LoginLockout::LoginLockout(QString path) : path_(std::move(path)) {}

int LoginLockout::cooldownSecondsFor(int failedCount)
{
    if (failedCount <= kFreeAttempts)
        return 0;
    const int exponent = std::min(failedCount - kFreeAttempts, 30);
    return static_cast<int>(std::min<long long>(1LL << exponent, kMaxCooldownSeconds));
}

QDateTime LoginLockout::effectiveNow(const State& state)
{
    const QDateTime now = Clock::nowUtc();
    if (state.lastSeen.isValid() && state.lastSeen > now)
        return state.lastSeen;
    return now;
}

LoginLockout::State LoginLockout::readState() const
{
    State file;
    const QString keyPath = path_ + QStringLiteral(".key");
    bool trusted = true;

    // Reading never makes a key: a key written without its file would read as a removed file.
    const SealedReadResult read = SealedFile::readAuthenticated(path_, SealedKeySource::Load);
    switch (read.status) {
    case SealedReadStatus::Ok:
        file.failedCount = std::clamp(read.object.value(QStringLiteral("failedCount")).toInt(0), 0, kMaxStoredCount);
        file.cooldownUntil = instantFrom(read.object.value(QStringLiteral("cooldownUntil")));
        file.lastSeen = instantFrom(read.object.value(QStringLiteral("lastSeen")));
        break;
    case SealedReadStatus::NotAnObject:
        trusted = false;
        break;
    case SealedReadStatus::NotOpened:
        // A lost Keychain root is not tampering; anything else is.
        trusted = LocalIntegrityKey::isTpmRootUnavailable(keyPath);
        break;
    case SealedReadStatus::Absent:
        // A key without its file means the file was removed.
        trusted = !LocalIntegrityKey::exists(keyPath) || LocalIntegrityKey::isTpmRootUnavailable(keyPath);
        break;
    }

    if (!trusted) {
        if (unrecorded_) {
            file = *unrecorded_;
        } else {
            file.lastSeen = Clock::nowUtc();
            file.failedCount = std::max(file.failedCount, kPenaltyCount);
            file.cooldownUntil = file.lastSeen.addSecs(cooldownSecondsFor(file.failedCount));
        }
        (void)record(file);
    }

    // The in-memory count is the authority within one process.
    if (memory_.failedCount > file.failedCount)
        return memory_;
    return file;
}

bool LoginLockout::writeState(const State& state) const
{
    QJsonObject object;
    object.insert(QStringLiteral("failedCount"), state.failedCount);
    object.insert(QStringLiteral("cooldownUntil"), instantText(state.cooldownUntil));
    object.insert(QStringLiteral("lastSeen"), instantText(state.lastSeen));
    return SealedFile::writeAuthenticated(path_, object);
}

bool LoginLockout::record(const State& state) const
{
    if (writeState(state)) {
        unrecorded_.reset();
        return true;
    }
    unrecorded_ = state;
    return false;
}

int LoginLockout::secondsUntilNextAttemptAllowed() const
{
    const State state = readState();
    if (!state.cooldownUntil.isValid())
        return 0;
    const QDateTime now = effectiveNow(state);
    if (state.cooldownUntil <= now)
        return 0;
    return static_cast<int>(now.secsTo(state.cooldownUntil));
}

bool LoginLockout::recordFailure()
{
    State state = readState();
    const QDateTime now = effectiveNow(state);
    state.failedCount += 1;
    state.lastSeen = now;
    state.cooldownUntil =
        state.failedCount > kFreeAttempts ? now.addSecs(cooldownSecondsFor(state.failedCount)) : QDateTime();
    memory_ = state;
    return record(state);
}

void LoginLockout::recordSuccess()
{
    memory_ = State{0, QDateTime(), Clock::nowUtc()};
    (void)record(memory_);
}

bool LoginLockout::startNewAccount()
{
    memory_ = State{0, QDateTime(), Clock::nowUtc()};
    return record(memory_);
}

}  // namespace dorvex::core
