// Socket system calls of the socket devices and the acceptor. Every call
// answers 0 or a Winsock error code (platform/errors.h), so the devices keep
// the codes callers check on every platform.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/native.h"

namespace asynframe::platform {

inline constexpr native_handle invalid_socket = invalid_handle;

// An IPv4 socket address in the platform's 16-byte layout: family 2, port and
// address in network order, 8 bytes of zero.
struct socket_address_v4 {
    std::uint16_t family = 2;
    std::uint16_t port = 0;     // network order
    std::uint32_t address = 0;  // network order
    std::uint8_t zero[8] = {};
};
static_assert(sizeof(socket_address_v4) == 16);

std::uint16_t host_to_net16(std::uint16_t value) noexcept;
std::uint16_t net_to_host16(std::uint16_t value) noexcept;
std::uint32_t host_to_net32(std::uint32_t value) noexcept;
// Dotted text of an address in network order ("127.0.0.1").
void dotted_address(std::uint32_t address, char (&text)[16]) noexcept;
// Text of a 16-byte IPv6 address ("2001:db8::1"); empty when it cannot be made.
void ipv6_address_text(const std::uint8_t* address, char (&text)[46]) noexcept;

// ---- Either family -------------------------------------------------------
//
// The calls below take and give `endpoint`s (port in host order). An IPv4-
// mapped IPv6 address (::ffff:a.b.c.d) is reported as the IPv4 address it
// carries: a dual-stack listener's IPv4 clients look as they would to an IPv4
// listener, and a reply sent to such an address goes out mapped again.

// The address of `text` (exactly `length` bytes): dotted IPv4 ("0.0.0.0"), or
// IPv6 with or without brackets ("::1", "[::1]", "fe80::1%2" with a numeric
// zone). False for anything else, names included; `out` is then untouched.
bool parse_address(const char* text, std::size_t length, std::uint16_t port, endpoint& out) noexcept;
// Text of an endpoint's address without the port: dotted IPv4, or IPv6 (a
// mapped address as dotted IPv4; a zone as "%N"). Empty for no family.
void address_text(const endpoint& address, char (&text)[64]) noexcept;
// `address` with an IPv4-mapped IPv6 address turned into the IPv4 one.
endpoint unmapped(const endpoint& address) noexcept;
// `address` in the family of a socket: an IPv4 address for an IPv6 socket
// becomes its mapped form; anything else is left as it is.
endpoint in_family(const endpoint& address, endpoint::family_t socket_family) noexcept;

// Stream and datagram sockets of a family (blocking, close-on-exec). An IPv6
// one accepts IPv4 peers too (IPV6_V6ONLY off) where the system allows it.
std::uint32_t create_tcp_socket(endpoint::family_t family, native_handle& fd) noexcept;
std::uint32_t create_udp_socket(endpoint::family_t family, native_handle& fd) noexcept;
// The family a socket was made with; `none` when it cannot be told.
endpoint::family_t socket_family(native_handle fd) noexcept;
std::uint32_t bind_endpoint(native_handle fd, const endpoint& address) noexcept;
std::uint32_t local_endpoint(native_handle fd, endpoint& address) noexcept;
std::uint32_t peer_endpoint(native_handle fd, endpoint& address) noexcept;
// As start_connect_v4, to an endpoint of the socket's family.
std::uint32_t start_connect(native_handle fd, const endpoint& target) noexcept;
// As send_datagram_now and receive_datagram_now, with endpoints.
std::uint32_t send_datagram_to(native_handle fd, const void* data, std::size_t size, const endpoint& to) noexcept;
std::uint32_t receive_datagram_from(native_handle fd, void* buffer, std::size_t size, std::size_t& received,
                                    endpoint& from) noexcept;

// ---- IPv4 ------------------------------------------------------------------

// IPv4 stream socket (blocking, close-on-exec).
std::uint32_t create_tcp_socket(native_handle& fd) noexcept;
// IPv4 datagram socket.
std::uint32_t create_udp_socket(native_handle& fd) noexcept;
// Raw IPv4 ICMP socket; needs the privilege to open raw sockets. Receives carry
// the IP header.
std::uint32_t create_icmp_socket(native_handle& fd) noexcept;

std::uint32_t set_nonblocking(native_handle fd, bool on) noexcept;
std::uint32_t set_recv_buffer(native_handle fd, std::int32_t bytes) noexcept;
std::uint32_t set_broadcast(native_handle fd, bool on) noexcept;
std::uint32_t set_ttl(native_handle fd, std::uint8_t ttl) noexcept;
// Keeps ICMP port-unreachable reports from failing later receives on an
// unconnected UDP socket.
std::uint32_t ignore_udp_connection_reset(native_handle fd) noexcept;

// SO_REUSEADDR: a listener may bind a port whose old connections sit in
// TIME_WAIT; a port another live listener holds still fails.
std::uint32_t set_reuse_address(native_handle fd, bool on) noexcept;

std::uint32_t bind_v4(native_handle fd, std::uint32_t address, std::uint16_t port) noexcept;
std::uint32_t listen_socket(native_handle fd, int backlog) noexcept;
// The largest backlog the system grants a listener.
int max_listen_backlog() noexcept;
std::uint32_t local_name(native_handle fd, socket_address_v4& address) noexcept;
std::uint32_t peer_name(native_handle fd, socket_address_v4& address) noexcept;
// Accepts a waiting connection without blocking; 10035 (would block) when
// there is none. The new socket is blocking and close-on-exec; `peer` (may be
// null) receives the address of the other end.
std::uint32_t accept_now(native_handle listen_fd, native_handle& fd, endpoint* peer = nullptr) noexcept;
// Whether a descriptor is an open socket: 0, or the code of the failure.
std::uint32_t check_socket(native_handle fd) noexcept;

// Sends one datagram to an IPv4 address and port (both in network order)
// without blocking: 0, 10035 when it would block, or the send's error.
std::uint32_t send_datagram_now(native_handle fd, const void* data, std::size_t size, std::uint32_t address,
                                std::uint16_t port) noexcept;
// Receives one queued datagram without blocking: 0 with its size and sender,
// 10035 when none is queued, or the receive's error. A datagram longer than
// `size` is cut to it.
std::uint32_t receive_datagram_now(native_handle fd, void* buffer, std::size_t size, std::size_t& received,
                                   socket_address_v4& from) noexcept;

// ---- Datagram sockets tied to one peer ------------------------------------
//
// A datagram socket connected to one IPv4 peer receives that peer's datagrams
// only, and hears what became of its sends: an ICMP port-unreachable answer to
// one of them fails a later receive (or send) with 10061 (Windows reports
// 10054 there; these calls give 10061 on every system), and a peer the system
// has no route to fails the connect or a send with 10051 or 10065.

// Ties a datagram socket to `address` (network order) and `port` (host
// order); nothing is sent and nothing blocks.
std::uint32_t connect_datagram_v4(native_handle fd, std::uint32_t address, std::uint16_t port) noexcept;
// Sends one datagram to the peer without blocking: 0, 10035 when it would
// block, or the send's error.
std::uint32_t send_connected_datagram_now(native_handle fd, const void* data, std::size_t size) noexcept;
// Receives one queued datagram from the peer without blocking: 0 with its size
// (a longer one is cut to `size`), 10035 when none is queued, 10061 for a
// refusal reported since the last call, or another error. A socket that
// reported a refusal is best closed: under wine the refusal stays reported.
std::uint32_t receive_connected_datagram_now(native_handle fd, void* buffer, std::size_t size,
                                             std::size_t& received) noexcept;
// One buffer of a batch receive and the size of the datagram it took.
struct datagram_buffer {
    void* data = nullptr;
    std::size_t size = 0;
    std::size_t received = 0;
};
// The same for up to `count` queued datagrams, one per buffer, in one call:
// 0 with how many came in `taken` (at least one), or what the single receive
// gives. Fewer than `count` came when no more was queued, or (Windows) always
// one at a time, the socket's wait then reporting the next. A refusal heard
// after some datagrams is reported by the next call.
std::uint32_t receive_connected_datagrams_now(native_handle fd, datagram_buffer* buffers, std::size_t count,
                                              std::size_t& taken) noexcept;
// The peer's port is closed (10061, and 10054 as Windows words it).
inline bool peer_refused(std::uint32_t error) noexcept { return error == 10061 || error == 10054; }
// No route to the peer: network (10051) or host (10065) unreachable.
inline bool peer_unreachable(std::uint32_t error) noexcept { return error == 10051 || error == 10065; }

// Sends what a stream socket takes now, without blocking: 0 with the bytes
// taken in `sent` (fewer than `size` when its buffer is full), 10035 when it
// takes nothing, or the send's error. Never raises SIGPIPE.
std::uint32_t send_stream_now(native_handle fd, const void* data, std::size_t size, std::size_t& sent) noexcept;
// Receives what a stream socket holds now, without blocking: 0 with the bytes
// in `received` (0 once the peer has closed), 10035 when nothing is queued,
// or the receive's error.
std::uint32_t receive_stream_now(native_handle fd, void* buffer, std::size_t size, std::size_t& received) noexcept;

// Starts an outgoing connect without blocking: 0 when connected at once, 10035
// while it runs (the socket becomes writable when it ends), or the failure.
// `address` in network order, `port` in host order. The socket is left non-
// blocking until finish_connect.
std::uint32_t start_connect_v4(native_handle fd, std::uint32_t address, std::uint16_t port) noexcept;
// The outcome of a connect start_connect_v4 left running: 0 connected, 10035
// still running, or the failure (the socket may then connect again). A
// connect that is over leaves the socket blocking again.
std::uint32_t finish_connect(native_handle fd) noexcept;
// After a connect of the engine's backend failed: makes the socket
// connectable again (Linux leaves it "connecting"; Windows needs nothing).
void reset_failed_connect(native_handle fd) noexcept;

// Both directions.
void shutdown_socket(native_handle fd) noexcept;
void close_socket(native_handle fd) noexcept;

// Waits until one of `handles` is readable (an event, or a listening socket
// with a connection waiting) or reports an error. Returns the index of the
// first such handle, -1 on time-out, -2 when the wait itself failed. A handle
// that is not open counts as ready (its next call reports the error). On
// Windows at most 64 distinct handles; an auto-reset event reported is
// consumed, and a socket is left non-blocking (as its listener is anyway).
int wait_readable(const native_handle* handles, std::size_t count, std::uint32_t timeout_ms) noexcept;

}  // namespace asynframe::platform
