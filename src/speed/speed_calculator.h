// A sliding-window byte counter: bytes per time slot in a ring of buckets,
// read back as bytes per second over the window (or over its real length
// while it is younger than the window).
#pragma once

#include <cstdint>
#include <vector>

namespace asynframe {

class speed_calculator {
public:
    // `bucket_count` slots of `granularity` milliseconds each (both at least 1).
    speed_calculator(std::uint32_t bucket_count, std::uint32_t granularity);

    void add(std::uint32_t bytes);
    // Bytes per second.
    std::uint64_t speed();
    // Bytes per second over the slots that are over, leaving out the current
    // one, which has only begun (0 while there is none).
    std::uint64_t completed_speed();
    // Forgets everything: the window starts anew at the current slot.
    void reset();

private:
    // Brings the window up to the slot of `tick`; slots passed are emptied.
    void advance(std::uint32_t tick);
    std::uint32_t& bucket(std::uint32_t slot) { return _buckets[slot % _bucket_count]; }

    std::vector<std::uint32_t> _buckets;
    std::uint32_t _begin_slot = 0;
    std::uint32_t _end_slot = 0;
    std::uint32_t _bucket_count;
    std::uint32_t _granularity;
};

}  // namespace asynframe
