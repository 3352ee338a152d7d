#include "socket/connect_manager.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "dns/ip_parser.h"
#include "engine/asyn_io_operation.h"
#include "platform/error_codes.h"
#include "platform/socket.h"
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

}  // namespace

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
    for (auto& [id, r] : _connecting_queue) {
        if (r->_adns_id != nullptr) sync_dns_cancel(r->_adns_id);
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
            }
        }
        if (IAsynIoOperation* face = n.operation->operation_iface()) face->Release();
    }
    out.clear();
}

// ---- entry points -------------------------------------------------------------------------

void connect_manager::connect(asyn_io_operation* operation, const std::string& host, std::uint16_t port,
                              std::int32_t priority) {
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
        if (_connecting_queue.size() < _max_syn_count) schedule(out);
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
        const auto found = _connecting_queue.find(watched->second);
        if (found == _connecting_queue.end()) return;
        request& r = *found->second;
        switch (r._opt_type) {
            case operation_type_resolve: resolution_done(r, out); break;
            case operation_type_connect: connect_event(r, out); break;
            default: vortan_assert_text(false, "_opt_type", "vortan_assert", "connect_manager", 0);
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
    return static_cast<std::uint32_t>(_connecting_queue.size());
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
        schedule(out);
    }
    raise(out);
}

void connect_manager::stop() {
    std::unique_ptr<wait_objects_thread_manager> service;
    {
        mutex::scoped_lock guard(_lock);
        service = std::move(_wait_service);
        for (auto& [id, r] : _connecting_queue) r->watching = false;
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
    while (!_waiting_requests.empty() && _connecting_queue.size() < _max_syn_count &&
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
    if (result == DNS_RESULT_OK) {
        const LONG count = sync_dns_count(r._adns_id);
        for (LONG i = 0; i < count; ++i) {
            char text[address_text_size] = {};
            if (sync_dns_address(r._adns_id, i, text, static_cast<LONG>(address_text_size - 1)) == 0)
                r._ip_addresses.emplace_back(text);
        }
    }
    sync_dns_cancel(r._adns_id);
    r._adns_id = nullptr;
    // The event has done its work; the socket is watched from here on.
    unwatch(r);
    r.event.reset();
    add_notice(out, notice::resolved, r._operation_ptr, result, 0, {}, r._ip_addresses);
    if (result != DNS_RESULT_OK || r._ip_addresses.empty()) {
        finish(r.id, errors::host_not_found, out);
        return;
    }
    _dns_time_sum += platform::tick_elapsed(r._dns_tick, platform::tick_count());
    ++_dns_count;
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

}  // namespace asynframe
