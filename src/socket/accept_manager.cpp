#include "socket/accept_manager.h"

#include <algorithm>

#include "engine/asyn_io_operation.h"
#include "platform/error_codes.h"
#include "platform/socket.h"
#include "socket/asyn_socket_device.h"
#include "support/assert.h"

namespace asynframe {
namespace {

constexpr std::size_t first_request_slot = 2;

}  // namespace

accept_manager::accept_manager(singleton_instance* instance, std::int32_t max_accepting)
    : with_singleton(instance), _max_accepting(std::min(max_accepting, max_accepting_limit)) {
    _event_handles.push_back(stop_event().native());
    _event_handles.push_back(_event_new_request_begin.native());
    vortan_assert(_event_new_request_begin.native() != platform::invalid_handle, "_event_new_request_begin");
    vortan_assert(_event_new_request_hold.native() != platform::invalid_handle, "_event_new_request_hold");
    vortan_assert(_event_new_request_end.native() != platform::invalid_handle, "_event_new_request_end");
}

accept_manager::~accept_manager() {
    stop();
    cancel_all_requests();
}

void accept_manager::set_max_accepting(std::int32_t value) noexcept {
    _max_accepting = std::min(value, max_accepting_limit);
}

std::size_t accept_manager::queued_count() {
    std::lock_guard<std::recursive_mutex> guard(_request_lock);
    return _request_queue.size();
}

void accept_manager::complete(asyn_io_operation* operation, std::uint32_t result) {
    operation->set_preset_result(result, 0);
    operation->post();
}

template <class Change>
bool accept_manager::with_thread_held(Change change) {
    std::lock_guard<std::mutex> serial(_submit_lock);
    if (!running() || _thread_gone.load(std::memory_order_acquire)) return false;
    _event_new_request_begin.set();
    // The thread answers unless it is ending; then it reports itself gone.
    _event_new_request_hold.wait(platform::infinite);
    _event_new_request_hold.reset();
    if (_thread_gone.load(std::memory_order_acquire)) {
        _event_new_request_begin.reset();
        return false;
    }
    change();
    _event_new_request_end.set();
    return true;
}

bool accept_manager::accept_at_once(asyn_io_operation* operation) {
    platform::native_handle accepted = platform::invalid_socket;
    platform::endpoint peer;
    {
        // Held so that the listener cannot be closed (and its number reused)
        // between the check and the accept.
        std::lock_guard<std::recursive_mutex> guard(_request_lock);
        const platform::native_handle listen_socket = operation->operate_handle();
        if (_nonblocking_listeners.count(listen_socket) == 0) return false;
        if (platform::accept_now(listen_socket, accepted, &peer) != 0) return false;
    }
    std::uint32_t result = 0;
    try {
        operation->attach_device(new asyn_socket_device_imp(_singleton, accepted, peer));
    } catch (...) {
        platform::close_socket(accepted);
        result = errors::operation_aborted;
    }
    complete(operation, result);
    return true;
}

void accept_manager::submit(asyn_io_operation* operation) {
    vortan_assert(operation != nullptr, "operation_ptr");
    // A connection already waiting is taken here and now, without waking the
    // accept thread or standing it still: a busy server never pays for the
    // handshake. Only a request that must wait joins the thread's watch.
    if (running() && !_thread_gone.load(std::memory_order_acquire) && accept_at_once(operation)) return;
    {
        std::lock_guard<std::recursive_mutex> guard(_request_lock);
        _request_queue.push_back(operation);
    }
    if (accepting_count() >= _max_accepting) return;  // starts when a place frees
    const bool held = with_thread_held([this] {
        std::lock_guard<std::recursive_mutex> guard(_request_lock);
        start_queued_requests();
    });
    if (held) return;
    // No thread to wait for the connection: the request cannot be served.
    std::lock_guard<std::recursive_mutex> guard(_request_lock);
    while (!_request_queue.empty()) {
        asyn_io_operation* queued = _request_queue.front();
        _request_queue.pop_front();
        complete(queued, errors::operation_aborted);
    }
}

void accept_manager::cancel_socket(platform::native_handle socket_handle) {
    auto change = [this, socket_handle] {
        std::lock_guard<std::recursive_mutex> guard(_request_lock);
        _nonblocking_listeners.erase(socket_handle);
        for (std::size_t i = _accepting_infos.size(); i-- > 0;) {
            asyn_io_operation* operation = _accepting_infos[i];
            if (operation->operate_handle() != socket_handle) continue;
            _accepting_infos.erase(_accepting_infos.begin() + static_cast<std::ptrdiff_t>(i));
            _event_handles.erase(_event_handles.begin() + static_cast<std::ptrdiff_t>(i + first_request_slot));
            complete(operation, errors::operation_aborted);
        }
        _accepting_count.store(static_cast<std::int32_t>(_accepting_infos.size()), std::memory_order_release);
        for (auto it = _request_queue.begin(); it != _request_queue.end();) {
            if ((*it)->operate_handle() == socket_handle) {
                complete(*it, errors::operation_aborted);
                it = _request_queue.erase(it);
            } else {
                ++it;
            }
        }
        start_queued_requests();
    };
    if (in_thread()) {
        change();
        return;
    }
    {
        // Most sockets closed are not listening ones: spare them the handshake.
        std::lock_guard<std::recursive_mutex> guard(_request_lock);
        _nonblocking_listeners.erase(socket_handle);
        const auto uses_socket = [socket_handle](asyn_io_operation* operation) {
            return operation->operate_handle() == socket_handle;
        };
        if (std::none_of(_accepting_infos.begin(), _accepting_infos.end(), uses_socket) &&
            std::none_of(_request_queue.begin(), _request_queue.end(), uses_socket))
            return;
    }
    if (with_thread_held(change)) return;
    std::lock_guard<std::recursive_mutex> guard(_request_lock);
    for (auto it = _request_queue.begin(); it != _request_queue.end();) {
        if ((*it)->operate_handle() == socket_handle) {
            complete(*it, errors::operation_aborted);
            it = _request_queue.erase(it);
        } else {
            ++it;
        }
    }
}

void accept_manager::start_queued_requests() {
    while (_accepting_infos.size() < static_cast<std::size_t>(std::max(_max_accepting, 0)) &&
           !_request_queue.empty()) {
        asyn_io_operation* operation = _request_queue.front();
        _request_queue.pop_front();
        _event_handles.push_back(operation->operate_handle());
        _accepting_infos.push_back(operation);
        _accepting_count.store(static_cast<std::int32_t>(_accepting_infos.size()), std::memory_order_release);
        begin_accept(_accepting_infos.size() - 1);
    }
}

void accept_manager::begin_accept(std::size_t index) {
    asyn_io_operation* operation = _accepting_infos[index];
    const platform::native_handle listen_socket = operation->operate_handle();
    vortan_assert(listen_socket != platform::invalid_socket, "socket_handle");
    // Readiness is watched from here on: the listening socket must not block.
    std::uint32_t error = platform::check_socket(listen_socket);
    if (error == 0) error = platform::set_nonblocking(listen_socket, true);
    if (error != 0) {
        finish_request(index, error);
        return;
    }
    try {
        _nonblocking_listeners.insert(listen_socket);
    } catch (...) {
        // Without the entry later requests simply take the slower path.
    }
    handle_accept_event(index);
}

bool accept_manager::handle_accept_event(std::size_t index) {
    asyn_io_operation* operation = _accepting_infos[index];
    const platform::native_handle listen_socket = operation->operate_handle();
    vortan_assert(listen_socket != platform::invalid_socket, "socket_handle");
    platform::native_handle accepted = platform::invalid_socket;
    platform::endpoint peer;
    std::uint32_t error = platform::accept_now(listen_socket, accepted, &peer);
    // Nothing waiting (another request took it): keep watching.
    if (error == errors::would_block) return false;
    if (error == 0) {
        try {
            operation->attach_device(new asyn_socket_device_imp(_singleton, accepted, peer));
        } catch (...) {
            platform::close_socket(accepted);
            error = errors::operation_aborted;
        }
    }
    finish_request(index, error);
    return true;
}

void accept_manager::finish_request(std::size_t index, std::uint32_t result) {
    std::lock_guard<std::recursive_mutex> guard(_request_lock);
    vortan_assert(index < _accepting_infos.size(), "vortan_assert");
    asyn_io_operation* operation = _accepting_infos[index];
    _accepting_infos.erase(_accepting_infos.begin() + static_cast<std::ptrdiff_t>(index));
    _event_handles.erase(_event_handles.begin() + static_cast<std::ptrdiff_t>(index + first_request_slot));
    _accepting_count.store(static_cast<std::int32_t>(_accepting_infos.size()), std::memory_order_release);
    complete(operation, result);
}

void accept_manager::cancel_all_requests() {
    std::lock_guard<std::recursive_mutex> guard(_request_lock);
    for (asyn_io_operation* operation : _accepting_infos) complete(operation, errors::operation_aborted);
    for (asyn_io_operation* operation : _request_queue) complete(operation, errors::operation_aborted);
    _accepting_infos.clear();
    _request_queue.clear();
    _event_handles.resize(first_request_slot);
    _accepting_count.store(0, std::memory_order_release);
}

void accept_manager::run() {
    _thread_gone.store(false, std::memory_order_release);
    _event_new_request_hold.reset();
    for (;;) {
        const int ready = platform::wait_readable(_event_handles.data(), _event_handles.size(), platform::infinite);
        if (ready == 0 || ready == -2) break;
        if (ready < 0) continue;
        if (ready == 1) {
            vortan_assert(_event_handles[1] == _event_new_request_begin.native(),
                          "_event_handles[1] == _event_new_request_begin");
            _event_new_request_begin.reset();
            _event_new_request_hold.set();
            _event_new_request_end.wait(platform::infinite);
            _event_new_request_end.reset();
            continue;
        }
        const auto index = static_cast<std::size_t>(ready) - first_request_slot;
        vortan_assert(index < _accepting_infos.size(), "vortan_assert");
        std::lock_guard<std::recursive_mutex> guard(_request_lock);
        const platform::native_handle listener = _accepting_infos[index]->operate_handle();
        if (handle_accept_event(index)) {
            // More connections may wait on the same listener: its other
            // requests are served now, and the engine wakes once for the lot.
            for (std::size_t i = 0; i < _accepting_infos.size();) {
                if (_accepting_infos[i]->operate_handle() != listener) {
                    ++i;
                } else if (!handle_accept_event(i)) {
                    break;  // nothing more waits
                }
            }
        }
        start_queued_requests();
    }
    cancel_all_requests();
    _thread_gone.store(true, std::memory_order_release);
    // A submitter waiting for the thread to stand still learns it is gone.
    _event_new_request_hold.set();
}

}  // namespace asynframe
