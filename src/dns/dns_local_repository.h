// The in-memory answer cache: addresses learned from DNS replies, each with its
// own TTL. Never written to disk.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace asynframe {

class rrecord;

struct cached_address {
    std::string address;    // dotted IPv4 text or IPv6 text
    std::uint32_t ttl = 0;  // seconds, from the DNS record
    std::uint32_t created = 0;  // tick when the reply was decoded

    // Fresh while less than ttl seconds have passed since `created`.
    bool fresh(std::uint32_t now) const noexcept;
};

// The usable answers of a reply, in record order: class IN, type A (or AAAA
// for `type` 28), with an address text; each keeps its TTL and decoding tick.
std::vector<cached_address> cached_addresses_of(const std::vector<rrecord>& records, int type = 1);

class dns_local_repository {
public:
    // Result of lookup().
    static constexpr int hit = 0;
    static constexpr int expired = 1;  // the name was cached, nothing was fresh; it is gone now
    static constexpr int absent = -1;

    dns_local_repository() = default;
    virtual ~dns_local_repository() = default;
    dns_local_repository(const dns_local_repository&) = delete;
    dns_local_repository& operator=(const dns_local_repository&) = delete;

    // The process-wide cache, created on first use.
    static dns_local_repository& instance();
    // Empties the process-wide cache (the DNS service stops).
    static void destroy_instance();

    // Appends the fresh IPv4 addresses of `name` to `addresses` and, when
    // `addresses6` is given, its fresh IPv6 ones to that. A hit when anything
    // of a family asked for is fresh. Stale elements are skipped, not removed;
    // a name with nothing fresh is removed.
    int lookup(const std::string& name, std::vector<std::string>& addresses,
               std::vector<std::string>* addresses6 = nullptr);

    // Replaces the list of `name` by the elements whose TTL is not 0, family by
    // family: an IPv6 answer leaves the IPv4 list alone and the other way round.
    // When there is no such element, the cache is left unchanged.
    void store(const std::string& name, const std::vector<cached_address>& addresses);

private:
    std::map<std::string, std::vector<cached_address>> _entries;
};

}  // namespace asynframe
