#include "FreedMemoryWatch.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace dorvex::test {

namespace {
std::atomic<const std::vector<std::vector<unsigned char>>*> g_patterns{nullptr};
std::atomic<int> g_found{0};
}  // namespace

FreedMemoryWatch::FreedMemoryWatch(std::vector<std::vector<unsigned char>> patterns) : patterns_(std::move(patterns))
{
    g_found.store(0);
    g_patterns.store(&patterns_);
}

// Stops watching before the patterns themselves are freed.
FreedMemoryWatch::~FreedMemoryWatch() { g_patterns.store(nullptr); }

int FreedMemoryWatch::blocksStillHoldingAPattern() const { return g_found.load(); }

void FreedMemoryWatch::inspect(const void* block, std::size_t length) noexcept
{
    const auto* patterns = g_patterns.load();
    if (patterns == nullptr || block == nullptr)
        return;
    for (const std::vector<unsigned char>& pattern : *patterns) {
        if (!pattern.empty() && memmem(block, length, pattern.data(), pattern.size()) != nullptr) {
            g_found.fetch_add(1);
            return;
        }
    }
}

}  // namespace dorvex::test

// Plain malloc and free underneath, so that every block is looked at on its way back.
void* operator new(std::size_t size)
{
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size == 0 ? 1 : size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size == 0 ? 1 : size); }

void operator delete(void* p) noexcept
{
    if (p != nullptr)
        dorvex::test::FreedMemoryWatch::inspect(p, malloc_usable_size(p));
    std::free(p);
}
void operator delete(void* p, std::size_t size) noexcept
{
    dorvex::test::FreedMemoryWatch::inspect(p, size);
    std::free(p);
}
void operator delete[](void* p) noexcept { ::operator delete(p); }
void operator delete[](void* p, std::size_t size) noexcept { ::operator delete(p, size); }
void operator delete(void* p, const std::nothrow_t&) noexcept { ::operator delete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { ::operator delete(p); }
