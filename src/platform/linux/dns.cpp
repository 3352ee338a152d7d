#include "platform/dns.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace asynframe::platform::dns {

std::vector<std::string> parse_server_list(std::string_view text) {
    std::vector<std::string> servers;
    std::istringstream lines{std::string(text)};
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t comment = line.find_first_of("#;");
        if (comment != std::string::npos) line.erase(comment);
        std::istringstream words(line);
        std::string keyword, address, extra;
        if (!(words >> keyword >> address) || keyword != "nameserver" || (words >> extra)) continue;
        in_addr parsed{};
        // Strict dotted quads only: an IPv6 server or a typo is skipped.
        if (::inet_pton(AF_INET, address.c_str(), &parsed) == 1) servers.push_back(address);
    }
    return servers;
}

std::vector<std::string> server_list() {
    const char* chosen = std::getenv("ASYNFRAME_RESOLV_CONF");
    std::ifstream file(chosen != nullptr && *chosen != '\0' ? chosen : "/etc/resolv.conf", std::ios::binary);
    if (!file) return {};
    std::ostringstream content;
    content << file.rdbuf();
    return parse_server_list(content.str());
}

std::uint16_t server_port() {
    const char* value = std::getenv("ASYNFRAME_DNS_PORT");
    if (value == nullptr || *value == '\0') return 53;
    char* end = nullptr;
    const long port = std::strtol(value, &end, 10);
    if (*end != '\0' || port < 1 || port > 65535) return 53;
    return static_cast<std::uint16_t>(port);
}

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
