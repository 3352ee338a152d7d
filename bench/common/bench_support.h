// What every benchmark program shares: bounded waits, and giving up cleanly
// when a batch never finishes.
#pragma once

#include <errno.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace asynframe_bench {

// No wait in these programs is unbounded: a batch that does not finish in
// time fails its case instead of hanging the run.
inline constexpr std::chrono::seconds wait_limit{20};
using bench_clock = std::chrono::steady_clock;
inline bench_clock::time_point wait_deadline() { return bench_clock::now() + wait_limit; }

// Runs before a program gives up (removing its scratch files, say).
inline void (*on_give_up)() = nullptr;

// A wait that may not end in time where nothing sound can follow (teardown).
[[noreturn]] inline void give_up(const char* what) {
    std::fprintf(stderr, "%s: %s did not finish within %lld s\n", program_invocation_short_name, what,
                 static_cast<long long>(wait_limit.count()));
    std::fflush(stderr);
    if (on_give_up != nullptr) on_give_up();
    std::_Exit(2);
}

// Raised once per batch on the thread that finishes it; the benchmark thread waits for it.
class batch_signal {
public:
    void reset() {
        std::lock_guard<std::mutex> guard(_lock);
        _raised = false;
    }
    void raise() {
        {
            std::lock_guard<std::mutex> guard(_lock);
            _raised = true;
        }
        _changed.notify_all();
    }
    // False when the limit passed first.
    bool wait() {
        std::unique_lock<std::mutex> guard(_lock);
        return _changed.wait_until(guard, wait_deadline(), [this] { return _raised; });
    }

private:
    std::mutex _lock;
    std::condition_variable _changed;
    bool _raised = false;
};

}  // namespace asynframe_bench
