#include "dns/dns_state.h"

#include "engine/asyn_io_handler.h"
#include "engine/asyn_io_operation.h"
#include "platform/mutex.h"

namespace asynframe {

namespace {

mutex g_lock;  // the request-list lock
std::vector<asyn_io_operation*> g_unposted;
thread_local int t_holding = 0;

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

}  // namespace asynframe
