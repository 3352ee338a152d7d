#include "speed/speed_calculator.h"

#include <algorithm>

#include "platform/tick.h"

namespace asynframe {

speed_calculator::speed_calculator(std::uint32_t bucket_count, std::uint32_t granularity)
    : _buckets(std::max<std::uint32_t>(bucket_count, 1), 0),
      _bucket_count(std::max<std::uint32_t>(bucket_count, 1)),
      _granularity(std::max<std::uint32_t>(granularity, 1)) {
    reset();
}

void speed_calculator::reset() {
    _begin_slot = platform::tick_count() / _granularity;
    _end_slot = _begin_slot + 1;
    std::fill(_buckets.begin(), _buckets.end(), 0u);
}

void speed_calculator::advance(std::uint32_t tick) {
    const std::uint32_t end = tick / _granularity + 1;
    // Slot numbers are compared by difference: the tick wraps at 2^32, and
    // there the slot number falls back to 0.
    const std::uint32_t passed = end - _end_slot;
    if (passed == 0) return;
    if (passed > 0x80000000u) {
        // The slot number went back (the tick wrapped): start over from here.
        std::fill(_buckets.begin(), _buckets.end(), 0u);
        _begin_slot = end - 1;
        _end_slot = end;
        return;
    }
    const std::uint32_t emptied = std::min(passed, _bucket_count);
    for (std::uint32_t i = 0; i < emptied; ++i) bucket(end - emptied + i) = 0;
    _end_slot = end;
    if (_end_slot - _begin_slot > _bucket_count) _begin_slot = _end_slot - _bucket_count;
}

void speed_calculator::add(std::uint32_t bytes) {
    const std::uint32_t now = platform::tick_count();
    advance(now);
    bucket(now / _granularity) += bytes;
}

std::uint64_t speed_calculator::speed() {
    advance(platform::tick_count());
    const std::uint32_t slots = _end_slot - _begin_slot;
    if (slots == 0) return 0;
    std::uint64_t sum = 0;
    for (std::uint32_t i = 0; i < slots; ++i) sum += bucket(_begin_slot + i);
    return sum * 1000 / (static_cast<std::uint64_t>(_granularity) * slots);
}

std::uint64_t speed_calculator::completed_speed() {
    advance(platform::tick_count());
    const std::uint32_t slots = _end_slot - _begin_slot - 1;
    if (slots == 0) return 0;
    std::uint64_t sum = 0;
    for (std::uint32_t i = 0; i < slots; ++i) sum += bucket(_begin_slot + i);
    return sum * 1000 / (static_cast<std::uint64_t>(_granularity) * slots);
}

}  // namespace asynframe
