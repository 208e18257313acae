#include "DurableSteps.h"

namespace keys_test {

namespace {

using Step = dorvex::core::AtomicFile::Step;

DurableSteps*& active()
{
    static DurableSteps* steps = nullptr;
    return steps;
}

}  // namespace

DurableSteps::DurableSteps(int crashAt) : crashAt_(crashAt)
{
    active() = this;
    previousEraseHook_ = dorvex::core::SecureErase::stepHook;
    dorvex::core::SecureErase::stepHook = &DurableSteps::eraseHook;
    dorvex::core::AtomicFile::setStepHook([this](Step step, const QString& path, int) {
        if (step == Step::Open || step == Step::Read)
            return true;
        return allow({false, static_cast<int>(step), path, false});
    });
}

DurableSteps::~DurableSteps()
{
    dorvex::core::AtomicFile::setStepHook({});
    dorvex::core::SecureErase::stepHook = previousEraseHook_;
    active() = nullptr;
}

bool DurableSteps::eraseHook(dorvex::core::SecureErase::Step step)
{
    return active() == nullptr || active()->allow({true, static_cast<int>(step), QString(), false});
}

bool DurableSteps::allow(Event event)
{
    ++steps_;
    if (crashAt_ > 0 && steps_ >= crashAt_) {
        if (!crashed_)
            crashedAt_ = QStringLiteral("%1 step %2 %3")
                             .arg(event.erase ? QStringLiteral("erase") : QStringLiteral("file"))
                             .arg(event.kind)
                             .arg(event.path);
        crashed_ = true;
        event.failed = true;
    } else if (failIf && failIf(event)) {
        event.failed = true;
    }
    events_.push_back(event);
    return !event.failed;
}

}  // namespace keys_test
