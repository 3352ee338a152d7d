// The parts of the resolver's configuration that read the same on every
// system: the resolv.conf text and the servers' port.
#include <cstdlib>
#include <sstream>

#include "platform/dns.h"
#include "platform/fs.h"

namespace asynframe::platform::dns {
namespace {

// Strict dotted quads, as inet_pton reads them: four decimal parts of at most
// 255, no leading zeros, nothing else.
bool dotted_quad(const std::string& text) noexcept {
    int parts = 0, value = 0, digits = 0;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            if (digits > 0 && value == 0) return false;
            value = value * 10 + (c - '0');
            if (value > 255) return false;
            ++digits;
        } else if (c == '.' && digits > 0 && parts < 3) {
            ++parts;
            value = 0;
            digits = 0;
        } else {
            return false;
        }
    }
    return parts == 3 && digits > 0;
}

}  // namespace

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
        // An IPv6 server or a typo is skipped.
        if (dotted_quad(address)) servers.push_back(address);
    }
    return servers;
}

std::uint16_t server_port() {
    const std::optional<std::string> value = fs::environment("ASYNFRAME_DNS_PORT");
    if (!value || value->empty()) return 53;
    char* end = nullptr;
    const long port = std::strtol(value->c_str(), &end, 10);
    if (*end != '\0' || port < 1 || port > 65535) return 53;
    return static_cast<std::uint16_t>(port);
}

}  // namespace asynframe::platform::dns
