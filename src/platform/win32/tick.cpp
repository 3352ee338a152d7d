#include "platform/tick.h"

#include <windows.h>

#include <atomic>

namespace asynframe::platform {
namespace {

std::atomic<tick_source> g_source{nullptr};

}  // namespace

std::uint32_t tick_count() noexcept {
    const tick_source source = g_source.load(std::memory_order_acquire);
    // The system's own 32-bit tick: it wraps every 49.7 days, as every user expects.
    return source != nullptr ? source() : static_cast<std::uint32_t>(::GetTickCount());
}

tick_source set_tick_source(tick_source source) noexcept {
    return g_source.exchange(source, std::memory_order_acq_rel);
}

}  // namespace asynframe::platform
