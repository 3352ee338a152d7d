// A critical-section lock and its scoped guard.
#pragma once

#include <mutex>

namespace asynframe {

class mutex {
public:
    mutex() = default;
    mutex(const mutex&) = delete;
    mutex& operator=(const mutex&) = delete;

    void lock() { _lock.lock(); }
    void unlock() noexcept { _lock.unlock(); }
    bool try_lock() noexcept { return _lock.try_lock(); }

    // Enters on construction, leaves on destruction.
    class scoped_lock {
    public:
        explicit scoped_lock(mutex& m) : _m(m) { _m.lock(); }
        ~scoped_lock() { _m.unlock(); }
        scoped_lock(const scoped_lock&) = delete;
        scoped_lock& operator=(const scoped_lock&) = delete;

    private:
        mutex& _m;
    };

private:
    std::mutex _lock;
};

}  // namespace asynframe
