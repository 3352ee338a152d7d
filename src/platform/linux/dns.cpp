#include "platform/dns.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>

#include "platform/fs.h"

namespace asynframe::platform::dns {

// parse_server_list and server_port are shared: platform/dns_config.cpp.

std::vector<std::string> server_list() {
    const std::optional<std::string> chosen = fs::environment("ASYNFRAME_RESOLV_CONF");
    std::string content;
    if (fs::read_file(chosen && !chosen->empty() ? *chosen : std::string("/etc/resolv.conf"), content) != 0) return {};
    return parse_server_list(content);
}

std::string hosts_file_path() { return "/etc/hosts"; }

bool system_lookup(const std::string& name, std::vector<std::string>& addresses) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address instead of one per socket type
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) return false;
    for (const addrinfo* at = found; at != nullptr; at = at->ai_next) {
        if (at->ai_family != AF_INET || at->ai_addr == nullptr) continue;
        char text[INET_ADDRSTRLEN];
        const auto* address = reinterpret_cast<const sockaddr_in*>(at->ai_addr);
        if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) == nullptr) continue;
        if (std::find(addresses.begin(), addresses.end(), text) == addresses.end()) addresses.emplace_back(text);
    }
    ::freeaddrinfo(found);
    return true;
}

bool system_lookup(const std::string& name, std::vector<std::string>& addresses,
                   std::vector<std::string>& addresses6) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address instead of one per socket type
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) return false;
    for (const addrinfo* at = found; at != nullptr; at = at->ai_next) {
        if (at->ai_addr == nullptr) continue;
        char text[INET6_ADDRSTRLEN];
        std::vector<std::string>* list = nullptr;
        if (at->ai_family == AF_INET) {
            const auto* address = reinterpret_cast<const sockaddr_in*>(at->ai_addr);
            if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr) list = &addresses;
        } else if (at->ai_family == AF_INET6) {
            const auto* address = reinterpret_cast<const sockaddr_in6*>(at->ai_addr);
            if (::inet_ntop(AF_INET6, &address->sin6_addr, text, sizeof text) != nullptr) list = &addresses6;
        }
        if (list != nullptr && std::find(list->begin(), list->end(), text) == list->end()) list->emplace_back(text);
    }
    ::freeaddrinfo(found);
    return true;
}

std::uint32_t random32() noexcept {
    std::uint32_t value = 0;
    for (;;) {
        if (::getrandom(&value, sizeof value, 0) == static_cast<ssize_t>(sizeof value)) return value;
        if (errno != EINTR) break;
    }
    // No kernel source: still not a counter an observer could follow.
    thread_local std::mt19937 fallback{std::random_device{}()};
    return static_cast<std::uint32_t>(fallback());
}

void set_caller_event(native_handle handle) noexcept {
    if (handle < 0) return;
    const int event = static_cast<int>(handle);
    const std::uint64_t one = 1;
    while (::write(event, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

}  // namespace asynframe::platform::dns
