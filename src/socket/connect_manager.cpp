#include "socket/connect_manager.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "dns/dns_request.h"
#include "dns/dns_service.h"
#include "dns/ip_parser.h"
#include "engine/asyn_io_handler.h"
#include "engine/asyn_io_manager.h"
#include "engine/asyn_io_operation.h"
#include "platform/io_backend.h"
#include "platform/error_codes.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "platform/tick.h"
#include "socket/asyn_socket_device.h"
#include "support/assert.h"
#include "support/setting.h"
#include "support/stat_data.h"

namespace asynframe {
namespace {

constexpr std::uint32_t failed_time = 0xFFFFFFFFu;
constexpr std::size_t address_text_size = 256;

void post_result(asyn_io_operation* operation, std::uint32_t error) {
    operation->set_result_preset(true);
    operation->set_preset_result(error, 0);
    operation->post();
}

// Four decimal numbers of at most 255, each after the first preceded by a dot;
// a dot after the fourth, with nothing behind it, is dropped.
void drop_final_dot_of_address(std::string& host) {
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= host.size() || host[pos] != '.') return;
            ++pos;
        }
        const std::size_t begin = pos;
        unsigned value = 0;
        while (pos < host.size() && host[pos] >= '0' && host[pos] <= '9' && pos - begin < 3) {
            value = value * 10 + static_cast<unsigned>(host[pos] - '0');
            ++pos;
        }
        if (pos == begin || value > 255) return;
    }
    if (pos + 1 == host.size() && host[pos] == '.') host.pop_back();
}

std::int32_t saturating_add(std::int32_t a, std::int32_t b) {
    const std::int64_t sum = static_cast<std::int64_t>(a) + b;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(sum, std::numeric_limits<std::int32_t>::min(),
                                                              std::numeric_limits<std::int32_t>::max()));
}

// The engine's timers belong to the dispatch thread, and the limit setters
// that may start a race's next attempt do not: a raced attempt's delay is
// kept by this thread, which wakes the scheduler on the dispatch thread (a
// posted operation) when the earliest armed moment has come. The scheduler
// reads the tick itself, so a wake-up early or late only moves its next look.

// Operation types of the scheduler's own requests beside connects (1) and
// resolutions (201).
constexpr std::int32_t stagger_operation = 0x33330451;
constexpr std::int32_t flush_operation = 0x33330452;

}  // namespace

class stagger_clock {
public:
    using ring_fn = void (*)(void* context) noexcept;
    stagger_clock(ring_fn ring, void* context) : _ring(ring), _context(context) {}
    ~stagger_clock() {
        {
            std::lock_guard<std::mutex> guard(_lock);
            _stopping = true;
        }
        _changed.notify_all();
        if (_worker.joinable()) _worker.join();
    }
    stagger_clock(const stagger_clock&) = delete;
    stagger_clock& operator=(const stagger_clock&) = delete;

    // The scheduler is woken `milliseconds` from now, or earlier when armed so.
    void arm(std::uint32_t milliseconds) {
        const auto when = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        {
            std::lock_guard<std::mutex> guard(_lock);
            if (_due && *_due <= when) return;
            _due = when;
            if (!_worker.joinable()) _worker = std::thread([this] { run(); });
        }
        _changed.notify_all();
    }

private:
    void run() {
        platform::name_current_thread("af-stagger");
        std::unique_lock<std::mutex> guard(_lock);
        while (!_stopping) {
            if (!_due) {
                _changed.wait(guard);
                continue;
            }
            if (std::chrono::steady_clock::now() < *_due) {
                _changed.wait_until(guard, *_due);
                continue;
            }
            _due.reset();
            _ring(_context);
        }
    }

    ring_fn _ring;
    void* _context;
    std::mutex _lock;
    std::condition_variable _changed;
    std::optional<std::chrono::steady_clock::time_point> _due;
    bool _stopping = false;
    std::thread _worker;
};

struct connect_manager::resolution {
    std::vector<std::string> addresses;
    std::vector<std::string> addresses6;
    dns_request request;
    resolution(const std::string& name, asyn_io_operation* op)
        : request(name, platform::invalid_handle, &addresses, op, &addresses6) {}
};

// The scheduler's receiver of its engine requests.
class connect_manager::completions final : public asyn_io_handler {
public:
    completions(singleton_instance* instance, connect_manager& owner) noexcept
        : asyn_io_handler(instance), _owner(owner) {}
    void on_io_complete(asyn_io_operation* op) override { _owner.on_operation(op, false); }
    void on_io_abandoned(asyn_io_operation* op) override { _owner.on_operation(op, true); }
    void cancel() override {}

private:
    connect_manager& _owner;
};

connect_manager::connect_manager(singleton_instance* instance) : with_singleton(instance) {
    if (_singleton != nullptr && _singleton->setting_ptr != nullptr) {
        const setting& settings = *_singleton->setting_ptr;
        _max_connection = std::clamp<std::uint32_t>(settings.get(setting_keys::max_connection), 1, 1000);
        _syn_num_for_others = settings.get(setting_keys::syn_num_for_others);
        _connect_time_threshold = settings.get(setting_keys::connect_time_threshold);
    }
    // Until the frame sets its own, the ceiling applies.
    const std::uint32_t ceiling = read_setting_max_syn();
    _max_syn_count = ceiling <= 1 ? 1 : (_syn_num_for_others < ceiling ? ceiling - _syn_num_for_others : ceiling - 1);
    _completions = std::make_unique<completions>(instance, *this);
    _flush_op = _completions->create_operation(0);
    _flush_op->set_operation_type(flush_operation);
}

connect_manager::~connect_manager() {
    // Nothing is watched from here on, and the stagger wakes nobody any more.
    _wait_service.reset();
    _clock.reset();
    _running = false;
    for (auto& [id, r] : _connecting_queue) {
        drop_resolution(*r);
        // The caller's socket is its device's, which cancels what runs on it
        // when it closes; an attempt's socket is the scheduler's.
        if (r->op != nullptr) orphan(std::exchange(r->op, nullptr));
        for (attempt& a : r->attempts) {
            if (a.op != nullptr) orphan(std::exchange(a.op, nullptr));
            close_attempt_socket(a.socket);
        }
        post_result(r->_operation_ptr, errors::operation_aborted);
    }
    _connecting_queue.clear();
    for (auto& [priority, r] : _waiting_requests) post_result(r->_operation_ptr, errors::operation_aborted);
    _waiting_requests.clear();
    _socket2event_map.clear();
    _watched.clear();
    // Operations still in the engine are orphaned: it deletes them when they come out.
    _idle_ops.clear();
    _ready.clear();
    _stagger_op = nullptr;
    _flush_op = nullptr;
    _completions.reset();

    stat_data* statistics = _singleton != nullptr ? _singleton->stat_data_ptr : nullptr;
    if (statistics == nullptr) return;
    auto store = [statistics](std::string_view key, std::uint64_t average) {
        try {
            statistics->set_u64(setting_keys::stat_section_once, key, average);
            const std::uint64_t old = statistics->get_u64(setting_keys::stat_section, key, 0);
            statistics->set_u64(setting_keys::stat_section, key, old != 0 ? (old + average) / 2 : average);
        } catch (...) {
            // A failing sink loses the statistics, nothing else.
        }
    };
    if (_connect_count != 0) {
        store(setting_keys::request_time_average, _request_time_sum / _connect_count);
        store(setting_keys::connect_time_average, _connect_time_sum / _connect_count);
    }
    if (_dns_count != 0) store(setting_keys::dns_time_average, _dns_time_sum / _dns_count);
}

std::uint32_t connect_manager::read_setting_max_syn() const {
    if (_singleton == nullptr || _singleton->setting_ptr == nullptr) return setting_keys::max_syn_count.default_value;
    return _singleton->setting_ptr->get(setting_keys::max_syn_count);
}

std::string connect_manager::score_key(const std::string& host, std::uint16_t port) const {
    return host + ":" + std::to_string(port);
}

std::int32_t connect_manager::address_score(const std::string& host, std::uint16_t port) {
    const auto found = _address_times.find(score_key(host, port));
    if (found == _address_times.end()) return 50;
    if (found->second == failed_time) return 0;
    if (found->second == 0) return 90;
    if (found->second > _connect_time_threshold) return 20;
    return 80;
}

// ---- observers ----------------------------------------------------------------------------

void connect_manager::add_events_sink(connect_manager_events* sink) {
    if (sink == nullptr) return;
    mutex::scoped_lock guard(_sinks_lock);
    if (std::find(_sinks.begin(), _sinks.end(), sink) == _sinks.end()) _sinks.push_back(sink);
}

void connect_manager::remove_events_sink(connect_manager_events* sink) {
    mutex::scoped_lock guard(_sinks_lock);
    _sinks.erase(std::remove(_sinks.begin(), _sinks.end(), sink), _sinks.end());
}

void connect_manager::add_notice(notices& out, notice::kind_t kind, asyn_io_operation* operation, std::int32_t value,
                                 std::uint16_t port, std::string text, std::vector<std::string> addresses) {
    {
        mutex::scoped_lock guard(_sinks_lock);
        if (_sinks.empty()) return;
        if (kind == notice::attempt_start &&
            std::none_of(_sinks.begin(), _sinks.end(), [](const connect_manager_events* sink) {
                return sink->wants_attempt_starts();
            }))
            return;
    }
    // The operation may complete on the dispatch thread before the notice is
    // raised from another; its component face keeps it alive till then.
    if (IAsynIoOperation* face = operation->operation_iface()) face->AddRef();
    out.push_back(notice{kind, operation, value, port, std::move(text), std::move(addresses)});
}

void connect_manager::raise(notices& out) {
    if (out.empty()) return;
    std::vector<connect_manager_events*> sinks;
    {
        mutex::scoped_lock guard(_sinks_lock);
        sinks = _sinks;
    }
    for (notice& n : out) {
        for (connect_manager_events* sink : sinks) {
            switch (n.kind) {
                case notice::request_made: sink->on_connect_request(n.operation, n.text, n.port, n.value); break;
                case notice::resolved: sink->on_resolved(n.operation, n.value, n.addresses); break;
                case notice::attempt:
                    sink->on_connect_attempt(n.operation, static_cast<std::uint32_t>(n.value), n.text);
                    break;
                case notice::complete: sink->on_connect_complete(n.operation, static_cast<std::uint32_t>(n.value)); break;
                case notice::attempt_start: sink->on_connect_attempt_start(n.operation, n.text); break;
            }
        }
        if (IAsynIoOperation* face = n.operation->operation_iface()) face->Release();
    }
    out.clear();
}

// ---- entry points -------------------------------------------------------------------------

void connect_manager::connect(asyn_io_operation* operation, const std::string& host, std::uint16_t port,
                              std::int32_t priority, connect_target* target) {
    vortan_assert_text(operation != nullptr, "operation_ptr", "vortan_assert", "connect_manager", 0);
    vortan_assert_text(operation->is_pending(), "operation_ptr->is_pending()", "vortan_assert", "connect_manager", 0);
    if (host.empty()) {
        post_result(operation, 0xFFFFFFFFu);
        return;
    }
    notices out;
    {
        mutex::scoped_lock guard(_lock);
        const platform::native_handle socket_handle = operation->operate_handle();
        vortan_assert_text(socket_handle != platform::invalid_handle, "operation_ptr->operate_handle()", "vortan_assert", "connect_manager",
                           0);
        if (_socket2event_map.count(socket_handle) != 0) {
            post_result(operation, 0xFFFFFFFFu);
            return;
        }
        add_notice(out, notice::request_made, operation, priority, port, host);

        auto r = std::make_unique<request>();
        r->_operation_ptr = operation;
        r->socket = socket_handle;
        r->host = host;
        r->port = port;
        r->_priority = saturating_add(priority, address_score(host, port));
        r->_request_tick = platform::tick_count();
        r->id = _next_id++;
        r->target = target;
        // A socket the device made for this connect has a known family; any
        // other is asked once, at its first connect.
        if (target != nullptr) r->socket_family = target->own_socket_family();
        drop_final_dot_of_address(r->host);
        std::uint32_t address = 0;
        platform::endpoint literal;
        if (inet_addr_value(r->host, address)) {
            r->_ip_addresses.push_back(r->host);
        } else if (platform::parse_address(r->host.data(), r->host.size(), port, literal) && literal.is_v6()) {
            // An IPv6 address, with or without brackets, is connected at once
            // as well; its plain text is what the attempt reports.
            char text[64];
            platform::address_text(literal, text);
            r->_ip_addresses.emplace_back(text);
        }

        const std::int32_t key = r->_priority;
        _waiting_requests.emplace(key, std::move(r));
        _socket2event_map[socket_handle] = 0;
        if (half_open() < _max_syn_count) schedule(out);
    }
    raise(out);
}

void connect_manager::on_socket_closed(platform::native_handle socket_handle) {
    notices out;
    {
        mutex::scoped_lock guard(_lock);
        _connected_sockets.erase(socket_handle);
        if (_socket2event_map.count(socket_handle) != 0) forget_socket(socket_handle, true);
        // A place may have come free: waiting requests need not wait for the next enqueue.
        schedule(out);
    }
    raise(out);
}

void connect_manager::on_wait_object_signaled(const wait_handle& handle) {
    // Only connects are watched, and only where the backend cannot make them.
    notices out;
    {
        mutex::scoped_lock guard(_lock);
        const auto watched = _watched.find(handle);
        if (watched == _watched.end()) return;
        const auto found = _connecting_queue.find(watched->second);
        if (found == _connecting_queue.end()) return;
        request& r = *found->second;
        vortan_assert_text(r._opt_type == operation_type_connect, "_opt_type", "vortan_assert", "connect_manager", 0);
        if (r.racing)
            race_event(r, handle, out);
        else
            connect_event(r, out);
    }
    raise(out);
}

// ---- engine requests ----------------------------------------------------------------------

asyn_io_operation* connect_manager::acquire_operation() {
    if (!_idle_ops.empty()) {
        asyn_io_operation* op = _idle_ops.back();
        _idle_ops.pop_back();
        return op;
    }
    return _completions->create_operation(0);
}

void connect_manager::recycle(asyn_io_operation* op) {
    op->set_position(std::uint64_t{0});
    try {
        _idle_ops.push_back(op);
    } catch (...) {
        _completions->delete_operation(op);
    }
}

void connect_manager::orphan(asyn_io_operation* op) noexcept {
    // No request has id 0: its completion finds nobody and gives it back.
    op->set_position(std::uint64_t{0});
}

std::uint32_t connect_manager::begin_connect(platform::native_handle socket, const platform::endpoint& target,
                                             std::uint64_t id, asyn_io_operation*& slot) {
    asyn_io_manager* engine = _singleton != nullptr ? _singleton->asyn_io_manager_ptr : nullptr;
    platform::io_backend* port = engine != nullptr ? engine->io_port() : nullptr;
    if (port == nullptr) return no_buffer_error;
    asyn_io_operation* op = nullptr;
    try {
        op = acquire_operation();
    } catch (...) {
        return no_buffer_error;
    }
    op->clear_request();
    op->set_operation_type(operation_type::connect);
    op->set_preset_result(0, 0);
    op->set_result_preset(false);
    op->set_operate_handle(socket);
    op->set_position(id);
    op->mark_pending();
    const std::uint32_t error = port->start_connect(socket, target, op->overlapped());
    if (error != 0) {
        op->clear_pending();
        recycle(op);
        return error;
    }
    slot = op;
    return 0;
}

void connect_manager::on_operation(asyn_io_operation* op, bool abandoned) {
    const std::int32_t type = op->get_operation_type();
    if (type == stagger_operation) {
        _stagger_posted.store(false, std::memory_order_release);
        if (abandoned) return;
        notices out;
        {
            mutex::scoped_lock guard(_lock);
            if (_running) on_stagger(out);
        }
        raise(out);
        return;
    }
    if (type == flush_operation) {
        flush_ready();
        return;
    }
    if (abandoned) {
        finish_operation(op, true);
        return;
    }
    bool queued = false;
    {
        mutex::scoped_lock guard(_lock);
        try {
            _ready.push_back(op);
            queued = true;
        } catch (...) {
        }
        if (queued) {
            if (_flush_posted) return;
            // Behind every completion the engine has in hand now.
            _flush_posted = _flush_op->post();
            if (_flush_posted) return;
        }
    }
    // No room to wait, or no engine to post to: handled at once.
    if (!queued) finish_operation(op, false);
    flush_ready();
}

void connect_manager::flush_ready() {
    std::vector<asyn_io_operation*> batch;
    {
        mutex::scoped_lock guard(_lock);
        batch.swap(_ready);
        _flush_posted = false;
        if (batch.size() > 1) {
            std::vector<std::pair<std::int32_t, asyn_io_operation*>> keyed;
            keyed.reserve(batch.size());
            for (asyn_io_operation* op : batch) {
                const auto found = _connecting_queue.find(op->get_position());
                std::int32_t key = std::numeric_limits<std::int32_t>::min();
                if (found != _connecting_queue.end()) key = found->second->demoted ? 0 : found->second->_priority;
                keyed.emplace_back(key, op);
            }
            std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
            for (std::size_t i = 0; i < keyed.size(); ++i) batch[i] = keyed[i].second;
        }
    }
    for (asyn_io_operation* op : batch) finish_operation(op, false);
}

void connect_manager::finish_operation(asyn_io_operation* op, bool abandoned) {
    notices out;
    {
        mutex::scoped_lock guard(_lock);
        const std::uint64_t id = op->get_position();
        const auto found = id != 0 ? _connecting_queue.find(id) : _connecting_queue.end();
        if (found == _connecting_queue.end()) {
            // Its request went while it was in flight.
            recycle(op);
            return;
        }
        request& r = *found->second;
        std::uint32_t bytes = 0, error = 0;
        op->get_result(bytes, error);
        const bool live = _running && !abandoned;
        if (r.dns_op == op) {
            r.dns_op = nullptr;
            recycle(op);
            if (live) resolution_done(r, out);
        } else if (r.op == op) {
            r.op = nullptr;
            recycle(op);
            if (live) connect_done(r, error, out);
        } else {
            const auto it = std::find_if(r.attempts.begin(), r.attempts.end(),
                                         [op](const attempt& a) { return a.op == op; });
            if (it != r.attempts.end()) it->op = nullptr;
            recycle(op);
            if (it != r.attempts.end() && live) race_done(r, static_cast<std::size_t>(it - r.attempts.begin()), error, out);
        }
    }
    raise(out);
}

void connect_manager::set_max_syn_count(std::uint32_t count) {
    notices out;
    {
        mutex::scoped_lock guard(_lock);
        count = std::min(count, read_setting_max_syn());
        const std::uint32_t old = _max_syn_count;
        if (count > 1)
            _max_syn_count = _syn_num_for_others < count ? count - _syn_num_for_others : count - 1;
        else
            _max_syn_count = 1;
        if (_max_syn_count > old) schedule(out);
    }
    raise(out);
}

void connect_manager::set_max_connection(std::uint32_t count) {
    notices out;
    {
        mutex::scoped_lock guard(_lock);
        const std::uint32_t old = _max_connection;
        _max_connection = std::clamp<std::uint32_t>(count, 1, 1000);
        if (_max_connection > old) schedule(out);
    }
    raise(out);
}

std::uint32_t connect_manager::max_syn_count() {
    mutex::scoped_lock guard(_lock);
    return _max_syn_count;
}

std::uint32_t connect_manager::max_connection() {
    mutex::scoped_lock guard(_lock);
    return _max_connection;
}

std::uint32_t connect_manager::syn_count() {
    mutex::scoped_lock guard(_lock);
    return static_cast<std::uint32_t>(_waiting_requests.size() + _connecting_queue.size());
}

std::uint32_t connect_manager::connecting_count() {
    mutex::scoped_lock guard(_lock);
    return half_open();
}

std::uint32_t connect_manager::connection_count() {
    mutex::scoped_lock guard(_lock);
    return static_cast<std::uint32_t>(_connected_sockets.size());
}

void connect_manager::start() {
    notices out;
    {
        mutex::scoped_lock guard(_lock);
        _running = true;
        try {
            if (_stagger_op == nullptr) {
                _stagger_op = acquire_operation();
                _stagger_op->set_operation_type(stagger_operation);
            }
            if (!_clock) _clock = std::make_unique<stagger_clock>(&connect_manager::ring_stagger, this);
        } catch (...) {
            // Without its clock a race starts the next attempt only when one fails.
            _clock.reset();
        }
        schedule(out);
    }
    raise(out);
}

void connect_manager::ring_stagger(void* context) noexcept { static_cast<connect_manager*>(context)->post_stagger(); }

void connect_manager::post_stagger() noexcept {
    // One wake-up in flight at a time; the clock's thread is the only poster.
    if (_stagger_posted.exchange(true, std::memory_order_acq_rel)) return;
    bool posted = false;
    try {
        posted = _stagger_op->post();
    } catch (...) {
    }
    if (!posted) _stagger_posted.store(false, std::memory_order_release);
}

void connect_manager::stop() {
    std::unique_ptr<wait_objects_thread_manager> service;
    {
        mutex::scoped_lock guard(_lock);
        // What is still in flight is not finished any more: its completions
        // only give the operations back.
        _running = false;
        service = std::move(_wait_service);
        for (auto& [id, r] : _connecting_queue) {
            r->watching = false;
            for (attempt& a : r->attempts) a.watching = false;
        }
        _watched.clear();
    }
    // Outside the lock: a notification being delivered may be waiting for it.
    service.reset();
}

// ---- scheduling ---------------------------------------------------------------------------

void connect_manager::schedule(notices& out) {
    // A request that finishes at once schedules again from inside; the loop
    // below sees the place it freed.
    if (_scheduling || !_running) return;
    _scheduling = true;
    // Attempts due in races already running come before requests not yet started.
    if (_wanting_place != 0) give_places_to_races(out);
    while (!_waiting_requests.empty() && half_open() < _max_syn_count &&
           _connected_sockets.size() < _max_connection) {
        auto node = _waiting_requests.extract(_waiting_requests.begin());
        request_ptr r = std::move(node.mapped());
        const auto socket_entry = _socket2event_map.find(r->socket);
        vortan_assert_text(socket_entry != _socket2event_map.end(), "_socket2event_map.count(socket_handle)",
                           "vortan_assert", "connect_manager", 0);
        socket_entry->second = r->id;
        _connected_sockets.insert(r->socket);
        request& placed = *r;
        _connecting_queue.emplace(r->id, std::move(r));
        if (!placed._ip_addresses.empty())
            start_connecting(placed, false, out);
        else
            start_resolving(placed, out);
    }
    _scheduling = false;
}

bool connect_manager::backend_connects() const {
    const asyn_io_manager* engine = _singleton != nullptr ? _singleton->asyn_io_manager_ptr : nullptr;
    const platform::io_backend* port = engine != nullptr ? engine->io_port() : nullptr;
    return port == nullptr || port->completes_connects();
}

wait_objects_thread_manager* connect_manager::wait_service() {
    if (!_wait_service && _running) _wait_service = std::make_unique<wait_objects_thread_manager>(_singleton, this);
    return _wait_service.get();
}

bool connect_manager::watch(request& r, const wait_handle& handle) {
    wait_objects_thread_manager* service = wait_service();
    if (service == nullptr || !service->add_wait_object(handle, r._priority)) return false;
    r.watched = handle;
    r.watching = true;
    _watched[handle] = r.id;
    return true;
}

void connect_manager::unwatch(request& r) {
    if (!r.watching) return;
    r.watching = false;
    _watched.erase(r.watched);
    if (_wait_service) _wait_service->remove_wait_object(r.watched);
}

void connect_manager::start_resolving(request& r, notices& out) {
    vortan_assert_text(r._ip_addresses.empty(), "0 == _connecting_queue[event_handle]._ip_addresses.size()",
                       "vortan_assert", "connect_manager", 0);
    vortan_assert_text(r._opt_type == operation_type_none,
                       "operation_type_none == _connecting_queue[event_handle]._opt_type", "vortan_assert",
                       "connect_manager", 0);
    r._opt_type = operation_type_resolve;
    r._dns_tick = platform::tick_count();
    // The resolver posts the answer to this engine: it arrives on the
    // dispatch thread as the operation's completion.
    asyn_io_operation* op = nullptr;
    try {
        op = acquire_operation();
        op->clear_request();
        op->set_operation_type(operation_type::dns_resolution);
        op->set_preset_result(0, 0);
        op->set_operate_handle(platform::invalid_handle);
        op->set_position(r.id);
        r._adns_id = std::make_unique<resolution>(r.host, op);
    } catch (...) {
        if (op != nullptr) recycle(op);
        finish(r.id, no_buffer_error, out);
        return;
    }
    r.dns_op = op;
    // It may answer at once (a cached name): the answer is posted all the same.
    submit_request(&r._adns_id->request);
}

void connect_manager::drop_resolution(request& r) {
    if (!r._adns_id) return;
    if (cancel_request(&r._adns_id->request)) {
        // Taken out before it was answered: the operation never left.
        if (r.dns_op != nullptr) recycle(r.dns_op);
    } else if (r.dns_op != nullptr) {
        // Answered, its completion on the way: it finds no request.
        orphan(r.dns_op);
    }
    r.dns_op = nullptr;
    // The resolver touches nothing of an answered or cancelled request.
    r._adns_id.reset();
}

void connect_manager::resolution_done(request& r, notices& out) {
    vortan_assert_text(r._adns_id != nullptr, "info._adns_id", "vortan_assert", "connect_manager", 0);
    const std::unique_ptr<resolution> answer = std::move(r._adns_id);
    const LONG result = answer->request.result();
    r._ip_addresses.clear();
    std::vector<std::string> v6;
    if (result == DNS_RESULT_OK) {
        // Texts as the exports hand them out: at most 255 characters each.
        for (const std::string& text : answer->addresses)
            if (text.size() + 1 < address_text_size) r._ip_addresses.push_back(text);
        for (const std::string& text : answer->addresses6)
            if (text.size() < SYNC_DNS_TEXT_SIZE) v6.push_back(text);
    }
    if (v6.empty()) {
        add_notice(out, notice::resolved, r._operation_ptr, result, 0, {}, r._ip_addresses);
    } else {
        std::vector<std::string> all = r._ip_addresses;
        all.insert(all.end(), v6.begin(), v6.end());
        add_notice(out, notice::resolved, r._operation_ptr, result, 0, {}, std::move(all));
    }
    if (result != DNS_RESULT_OK || (r._ip_addresses.empty() && v6.empty())) {
        finish(r.id, errors::host_not_found, out);
        return;
    }
    _dns_time_sum += platform::tick_elapsed(r._dns_tick, platform::tick_count());
    ++_dns_count;
    if (v6.empty()) {
        // IPv4 only: one attempt after another on the caller's socket, as always.
        start_connecting(r, false, out);
        return;
    }
    if (r.target != nullptr) {
        start_race(r, std::move(r._ip_addresses), std::move(v6), out);
        return;
    }
    // A socket the caller made (bound) is kept: it tries what its family reaches,
    // IPv6 first on an IPv6 socket, which reaches IPv4 as well.
    if (platform::socket_family(r.socket) == platform::endpoint::family_t::ipv6) {
        v6.insert(v6.end(), r._ip_addresses.begin(), r._ip_addresses.end());
        r._ip_addresses = std::move(v6);
    } else if (r._ip_addresses.empty()) {
        r._ip_addresses = std::move(v6);
    }
    start_connecting(r, false, out);
}

void connect_manager::start_connecting(request& r, bool pick_at_random, notices& out) {
    vortan_assert_text(!r._ip_addresses.empty(), "_connecting_queue[event_handle]._ip_addresses.size()",
                       "vortan_assert", "connect_manager", 0);
    r._opt_type = operation_type_connect;
    vortan_assert_text(r.socket != platform::invalid_handle, "socket_handle", "vortan_assert", "connect_manager", 0);

    std::size_t choice = pick_at_random ? static_cast<std::size_t>(std::rand()) % r._ip_addresses.size() : 0;
    std::int32_t best = address_score(r._ip_addresses[choice], r.port);
    for (std::size_t j = 0, last = choice; j < last; ++j) {
        const std::int32_t score = address_score(r._ip_addresses[j], r.port);
        if (score > best) {
            best = score;
            choice = j;
        }
    }
    r._ip_address = r._ip_addresses[choice];
    r._ip_addresses.erase(r._ip_addresses.begin() + static_cast<std::ptrdiff_t>(choice));

    std::uint32_t address = 0;
    platform::endpoint target;
    if (inet_addr_value(r._ip_address, address)) {
        target = platform::endpoint::v4(platform::host_to_net32(address), r.port);
    } else if (!platform::parse_address(r._ip_address.data(), r._ip_address.size(), r.port, target)) {
        // Not an address the platform can connect to.
        finish(r.id, 10049, out);
        return;
    }
    r._connect_tick = platform::tick_count();
    add_notice(out, notice::attempt_start, r._operation_ptr, 0, 0, r._ip_address);
    // The socket's family was chosen before the request came here: an IPv6
    // socket reaches IPv4 addresses too, an IPv4 one fails an IPv6 address
    // with 10047 and the next address is tried.
    if (backend_connects()) {
        // The backend finishes it on the dispatch thread (connect_done).
        if (r.socket_family == platform::endpoint::family_t::none) r.socket_family = platform::socket_family(r.socket);
        const platform::endpoint to = platform::unmapped(target);
        std::uint32_t refused = 0;
        if (r.socket_family == platform::endpoint::family_t::ipv4 && to.is_v6())
            refused = 10047;  // WSAEAFNOSUPPORT, as the socket layer answers it
        else
            refused = begin_connect(r.socket, platform::in_family(to, r.socket_family), r.id, r.op);
        if (refused != 0) {
            add_notice(out, notice::attempt, r._operation_ptr, static_cast<std::int32_t>(refused), 0, r._ip_address);
            finish(r.id, refused, out);
        }
        return;
    }
    const std::uint32_t error = platform::start_connect(r.socket, target);
    if (error != errors::would_block) {
        add_notice(out, notice::attempt, r._operation_ptr, static_cast<std::int32_t>(error), 0, r._ip_address);
        finish(r.id, error, out);
        return;
    }
    if (!r.watching && !watch(r, wait_handle::socket(r.socket, wait_handle::socket_writable)))
        finish(r.id, no_buffer_error, out);
}

void connect_manager::connect_event(request& r, notices& out) {
    vortan_assert_text(r._opt_type == operation_type_connect,
                       "_connecting_queue[event_handle]._opt_type == operation_type_connect", "vortan_assert",
                       "connect_manager", 0);
    vortan_assert_text(r.socket != platform::invalid_handle, "socket_handle", "vortan_assert", "connect_manager", 0);
    const std::uint32_t result = platform::finish_connect(r.socket);
    if (result == errors::would_block) return;  // a wake-up without an outcome: keep waiting
    connect_done(r, result, out);
}

void connect_manager::connect_done(request& r, std::uint32_t result, notices& out) {
    // The next address is tried on the same socket.
    if (result != 0 && !r._ip_addresses.empty()) platform::reset_failed_connect(r.socket);
    add_notice(out, notice::attempt, r._operation_ptr, static_cast<std::int32_t>(result), 0, r._ip_address);
    finish(r.id, result, out);
}

void connect_manager::finish(std::uint64_t id, std::uint32_t result, notices& out) {
    const auto found = _connecting_queue.find(id);
    vortan_assert_text(found != _connecting_queue.end(), "_connecting_queue.count(event_handle)", "vortan_assert",
                       "connect_manager", 0);
    request& r = *found->second;
    if (result != 0 && r._opt_type == operation_type_connect && !r._ip_addresses.empty()) {
        // Another address may answer; this request goes behind the others.
        r.demoted = true;
        if (r.watching && _wait_service) _wait_service->demote_wait_object(r.watched);
        start_connecting(r, true, out);
        return;
    }
    const std::uint32_t now = platform::tick_count();
    if (!r._ip_address.empty()) {
        const std::uint32_t elapsed = result == 0 ? platform::tick_elapsed(r._connect_tick, now) : failed_time;
        _address_times[score_key(r.host, r.port)] = elapsed;
        _address_times[score_key(r._ip_address, r.port)] = elapsed;
        if (result == 0) {
            _request_time_sum += platform::tick_elapsed(r._request_tick, now);
            _connect_time_sum += elapsed;
            ++_connect_count;
        }
    }
    conclude(r, result, out);
}

void connect_manager::conclude(request& r, std::uint32_t result, notices& out) {
    add_notice(out, notice::complete, r._operation_ptr, static_cast<std::int32_t>(result));
    asyn_io_operation* operation = r._operation_ptr;
    forget_socket(r.socket, false);
    schedule(out);
    post_result(operation, result);
}

void connect_manager::forget_socket(platform::native_handle socket_handle, bool cancel) {
    const auto entry = _socket2event_map.find(socket_handle);
    vortan_assert_text(entry != _socket2event_map.end(), "_socket2event_map.count(socket_handle)", "vortan_assert",
                       "connect_manager", 0);
    asyn_io_operation* operation = nullptr;
    if (entry->second != 0) {
        const auto found = _connecting_queue.find(entry->second);
        vortan_assert_text(found != _connecting_queue.end(), "_connecting_queue.count(event_handle)", "vortan_assert",
                           "connect_manager", 0);
        request& r = *found->second;
        operation = r._operation_ptr;
        drop_resolution(r);
        // The connect in flight on the caller's socket ends when the device
        // cancels the socket's requests, right after this; nobody waits for it.
        if (r.op != nullptr) orphan(std::exchange(r.op, nullptr));
        unwatch(r);
        if (r.racing) {
            notices none;
            drop_attempts(r, 0, none);
            set_wants_place(r, false);
            --_racing;
        }
        _connecting_queue.erase(found);
    } else {
        const auto waiting = std::find_if(_waiting_requests.begin(), _waiting_requests.end(),
                                          [socket_handle](const auto& item) { return item.second->socket == socket_handle; });
        vortan_assert_text(waiting != _waiting_requests.end(), "_waiting_requests.count(socket_handle)",
                           "vortan_assert", "connect_manager", 0);
        operation = waiting->second->_operation_ptr;
        _waiting_requests.erase(waiting);
    }
    _socket2event_map.erase(entry);
    if (cancel) post_result(operation, errors::operation_aborted);
}

// ---- racing -------------------------------------------------------------------------------

void connect_manager::start_race(request& r, std::vector<std::string> v4, std::vector<std::string> v6,
                                 notices& out) {
    // Within a family the addresses that connected fastest before go first
    // (the resolver's order among equals). IPv6 leads unless the best IPv4
    // address scores strictly higher than the best IPv6 one: a host whose
    // IPv6 failed or was slow last time starts where it succeeded.
    auto by_score = [&](std::vector<std::string>& list) {
        std::vector<std::pair<std::int32_t, std::string>> scored;
        scored.reserve(list.size());
        for (std::string& address : list) scored.emplace_back(address_score(address, r.port), std::move(address));
        std::stable_sort(scored.begin(), scored.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
        list.clear();
        for (auto& item : scored) list.push_back(std::move(item.second));
        return scored.empty() ? -1 : scored.front().first;
    };
    const std::int32_t best4 = by_score(v4);
    const std::int32_t best6 = by_score(v6);
    std::vector<std::string>& first = best4 > best6 ? v4 : v6;
    std::vector<std::string>& second = best4 > best6 ? v6 : v4;
    for (std::size_t i = 0; i < std::max(first.size(), second.size()); ++i) {
        if (i < first.size()) r.plan.push_back(std::move(first[i]));
        if (i < second.size()) r.plan.push_back(std::move(second[i]));
    }
    r._ip_addresses.clear();
    r._opt_type = operation_type_connect;
    r.racing = true;
    ++_racing;
    advance(r, out);
}

void connect_manager::set_wants_place(request& r, bool wants) {
    if (r.wants_place == wants) return;
    r.wants_place = wants;
    if (wants)
        ++_wanting_place;
    else
        --_wanting_place;
}

void connect_manager::advance(request& r, notices& out) {
    for (;;) {
        if (r.plan.empty()) {
            set_wants_place(r, false);
            if (!r.attempts.empty()) return;
            // Every address failed: the last failure is the result.
            _address_times[score_key(r.host, r.port)] = failed_time;
            conclude(r, r.last_error, out);
            return;
        }
        if (!r.attempts.empty()) {
            // A further attempt while others run: due a delay after the last
            // start, or at once after a failure, and only with a place free.
            const std::uint32_t elapsed = platform::tick_elapsed(r.last_start, platform::tick_count());
            if (!r.failed_since_start && elapsed < attempt_delay) {
                set_wants_place(r, false);
                if (_clock) _clock->arm(attempt_delay - elapsed);
                return;
            }
            if (half_open() >= _max_syn_count) {
                set_wants_place(r, true);
                return;
            }
        }
        set_wants_place(r, false);
        // The request's own place covers its first attempt.
        if (start_attempt(r, out) == attempt_outcome::won) return;
    }
}

connect_manager::attempt_outcome connect_manager::start_attempt(request& r, notices& out) {
    attempt a;
    a.address = std::move(r.plan.front());
    r.plan.pop_front();
    a.started = platform::tick_count();
    r.last_start = a.started;
    r.failed_since_start = false;
    add_notice(out, notice::attempt_start, r._operation_ptr, 0, 0, a.address);

    auto failed = [&](std::uint32_t error) {
        close_attempt_socket(a.socket);
        add_notice(out, notice::attempt, r._operation_ptr, static_cast<std::int32_t>(error), 0, a.address);
        _address_times[score_key(a.address, r.port)] = failed_time;
        r.last_error = error;
        r.failed_since_start = true;
        return attempt_outcome::failed;
    };
    platform::endpoint target;
    if (!platform::parse_address(a.address.data(), a.address.size(), r.port, target)) return failed(10049);
    if (const std::uint32_t error = r.target->make_attempt_socket(target.family, a.socket)) {
        a.socket = platform::invalid_handle;
        return failed(error);
    }
    if (backend_connects()) {
        // A request of the backend like the caller's own connect (race_done).
        asyn_io_manager* engine = _singleton->asyn_io_manager_ptr;
        platform::io_backend* port = engine != nullptr ? engine->io_port() : nullptr;
        std::uint32_t error = port != nullptr ? port->associate(a.socket) : no_buffer_error;
        if (error == 0) error = begin_connect(a.socket, target, r.id, a.op);
        if (error != 0) return failed(error);
        r.attempts.push_back(std::move(a));
        if (r.attempts.size() > 1) ++_extra_attempts;
        return attempt_outcome::running;
    }
    const std::uint32_t error = platform::start_connect(a.socket, target);
    if (error != 0 && error != errors::would_block) return failed(error);
    r.attempts.push_back(std::move(a));
    if (r.attempts.size() > 1) ++_extra_attempts;
    if (error == 0) {
        win(r, r.attempts.size() - 1, out);
        return attempt_outcome::won;
    }
    attempt& running = r.attempts.back();
    const wait_handle handle = wait_handle::socket(running.socket, wait_handle::socket_writable);
    wait_objects_thread_manager* service = wait_service();
    if (service == nullptr || !service->add_wait_object(handle, r._priority)) {
        remove_attempt(r, r.attempts.size() - 1);
        r.last_error = no_buffer_error;
        r.failed_since_start = true;
        return attempt_outcome::failed;
    }
    running.watched = handle;
    running.watching = true;
    _watched[handle] = r.id;
    return attempt_outcome::running;
}

void connect_manager::close_attempt_socket(platform::native_handle& socket) noexcept {
    if (socket == platform::invalid_handle) return;
    // The backend may still watch it: nothing of it may stay once its number
    // can be reused.
    cancel_socket_requests(_singleton, socket);
    platform::close_socket(std::exchange(socket, platform::invalid_handle));
}

void connect_manager::remove_attempt(request& r, std::size_t index) {
    attempt& a = r.attempts[index];
    if (a.watching) {
        a.watching = false;
        _watched.erase(a.watched);
        if (_wait_service) _wait_service->remove_wait_object(a.watched);
    }
    // Its connect ends with 995 once cancelled; the completion finds nobody.
    if (a.op != nullptr) orphan(std::exchange(a.op, nullptr));
    close_attempt_socket(a.socket);
    if (r.attempts.size() > 1) --_extra_attempts;
    r.attempts.erase(r.attempts.begin() + static_cast<std::ptrdiff_t>(index));
}

void connect_manager::drop_attempts(request& r, std::uint32_t report, notices& out) {
    const std::uint32_t now = platform::tick_count();
    while (!r.attempts.empty()) {
        const attempt& a = r.attempts.back();
        if (report != 0) {
            add_notice(out, notice::attempt, r._operation_ptr, static_cast<std::int32_t>(report), 0, a.address);
            // An attempt that ran past the threshold without an answer was at
            // least slow; one closed sooner says nothing about its address.
            const std::uint32_t elapsed = platform::tick_elapsed(a.started, now);
            if (elapsed > _connect_time_threshold) _address_times[score_key(a.address, r.port)] = elapsed;
        }
        remove_attempt(r, r.attempts.size() - 1);
    }
}

void connect_manager::race_event(request& r, const wait_handle& handle, notices& out) {
    const auto it = std::find_if(r.attempts.begin(), r.attempts.end(),
                                 [&](const attempt& a) { return a.watching && a.watched == handle; });
    if (it == r.attempts.end()) return;
    const std::size_t index = static_cast<std::size_t>(it - r.attempts.begin());
    const std::uint32_t result = platform::finish_connect(it->socket);
    if (result == errors::would_block) return;  // a wake-up without an outcome: keep waiting
    race_done(r, index, result, out);
}

void connect_manager::race_done(request& r, std::size_t index, std::uint32_t result, notices& out) {
    if (result == 0) {
        win(r, index, out);
        return;
    }
    const attempt& a = r.attempts[index];
    add_notice(out, notice::attempt, r._operation_ptr, static_cast<std::int32_t>(result), 0, a.address);
    _address_times[score_key(a.address, r.port)] = failed_time;
    r.last_error = result;
    r.failed_since_start = true;
    remove_attempt(r, index);
    advance(r, out);
}

void connect_manager::win(request& r, std::size_t index, notices& out) {
    const std::uint32_t now = platform::tick_count();
    attempt winner = std::move(r.attempts[index]);
    if (r.attempts.size() > 1) --_extra_attempts;
    r.attempts.erase(r.attempts.begin() + static_cast<std::ptrdiff_t>(index));
    add_notice(out, notice::attempt, r._operation_ptr, 0, 0, winner.address);
    drop_attempts(r, errors::operation_aborted, out);
    r.plan.clear();
    if (winner.watching) {
        _watched.erase(winner.watched);
        if (_wait_service) _wait_service->remove_wait_object(winner.watched);
    }
    // The device takes the connected socket; its own, never connected, goes
    // (the operation names the new one first, so nothing ends it with the old).
    r._operation_ptr->set_operate_handle(winner.socket);
    r.target->adopt_connected_socket(winner.socket);
    _connected_sockets.erase(r.socket);
    _connected_sockets.insert(winner.socket);
    r._ip_address = winner.address;

    const std::uint32_t elapsed = platform::tick_elapsed(winner.started, now);
    _address_times[score_key(r.host, r.port)] = elapsed;
    _address_times[score_key(winner.address, r.port)] = elapsed;
    _request_time_sum += platform::tick_elapsed(r._request_tick, now);
    _connect_time_sum += elapsed;
    ++_connect_count;
    conclude(r, 0, out);
}

void connect_manager::on_stagger(notices& out) {
    if (_racing == 0) return;
    std::vector<std::uint64_t> due;
    for (const auto& [id, r] : _connecting_queue)
        if (r->racing && !r->plan.empty() && !r->attempts.empty()) due.push_back(id);
    for (const std::uint64_t id : due) {
        const auto found = _connecting_queue.find(id);
        if (found != _connecting_queue.end()) advance(*found->second, out);
    }
}

void connect_manager::give_places_to_races(notices& out) {
    std::vector<std::uint64_t> waiting;
    for (const auto& [id, r] : _connecting_queue)
        if (r->wants_place) waiting.push_back(id);
    for (const std::uint64_t id : waiting) {
        if (half_open() >= _max_syn_count) return;
        const auto found = _connecting_queue.find(id);
        if (found != _connecting_queue.end()) advance(*found->second, out);
    }
}

}  // namespace asynframe
