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

unsigned shift_for(std::size_t buckets) noexcept {
    unsigned shift = 64;
    for (std::size_t b = buckets; b > 1; b >>= 1) --shift;
    return shift;
}

}  // namespace

std::uint32_t timer_manager::now() const noexcept {
    if (!_clock_held) return platform::tick_count();
    if (!_clock_read) {
        _clock = platform::tick_count();
        _clock_read = true;
    }
    return _clock;
}

void timer_manager::front(timer_entry& entry) const {
    const due_group& group = _groups[_heap.front().group];
    const node& n = _nodes[group.first];
    entry.is_operation = n.is_operation;
    entry.target = n.target;
    entry.param = n.param;
    entry.repeat = n.repeat ? 1 : 0;
    entry.period = n.period;
    entry.due = group.due;
    const std::int32_t left = static_cast<std::int32_t>(group.due - now());
    entry.remaining = left < 0 ? 0 : left;
}

void timer_manager::pop_front() {
    const std::uint32_t index = _groups[_heap.front().group].first;
    const node& n = _nodes[index];
    if (!n.is_operation && n.repeat) {
        // Next due one period from now, not from the previous due time. The
        // entry keeps its lookups and only moves in the queue, behind every
        // entry already armed with the same due time. The containers always
        // have room for this, so nothing is allocated.
        const std::uint32_t due = now() + n.period;
        dequeue(index);
        enqueue(index, due);
        return;
    }
    remove(index);
}

bool timer_manager::set_timer(timeout_handler* handler, std::uint32_t millisecond, std::uint32_t param,
                              bool repeat) {
    const std::uint32_t head = find_head(handler);
    if (find_timer(head, handler, param) != none) return false;
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
    n.keyed = false;
    link(index, head);
    if (head != none) {
        node& first = _nodes[head];
        if (first.many) {
            add_key(index);
        } else {
            // A handler with many timers: walking its chain would cost too much
            // from now on, so its timers go into the table by (handler, param).
            std::uint32_t handler_timers = 0;
            for (std::uint32_t i = head; i != none; i = _nodes[i].next) handler_timers += !_nodes[i].is_operation;
            if (handler_timers > walk_limit) {
                for (std::uint32_t i = head; i != none; i = _nodes[i].next)
                    if (!_nodes[i].is_operation) add_key(i);
                first.many = true;
            }
        }
    }
    enqueue(index, now() + millisecond);
    return true;
}

void timer_manager::kill_timer(timeout_handler* handler, std::uint32_t param) {
    const std::uint32_t index = find_timer(find_head(handler), handler, param);
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
    n.keyed = false;
    ++_operation_timeouts;
    link(index, find_head(operation));
    enqueue(index, now() + millisecond);
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
    if (_free == none) reserve_one_more(_nodes);
    // There are never more groups than entries: with room for as many groups
    // as entries, re-arming a repeating timer needs no allocation.
    const std::size_t entries = _nodes.capacity();
    if (_groups.capacity() < entries) _groups.reserve(entries);
    if (_heap.capacity() < entries) _heap.reserve(entries);
    // The bucket chains take any number of groups; a repeating timer that
    // makes a group beyond the bucket count only lengthens a chain until the
    // next arming grows the table.
    if (_heap.size() + 1 > _group_buckets.size())
        rehash_groups(_group_buckets.empty() ? 64 : _group_buckets.size() * 2);
    // At most one entry per bucket on average; a handler's timers may all
    // become keyed at once.
    if (handler_timer && _keyed + walk_limit + 1 > _key_buckets.size())
        rehash_keys(_key_buckets.empty() ? 64 : _key_buckets.size() * 2);
    if (_targets + 1 > _target_buckets.size())
        rehash_targets(_target_buckets.empty() ? 64 : _target_buckets.size() * 2);
}

std::uint32_t timer_manager::new_node() noexcept {
    std::uint32_t index;
    if (_free != none) {
        index = _free;
        _free = _nodes[index].next;
    } else {
        _nodes.emplace_back();
        index = static_cast<std::uint32_t>(_nodes.size() - 1);
    }
    _nodes[index].live = true;
    ++_live;
    return index;
}

void timer_manager::remove(std::uint32_t index) noexcept {
    node& n = _nodes[index];
    dequeue(index);
    if (n.is_operation) --_operation_timeouts;
    if (n.keyed) {
        std::uint32_t* link = &_key_buckets[key_bucket(n.target, n.param)];
        while (*link != index) link = &_nodes[*link].key_link;
        *link = n.key_link;
        n.keyed = false;
        --_keyed;
    }
    unlink(index);
    n.live = false;
    n.next = _free;
    _free = index;
    --_live;
}

// ---- queue ---------------------------------------------------------------------

void timer_manager::enqueue(std::uint32_t index, std::uint32_t due) noexcept {
    std::uint32_t g = _last_group != none && _groups[_last_group].due == due ? _last_group : find_group(due);
    if (g == none) {
        if (_free_group != none) {
            g = _free_group;
            _free_group = _groups[g].link;
        } else {
            _groups.emplace_back();
            g = static_cast<std::uint32_t>(_groups.size() - 1);
        }
        due_group& group = _groups[g];
        group.due = due;
        group.first = none;
        group.last = none;
        const std::size_t bucket = group_bucket(due);
        group.link = _group_buckets[bucket];
        _group_buckets[bucket] = g;
        _heap.push_back(heap_item{});
        sift_up(static_cast<std::uint32_t>(_heap.size() - 1), heap_item{due, g});
    }
    due_group& group = _groups[g];
    node& n = _nodes[index];
    n.group = g;
    n.before = group.last;
    n.after = none;
    if (group.last != none)
        _nodes[group.last].after = index;
    else
        group.first = index;
    group.last = index;
    _last_group = g;
}

void timer_manager::dequeue(std::uint32_t index) noexcept {
    const node& n = _nodes[index];
    const std::uint32_t g = n.group;
    due_group& group = _groups[g];
    if (n.before != none)
        _nodes[n.before].after = n.after;
    else
        group.first = n.after;
    if (n.after != none)
        _nodes[n.after].before = n.before;
    else
        group.last = n.before;
    if (group.first != none) return;
    std::uint32_t* link = &_group_buckets[group_bucket(group.due)];
    while (*link != g) link = &_groups[*link].link;
    *link = group.link;
    heap_erase(group.heap_position);
    group.link = _free_group;
    _free_group = g;
    if (_last_group == g) _last_group = none;
}

std::uint32_t timer_manager::find_group(std::uint32_t due) const noexcept {
    if (_heap.empty()) return none;
    std::uint32_t g = _group_buckets[group_bucket(due)];
    while (g != none && _groups[g].due != due) g = _groups[g].link;
    return g;
}

void timer_manager::rehash_groups(std::size_t buckets) {
    std::vector<std::uint32_t> fresh(buckets, none);
    _group_buckets.swap(fresh);
    _group_shift = shift_for(buckets);
    for (const heap_item& item : _heap) {
        const std::size_t bucket = group_bucket(item.due);
        _groups[item.group].link = _group_buckets[bucket];
        _group_buckets[bucket] = item.group;
    }
}

void timer_manager::heap_erase(std::uint32_t position) noexcept {
    const heap_item last = _heap.back();
    _heap.pop_back();
    if (position == _heap.size()) return;
    if (position > 0 && earlier(last.due, _heap[(position - 1) / 4].due))
        sift_up(position, last);
    else
        sift_down(position, last);
}

void timer_manager::sift_up(std::uint32_t position, heap_item item) noexcept {
    while (position > 0) {
        const std::uint32_t parent = (position - 1) / 4;
        if (!earlier(item.due, _heap[parent].due)) break;
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
            if (earlier(_heap[child].due, _heap[best].due)) best = child;
        if (!earlier(_heap[best].due, item.due)) break;
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
    // Objects in one stretch of memory as many 8-byte units long as there are
    // buckets get distinct, neighbouring buckets (objects made together are
    // usually armed together, so their lookups share cache lines); each
    // stretch is moved by a hash of where it lies, so strides cannot pile up.
    const std::uint64_t units = reinterpret_cast<std::uintptr_t>(target) >> 3;
    const unsigned bits = 64 - _target_shift;
    return static_cast<std::size_t>((units ^ mix(units >> bits)) & (_target_buckets.size() - 1));
}

std::uint32_t timer_manager::find_timer(std::uint32_t head, const void* target, std::uint32_t param) const noexcept {
    if (head == none) return none;
    std::uint32_t index;
    if (_nodes[head].many) {
        index = _key_buckets[key_bucket(target, param)];
        while (index != none && (_nodes[index].target != target || _nodes[index].param != param))
            index = _nodes[index].key_link;
    } else {
        index = head;
        while (index != none && (_nodes[index].is_operation || _nodes[index].param != param))
            index = _nodes[index].next;
    }
    return index;
}

void timer_manager::add_key(std::uint32_t index) noexcept {
    node& n = _nodes[index];
    const std::size_t bucket = key_bucket(n.target, n.param);
    n.key_link = _key_buckets[bucket];
    _key_buckets[bucket] = index;
    n.keyed = true;
    ++_keyed;
}

std::uint32_t timer_manager::find_head(const void* target) const noexcept {
    if (_targets == 0) return none;
    std::uint32_t index = _target_buckets[target_bucket(target)];
    while (index != none && _nodes[index].target != target) index = _nodes[index].target_link;
    return index;
}

void timer_manager::rehash_keys(std::size_t buckets) {
    std::vector<std::uint32_t> fresh(buckets, none);
    _key_buckets.swap(fresh);
    _key_shift = shift_for(buckets);
    for (std::uint32_t index = 0; index < _nodes.size(); ++index) {
        node& n = _nodes[index];
        if (!n.live || !n.keyed) continue;
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

void timer_manager::link(std::uint32_t index, std::uint32_t head) noexcept {
    node& n = _nodes[index];
    n.next = none;
    if (head != none) {
        node& first = _nodes[head];
        const std::uint32_t tail = first.prev;
        _nodes[tail].next = index;
        n.prev = tail;
        first.prev = index;
    } else {
        n.prev = index;
        n.many = false;
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
            _nodes[n.next].many = n.many;
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
