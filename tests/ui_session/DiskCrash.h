#pragma once

// A crash at the nth durable step of the program: the writes of core::AtomicFile (every small
// file and the vault file) and of core::SecureErase counted together. That step and every later
// one fail, so nothing more reaches the disk. Reads are not counted and still work.
#include "core/AtomicFile.h"
#include "core/SecureErase.h"

namespace dorvex::test {

class DiskCrash {
public:
    explicit DiskCrash(int at)
    {
        state() = State{at, 0, false, QString()};
        core::AtomicFile::setStepHook([](core::AtomicFile::Step step, const QString& path, int) {
            return step == core::AtomicFile::Step::Open || step == core::AtomicFile::Step::Read
                || allow(QStringLiteral("file step %1 on %2").arg(static_cast<int>(step)).arg(path));
        });
        core::SecureErase::stepHook = [](core::SecureErase::Step step) {
            return allow(QStringLiteral("erase step %1").arg(static_cast<int>(step)));
        };
    }
    ~DiskCrash()
    {
        core::AtomicFile::setStepHook({});
        core::SecureErase::stepHook = nullptr;
    }
    DiskCrash(const DiskCrash&) = delete;
    DiskCrash& operator=(const DiskCrash&) = delete;

    [[nodiscard]] static bool injected() { return state().injected; }
    [[nodiscard]] static int steps() { return state().steps; }
    // The step that failed first, for messages.
    [[nodiscard]] static QString firstFailed() { return state().firstFailed; }

private:
    struct State {
        int at = 0;
        int steps = 0;
        bool injected = false;
        QString firstFailed;
    };
    static State& state()
    {
        static State s;
        return s;
    }
    static bool allow(const QString& what)
    {
        State& s = state();
        ++s.steps;
        if (s.at > 0 && s.steps >= s.at) {
            if (!s.injected)
                s.firstFailed = what;
            s.injected = true;
            return false;
        }
        return true;
    }
};

}  // namespace dorvex::test
