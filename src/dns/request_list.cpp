#include "dns/request_list.h"

#include <stdexcept>
#include <utility>

#include "dns/dns_service.h"
#include "dns/dns_state.h"
#include "dns/ip_parser.h"
#include "dns/resolver.h"
#include "dns/system_lookup.h"
#include "engine/asyn_io_operation.h"
#include "platform/dns.h"
#include "platform/tick.h"

namespace asynframe {

using dns_detail::g_resolver;
using dns_detail::start_lookup;

request_list::request_list() {
    try {
        _request_event = new platform::event(true);
    } catch (...) {
        throw std::runtime_error("Create request_list Event error");
    }
}

request_list::~request_list() {
    shutdown();
    delete _request_event;
}

bool request_list::single_label(const std::string& name) noexcept {
    if (name.empty() || name.size() > 15) return false;
    for (const char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-')) return false;
    return true;
}

std::uint32_t request_list::query_timeout(std::int32_t tries) noexcept {
    if (tries <= 0) return 1000;
    return 1000u << (tries - 1 < 20 ? tries - 1 : 20);
}

std::vector<std::string> request_list::read_servers() {
    std::vector<std::string> servers;
    for (std::string& text : platform::dns::server_list()) {
        std::uint32_t address = 0;
        if (inet_addr_value(text, address) && address != 0) servers.push_back(std::move(text));
    }
    return servers;
}

std::int32_t request_list::new_id() noexcept { return static_cast<std::int32_t>(platform::dns::random32()); }

bool request_list::timed_out(const in_flight_query& entry) const noexcept {
    return platform::tick_elapsed(entry.started, platform::tick_count()) >= query_timeout(entry.tries);
}

void request_list::erase_entry(query_map::iterator entry) {
    if (entry->second.system_lookup != nullptr) entry->second.system_lookup->release_by_owner();
    _in_flight.erase(entry);
}

const in_flight_query* request_list::query(const std::string& name) const {
    const auto found = _in_flight.find(name);
    return found == _in_flight.end() ? nullptr : &found->second;
}

int request_list::server_state(const std::string& name, const std::string& server) const {
    if (const in_flight_query* entry = query(name))
        for (const server_entry& s : entry->servers)
            if (s.server == server) return s.state;
    return server_entry::not_listed;
}

void request_list::submit(dns_request* request) {
    std::string address;
    if (_hosts.lookup(request->name, address)) {
        request->addresses->push_back(address);
        request->complete(dns_result_ok, dns_source::hosts_file);
        return;
    }
    _pending.push_back(request);
    _request_event->set();
}

void request_list::start_name(const std::string& name) {
    const std::vector<std::string> servers = read_servers();
    if (!single_label(name) && !servers.empty()) {
        in_flight_query entry;
        entry.id = new_id();
        entry.started = platform::tick_count();
        for (const std::string& server : servers) entry.servers.push_back(server_entry{server, server_entry::not_sent});
        const int sent = g_resolver != nullptr ? g_resolver->send_query(name, entry.id, servers.front()) : -2;
        if (sent > 0) {
            entry.servers.front().state = server_entry::sent;
            _start_failures.erase(name);
            _in_flight.emplace(name, std::move(entry));
            return;
        }
        // A socket error leaves the request waiting for the next start, but
        // not for ever: after as many failed starts as tries, the system
        // resolver takes over.
        if (sent == -1 && ++_start_failures[name] < max_tries) return;
    }
    _start_failures.erase(name);
    in_flight_query entry;
    entry.id = new_id();
    entry.started = platform::tick_count();
    if (!system_lookups_allowed()) {
        // Nothing but the servers may answer: without one to ask the name
        // fails now; otherwise the servers are asked again at the next tries.
        if (single_label(name) || servers.empty()) {
            fail_all(name, dns_result_failed);
            return;
        }
        for (const std::string& server : servers) entry.servers.push_back(server_entry{server, server_entry::not_sent});
    }
    start_system_lookup(entry, name);
    _in_flight.emplace(name, std::move(entry));
}

void request_list::start_system_lookup(in_flight_query& entry, const std::string& name) {
    if (entry.system_lookup != nullptr) entry.system_lookup->release_by_owner();
    entry.system_lookup = system_lookups_allowed() ? start_lookup(name) : nullptr;
}

void request_list::start_pending() {
    // Cleared before the list is read: a request that arrives from here on
    // sets it again and is seen at the next wake-up, never left waiting for
    // the sweep.
    _request_event->reset();
    std::vector<std::string> names;
    for (dns_request* request : _pending)
        if (_in_flight.count(request->name) == 0) names.push_back(request->name);
    // Starting a name may complete its requests, which takes them out of the list.
    for (const std::string& name : names)
        if (_in_flight.count(name) == 0) start_name(name);
    sweep();
}

void request_list::retry(const std::string& name) {
    auto found = _in_flight.find(name);
    if (found == _in_flight.end()) {
        in_flight_query entry;
        entry.id = new_id();
        found = _in_flight.emplace(name, std::move(entry)).first;
    }
    retry_entry(name, found->second);
}

void request_list::retry_entry(const std::string& name, in_flight_query& entry) {
    ++entry.tries;
    if (!single_label(name))
        for (server_entry& server : entry.servers) {
            const int sent = g_resolver != nullptr ? g_resolver->send_query(name, entry.id, server.server) : -2;
            server.state = sent > 0 ? server_entry::sent : server_entry::not_sent;
        }
    start_system_lookup(entry, name);
    entry.started = platform::tick_count();
}

void request_list::sweep() {
    std::vector<std::string> finished;
    for (auto& [name, entry] : _in_flight) {
        const bool expired = timed_out(entry);
        if (host_resolver* lookup = entry.system_lookup) {
            if (!expired && !lookup->finished()) continue;
            if (lookup->finished() && lookup->succeeded()) {
                const std::vector<std::string> results = lookup->results();
                if (!results.empty()) {
                    complete_all(name, results, dns_source::system);
                    finished.push_back(name);
                    continue;
                }
            }
            lookup->release_by_owner();
            entry.system_lookup = nullptr;
        }
        if (!expired) continue;
        if (entry.tries < max_tries) {
            retry_entry(name, entry);
        } else {
            fail_all(name, dns_result_failed);
            finished.push_back(name);
        }
    }
    for (const std::string& name : finished) {
        const auto found = _in_flight.find(name);
        if (found != _in_flight.end()) erase_entry(found);
    }
    // Names whose first send failed are started again.
    if (_start_failures.empty()) return;
    std::vector<std::string> waiting;
    for (dns_request* request : _pending)
        if (_in_flight.count(request->name) == 0 && _start_failures.count(request->name) != 0)
            waiting.push_back(request->name);
    for (const std::string& name : waiting)
        if (_in_flight.count(name) == 0) start_name(name);
    for (auto it = _start_failures.begin(); it != _start_failures.end();) {
        bool wanted = false;
        for (dns_request* request : _pending) wanted = wanted || request->name == it->first;
        it = wanted ? std::next(it) : _start_failures.erase(it);
    }
}

void request_list::answer(const std::string& name, const std::vector<std::string>& addresses, dns_source from) {
    // A query for "name." is answered under "name": its entry goes too, or
    // it would be retried for nobody.
    for (const std::string& key : {name, name + "."}) {
        const auto found = _in_flight.find(key);
        if (found != _in_flight.end()) erase_entry(found);
    }
    complete_all(name, addresses, from);
}

void request_list::complete_all(const std::string& name, const std::vector<std::string>& addresses,
                                dns_source from) {
    for (auto it = _pending.begin(); it != _pending.end();) {
        dns_request* request = *it;
        const std::string& wanted = request->name;
        const bool match = wanted == name || (wanted.size() == name.size() + 1 && wanted.back() == '.' &&
                                              wanted.compare(0, name.size(), name) == 0);
        if (!match) {
            ++it;
            continue;
        }
        it = _pending.erase(it);
        *request->addresses = addresses;
        request->complete(dns_result_ok, from);
    }
}

void request_list::fail_all(const std::string& name, std::int32_t code) {
    for (auto it = _pending.begin(); it != _pending.end();) {
        dns_request* request = *it;
        if (request->name != name) {
            ++it;
            continue;
        }
        it = _pending.erase(it);
        request->complete(code);
    }
}

void request_list::give_up(const std::string& name, std::int32_t code) {
    const auto found = _in_flight.find(name);
    if (found != _in_flight.end()) erase_entry(found);
    fail_all(name, code);
}

void request_list::reject(const std::string& name, const std::string& server) {
    const auto found = _in_flight.find(name);
    if (found == _in_flight.end()) return;
    in_flight_query& entry = found->second;
    for (server_entry& s : entry.servers)
        if (s.server == server && s.state == server_entry::sent) s.state = server_entry::answered_nothing;
    const bool expired = timed_out(entry);
    if (host_resolver* lookup = entry.system_lookup) {
        if (!expired && !lookup->finished()) return;  // the system may still answer
        if (lookup->finished() && lookup->succeeded()) {
            const std::vector<std::string> results = lookup->results();
            if (!results.empty()) {
                answer(name, results, dns_source::system);
                return;
            }
        }
        lookup->release_by_owner();
        entry.system_lookup = nullptr;
    }
    for (server_entry& s : entry.servers) {
        if (s.state != server_entry::sent) continue;
        if (!expired) return;  // another server may still answer
        s.state = server_entry::timed_out;
    }
    if (entry.tries < max_tries)
        retry_entry(name, entry);
    else
        give_up(name, dns_result_failed);
}

void request_list::system_lookup_failed(host_resolver* lookup, const std::string& name) {
    const auto found = _in_flight.find(name);
    if (found == _in_flight.end() || found->second.system_lookup != lookup) return;
    in_flight_query& entry = found->second;
    lookup->release_by_owner();
    entry.system_lookup = nullptr;
    if (!timed_out(entry))
        for (const server_entry& s : entry.servers)
            if (s.state == server_entry::sent) return;
    if (entry.tries >= max_tries)
        give_up(name, dns_result_failed);
    else if (g_resolver != nullptr && g_resolver->ready())
        retry_entry(name, entry);
}

bool request_list::current_try(const std::string& name, std::int32_t& id, std::uint32_t& ends) const {
    const in_flight_query* entry = query(name);
    if (entry == nullptr) return false;
    id = entry->id;
    ends = entry->started + query_timeout(entry->tries);
    return true;
}

void request_list::tcp_failed(const std::string& name, const std::string& server) {
    const auto found = _in_flight.find(name);
    if (found == _in_flight.end()) return;
    in_flight_query& entry = found->second;
    // The server stays "sent": like a silent one it is given up at the try's
    // time-out, by the sweep, which then retries.
    bool listed = false;
    for (const server_entry& s : entry.servers) listed = listed || s.server == server;
    if (!listed || entry.system_lookup != nullptr || timed_out(entry)) return;
    start_system_lookup(entry, name);
}

bool request_list::cancel(dns_request* request) {
    bool found = false;
    for (auto it = _pending.begin(); it != _pending.end(); ++it)
        if (*it == request) {
            _pending.erase(it);
            found = true;
            break;
        }
    if (!found) return false;
    for (const dns_request* other : _pending)
        if (other->name == request->name) return true;
    const auto entry = _in_flight.find(request->name);
    if (entry != _in_flight.end()) erase_entry(entry);
    _start_failures.erase(request->name);
    return true;
}

std::vector<asyn_io_operation*> request_list::take_operations_of(const singleton_instance* services) {
    std::vector<asyn_io_operation*> taken;
    std::vector<dns_request*> removed;
    for (auto it = _pending.begin(); it != _pending.end();) {
        dns_request* request = *it;
        if (request->operation == nullptr || request->operation->singleton() != services) {
            ++it;
            continue;
        }
        it = _pending.erase(it);
        removed.push_back(request);
        taken.push_back(request->operation);
    }
    for (const dns_request* request : removed) {
        bool wanted = false;
        for (const dns_request* other : _pending) wanted = wanted || other->name == request->name;
        if (wanted) continue;
        const auto entry = _in_flight.find(request->name);
        if (entry != _in_flight.end()) erase_entry(entry);
    }
    return taken;
}

const std::string* request_list::match_reply(const std::string& question, std::uint16_t id,
                                             const std::string& source, std::uint16_t port) const {
    if (port != platform::dns::server_port()) return nullptr;
    for (const std::string& key : {question, question + "."}) {
        const auto found = _in_flight.find(key);
        if (found == _in_flight.end()) continue;
        if ((static_cast<std::uint32_t>(found->second.id) & 0xFFFFu) != id) continue;
        // Only a server the query went to: the others never saw the identifier.
        for (const server_entry& s : found->second.servers)
            if (s.server == source && s.state != server_entry::not_sent) return &found->first;
    }
    return nullptr;
}

void request_list::shutdown() {
    for (auto& [name, entry] : _in_flight)
        if (entry.system_lookup != nullptr) entry.system_lookup->release_by_owner();
    _in_flight.clear();
    _start_failures.clear();
    std::list<dns_request*> pending;
    pending.swap(_pending);
    for (dns_request* request : pending) request->complete(dns_result_shutdown);
}

}  // namespace asynframe
