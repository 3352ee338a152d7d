#include "platform/tick.h"

#include <atomic>
#include <ctime>

namespace asynframe::platform {
namespace {

std::atomic<tick_source> g_source{nullptr};

std::uint32_t monotonic_ms() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                             static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

}  // namespace

std::uint32_t tick_count() noexcept {
    const tick_source source = g_source.load(std::memory_order_acquire);
    return source != nullptr ? source() : monotonic_ms();
}

tick_source set_tick_source(tick_source source) noexcept {
    return g_source.exchange(source, std::memory_order_acq_rel);
}

}  // namespace asynframe::platform
