#pragma once

// Ends the test binary with a message when the code under test blocks for good (a read that
// waits on a FIFO forever), so a regression fails the suite instead of hanging it. Not a time
// limit on the code: the bound is far beyond any normal run.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace dorvex::test {

class HangGuard {
public:
    explicit HangGuard(std::chrono::seconds bound = std::chrono::seconds(120))
        : watcher_([this, bound] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!done_.wait_for(lock, bound, [this] { return finished_; })) {
                  std::fprintf(stderr, "HangGuard: still blocked after %lld s in: %s\n",
                               static_cast<long long>(bound.count()), label_.c_str());
                  std::fflush(stderr);
                  std::_Exit(3);
              }
          })
    {
    }
    ~HangGuard()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        done_.notify_all();
        watcher_.join();
    }
    HangGuard(const HangGuard&) = delete;
    HangGuard& operator=(const HangGuard&) = delete;

    // What the test is doing now, printed if it never returns.
    void at(std::string label)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        label_ = std::move(label);
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::string label_ = "(start)";
    std::thread watcher_;
};

}  // namespace dorvex::test
