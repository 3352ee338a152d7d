// The thread class every system shares; what differs (the thread's id and
// name) is in the system's own thread.cpp.
#include "platform/thread.h"

#include "platform/fault.h"

#include <sstream>
#include <system_error>
#include <stdexcept>

namespace asynframe {

thread::thread() : _stop_event(true, false) {}

thread::~thread() {
    if (_started) {
        _stop_event.set();
        join();
    }
}

void thread::start() {
    if (_started) {
        if (running()) throw std::logic_error("last thread not stopped, now startanother thread at one thread obj");
        join();
    }
    if (const int injected = platform::fault::next(platform::fault::site::thread); platform::fault::is_error(injected))
        throw std::system_error(injected, std::generic_category(), "thread");
    _stop_event.reset();
    _running.store(true, std::memory_order_release);
    // An event rather than std::binary_semaphore: libstdc++'s atomic waits
    // before GCC 13 can miss a wake-up where there is no futex (here).
    platform::event id_known(true);
    try {
        _handle = std::thread([this, &id_known] {
            _thread_id.store(platform::current_thread_id(), std::memory_order_release);
            platform::name_current_thread(thread_name());
            id_known.set();
            struct mark_ended {
                std::atomic<bool>& flag;
                ~mark_ended() { flag.store(false, std::memory_order_release); }
            } ended{_running};
            run();
        });
    } catch (...) {
        _running.store(false, std::memory_order_release);
        throw;
    }
    _started = true;
    id_known.wait(platform::infinite);
}

void thread::signal_stop() {
    if (!_started) throw std::logic_error("try to stop a unstart thread");
    _stop_event.set();
}

void thread::stop() {
    if (!_started) return;
    signal_stop();
    // A thread cannot wait for itself; it ends once run() sees the stop event.
    if (in_thread()) return;
    join();
}

void thread::join() {
    std::lock_guard<std::mutex> guard(_join_lock);
    if (_handle.joinable()) _handle.join();
}

bool thread::in_thread() const noexcept {
    const std::uint32_t id = thread_id();
    return id != 0 && id == platform::current_thread_id();
}

void thread::check_thread() const {
    const std::uint32_t caller = platform::current_thread_id();
    const std::uint32_t id = thread_id();
    if (id != caller) {
        std::ostringstream text;
        text << "_thread_id[" << id << "] != current_thread_id[" << caller << "]";
        throw std::logic_error(text.str());
    }
}

}  // namespace asynframe
