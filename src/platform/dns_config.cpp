// The parts of the resolver's configuration that read the same on every
// system: the resolv.conf text and the servers' port.
#include <cstdlib>

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
    // Views into the text, not streams: it is parsed for every name the
    // resolver starts.
    const auto space = [](char c) noexcept {
        return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    };
    std::vector<std::string> servers;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        line = line.substr(0, line.find_first_of("#;"));
        // The words of the line, split at white space: "nameserver" and one address.
        std::string_view words[3];
        std::size_t count = 0;
        for (std::size_t at = 0; count < 3;) {
            while (at < line.size() && space(line[at])) ++at;
            if (at == line.size()) break;
            const std::size_t start = at;
            while (at < line.size() && !space(line[at])) ++at;
            words[count++] = line.substr(start, at - start);
        }
        if (count != 2 || words[0] != "nameserver") continue;
        // An IPv6 server or a typo is skipped.
        std::string address(words[1]);
        if (dotted_quad(address)) servers.push_back(std::move(address));
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
