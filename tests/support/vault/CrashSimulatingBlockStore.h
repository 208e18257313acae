#pragma once

#include "MemoryBlockStore.h"

#include <functional>
#include <memory>
#include <vector>

namespace dorvex::test {

// Records every change an operation makes to an in-memory file, so that the file as a crash
// at any point would have left it can be rebuilt afterwards.
class CrashRecorder {
public:
    struct Op {
        enum Kind { Write, Resize, Flush } kind = Write;
        qint64 offset = 0;
        std::vector<unsigned char> data;
        qint64 newSize = 0;
    };

    explicit CrashRecorder(const MemoryImage& initial) : initial_(initial) {}

    // Starts recording afresh from the file as it is now.
    void restart(const MemoryImage& current)
    {
        initial_ = current;
        ops_.clear();
    }
    void record(Op op) { ops_.push_back(std::move(op)); }
    [[nodiscard]] const std::vector<Op>& ops() const { return ops_; }

    // Every image a crash could leave: for each point before an operation, the unflushed
    // changes lost (all, some when few, or none) and the write in flight torn in half.
    // Returns how many images were visited.
    int forEachCrashImage(const std::function<void(const std::vector<unsigned char>&)>& visit) const;
    // The same, with the crash point: the number of recorded operations begun before the crash
    // (the one at that index may be the write torn in half).
    int forEachCrashImage(const std::function<void(const std::vector<unsigned char>&, std::size_t point)>& visit) const;

private:
    MemoryImage initial_;
    std::vector<Op> ops_;
};

class CrashSimulatingBlockStore final : public vault::IVaultBlockStore {
public:
    CrashSimulatingBlockStore(std::shared_ptr<MemoryImage> image, std::shared_ptr<CrashRecorder> recorder);

    [[nodiscard]] bool exists() const override { return inner_.exists(); }
    [[nodiscard]] bool create() override { return inner_.create(); }
    [[nodiscard]] bool open() override { return inner_.open(); }
    void close() override { inner_.close(); }
    [[nodiscard]] bool isOpen() const override { return inner_.isOpen(); }
    [[nodiscard]] QString lastFailureReason() const override { return inner_.lastFailureReason(); }
    bool rollbackFailedCreate() override { return inner_.rollbackFailedCreate(); }
    [[nodiscard]] qint64 size() const override { return inner_.size(); }
    [[nodiscard]] bool resize(qint64 newSize) override;
    [[nodiscard]] bool readAt(qint64 offset, unsigned char* buffer, qint64 length) override
    {
        return inner_.readAt(offset, buffer, length);
    }
    [[nodiscard]] bool writeAt(qint64 offset, const unsigned char* buffer, qint64 length) override;
    [[nodiscard]] bool flush() override;

private:
    MemoryBlockStore inner_;
    std::shared_ptr<CrashRecorder> recorder_;
};

}  // namespace dorvex::test
