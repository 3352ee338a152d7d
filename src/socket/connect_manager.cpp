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

#include "dns/ip_parser.h"
#include "engine/asyn_io_operation.h"
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

// The wait service watches handles, not time: a raced attempt's delay is
// kept by this thread, which signals the scheduler's event when the earliest
// armed moment has come. The scheduler reads the tick itself, so a wake-up
// early or late only moves its next look.
}  // namespace

class stagger_clock {
public:
    explicit stagger_clock(platform::event& ring) : _ring(ring) {}
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

    // The event is signalled `milliseconds` from now, or earlier when armed so.
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
            _ring.set();
        }
    }

    platform::event& _ring;
    std::mutex _lock;
    std::condition_variable _changed;
    std::optional<std::chrono::steady_clock::time_point> _due;
    bool _stopping = false;
    std::thread _worker;
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
}

connect_manager::~connect_manager() {
    // Nothing is watched from here on, and no notification can arrive.
    _wait_service.reset();
    _clock.reset();
    for (auto& [id, r] : _connecting_queue) {
        if (r->_adns_id != nullptr) sync_dns_cancel(r->_adns_id);
        for (attempt& a : r->attempts) platform::close_socket(a.socket);
        post_result(r->_operation_ptr, errors::operation_aborted);
    }
    _connecting_queue.clear();
    for (auto& [priority, r] : _waiting_requests) post_result(r->_operation_ptr, errors::operation_aborted);
    _waiting_requests.clear();
    _socket2event_map.clear();
    _watched.clear();

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
    notices out;
    {
        mutex::scoped_lock guard(_lock);
        const auto watched = _watched.find(handle);
        if (watched == _watched.end()) return;
        if (watched->second == 0) {
            on_stagger(out);
        } else {
            const auto found = _connecting_queue.find(watched->second);
            if (found == _connecting_queue.end()) return;
            request& r = *found->second;
            switch (r._opt_type) {
                case operation_type_resolve: resolution_done(r, out); break;
                case operation_type_connect:
                    if (r.racing)
                        race_event(r, handle, out);
                    else
                        connect_event(r, out);
                    break;
                default: vortan_assert_text(false, "_opt_type", "vortan_assert", "connect_manager", 0);
            }
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
        if (!_wait_service) _wait_service = std::make_unique<wait_objects_thread_manager>(_singleton, this);
        try {
            if (!_stagger_event) _stagger_event = std::make_unique<platform::event>(false);
            if (!_clock) _clock = std::make_unique<stagger_clock>(*_stagger_event);
            const wait_handle stagger = wait_handle::of(*_stagger_event);
            // Ahead of every request: the attempts it starts are overdue already.
            if (_watched.count(stagger) == 0 &&
                _wait_service->add_wait_object(stagger, std::numeric_limits<std::int32_t>::max()))
                _watched[stagger] = 0;
        } catch (...) {
            // Without its clock a race starts the next attempt only when one fails.
            _clock.reset();
        }
        schedule(out);
    }
    raise(out);
}

void connect_manager::stop() {
    std::unique_ptr<wait_objects_thread_manager> service;
    {
        mutex::scoped_lock guard(_lock);
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
    if (_scheduling || !_wait_service) return;
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

bool connect_manager::watch(request& r, const wait_handle& handle) {
    if (!_wait_service || !_wait_service->add_wait_object(handle, r._priority)) return false;
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
    try {
        r.event = std::make_unique<platform::event>(false);
    } catch (...) {
        finish(r.id, no_buffer_error, out);
        return;
    }
    if (!watch(r, wait_handle::of(*r.event))) {
        finish(r.id, no_buffer_error, out);
        return;
    }
    r._adns_id = sync_dns_request(r.host.c_str(), platform::event_of(r.event->native()), SYNC_DNS_ACCESS);
    if (r._adns_id == nullptr) finish(r.id, errors::host_not_found, out);
}

void connect_manager::resolution_done(request& r, notices& out) {
    vortan_assert_text(r._adns_id != nullptr, "info._adns_id", "vortan_assert", "connect_manager", 0);
    const LONG result = sync_dns_result(r._adns_id);
    if (result == DNS_RESULT_PENDING) return;  // not this request's answer yet
    r._ip_addresses.clear();
    std::vector<std::string> v6;
    if (result == DNS_RESULT_OK) {
        const LONG count = sync_dns_count(r._adns_id);
        for (LONG i = 0; i < count; ++i) {
            char text[address_text_size] = {};
            if (sync_dns_address(r._adns_id, i, text, static_cast<LONG>(address_text_size - 1)) == 0)
                r._ip_addresses.emplace_back(text);
        }
        // The IPv6 addresses follow the IPv4 ones in the text listing.
        for (LONG i = count;; ++i) {
            char text[SYNC_DNS_TEXT_SIZE] = {};
            const LONG family = sync_dns_address_text(r._adns_id, i, text, SYNC_DNS_TEXT_SIZE);
            if (family < 0) break;
            if (family == 6) v6.emplace_back(text);
        }
    }
    sync_dns_cancel(r._adns_id);
    r._adns_id = nullptr;
    // The event has done its work; the socket is watched from here on.
    unwatch(r);
    r.event.reset();
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
        if (r._adns_id != nullptr) sync_dns_cancel(r._adns_id);
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
        if (a.socket != platform::invalid_handle) platform::close_socket(a.socket);
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
    if (!_wait_service || !_wait_service->add_wait_object(handle, r._priority)) {
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

void connect_manager::remove_attempt(request& r, std::size_t index) {
    attempt& a = r.attempts[index];
    if (a.watching) {
        a.watching = false;
        _watched.erase(a.watched);
        if (_wait_service) _wait_service->remove_wait_object(a.watched);
    }
    if (a.socket != platform::invalid_handle) platform::close_socket(a.socket);
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
    if (result == 0) {
        win(r, index, out);
        return;
    }
    add_notice(out, notice::attempt, r._operation_ptr, static_cast<std::int32_t>(result), 0, it->address);
    _address_times[score_key(it->address, r.port)] = failed_time;
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
