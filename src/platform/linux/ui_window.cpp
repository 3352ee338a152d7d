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
        }
        return t_queue;
    }

    ~message_queue() {
        if (_epoll_fd >= 0) ::close(_epoll_fd);
        if (_event_fd >= 0) ::close(_event_fd);
        if (_timer_fd >= 0) ::close(_timer_fd);
    }

    std::uint32_t owner() const noexcept { return _owner; }
    int descriptor() const noexcept { return _epoll_fd; }

    void add_window() noexcept { ++_windows; }
    // Removes the window's messages and timers; frees the queue with its last window.
    void remove_window(ui_window* window, ui_window::discard_sink sink, void* context) noexcept {
        {
            std::lock_guard<std::mutex> guard(_lock);
            // Keep the other windows' messages in order: rotate through the ring once.
            for (std::size_t left = _count; left > 0; --left) {
                queued_message m = ring_pop();
                if (m.window == window) {
                    if (sink != nullptr) sink(context, m.message, m.param);
                } else {
                    ring_push_unlocked(m);
                }
            }
        }
        _timers.erase(std::remove_if(_timers.begin(), _timers.end(),
                                     [&](const window_timer& t) { return t.window == window; }),
                      _timers.end());
        arm_timerfd();
        if (--_windows == 0) {
            t_queue = nullptr;
            if (_pump_depth == 0)
                delete this;
            else
                _orphaned = true;
        }
    }

    bool post(ui_window* window, std::uint32_t message, std::uintptr_t param) noexcept {
        bool wake;
        {
            std::lock_guard<std::mutex> guard(_lock);
            if (!ring_push_unlocked({window, message, param})) return false;
            wake = !_signalled;
            _signalled = true;
        }
        if (wake) {
            const std::uint64_t one = 1;
            while (::write(_event_fd, &one, sizeof one) < 0 && errno == EINTR) {
            }
        }
        return true;
    }

    std::uintptr_t set_timer(ui_window* window, std::uintptr_t event_id, std::uint32_t period) noexcept {
        if (event_id == 0) return 0;
        const std::uint32_t due = tick_count() + period;
        for (window_timer& t : _timers) {
            if (t.window == window && t.event_id == event_id) {
                t.period = period;
                t.due = due;
                arm_timerfd();
                return event_id;
            }
        }
        try {
            _timers.push_back({window, event_id, period, due});
        } catch (...) {
            return 0;
        }
        arm_timerfd();
        return event_id;
    }

    bool kill_timer(ui_window* window, std::uintptr_t event_id) noexcept {
        for (auto it = _timers.begin(); it != _timers.end(); ++it) {
            if (it->window == window && it->event_id == event_id) {
                _timers.erase(it);
                arm_timerfd();
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
        for (std::size_t i = 0; i < count && !_orphaned; ++i) {
            queued_message m;
            {
                std::lock_guard<std::mutex> guard(_lock);
                if (ring_empty()) break;
                m = ring_pop();
            }
            deliver(m.window, m.message, m.param);
            ++delivered;
        }
        delivered += fire_timers();
        --_pump_depth;
        if (_orphaned) {
            delete this;
            return delivered;
        }
        arm_timerfd();
        return delivered;
    }

private:
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

    void deliver(ui_window* window, std::uint32_t message, std::uintptr_t param) noexcept;

    int fire_timers() noexcept {
        int fired = 0;
        const std::uint32_t now = tick_count();
        // Copy the due ids first: handlers may set and kill timers.
        std::vector<std::pair<ui_window*, std::uintptr_t>> due;
        for (window_timer& t : _timers) {
            if (static_cast<std::int32_t>(now - t.due) >= 0) {
                t.due = now + t.period;
                try {
                    due.emplace_back(t.window, t.event_id);
                } catch (...) {
                }
            }
        }
        for (const auto& entry : due) {
            const auto window = entry.first;
            const auto id = entry.second;
            if (_orphaned) break;
            const bool alive = std::any_of(_timers.begin(), _timers.end(), [&](const window_timer& t) {
                return t.window == window && t.event_id == id;
            });
            if (!alive) continue;
            deliver(window, ui_timer_message, id);
            ++fired;
        }
        return fired;
    }

    void arm_timerfd() noexcept {
        itimerspec spec{};
        if (!_timers.empty()) {
            const std::uint32_t now = tick_count();
            std::int64_t earliest = INT64_MAX;
            for (const window_timer& t : _timers)
                earliest = std::min<std::int64_t>(earliest, static_cast<std::int32_t>(t.due - now));
            if (earliest <= 0) {
                spec.it_value.tv_nsec = 1;  // due now: readable at once
            } else {
                spec.it_value.tv_sec = earliest / 1000;
                spec.it_value.tv_nsec = (earliest % 1000) * 1000000;
            }
        }
        ::timerfd_settime(_timer_fd, 0, &spec, nullptr);
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
    std::vector<queued_message> _ring;
    std::size_t _head = 0;
    std::size_t _count = 0;
    bool _signalled = false;
    std::vector<window_timer> _timers;
    int _windows = 0;
    int _pump_depth = 0;
    bool _orphaned = false;
};

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

void message_queue::deliver(ui_window* window, std::uint32_t message, std::uintptr_t param) noexcept {
    ui_window_access::call(window, message, param);
}

}  // namespace

ui_window* ui_window::create(procedure proc, void* context) noexcept {
    message_queue* queue = message_queue::for_current_thread();
    if (queue == nullptr) return nullptr;
    ui_window* window = ui_window_access::make(proc, context, queue);
    if (window == nullptr) return nullptr;
    queue->add_window();
    return window;
}

void ui_window::destroy(discard_sink sink, void* sink_context) noexcept {
    ui_window_access::queue(this)->remove_window(this, sink, sink_context);
    ui_window_access::free(this);
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

int ui_queue_descriptor() noexcept { return t_queue != nullptr ? t_queue->descriptor() : -1; }

int ui_queue_pump() noexcept { return t_queue != nullptr ? t_queue->pump() : -1; }

int ui_queue_wait_and_pump(std::uint32_t timeout_ms) noexcept {
    if (t_queue == nullptr) return -1;
    pollfd item{t_queue->descriptor(), POLLIN, 0};
    const int wait = timeout_ms == 0xFFFFFFFFu ? -1 : static_cast<int>(std::min<std::uint32_t>(timeout_ms, INT32_MAX));
    while (::poll(&item, 1, wait) < 0 && errno == EINTR) {
    }
    return t_queue != nullptr ? t_queue->pump() : -1;
}

}  // namespace asynframe::platform
