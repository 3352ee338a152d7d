#include "engine/wait_objects_thread.h"

#include <algorithm>

#include "support/assert.h"

namespace asynframe {

// ---- request list -------------------------------------------------------------

bool wait_objects_thread_operation_list::push(const wait_request& request) {
    mutex::scoped_lock guard(_lock);
    if (request.kind == wait_request::remove_and_wait) {
        const bool add_queued = std::any_of(_requests.begin(), _requests.end(), [&](const wait_request& r) {
            return r.kind == wait_request::add && r.handle == request.handle;
        });
        if (add_queued) {
            std::erase_if(_requests, [&](const wait_request& r) { return r.handle == request.handle; });
            return false;
        }
    }
    _requests.push_back(request);
    return true;
}

bool wait_objects_thread_operation_list::pop(wait_request& request) {
    mutex::scoped_lock guard(_lock);
    if (_requests.empty()) return false;
    request = _requests.front();
    _requests.pop_front();
    return true;
}

bool wait_objects_thread_operation_list::erase_requests(const wait_handle& handle) {
    mutex::scoped_lock guard(_lock);
    return std::erase_if(_requests, [&](const wait_request& r) { return r.handle == handle; }) != 0;
}

std::size_t wait_objects_thread_operation_list::size() const {
    mutex::scoped_lock guard(_lock);
    return _requests.size();
}

// ---- wait thread ----------------------------------------------------------------

wait_objects_thread::wait_objects_thread(i_wait_objects_thread_notify* notify_ptr) : _notify_ptr(notify_ptr) {
    vortan_assert_text(notify_ptr != nullptr, "notify_ptr", "vortan_assert", "wait_objects_thread", 116);
    _wait_array.push_back(wait_handle::of(stop_event()));
    _wait_array.push_back(wait_handle::of(_break_begin_event));
    _handle_count.store(_wait_array.size(), std::memory_order_release);
}

// The owner stops the thread first; the base destructor covers a forgotten stop.
wait_objects_thread::~wait_objects_thread() { stop(); }

bool wait_objects_thread::is_level_triggered(const wait_handle& handle) noexcept {
    if (handle.kind != wait_handle::event_kind) return true;
    return handle.ev != nullptr && handle.ev->manual_reset();
}

bool wait_objects_thread::queue(const wait_request& request) {
    if (in_thread()) return true;
    if (_requests.push(request)) _break_begin_event.set();
    return true;
}

bool wait_objects_thread::add_handle(const wait_handle& handle, std::int32_t priority) {
    return queue(wait_request{wait_request::add, handle, priority, 0});
}

bool wait_objects_thread::demote_handle(const wait_handle& handle) {
    return queue(wait_request{wait_request::demote, handle, 0, 0});
}

bool wait_objects_thread::rearm_handle(const wait_handle& handle) {
    return queue(wait_request{wait_request::rearm, handle, 0, 0});
}

bool wait_objects_thread::remove_handle_and_wait(const wait_handle& handle) {
    if (in_thread()) return true;
    // Cancelled while its add was still queued: the handle was never waited on.
    if (!_requests.push(wait_request{wait_request::remove_and_wait, handle, 0, 0})) return true;
    _break_begin_event.set();
    const wait_handle done[2] = {wait_handle::of(_break_end_event), wait_handle::of(_ended_event)};
    const int which = platform::wait_any(done, 2, platform::infinite);
    if (which != 0) {
        // The thread is gone (stopped or its wait failed): nothing watches the
        // handle any more; just make sure the request does not linger.
        _requests.erase_requests(handle);
    }
    return true;
}

bool wait_objects_thread::is_full() const {
    mutex::scoped_lock guard(_requests._lock);
    return handle_count() + _requests._requests.size() + 1 >= maximum_wait_objects;
}

void wait_objects_thread::finish_request() {
    mutex::scoped_lock guard(_requests._lock);
    if (!_requests._requests.empty()) _requests._requests.pop_front();
    _handle_count.store(_wait_array.size(), std::memory_order_release);
}

std::vector<wait_handle>::iterator wait_objects_thread::find_waited(const wait_handle& handle) {
    return std::find(_wait_array.begin() + 2, _wait_array.end(), handle);
}

void wait_objects_thread::insert_by_priority(const wait_handle& handle, std::int32_t priority) {
    // After every handle of equal or higher priority, so equal ones keep their order.
    auto at = _wait_array.begin() + 2;
    for (; at != _wait_array.end(); ++at) {
        const auto p = _priorities.find(*at);
        if (p != _priorities.end() && p->second < priority) break;
    }
    _wait_array.insert(at, handle);
    _priorities[handle] = priority;
}

void wait_objects_thread::process_requests() {
    for (;;) {
        // Carried out while still queued, then retired with the count update.
        wait_request request;
        {
            mutex::scoped_lock guard(_requests._lock);
            if (_requests._requests.empty()) return;
            request = _requests._requests.front();
        }
        _armed_dirty = true;
        switch (request.kind) {
            case wait_request::add:
                insert_by_priority(request.handle, request.priority);
                _disarmed.erase(request.handle);
                finish_request();
                break;
            case wait_request::remove_and_wait: {
                const auto it = find_waited(request.handle);
                const bool waited = it != _wait_array.end();
                if (waited) _wait_array.erase(it);
                _priorities.erase(request.handle);
                _disarmed.erase(request.handle);
                finish_request();
                if (!waited) _requests.erase_requests(request.handle);
                _break_end_event.set();
                break;
            }
            case wait_request::demote: {
                const auto it = find_waited(request.handle);
                if (it != _wait_array.end()) {
                    _wait_array.erase(it);
                    _wait_array.push_back(request.handle);
                    _priorities[request.handle] = 0;
                }
                finish_request();
                break;
            }
            case wait_request::rearm:
                _disarmed.erase(request.handle);
                finish_request();
                break;
        }
    }
}

void wait_objects_thread::rebuild_armed() {
    _armed.clear();
    _armed_index.clear();
    for (std::size_t i = 0; i < _wait_array.size(); ++i) {
        if (i >= 2 && _disarmed.count(_wait_array[i]) != 0) continue;
        _armed.push_back(_wait_array[i]);
        _armed_index.push_back(i);
    }
    _armed_dirty = false;
}

void wait_objects_thread::run() {
    struct mark_ended {
        platform::event& ended;
        ~mark_ended() { ended.set(); }
    } ended{_ended_event};
    _ended_event.reset();

    for (;;) {
        if (_armed_dirty) rebuild_armed();
        // The wait reports the lowest ready index: the stop event first, then the
        // request event, then waited handles in priority order.
        const int ready = platform::wait_any(_armed.data(), _armed.size(), platform::infinite);
        if (ready < 0) return;  // the wait failed: end quietly, as the owner cannot be told
        const std::size_t index = _armed_index[static_cast<std::size_t>(ready)];
        if (index == 0) return;
        if (index == 1) {
            process_requests();
            continue;
        }
        const wait_handle handle = _wait_array[index];
        if (is_level_triggered(handle)) {
            _disarmed.insert(handle);
            _armed_dirty = true;
        }
        _notify_ptr->on_wait_object_signaled(handle);
    }
}

}  // namespace asynframe

namespace asynframe {

// ---- manager ------------------------------------------------------------------------

wait_objects_thread_manager::wait_objects_thread_manager(singleton_instance* instance,
                                                         i_wait_objects_thread_notify* owner)
    : asyn_io_handler(instance), _owner(owner) {}

void wait_objects_thread_manager::stop_threads() {
    mutex::scoped_lock guard(_threads_lock);
    // Signal every thread first so they wind down together, then wait for each.
    for (auto& t : _threads)
        if (t->thread_id() != 0) t->signal_stop();
    for (auto& t : _threads) t->stop();
    _threads.clear();
    _placements.clear();
}

wait_objects_thread_manager::~wait_objects_thread_manager() {
    stop_threads();
    // Notifications still in flight must not reach a handler that is gone: orphan
    // them here whatever thread this is (the engine deletes them on delivery).
    std::vector<asyn_io_operation*> pending;
    {
        mutex::scoped_lock guard(_notifications_lock);
        for (auto& entry : _notifications) pending.push_back(entry.second);
        _notifications.clear();
        _notified_handles.clear();
    }
    for (asyn_io_operation* op : pending) delete_operation(op);
}

bool wait_objects_thread_manager::add_wait_object(const wait_handle& handle, std::int32_t priority) {
    mutex::scoped_lock guard(_threads_lock);
    if (_placements.count(handle) != 0) return false;
    wait_objects_thread* target = nullptr;
    for (auto& t : _threads)
        if (!t->is_full()) {
            target = t.get();
            break;
        }
    if (target == nullptr) {
        try {
            auto created = std::make_unique<wait_objects_thread>(this);
            created->start();
            target = created.get();
            _threads.push_back(std::move(created));
        } catch (const std::exception&) {
            return false;  // no thread or event could be created: the handle is not watched
        }
    }
    const bool placed = target->add_handle(handle, priority);
    if (placed) _placements[handle] = target;
    return placed;
}

bool wait_objects_thread_manager::remove_wait_object(const wait_handle& handle) {
    mutex::scoped_lock guard(_threads_lock);
    const auto it = _placements.find(handle);
    if (it == _placements.end()) return false;
    const bool removed = it->second->remove_handle_and_wait(handle);
    _placements.erase(it);
    drop_notification(handle);
    return removed;
}

bool wait_objects_thread_manager::demote_wait_object(const wait_handle& handle) {
    mutex::scoped_lock guard(_threads_lock);
    const auto it = _placements.find(handle);
    if (it == _placements.end()) return false;
    return it->second->demote_handle(handle);
}

std::size_t wait_objects_thread_manager::thread_count() {
    mutex::scoped_lock guard(_threads_lock);
    return _threads.size();
}

int wait_objects_thread_manager::placement_of(const wait_handle& handle) {
    mutex::scoped_lock guard(_threads_lock);
    const auto it = _placements.find(handle);
    if (it == _placements.end()) return -1;
    for (std::size_t i = 0; i < _threads.size(); ++i)
        if (_threads[i].get() == it->second) return static_cast<int>(i);
    return -1;
}

void wait_objects_thread_manager::drop_notification(const wait_handle& handle) {
    asyn_io_operation* op = nullptr;
    {
        mutex::scoped_lock guard(_notifications_lock);
        const auto it = _notifications.find(handle);
        if (it == _notifications.end()) return;
        op = it->second;
        _notified_handles.erase(op);
        _notifications.erase(it);
    }
    // Still pending: orphaned, and deleted by the engine when it is delivered.
    delete_operation(op);
}

void wait_objects_thread_manager::on_wait_object_signaled(const wait_handle& handle) {
    mutex::scoped_lock guard(_notifications_lock);
    if (_notifications.count(handle) != 0) return;  // absorbed: the owner has yet to be told
    asyn_io_operation* op = nullptr;
    try {
        op = create_operation(0);
        _notifications[handle] = op;
        _notified_handles[op] = handle;
    } catch (const std::exception&) {
        if (op != nullptr) {
            _notifications.erase(handle);
            delete_operation(op);
        }
        return;  // out of memory: this signal is lost, the next one tries again
    }
    op->set_operate_handle(handle.fd);
    if (!op->post()) {
        _notifications.erase(handle);
        _notified_handles.erase(op);
        delete_operation(op);
    }
}

void wait_objects_thread_manager::on_io_complete(asyn_io_operation* operation) {
    wait_handle handle;
    {
        mutex::scoped_lock guard(_notifications_lock);
        const auto it = _notified_handles.find(operation);
        if (it == _notified_handles.end()) {
            delete_operation(operation);
            return;
        }
        handle = it->second;
        _notified_handles.erase(it);
        _notifications.erase(handle);
    }
    delete_operation(operation);
    if (_owner != nullptr) _owner->on_wait_object_signaled(handle);

    // A level-triggered handle was set aside when it fired; watch it again now
    // that the owner has seen it, unless the owner stopped watching it.
    if (!wait_objects_thread::is_level_triggered(handle)) return;
    mutex::scoped_lock guard(_threads_lock);
    const auto it = _placements.find(handle);
    if (it != _placements.end()) it->second->rearm_handle(handle);
}

}  // namespace asynframe
