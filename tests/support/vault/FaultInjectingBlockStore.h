#pragma once

#include "vault/IVaultBlockStore.h"

#include <memory>

namespace dorvex::test {

enum class FaultOp { Read, Write, Flush, Resize };

// Which call fails: the k-th call of one operation, only that call (transient) or every call
// from it on (persistent). A failing write first writes half of its bytes, as a torn write would.
struct FaultPlan {
    FaultOp op = FaultOp::Write;
    int failAt = 0;  // 1-based; 0 never fails
    bool persistent = false;
    bool enabled = true;
    int calls = 0;
    int injected = 0;

    [[nodiscard]] bool shouldFail(FaultOp called);
};

class FaultInjectingBlockStore final : public vault::IVaultBlockStore {
public:
    FaultInjectingBlockStore(std::unique_ptr<vault::IVaultBlockStore> inner, std::shared_ptr<FaultPlan> plan);

    [[nodiscard]] bool exists() const override;
    [[nodiscard]] bool create() override;
    [[nodiscard]] bool open() override;
    void close() override;
    [[nodiscard]] bool isOpen() const override;
    [[nodiscard]] QString lastFailureReason() const override;
    bool rollbackFailedCreate() override;
    [[nodiscard]] qint64 size() const override;
    [[nodiscard]] bool resize(qint64 newSize) override;
    [[nodiscard]] bool readAt(qint64 offset, unsigned char* buffer, qint64 length) override;
    [[nodiscard]] bool writeAt(qint64 offset, const unsigned char* buffer, qint64 length) override;
    [[nodiscard]] bool flush() override;

private:
    std::unique_ptr<vault::IVaultBlockStore> inner_;
    std::shared_ptr<FaultPlan> plan_;
};

}  // namespace dorvex::test
