// A waitable event, manual or auto reset. On Linux it is an eventfd, so the
// descriptor can be watched by poll/epoll/io_uring alongside sockets; on
// Windows a kernel event.
#pragma once

#include <atomic>
#include <cstdint>

#include "asynframe/com.h"
#include "platform/native.h"

namespace asynframe::platform {

inline constexpr std::uint32_t infinite = 0xFFFFFFFFu;

class event {
public:
    // Throws std::system_error when the descriptor cannot be created.
    explicit event(bool manual_reset, bool initially_set = false);
    ~event();
    event(const event&) = delete;
    event& operator=(const event&) = delete;

    // Signals the event; repeated sets before a wait count as one signal.
    void set() noexcept;
    // Clears the signal.
    void reset() noexcept;
    // True when the event was signalled within the time-out. For an auto-reset
    // event a successful wait consumes the signal, so only one waiter is released.
    bool wait(std::uint32_t timeout_ms) noexcept;

    bool manual_reset() const noexcept { return _manual_reset; }
    // The waitable handle (on Linux a descriptor, readable while the event is
    // signalled; on Windows the event's HANDLE).
    native_handle native() const noexcept { return _fd; }

    // For an auto-reset event: takes the signal if it is there, without blocking.
    // For a manual-reset event: reports whether it is signalled.
    bool try_acquire() const noexcept;

private:
    native_handle _fd;
    bool _manual_reset;
    // A manual-reset wait only polls, which orders nothing in the C++ model:
    // set() releases this before signalling and a successful wait acquires it.
    mutable std::atomic<std::uint32_t> _sets{0};
};

// The caller's event of the public interfaces as a handle; ASYNFRAME_NO_EVENT
// is invalid_handle.
inline native_handle handle_of(ASYNFRAME_EVENT event) noexcept {
#if defined(_WIN32)
    return event == ASYNFRAME_NO_EVENT ? invalid_handle : reinterpret_cast<native_handle>(event);
#else
    return event;
#endif
}
// And back, for the library's own calls through the exported functions.
inline ASYNFRAME_EVENT event_of(native_handle handle) noexcept {
#if defined(_WIN32)
    return handle == invalid_handle ? ASYNFRAME_NO_EVENT : reinterpret_cast<ASYNFRAME_EVENT>(handle);
#else
    return static_cast<ASYNFRAME_EVENT>(handle);
#endif
}

// An event a caller handed in (an eventfd descriptor of theirs, on Windows an
// event HANDLE): cleared without blocking, whatever the descriptor's own mode.
// Nothing for an invalid one.
void reset_caller_event(native_handle event) noexcept;

}  // namespace asynframe::platform
