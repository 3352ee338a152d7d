#include "dns/dns_state.h"

#include <utility>

#include "dns/dns_request.h"
#include "engine/asyn_io_handler.h"
#include "engine/asyn_io_operation.h"
#include "platform/mutex.h"

namespace asynframe {

namespace {

mutex g_lock;  // the request-list lock
// Held by a thread that completes requests after it let go of the list lock,
// from before it let go until they are all complete.
mutex g_completing_lock;
// This thread's operations whose completion the engine refused, and the
// completions it makes once it lets go of the list lock.
thread_local std::vector<asyn_io_operation*> t_unposted;
thread_local std::vector<std::pair<dns_request*, std::int32_t>> t_completions;
thread_local int t_holding = 0;
thread_local bool t_completing = false;

}  // namespace

namespace dns_detail {

request_list* g_list = nullptr;
resolver* g_resolver = nullptr;
system_lookup_pool* g_pool = nullptr;

void abandon_now(asyn_io_operation* operation) noexcept {
    operation->clear_pending();
    if (asyn_io_handler_base* handler = operation->handdler_ptr())
        handler->on_io_abandoned(operation);
    else
        delete operation;
}

list_guard::list_guard() {
    g_lock.lock();
    ++t_holding;
}

list_guard::~list_guard() {
    std::vector<std::pair<dns_request*, std::int32_t>> completions;
    completions.swap(t_completions);
    // Taken before the list lock goes: whoever misses these requests in the
    // list from now on waits on it until they are complete.
    if (!completions.empty()) g_completing_lock.lock();
    --t_holding;
    g_lock.unlock();
    if (!completions.empty()) {
        t_completing = true;
        for (const auto& [request, code] : completions) request->complete(code);
        t_completing = false;
        g_completing_lock.unlock();
    }
    std::vector<asyn_io_operation*> unposted;
    unposted.swap(t_unposted);
    for (asyn_io_operation* operation : unposted) abandon_now(operation);
}

request_list* list_guard::list() const noexcept { return g_list; }
resolver* list_guard::active_resolver() const noexcept { return g_resolver; }

void abandon_unposted(asyn_io_operation* operation) noexcept {
    if (t_holding > 0 || t_completing) {
        try {
            t_unposted.push_back(operation);
            return;
        } catch (...) {
        }
    }
    abandon_now(operation);
}

bool complete_after_unlock(dns_request* request, std::int32_t code) noexcept {
    if (t_holding == 0) return false;
    try {
        t_completions.emplace_back(request, code);
        return true;
    } catch (...) {
        return false;
    }
}

void wait_for_completions() noexcept {
    g_completing_lock.lock();
    g_completing_lock.unlock();
}

}  // namespace dns_detail

}  // namespace asynframe
