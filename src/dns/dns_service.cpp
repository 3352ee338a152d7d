#include "dns/dns_service.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "dns/dns_local_repository.h"
#include "dns/dns_request.h"
#include "dns/dns_state.h"
#include "dns/host_db.h"
#include "dns/ip_parser.h"
#include "dns/request_list.h"
#include "dns/resolver.h"
#include "dns/system_lookup.h"

namespace asynframe {

using dns_detail::g_list;
using dns_detail::g_pool;
using dns_detail::g_resolver;

namespace {

std::mutex g_service_lock;
int g_users = 0;
// Users of the service that forbid system lookups.
std::atomic<int> g_forbidding{0};

}  // namespace

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
    // An IPv6 literal is no name to ask about, whether or not the caller
    // reads IPv6 addresses.
    if (std::string literal6 = canonical_ipv6(request->name); !literal6.empty()) {
        if (request->wants_v6()) request->addresses6->push_back(std::move(literal6));
        request->complete(request->wants_v6() ? dns_result_ok : dns_result_failed, dns_source::literal);
        return;
    }
    // A fresh answer of either family answers the request; the other family
    // is not asked for then.
    if (dns_local_repository::instance().lookup(request->name, *request->addresses, request->addresses6) ==
        dns_local_repository::hit) {
        request->complete(dns_result_ok, dns_source::cache);
        return;
    }
    if (host_db::instance().failed_recently(request->name)) {
        request->complete(dns_result_recent_failure);
        return;
    }
    // Read before the request-list lock is taken: the resolver thread waits
    // for it while a submitter holds it.
    const std::vector<std::string> servers = request_list::read_servers();
    {
        dns_detail::list_guard guard;
        if (request_list* list = guard.list()) {
            list->submit(request, servers);
            return;
        }
    }
    request->complete(dns_result_shutdown);
}

bool cancel_request(dns_request* request) {
    {
        dns_detail::list_guard guard;
        request_list* list = guard.list();
        if (list != nullptr && list->cancel(request)) return true;
    }
    // Out of the list, it may still be being completed: its owner releases
    // it once this returns.
    dns_detail::wait_for_completions();
    return false;
}

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
    // A completion already on its way posts to this engine: it lands before
    // the engine goes.
    dns_detail::wait_for_completions();
    for (asyn_io_operation* operation : taken) dns_detail::abandon_now(operation);
}

}  // namespace asynframe
