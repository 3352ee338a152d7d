#include "engine/asyn_io_manager.h"

#include <cstdio>
#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "engine/asyn_io_handler.h"
#include "platform/io_backend.h"
#include "platform/ui_window.h"
#include "support/assert.h"
#include "support/exceptions.h"
#include "support/setting.h"

namespace asynframe {

namespace {

std::string pointer_text(const void* pointer) {
    std::ostringstream text;
    text << std::uppercase << std::hex << std::setw(static_cast<int>(sizeof(void*) * 2)) << std::setfill('0')
         << reinterpret_cast<std::uintptr_t>(pointer);
    return text.str();
}

bool read_force_win98(singleton_instance* instance) {
    if (instance == nullptr || instance->setting_ptr == nullptr) return setting_keys::force_win98.default_value;
    try {
        return instance->setting_ptr->get(setting_keys::force_win98);
    } catch (...) {
        return setting_keys::force_win98.default_value;
    }
}

}  // namespace

namespace {

// Bounds of one turn: enough to amortise the phase switch, small enough that
// a flood in one phase leaves the others their turn.
constexpr std::size_t reap_batch = 64;
constexpr int posted_batch = 128;

}  // namespace

asyn_io_manager::asyn_io_manager(singleton_instance* instance) : with_singleton(instance) {
    construct(read_force_win98(instance));
}

asyn_io_manager::asyn_io_manager(singleton_instance* instance, bool force_win98) : with_singleton(instance) {
    construct(force_win98);
}

void asyn_io_manager::construct(bool force_win98) {
    _force_win98 = force_win98;
    _port = platform::io_backend::create(force_win98);
    if (!_port) throw io_exception("asyn_io_manager: no I/O backend");
    _timers = make_heap_timer_service(&asyn_io_manager::cancel_operation, this);
    _quit = new asyn_io_operation(_singleton, static_cast<asyn_io_handler_base*>(nullptr), 0u);
    _quit->set_operation_type(operation_type::quit_marker);
}

asyn_io_manager::~asyn_io_manager() {
    // An owner that forgot to stop still gets an orderly end.
    if (_started) {
        try {
            stop();
        } catch (...) {
        }
    }
    if (_hwnd != nullptr) destroy_window();
    // What is still in flight or queued is abandoned: deleted when nobody owns
    // it, handed back to its handler otherwise.
    _port->drain(&asyn_io_manager::discard_operation, this);
    for (platform::io_block** list : {&_posted_head, &_local_head}) {
        while (platform::io_block* block = *list) {
            *list = block->next;
            block->next = nullptr;
            discard_operation(this, *block);
        }
    }
    _local_tail = nullptr;
    _timers.reset();
    _quit->clear_pending();
    delete _quit;
    _port.reset();
}

void asyn_io_manager::discard_operation(void* context, platform::io_block& block) {
    auto* self = static_cast<asyn_io_manager*>(context);
    asyn_io_operation* operation = asyn_io_operation::from_overlapped(&block);
    if (operation == self->_quit || !operation->is_pending()) return;
    if (asyn_io_handler_base* handler = operation->handdler_ptr()) {
        operation->clear_pending();
        handler->on_io_abandoned(operation);
        return;
    }
    operation->clear_pending();
    delete operation;
}

void asyn_io_manager::cancel_operation(void* context, asyn_io_operation* operation) {
    static_cast<asyn_io_manager*>(context)->cancel_io(operation->operate_handle());
}

bool asyn_io_manager::use_completion_port() const noexcept { return _port && _port->is_completion_port(); }

bool asyn_io_manager::in_dispatch_thread() const noexcept {
    if (_ui_mode) {
        const std::uint32_t owner = _ui_thread_id.load(std::memory_order_acquire);
        return owner != 0 && platform::current_thread_id() == owner;
    }
    return in_thread();
}

bool asyn_io_manager::in_callback() const noexcept {
    // The depth belongs to the UI thread: other threads must not read it.
    if (_ui_mode) return in_dispatch_thread() && _callback_depth > 0;
    // The engine thread runs nothing but callbacks.
    return in_thread();
}

void asyn_io_manager::after_callback(void (*work)(void*), void* context) {
    if (_ui_mode && in_callback()) {
        _deferred_work = work;
        _deferred_context = context;
        return;
    }
    work(context);
}

void asyn_io_manager::start() {
    if (_events == nullptr && _singleton != nullptr) _events = _singleton->frame_plugin_ptr;
    _stopping.store(false, std::memory_order_release);
    _ui_stopped.store(false, std::memory_order_release);
    _quit_posted = false;
    if (_ui_mode) {
        // The host's thread sleeps in its own poll, not in the ring: the ring
        // must wake it for every completion.
        if (_port->is_completion_port()) {
            if (auto port = platform::io_backend::create(_force_win98, true)) _port = std::move(port);
        }
        _ui_thread_id.store(platform::current_thread_id(), std::memory_order_release);
        create_window();
        auto window_timers = std::make_unique<window_timer_service>(_hwnd, &asyn_io_manager::cancel_operation, this);
        _window_timers = window_timers.get();
        _timers = std::move(window_timers);
        _started = true;
        if (_events != nullptr) {
            _events->on_thread_begin();
            _events->on_loop_begin();
        }
        // The first pump runs a turn even if nothing arrived yet.
        _port->wake();
        return;
    }
    thread::start();
    _started = true;
}

void asyn_io_manager::stop() {
    if (!_started) return;
    if (_ui_mode) {
        _stopping.store(true, std::memory_order_release);
        // No later delivery reaches the engine; one running on the UI thread
        // (when this is another thread) is waited for by destroy_window().
        _ui_stopped.store(true, std::memory_order_release);
        destroy_window();
        _window_timers = nullptr;
        if (_events != nullptr) {
            _events->on_loop_end();
            _events->on_thread_end();
        }
        _timers->clear();
        _ui_thread_id.store(0, std::memory_order_release);
        _started = false;
        return;
    }
    if (!_quit_posted) {
        _quit_posted = post(_quit);
        if (!_quit_posted) throw io_exception("asyn_io_manager: the quit marker cannot be queued");
    }
    // Set once the marker is queued: whatever is posted from now on is behind it.
    _stopping.store(true, std::memory_order_release);
    // From the engine thread itself there is nothing to wait for: the loop
    // ends when the callback running now returns.
    if (in_thread()) return;
    thread::stop();
    _started = false;
}

bool asyn_io_manager::post(asyn_io_operation* operation) {
    operation->mark_pending();
    operation->kind = platform::io_kind::posted;
    operation->bytes = 0;
    operation->error = 0;
    // A callback's own posts (the common case) stay on this thread.
    if (in_dispatch_thread() && _turning) {
        if (_port->has_posted()) append_local(_port->take_posted());
        operation->next = nullptr;
        append_local(operation);
        return true;
    }
    if (!_port->post(*operation)) {
        operation->clear_pending();
        return false;
    }
    return true;
}

void asyn_io_manager::cancel_io(platform::native_handle handle) noexcept {
    if (handle != platform::invalid_handle) _port->cancel(handle);
}

// ---- the dispatch loop -------------------------------------------------------

void asyn_io_manager::run() {
    if (_events != nullptr) {
        _events->on_thread_begin();
        if (use_completion_port()) _events->on_loop_begin();
    }
    for (;;) {
        const turn_result result = turn();
        if (result == turn_result::quit) break;
        if (result == turn_result::idle) _port->wait(_next_delay);
    }
    if (_events != nullptr) _events->on_thread_end();
}

void asyn_io_manager::append_local(platform::io_block* chain) noexcept {
    if (chain == nullptr) return;
    if (_local_tail != nullptr)
        _local_tail->next = chain;
    else
        _local_head = chain;
    while (chain->next != nullptr) chain = chain->next;
    _local_tail = chain;
}

asyn_io_manager::turn_result asyn_io_manager::turn() {
    _turning = true;
    _timers->begin_turn();
    const turn_result result = turn_phases();
    _timers->end_turn();
    _turning = false;
    return result;
}

asyn_io_manager::turn_result asyn_io_manager::turn_phases() {
    // 1. What callbacks queued for the kernel goes in first.
    _port->submit();

    // 2. Finished requests, one bounded batch.
    platform::io_block* finished[reap_batch];
    const std::size_t reaped = _port->reap(finished, reap_batch);
    for (std::size_t i = 0; i < reaped; ++i) dispatch(finished[i]);

    // 3. Every timer that is due.
    _next_delay = _timers->fire_due();

    // 4. Posted operations, one bounded batch; what arrives meanwhile waits
    //    for the next turn behind the completions and timers.
    if (_posted_head == nullptr) {
        // The dispatch thread's own posts came after whatever the backend's
        // queue held when they were made; the rest of that queue is newer.
        append_local(_port->take_posted());
        _posted_head = std::exchange(_local_head, nullptr);
        _local_tail = nullptr;
    }
    for (int i = 0; i < posted_batch && _posted_head != nullptr; ++i) {
        platform::io_block* block = _posted_head;
        _posted_head = block->next;
        block->next = nullptr;
        if (!dispatch(block)) return turn_result::quit;
    }
    if (reaped == reap_batch || _posted_head != nullptr || _local_head != nullptr) return turn_result::busy;
    // Callbacks of this turn may have set timers; the wait is measured from now.
    _timers->end_turn();
    _next_delay = _timers->next_delay();
    return _next_delay == 0 ? turn_result::busy : turn_result::idle;
}

bool asyn_io_manager::dispatch(platform::io_block* block) {
    asyn_io_operation* operation = asyn_io_operation::from_overlapped(block);
    if (!operation->is_pending()) fatal_not_pending(operation, 0);
    if (operation == _quit) {
        operation->clear_pending();
        if (_events != nullptr) _events->on_loop_end();
        return false;
    }
    operation->complete();
    return true;
}

void asyn_io_manager::fatal_not_pending(asyn_io_operation* operation, int result) {
    throw std::logic_error("operation_ptr->is_pending() == true not ture, op ptr: " + pointer_text(operation) +
                           ", op result: " + std::to_string(result) + ", op and handler must be delete");
}

// ---- timers ------------------------------------------------------------------

bool asyn_io_manager::set_timer(timeout_handler* handler, std::uint32_t millisecond, std::uint32_t param,
                                bool repeat) {
    return _timers->set_timer(handler, millisecond, param, repeat);
}

void asyn_io_manager::kill_timer(timeout_handler* handler, std::uint32_t param) { _timers->kill_timer(handler, param); }

void asyn_io_manager::kill_timers(timeout_handler* handler) { _timers->kill_timers(handler); }

void asyn_io_manager::set_operation_timeout(asyn_io_operation* operation, std::uint32_t millisecond) {
    _timers->set_operation_timeout(operation, millisecond);
}

void asyn_io_manager::cancel_operation_timeout(asyn_io_operation* operation) {
    if (_timers) _timers->cancel_operation_timeout(operation);
}

bool asyn_io_manager::has_timers() const noexcept { return _timers->has_timers(); }

// ---- UI-thread mode ------------------------------------------------------------

void asyn_io_manager::create_window() {
    _hwnd = platform::ui_window::create(&asyn_io_manager::window_procedure, this);
    vortan_assert_text(_hwnd != nullptr, "_hwnd", "vortan_assert", "asyn_io_manager", 601);
    // The host's wait covers the backend too: a completion wakes its pump.
    _hwnd->watch_descriptor(_port->descriptor());
}

void asyn_io_manager::destroy_window() {
    if (_hwnd == nullptr) return;
    // The window goes first: from another thread, its removal waits out a
    // delivery running on the UI thread, which may be using the window and
    // its timers. The window's timers go with it.
    _hwnd->destroy();
    _hwnd = nullptr;
    if (_window_timers != nullptr) _window_timers->detach_window();
}

void asyn_io_manager::ui_turn() {
    const turn_result result = turn();
    if (_ui_stopped.load(std::memory_order_acquire) || _hwnd == nullptr) return;
    // More is ready, or arrived while the host was about to sleep: make its
    // descriptor readable again so that the next pump runs another turn.
    if (result != turn_result::idle || !_port->prepare_external_wait()) _port->wake();
}

void asyn_io_manager::window_procedure(void* context, std::uint32_t message, std::uintptr_t param) {
    auto* self = static_cast<asyn_io_manager*>(context);
    if (self->_ui_stopped.load(std::memory_order_acquire)) return;
    ++self->_callback_depth;
    if (message == platform::ui_io_message) {
        self->ui_turn();
    } else if (message == platform::ui_timer_message && self->_window_timers != nullptr) {
        self->_window_timers->on_expiry(param);
    }
    if (--self->_callback_depth == 0 && self->_deferred_work != nullptr) {
        void (*work)(void*) = std::exchange(self->_deferred_work, nullptr);
        void* work_context = std::exchange(self->_deferred_context, nullptr);
        // May destroy the engine: nothing of it is touched afterwards.
        work(work_context);
    }
}

}  // namespace asynframe
