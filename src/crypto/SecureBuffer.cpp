#include "crypto/SecureBuffer.h"

#include <QByteArray>
#include <QString>
#include <sodium.h>

#include <cstring>

namespace dorvex::crypto {

namespace detail {
int ensureSodiumInitialized()
{
    static const int result = sodium_init();
    return result;
}
}  // namespace detail

namespace {

struct ScrubSlot {
    std::atomic<std::int32_t> state{0};  // 0 free, 1 being claimed, 2 registered
    void* address = nullptr;
    std::uint64_t length = 0;
};

ScrubSlot g_slots[CrashScrubRegistry::kSlots];

static_assert(std::atomic<std::int32_t>::is_always_lock_free, "the crash handler needs lock-free slots");

}  // namespace

int CrashScrubRegistry::registerRegion(void* address, unsigned long length) noexcept
{
    if (address == nullptr || length == 0)
        return -1;
    for (int i = 0; i < kSlots; ++i) {
        std::int32_t expected = 0;
        if (g_slots[i].state.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
            g_slots[i].address = address;
            g_slots[i].length = length;
            g_slots[i].state.store(2, std::memory_order_release);
            return i;
        }
    }
    return -1;
}

void CrashScrubRegistry::unregisterRegion(int slot) noexcept
{
    if (slot < 0 || slot >= kSlots)
        return;
    g_slots[slot].state.store(0, std::memory_order_release);
}

void CrashScrubRegistry::scrubAll() noexcept
{
    for (auto& slot : g_slots) {
        if (slot.state.load(std::memory_order_acquire) == 2)
            sodium_memzero(slot.address, static_cast<size_t>(slot.length));
    }
}

SecureBuffer::SecureBuffer(std::size_t length)
{
    detail::ensureSodiumInitialized();
    if (length == 0)
        return;
    data_ = static_cast<unsigned char*>(sodium_malloc(length));
    if (data_ == nullptr)
        return;
    size_ = length;
    slot_ = CrashScrubRegistry::registerRegion(data_, static_cast<unsigned long>(length));
}

SecureBuffer::SecureBuffer(const unsigned char* bytes, std::size_t length) : SecureBuffer(length)
{
    if (data_ != nullptr && bytes != nullptr)
        std::memcpy(data_, bytes, length);
}

SecureBuffer::~SecureBuffer() { release(); }

SecureBuffer::SecureBuffer(SecureBuffer&& other) noexcept
    : data_(other.data_), size_(other.size_), slot_(other.slot_)
{
    other.data_ = nullptr;
    other.size_ = 0;
    other.slot_ = -1;
}

SecureBuffer& SecureBuffer::operator=(SecureBuffer&& other) noexcept
{
    if (this == &other)
        return *this;
    release();
    data_ = other.data_;
    size_ = other.size_;
    slot_ = other.slot_;
    other.data_ = nullptr;
    other.size_ = 0;
    other.slot_ = -1;
    return *this;
}

void SecureBuffer::release() noexcept
{
    // Unregister before freeing so the crash handler never sees freed memory.
    CrashScrubRegistry::unregisterRegion(slot_);
    slot_ = -1;
    if (data_ != nullptr)
        sodium_free(data_);
    data_ = nullptr;
    size_ = 0;
}

bool SecureBuffer::equals(const SecureBuffer& other) const noexcept
{
    if (size_ != other.size_)
        return false;
    if (size_ == 0)
        return true;
    return sodium_memcmp(data_, other.data_, static_cast<size_t>(size_)) == 0;
}

void secureZero(unsigned char* data, unsigned long length) noexcept
{
    if (data == nullptr || length == 0)
        return;
    sodium_memzero(data, length);
}

namespace {
// Literal and raw data live in storage that is not ours: nothing there is a copy to wipe. A
// buffer another string or array still holds is not ours to wipe either: this object only lets
// go of it, so that the last holder's own wipe reaches the bytes.
template <typename Text>
bool dropIfNotOwnedAlone(Text& text) noexcept
{
    if (text.size() == 0 || !text.data_ptr().isMutable())
        return true;
    if (text.data_ptr().isShared()) {
        text.clear();
        return true;
    }
    return false;
}
}  // namespace

void secureZero(QByteArray& bytes) noexcept
{
    if (dropIfNotOwnedAlone(bytes))
        return;
    // data_ptr() avoids a detach: the bytes are wiped where they already are.
    sodium_memzero(bytes.data_ptr().data(), static_cast<size_t>(bytes.size()));
}

void secureZero(std::vector<unsigned char>& bytes) noexcept
{
    if (bytes.empty())
        return;
    sodium_memzero(bytes.data(), bytes.size());
}

void secureZero(QString& text) noexcept
{
    if (dropIfNotOwnedAlone(text))
        return;
    sodium_memzero(text.data_ptr().data(), static_cast<size_t>(text.size()) * 2);
}

void secureZero(std::string& text) noexcept
{
    if (text.empty())
        return;
    sodium_memzero(text.data(), text.size());
}

}  // namespace dorvex::crypto
