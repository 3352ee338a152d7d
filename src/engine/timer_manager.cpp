#include "engine/timer_manager.h"

#include "platform/tick.h"
#include "support/assert.h"

namespace asynframe {

void timer_manager::front(timer_entry& entry) const {
    entry = *_queue.begin();
    const std::int32_t left = static_cast<std::int32_t>(entry.due - platform::tick_count());
    entry.remaining = left < 0 ? 0 : left;
}

void timer_manager::insert(queue_type::node_type node) {
    // A multiset places a new element after every element with an equal key,
    // so equal due times fire in arming order.
    const timer_entry& entry = node.value();
    const void* target = entry.target;
    const std::uint32_t param = entry.param;
    const auto position = _queue.insert(std::move(node));
    _index.emplace(target, index_value{param, position});
}

void timer_manager::pop_front() {
    const auto earliest = _queue.begin();
    auto [first, last] = _index.equal_range(earliest->target);
    if (earliest->is_operation) {
        // The index entry of exactly this time-out: an operation may have two.
        auto match = first;
        for (auto it = first; it != last; ++it) {
            if (it->second.position == earliest) {
                match = it;
                break;
            }
        }
        if (match != last) _index.erase(match);
        _queue.erase(earliest);
        return;
    }
    for (auto it = first; it != last; ++it) {
        if (it->second.param == earliest->param) {
            _index.erase(it);
            break;
        }
    }
    auto node = _queue.extract(earliest);
    if (node.value().repeat == 1) {
        // Next due one period from now, not from the previous due time. The
        // node is reused, so a repeating timer costs no allocation per expiry.
        timer_entry& entry = node.value();
        entry.due = platform::tick_count() + entry.period;
        entry.remaining = -1;
        insert(std::move(node));
    }
}

bool timer_manager::set_timer(timeout_handler* handler, std::uint32_t millisecond, std::uint32_t param,
                              bool repeat) {
    auto [first, last] = _index.equal_range(handler);
    for (auto it = first; it != last; ++it)
        if (it->second.param == param) return false;
    vortan_assert_text(millisecond < MAX_TIMER_MILLISECOND, "millisecond < MAX_TIMER_MILLISECOND", "vortan_assert",
                       "timer_manager", 42);
    timer_entry entry;
    entry.is_operation = false;
    entry.target = handler;
    entry.param = param;
    entry.remaining = -1;
    entry.repeat = repeat ? 1 : 0;
    entry.period = millisecond;
    entry.due = platform::tick_count() + millisecond;
    const auto position = _queue.insert(entry);
    _index.emplace(handler, index_value{param, position});
    return true;
}

void timer_manager::kill_timer(timeout_handler* handler, std::uint32_t param) {
    auto [first, last] = _index.equal_range(handler);
    for (auto it = first; it != last; ++it) {
        if (it->second.param == param) {
            _queue.erase(it->second.position);
            _index.erase(it);
            return;
        }
    }
}

void timer_manager::kill_timers(timeout_handler* handler) {
    auto [first, last] = _index.equal_range(handler);
    for (auto it = first; it != last; ++it) _queue.erase(it->second.position);
    _index.erase(first, last);
}

void timer_manager::set_operation_timeout(asyn_io_operation* operation, std::uint32_t millisecond) {
    vortan_assert_text(millisecond < MAX_TIMER_MILLISECOND, "millisecond < MAX_TIMER_MILLISECOND", "vortan_assert",
                       "timer_manager", 67);
    timer_entry entry;
    entry.is_operation = true;
    entry.target = operation;
    entry.remaining = -1;
    entry.due = platform::tick_count() + millisecond;
    const auto position = _queue.insert(entry);
    _index.emplace(operation, index_value{0, position});
}

void timer_manager::cancel_operation_timeout(asyn_io_operation* operation) {
    if (_index.empty()) return;
    const auto found = _index.lower_bound(operation);
    if (found == _index.end() || found->first != operation) return;
    _queue.erase(found->second.position);
    _index.erase(found);
}

}  // namespace asynframe
