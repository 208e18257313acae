#include "FaultInjectingBlockStore.h"

#include <utility>

namespace dorvex::test {

bool FaultPlan::shouldFail(FaultOp called)
{
    if (!enabled || called != op || failAt <= 0)
        return false;
    ++calls;
    if (calls == failAt || (persistent && calls > failAt)) {
        ++injected;
        return true;
    }
    return false;
}

FaultInjectingBlockStore::FaultInjectingBlockStore(std::unique_ptr<vault::IVaultBlockStore> inner,
                                                   std::shared_ptr<FaultPlan> plan)
    : inner_(std::move(inner)), plan_(std::move(plan))
{
}

bool FaultInjectingBlockStore::exists() const { return inner_->exists(); }
bool FaultInjectingBlockStore::create() { return inner_->create(); }
bool FaultInjectingBlockStore::open() { return inner_->open(); }
void FaultInjectingBlockStore::close() { inner_->close(); }
bool FaultInjectingBlockStore::isOpen() const { return inner_->isOpen(); }
QString FaultInjectingBlockStore::lastFailureReason() const { return inner_->lastFailureReason(); }
bool FaultInjectingBlockStore::rollbackFailedCreate() { return inner_->rollbackFailedCreate(); }
qint64 FaultInjectingBlockStore::size() const { return inner_->size(); }

bool FaultInjectingBlockStore::resize(qint64 newSize)
{
    return !plan_->shouldFail(FaultOp::Resize) && inner_->resize(newSize);
}

bool FaultInjectingBlockStore::readAt(qint64 offset, unsigned char* buffer, qint64 length)
{
    return !plan_->shouldFail(FaultOp::Read) && inner_->readAt(offset, buffer, length);
}

bool FaultInjectingBlockStore::writeAt(qint64 offset, const unsigned char* buffer, qint64 length)
{
    if (plan_->shouldFail(FaultOp::Write)) {
        static_cast<void>(inner_->writeAt(offset, buffer, length / 2));
        return false;
    }
    return inner_->writeAt(offset, buffer, length);
}

bool FaultInjectingBlockStore::flush()
{
    // A failed flush still leaves the bytes with the inner store: the system may write them later.
    const bool innerOk = inner_->flush();
    return !plan_->shouldFail(FaultOp::Flush) && innerOk;
}

}  // namespace dorvex::test
