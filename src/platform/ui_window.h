// A hidden "window" on a thread's own message queue: the target of posted
// messages and of timers that fire on the thread that owns the queue. The queue
// is created with the first window of a thread and destroyed with its last one,
// always by the owning thread (at once, at its next pump when the last window
// went on another thread, or when the thread ends); the host drives it with the pump functions of asynframe/ui_thread.h.
#pragma once

#include <cstdint>

#include "platform/native.h"

namespace asynframe::platform {

inline constexpr std::uint32_t ui_timer_message = 0x0113;
// Delivered to a window that watches a descriptor, once per pump: the window's
// owner looks at its work (the engine runs one turn of its loop).
inline constexpr std::uint32_t ui_io_message = 0x0401;
// Window timers never fire more often than this (a period of 0 would spin).
inline constexpr std::uint32_t ui_timer_minimum = 10;

class ui_window {
public:
    // Called on the owning thread for every message: posted ones with their
    // parameter, timers with ui_timer_message and the timer's event id.
    using procedure = void (*)(void* context, std::uint32_t message, std::uintptr_t param);
    // Receives each posted message still undelivered when the window is destroyed.
    using discard_sink = void (*)(void* context, std::uint32_t message, std::uintptr_t param);

    // A window on the calling thread's queue; null when the queue cannot be made.
    static ui_window* create(procedure proc, void* context) noexcept;
    // Any thread. Undelivered posted messages go to `sink` (may be null). From
    // another thread it waits until a delivery to this window in progress on
    // the owning thread has returned; nothing is delivered to it afterwards.
    void destroy(discard_sink sink = nullptr, void* sink_context = nullptr) noexcept;

    // Adds `handle` to what the host's wait covers; from then on every pump
    // also delivers ui_io_message to this window. On Windows `handle` is an
    // event: ui_io_message is posted each time it is signalled, never more
    // than one at a time. Owning thread.
    bool watch_descriptor(native_handle handle) noexcept;

    // Any thread. False when the queue is gone or out of memory.
    bool post_message(std::uint32_t message, std::uintptr_t param) noexcept;

    // Arms (or re-arms) the repeating timer `event_id` (non-zero) to fire
    // `period_ms` (at least ui_timer_minimum) from now; a timer killed or re-armed
    // never delivers an expiry it had before. Returns the event id, 0 on failure.
    std::uintptr_t set_timer(std::uintptr_t event_id, std::uint32_t period_ms) noexcept;
    bool kill_timer(std::uintptr_t event_id) noexcept;

    std::uint32_t owner_thread() const noexcept;

private:
    ui_window(procedure proc, void* context, void* queue) noexcept : _proc(proc), _context(context), _queue(queue) {}
    ~ui_window() = default;
    friend struct ui_window_access;

    procedure _proc;
    void* _context;
    void* _queue;
};

// The calling thread's queue, for the exported pump functions.
// Descriptor readable while messages wait or a timer is due; invalid_handle
// without a queue, and always on Windows, where the thread's own message queue
// is what a host waits on.
native_handle ui_queue_descriptor() noexcept;
// Delivers what is waiting; returns the messages and timers delivered, -1 without a queue.
int ui_queue_pump() noexcept;
// Waits up to `timeout_ms` for something to deliver, then delivers it.
int ui_queue_wait_and_pump(std::uint32_t timeout_ms) noexcept;

}  // namespace asynframe::platform
