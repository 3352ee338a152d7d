#include "dns/dns_local_repository.h"

#include "dns/dns_package.h"
#include "dns/ip_parser.h"
#include "platform/mutex.h"
#include "platform/tick.h"

namespace asynframe {
namespace {

// The cache lock: guards every cache and the creation of the process-wide one.
mutex& cache_lock() {
    static mutex lock;
    return lock;
}

dns_local_repository* g_instance = nullptr;

}  // namespace

bool cached_address::fresh(std::uint32_t now) const noexcept {
    // In 64 bits, so a TTL beyond 49.7 days cannot wrap into a short one.
    return static_cast<std::uint64_t>(platform::tick_elapsed(created, now)) < static_cast<std::uint64_t>(ttl) * 1000u;
}

std::vector<cached_address> cached_addresses_of(const std::vector<rrecord>& records, int type) {
    std::vector<cached_address> out;
    for (const rrecord& record : records)
        if (record.rr_class == 1 && record.type == type && !record.address.empty())
            out.push_back(cached_address{record.address, record.ttl, record.created});
    return out;
}

dns_local_repository& dns_local_repository::instance() {
    mutex::scoped_lock guard(cache_lock());
    if (g_instance == nullptr) g_instance = new dns_local_repository();
    return *g_instance;
}

void dns_local_repository::destroy_instance() {
    // Emptied, not freed: a caller on another thread may hold the reference
    // instance() gave it while the service stops.
    mutex::scoped_lock guard(cache_lock());
    if (g_instance != nullptr) g_instance->_entries.clear();
}

int dns_local_repository::lookup(const std::string& name, std::vector<std::string>& addresses,
                                 std::vector<std::string>* addresses6) {
    mutex::scoped_lock guard(cache_lock());
    const auto found = _entries.find(name);
    if (found == _entries.end()) return absent;
    const std::uint32_t now = platform::tick_count();
    bool fresh[2] = {false, false};
    for (const cached_address& entry : found->second) {
        if (!entry.fresh(now)) continue;
        const bool six = address_family(entry.address) == 6;
        fresh[six] = true;
        if (!six)
            addresses.push_back(entry.address);
        else if (addresses6 != nullptr)
            addresses6->push_back(entry.address);
    }
    if (fresh[0] || (fresh[1] && addresses6 != nullptr)) return hit;
    // IPv6 addresses alone say nothing to a caller that reads IPv4 only.
    if (fresh[1]) return absent;
    _entries.erase(found);
    return expired;
}

void dns_local_repository::store(const std::string& name, const std::vector<cached_address>& addresses) {
    std::vector<cached_address> kept;
    kept.reserve(addresses.size());
    for (const cached_address& entry : addresses)
        if (entry.ttl != 0) kept.push_back(entry);
    if (kept.empty()) return;
    mutex::scoped_lock guard(cache_lock());
    std::vector<cached_address>& list = _entries[name];
    // The families the answer brings replace theirs; the other one stays (a
    // name's A and AAAA replies arrive apart, each with its own TTLs).
    bool brings[2] = {false, false};
    for (const cached_address& entry : kept) brings[address_family(entry.address) == 6] = true;
    std::vector<cached_address> merged;
    merged.reserve(list.size() + kept.size());
    for (cached_address& entry : list)
        if (!brings[address_family(entry.address) == 6]) merged.push_back(std::move(entry));
    merged.insert(merged.end(), std::make_move_iterator(kept.begin()), std::make_move_iterator(kept.end()));
    list = std::move(merged);
}

}  // namespace asynframe
