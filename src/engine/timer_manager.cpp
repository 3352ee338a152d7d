#include "engine/timer_manager.h"

#include "platform/tick.h"
#include "support/assert.h"

namespace asynframe {

namespace {

template <class T>
void reserve_one_more(std::vector<T>& items) {
    if (items.size() == items.capacity()) items.reserve(items.empty() ? 64 : items.capacity() * 2);
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
        // entry keeps its index and chain places and only moves in the queue,
        // behind every entry armed before it with the same due time.
        n.due = platform::tick_count() + n.period;
        sift_down(0, heap_item{n.due, index, _sequence++});
        return;
    }
    remove(index);
}

bool timer_manager::set_timer(timeout_handler* handler, std::uint32_t millisecond, std::uint32_t param,
                              bool repeat) {
    const timer_key key{handler, param};
    if (_by_key.find(key) != nullptr) return false;
    vortan_assert_text(millisecond < MAX_TIMER_MILLISECOND, "millisecond < MAX_TIMER_MILLISECOND", "vortan_assert",
                       "timer_manager", 42);
    reserve_one();
    _by_key.reserve_one();
    const std::uint32_t index = new_node();
    node& n = _nodes[index];
    n.is_operation = false;
    n.target = handler;
    n.param = param;
    n.repeat = repeat;
    n.period = millisecond;
    _by_key.insert(key, index);
    link(index);
    arm(index, platform::tick_count() + millisecond);
    return true;
}

void timer_manager::kill_timer(timeout_handler* handler, std::uint32_t param) {
    if (const std::uint32_t* found = _by_key.find(timer_key{handler, param})) remove(*found);
}

void timer_manager::kill_timers(timeout_handler* handler) {
    const std::uint32_t* head = _by_target.find(handler);
    if (head == nullptr) return;
    // Removing the head each time keeps the walk linear; the last removal
    // drops the target's chain record.
    for (std::uint32_t index = *head; index != none;) {
        const std::uint32_t next = _nodes[index].next;
        remove(index);
        index = next;
    }
}

void timer_manager::set_operation_timeout(asyn_io_operation* operation, std::uint32_t millisecond) {
    vortan_assert_text(millisecond < MAX_TIMER_MILLISECOND, "millisecond < MAX_TIMER_MILLISECOND", "vortan_assert",
                       "timer_manager", 67);
    reserve_one();
    const std::uint32_t index = new_node();
    node& n = _nodes[index];
    n.is_operation = true;
    n.target = operation;
    n.param = 0;
    n.repeat = false;
    n.period = 0;
    link(index);
    ++_operation_timeouts;
    arm(index, platform::tick_count() + millisecond);
}

void timer_manager::cancel_operation_timeout(asyn_io_operation* operation) {
    // Called before every completion is handled: most of the time nothing is armed.
    if (_operation_timeouts == 0) return;
    const std::uint32_t* head = _by_target.find(operation);
    if (head == nullptr) return;
    // The chain is in arming order: the first time-out found is the oldest.
    for (std::uint32_t index = *head; index != none; index = _nodes[index].next) {
        if (_nodes[index].is_operation) {
            remove(index);
            return;
        }
    }
}

// ---- entries -------------------------------------------------------------------

void timer_manager::reserve_one() {
    reserve_one_more(_heap);
    if (_free == none) {
        reserve_one_more(_nodes);
        if (_position.capacity() < _nodes.capacity()) _position.reserve(_nodes.capacity());
    }
    _by_target.reserve_one();
}

std::uint32_t timer_manager::new_node() noexcept {
    if (_free != none) {
        const std::uint32_t index = _free;
        _free = _nodes[index].next;
        return index;
    }
    _nodes.emplace_back();
    _position.push_back(0);
    return static_cast<std::uint32_t>(_nodes.size() - 1);
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
    } else if (std::uint32_t* found = _by_key.find(timer_key{n.target, n.param})) {
        _by_key.erase(found);
    }
    unlink(index);
    n.target = nullptr;
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

// ---- chains of one target --------------------------------------------------------

void timer_manager::link(std::uint32_t index) noexcept {
    node& n = _nodes[index];
    n.next = none;
    if (std::uint32_t* head = _by_target.find(n.target)) {
        node& first = _nodes[*head];
        const std::uint32_t tail = first.prev;
        _nodes[tail].next = index;
        n.prev = tail;
        first.prev = index;
    } else {
        n.prev = index;
        _by_target.insert(n.target, index);
    }
}

void timer_manager::unlink(std::uint32_t index) noexcept {
    node& n = _nodes[index];
    const bool is_head = _nodes[n.prev].next != index;
    if (!is_head && n.next != none) {
        // In the middle: the chain record is untouched.
        _nodes[n.prev].next = n.next;
        _nodes[n.next].prev = n.prev;
        return;
    }
    std::uint32_t* head = _by_target.find(n.target);
    if (is_head) {
        if (n.next == none) {
            _by_target.erase(head);
        } else {
            _nodes[n.next].prev = n.prev;
            *head = n.next;
        }
    } else {
        // The tail: the head's prev names the new tail.
        _nodes[n.prev].next = none;
        _nodes[*head].prev = n.prev;
    }
}

}  // namespace asynframe
