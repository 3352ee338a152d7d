// The process-wide state of name resolution: callers' pending requests, the
// names being queried (one query shared by every caller of a name), the hosts
// file in front of them, and the system lookups running beside the queries.
// One lock, the request-list lock, guards all of it; the answer cache has its
// own lock and is never taken together with it.
//
// A name is queried once per family: type A for IPv4, type AAAA for IPv6,
// each with its own identifier, tries and time-outs. The IPv4 query keeps
// every rule it had before IPv6 was asked for; the IPv6 one differs where
// noted (it takes "no such record" for an answer, and starts no system lookup:
// the IPv4 query's system lookup answers both families).
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "dns/dns_request.h"
#include "dns/hosts_file.h"
#include "platform/event.h"

namespace asynframe {

struct singleton_instance;
class resolver;
class host_resolver;

// A DNS server of one query and what it did.
struct server_entry {
    static constexpr int not_sent = 0;
    static constexpr int sent = 1;
    static constexpr int timed_out = 2;
    static constexpr int answered_nothing = 3;
    static constexpr int not_listed = 4;  // answer of a state lookup only
    // The system answered for the server: its port is closed (ICMP port
    // unreachable), or there is no route to it.
    static constexpr int refused = 5;

    std::string server;  // dotted IPv4 text
    int state = not_sent;
};

struct in_flight_query {
    int family = 4;             // 4: type A; 6: type AAAA
    std::uint32_t started = 0;  // tick when the current try began
    std::int32_t tries = 0;     // retries done; 0 for the first try
    host_resolver* system_lookup = nullptr;
    bool system_asked = false;  // a system lookup was started for it
    std::vector<server_entry> servers;
    std::int32_t id = 0;  // the low 16 bits go into the query header
};

class request_list {
public:
    static constexpr std::int32_t max_tries = 5;
    // How long a request whose IPv4 addresses are in waits for its IPv6 ones
    // before it completes without them: a lost AAAA reply must not hold up a
    // caller that may never look at IPv6.
    static constexpr std::uint32_t ipv6_grace = 250;  // ms

    // Loads the hosts file. Throws std::runtime_error ("Create request_list
    // Event error") when the request event cannot be made.
    request_list();
    ~request_list();
    request_list(const request_list&) = delete;
    request_list& operator=(const request_list&) = delete;

    // Every operation below runs with the request-list lock held.

    // A request that missed the literal test, the cache and the failure list;
    // `servers` as read_servers gave them just before.
    void submit(dns_request* request, const std::vector<std::string>& servers);
    // New requests arrived: start every name not yet in flight, then sweep.
    void start_pending();
    // Once a second: time-outs, retries, finished system lookups; also starts
    // names whose first send failed.
    void sweep();
    // A usable reply for one family of `name` (for IPv6 also one with no
    // address: the name has none).
    void answer(const std::string& name, int family, const std::vector<std::string>& addresses,
                dns_source from = dns_source::dns_server);
    // A system lookup's addresses: they answer the IPv4 query, and the IPv6
    // one too when they hold IPv6 addresses.
    void answer_system(const std::string& name, const std::vector<std::string>& addresses,
                       const std::vector<std::string>& addresses6);
    // A negative or empty reply from `server`.
    void reject(const std::string& name, int family, const std::string& server);
    // The system refused for `server` (its port is closed, or it cannot be
    // reached): every query waiting for it takes that as its answer. A query
    // every server of which refused fails at once, after its system lookup
    // (one is started if none ran) has ended without addresses; the others
    // go on as after a negative reply.
    void refused(const std::string& server);
    // The family's query of `name` found nothing: its requests go on without it.
    void fail_all(const std::string& name, int family, std::int32_t code);
    void give_up(const std::string& name, int family, std::int32_t code);
    void system_lookup_failed(host_resolver* lookup, const std::string& name);
    // The identifier of the family's query of `name` and the tick its current
    // try ends at; false when it is not in flight.
    bool current_try(const std::string& name, int family, std::int32_t& id, std::uint32_t& ends) const;
    // The TCP exchange a truncated reply from `server` began has failed: the
    // server counts as silent, and (for IPv4) the system lookup starts as it
    // would after the try's time-out.
    void tcp_failed(const std::string& name, int family, const std::string& server);
    // Requests whose IPv6 answer is overdue complete without it. Called on
    // every turn of the resolver thread.
    void end_graces();
    // Milliseconds until the next request's grace ends; platform::infinite
    // when none waits.
    std::uint32_t next_grace(std::uint32_t now) const noexcept;
    // Takes a pending request out without completing it; false when it was
    // not pending here.
    bool cancel(dns_request* request);
    // The resolver ends: every pending request completes with 2.
    void shutdown();
    // A frame goes away: its operations' requests leave without completing
    // (its engine cannot deliver any more) and are returned.
    std::vector<asyn_io_operation*> take_operations_of(const singleton_instance* services);

    // The in-flight entry a reply from `source` (port in host order) with
    // identifier `id` to the family's query belongs to: its name, or null
    // unless that server was sent the query with that identifier, on the
    // servers' port.
    const std::string* match_reply(const std::string& question, int family, std::uint16_t id,
                                   const std::string& source, std::uint16_t port) const;

    // State of `server` in the IPv4 query of `name`: 0-3, or 4 when it is not
    // listed (also when the name is not in flight).
    int server_state(const std::string& name, const std::string& server) const;
    // A query of either family is under way for `name`.
    bool in_flight(const std::string& name) const { return in_flight(name, 4) || in_flight(name, 6); }
    bool in_flight(const std::string& name, int family) const { return _in_flight.count({name, family}) != 0; }
    std::size_t pending_count() const noexcept { return _pending.size(); }
    const in_flight_query* query(const std::string& name, int family = 4) const;

    platform::event& request_event() noexcept { return *_request_event; }

    // A name made only of letters and "-", at most 15 bytes: sent to the
    // system resolver only.
    static bool single_label(const std::string& name) noexcept;
    // 1 s for the first try, then 1, 2, 4, 8, 16 s.
    static std::uint32_t query_timeout(std::int32_t tries) noexcept;
    // The servers a new query goes to: configured IPv4 servers other than
    // 0.0.0.0 and 255.255.255.255.
    static std::vector<std::string> read_servers();

private:
    // The end of a finished query's system lookup: its addresses answer the
    // name (true; the query is gone), or it is let go (false).
    bool answered_by_system(in_flight_query& entry, const std::string& name);
    using query_key = std::pair<std::string, int>;  // name, family
    using query_map = std::map<query_key, in_flight_query>;

    // `servers` as read_servers gave them for this start. A socket error
    // counts towards the system resolver's taking over when `counted`.
    void start_name(const std::string& name, const std::vector<std::string>& servers, bool counted = true);
    void start_name6(const std::string& name, const std::vector<std::string>& servers);
    // Sends a new request's queries from the submitting thread, while the
    // resolver thread listens: true when they went out to sockets that
    // thread already waits on and nothing else is left for it to do.
    bool start_at_once(const dns_request* request, const std::vector<std::string>& servers);
    // The name's system lookup, when system lookups are allowed.
    void start_system_lookup(in_flight_query& entry, const std::string& name);
    void retry_entry(const std::string& name, in_flight_query& entry);
    // retry_entry, then the end of a query every server of which refused as
    // it was sent and that has no system lookup to wait for.
    void retry_or_end(const std::string& name, in_flight_query& entry);
    // What follows a server's negative reply or refusal (already noted in
    // its state): wait for other servers or the system lookup, retry, or end.
    void reconsider(const std::string& name, int family);
    // Every server of the query refused (and there is one at least).
    static bool refused_by_all(const in_flight_query& entry) noexcept;
    void erase_entry(query_map::iterator entry);
    void erase_entries(const std::string& name, int family);
    // Hands one family's outcome to every pending request of `name` (or, for
    // an answer, of "name."): `found` null for a family that found nothing.
    void settle(const std::string& name, int family, const std::vector<std::string>* found, dns_source from,
                std::int32_t code, bool exact_name);
    // Completes the requests that wait for nothing more, starts the grace of
    // those that wait for IPv6 alone, and drops queries nobody waits for.
    void finish_ready();
    bool wanted(const std::string& name, int family) const;
    bool timed_out(const in_flight_query& entry) const noexcept;
    static std::int32_t new_id() noexcept;

    platform::event* _request_event = nullptr;
    std::list<dns_request*> _pending;  // arrival order; not owned
    query_map _in_flight;
    hosts_file _hosts;
    // Names whose first send failed with a socket error, and how often: a
    // name is never left pending for good when the socket keeps failing.
    std::map<std::string, std::int32_t> _start_failures;
};

}  // namespace asynframe
