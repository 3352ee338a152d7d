#include "engine/timer_service.h"

#include "engine/asyn_io_operation.h"
#include "platform/io_backend.h"
#include "platform/ui_window.h"

namespace asynframe {
namespace {

// Guards against a timer that re-arms itself as already due.
constexpr int max_fired_per_turn = 4096;

class heap_timer_service final : public timer_service {
public:
    heap_timer_service(cancel_fn cancel, void* context)
        : _timers(std::make_unique<timer_manager>()), _cancel(cancel), _context(context) {}

    bool set_timer(timeout_handler* handler, std::uint32_t millisecond, std::uint32_t param, bool repeat) override {
        return _timers->set_timer(handler, millisecond, param, repeat);
    }
    void kill_timer(timeout_handler* handler, std::uint32_t param) override { _timers->kill_timer(handler, param); }
    void kill_timers(timeout_handler* handler) override { _timers->kill_timers(handler); }
    void set_operation_timeout(asyn_io_operation* operation, std::uint32_t millisecond) override {
        _timers->set_operation_timeout(operation, millisecond);
    }
    void cancel_operation_timeout(asyn_io_operation* operation) override {
        _timers->cancel_operation_timeout(operation);
    }
    bool has_timers() const noexcept override { return _timers->has_timers(); }

    std::uint32_t fire_due() override {
        for (int fired = 0; _timers->has_timers() && fired < max_fired_per_turn; ++fired) {
            timer_entry entry;
            _timers->front(entry);
            if (entry.remaining != 0) return static_cast<std::uint32_t>(entry.remaining);
            // Out of the heap before it fires (a repeating one is re-armed), so
            // the handler may kill or set timers freely.
            _timers->pop_front();
            if (entry.is_operation)
                _cancel(_context, entry.operation());
            else
                entry.handler()->on_timeout(entry.param);
        }
        return _timers->has_timers() ? 0 : platform::wait_forever;
    }

    std::uint32_t next_delay() const noexcept override {
        if (!_timers->has_timers()) return platform::wait_forever;
        timer_entry entry;
        _timers->front(entry);
        return static_cast<std::uint32_t>(entry.remaining);
    }

    void begin_turn() noexcept override { _timers->hold_clock(); }
    void end_turn() noexcept override { _timers->release_clock(); }

    void clear() noexcept override { _timers = std::make_unique<timer_manager>(); }

private:
    std::unique_ptr<timer_manager> _timers;
    cancel_fn _cancel;
    void* _context;
};

}  // namespace

std::unique_ptr<timer_service> make_heap_timer_service(timer_service::cancel_fn cancel, void* context) {
    return std::make_unique<heap_timer_service>(cancel, context);
}

// ---- window timers -------------------------------------------------------------

std::uintptr_t window_timer_service::arm(const slot& wanted) {
    for (std::size_t index = 0; index < _slots.size(); ++index) {
        if (_slots[index].id == 0) {
            _slots[index] = wanted;
            _slots[index].id = _window != nullptr ? _window->set_timer(index, wanted.period) : 0;
            return _slots[index].id;
        }
    }
    if (_slots.empty()) {
        // Event id 0 means "no timer": index 0 holds a placeholder that is never free.
        slot placeholder;
        placeholder.id = static_cast<std::uintptr_t>(-1);
        _slots.push_back(placeholder);
    }
    slot added = wanted;
    added.id = _window != nullptr ? _window->set_timer(_slots.size(), wanted.period) : 0;
    _slots.push_back(added);
    return added.id;
}

void window_timer_service::release(slot& entry) noexcept {
    if (_window != nullptr && entry.id != 0 && entry.id != static_cast<std::uintptr_t>(-1))
        _window->kill_timer(entry.id);
    entry.id = 0;
    entry.handler = nullptr;
    entry.operation = nullptr;
}

bool window_timer_service::set_timer(timeout_handler* handler, std::uint32_t millisecond, std::uint32_t param,
                                     bool repeat) {
    slot wanted;
    wanted.handler = handler;
    wanted.period = millisecond;
    wanted.param = param;
    wanted.repeat = repeat;
    return arm(wanted) != 0;
}

void window_timer_service::kill_timer(timeout_handler* handler, std::uint32_t param) {
    for (std::size_t index = 1; index < _slots.size(); ++index) {
        slot& entry = _slots[index];
        if (entry.id != 0 && entry.handler == handler && entry.param == param) {
            release(entry);
            return;
        }
    }
}

void window_timer_service::kill_timers(timeout_handler* handler) {
    for (std::size_t index = 1; index < _slots.size(); ++index)
        if (_slots[index].id != 0 && _slots[index].handler == handler) release(_slots[index]);
}

void window_timer_service::set_operation_timeout(asyn_io_operation* operation, std::uint32_t millisecond) {
    slot wanted;
    wanted.operation = operation;
    wanted.period = millisecond;
    arm(wanted);
}

void window_timer_service::cancel_operation_timeout(asyn_io_operation* operation) {
    for (std::size_t index = 1; index < _slots.size(); ++index) {
        if (_slots[index].id != 0 && _slots[index].operation == operation) {
            release(_slots[index]);
            return;
        }
    }
}

bool window_timer_service::has_timers() const noexcept {
    for (std::size_t index = 1; index < _slots.size(); ++index)
        if (_slots[index].id != 0) return true;
    return false;
}

std::uint32_t window_timer_service::fire_due() { return platform::wait_forever; }

std::uint32_t window_timer_service::next_delay() const noexcept { return platform::wait_forever; }

void window_timer_service::clear() noexcept {
    for (std::size_t index = 1; index < _slots.size(); ++index)
        if (_slots[index].id != 0) release(_slots[index]);
}

void window_timer_service::detach_window() noexcept {
    // The window, and its timers with it, are gone: the slots are only forgotten.
    _window = nullptr;
    clear();
}

void window_timer_service::on_expiry(std::uintptr_t event_id) {
    if (event_id == 0 || event_id >= _slots.size()) return;
    slot& entry = _slots[event_id];
    if (entry.id == 0) return;  // released after the expiry was taken
    if (entry.handler != nullptr) {
        timeout_handler* handler = entry.handler;
        const std::uint32_t param = entry.param;
        // A one-shot slot is free before its handler runs, so the handler can reuse it.
        if (!entry.repeat) release(entry);
        handler->on_timeout(param);
        return;
    }
    asyn_io_operation* operation = entry.operation;
    release(entry);
    if (operation != nullptr) _cancel(_context, operation);
}

}  // namespace asynframe
