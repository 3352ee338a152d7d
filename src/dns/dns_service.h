// The process-wide resolver service: its start and stop, counted over its
// users, and the entry points through which requests reach it.
#pragma once

#include <cstdint>

namespace asynframe {

struct dns_request;
struct singleton_instance;

// Answers from the literal-address test, the answer cache and the failure
// list at once; hands everything else to the request list. Completes with 2
// when the resolver is not running.
void submit_request(dns_request* request);
// Takes a still-pending request out of the request list (it is then never
// completed). False when it was not pending.
bool cancel_request(dns_request* request);

// The process-wide resolver: the first start creates the request list and
// starts the resolver thread; the last stop completes what is pending with 2,
// stops every thread and deletes the shared state. Throws when it cannot start.
// `system_lookup` false: this user forbids system lookups, so that no name
// leaves for any resolver but the configured servers; they are made only
// while no user of the service forbids them. A stop passes what its start did.
void start_dns_service(bool system_lookup = true);
void stop_dns_service(bool system_lookup = true) noexcept;
// Whether failed queries may start system lookups now.
bool system_lookups_allowed() noexcept;
// System lookups started since the process began.
std::uint64_t system_lookups_started() noexcept;
// How many users the service has.
int dns_service_users() noexcept;
// Before a frame's engine goes: its operations' requests are abandoned
// (handed back to their handlers without a completion).
void abandon_dns_requests_of(const singleton_instance* services) noexcept;

}  // namespace asynframe
