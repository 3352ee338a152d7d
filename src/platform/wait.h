// Waiting for any of several waitables at once: events and socket readiness.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/event.h"
#include "platform/native.h"

namespace asynframe::platform {

struct waitable {
    enum kind_t : std::uint8_t { event_kind, socket_readable, socket_writable, socket_any };

    native_handle handle = invalid_handle;
    kind_t kind = event_kind;
    const event* ev = nullptr;  // set for event_kind only

    static waitable of(const event& e) noexcept { return waitable{e.native(), event_kind, &e}; }
    static waitable socket(native_handle handle, kind_t kind) noexcept { return waitable{handle, kind, nullptr}; }

    friend bool operator==(const waitable& a, const waitable& b) noexcept {
        return a.handle == b.handle && a.kind == b.kind && a.ev == b.ev;
    }
    friend bool operator<(const waitable& a, const waitable& b) noexcept {
        if (a.handle != b.handle) return a.handle < b.handle;
        if (a.kind != b.kind) return a.kind < b.kind;
        return a.ev < b.ev;
    }
};

// The most items one wait takes, the same on every platform; up to it a wait
// needs no heap.
inline constexpr std::size_t maximum_wait_items = 64;

inline constexpr int wait_timeout = -1;
inline constexpr int wait_failed = -2;

// Waits until at least one item is ready and returns the lowest ready index.
// Only the reported item is consumed (an auto-reset event loses its signal);
// other ready items stay ready. Returns wait_timeout when nothing became ready
// in time, wait_failed for no items, more than maximum_wait_items, a closed/invalid
// descriptor or a system failure.
//
// On Windows a socket item must not be in two waits at once (its network events
// go to one event only), it is left non-blocking afterwards (Winsock cannot say
// which mode it had; the sockets waited on are non-blocking anyway), and a
// socket item whose handle is no socket is waited on as an event (a caller's).
int wait_any(const waitable* items, std::size_t count, std::uint32_t timeout_ms) noexcept;

}  // namespace asynframe::platform
