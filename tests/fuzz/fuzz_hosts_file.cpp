// Hostile hosts files: every line shape, every byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "dns/hosts_file.h"
#include "dns/ip_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    asynframe::hosts_file hosts("");
    hosts.parse(text);
    if (hosts.size() > size || hosts.size6() > size) std::abort();
    std::string address;
    std::string address6;
    hosts.lookup("localhost", address, address6);
    if (!address.empty()) {
        std::uint32_t value = 0;
        if (!asynframe::inet_addr_value(address, value)) std::abort();
    }
    // IPv6 lines are kept in the form that reads back as itself.
    if (!address6.empty() && asynframe::canonical_ipv6(address6) != address6) std::abort();
    (void)asynframe::canonical_ipv6(text.substr(0, 64));
    std::uint32_t value = 0;
    (void)asynframe::inet_addr_value(text.substr(0, 64), value);
    (void)asynframe::is_ip(text.substr(0, 64));
    return 0;
}
