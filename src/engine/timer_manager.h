// The engine's timers in port and alertable mode: handler timers and operation
// time-outs in one queue ordered by due tick. No thread, no lock: the dispatch
// loop asks for the earliest entry and fires it.
#pragma once

#include <cstdint>
#include <map>
#include <memory_resource>
#include <set>

namespace asynframe {

class asyn_io_operation;

class timeout_handler {
public:
    virtual ~timeout_handler() = default;
    virtual void on_timeout(std::uint32_t param) = 0;
};

inline constexpr std::uint32_t MAX_TIMER_MILLISECOND = 86400000u;

struct timer_entry {
    bool is_operation = false;  // false: handler timer, true: operation time-out
    void* target = nullptr;     // timeout_handler* or asyn_io_operation*
    std::uint32_t param = 0;
    std::int32_t remaining = -1;
    std::uint32_t repeat = 0;
    std::uint32_t period = 0;
    std::uint32_t due = 0;

    timeout_handler* handler() const noexcept { return static_cast<timeout_handler*>(target); }
    asyn_io_operation* operation() const noexcept { return static_cast<asyn_io_operation*>(target); }
};

class timer_manager {
public:
    timer_manager() = default;
    virtual ~timer_manager() = default;
    timer_manager(const timer_manager&) = delete;
    timer_manager& operator=(const timer_manager&) = delete;

    bool has_timers() const noexcept { return !_queue.empty(); }
    std::size_t size() const noexcept { return _queue.size(); }
    // The earliest entry, with `remaining` = milliseconds until due (0 when overdue).
    void front(timer_entry& entry) const;
    void pop_front();

    bool set_timer(timeout_handler* handler, std::uint32_t millisecond, std::uint32_t param, bool repeat);
    void kill_timer(timeout_handler* handler, std::uint32_t param);
    void kill_timers(timeout_handler* handler);
    void set_operation_timeout(asyn_io_operation* operation, std::uint32_t millisecond);
    void cancel_operation_timeout(asyn_io_operation* operation);

private:
    // a is earlier than b when (a - b) is negative as a signed 32-bit value,
    // which keeps the order across the tick counter's wrap to zero.
    struct due_order {
        bool operator()(const timer_entry& a, const timer_entry& b) const noexcept {
            return static_cast<std::int32_t>(a.due - b.due) < 0;
        }
    };
    using queue_type = std::pmr::multiset<timer_entry, due_order>;
    // Keyed by target and param, so finding one handler timer among many of the
    // same handler costs logarithmic time. Operation time-outs use param 0 and may
    // repeat (an operation can be armed twice).
    using index_key = std::pair<const void*, std::uint32_t>;
    using index_type = std::pmr::multimap<index_key, queue_type::iterator>;

    // Tree nodes come from a pool of their own: arming and firing reuse freed
    // nodes instead of going to the general allocator.
    std::pmr::unsynchronized_pool_resource _nodes;
    queue_type _queue{&_nodes};
    index_type _index{&_nodes};
};

}  // namespace asynframe
