#pragma once

#include <QString>

namespace dorvex::app {

// An exclusive hold on the data folder for as long as the process lives, so that a second
// start on the same folder changes nothing. It is a kernel lock on ".instance.lock" in the
// folder: however the holder ends, even killed, the system lets go of it.
class InstanceLock {
public:
    enum class Outcome {
        Acquired,
        HeldElsewhere,  // another process holds the folder
        Failed,         // the lock file could not be opened or locked
    };

    static constexpr const char* kFileName = ".instance.lock";

    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(InstanceLock&& other) noexcept;
    InstanceLock& operator=(InstanceLock&& other) noexcept;
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Never waits: a folder held by another process answers HeldElsewhere at once.
    [[nodiscard]] Outcome acquire(const QString& dataDir);
    [[nodiscard]] bool held() const { return handle_ >= 0; }

private:
    void release();

    int handle_ = -1;
};

}  // namespace dorvex::app
