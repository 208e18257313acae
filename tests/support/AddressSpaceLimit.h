#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>

namespace dorvex::test {

// The address sanitizer reserves far more address space than any limit could leave room for.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSpaceCanBeLimited = false;
#else
inline constexpr bool kAddressSpaceCanBeLimited = true;
#endif

inline std::size_t addressSpaceInUse()
{
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (f != nullptr) {
        if (std::fscanf(f, "%lu", &pages) != 1)
            pages = 0;
        std::fclose(f);
    }
    return static_cast<std::size_t>(pages) * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// Leaves only `headroom` bytes of address space free while it lives.
class AddressSpaceLimit {
public:
    explicit AddressSpaceLimit(std::size_t headroom)
    {
        if (getrlimit(RLIMIT_AS, &saved_) != 0)
            return;
        rlimit tight = saved_;
        tight.rlim_cur = addressSpaceInUse() + headroom;
        active_ = (saved_.rlim_max == RLIM_INFINITY || tight.rlim_cur <= saved_.rlim_max)
                  && setrlimit(RLIMIT_AS, &tight) == 0;
    }
    ~AddressSpaceLimit()
    {
        if (active_)
            setrlimit(RLIMIT_AS, &saved_);
    }
    AddressSpaceLimit(const AddressSpaceLimit&) = delete;
    AddressSpaceLimit& operator=(const AddressSpaceLimit&) = delete;

    [[nodiscard]] bool active() const { return active_; }

private:
    rlimit saved_{};
    bool active_ = false;
};

}  // namespace dorvex::test
