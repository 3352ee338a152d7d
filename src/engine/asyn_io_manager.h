// The completion engine: one dispatch thread per frame on which every
// completion, posted operation, timer expiry and operation time-out is handled.
//
// One loop with fixed phases serves every mode: submit what is queued for the
// kernel; reap finished requests (a bounded batch); fire every due timer; run
// posted operations (a bounded batch); sleep, with the next timer's delay,
// only when nothing was ready. No phase can starve another.
//
// Modes, fixed at construction and start:
//   port       - the engine thread runs the loop over the io_uring ring;
//   alertable  - the same loop over the epoll backend (forced by "force_win98",
//                ASYNFRAME_NO_IO_URING=1, or a ring that cannot be made);
//   UI-thread  - set_ui_mode(true) before start: there is no engine thread; the
//                host's pump of the starting thread's message queue
//                (asynframe/ui_thread.h) runs each turn of the loop, and the
//                backend's descriptor in that queue wakes the host. Timers are
//                the queue's window timers.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/asyn_io_operation.h"
#include "engine/frame_plugin.h"
#include "engine/singleton.h"
#include "engine/timer_manager.h"
#include "engine/timer_service.h"
#include "platform/thread.h"

namespace asynframe {

namespace platform {
class io_backend;
class ui_window;
}  // namespace platform

class timer_service;
class window_timer_service;

class asyn_io_manager : public thread, public with_singleton {
public:
    // Reads "system"/"force_win98" from the frame's settings when they exist.
    explicit asyn_io_manager(singleton_instance* instance);
    // The value of "force_win98" given directly.
    asyn_io_manager(singleton_instance* instance, bool force_win98);
    // Stops a started engine, then abandons what is still in flight: operations
    // without a handler are deleted, the others are told (on_io_abandoned).
    ~asyn_io_manager() override;

    void set_ui_mode(bool ui_mode) noexcept { _ui_mode = ui_mode; }
    bool ui_mode() const noexcept { return _ui_mode; }
    // The events sink; taken from the bundle's frame entry at start when not set.
    void set_events(frame_plugin* events) noexcept { _events = events; }

    void start();
    // Port and alertable mode: queues the quit marker and waits for the engine
    // thread; called on the engine thread itself it only queues the marker (the
    // thread ends when the current callback returns). UI-thread mode: any
    // thread; a callback running on the UI thread finishes first.
    void stop();
    // True once stop() has queued the quit marker (UI-thread mode: once it began).
    bool stopping() const noexcept { return _stopping.load(std::memory_order_acquire); }

    // Any thread. False when the engine could not take the operation.
    bool post(asyn_io_operation* operation);
    bool in_dispatch_thread() const noexcept;
    // True while a callback of this engine runs on the calling thread.
    bool in_callback() const noexcept;
    // UI-thread mode: `work` runs once the callback that is running now has
    // returned (on the UI thread, after which the engine is not touched again,
    // so `work` may destroy it). Outside a callback it runs at once.
    void after_callback(void (*work)(void* context), void* context);
    bool use_completion_port() const noexcept;
    platform::io_backend* io_port() const noexcept { return _port.get(); }
    // Dispatch thread, inside a callback: hands what callbacks queued for the
    // kernel to it now rather than when the turn ends, so a request starts
    // while the callback goes on with other work (the TLS socket encrypting
    // the next records while the last ones are sent).
    void submit_now() noexcept {
        if (_port && in_dispatch_thread()) _port->submit();
    }

    // Dispatch thread only.
    bool set_timer(timeout_handler* handler, std::uint32_t millisecond, std::uint32_t param, bool repeat);
    void kill_timer(timeout_handler* handler, std::uint32_t param);
    void kill_timers(timeout_handler* handler);
    void set_operation_timeout(asyn_io_operation* operation, std::uint32_t millisecond);
    void cancel_operation_timeout(asyn_io_operation* operation);
    bool has_timers() const noexcept;

    // Cancels every request on the descriptor; each completes with 995.
    void cancel_io(platform::native_handle handle) noexcept;

protected:
    void run() override;
    const char* thread_name() const noexcept override { return "af-engine"; }

private:
    enum class turn_result { idle, busy, quit };

    void construct(bool force_win98);
    // One pass over the phases, without sleeping.
    turn_result turn();
    turn_result turn_phases();
    // False for the quit marker.
    bool dispatch(platform::io_block* block);
    void append_local(platform::io_block* chain) noexcept;
    [[noreturn]] void fatal_not_pending(asyn_io_operation* operation, int result);

    void create_window();
    void destroy_window();
    void ui_turn();
    static void window_procedure(void* context, std::uint32_t message, std::uintptr_t param);
    static void discard_operation(void* context, platform::io_block& block);
    static void cancel_operation(void* context, asyn_io_operation* operation);

    std::unique_ptr<platform::io_backend> _port;
    std::unique_ptr<timer_service> _timers;
    window_timer_service* _window_timers = nullptr;  // _timers in UI-thread mode
    frame_plugin* _events = nullptr;
    bool _force_win98 = false;
    platform::ui_window* _hwnd = nullptr;
    bool _ui_mode = false;
    std::atomic<std::uint32_t> _ui_thread_id{0};

    // Posted blocks taken for this turn and not yet run (dispatch thread).
    platform::io_block* _posted_head = nullptr;
    // Posts made on the dispatch thread during a turn, for the next turn's
    // phase: no lock, no wake-up. Whatever the backend's queue held before
    // such a post is moved in ahead of it, so the order of posts holds.
    platform::io_block* _local_head = nullptr;
    platform::io_block* _local_tail = nullptr;
    bool _turning = false;  // dispatch thread only
    std::uint32_t _next_delay = 0;
    // The quit marker: owned by the engine, so a stop from the engine thread
    // itself leaves nothing behind.
    asyn_io_operation* _quit = nullptr;
    bool _quit_posted = false;

    int _callback_depth = 0;  // UI-thread mode
    void (*_deferred_work)(void*) = nullptr;
    void* _deferred_context = nullptr;
    std::atomic<bool> _ui_stopped{false};

    bool _started = false;
    std::atomic<bool> _stopping{false};
};

}  // namespace asynframe
