// Every setting the library reads, with its default, and the statistics it keeps.
#pragma once

#include <cstdint>
#include <string_view>

namespace asynframe::setting_keys {

struct uint_key {
    std::string_view section;
    std::string_view key;
    std::uint32_t default_value;
};

struct string_key {
    std::string_view section;
    std::string_view key;
    std::string_view default_value;
};

struct bool_key {
    std::string_view section;
    std::string_view key;
    bool default_value;
};

// True forces the engine mode without a completion port.
inline constexpr bool_key force_win98{"system", "force_win98", false};
// Ceiling of the half-open connection limit.
inline constexpr uint_key max_syn_count{"connect_manager", "max_syn_count", 256};
// Connection limit.
inline constexpr uint_key max_connection{"connect_manager", "max_connection", 1000};
// Places of the half-open limit kept back for others.
inline constexpr uint_key syn_num_for_others{"connect_manager", "syn_num_for_others", 2};
// Connect-time threshold in milliseconds.
inline constexpr uint_key connect_time_threshold{"connect_manager", "connect_time_threshold", 200};
// Step of progressive zero-filling, in MiB.
inline constexpr uint_key create_pos_offset{"file_asyn_io_helper", "create_pos_offset", 1};
// Pause between zero-filling steps, in milliseconds.
inline constexpr uint_key create_delay{"file_asyn_io_helper", "create_delay", 5};
// Non-zero: apply the receive buffer size below.
inline constexpr uint_key set_recv_buffer{"socket", "set_recv_buffer", 0};
// Receive buffer size in bytes.
inline constexpr uint_key recv_buffer_size{"socket", "recv_buffer_size", 8192};
// Connections a listener lets wait for an accept; capped at the system's maximum.
inline constexpr uint_key listen_backlog{"socket", "listen_backlog", 5};
// The site the HTTP proxy check asks for through the proxy: an absolute http:// URL.
inline constexpr string_key proxy_verifier_http_url{"proxy_verifier", "http_url", "http://www.example.com/"};
// Names the DNS servers cannot answer go to the system resolver as well; false
// keeps every name to the configured servers.
inline constexpr bool_key dns_system_lookup{"dns", "system_lookup", true};
// UI-thread dispatch; read straight from the provider before the wrappers exist.
inline constexpr bool_key run_in_ui_thread{"asyn_frame", "run_in_ui_thread", false};
// TLS: a PEM file of certificates trusted beside the system's store.
inline constexpr string_key ssl_ca_file{"ssl", "ca_file", ""};
// TLS: false accepts any server certificate.
inline constexpr bool_key ssl_verify_peer{"ssl", "verify_peer", true};
// TLS: the name a handshake over an already connected socket checks when
// the socket was given none of its own.
inline constexpr string_key ssl_expected_host{"ssl", "expected_host", ""};

// Statistics: u64 averages in milliseconds, in both sections below.
inline constexpr std::string_view stat_section_once = "connect_manager_once";
inline constexpr std::string_view stat_section = "connect_manager";
inline constexpr std::string_view request_time_average = "request_time_average";
inline constexpr std::string_view connect_time_average = "connect_time_average";
inline constexpr std::string_view dns_time_average = "dns_time_average";

}  // namespace asynframe::setting_keys
