#include "dns/dns_local_repository.h"

#include "dns/dns_package.h"
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

std::vector<cached_address> cached_addresses_of(const std::vector<rrecord>& records) {
    std::vector<cached_address> out;
    for (const rrecord& record : records)
        if (record.rr_class == 1 && record.type == 1 && !record.address.empty())
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

int dns_local_repository::lookup(const std::string& name, std::vector<std::string>& addresses) {
    mutex::scoped_lock guard(cache_lock());
    const auto found = _entries.find(name);
    if (found == _entries.end()) return absent;
    const std::uint32_t now = platform::tick_count();
    bool any = false;
    for (const cached_address& entry : found->second) {
        if (!entry.fresh(now)) continue;
        addresses.push_back(entry.address);
        any = true;
    }
    if (any) return hit;
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
    _entries[name] = std::move(kept);
}

}  // namespace asynframe
