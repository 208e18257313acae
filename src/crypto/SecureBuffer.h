#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class QByteArray;
class QString;

namespace dorvex::crypto {

namespace detail {
// Runs sodium_init exactly once; every libsodium user in this layer calls it first.
int ensureSodiumInitialized();
}  // namespace detail

// Fixed, lock-free table of secret regions that the crash handler wipes.
class CrashScrubRegistry {
public:
    static constexpr int kSlots = 128;

    [[nodiscard]] static int registerRegion(void* address, unsigned long length) noexcept;
    static void unregisterRegion(int slot) noexcept;
    // Async-signal-safe: touches only the table and sodium_memzero.
    static void scrubAll() noexcept;
};

// Owning, move-only byte buffer for keys and secrets: guarded allocation,
// registered for crash wiping, wiped on release.
class SecureBuffer {
public:
    SecureBuffer() noexcept = default;
    explicit SecureBuffer(std::size_t length);
    SecureBuffer(const unsigned char* bytes, std::size_t length);
    ~SecureBuffer();

    SecureBuffer(SecureBuffer&& other) noexcept;
    SecureBuffer& operator=(SecureBuffer&& other) noexcept;
    SecureBuffer(const SecureBuffer&) = delete;
    SecureBuffer& operator=(const SecureBuffer&) = delete;

    void release() noexcept;

    [[nodiscard]] unsigned char* data() noexcept { return data_; }
    [[nodiscard]] const unsigned char* data() const noexcept { return data_; }
    [[nodiscard]] std::size_t size() const noexcept { return static_cast<std::size_t>(size_); }
    [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
    [[nodiscard]] int scrubSlot() const noexcept { return slot_; }

    // Constant-time comparison of contents.
    [[nodiscard]] bool equals(const SecureBuffer& other) const noexcept;

private:
    unsigned char* data_ = nullptr;
    std::uint64_t size_ = 0;
    std::int32_t slot_ = -1;
};

// Wipe in place, keeping the length. A Qt buffer that another object still shares is never
// written: the array or string only lets go of it and is left empty.
void secureZero(unsigned char* data, unsigned long length) noexcept;
void secureZero(QByteArray& bytes) noexcept;
void secureZero(std::vector<unsigned char>& bytes) noexcept;
void secureZero(QString& text) noexcept;
void secureZero(std::string& text) noexcept;

// Wipes a password copy on every way out of a scope, exceptions included.
class PasswordWipe {
public:
    explicit PasswordWipe(std::string& password) : password_(password) {}
    ~PasswordWipe() { secureZero(password_); }
    PasswordWipe(const PasswordWipe&) = delete;
    PasswordWipe& operator=(const PasswordWipe&) = delete;

private:
    std::string& password_;
};

}  // namespace dorvex::crypto
