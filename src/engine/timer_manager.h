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

    bool has_timers() const noexcept { return _live != 0; }
    std::size_t size() const noexcept { return _live; }
    // The earliest entry, with `remaining` = milliseconds until due (0 when overdue).
    void front(timer_entry& entry) const;
    void pop_front();

    bool set_timer(timeout_handler* handler, std::uint32_t millisecond, std::uint32_t param, bool repeat);
    void kill_timer(timeout_handler* handler, std::uint32_t param);
    void kill_timers(timeout_handler* handler);
    void set_operation_timeout(asyn_io_operation* operation, std::uint32_t millisecond);
    void cancel_operation_timeout(asyn_io_operation* operation);

    // Between these, every look at the clock answers the first one: a
    // dispatch turn that arms a receive time-out per completion reads the
    // clock once, not once per completion. An entry armed late in a long
    // turn is due that much earlier, by the same measure as a timer fires
    // late when a turn runs long; the wait that follows reads the clock anew.
    void hold_clock() noexcept {
        _clock_held = true;
        _clock_read = false;
    }
    void release_clock() noexcept { _clock_held = false; }

private:
    static constexpr std::uint32_t none = 0xFFFFFFFFu;
    // Handler timers a handler may have before they are looked up by key.
    static constexpr std::uint32_t walk_limit = 8;

    // The queue: entries with the same due tick form a group, a list in arming
    // order, so equal due times fire in the order they were armed; the groups
    // sit in a 4-ary min-heap by due tick. Most timers share their due tick
    // with others, so arming, firing and cancelling rarely touch the heap.
    //
    // Entries live in a slab and are reused through a free list. `prev`/`next`
    // chain the entries of one target in arming order (the first entry's prev
    // is the last; the free list uses `next`). A target's chain is found
    // through a hash table of first entries; a handler timer is found by
    // walking its handler's chain, or, once a handler has more than a few
    // timers, through a second hash table by (handler, param). Both tables
    // chain through the entries themselves, so their bucket arrays stay small.
    // Nothing is allocated once the containers have grown to the largest
    // number of timers seen.
    struct node {
        void* target = nullptr;
        std::uint32_t param = 0;
        std::uint32_t period = 0;
        std::uint32_t prev = none;
        std::uint32_t next = none;
        std::uint32_t key_link = none;     // next handler timer in its (target, param) bucket
        std::uint32_t target_link = none;  // next chain head in its target bucket
        std::uint32_t group = none;        // due group
        std::uint32_t before = none;       // neighbours in the due group
        std::uint32_t after = none;
        // Bits, so that an entry takes 48 bytes: a server arms one per idle
        // connection's receive.
        bool is_operation : 1 = false;
        bool repeat : 1 = false;
        bool live : 1 = false;
        bool keyed : 1 = false;  // in the (handler, param) table
        bool many : 1 = false;   // first entry only: the target's handler timers are all keyed
    };
    static_assert(sizeof(node) <= 48);

    struct due_group {
        std::uint32_t due = 0;
        std::uint32_t first = none;
        std::uint32_t last = none;
        std::uint32_t heap_position = 0;
        std::uint32_t link = none;  // next group in its due bucket; the free list
    };

    struct heap_item {
        std::uint32_t due;
        std::uint32_t group;
    };

    // a is earlier than b when (a - b) is negative as a signed 32-bit value,
    // which keeps the order across the tick counter's wrap to zero.
    static bool earlier(std::uint32_t a, std::uint32_t b) noexcept { return static_cast<std::int32_t>(a - b) < 0; }

    std::uint32_t now() const noexcept;
    // Makes room for one more entry in every container, so the arming that
    // follows cannot fail halfway.
    void reserve_one(bool handler_timer);
    std::uint32_t new_node() noexcept;
    // Takes the entry out of the queue, the lookups and its target's chain, and frees it.
    void remove(std::uint32_t index) noexcept;

    // Appends the entry to the group of `due`, making the group when needed.
    void enqueue(std::uint32_t index, std::uint32_t due) noexcept;
    // Takes the entry out of its group, dropping the group when it empties.
    void dequeue(std::uint32_t index) noexcept;
    std::uint32_t find_group(std::uint32_t due) const noexcept;
    std::size_t group_bucket(std::uint32_t due) const noexcept {
        return static_cast<std::size_t>((std::uint64_t{due} * 0x9E3779B97F4A7C15ull) >> _group_shift);
    }
    void rehash_groups(std::size_t buckets);
    void heap_erase(std::uint32_t position) noexcept;
    void sift_up(std::uint32_t position, heap_item item) noexcept;
    void sift_down(std::uint32_t position, heap_item item) noexcept;
    void place(std::uint32_t position, const heap_item& item) noexcept {
        _heap[position] = item;
        _groups[item.group].heap_position = position;
    }

    std::size_t key_bucket(const void* target, std::uint32_t param) const noexcept;
    std::size_t target_bucket(const void* target) const noexcept;
    // The handler timer (target, param) in the chain that starts at `head`.
    std::uint32_t find_timer(std::uint32_t head, const void* target, std::uint32_t param) const noexcept;
    std::uint32_t find_head(const void* target) const noexcept;
    void add_key(std::uint32_t index) noexcept;
    void rehash_keys(std::size_t buckets);
    void rehash_targets(std::size_t buckets);
    // Points the target bucket that holds `from` at `to` instead (none: drops it).
    void replace_head(std::uint32_t from, std::uint32_t to) noexcept;
    // Appends the entry to the chain that starts at `head` (none: a new chain).
    void link(std::uint32_t index, std::uint32_t head) noexcept;
    void unlink(std::uint32_t index) noexcept;

    std::vector<node> _nodes;
    std::uint32_t _free = none;
    std::size_t _live = 0;
    std::vector<due_group> _groups;
    std::uint32_t _free_group = none;
    std::uint32_t _last_group = none;  // the group armed last: the next arming usually shares it
    std::vector<heap_item> _heap;
    std::vector<std::uint32_t> _group_buckets;   // due groups by due tick
    std::vector<std::uint32_t> _key_buckets;     // keyed handler timers by (target, param)
    std::vector<std::uint32_t> _target_buckets;  // first entry of each target's chain
    unsigned _group_shift = 64;
    unsigned _key_shift = 64;
    unsigned _target_shift = 64;
    std::size_t _keyed = 0;
    std::size_t _targets = 0;
    std::size_t _operation_timeouts = 0;
    bool _clock_held = false;
    mutable bool _clock_read = false;
    mutable std::uint32_t _clock = 0;
};

}  // namespace asynframe
