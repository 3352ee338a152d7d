#include "dns/request_list.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "dns/dns_local_repository.h"
#include "dns/host_db.h"
#include "dns/ip_parser.h"
#include "dns/resolver.h"
#include "engine/asyn_io_handler.h"
#include "engine/asyn_io_operation.h"
#include "platform/dns.h"
#include "platform/mutex.h"
#include "platform/tick.h"

namespace asynframe {

// ---- one system lookup -------------------------------------------------------------

// Asks the operating system's resolver for one name. Two references: the
// query entry that started it and the thread that runs it; the second release
// deletes it.
class host_resolver {
public:
    explicit host_resolver(std::string name) : _name(std::move(name)) {}
    host_resolver(const host_resolver&) = delete;
    host_resolver& operator=(const host_resolver&) = delete;

    const std::string& name() const noexcept { return _name; }
    bool finished() const noexcept { return _finished.load(std::memory_order_acquire); }
    bool succeeded() const noexcept { return _succeeded.load(std::memory_order_acquire); }
    std::vector<std::string> results() {
        std::lock_guard<std::mutex> guard(_lock);
        return _results;
    }
    // The entry no longer wants it: a lookup not yet begun is skipped.
    bool owner_gone() {
        std::lock_guard<std::mutex> guard(_lock);
        return _owner_released;
    }

    void release_by_owner() noexcept { release(true); }
    void release_by_thread() noexcept { release(false); }

    // On a lookup thread.
    void run();
    // No thread could run it: it counts as a lookup that failed.
    void fail_unrun() noexcept {
        _finished.store(true, std::memory_order_release);
        release_by_thread();
    }

private:
    void release(bool owner) noexcept {
        bool last;
        {
            std::lock_guard<std::mutex> guard(_lock);
            if (owner) _owner_released = true;
            last = ++_releases == 2;
        }
        if (last) delete this;
    }

    std::string _name;
    std::atomic<bool> _succeeded{false};
    std::atomic<bool> _finished{false};
    std::mutex _lock;  // guards the results and the release count
    std::vector<std::string> _results;
    int _releases = 0;
    bool _owner_released = false;
};

// ---- the lookup threads ------------------------------------------------------------

// Runs system lookups on at most `max_threads` threads. While the DNS servers
// are unreachable every try of every name starts a lookup, and the system
// resolver may block for its own time-outs: one thread per lookup would pile
// up without bound. Lookups wait in arrival order instead, and one whose entry
// has moved on before a thread took it is dropped unrun.
class system_lookup_pool {
public:
    static constexpr std::size_t max_threads = 8;

    ~system_lookup_pool() { stop(); }

    // Throws when no thread can be made and none is running.
    void start(host_resolver* lookup) {
        std::unique_lock<std::mutex> guard(_lock);
        _queue.push_back(lookup);
        if (_idle == 0 && _threads.size() < max_threads) {
            try {
                _threads.emplace_back([this] {
                    platform::name_current_thread("af-lookup");
                    work();
                });
                return;
            } catch (...) {
                if (_threads.empty()) {
                    _queue.pop_back();
                    throw;
                }
            }
        }
        _wake.notify_one();
    }

    // Waits for the lookups running now; those still queued are dropped.
    void stop() noexcept {
        std::deque<host_resolver*> dropped;
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> guard(_lock);
            _stopping = true;
            dropped.swap(_queue);
            threads.swap(_threads);
        }
        _wake.notify_all();
        for (std::thread& t : threads)
            if (t.joinable()) t.join();
        for (host_resolver* lookup : dropped) lookup->fail_unrun();
    }

private:
    void work() {
        std::unique_lock<std::mutex> guard(_lock);
        for (;;) {
            ++_idle;
            _wake.wait(guard, [this] { return _stopping || !_queue.empty(); });
            --_idle;
            if (_stopping) return;
            host_resolver* lookup = _queue.front();
            _queue.pop_front();
            guard.unlock();
            if (lookup->owner_gone())
                lookup->fail_unrun();
            else
                lookup->run();
            guard.lock();
        }
    }

    std::mutex _lock;
    std::condition_variable _wake;
    std::deque<host_resolver*> _queue;
    std::vector<std::thread> _threads;
    std::size_t _idle = 0;
    bool _stopping = false;
};

// ---- process-wide state ------------------------------------------------------------

namespace {

mutex g_lock;  // the request-list lock
request_list* g_list = nullptr;
resolver* g_resolver = nullptr;
system_lookup_pool* g_pool = nullptr;
std::vector<asyn_io_operation*> g_unposted;
thread_local int t_holding = 0;

std::mutex g_service_lock;
int g_users = 0;
// Users of the service that forbid system lookups.
std::atomic<int> g_forbidding{0};
std::atomic<std::uint64_t> g_lookups_started{0};

void abandon_now(asyn_io_operation* operation) noexcept {
    operation->clear_pending();
    if (asyn_io_handler_base* handler = operation->handdler_ptr())
        handler->on_io_abandoned(operation);
    else
        delete operation;
}

// A new system lookup for `name`, already queued; the entry holds the owner's
// reference.
host_resolver* start_lookup(const std::string& name) {
    auto* lookup = new host_resolver(name);
    g_lookups_started.fetch_add(1, std::memory_order_relaxed);
    try {
        if (g_pool == nullptr) throw std::runtime_error("no lookup threads");
        g_pool->start(lookup);
    } catch (...) {
        lookup->fail_unrun();
    }
    return lookup;
}

}  // namespace

namespace dns_detail {

list_guard::list_guard() {
    g_lock.lock();
    ++t_holding;
}

list_guard::~list_guard() {
    std::vector<asyn_io_operation*> unposted;
    unposted.swap(g_unposted);
    --t_holding;
    g_lock.unlock();
    for (asyn_io_operation* operation : unposted) abandon_now(operation);
}

request_list* list_guard::list() const noexcept { return g_list; }
resolver* list_guard::active_resolver() const noexcept { return g_resolver; }

void abandon_unposted(asyn_io_operation* operation) noexcept {
    if (t_holding > 0) {
        try {
            g_unposted.push_back(operation);
            return;
        } catch (...) {
        }
    }
    abandon_now(operation);
}

}  // namespace dns_detail

void host_resolver::run() {
    std::vector<std::string> found;
    const bool known = platform::dns::system_lookup(_name, found);
    {
        std::lock_guard<std::mutex> guard(_lock);
        _results = found;
    }
    _succeeded.store(known, std::memory_order_release);
    _finished.store(true, std::memory_order_release);
    {
        dns_detail::list_guard guard;
        // Delivers nothing once the service has stopped.
        if (request_list* list = guard.list()) {
            if (!known)
                list->system_lookup_failed(this, _name);
            else if (!found.empty())
                list->answer(_name, found, dns_source::system);
        }
    }
    release_by_thread();
}

// ---- the request list --------------------------------------------------------------

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

// ---- entry points ------------------------------------------------------------------

void submit_request(dns_request* request) {
    if (request->name.empty()) {
        request->complete(dns_result_empty_name);
        return;
    }
    std::uint32_t address = 0;
    if (inet_addr_value(request->name, address)) {
        request->addresses->push_back(request->name);
        request->complete(dns_result_ok, dns_source::literal);
        return;
    }
    if (dns_local_repository::instance().lookup(request->name, *request->addresses) == dns_local_repository::hit) {
        request->complete(dns_result_ok, dns_source::cache);
        return;
    }
    if (host_db::instance().failed_recently(request->name)) {
        request->complete(dns_result_recent_failure);
        return;
    }
    {
        dns_detail::list_guard guard;
        if (request_list* list = guard.list()) {
            list->submit(request);
            return;
        }
    }
    request->complete(dns_result_shutdown);
}

bool cancel_request(dns_request* request) {
    dns_detail::list_guard guard;
    request_list* list = guard.list();
    return list != nullptr && list->cancel(request);
}

std::uint64_t system_lookups_started() noexcept { return g_lookups_started.load(std::memory_order_relaxed); }

bool system_lookups_allowed() noexcept { return g_forbidding.load(std::memory_order_acquire) == 0; }

void start_dns_service(bool system_lookup) {
    std::lock_guard<std::mutex> service(g_service_lock);
    if (g_users > 0) {
        ++g_users;
        if (!system_lookup) g_forbidding.fetch_add(1, std::memory_order_acq_rel);
        return;
    }
    auto list = std::make_unique<request_list>();
    auto pool = std::make_unique<system_lookup_pool>();
    auto thread = std::make_unique<resolver>(*list);
    dns_local_repository::instance();
    {
        dns_detail::list_guard guard;
        g_list = list.release();
        g_pool = pool.release();
        g_resolver = thread.get();
    }
    try {
        thread->start();
    } catch (...) {
        dns_detail::list_guard guard;
        g_resolver = nullptr;
        delete std::exchange(g_pool, nullptr);
        delete std::exchange(g_list, nullptr);
        throw;
    }
    thread.release();
    g_users = 1;
    if (!system_lookup) g_forbidding.fetch_add(1, std::memory_order_acq_rel);
}

void stop_dns_service(bool system_lookup) noexcept {
    std::lock_guard<std::mutex> service(g_service_lock);
    if (g_users == 0) return;
    if (!system_lookup && g_forbidding.load(std::memory_order_acquire) > 0)
        g_forbidding.fetch_sub(1, std::memory_order_acq_rel);
    if (--g_users > 0) return;
    resolver* thread = g_resolver;
    // Its last step completes every pending request with 2.
    thread->stop();
    system_lookup_pool* pool;
    {
        dns_detail::list_guard guard;
        g_resolver = nullptr;
        pool = std::exchange(g_pool, nullptr);
    }
    delete thread;
    // A lookup that ends now finds nothing in flight and delivers nothing.
    delete pool;
    {
        dns_detail::list_guard guard;
        // Requests submitted while the resolver stopped complete with 2 here.
        delete std::exchange(g_list, nullptr);
    }
    dns_local_repository::destroy_instance();
}

int dns_service_users() noexcept {
    std::lock_guard<std::mutex> service(g_service_lock);
    return g_users;
}

void abandon_dns_requests_of(const singleton_instance* services) noexcept {
    std::vector<asyn_io_operation*> taken;
    {
        dns_detail::list_guard guard;
        if (request_list* list = guard.list()) {
            try {
                taken = list->take_operations_of(services);
            } catch (...) {
            }
        }
    }
    for (asyn_io_operation* operation : taken) abandon_now(operation);
}

}  // namespace asynframe
