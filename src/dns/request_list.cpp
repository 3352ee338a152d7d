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

void request_list::erase_entries(const std::string& name, int family) {
    // A query for "name." is answered under "name": its entry goes too, or
    // it would be retried for nobody.
    for (const std::string& key : {name, name + "."}) {
        const auto found = _in_flight.find({key, family});
        if (found != _in_flight.end()) erase_entry(found);
    }
}

const in_flight_query* request_list::query(const std::string& name, int family) const {
    const auto found = _in_flight.find({name, family});
    return found == _in_flight.end() ? nullptr : &found->second;
}

int request_list::server_state(const std::string& name, const std::string& server) const {
    if (const in_flight_query* entry = query(name))
        for (const server_entry& s : entry->servers)
            if (s.server == server) return s.state;
    return server_entry::not_listed;
}

bool request_list::wanted(const std::string& name, int family) const {
    for (const dns_request* request : _pending) {
        if (request->name != name) continue;
        if (family == 4 ? !request->v4.settled : request->wants_v6() && !request->v6.settled) return true;
    }
    return false;
}

void request_list::submit(dns_request* request, const std::vector<std::string>& servers) {
    std::string address;
    std::string address6;
    const bool listed = request->wants_v6() ? _hosts.lookup(request->name, address, address6)
                                            : _hosts.lookup(request->name, address);
    if (listed) {
        if (!address.empty()) request->addresses->push_back(address);
        if (!address6.empty()) request->addresses6->push_back(address6);
        request->complete(dns_result_ok, dns_source::hosts_file);
        return;
    }
    if (!request->wants_v6()) request->v6.settled = true;
    _pending.push_back(request);
    if (!start_at_once(request, servers)) _request_event->set();
}

bool request_list::start_at_once(const dns_request* request, const std::vector<std::string>& servers) {
    if (g_resolver == nullptr || !g_resolver->ready()) return false;
    // A copy: starting the name may complete the request, which its owner
    // may then release.
    const std::string name = request->name;
    const bool four = !request->v4.settled && !in_flight(name, 4);
    const bool six = !request->v6.settled && !in_flight(name, 6);
    if (!four && !six) return true;  // joins the queries under way
    if (single_label(name) || servers.empty()) return false;
    // Only the resolver thread's own starts count a socket error: this try
    // comes on top of its, so that a failing socket is given as many.
    if (four) start_name(name, servers, false);
    if (six && !in_flight(name, 6) && wanted(name, 6)) start_name6(name, servers);
    // Anything but queries on their way (a socket error, a refusal, a system
    // lookup, a new socket) is the resolver thread's to follow up, as if the
    // request had been handed to it.
    for (const int family : {4, 6}) {
        if (family == 4 ? !four : !six) continue;
        const in_flight_query* entry = query(name, family);
        if (entry == nullptr || entry->system_lookup != nullptr || entry->servers.empty() ||
            entry->servers.front().state != server_entry::sent)
            return false;
    }
    return true;
}

void request_list::start_name(const std::string& name, const std::vector<std::string>& servers, bool counted) {
    if (!single_label(name) && !servers.empty()) {
        in_flight_query entry;
        entry.id = new_id();
        entry.started = platform::tick_count();
        for (const std::string& server : servers) entry.servers.push_back(server_entry{server, server_entry::not_sent});
        const int sent = g_resolver != nullptr ? g_resolver->send_query(name, entry.id, servers.front(), 4) : -2;
        if (sent > 0 || sent == resolver::refused_now) {
            entry.servers.front().state = sent > 0 ? server_entry::sent : server_entry::refused;
            _start_failures.erase(name);
            _in_flight.emplace(query_key{name, 4}, std::move(entry));
            // A server that cannot be reached answered at once: as after its
            // negative reply, the others are asked (or the name ends).
            if (sent < 0) reconsider(name, 4);
            return;
        }
        // A socket error leaves the request waiting for the next start, but
        // not for ever: after as many failed starts as tries, the system
        // resolver takes over.
        if (sent == -1 && (!counted || ++_start_failures[name] < max_tries)) return;
    }
    _start_failures.erase(name);
    in_flight_query entry;
    entry.id = new_id();
    entry.started = platform::tick_count();
    if (!system_lookups_allowed()) {
        // Nothing but the servers may answer: without one to ask the name
        // fails now; otherwise the servers are asked again at the next tries.
        if (single_label(name) || servers.empty()) {
            fail_all(name, 4, dns_result_failed);
            return;
        }
        for (const std::string& server : servers) entry.servers.push_back(server_entry{server, server_entry::not_sent});
    }
    start_system_lookup(entry, name);
    _in_flight.emplace(query_key{name, 4}, std::move(entry));
}

void request_list::start_name6(const std::string& name, const std::vector<std::string>& servers) {
    if (!single_label(name) && !servers.empty() && g_resolver != nullptr) {
        in_flight_query entry;
        entry.family = 6;
        entry.id = new_id();
        entry.started = platform::tick_count();
        for (const std::string& server : servers) entry.servers.push_back(server_entry{server, server_entry::not_sent});
        if (g_resolver->send_query(name, entry.id, servers.front(), 6) > 0) {
            entry.servers.front().state = server_entry::sent;
            _in_flight.emplace(query_key{name, 6}, std::move(entry));
            return;
        }
    }
    // No server to ask, or the query cannot leave: only the IPv4 query's
    // system lookup can still bring IPv6 addresses.
    fail_all(name, 6, dns_result_failed);
}

void request_list::start_system_lookup(in_flight_query& entry, const std::string& name) {
    if (entry.system_lookup != nullptr) entry.system_lookup->release_by_owner();
    entry.system_lookup = system_lookups_allowed() ? start_lookup(name) : nullptr;
    if (entry.system_lookup != nullptr) entry.system_asked = true;
}

void request_list::start_pending() {
    // Cleared before the list is read: a request that arrives from here on
    // sets it again and is seen at the next wake-up, never left waiting for
    // the sweep.
    _request_event->reset();
    std::vector<std::string> names;
    std::vector<std::string> names6;
    for (const dns_request* request : _pending) {
        if (!request->v4.settled && !in_flight(request->name, 4)) names.push_back(request->name);
        if (!request->v6.settled && !in_flight(request->name, 6)) names6.push_back(request->name);
    }
    // Read once for every name this start takes.
    const std::vector<std::string> servers = names.empty() && names6.empty() ? std::vector<std::string>{} : read_servers();
    // Starting a name may complete its requests, which takes them out of the list.
    for (const std::string& name : names)
        if (!in_flight(name, 4) && wanted(name, 4)) start_name(name, servers);
    for (const std::string& name : names6)
        if (!in_flight(name, 6) && wanted(name, 6)) start_name6(name, servers);
    sweep();
}

void request_list::retry_entry(const std::string& name, in_flight_query& entry) {
    ++entry.tries;
    if (!single_label(name))
        for (server_entry& server : entry.servers) {
            const int sent =
                g_resolver != nullptr ? g_resolver->send_query(name, entry.id, server.server, entry.family) : -2;
            server.state = sent > 0                        ? server_entry::sent
                           : sent == resolver::refused_now ? server_entry::refused
                                                           : server_entry::not_sent;
        }
    if (entry.family == 4) start_system_lookup(entry, name);
    entry.started = platform::tick_count();
}

void request_list::retry_or_end(const std::string& name, in_flight_query& entry) {
    const int family = entry.family;
    retry_entry(name, entry);
    if (refused_by_all(entry) && entry.system_lookup == nullptr) give_up(name, family, dns_result_failed);
}

bool request_list::refused_by_all(const in_flight_query& entry) noexcept {
    if (entry.servers.empty()) return false;
    for (const server_entry& s : entry.servers)
        if (s.state != server_entry::refused) return false;
    return true;
}

void request_list::sweep() {
    struct system_answer {
        std::string name;
        std::vector<std::string> addresses;
        std::vector<std::string> addresses6;
    };
    // Outcomes are handed out after the walk: handing them out drops entries.
    std::vector<system_answer> answered;
    std::vector<query_key> failed;
    for (auto& [key, entry] : _in_flight) {
        const bool expired = timed_out(entry);
        if (host_resolver* lookup = entry.system_lookup) {
            if (!expired && !lookup->finished()) continue;
            if (lookup->finished() && lookup->succeeded()) {
                system_answer found{key.first, lookup->results(), lookup->results6()};
                if (!found.addresses.empty() || !found.addresses6.empty()) {
                    answered.push_back(std::move(found));
                    continue;
                }
            }
            lookup->release_by_owner();
            entry.system_lookup = nullptr;
        }
        // Every server refused and the system lookup, if one may run, has
        // ended: nothing is left to wait for.
        if (refused_by_all(entry) && (entry.family != 4 || entry.system_asked || !system_lookups_allowed())) {
            failed.push_back(key);
            continue;
        }
        if (!expired) continue;
        if (entry.tries < max_tries) {
            retry_entry(key.first, entry);
            if (refused_by_all(entry) && entry.system_lookup == nullptr) failed.push_back(key);
        } else {
            failed.push_back(key);
        }
    }
    for (const system_answer& found : answered) answer_system(found.name, found.addresses, found.addresses6);
    for (const query_key& key : failed) give_up(key.first, key.second, dns_result_failed);
    end_graces();
    // Names whose first send failed are started again.
    if (_start_failures.empty()) return;
    std::vector<std::string> waiting;
    for (const dns_request* request : _pending)
        if (!request->v4.settled && !in_flight(request->name, 4) && _start_failures.count(request->name) != 0)
            waiting.push_back(request->name);
    const std::vector<std::string> servers = waiting.empty() ? std::vector<std::string>{} : read_servers();
    for (const std::string& name : waiting)
        if (!in_flight(name, 4) && wanted(name, 4)) start_name(name, servers);
    for (auto it = _start_failures.begin(); it != _start_failures.end();) {
        bool still = false;
        for (const dns_request* request : _pending) still = still || request->name == it->first;
        it = still ? std::next(it) : _start_failures.erase(it);
    }
}

void request_list::settle(const std::string& name, int family, const std::vector<std::string>* found,
                          dns_source from, std::int32_t code, bool exact_name) {
    for (dns_request* request : _pending) {
        const std::string& wanted_name = request->name;
        const bool match = wanted_name == name ||
                           (!exact_name && wanted_name.size() == name.size() + 1 && wanted_name.back() == '.' &&
                            wanted_name.compare(0, name.size(), name) == 0);
        if (!match) continue;
        dns_request::family_state& state = family == 4 ? request->v4 : request->v6;
        if (state.settled) continue;
        state.settled = true;
        if (found != nullptr) {
            state.answered = true;
            state.from = from;
            *(family == 4 ? request->addresses : request->addresses6) = *found;
        } else if (family == 4) {
            request->failure = code;
        }
    }
    finish_ready();
}

void request_list::finish_ready() {
    const std::uint32_t now = platform::tick_count();
    std::vector<dns_request*> done;
    for (auto it = _pending.begin(); it != _pending.end();) {
        dns_request* request = *it;
        bool ready = request->v4.settled && request->v6.settled;
        if (!ready && request->v4.settled && !request->addresses->empty()) {
            if (!request->in_grace) {
                request->in_grace = true;
                request->grace_began = now;
            }
            ready = platform::tick_elapsed(request->grace_began, now) >= ipv6_grace;
        }
        if (!ready) {
            ++it;
            continue;
        }
        it = _pending.erase(it);
        done.push_back(request);
    }
    for (dns_request* request : done) {
        const bool any = !request->addresses->empty() || (request->wants_v6() && !request->addresses6->empty());
        const std::int32_t code = any ? dns_result_ok : request->failure;
        if (!dns_detail::complete_after_unlock(request, code)) request->complete(code);
    }
    if (done.empty()) return;
    // An IPv6 query whose requests all went without it is asked for nobody.
    for (auto it = _in_flight.begin(); it != _in_flight.end();) {
        if (it->first.second == 6 && !wanted(it->first.first, 6)) {
            const auto next = std::next(it);
            erase_entry(it);
            it = next;
        } else {
            ++it;
        }
    }
}

void request_list::end_graces() {
    for (const dns_request* request : _pending)
        if (request->in_grace) {
            finish_ready();
            return;
        }
}

std::uint32_t request_list::next_grace(std::uint32_t now) const noexcept {
    std::uint32_t next = platform::infinite;
    for (const dns_request* request : _pending) {
        if (!request->in_grace) continue;
        const std::uint32_t waited = platform::tick_elapsed(request->grace_began, now);
        const std::uint32_t left = waited >= ipv6_grace ? 0 : ipv6_grace - waited;
        if (left < next) next = left;
    }
    return next;
}

void request_list::answer(const std::string& name, int family, const std::vector<std::string>& addresses,
                          dns_source from) {
    erase_entries(name, family);
    settle(name, family, &addresses, from, dns_result_ok, false);
}

void request_list::answer_system(const std::string& name, const std::vector<std::string>& addresses,
                                 const std::vector<std::string>& addresses6) {
    erase_entries(name, 4);
    // The system answers the IPv4 query even with IPv6 addresses alone: it
    // knows the name, and has no IPv4 address for it.
    settle(name, 4, &addresses, dns_source::system, dns_result_ok, false);
    if (addresses6.empty()) return;
    erase_entries(name, 6);
    // Requests still waiting for IPv6 take the system's, and so do those whose
    // IPv6 query found nothing.
    for (dns_request* request : _pending) {
        if (!request->wants_v6() || !request->addresses6->empty()) continue;
        const std::string& wanted_name = request->name;
        if (wanted_name != name && wanted_name != name + ".") continue;
        request->v6 = dns_request::family_state{true, true, dns_source::system};
        *request->addresses6 = addresses6;
    }
    finish_ready();
}

void request_list::fail_all(const std::string& name, int family, std::int32_t code) {
    settle(name, family, nullptr, dns_source::none, code, true);
}

void request_list::give_up(const std::string& name, int family, std::int32_t code) {
    const auto found = _in_flight.find({name, family});
    if (found != _in_flight.end()) erase_entry(found);
    fail_all(name, family, code);
}

void request_list::reject(const std::string& name, int family, const std::string& server) {
    const auto found = _in_flight.find({name, family});
    if (found == _in_flight.end()) return;
    for (server_entry& s : found->second.servers)
        if (s.server == server && s.state == server_entry::sent) s.state = server_entry::answered_nothing;
    reconsider(name, family);
}

void request_list::refused(const std::string& server) {
    std::vector<query_key> touched;
    for (auto& [key, entry] : _in_flight) {
        bool waited = false;
        for (server_entry& s : entry.servers)
            if (s.server == server && s.state == server_entry::sent) {
                s.state = server_entry::refused;
                waited = true;
            }
        if (waited) touched.push_back(key);
    }
    // Each in turn: one query's end may end others of the same name.
    for (const query_key& key : touched) reconsider(key.first, key.second);
}


bool request_list::answered_by_system(in_flight_query& entry, const std::string& name) {
    host_resolver* lookup = entry.system_lookup;
    if (lookup->finished() && lookup->succeeded()) {
        const std::vector<std::string> results = lookup->results();
        const std::vector<std::string> results6 = lookup->results6();
        if (!results.empty() || !results6.empty()) {
            answer_system(name, results, results6);
            return true;
        }
    }
    lookup->release_by_owner();
    entry.system_lookup = nullptr;
    return false;
}

void request_list::reconsider(const std::string& name, int family) {
    const auto found = _in_flight.find({name, family});
    if (found == _in_flight.end()) return;
    in_flight_query& entry = found->second;
    if (refused_by_all(entry)) {
        // No server can answer: the system lookup has the last word, and the
        // name fails as soon as it has none.
        if (host_resolver* lookup = entry.system_lookup) {
            if (!lookup->finished()) return;  // its end decides
            if (answered_by_system(entry, name)) return;
        } else if (family == 4 && !entry.system_asked) {
            start_system_lookup(entry, name);
            if (entry.system_lookup != nullptr) return;
        }
        give_up(name, family, dns_result_failed);
        return;
    }
    const bool expired = timed_out(entry);
    if (host_resolver* lookup = entry.system_lookup) {
        if (!expired && !lookup->finished()) return;  // the system may still answer
        if (answered_by_system(entry, name)) return;
    }
    for (server_entry& s : entry.servers) {
        if (s.state != server_entry::sent) continue;
        if (!expired) return;  // another server may still answer
        s.state = server_entry::timed_out;
    }
    if (entry.tries < max_tries)
        retry_or_end(name, entry);
    else
        give_up(name, family, dns_result_failed);
}

void request_list::system_lookup_failed(host_resolver* lookup, const std::string& name) {
    const auto found = _in_flight.find({name, 4});
    if (found == _in_flight.end() || found->second.system_lookup != lookup) return;
    in_flight_query& entry = found->second;
    lookup->release_by_owner();
    entry.system_lookup = nullptr;
    // Every server refused, and now the system knows nothing either.
    if (refused_by_all(entry)) {
        give_up(name, 4, dns_result_failed);
        return;
    }
    if (!timed_out(entry))
        for (const server_entry& s : entry.servers)
            if (s.state == server_entry::sent) return;
    if (entry.tries >= max_tries)
        give_up(name, 4, dns_result_failed);
    else if (g_resolver != nullptr && g_resolver->ready())
        retry_or_end(name, entry);
}

bool request_list::current_try(const std::string& name, int family, std::int32_t& id, std::uint32_t& ends) const {
    const in_flight_query* entry = query(name, family);
    if (entry == nullptr) return false;
    id = entry->id;
    ends = entry->started + query_timeout(entry->tries);
    return true;
}

void request_list::tcp_failed(const std::string& name, int family, const std::string& server) {
    const auto found = _in_flight.find({name, family});
    if (found == _in_flight.end() || family != 4) return;
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
    for (const int family : {4, 6}) {
        const auto entry = _in_flight.find({request->name, family});
        if (entry != _in_flight.end()) erase_entry(entry);
    }
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
        for (const int family : {4, 6}) {
            const auto entry = _in_flight.find({request->name, family});
            if (entry != _in_flight.end()) erase_entry(entry);
        }
    }
    return taken;
}

const std::string* request_list::match_reply(const std::string& question, int family, std::uint16_t id,
                                             const std::string& source, std::uint16_t port) const {
    if (port != platform::dns::server_port()) return nullptr;
    for (const std::string& key : {question, question + "."}) {
        const auto found = _in_flight.find({key, family});
        if (found == _in_flight.end()) continue;
        if ((static_cast<std::uint32_t>(found->second.id) & 0xFFFFu) != id) continue;
        // Only a server the query went to: the others never saw the identifier.
        for (const server_entry& s : found->second.servers)
            if (s.server == source && s.state != server_entry::not_sent) return &found->first.first;
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
