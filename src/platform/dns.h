// What the resolver takes from the operating system: the configured DNS
// servers, the port they listen on, the system's own name lookup, and
// unpredictable query identifiers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/native.h"

namespace asynframe::platform::dns {

// The configured DNS servers as IPv4 dotted texts, in file order: the
// "nameserver" lines of the file the environment variable ASYNFRAME_RESOLV_CONF
// names, else of /etc/resolv.conf (Linux) or the adapters' DNS servers
// (Windows, GetNetworkParams). Read anew on every call; a missing file gives
// none.
std::vector<std::string> server_list();
// The same for a resolv.conf text. IPv6 servers and lines that do not parse
// are skipped.
std::vector<std::string> parse_server_list(std::string_view text);

// Destination port of queries, in host order: 53, or ASYNFRAME_DNS_PORT when
// it holds a number from 1 to 65535.
std::uint16_t server_port();

// The system resolver, IPv4 only; may block for the system's own time-outs.
// True when it knew the name; its addresses are appended once each, in its
// order.
bool system_lookup(const std::string& name, std::vector<std::string>& addresses);
// The same for both families in one lookup (AF_UNSPEC): dotted IPv4 texts
// to `addresses`, RFC 5952 IPv6 texts to `addresses6`, each once, in the
// system's order.
bool system_lookup(const std::string& name, std::vector<std::string>& addresses,
                   std::vector<std::string>& addresses6);

// 32 bits no other host can predict.
std::uint32_t random32() noexcept;

// Signals an event a caller handed in (an eventfd; a Windows event HANDLE);
// nothing for invalid_handle.
void set_caller_event(native_handle event) noexcept;

// The system's hosts file: /etc/hosts; on Windows
// <system folder>\drivers\etc\hosts. ASYNFRAME_HOSTS_FILE, which replaces
// it, is the resolver's business.
std::string hosts_file_path();

}  // namespace asynframe::platform::dns
