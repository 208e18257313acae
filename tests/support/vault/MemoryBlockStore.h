#pragma once

#include "vault/IVaultBlockStore.h"

#include <QString>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace dorvex::test {

// The bytes of one in-memory "file", shared so that a test can reopen it after the
// container that owned the store is gone.
struct MemoryImage {
    bool exists = false;
    bool locked = false;
    std::vector<unsigned char> bytes;
};

// Header-only so that the fuzz build can use it without the test libraries.
class MemoryBlockStore final : public vault::IVaultBlockStore {
public:
    explicit MemoryBlockStore(std::shared_ptr<MemoryImage> image) : image_(std::move(image)) {}
    ~MemoryBlockStore() override { close(); }

    MemoryBlockStore(const MemoryBlockStore&) = delete;
    MemoryBlockStore& operator=(const MemoryBlockStore&) = delete;

    static std::shared_ptr<MemoryImage> imageOf(std::vector<unsigned char> bytes)
    {
        auto image = std::make_shared<MemoryImage>();
        image->exists = true;
        image->bytes = std::move(bytes);
        return image;
    }

    [[nodiscard]] bool exists() const override { return image_->exists; }
    [[nodiscard]] bool create() override
    {
        lockedElsewhere_ = false;
        if (image_->exists)
            return false;
        if (!open())
            return false;
        image_->bytes.clear();
        return true;
    }
    [[nodiscard]] bool open() override
    {
        lockedElsewhere_ = false;
        if (open_)
            return true;
        if (image_->locked) {
            lockedElsewhere_ = true;
            return false;
        }
        image_->exists = true;
        image_->locked = true;
        open_ = true;
        return true;
    }
    void close() override
    {
        if (open_)
            image_->locked = false;
        open_ = false;
    }
    [[nodiscard]] bool isOpen() const override { return open_; }
    [[nodiscard]] QString lastFailureReason() const override
    {
        return lockedElsewhere_ ? QStringLiteral("locked") : QString();
    }
    bool rollbackFailedCreate() override
    {
        close();
        image_->exists = false;
        image_->bytes.clear();
        return true;
    }
    [[nodiscard]] qint64 size() const override { return open_ ? static_cast<qint64>(image_->bytes.size()) : 0; }
    [[nodiscard]] bool resize(qint64 newSize) override
    {
        if (!open_ || newSize < 0)
            return false;
        image_->bytes.resize(static_cast<std::size_t>(newSize));
        return true;
    }
    [[nodiscard]] bool readAt(qint64 offset, unsigned char* buffer, qint64 length) override
    {
        if (!open_ || offset < 0 || length < 0 || offset > size() || length > size() - offset)
            return false;
        std::copy_n(image_->bytes.data() + offset, length, buffer);
        return true;
    }
    [[nodiscard]] bool writeAt(qint64 offset, const unsigned char* buffer, qint64 length) override
    {
        if (!open_ || offset < 0 || length < 0 || offset > (qint64(1) << 40) || length > (qint64(1) << 40))
            return false;
        const auto end = static_cast<std::size_t>(offset + length);
        if (image_->bytes.size() < end)
            image_->bytes.resize(end);
        std::copy_n(buffer, length, image_->bytes.data() + offset);
        return true;
    }
    [[nodiscard]] bool flush() override { return open_; }

private:
    std::shared_ptr<MemoryImage> image_;
    bool open_ = false;
    bool lockedElsewhere_ = false;
};

}  // namespace dorvex::test
