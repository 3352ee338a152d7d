// One caller's resolution: a name in, dotted IPv4 texts and a result code out.
// Completed exactly once, by posting the caller's engine operation or by
// signalling the caller's event.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/native.h"

namespace asynframe {

class asyn_io_operation;

// Result codes of a resolution.
inline constexpr std::int32_t dns_result_ok = 0;
inline constexpr std::int32_t dns_result_failed = 1;
inline constexpr std::int32_t dns_result_shutdown = 2;
inline constexpr std::int32_t dns_result_empty_name = 3;
inline constexpr std::int32_t dns_result_pending = 5;
inline constexpr std::int32_t dns_result_recent_failure = 7;

// Where a request's addresses came from; the values of DNS_SOURCE_*.
enum class dns_source : std::int32_t { none = 0, literal, hosts_file, cache, dns_server, system, last_good };

struct dns_request {
    dns_request(std::string name, platform::native_handle event, std::vector<std::string>* addresses, asyn_io_operation* operation)
        : name(std::move(name)), event(event), addresses(addresses), operation(operation) {}
    dns_request(const dns_request&) = delete;
    dns_request& operator=(const dns_request&) = delete;

    std::string name;
    platform::native_handle event;  // the caller's event, or invalid_handle for none
    // Stored last on completion (release): whoever sees it change from
    // pending may read `addresses`.
    std::atomic<std::int32_t> result_code{dns_result_pending};
    std::vector<std::string>* addresses;  // the caller's list
    asyn_io_operation* operation;         // completed through the engine when set
    // Set before a completion with addresses; read, like `addresses`, once
    // the code shows.
    dns_source source = dns_source::none;

    std::int32_t result() const noexcept { return result_code.load(std::memory_order_acquire); }
    bool pending() const noexcept { return result() == dns_result_pending; }

    // Applies the last-good-address rule and the failure recording, then tells
    // the caller. The request list never touches the request afterwards.
    void complete(std::int32_t code);
    // The same for an answer with addresses from `from`.
    void complete(std::int32_t code, dns_source from) {
        source = from;
        complete(code);
    }
};

}  // namespace asynframe
