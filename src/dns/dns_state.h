// The resolver service's process-wide objects and the request-list lock that
// guards them: the request list, the resolver thread and the system lookup
// pool exist while the service runs and are null while it is stopped.
#pragma once

#include <cstdint>
#include <vector>

namespace asynframe {

class asyn_io_operation;
struct dns_request;
class request_list;
class resolver;
class system_lookup_pool;

namespace dns_detail {
// Holds the request-list lock. Operations whose completion the engine refused
// meanwhile are handed back to their handlers after it is released, since a
// handler may release objects that take the lock themselves.
class list_guard {
public:
    list_guard();
    ~list_guard();
    list_guard(const list_guard&) = delete;
    list_guard& operator=(const list_guard&) = delete;
    // The request list and the resolver, or null while the service is stopped.
    request_list* list() const noexcept;
    resolver* active_resolver() const noexcept;
};

// An operation whose completion the engine refused: handed back to its handler
// as abandoned, once the request-list lock is no longer held.
void abandon_unposted(asyn_io_operation* operation) noexcept;

// With the request-list lock held, for a request the list has let go of:
// completes it with `code` just after the lock is released, so that the
// caller it wakes does not find the lock still held. False (the caller
// completes it now) outside a list_guard or when memory runs out.
bool complete_after_unlock(dns_request* request, std::int32_t code) noexcept;
// Waits until the completions handed over before this thread last took the
// lock have been made: a request the list no longer holds may still be in
// one, and its owner must not release it before.
void wait_for_completions() noexcept;

// Hands an operation back to its handler as abandoned at once (or deletes it
// when it has none). Never with the request-list lock held.
void abandon_now(asyn_io_operation* operation) noexcept;

// Read and changed with the request-list lock held; the service sets them.
extern request_list* g_list;
extern resolver* g_resolver;
extern system_lookup_pool* g_pool;
}  // namespace dns_detail

}  // namespace asynframe
