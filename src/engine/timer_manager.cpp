#include "engine/timer_manager.h"

#include "platform/tick.h"
#include "support/assert.h"

namespace asynframe {

void timer_manager::front(timer_entry& entry) const {
    entry = *_queue.begin();
    const std::int32_t left = static_cast<std::int32_t>(entry.due - platform::tick_count());
    entry.remaining = left < 0 ? 0 : left;
}

void timer_manager::pop_front() {
    const auto earliest = _queue.begin();
    auto [first, last] = _index.equal_range(index_key{earliest->target, earliest->param});
    if (earliest->is_operation) {
        // The index entry of exactly this time-out: an operation may have two.
        for (auto it = first; it != last; ++it) {
            if (it->second == earliest) {
                _index.erase(it);
                break;
            }
        }
        _queue.erase(earliest);
        return;
    }
    index_type::node_type index_node;
    if (first != last) index_node = _index.extract(first);
    auto node = _queue.extract(earliest);
    if (node.value().repeat == 1) {
        // Next due one period from now, not from the previous due time. Both
        // tree nodes are reused, so a repeating timer allocates nothing per expiry.
        timer_entry& entry = node.value();
        entry.due = platform::tick_count() + entry.period;
        entry.remaining = -1;
        const auto position = _queue.insert(std::move(node));
        if (index_node) {
            index_node.mapped() = position;
            _index.insert(std::move(index_node));
        } else {
            _index.emplace(index_key{position->target, position->param}, position);
        }
    }
}

bool timer_manager::set_timer(timeout_handler* handler, std::uint32_t millisecond, std::uint32_t param,
                              bool repeat) {
    const index_key key{handler, param};
    if (_index.find(key) != _index.end()) return false;
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
    _index.emplace(key, _queue.insert(entry));
    return true;
}

void timer_manager::kill_timer(timeout_handler* handler, std::uint32_t param) {
    const auto found = _index.find(index_key{handler, param});
    if (found == _index.end()) return;
    _queue.erase(found->second);
    _index.erase(found);
}

void timer_manager::kill_timers(timeout_handler* handler) {
    const auto first = _index.lower_bound(index_key{handler, 0});
    auto last = first;
    while (last != _index.end() && last->first.first == handler) {
        _queue.erase(last->second);
        ++last;
    }
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
    _index.emplace(index_key{operation, 0}, _queue.insert(entry));
}

void timer_manager::cancel_operation_timeout(asyn_io_operation* operation) {
    if (_index.empty()) return;
    const auto found = _index.lower_bound(index_key{operation, 0});
    if (found == _index.end() || found->first.first != operation) return;
    _queue.erase(found->second);
    _index.erase(found);
}

}  // namespace asynframe
