#pragma once

// Fails the file steps of core::AtomicFile by count while it lives: the 1st, 2nd, 3rd... step
// from construction on. Only for test binaries that link murravo_core.
#include "core/AtomicFile.h"

#include <memory>

namespace dorvex::test {

class FileFaults {
public:
    enum class Mode {
        Once,        // only that step fails; later ones run
        FromThenOn,  // a crash at that step: it and every later step fail, nothing more reaches the disk
    };

    // failAt 0 only counts.
    explicit FileFaults(int failAt = 0, Mode mode = Mode::Once) : state_(std::make_shared<State>())
    {
        state_->failAt = failAt;
        state_->mode = mode;
        core::AtomicFile::setStepHook([state = state_](core::AtomicFile::Step step, const QString& path, int) {
            ++state->steps;
            const bool fail = state->failAt > 0 && (state->mode == Mode::Once ? state->steps == state->failAt
                                                                              : state->steps >= state->failAt);
            if (fail && !state->injected)
                state->firstFailed = QStringLiteral("step kind %1 on %2").arg(static_cast<int>(step)).arg(path);
            state->injected = state->injected || fail;
            return !fail;
        });
    }
    ~FileFaults() { core::AtomicFile::setStepHook({}); }
    FileFaults(const FileFaults&) = delete;
    FileFaults& operator=(const FileFaults&) = delete;

    [[nodiscard]] int steps() const { return state_->steps; }
    [[nodiscard]] bool injected() const { return state_->injected; }
    // The first step failed, for messages: its kind (AtomicFile::Step) and path.
    [[nodiscard]] QString firstFailed() const { return state_->firstFailed; }

private:
    struct State {
        int failAt = 0;
        Mode mode = Mode::Once;
        int steps = 0;
        bool injected = false;
        QString firstFailed;
    };
    std::shared_ptr<State> state_;
};

}  // namespace dorvex::test
