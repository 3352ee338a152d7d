// The plain exports over the resolver, for callers that wait on an event
// of their own. A handle is only ever looked up in the registry, never
// trusted: a stale or made-up one answers as unregistered.
#include <cstring>
#include <mutex>
#include <new>
#include <set>

#include "asynframe/dns.h"
#include "dns/dns_request.h"
#include "dns/dns_service.h"
#include "dns/ip_parser.h"
#include "platform/event.h"

namespace asynframe {
namespace {

// A handle's request and the list it writes into.
struct sync_request {
    std::vector<std::string> addresses;
    std::vector<std::string> addresses6;
    dns_request request;
    sync_request(const char* name, platform::native_handle event)
        : request(name, event, &addresses, nullptr, &addresses6) {}
};

// Copies `text` with its zero into `buffer` when it fits.
LONG copy_text(const std::string& text, char* buffer, LONG size) {
    if (text.size() + 1 > static_cast<std::size_t>(size)) return -1;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return 0;
}

std::mutex g_registry_lock;
std::set<sync_request*>& registry() {
    static auto* handles = new std::set<sync_request*>();  // outlives every caller at exit
    return *handles;
}

// Runs `use` on the registered request, under the registry lock; `otherwise`
// for an unregistered handle.
template <typename Use>
LONG with_request(SYNC_DNS_HANDLE handle, LONG otherwise, Use use) {
    std::lock_guard<std::mutex> guard(g_registry_lock);
    const auto found = registry().find(static_cast<sync_request*>(handle));
    if (found == registry().end()) return otherwise;
    return use(**found);
}

}  // namespace
}  // namespace asynframe

namespace asynframe {

extern "C" {

ASYNFRAME_EXPORT SYNC_DNS_HANDLE ASYNFRAME_STDCALL sync_dns_request(const char* name, ASYNFRAME_EVENT event,
                                                                    LONG access) {
    if (access != SYNC_DNS_ACCESS || name == nullptr) return nullptr;
    sync_request* entry = nullptr;
    try {
        entry = new sync_request(name, platform::handle_of(event));
        std::lock_guard<std::mutex> guard(g_registry_lock);
        registry().insert(entry);
    } catch (...) {
        delete entry;
        return nullptr;
    }
    // Registered first: the request may complete on another thread before
    // this returns, and the caller may already be polling by then.
    submit_request(&entry->request);
    return entry;
}

ASYNFRAME_EXPORT LONG ASYNFRAME_STDCALL sync_dns_result(SYNC_DNS_HANDLE handle) {
    return with_request(handle, DNS_RESULT_INVALID_HANDLE,
                                   [](sync_request& entry) { return static_cast<LONG>(entry.request.result()); });
}

ASYNFRAME_EXPORT LONG ASYNFRAME_STDCALL sync_dns_count(SYNC_DNS_HANDLE handle) {
    return with_request(handle, 0, [](sync_request& entry) {
        // The list is the resolver's until the request completes.
        return entry.request.pending() ? 0 : static_cast<LONG>(entry.addresses.size());
    });
}

ASYNFRAME_EXPORT LONG ASYNFRAME_STDCALL sync_dns_address(SYNC_DNS_HANDLE handle, LONG index, char* buffer,
                                                         LONG size) {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    return with_request(handle, -1, [&](sync_request& entry) -> LONG {
        if (buffer == nullptr || size <= 0 || index < 0 || entry.request.pending()) return -1;
        if (static_cast<std::size_t>(index) >= entry.addresses.size()) return -1;
        return copy_text(entry.addresses[static_cast<std::size_t>(index)], buffer, size);
    });
}

ASYNFRAME_EXPORT LONG ASYNFRAME_STDCALL sync_dns_address_text(SYNC_DNS_HANDLE handle, LONG index, char* buffer,
                                                              LONG size) {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    return with_request(handle, -1, [&](sync_request& entry) -> LONG {
        if (buffer == nullptr || size <= 0 || index < 0 || entry.request.pending()) return -1;
        const auto at = static_cast<std::size_t>(index);
        if (at < entry.addresses.size()) {
            std::uint32_t value = 0;
            const std::string& text = entry.addresses[at];
            return copy_text(inet_addr_value(text, value) ? ipv4_text(value) : text, buffer, size) == 0 ? 4 : -1;
        }
        if (at - entry.addresses.size() >= entry.addresses6.size()) return -1;
        return copy_text(entry.addresses6[at - entry.addresses.size()], buffer, size) == 0 ? 6 : -1;
    });
}

ASYNFRAME_EXPORT LONG ASYNFRAME_STDCALL sync_dns_cancel(SYNC_DNS_HANDLE handle) {
    sync_request* entry = static_cast<sync_request*>(handle);
    {
        std::lock_guard<std::mutex> guard(g_registry_lock);
        if (registry().erase(entry) == 0) return -1;
    }
    // A pending request leaves the list without completing; a completed one
    // is not there any more, and the resolver touches nothing of it once its
    // code shows, so the list's lock is not taken for it.
    if (entry->request.pending()) cancel_request(&entry->request);
    entry->request.name.clear();
    delete entry;
    return 0;
}

}  // extern "C"

}  // namespace asynframe
