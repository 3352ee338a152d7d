// One caller's resolution: a name in, dotted IPv4 texts (and IPv6 texts, for
// a caller that gives a list for them) and a result code out.
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
    dns_request(std::string name, platform::native_handle event, std::vector<std::string>* addresses,
                asyn_io_operation* operation, std::vector<std::string>* addresses6 = nullptr)
        : name(std::move(name)), event(event), addresses(addresses), operation(operation), addresses6(addresses6) {}
    dns_request(const dns_request&) = delete;
    dns_request& operator=(const dns_request&) = delete;

    std::string name;
    platform::native_handle event;  // the caller's event, or invalid_handle for none
    // Stored last on completion (release): whoever sees it change from
    // pending may read `addresses`.
    std::atomic<std::int32_t> result_code{dns_result_pending};
    std::vector<std::string>* addresses;  // the caller's list
    asyn_io_operation* operation;         // completed through the engine when set
    // Where the addresses came from: those of the IPv4 list, or of the IPv6
    // list when the first is empty. Read, like the lists, once the code shows.
    dns_source source = dns_source::none;
    // The caller's IPv6 list; null: the request asks for IPv4 only.
    std::vector<std::string>* addresses6;

    // Each family's progress, kept by whoever answers it (the request list,
    // under its lock, or the submitting thread for local answers).
    struct family_state {
        bool settled = false;   // nothing more is coming for it
        bool answered = false;  // a source spoke for it (possibly with no address)
        dns_source from = dns_source::none;
    };
    family_state v4;
    family_state v6;
    // The code a request completes with when neither family found anything.
    std::int32_t failure = dns_result_failed;
    // The IPv4 answer is in and the IPv6 one has request_list::ipv6_grace ms
    // from this tick to follow.
    bool in_grace = false;
    std::uint32_t grace_began = 0;

    bool wants_v6() const noexcept { return addresses6 != nullptr; }

    std::int32_t result() const noexcept { return result_code.load(std::memory_order_acquire); }
    bool pending() const noexcept { return result() == dns_result_pending; }

    // Applies the last-good-address rule (family by family) and the failure
    // recording, then tells the caller. A code other than dns_result_ok drops
    // whatever a family had gathered. The request list never touches the
    // request afterwards.
    void complete(std::int32_t code);
    // The same for an answer of both families from one place.
    void complete(std::int32_t code, dns_source from) {
        v4 = v6 = family_state{true, true, from};
        complete(code);
    }
};

}  // namespace asynframe
