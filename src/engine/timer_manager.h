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

namespace detail {

// Open-addressing hash table with linear probing and backward-shift deletion.
// Slots hold a key and a 32-bit value; `vacant` marks a free slot. It never
// shrinks, so a steady number of timers allocates nothing.
template <class Key, class Hash>
class flat_table {
public:
    static constexpr std::uint32_t vacant = 0xFFFFFFFFu;

    std::size_t size() const noexcept { return _count; }

    // The slot's value for `key`, or nullptr.
    std::uint32_t* find(const Key& key) noexcept {
        if (_count == 0) return nullptr;
        for (std::size_t i = home(key);; i = (i + 1) & _mask) {
            slot& s = _slots[i];
            if (s.value == vacant) return nullptr;
            if (s.key == key) return &s.value;
        }
    }

    // Makes room for one more key; the only call that can throw.
    void reserve_one() {
        if ((_count + 1) * 2 > _slots.size()) grow();
    }

    // Inserts a key that is not present; reserve_one() must have been called.
    std::uint32_t& insert(const Key& key, std::uint32_t value) noexcept {
        std::size_t i = home(key);
        while (_slots[i].value != vacant) i = (i + 1) & _mask;
        _slots[i].key = key;
        _slots[i].value = value;
        ++_count;
        return _slots[i].value;
    }

    // Removes the key whose value is `value` (the caller obtained it from find()).
    void erase(std::uint32_t* value) noexcept {
        const slot* base = _slots.data();
        std::size_t hole =
            static_cast<std::size_t>(reinterpret_cast<const char*>(value) - reinterpret_cast<const char*>(base)) /
            sizeof(slot);
        // Pull later members of the probe run back so no lookup meets a gap early.
        for (std::size_t next = (hole + 1) & _mask;; next = (next + 1) & _mask) {
            slot& s = _slots[next];
            if (s.value == vacant) break;
            const std::size_t want = home(s.key);
            if (((next - want) & _mask) >= ((next - hole) & _mask)) {
                _slots[hole] = s;
                hole = next;
            }
        }
        _slots[hole].value = vacant;
        --_count;
    }

private:
    struct slot {
        Key key{};
        std::uint32_t value = vacant;
    };

    std::size_t home(const Key& key) const noexcept { return static_cast<std::size_t>(Hash{}(key) >> _shift); }

    void grow() {
        const std::size_t capacity = _slots.empty() ? 64 : _slots.size() * 2;
        std::vector<slot> old(capacity);
        old.swap(_slots);
        _mask = capacity - 1;
        _shift = 64;
        for (std::size_t c = capacity; c > 1; c >>= 1) --_shift;
        _count = 0;
        for (const slot& s : old)
            if (s.value != vacant) insert(s.key, s.value);
    }

    std::vector<slot> _slots;
    std::size_t _mask = 0;
    unsigned _shift = 64;
    std::size_t _count = 0;
};

}  // namespace detail

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
    // list; `prev`/`next` link the entries of one target in arming order (the
    // free list uses `next`).
    struct node {
        void* target = nullptr;
        std::uint32_t param = 0;
        std::uint32_t period = 0;
        std::uint32_t due = 0;
        std::uint32_t prev = none;
        std::uint32_t next = none;
        bool is_operation = false;
        bool repeat = false;
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

    struct timer_key {
        const void* target;
        std::uint32_t param;
        bool operator==(const timer_key&) const = default;
    };
    struct timer_key_hash {
        std::uint64_t operator()(const timer_key& key) const noexcept {
            std::uint64_t x = reinterpret_cast<std::uintptr_t>(key.target) ^ (std::uint64_t{key.param} << 32 | key.param);
            x ^= x >> 29;
            return x * 0x9E3779B97F4A7C15ull;
        }
    };
    struct target_hash {
        std::uint64_t operator()(const void* target) const noexcept {
            const std::uint64_t x = reinterpret_cast<std::uintptr_t>(target);
            return (x ^ (x >> 29)) * 0x9E3779B97F4A7C15ull;
        }
    };

    // Ensures every container can take one more timer, so the arming that
    // follows cannot fail halfway.
    void reserve_one();
    std::uint32_t new_node() noexcept;
    void arm(std::uint32_t index, std::uint32_t due) noexcept;
    // Takes the entry out of the heap, the index and its target's chain, and frees it.
    void remove(std::uint32_t index) noexcept;
    void heap_erase(std::uint32_t position) noexcept;
    void sift_up(std::uint32_t position, heap_item item) noexcept;
    void sift_down(std::uint32_t position, heap_item item) noexcept;
    void place(std::uint32_t position, const heap_item& item) noexcept {
        _heap[position] = item;
        _position[item.node] = position;
    }
    void link(std::uint32_t index) noexcept;
    void unlink(std::uint32_t index) noexcept;

    std::vector<heap_item> _heap;
    std::vector<node> _nodes;
    std::vector<std::uint32_t> _position;  // heap position of each node
    std::uint32_t _free = none;
    std::uint64_t _sequence = 0;
    // (handler, param) -> its handler timer.
    detail::flat_table<timer_key, timer_key_hash> _by_key;
    // target -> first entry of its chain (the chain's last entry is the first's prev).
    detail::flat_table<const void*, target_hash> _by_target;
    std::size_t _operation_timeouts = 0;
};

}  // namespace asynframe
