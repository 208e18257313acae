#include "vault/WindowPipeline.h"

#include <sodium.h>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace dorvex::vault {

WindowPipeline::WindowPipeline(std::size_t windowBytes, std::size_t depth) : windowBytes_(std::max<std::size_t>(windowBytes, 1))
{
    for (std::size_t i = 0; i < std::max<std::size_t>(depth, 1); ++i)
        windows_.push_back(std::make_unique_for_overwrite<unsigned char[]>(windowBytes_));
}

WindowPipeline::~WindowPipeline()
{
    for (auto& window : windows_) {
        if (window)
            sodium_memzero(window.get(), windowBytes_);
    }
}

WindowPipeline WindowPipeline::forLength(qint64 length, std::size_t windowBytes, std::size_t depth)
{
    windowBytes = std::max<std::size_t>(windowBytes, 1);
    const auto bytes = static_cast<std::size_t>(std::max<qint64>(length, 1));
    const std::size_t window = std::min(windowBytes, bytes);
    const std::size_t needed = (bytes + window - 1) / window;
    return WindowPipeline(window, std::min(depth, needed));
}

WindowPipeline::Outcome WindowPipeline::run(const Fill& fill, const Transform& transform, const Drain& drain)
{
    enum class State { Free, Queued, Done };
    struct Slot {
        State state = State::Free;
        std::size_t length = 0;
        bool ok = false;
    };
    const std::size_t depth = windows_.size();
    std::vector<Slot> slots(depth);
    std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;

    std::thread worker([&] {
        for (std::size_t next = 0;; next = (next + 1) % depth) {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return stopping || slots[next].state == State::Queued; });
            if (stopping)
                return;
            const std::size_t length = slots[next].length;
            lock.unlock();
            bool ok = false;
            try {
                ok = transform(windows_[next].get(), length);
            } catch (...) {
                ok = false;
            }
            lock.lock();
            slots[next].ok = ok;
            slots[next].state = State::Done;
            changed.notify_all();
        }
    });
    // Joined on every way out, exceptions from fill and drain included.
    struct Joiner {
        std::thread& thread;
        std::mutex& mutex;
        std::condition_variable& changed;
        bool& stopping;
        ~Joiner()
        {
            {
                const std::lock_guard lock(mutex);
                stopping = true;
            }
            changed.notify_all();
            thread.join();
        }
    } joiner{worker, mutex, changed, stopping};

    std::size_t fillAt = 0;
    std::size_t drainAt = 0;
    std::size_t inFlight = 0;
    bool ended = false;
    for (;;) {
        if (!ended && inFlight < depth) {
            const qint64 n = fill(windows_[fillAt].get(), windowBytes_);
            if (n < 0 || static_cast<quint64>(n) > windowBytes_)
                return Outcome::FillFailed;
            if (n == 0) {
                ended = true;
                continue;
            }
            {
                const std::lock_guard lock(mutex);
                slots[fillAt] = {State::Queued, static_cast<std::size_t>(n), false};
            }
            changed.notify_all();
            fillAt = (fillAt + 1) % depth;
            ++inFlight;
            continue;
        }
        if (inFlight == 0)
            return Outcome::Done;
        Slot done;
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return slots[drainAt].state == State::Done; });
            done = slots[drainAt];
            slots[drainAt].state = State::Free;
        }
        if (!done.ok)
            return Outcome::TransformFailed;
        if (!drain(windows_[drainAt].get(), done.length))
            return Outcome::Stopped;
        drainAt = (drainAt + 1) % depth;
        --inFlight;
    }
}

void WriteBackPacer::wrote(qint64 offset, qint64 length)
{
    writeBack_(offset, length, false);
    pending_.emplace_back(offset, length);
    if (pending_.size() > kLag) {
        writeBack_(pending_.front().first, pending_.front().second, true);
        pending_.erase(pending_.begin());
    }
}

}  // namespace dorvex::vault
