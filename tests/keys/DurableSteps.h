#pragma once

// Counts, in one sequence, every step by which the program changes its files: AtomicFile's
// (which the vault file's writes share) and SecureErase's. A step can be failed once, or the
// process "crashes" at one: it and every later changing step fail, so nothing more reaches the
// disk. Reads are let through and not counted.
#include "core/AtomicFile.h"
#include "core/SecureErase.h"

#include <QString>

#include <functional>
#include <vector>

namespace keys_test {

class DurableSteps {
public:
    struct Event {
        bool erase = false;  // a SecureErase step (no path), else an AtomicFile one
        int kind = 0;        // AtomicFile::Step or SecureErase::Step
        QString path;
        bool failed = false;
    };

    // crashAt 0: no crash, the steps are only counted (and failed by failIf).
    explicit DurableSteps(int crashAt = 0);
    ~DurableSteps();
    DurableSteps(const DurableSteps&) = delete;
    DurableSteps& operator=(const DurableSteps&) = delete;

    // Fails the steps it accepts (not as a crash: later steps still run).
    std::function<bool(const Event&)> failIf;

    [[nodiscard]] int steps() const { return steps_; }
    [[nodiscard]] bool crashed() const { return crashed_; }
    [[nodiscard]] const std::vector<Event>& events() const { return events_; }
    [[nodiscard]] QString crashedAt() const { return crashedAt_; }

    [[nodiscard]] static bool isFile(const Event& e, dorvex::core::AtomicFile::Step step)
    {
        return !e.erase && e.kind == static_cast<int>(step);
    }
    [[nodiscard]] static bool isErase(const Event& e, dorvex::core::SecureErase::Step step)
    {
        return e.erase && e.kind == static_cast<int>(step);
    }

private:
    bool allow(Event event);
    static bool eraseHook(dorvex::core::SecureErase::Step step);

    int crashAt_ = 0;
    int steps_ = 0;
    bool crashed_ = false;
    QString crashedAt_;
    std::vector<Event> events_;
    bool (*previousEraseHook_)(dorvex::core::SecureErase::Step) = nullptr;
};

}  // namespace keys_test
