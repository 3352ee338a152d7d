#include "engine/timer_manager.h"

#include "platform/tick.h"
#include "support/assert.h"

namespace asynframe {

namespace {

template <class T>
void reserve_one_more(std::vector<T>& items) {
    if (items.size() == items.capacity()) items.reserve(items.empty() ? 64 : items.capacity() * 2);
}

std::uint64_t mix(std::uint64_t x) noexcept {
    x ^= x >> 32;
    x *= 0xD6E8FEB86659FD93ull;
    x ^= x >> 32;
    return x * 0x9E3779B97F4A7C15ull;
}

}  // namespace

void timer_manager::front(timer_entry& entry) const {
    const node& n = _nodes[_heap.front().node];
    entry.is_operation = n.is_operation;
    entry.target = n.target;
    entry.param = n.param;
    entry.repeat = n.repeat ? 1 : 0;
    entry.period = n.period;
    entry.due = n.due;
    const std::int32_t left = static_cast<std::int32_t>(n.due - platform::tick_count());
    entry.remaining = left < 0 ? 0 : left;
}

void timer_manager::pop_front() {
    const std::uint32_t index = _heap.front().node;
    node& n = _nodes[index];
    if (!n.is_operation && n.repeat) {
        // Next due one period from now, not from the previous due time. The
        // entry keeps its lookups and only moves in the queue, behind every
        // entry already armed with the same due time.
        n.due = platform::tick_count() + n.period;
        sift_down(0, heap_item{n.due, index, _sequence++});
        return;
    }
    remove(index);
}

bool timer_manager::set_timer(timeout_handler* handler, std::uint32_t millisecond, std::uint32_t param,
                              bool repeat) {
    if (find_key(handler, param) != none) return false;
    vortan_assert_text(millisecond < MAX_TIMER_MILLISECOND, "millisecond < MAX_TIMER_MILLISECOND", "vortan_assert",
                       "timer_manager", 42);
    reserve_one(true);
    const std::uint32_t index = new_node();
    node& n = _nodes[index];
    n.is_operation = false;
    n.target = handler;
    n.param = param;
    n.repeat = repeat;
    n.period = millisecond;
    const std::size_t bucket = key_bucket(handler, param);
    n.key_link = _key_buckets[bucket];
    _key_buckets[bucket] = index;
    ++_handler_timers;
    link(index);
    arm(index, platform::tick_count() + millisecond);
    return true;
}

void timer_manager::kill_timer(timeout_handler* handler, std::uint32_t param) {
    const std::uint32_t index = find_key(handler, param);
    if (index != none) remove(index);
}

void timer_manager::kill_timers(timeout_handler* handler) {
    // Removing the first entry each time keeps the walk linear.
    for (std::uint32_t index = find_head(handler); index != none;) {
        const std::uint32_t next = _nodes[index].next;
        remove(index);
        index = next;
    }
}

void timer_manager::set_operation_timeout(asyn_io_operation* operation, std::uint32_t millisecond) {
    vortan_assert_text(millisecond < MAX_TIMER_MILLISECOND, "millisecond < MAX_TIMER_MILLISECOND", "vortan_assert",
                       "timer_manager", 67);
    reserve_one(false);
    const std::uint32_t index = new_node();
    node& n = _nodes[index];
    n.is_operation = true;
    n.target = operation;
    n.param = 0;
    n.repeat = false;
    n.period = 0;
    ++_operation_timeouts;
    link(index);
    arm(index, platform::tick_count() + millisecond);
}

void timer_manager::cancel_operation_timeout(asyn_io_operation* operation) {
    // Called before every completion is handled: most of the time nothing is armed.
    if (_operation_timeouts == 0) return;
    // The chain is in arming order: the first time-out met is the oldest.
    for (std::uint32_t index = find_head(operation); index != none; index = _nodes[index].next) {
        if (_nodes[index].is_operation) {
            remove(index);
            return;
        }
    }
}

// ---- entries -------------------------------------------------------------------

void timer_manager::reserve_one(bool handler_timer) {
    reserve_one_more(_heap);
    if (_free == none) {
        reserve_one_more(_nodes);
        if (_position.capacity() < _nodes.capacity()) _position.reserve(_nodes.capacity());
    }
    // At most one entry per bucket on average.
    if (handler_timer && _handler_timers + 1 > _key_buckets.size())
        rehash_keys(_key_buckets.empty() ? 64 : _key_buckets.size() * 2);
    if (_targets + 1 > _target_buckets.size()) rehash_targets(_target_buckets.empty() ? 64 : _target_buckets.size() * 2);
}

std::uint32_t timer_manager::new_node() noexcept {
    std::uint32_t index;
    if (_free != none) {
        index = _free;
        _free = _nodes[index].next;
    } else {
        _nodes.emplace_back();
        _position.push_back(0);
        index = static_cast<std::uint32_t>(_nodes.size() - 1);
    }
    _nodes[index].live = true;
    return index;
}

void timer_manager::arm(std::uint32_t index, std::uint32_t due) noexcept {
    _nodes[index].due = due;
    _heap.push_back(heap_item{});
    sift_up(static_cast<std::uint32_t>(_heap.size() - 1), heap_item{due, index, _sequence++});
}

void timer_manager::remove(std::uint32_t index) noexcept {
    node& n = _nodes[index];
    heap_erase(_position[index]);
    if (n.is_operation) {
        --_operation_timeouts;
    } else {
        std::uint32_t* link = &_key_buckets[key_bucket(n.target, n.param)];
        while (*link != index) link = &_nodes[*link].key_link;
        *link = n.key_link;
        --_handler_timers;
    }
    unlink(index);
    n.live = false;
    n.next = _free;
    _free = index;
}

// ---- queue ---------------------------------------------------------------------

void timer_manager::heap_erase(std::uint32_t position) noexcept {
    const heap_item last = _heap.back();
    _heap.pop_back();
    if (position == _heap.size()) return;
    if (position > 0 && earlier(last, _heap[(position - 1) / 4]))
        sift_up(position, last);
    else
        sift_down(position, last);
}

void timer_manager::sift_up(std::uint32_t position, heap_item item) noexcept {
    while (position > 0) {
        const std::uint32_t parent = (position - 1) / 4;
        if (!earlier(item, _heap[parent])) break;
        place(position, _heap[parent]);
        position = parent;
    }
    place(position, item);
}

void timer_manager::sift_down(std::uint32_t position, heap_item item) noexcept {
    const std::size_t count = _heap.size();
    for (;;) {
        const std::size_t first = std::size_t{position} * 4 + 1;
        if (first >= count) break;
        std::size_t best = first;
        const std::size_t end = first + 4 < count ? first + 4 : count;
        for (std::size_t child = first + 1; child < end; ++child)
            if (earlier(_heap[child], _heap[best])) best = child;
        if (!earlier(_heap[best], item)) break;
        place(position, _heap[best]);
        position = static_cast<std::uint32_t>(best);
    }
    place(position, item);
}

// ---- lookups ---------------------------------------------------------------------

std::size_t timer_manager::key_bucket(const void* target, std::uint32_t param) const noexcept {
    const std::uint64_t x = reinterpret_cast<std::uintptr_t>(target) + std::uint64_t{param} * 0xC2B2AE3D27D4EB4Full;
    return static_cast<std::size_t>(mix(x) >> _key_shift);
}

std::size_t timer_manager::target_bucket(const void* target) const noexcept {
    return static_cast<std::size_t>(mix(reinterpret_cast<std::uintptr_t>(target)) >> _target_shift);
}

std::uint32_t timer_manager::find_key(const void* target, std::uint32_t param) const noexcept {
    if (_handler_timers == 0) return none;
    std::uint32_t index = _key_buckets[key_bucket(target, param)];
    while (index != none && (_nodes[index].target != target || _nodes[index].param != param))
        index = _nodes[index].key_link;
    return index;
}

std::uint32_t timer_manager::find_head(const void* target) const noexcept {
    if (_targets == 0) return none;
    std::uint32_t index = _target_buckets[target_bucket(target)];
    while (index != none && _nodes[index].target != target) index = _nodes[index].target_link;
    return index;
}

namespace {

unsigned shift_for(std::size_t buckets) noexcept {
    unsigned shift = 64;
    for (std::size_t b = buckets; b > 1; b >>= 1) --shift;
    return shift;
}

}  // namespace

void timer_manager::rehash_keys(std::size_t buckets) {
    std::vector<std::uint32_t> fresh(buckets, none);
    _key_buckets.swap(fresh);
    _key_shift = shift_for(buckets);
    for (std::uint32_t index = 0; index < _nodes.size(); ++index) {
        node& n = _nodes[index];
        if (!n.live || n.is_operation) continue;
        const std::size_t bucket = key_bucket(n.target, n.param);
        n.key_link = _key_buckets[bucket];
        _key_buckets[bucket] = index;
    }
}

void timer_manager::rehash_targets(std::size_t buckets) {
    std::vector<std::uint32_t> fresh(buckets, none);
    _target_buckets.swap(fresh);
    _target_shift = shift_for(buckets);
    for (std::uint32_t index = 0; index < _nodes.size(); ++index) {
        node& n = _nodes[index];
        // Only the first entry of each chain is in the table.
        if (!n.live || _nodes[n.prev].next == index) continue;
        const std::size_t bucket = target_bucket(n.target);
        n.target_link = _target_buckets[bucket];
        _target_buckets[bucket] = index;
    }
}

void timer_manager::replace_head(std::uint32_t from, std::uint32_t to) noexcept {
    std::uint32_t* link = &_target_buckets[target_bucket(_nodes[from].target)];
    while (*link != from) link = &_nodes[*link].target_link;
    if (to == none) {
        *link = _nodes[from].target_link;
    } else {
        _nodes[to].target_link = _nodes[from].target_link;
        *link = to;
    }
}

// ---- chains of one target --------------------------------------------------------

void timer_manager::link(std::uint32_t index) noexcept {
    node& n = _nodes[index];
    n.next = none;
    const std::uint32_t head = find_head(n.target);
    if (head != none) {
        node& first = _nodes[head];
        const std::uint32_t tail = first.prev;
        _nodes[tail].next = index;
        n.prev = tail;
        first.prev = index;
    } else {
        n.prev = index;
        const std::size_t bucket = target_bucket(n.target);
        n.target_link = _target_buckets[bucket];
        _target_buckets[bucket] = index;
        ++_targets;
    }
}

void timer_manager::unlink(std::uint32_t index) noexcept {
    node& n = _nodes[index];
    const bool is_head = _nodes[n.prev].next != index;
    if (is_head) {
        if (n.next == none) {
            replace_head(index, none);
            --_targets;
        } else {
            _nodes[n.next].prev = n.prev;
            replace_head(index, n.next);
        }
    } else if (n.next != none) {
        _nodes[n.prev].next = n.next;
        _nodes[n.next].prev = n.prev;
    } else {
        // The last entry: the first entry's prev must name the new last one.
        _nodes[n.prev].next = none;
        _nodes[find_head(n.target)].prev = n.prev;
    }
}

}  // namespace asynframe
