#include "dns/system_lookup.h"

#include <atomic>
#include <stdexcept>

#include "dns/dns_service.h"
#include "dns/dns_state.h"
#include "dns/ip_parser.h"
#include "dns/request_list.h"
#include "platform/dns.h"
#include "platform/thread.h"

namespace asynframe {

namespace {

std::atomic<std::uint64_t> g_lookups_started{0};

}  // namespace

// ---- one system lookup -------------------------------------------------------------

void host_resolver::run() {
    std::vector<std::string> found;
    std::vector<std::string> found6;
    const bool known = platform::dns::system_lookup(_name, found, found6);
    // One spelling of an IPv6 address whatever the system's: the same
    // address from a DNS reply and from here then compares equal.
    for (std::string& text : found6) {
        std::string canonical = canonical_ipv6(text);
        if (!canonical.empty()) text = std::move(canonical);
    }
    {
        std::lock_guard<std::mutex> guard(_lock);
        _results = found;
        _results6 = found6;
    }
    _succeeded.store(known, std::memory_order_release);
    _finished.store(true, std::memory_order_release);
    {
        dns_detail::list_guard guard;
        // Delivers nothing once the service has stopped.
        if (request_list* list = guard.list()) {
            if (!known)
                list->system_lookup_failed(this, _name);
            else if (!found.empty() || !found6.empty())
                list->answer_system(_name, found, found6);
        }
    }
    release_by_thread();
}

// ---- the lookup threads ------------------------------------------------------------

void system_lookup_pool::start(host_resolver* lookup) {
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

void system_lookup_pool::stop() noexcept {
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

void system_lookup_pool::work() {
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

// ---- starting one ------------------------------------------------------------------

namespace dns_detail {

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

}  // namespace dns_detail

std::uint64_t system_lookups_started() noexcept { return g_lookups_started.load(std::memory_order_relaxed); }

}  // namespace asynframe
