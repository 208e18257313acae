#pragma once

#include <QtGlobal>

#include <cstddef>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace dorvex::vault {

// Moves a stream of any length through a few fixed windows. The caller's thread fills each
// window and drains it again; one worker thread transforms the windows in between, in order.
// So reading, the cipher and writing overlap, and the memory used stays at depth x window
// bytes. The worker never outlives run(); the windows are wiped when the pipeline is destroyed.
class WindowPipeline {
public:
    // Puts up to `capacity` bytes into the window: their count, 0 at the end, -1 on failure.
    using Fill = std::function<qint64(unsigned char* window, std::size_t capacity)>;
    // Transforms a window in place, on the worker thread; false on failure.
    using Transform = std::function<bool(unsigned char* window, std::size_t length)>;
    // Takes a transformed window, on the caller's thread; false stops the run.
    using Drain = std::function<bool(unsigned char* window, std::size_t length)>;

    enum class Outcome { Done, FillFailed, TransformFailed, Stopped };

    // Throws std::bad_alloc when the windows cannot be had.
    WindowPipeline(std::size_t windowBytes, std::size_t depth);
    ~WindowPipeline();
    WindowPipeline(const WindowPipeline&) = delete;
    WindowPipeline& operator=(const WindowPipeline&) = delete;
    WindowPipeline(WindowPipeline&&) noexcept = default;
    WindowPipeline& operator=(WindowPipeline&&) noexcept = default;

    // The window size and depth for a stream of `length` bytes: no larger than the stream needs.
    [[nodiscard]] static WindowPipeline forLength(qint64 length, std::size_t windowBytes, std::size_t depth);

    [[nodiscard]] Outcome run(const Fill& fill, const Transform& transform, const Drain& drain);

private:
    std::size_t windowBytes_;
    std::vector<std::unique_ptr<unsigned char[]>> windows_;
};

// Keeps a long sequential write at the device's pace: each range written starts its write-back
// at once, and the range written kLag windows earlier is waited for. The page cache then holds
// only a few windows of unwritten data, progress follows the device, and the final flush is
// short. The write-back overlaps reading and the cipher, so a transfer costs about one pass.
class WriteBackPacer {
public:
    static constexpr std::size_t kLag = 8;
    using WriteBack = std::function<void(qint64 offset, qint64 length, bool wait)>;

    explicit WriteBackPacer(WriteBack writeBack) : writeBack_(std::move(writeBack)) {}
    void wrote(qint64 offset, qint64 length);

private:
    WriteBack writeBack_;
    std::vector<std::pair<qint64, qint64>> pending_;  // oldest first, at most kLag
};

}  // namespace dorvex::vault
