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
    if (hosts.size() > size) std::abort();
    std::string address;
    hosts.lookup("localhost", address);
    if (!address.empty()) {
        std::uint32_t value = 0;
        if (!asynframe::inet_addr_value(address, value)) std::abort();
    }
    std::uint32_t value = 0;
    (void)asynframe::inet_addr_value(text.substr(0, 64), value);
    (void)asynframe::is_ip(text.substr(0, 64));
    return 0;
}
