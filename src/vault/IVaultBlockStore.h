#pragma once

#include <QString>
#include <QtGlobal>

namespace dorvex::vault {

// Random-access byte store under a vault container.
class IVaultBlockStore {
public:
    virtual ~IVaultBlockStore() = default;

    [[nodiscard]] virtual bool exists() const = 0;
    [[nodiscard]] virtual bool create() = 0;
    [[nodiscard]] virtual bool open() = 0;
    virtual void close() = 0;
    [[nodiscard]] virtual bool isOpen() const = 0;
    [[nodiscard]] virtual QString lastFailureReason() const = 0;
    // Removes a half-made store after a failed creation.
    virtual bool rollbackFailedCreate() = 0;
    [[nodiscard]] virtual qint64 size() const = 0;
    [[nodiscard]] virtual bool resize(qint64 newSize) = 0;
    [[nodiscard]] virtual bool readAt(qint64 offset, unsigned char* buffer, qint64 length) = 0;
    [[nodiscard]] virtual bool writeAt(qint64 offset, const unsigned char* buffer, qint64 length) = 0;
    // Returns only once everything written so far is durable.
    [[nodiscard]] virtual bool flush() = 0;
    // A store made by create() may be kept under a provisional name until its first durable
    // commit; this gives it its real name. True when there is nothing to do.
    [[nodiscard]] virtual bool publishCreated() { return true; }
    // A hint for long writes: the bytes written at [offset, offset + length) may go to the device
    // now; with wait, returns once they have. Promises no durability (flush() does); it keeps a
    // long write at the device's pace, so that progress is honest and the final flush is short.
    virtual void writeBack(qint64 offset, qint64 length, bool wait)
    {
        static_cast<void>(offset);
        static_cast<void>(length);
        static_cast<void>(wait);
    }

protected:
    IVaultBlockStore() = default;
    IVaultBlockStore(const IVaultBlockStore&) = default;
    IVaultBlockStore& operator=(const IVaultBlockStore&) = default;
};

}  // namespace dorvex::vault
