#include "engine/asyn_io_manager.h"

#include <cstdio>
#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <thread>

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
    _timers = std::make_unique<timer_manager>();
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
    // Operations orphaned while their completion was still queued are the
    // engine's: delete them. Others stay pending for their owners.
    _port->drain(&asyn_io_manager::discard_operation, this);
    _timers.reset();
    _window_timers.clear();
    _port.reset();
}

void asyn_io_manager::discard_operation(void*, platform::io_block& block) {
    asyn_io_operation* operation = asyn_io_operation::from_overlapped(&block);
    if (operation->is_pending() && operation->handdler_ptr() == nullptr) {
        operation->clear_pending();
        delete operation;
    }
}

bool asyn_io_manager::use_completion_port() const noexcept { return _port && _port->is_completion_port(); }

bool asyn_io_manager::in_dispatch_thread() const noexcept {
    if (_ui_mode) return _ui_thread_id != 0 && platform::current_thread_id() == _ui_thread_id;
    return in_thread();
}

void asyn_io_manager::start() {
    if (_events == nullptr && _singleton != nullptr) _events = _singleton->frame_plugin_ptr;
    _stopping.store(false, std::memory_order_release);
    if (_ui_mode) {
        _ui_thread_id = platform::current_thread_id();
        create_window();
        if (_events != nullptr) {
            _events->on_thread_begin();
            _events->on_loop_begin();
        }
    }
    thread::start();
    _started = true;
}

void asyn_io_manager::stop() {
    if (!_started) return;
    if (!_ui_mode && !use_completion_port()) {
        _stopping.store(true, std::memory_order_release);
        thread::stop();
    } else {
        dummy_handler quit_handler(_singleton);
        asyn_io_operation* quit = quit_handler.create_operation(0);
        quit->set_operation_type(operation_type::quit_marker);
        const bool posted = post(quit);
        _stopping.store(true, std::memory_order_release);
        if (posted) {
            thread::stop();
        } else {
            // No way to reach the loop: there is nothing left to wait for safely.
            quit->clear_pending();
        }
        quit_handler.delete_operation(quit);
    }
    if (_ui_mode) {
        if (_events != nullptr) {
            _events->on_loop_end();
            _events->on_thread_end();
        }
        destroy_window();
    }
    _started = false;
}

bool asyn_io_manager::post(asyn_io_operation* operation) {
    operation->mark_pending();
    operation->kind = platform::io_kind::posted;
    operation->result = 0;
    if (!_port->post(*operation)) {
        operation->clear_pending();
        return false;
    }
    return true;
}

void asyn_io_manager::cancel_io(int handle) noexcept {
    if (handle >= 0) _port->cancel(handle);
}

// ---- dispatch loops --------------------------------------------------------

void asyn_io_manager::run() {
    if (_ui_mode) {
        relay_loop();
        return;
    }
    if (_events != nullptr) _events->on_thread_begin();
    if (!use_completion_port()) {
        alertable_loop();
    } else {
        if (_events != nullptr) _events->on_loop_begin();
        port_loop();
    }
    if (_events != nullptr) _events->on_thread_end();
}

void asyn_io_manager::fire_front_timer(const timer_entry& entry) {
    // `entry` is the front the caller just looked at: take it out, then fire it.
    _timers->pop_front();
    if (entry.is_operation)
        cancel_io(entry.operation()->operate_handle());
    else
        entry.handler()->on_timeout(entry.param);
}

void asyn_io_manager::fatal_not_pending(asyn_io_operation* operation, int result) {
    throw std::logic_error("operation_ptr->is_pending() == true not ture, op ptr: " + pointer_text(operation) +
                           ", op result: " + std::to_string(result) + ", op and handler must be delete");
}

void asyn_io_manager::port_loop() {
    for (;;) {
        std::uint32_t timeout = platform::wait_forever;
        if (_timers->has_timers()) {
            timer_entry entry;
            _timers->front(entry);
            if (entry.remaining != 0) {
                timeout = static_cast<std::uint32_t>(entry.remaining);
            } else {
                // At most one expired timer between two looks at the ring.
                fire_front_timer(entry);
                timeout = 0;
            }
        }
        platform::io_block* block = nullptr;
        if (_port->next(timeout, -1, block) != platform::io_backend::wait_result::finished) continue;
        asyn_io_operation* operation = asyn_io_operation::from_overlapped(block);
        if (!operation->is_pending()) fatal_not_pending(operation, 0);
        if (operation->get_operation_type() == operation_type::quit_marker) {
            if (_events != nullptr) _events->on_loop_end();
            operation->clear_pending();
            return;
        }
        operation->complete();
    }
}

void asyn_io_manager::alertable_loop() {
    const int stop_fd = stop_event().native();
    for (;;) {
        std::uint32_t timeout = platform::wait_forever;
        if (_timers->has_timers()) {
            timer_entry entry;
            _timers->front(entry);
            timeout = static_cast<std::uint32_t>(entry.remaining);
        }
        platform::io_block* block = nullptr;
        switch (_port->next(timeout, stop_fd, block)) {
            case platform::io_backend::wait_result::finished: {
                asyn_io_operation* operation = asyn_io_operation::from_overlapped(block);
                if (operation->is_pending()) operation->complete();
                break;
            }
            case platform::io_backend::wait_result::timeout:
                if (_timers->has_timers()) {
                    timer_entry entry;
                    _timers->front(entry);
                    if (entry.remaining == 0) fire_front_timer(entry);
                }
                break;
            case platform::io_backend::wait_result::stopped:
                if (_events != nullptr) _events->on_loop_end();
                return;
        }
    }
}

void asyn_io_manager::relay_loop() {
    for (;;) {
        platform::io_block* block = nullptr;
        if (_port->next(platform::wait_forever, -1, block) != platform::io_backend::wait_result::finished) continue;
        asyn_io_operation* operation = asyn_io_operation::from_overlapped(block);
        if (!operation->is_pending()) fatal_not_pending(operation, 0);
        if (operation->get_operation_type() == operation_type::quit_marker) {
            operation->clear_pending();
            return;
        }
        while (!_hwnd->post_message(completion_message, reinterpret_cast<std::uintptr_t>(operation)))
            std::this_thread::yield();
    }
}

// ---- timers ------------------------------------------------------------------

bool asyn_io_manager::set_timer(timeout_handler* handler, std::uint32_t millisecond, std::uint32_t param,
                                bool repeat) {
    if (_ui_mode) {
        window_timer_slot slot;
        slot.handler = handler;
        slot.period = millisecond;
        slot.param = param;
        slot.repeat = repeat;
        return set_window_timer(slot) != 0;
    }
    return _timers->set_timer(handler, millisecond, param, repeat);
}

void asyn_io_manager::kill_timer(timeout_handler* handler, std::uint32_t param) {
    if (!_ui_mode) {
        _timers->kill_timer(handler, param);
        return;
    }
    for (window_timer_slot& slot : _window_timers) {
        if (slot.id != 0 && slot.handler == handler && slot.param == param) {
            release_window_timer(slot);
            return;
        }
    }
}

void asyn_io_manager::kill_timers(timeout_handler* handler) {
    if (!_ui_mode) {
        _timers->kill_timers(handler);
        return;
    }
    for (window_timer_slot& slot : _window_timers)
        if (slot.id != 0 && slot.handler == handler) release_window_timer(slot);
}

void asyn_io_manager::set_operation_timeout(asyn_io_operation* operation, std::uint32_t millisecond) {
    if (!_ui_mode) {
        _timers->set_operation_timeout(operation, millisecond);
        return;
    }
    window_timer_slot slot;
    slot.operation = operation;
    slot.period = millisecond;
    set_window_timer(slot);
}

void asyn_io_manager::cancel_operation_timeout(asyn_io_operation* operation) {
    if (!_ui_mode) {
        _timers->cancel_operation_timeout(operation);
        return;
    }
    for (window_timer_slot& slot : _window_timers) {
        if (slot.id != 0 && slot.operation == operation) {
            release_window_timer(slot);
            return;
        }
    }
}

// ---- UI-thread mode ------------------------------------------------------------

void asyn_io_manager::create_window() {
    const std::string name = "framework_window" + pointer_text(this);
    std::snprintf(_window_class, sizeof _window_class, "%s", name.c_str());
    _hwnd = platform::ui_window::create(&asyn_io_manager::window_procedure, this);
    vortan_assert_text(_hwnd != nullptr, "_hwnd", "vortan_assert", "asyn_io_manager", 601);
}

void asyn_io_manager::destroy_window() {
    if (_hwnd == nullptr) return;
    for (window_timer_slot& slot : _window_timers)
        if (slot.id != 0 && slot.id != static_cast<std::uintptr_t>(-1)) release_window_timer(slot);
    _hwnd->destroy(
        [](void* context, std::uint32_t message, std::uintptr_t param) {
            if (message == completion_message)
                discard_operation(context, reinterpret_cast<asyn_io_operation*>(param)->overlapped());
        },
        this);
    _hwnd = nullptr;
}

std::uintptr_t asyn_io_manager::set_window_timer(const window_timer_slot& slot) {
    for (std::size_t index = 0; index < _window_timers.size(); ++index) {
        if (_window_timers[index].id == 0) {
            _window_timers[index] = slot;
            _window_timers[index].id = _hwnd != nullptr ? _hwnd->set_timer(index, slot.period) : 0;
            return _window_timers[index].id;
        }
    }
    if (_window_timers.empty()) {
        // Event id 0 means "no timer": index 0 holds a placeholder that is never free.
        window_timer_slot placeholder;
        placeholder.id = static_cast<std::uintptr_t>(-1);
        _window_timers.push_back(placeholder);
    }
    window_timer_slot added = slot;
    added.id = _hwnd != nullptr ? _hwnd->set_timer(_window_timers.size(), slot.period) : 0;
    _window_timers.push_back(added);
    return added.id;
}

void asyn_io_manager::release_window_timer(window_timer_slot& slot) {
    if (_hwnd != nullptr) _hwnd->kill_timer(slot.id);
    slot.id = 0;
    slot.handler = nullptr;
    slot.operation = nullptr;
}

void asyn_io_manager::window_procedure(void* context, std::uint32_t message, std::uintptr_t param) {
    auto* self = static_cast<asyn_io_manager*>(context);
    if (message == completion_message) {
        reinterpret_cast<asyn_io_operation*>(param)->complete();
    } else if (message == platform::ui_timer_message) {
        self->on_window_timer(param);
    }
}

void asyn_io_manager::on_window_timer(std::uintptr_t event_id) {
    if (event_id == 0 || event_id >= _window_timers.size()) return;
    window_timer_slot& slot = _window_timers[event_id];
    if (slot.id == 0) return;  // released after the expiry was taken
    if (slot.handler != nullptr) {
        timeout_handler* handler = slot.handler;
        const std::uint32_t param = slot.param;
        // A one-shot slot is free before its handler runs, so the handler can reuse it.
        if (!slot.repeat) release_window_timer(slot);
        handler->on_timeout(param);
        return;
    }
    asyn_io_operation* operation = slot.operation;
    release_window_timer(slot);
    if (operation != nullptr) cancel_io(operation->operate_handle());
}

}  // namespace asynframe
