#pragma once

#include <cstddef>
#include <vector>

namespace dorvex::test {

// Counts the heap blocks handed back through operator delete that still hold one of the given
// byte patterns, while it lives. Only a binary that compiles FreedMemoryWatch.cpp in (which
// replaces the global operator new and delete) can use it; blocks Qt frees with free() are not
// seen.
class FreedMemoryWatch {
public:
    explicit FreedMemoryWatch(std::vector<std::vector<unsigned char>> patterns);
    ~FreedMemoryWatch();
    FreedMemoryWatch(const FreedMemoryWatch&) = delete;
    FreedMemoryWatch& operator=(const FreedMemoryWatch&) = delete;

    [[nodiscard]] int blocksStillHoldingAPattern() const;

    // Called by the replaced operator delete.
    static void inspect(const void* block, std::size_t length) noexcept;

private:
    std::vector<std::vector<unsigned char>> patterns_;
};

}  // namespace dorvex::test
