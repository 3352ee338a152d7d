// The 32-bit millisecond tick every time-out, timer and TTL is measured in.
// It wraps at 2^32; compare ticks only by unsigned subtraction.
#pragma once

#include <cstdint>

namespace asynframe::platform {

using tick_source = std::uint32_t (*)() noexcept;

// Milliseconds of a monotonic clock, truncated to 32 bits.
std::uint32_t tick_count() noexcept;

// Replaces the time source (tests use it to cross the wrap-around); null
// restores the monotonic clock. Returns the previous source (null for the clock).
tick_source set_tick_source(tick_source source) noexcept;

// Milliseconds from `from` to `to`, correct across one wrap-around.
constexpr std::uint32_t tick_elapsed(std::uint32_t from, std::uint32_t to) noexcept { return to - from; }

}  // namespace asynframe::platform
