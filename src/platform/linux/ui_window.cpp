// Per-thread message queues for UI-thread dispatch. Each thread that creates a
// window gets one queue: posted messages in a ring buffer guarded by a lock, a
// list of window timers, and one epoll descriptor (over an eventfd for
// messages and a timerfd for the earliest timer) that the host can watch.
#include "platform/ui_window.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <new>
#include <cerrno>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <vector>

#include "platform/thread.h"
#include "platform/tick.h"

namespace asynframe::platform {

namespace {

struct queued_message {
    ui_window* window;
    std::uint32_t message;
    std::uintptr_t param;
};

struct window_timer {
    ui_window* window;
    std::uintptr_t event_id;
    std::uint32_t period;
    std::uint32_t due;
    std::uint64_t serial;  // new for every arming: an old expiry never fires a new timer
};

struct window_record {
    ui_window* window;
    int watched_fd;
};

class message_queue;
thread_local message_queue* t_queue = nullptr;

class message_queue {
public:
    static message_queue* for_current_thread() noexcept {
        if (t_queue == nullptr) {
            auto* queue = new (std::nothrow) message_queue();
            if (queue == nullptr) return nullptr;
            if (!queue->init()) {
                delete queue;
                return nullptr;
            }
            t_queue = queue;
            t_owner_guard.armed = true;
        }
        return t_queue;
    }

    // The calling thread's queue, freeing it first when its last window went
    // away on another thread.
    static message_queue* current() noexcept {
        message_queue* queue = t_queue;
        if (queue != nullptr && queue->_pump_depth == 0 && queue->unused()) {
            t_queue = nullptr;
            delete queue;
            return nullptr;
        }
        return queue;
    }

    ~message_queue() {
        if (_epoll_fd >= 0) ::close(_epoll_fd);
        if (_event_fd >= 0) ::close(_event_fd);
        if (_timer_fd >= 0) ::close(_timer_fd);
    }

    std::uint32_t owner() const noexcept { return _owner; }
    int descriptor() const noexcept { return _epoll_fd; }

    bool add_window(ui_window* window) noexcept {
        std::lock_guard<std::mutex> guard(_lock);
        try {
            _windows.push_back({window, -1});
        } catch (...) {
            return false;
        }
        return true;
    }

    bool watch(ui_window* window, int fd) noexcept {
        if (fd < 0) return false;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (::epoll_ctl(_epoll_fd, EPOLL_CTL_ADD, fd, &event) != 0) return false;
        std::lock_guard<std::mutex> guard(_lock);
        for (window_record& record : _windows)
            if (record.window == window) record.watched_fd = fd;
        return true;
    }

    // Removes the window's messages and timers. The queue itself is freed by
    // its own thread only, whose thread-local pointer still refers to it.
    void remove_window(ui_window* window, ui_window::discard_sink sink, void* context) noexcept {
        const bool owner_thread = current_thread_id() == _owner;
        std::vector<queued_message> discarded;
        {
            std::unique_lock<std::mutex> guard(_lock);
            // The wait below lets go of the lock; the owner must not free the
            // queue under this thread meanwhile.
            if (!owner_thread) ++_removers;
            for (auto it = _windows.begin(); it != _windows.end(); ++it) {
                if (it->window != window) continue;
                if (it->watched_fd >= 0) ::epoll_ctl(_epoll_fd, EPOLL_CTL_DEL, it->watched_fd, nullptr);
                _windows.erase(it);
                break;
            }
            // Keep the other windows' messages in order: rotate through the ring once.
            for (std::size_t left = _count; left > 0; --left) {
                queued_message m = ring_pop();
                if (m.window == window) {
                    try {
                        discarded.push_back(m);
                    } catch (...) {
                    }
                } else {
                    ring_push_unlocked(m);
                }
            }
            _timers.erase(std::remove_if(_timers.begin(), _timers.end(),
                                         [&](const window_timer& t) { return t.window == window; }),
                          _timers.end());
            // A delivery running on the owner's thread finishes before the window goes.
            if (!owner_thread) _delivered.wait(guard, [&] { return _delivering != window; });
            arm_timerfd_locked();
            // Wake the owner so that its next pump frees the queue. Under the
            // lock: once it is released, that pump may free the queue at once.
            if (!owner_thread) {
                --_removers;
                wake_locked();
            }
        }
        if (sink != nullptr)
            for (const queued_message& m : discarded) sink(context, m.message, m.param);
        if (owner_thread && _pump_depth == 0 && unused()) {
            t_queue = nullptr;
            delete this;
        }
    }

    bool post(ui_window* window, std::uint32_t message, std::uintptr_t param) noexcept {
        {
            std::lock_guard<std::mutex> guard(_lock);
            if (!ring_push_unlocked({window, message, param})) return false;
        }
        signal();
        return true;
    }

    std::uintptr_t set_timer(ui_window* window, std::uintptr_t event_id, std::uint32_t period) noexcept {
        if (event_id == 0) return 0;
        if (period < ui_timer_minimum) period = ui_timer_minimum;
        std::lock_guard<std::mutex> guard(_lock);
        const std::uint32_t due = tick_count() + period;
        for (window_timer& t : _timers) {
            if (t.window == window && t.event_id == event_id) {
                t.period = period;
                t.due = due;
                t.serial = ++_serial;
                arm_timerfd_locked();
                return event_id;
            }
        }
        try {
            _timers.push_back({window, event_id, period, due, ++_serial});
        } catch (...) {
            return 0;
        }
        arm_timerfd_locked();
        return event_id;
    }

    bool kill_timer(ui_window* window, std::uintptr_t event_id) noexcept {
        std::lock_guard<std::mutex> guard(_lock);
        for (auto it = _timers.begin(); it != _timers.end(); ++it) {
            if (it->window == window && it->event_id == event_id) {
                _timers.erase(it);
                arm_timerfd_locked();
                return true;
            }
        }
        return false;
    }

    int pump() noexcept {
        if (_pump_depth > 0) return 0;  // a handler pumping again would reorder delivery
        ++_pump_depth;
        std::uint64_t value = 0;
        if (::read(_timer_fd, &value, sizeof value) < 0) value = 0;
        std::size_t count;
        {
            std::lock_guard<std::mutex> guard(_lock);
            if (::read(_event_fd, &value, sizeof value) < 0) value = 0;
            _signalled = false;
            count = _count;  // only what is here now: handlers may post more
        }
        int delivered = 0;
        for (std::size_t i = 0; i < count; ++i) {
            queued_message m;
            {
                std::lock_guard<std::mutex> guard(_lock);
                if (ring_empty()) break;
                m = ring_pop();
            }
            if (deliver(m.window, m.message, m.param)) ++delivered;
        }
        delivered += fire_timers();
        delivered += run_watchers();
        --_pump_depth;
        if (unused()) {
            t_queue = nullptr;
            delete this;
            return delivered;
        }
        std::lock_guard<std::mutex> guard(_lock);
        arm_timerfd_locked();
        return delivered;
    }

private:
    struct owner_guard {
        bool armed = false;
        // A thread that ends frees its queue; windows still on it are the host's leak.
        ~owner_guard() {
            if (armed && t_queue != nullptr && t_queue->unused()) {
                delete t_queue;
                t_queue = nullptr;
            }
        }
    };
    static thread_local owner_guard t_owner_guard;

    bool init() noexcept {
        _owner = current_thread_id();
        _epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
        _event_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        _timer_fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (_epoll_fd < 0 || _event_fd < 0 || _timer_fd < 0) return false;
        for (int fd : {_event_fd, _timer_fd}) {
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.fd = fd;
            if (::epoll_ctl(_epoll_fd, EPOLL_CTL_ADD, fd, &event) != 0) return false;
        }
        try {
            _ring.resize(64);
        } catch (...) {
            return false;
        }
        return true;
    }

    // No window left, and no other thread still inside remove_window: the
    // owner may free the queue.
    bool unused() noexcept {
        std::lock_guard<std::mutex> guard(_lock);
        return _windows.empty() && _removers == 0;
    }

    void signal() noexcept {
        bool wake;
        {
            std::lock_guard<std::mutex> guard(_lock);
            wake = !_signalled;
            _signalled = true;
        }
        if (wake) write_wake();
    }

    void wake_locked() noexcept {
        if (_signalled) return;
        _signalled = true;
        write_wake();
    }

    void write_wake() noexcept {
        const std::uint64_t one = 1;
        while (::write(_event_fd, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }

    bool alive_locked(const ui_window* window) const noexcept {
        return std::any_of(_windows.begin(), _windows.end(),
                           [&](const window_record& record) { return record.window == window; });
    }

    // Owner thread. False when the window is gone.
    bool deliver(ui_window* window, std::uint32_t message, std::uintptr_t param) noexcept;

    int fire_timers() noexcept {
        struct due_timer {
            ui_window* window;
            std::uintptr_t event_id;
            std::uint64_t serial;
            std::int32_t late;  // how long past due, for firing the earliest first
        };
        // Chosen first, fired after: handlers may set and kill timers.
        std::vector<due_timer> due;
        {
            std::lock_guard<std::mutex> guard(_lock);
            const std::uint32_t now = tick_count();
            for (window_timer& t : _timers) {
                const auto late = static_cast<std::int32_t>(now - t.due);
                if (late >= 0) {
                    t.due = now + t.period;
                    try {
                        due.push_back({t.window, t.event_id, t.serial, late});
                    } catch (...) {
                    }
                }
            }
        }
        // A pump that came late finds several due: they fire in due order.
        std::stable_sort(due.begin(), due.end(),
                         [](const due_timer& a, const due_timer& b) { return a.late > b.late; });
        int fired = 0;
        for (const due_timer& entry : due) {
            bool alive;
            {
                std::lock_guard<std::mutex> guard(_lock);
                alive = std::any_of(_timers.begin(), _timers.end(), [&](const window_timer& t) {
                    return t.window == entry.window && t.event_id == entry.event_id && t.serial == entry.serial;
                });
            }
            if (alive && deliver(entry.window, ui_timer_message, entry.event_id)) ++fired;
        }
        return fired;
    }

    int run_watchers() noexcept {
        ui_window* watchers[8];
        std::size_t count = 0;
        {
            std::lock_guard<std::mutex> guard(_lock);
            for (const window_record& record : _windows)
                if (record.watched_fd >= 0 && count < std::size(watchers)) watchers[count++] = record.window;
        }
        int delivered = 0;
        for (std::size_t i = 0; i < count; ++i)
            if (deliver(watchers[i], ui_io_message, 0)) ++delivered;
        return delivered;
    }

    void arm_timerfd_locked() noexcept {
        itimerspec due{};
        if (!_timers.empty()) {
            const std::uint32_t now = tick_count();
            std::int64_t earliest = INT64_MAX;
            for (const window_timer& t : _timers)
                earliest = std::min<std::int64_t>(earliest, static_cast<std::int32_t>(t.due - now));
            if (earliest <= 0) {
                due.it_value.tv_nsec = 1;  // due now: readable at once
            } else {
                due.it_value.tv_sec = earliest / 1000;
                due.it_value.tv_nsec = (earliest % 1000) * 1000000;
            }
        }
        ::timerfd_settime(_timer_fd, 0, &due, nullptr);
    }

    bool ring_empty() const noexcept { return _count == 0; }
    queued_message ring_pop() noexcept {
        queued_message m = _ring[_head];
        _head = (_head + 1) % _ring.size();
        --_count;
        return m;
    }
    bool ring_push_unlocked(const queued_message& m) noexcept {
        if (_count == _ring.size()) {
            // Grows only; a steady flow of messages allocates nothing.
            std::vector<queued_message> larger;
            try {
                larger.resize(_ring.size() * 2);
            } catch (...) {
                return false;
            }
            for (std::size_t i = 0; i < _count; ++i) larger[i] = _ring[(_head + i) % _ring.size()];
            _ring.swap(larger);
            _head = 0;
        }
        _ring[(_head + _count) % _ring.size()] = m;
        ++_count;
        return true;
    }

    std::uint32_t _owner = 0;
    int _epoll_fd = -1;
    int _event_fd = -1;
    int _timer_fd = -1;
    std::mutex _lock;
    std::condition_variable _delivered;
    ui_window* _delivering = nullptr;
    int _removers = 0;  // other threads inside remove_window
    std::vector<queued_message> _ring;
    std::size_t _head = 0;
    std::size_t _count = 0;
    bool _signalled = false;
    std::vector<window_timer> _timers;
    std::uint64_t _serial = 0;
    std::vector<window_record> _windows;
    int _pump_depth = 0;  // owner thread only
};

thread_local message_queue::owner_guard message_queue::t_owner_guard;

}  // namespace

struct ui_window_access {
    static message_queue* queue(const ui_window* window) noexcept { return static_cast<message_queue*>(window->_queue); }
    static void call(ui_window* window, std::uint32_t message, std::uintptr_t param) noexcept {
        window->_proc(window->_context, message, param);
    }
    static ui_window* make(ui_window::procedure proc, void* context, message_queue* queue) noexcept {
        return new (std::nothrow) ui_window(proc, context, queue);
    }
    static void free(ui_window* window) noexcept { delete window; }
};

namespace {

bool message_queue::deliver(ui_window* window, std::uint32_t message, std::uintptr_t param) noexcept {
    {
        std::lock_guard<std::mutex> guard(_lock);
        if (!alive_locked(window)) return false;
        _delivering = window;
    }
    ui_window_access::call(window, message, param);
    {
        std::lock_guard<std::mutex> guard(_lock);
        _delivering = nullptr;
    }
    _delivered.notify_all();
    return true;
}

}  // namespace

ui_window* ui_window::create(procedure proc, void* context) noexcept {
    message_queue* queue = message_queue::for_current_thread();
    if (queue == nullptr) return nullptr;
    ui_window* window = ui_window_access::make(proc, context, queue);
    if (window == nullptr) return nullptr;
    if (!queue->add_window(window)) {
        ui_window_access::free(window);
        return nullptr;
    }
    return window;
}

void ui_window::destroy(discard_sink sink, void* sink_context) noexcept {
    ui_window_access::queue(this)->remove_window(this, sink, sink_context);
    ui_window_access::free(this);
}

bool ui_window::watch_descriptor(native_handle handle) noexcept {
    return handle >= 0 && handle <= INT_MAX && ui_window_access::queue(this)->watch(this, static_cast<int>(handle));
}

bool ui_window::post_message(std::uint32_t message, std::uintptr_t param) noexcept {
    return ui_window_access::queue(this)->post(this, message, param);
}

std::uintptr_t ui_window::set_timer(std::uintptr_t event_id, std::uint32_t period_ms) noexcept {
    return ui_window_access::queue(this)->set_timer(this, event_id, period_ms);
}

bool ui_window::kill_timer(std::uintptr_t event_id) noexcept {
    return ui_window_access::queue(this)->kill_timer(this, event_id);
}

std::uint32_t ui_window::owner_thread() const noexcept { return ui_window_access::queue(this)->owner(); }

native_handle ui_queue_descriptor() noexcept {
    message_queue* queue = message_queue::current();
    return queue != nullptr ? queue->descriptor() : invalid_handle;
}

int ui_queue_pump() noexcept {
    message_queue* queue = message_queue::current();
    return queue != nullptr ? queue->pump() : -1;
}

int ui_queue_wait_and_pump(std::uint32_t timeout_ms) noexcept {
    message_queue* queue = message_queue::current();
    if (queue == nullptr) return -1;
    pollfd item{queue->descriptor(), POLLIN, 0};
    const int wait = timeout_ms == 0xFFFFFFFFu ? -1 : static_cast<int>(std::min<std::uint32_t>(timeout_ms, INT32_MAX));
    // A signal (or the ring running its work on this thread) ends the poll early: pump anyway.
    ::poll(&item, 1, wait);
    return queue->pump();
}

}  // namespace asynframe::platform
