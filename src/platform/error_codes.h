// The completion codes the library itself gives, by name: Windows and Winsock
// codes on every system (the platform layer maps native errors into the same
// space), and the library's own codes for failures inside its layers.
#pragma once

#include <cstdint>

namespace asynframe::errors {

inline constexpr std::uint32_t invalid_handle = 6;        // ERROR_INVALID_HANDLE
inline constexpr std::uint32_t not_enough_memory = 8;     // ERROR_NOT_ENOUGH_MEMORY
inline constexpr std::uint32_t not_supported = 50;        // ERROR_NOT_SUPPORTED
inline constexpr std::uint32_t invalid_parameter = 87;    // ERROR_INVALID_PARAMETER
inline constexpr std::uint32_t operation_aborted = 995;   // ERROR_OPERATION_ABORTED
// Failures inside a layered device (SOCKS5, TLS): a refusal or broken
// message of the protocol, a transfer to the peer that failed, and any other.
inline constexpr std::uint32_t layer_protocol = 1928;
inline constexpr std::uint32_t layer_transfer = 1929;
inline constexpr std::uint32_t layer_other = 1930;
inline constexpr std::uint32_t too_many_open_files = 10024;         // WSAEMFILE
inline constexpr std::uint32_t would_block = 10035;                 // WSAEWOULDBLOCK
inline constexpr std::uint32_t message_too_long = 10040;            // WSAEMSGSIZE: the part that fit was kept
inline constexpr std::uint32_t address_family_unsupported = 10047;  // WSAEAFNOSUPPORT
inline constexpr std::uint32_t connection_reset = 10054;            // WSAECONNRESET
inline constexpr std::uint32_t timed_out = 10060;                   // WSAETIMEDOUT
inline constexpr std::uint32_t connection_refused = 10061;          // WSAECONNREFUSED
inline constexpr std::uint32_t host_not_found = 11001;              // WSAHOST_NOT_FOUND
// A stream send that completed with 0 bytes: the peer went away.
inline constexpr std::uint32_t peer_closed = 0xFFFFFFFFu;

}  // namespace asynframe::errors
