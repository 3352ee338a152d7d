// The completion engine: one dispatch thread per frame on which every
// completion, posted operation, timer expiry and operation time-out is handled.
//
// Modes, fixed at construction and start:
//   port       - the engine thread waits on the io_uring ring and dispatches;
//   alertable  - no ring (forced by "force_win98", ASYNFRAME_NO_IO_URING=1, or a
//                ring that cannot be made): the engine thread runs a readiness
//                loop that ends when the stop event is set;
//   UI-thread  - set_ui_mode(true) before start: the engine thread relays each
//                completion to a message queue of the thread that called
//                start(), where the host pumps it (asynframe/ui_thread.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/asyn_io_operation.h"
#include "engine/frame_plugin.h"
#include "engine/singleton.h"
#include "engine/timer_manager.h"
#include "platform/thread.h"

namespace asynframe {

namespace platform {
class io_backend;
class ui_window;
}  // namespace platform

class dummy_handler;

// The message that carries a relayed completion to the UI thread's queue.
inline constexpr std::uint32_t completion_message = 0x401;

class asyn_io_manager : public thread, public with_singleton {
public:
    // Reads "system"/"force_win98" from the frame's settings when they exist.
    explicit asyn_io_manager(singleton_instance* instance);
    // The value of "force_win98" given directly.
    asyn_io_manager(singleton_instance* instance, bool force_win98);
    ~asyn_io_manager() override;

    void set_ui_mode(bool ui_mode) noexcept { _ui_mode = ui_mode; }
    bool ui_mode() const noexcept { return _ui_mode; }
    // The events sink; taken from the bundle's frame entry at start when not set.
    void set_events(frame_plugin* events) noexcept { _events = events; }

    void start();
    void stop();
    // True once stop() has queued the quit marker or set the stop event.
    bool stopping() const noexcept { return _stopping.load(std::memory_order_acquire); }

    // Any thread. False when the engine could not take the operation.
    bool post(asyn_io_operation* operation);
    bool in_dispatch_thread() const noexcept;
    bool use_completion_port() const noexcept;
    platform::io_backend* io_port() const noexcept { return _port.get(); }

    // Dispatch thread.
    bool set_timer(timeout_handler* handler, std::uint32_t millisecond, std::uint32_t param, bool repeat);
    void kill_timer(timeout_handler* handler, std::uint32_t param);
    void kill_timers(timeout_handler* handler);
    void set_operation_timeout(asyn_io_operation* operation, std::uint32_t millisecond);
    void cancel_operation_timeout(asyn_io_operation* operation);
    // Cancels every request on the descriptor; each completes with 995.
    void cancel_io(int handle) noexcept;

    timer_manager& timers() noexcept { return *_timers; }

protected:
    void run() override;

private:
    struct window_timer_slot {
        std::uintptr_t id = 0;
        asyn_io_operation* operation = nullptr;
        timeout_handler* handler = nullptr;
        std::uint32_t period = 0;
        std::uint32_t param = 0;
        bool repeat = false;
    };

    void construct(bool force_win98);
    void port_loop();
    void alertable_loop();
    void relay_loop();
    void fire_front_timer(const timer_entry& entry);
    [[noreturn]] void fatal_not_pending(asyn_io_operation* operation, int result);

    void create_window();
    void destroy_window();
    std::uintptr_t set_window_timer(const window_timer_slot& slot);
    void release_window_timer(window_timer_slot& slot);
    static void window_procedure(void* context, std::uint32_t message, std::uintptr_t param);
    void on_window_timer(std::uintptr_t event_id);
    static void discard_operation(void* context, platform::io_block& block);

    std::unique_ptr<platform::io_backend> _port;
    std::unique_ptr<timer_manager> _timers;
    frame_plugin* _events = nullptr;
    bool _force_win98 = false;
    platform::ui_window* _hwnd = nullptr;
    bool _ui_mode = false;
    std::uint32_t _ui_thread_id = 0;
    std::vector<window_timer_slot> _window_timers;
    char _window_class[128] = {};

    bool _started = false;
    std::atomic<bool> _stopping{false};
};

}  // namespace asynframe
