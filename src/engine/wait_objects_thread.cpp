#include "engine/wait_objects_thread.h"

#include <utility>

#include <algorithm>
#include <iterator>
#include <mutex>

#include "support/assert.h"

namespace asynframe {

// ---- request list -------------------------------------------------------------

std::uint64_t wait_objects_thread_operation_list::push(const wait_request& request) {
    mutex::scoped_lock guard(_lock);
    if (_closed) return 0;
    if (request.kind == wait_request::remove_and_wait) {
        const auto newest_add = std::find_if(_requests.rbegin(), _requests.rend(), [&](const entry& e) {
            return e.request.kind == wait_request::add && e.request.handle == request.handle;
        });
        if (newest_add != _requests.rend() && newest_add->id != _active_id) {
            // Everything for the handle from that add on; requests before it (an
            // earlier remove someone waits for) still have to be carried out.
            const auto from = std::prev(newest_add.base());
            _requests.erase(std::remove_if(from, _requests.end(),
                                           [&](const entry& e) { return e.request.handle == request.handle; }),
                            _requests.end());
            wake_waiters();
            return 0;
        }
    }
    const std::uint64_t id = _next_id++;
    _requests.push_back(entry{request, id});
    return id;
}

bool wait_objects_thread_operation_list::pop(wait_request& request) {
    mutex::scoped_lock guard(_lock);
    const auto it = std::find_if(_requests.begin(), _requests.end(), [&](const entry& e) { return e.id != _active_id; });
    if (it == _requests.end()) return false;
    request = it->request;
    _requests.erase(it);
    wake_waiters();
    return true;
}

bool wait_objects_thread_operation_list::erase_requests(const wait_handle& handle) {
    mutex::scoped_lock guard(_lock);
    const auto erased = std::erase_if(
        _requests, [&](const entry& e) { return e.request.handle == handle && e.id != _active_id; });
    if (erased != 0) wake_waiters();
    return erased != 0;
}

std::size_t wait_objects_thread_operation_list::size() const {
    mutex::scoped_lock guard(_lock);
    return _requests.size();
}

bool wait_objects_thread_operation_list::contains(std::uint64_t id) const {
    return std::any_of(_requests.begin(), _requests.end(), [&](const entry& e) { return e.id == id; });
}

void wait_objects_thread_operation_list::wake_waiters() {
    if (_waiters != 0) _retired.notify_all();
}

void wait_objects_thread_operation_list::wait_retired(std::uint64_t id) {
    std::unique_lock<mutex> guard(_lock);
    ++_waiters;
    _retired.wait(guard, [&] { return _closed || !contains(id); });
    --_waiters;
}

void wait_objects_thread_operation_list::close() {
    mutex::scoped_lock guard(_lock);
    _closed = true;
    _requests.clear();
    _active_id = 0;
    wake_waiters();
}

void wait_objects_thread_operation_list::open() {
    mutex::scoped_lock guard(_lock);
    _closed = false;
}

// ---- wait thread ----------------------------------------------------------------

wait_objects_thread::wait_objects_thread(i_wait_objects_thread_notify* notify_ptr) : _notify_ptr(notify_ptr) {
    vortan_assert_text(notify_ptr != nullptr, "notify_ptr", "vortan_assert", "wait_objects_thread", 116);
    _wait_array.reserve(maximum_wait_objects);
    _disarmed.reserve(maximum_wait_objects);
    _armed.reserve(maximum_wait_objects);
    _armed_index.reserve(maximum_wait_objects);
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
    if (_requests.push(request) == 0) return false;  // the thread has ended
    _break_begin_event.set();
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
    if (thread_id() == 0) {
        // Never started: nothing is watched yet, so only queued requests can refer to it.
        _requests.erase_requests(handle);
        return true;
    }
    // 0: its add was cancelled while still queued, or the thread has ended;
    // either way nothing watches the handle.
    const std::uint64_t id = _requests.push(wait_request{wait_request::remove_and_wait, handle, 0, 0});
    if (id == 0) return true;
    _break_begin_event.set();
    _requests.wait_retired(id);
    return true;
}

bool wait_objects_thread::remove_reported_handle(const wait_handle& handle) {
    if (in_thread()) return true;
    // Nothing to wake the thread for: it handles the request with its next one.
    _requests.push(wait_request{wait_request::remove, handle, 0, 0});
    return true;
}

bool wait_objects_thread::is_full() const {
    mutex::scoped_lock guard(_requests._lock);
    return handle_count() + _requests._requests.size() + 1 >= maximum_wait_objects;
}

bool wait_objects_thread::take_request(wait_request& request, std::uint64_t& id) {
    mutex::scoped_lock guard(_requests._lock);
    if (_requests._requests.empty()) return false;
    const auto& front = _requests._requests.front();
    request = front.request;
    id = front.id;
    _requests._active_id = id;
    return true;
}

void wait_objects_thread::finish_request(std::uint64_t id) {
    mutex::scoped_lock guard(_requests._lock);
    auto& queued = _requests._requests;
    const auto it = std::find_if(queued.begin(), queued.end(), [&](const auto& e) { return e.id == id; });
    if (it != queued.end()) queued.erase(it);
    _requests._active_id = 0;
    _handle_count.store(_wait_array.size(), std::memory_order_release);
    _requests.wake_waiters();
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

bool wait_objects_thread::is_disarmed(const wait_handle& handle) const {
    return std::find(_disarmed.begin(), _disarmed.end(), handle) != _disarmed.end();
}

void wait_objects_thread::rearm(const wait_handle& handle) {
    const auto it = std::find(_disarmed.begin(), _disarmed.end(), handle);
    if (it != _disarmed.end()) _disarmed.erase(it);
}

void wait_objects_thread::process_requests() {
    // Each request is carried out while still queued (is_full() keeps counting
    // it), then retired by its id together with the count update.
    wait_request request;
    std::uint64_t id = 0;
    while (take_request(request, id)) {
        _armed_dirty = true;
        switch (request.kind) {
            case wait_request::add:
                if (find_waited(request.handle) == _wait_array.end())
                    insert_by_priority(request.handle, request.priority);
                rearm(request.handle);
                break;
            case wait_request::remove:
            case wait_request::remove_and_wait: {
                const auto it = find_waited(request.handle);
                if (it != _wait_array.end()) _wait_array.erase(it);
                _priorities.erase(request.handle);
                rearm(request.handle);
                break;
            }
            case wait_request::demote: {
                const auto it = find_waited(request.handle);
                if (it != _wait_array.end()) {
                    _wait_array.erase(it);
                    _wait_array.push_back(request.handle);
                    _priorities[request.handle] = 0;
                }
                break;
            }
            case wait_request::rearm:
                rearm(request.handle);
                break;
        }
        finish_request(id);
    }
}

void wait_objects_thread::rebuild_armed() {
    _armed.clear();
    _armed_index.clear();
    for (std::size_t i = 0; i < _wait_array.size(); ++i) {
        if (i >= 2 && is_disarmed(_wait_array[i])) continue;
        _armed.push_back(_wait_array[i]);
        _armed_index.push_back(i);
    }
    _armed_dirty = false;
}

void wait_objects_thread::run() {
    _requests.open();
    // However the loop ends, the thread takes no more work from here on and
    // every remover still waiting is let go.
    struct close_on_exit {
        wait_objects_thread_operation_list& requests;
        ~close_on_exit() { requests.close(); }
    } closer{_requests};

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
            _disarmed.push_back(handle);
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
    // A thread that has ended (or is ending) refuses the add; the next one is tried.
    wait_objects_thread* target = nullptr;
    for (auto& t : _threads)
        if (!t->is_full() && t->add_handle(handle, priority)) {
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
        if (!target->add_handle(handle, priority)) return false;
    }
    _placements[handle] = target;
    return true;
}

namespace {
// The handle whose notification this thread is delivering, and for which manager.
thread_local const wait_objects_thread_manager* t_notifying_manager = nullptr;
thread_local wait_handle t_notifying_handle;
}  // namespace

bool wait_objects_thread_manager::remove_wait_object(const wait_handle& handle) {
    mutex::scoped_lock guard(_threads_lock);
    const auto it = _placements.find(handle);
    if (it == _placements.end()) return false;
    const bool reported = t_notifying_manager == this && t_notifying_handle == handle &&
                          wait_objects_thread::is_level_triggered(handle);
    const bool removed =
        reported ? it->second->remove_reported_handle(handle) : it->second->remove_handle_and_wait(handle);
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

std::size_t wait_objects_thread_manager::live_thread_count() {
    mutex::scoped_lock guard(_threads_lock);
    return static_cast<std::size_t>(
        std::count_if(_threads.begin(), _threads.end(), [](const auto& t) { return t->running(); }));
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
    op->set_operate_handle(handle.handle);
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
    // Asked first: the owner may stop watching an event and free it meanwhile.
    const bool level_triggered = wait_objects_thread::is_level_triggered(handle);
    if (_owner != nullptr) {
        const wait_objects_thread_manager* outer_manager = std::exchange(t_notifying_manager, this);
        const wait_handle outer_handle = std::exchange(t_notifying_handle, handle);
        _owner->on_wait_object_signaled(handle);
        t_notifying_manager = outer_manager;
        t_notifying_handle = outer_handle;
    }

    // A level-triggered handle was set aside when it fired; watch it again now
    // that the owner has seen it, unless the owner stopped watching it.
    if (!level_triggered) return;
    mutex::scoped_lock guard(_threads_lock);
    const auto it = _placements.find(handle);
    if (it != _placements.end()) it->second->rearm_handle(handle);
}

}  // namespace asynframe
