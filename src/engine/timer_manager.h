// The engine's timers in port and alertable mode: handler timers and operation
// time-outs in one queue ordered by due tick. No thread, no lock: the dispatch
// loop asks for the earliest entry and fires it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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

    bool has_timers() const noexcept { return !_heap.empty(); }
    std::size_t size() const noexcept { return _heap.size(); }
    // The earliest entry, with `remaining` = milliseconds until due (0 when overdue).
    void front(timer_entry& entry) const;
    void pop_front();

    bool set_timer(timeout_handler* handler, std::uint32_t millisecond, std::uint32_t param, bool repeat);
    void kill_timer(timeout_handler* handler, std::uint32_t param);
    void kill_timers(timeout_handler* handler);
    void set_operation_timeout(asyn_io_operation* operation, std::uint32_t millisecond);
    void cancel_operation_timeout(asyn_io_operation* operation);

private:
    static constexpr std::uint32_t none = 0xFFFFFFFFu;

    // One armed timer. Entries live in a slab and are reused through a free
    // list. `prev`/`next` chain the entries of one target in arming order (the
    // first entry's prev is the last; the free list uses `next`). The two
    // lookups are hash tables whose chains run through the entries themselves,
    // so their bucket arrays stay small and arming allocates nothing once they
    // have grown.
    struct node {
        void* target = nullptr;
        std::uint32_t param = 0;
        std::uint32_t period = 0;
        std::uint32_t due = 0;
        std::uint32_t prev = none;
        std::uint32_t next = none;
        std::uint32_t key_link = none;     // next handler timer in its (target, param) bucket
        std::uint32_t target_link = none;  // next chain head in its target bucket
        bool is_operation = false;
        bool repeat = false;
        bool live = false;
    };

    // The queue is a 4-ary min-heap of these. The sequence number makes
    // entries with equal due times leave in the order they were armed; 64 bits
    // so it never wraps.
    struct heap_item {
        std::uint32_t due;
        std::uint32_t node;
        std::uint64_t sequence;
    };

    // a is earlier than b when (a - b) is negative as a signed 32-bit value,
    // which keeps the order across the tick counter's wrap to zero.
    static bool earlier(const heap_item& a, const heap_item& b) noexcept {
        const std::int32_t difference = static_cast<std::int32_t>(a.due - b.due);
        return difference < 0 || (difference == 0 && a.sequence < b.sequence);
    }

    // Makes room for one more entry in every container, so the arming that
    // follows cannot fail halfway.
    void reserve_one(bool handler_timer);
    std::uint32_t new_node() noexcept;
    void arm(std::uint32_t index, std::uint32_t due) noexcept;
    // Takes the entry out of the queue, the lookups and its target's chain, and frees it.
    void remove(std::uint32_t index) noexcept;

    void heap_erase(std::uint32_t position) noexcept;
    void sift_up(std::uint32_t position, heap_item item) noexcept;
    void sift_down(std::uint32_t position, heap_item item) noexcept;
    void place(std::uint32_t position, const heap_item& item) noexcept {
        _heap[position] = item;
        _position[item.node] = position;
    }

    std::size_t key_bucket(const void* target, std::uint32_t param) const noexcept;
    std::size_t target_bucket(const void* target) const noexcept;
    std::uint32_t find_key(const void* target, std::uint32_t param) const noexcept;
    std::uint32_t find_head(const void* target) const noexcept;
    void rehash_keys(std::size_t buckets);
    void rehash_targets(std::size_t buckets);
    // Points the target bucket that holds `from` at `to` instead (none: drops it).
    void replace_head(std::uint32_t from, std::uint32_t to) noexcept;
    void link(std::uint32_t index) noexcept;
    void unlink(std::uint32_t index) noexcept;

    std::vector<heap_item> _heap;
    std::vector<node> _nodes;
    std::vector<std::uint32_t> _position;  // heap position of each node
    std::uint32_t _free = none;
    std::uint64_t _sequence = 0;
    std::vector<std::uint32_t> _key_buckets;     // handler timers by (target, param)
    std::vector<std::uint32_t> _target_buckets;  // first entry of each target's chain
    unsigned _key_shift = 64;
    unsigned _target_shift = 64;
    std::size_t _handler_timers = 0;
    std::size_t _targets = 0;
    std::size_t _operation_timeouts = 0;
};

}  // namespace asynframe
