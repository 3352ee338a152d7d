// Timers of one engine behind one interface, chosen once when the engine
// starts: the engine's own timer heap (port and alertable mode), or the window
// timers of the UI thread's message queue (UI-thread mode). The engine's timer
// calls forward here without looking at the mode.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/timer_manager.h"

namespace asynframe {

class asyn_io_operation;

namespace platform {
class ui_window;
}

class timer_service {
public:
    // What a fired operation time-out does: cancel the operation's requests.
    using cancel_fn = void (*)(void* context, asyn_io_operation* operation);

    virtual ~timer_service() = default;

    virtual bool set_timer(timeout_handler* handler, std::uint32_t millisecond, std::uint32_t param, bool repeat) = 0;
    virtual void kill_timer(timeout_handler* handler, std::uint32_t param) = 0;
    virtual void kill_timers(timeout_handler* handler) = 0;
    virtual void set_operation_timeout(asyn_io_operation* operation, std::uint32_t millisecond) = 0;
    virtual void cancel_operation_timeout(asyn_io_operation* operation) = 0;
    virtual bool has_timers() const noexcept = 0;

    // Fires every timer that is due now; answers the milliseconds until the
    // next one (platform::wait_forever when none is left, or when timers fire
    // elsewhere, as window timers do).
    virtual std::uint32_t fire_due() = 0;
    // The milliseconds until the next timer is due, firing nothing.
    virtual std::uint32_t next_delay() const noexcept = 0;
    // A dispatch turn's bounds: the heap reads the clock once between them.
    virtual void begin_turn() noexcept {}
    virtual void end_turn() noexcept {}
    // Drops every timer without firing it.
    virtual void clear() noexcept = 0;
};

// The engine's timer heap.
std::unique_ptr<timer_service> make_heap_timer_service(timer_service::cancel_fn cancel, void* context);

// Window timers on `window` (which must outlive the service). An expiry reaches
// the window's procedure as ui_timer_message and is handed to on_expiry().
class window_timer_service final : public timer_service {
public:
    window_timer_service(platform::ui_window* window, cancel_fn cancel, void* context) noexcept
        : _window(window), _cancel(cancel), _context(context) {}
    ~window_timer_service() override { clear(); }

    bool set_timer(timeout_handler* handler, std::uint32_t millisecond, std::uint32_t param, bool repeat) override;
    void kill_timer(timeout_handler* handler, std::uint32_t param) override;
    void kill_timers(timeout_handler* handler) override;
    void set_operation_timeout(asyn_io_operation* operation, std::uint32_t millisecond) override;
    void cancel_operation_timeout(asyn_io_operation* operation) override;
    bool has_timers() const noexcept override;
    std::uint32_t fire_due() override;
    std::uint32_t next_delay() const noexcept override;
    void clear() noexcept override;

    // UI thread: the window timer `event_id` expired.
    void on_expiry(std::uintptr_t event_id);
    // The window is gone, and its timers with it: later calls arm nothing.
    void detach_window() noexcept;

private:
    // Six words as the window slots have always had; the index is the event id.
    struct slot {
        std::uintptr_t id = 0;  // 0: free
        asyn_io_operation* operation = nullptr;
        timeout_handler* handler = nullptr;
        std::uint32_t period = 0;
        std::uint32_t param = 0;
        bool repeat = false;
    };

    std::uintptr_t arm(const slot& wanted);
    void release(slot& entry) noexcept;

    platform::ui_window* _window;
    cancel_fn _cancel;
    void* _context;
    std::vector<slot> _slots;
};

}  // namespace asynframe
