// Base of every object that owns a thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/event.h"

namespace asynframe {

namespace platform {
// The calling thread's system-wide id (never 0).
std::uint32_t current_thread_id() noexcept;
// Names the calling thread for debuggers and process lists (at most 15
// characters are kept).
void name_current_thread(const char* name) noexcept;
}  // namespace platform

class thread {
public:
    thread();
    // Owners stop their thread before destruction (their run() uses their own
    // members). If one is still running here it is stopped and joined anyway,
    // so the process is never left with a detached or unjoined thread.
    virtual ~thread();
    thread(const thread&) = delete;
    thread& operator=(const thread&) = delete;

    // Starts run() on a new thread; the thread id is known when this returns.
    // Throws std::logic_error when the previous thread still runs.
    void start();
    // Sets the stop event. Throws std::logic_error when never started.
    void signal_stop();
    // Sets the stop event and waits for the thread to end; nothing when never started.
    void stop();

    bool in_thread() const noexcept;
    // Throws std::logic_error when called from another thread than this one's.
    void check_thread() const;
    std::uint32_t thread_id() const noexcept { return _thread_id.load(std::memory_order_acquire); }
    // True between start() and the end of run().
    bool running() const noexcept { return _running.load(std::memory_order_acquire); }

protected:
    virtual void run() = 0;
    // The name the thread carries ("af-engine", "af-resolver", ...).
    virtual const char* thread_name() const noexcept { return "af-thread"; }
    platform::event& stop_event() noexcept { return _stop_event; }

private:
    void join();

    platform::event _stop_event;
    std::thread _handle;
    bool _started = false;
    std::atomic<std::uint32_t> _thread_id{0};
    std::atomic<bool> _running{false};
    std::mutex _join_lock;
};

}  // namespace asynframe
