#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/common/socket_address.h"
#include "platform/errors.h"
#include "platform/win32/winsock_start.h"

namespace asynframe::platform {

namespace win32 {

bool start_winsock() noexcept {
    // A function-local static: the compiler serialises the first call.
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

}  // namespace win32

namespace {

SOCKET socket_of(native_handle handle) noexcept { return static_cast<SOCKET>(handle); }

std::uint32_t last_error() noexcept {
    const std::uint32_t code = last_socket_error();
    // A failing call always has a reason; never report one as success.
    return code != 0 ? code : static_cast<std::uint32_t>(WSAEINVAL);
}

std::uint32_t result_of(int value) noexcept { return value == SOCKET_ERROR ? last_error() : 0; }

// A port a live listener holds is 10048 on every system. A socket asking for
// exclusive use of its address may be told 10013 instead (wine does, where
// the port is simply taken), which callers would read as a missing right.
std::uint32_t bind_result(native_handle socket, int value) noexcept {
    const std::uint32_t error = result_of(value);
    if (error != WSAEACCES) return error;
    BOOL exclusive = FALSE;
    int length = sizeof exclusive;
    if (::getsockopt(socket_of(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<char*>(&exclusive),
                     &length) == 0 &&
        exclusive)
        return WSAEADDRINUSE;
    return error;
}

std::uint32_t make_socket(int type, int protocol, native_handle& out, int family = AF_INET) noexcept {
    out = invalid_socket;
    if (!win32::start_winsock()) return WSANOTINITIALISED;
    // Overlapped, so that the completion port can take it; not inherited, as
    // close-on-exec keeps it on Linux.
    const SOCKET s = ::WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return last_error();
    out = static_cast<native_handle>(s);
    return 0;
}

std::uint32_t make_socket_of(endpoint::family_t family, int type, int protocol, native_handle& out) noexcept {
    if (family == endpoint::family_t::ipv4) return make_socket(type, protocol, out, AF_INET);
    if (family != endpoint::family_t::ipv6) {
        out = invalid_socket;
        return WSAEAFNOSUPPORT;
    }
    if (const std::uint32_t error = make_socket(type, protocol, out, AF_INET6)) return error;
    // Windows makes IPv6 sockets IPv6-only by default; Linux does not. Off, so
    // one socket serves both families on both systems.
    const DWORD off = 0;
    ::setsockopt(static_cast<SOCKET>(out), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof off);
    return 0;
}

// `target` as the socket's family takes it: an IPv4 one for an IPv6 socket
// mapped; an IPv6 one for an IPv4 socket has no form (family none).
endpoint for_socket(native_handle socket, const endpoint& target) noexcept {
    const endpoint::family_t family = socket_family(socket);
    if (family == endpoint::family_t::ipv4 && unmapped(target).is_v6()) return endpoint{};
    return in_family(unmapped(target), family);
}

// A peer or local address as the library reports it: IPv4-mapped ones as IPv4.
endpoint from_system(const detail::socket_address& from, int length) noexcept {
    return unmapped(detail::from_socket_address(from, length));
}

std::uint32_t set_blocking_mode(SOCKET s, bool nonblocking) noexcept {
    u_long value = nonblocking ? 1 : 0;
    return result_of(::ioctlsocket(s, static_cast<long>(FIONBIO), &value));
}

// Windows has no per-call "do not wait": the calls that must not block put the
// socket in non-blocking mode, and it stays there.
std::uint32_t make_nonblocking(SOCKET s) noexcept { return set_blocking_mode(s, true); }

// A socket the wait service watched may still carry an event selection, and
// Windows refuses to make such a socket blocking while it does.
void back_to_blocking(SOCKET s) noexcept {
    if (set_blocking_mode(s, false) == WSAEINVAL) {
        ::WSAEventSelect(s, nullptr, 0);
        set_blocking_mode(s, false);
    }
}

int length_of(std::size_t size) noexcept { return size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size); }

}  // namespace

std::uint16_t host_to_net16(std::uint16_t value) noexcept { return htons(value); }
std::uint16_t net_to_host16(std::uint16_t value) noexcept { return ntohs(value); }
std::uint32_t host_to_net32(std::uint32_t value) noexcept { return htonl(value); }

void dotted_address(std::uint32_t address, char (&text)[16]) noexcept {
    in_addr in{};
    in.s_addr = address;
    if (::inet_ntop(AF_INET, &in, text, sizeof text) == nullptr) text[0] = '\0';
}

bool detail::ready_for_address_texts() noexcept { return win32::start_winsock(); }

std::uint32_t create_tcp_socket(endpoint::family_t family, native_handle& out) noexcept {
    return make_socket_of(family, SOCK_STREAM, IPPROTO_TCP, out);
}
std::uint32_t create_udp_socket(endpoint::family_t family, native_handle& out) noexcept {
    return make_socket_of(family, SOCK_DGRAM, IPPROTO_UDP, out);
}

endpoint::family_t socket_family(native_handle socket) noexcept {
    // getsockname fails on a socket not yet bound: the protocol record knows.
    WSAPROTOCOL_INFOW info{};
    int length = sizeof info;
    if (::getsockopt(socket_of(socket), SOL_SOCKET, SO_PROTOCOL_INFOW, reinterpret_cast<char*>(&info), &length) ==
        SOCKET_ERROR)
        return endpoint::family_t::none;
    if (info.iAddressFamily == AF_INET) return endpoint::family_t::ipv4;
    if (info.iAddressFamily == AF_INET6) return endpoint::family_t::ipv6;
    return endpoint::family_t::none;
}

std::uint32_t bind_endpoint(native_handle socket, const endpoint& address) noexcept {
    detail::socket_address local;
    const int length = detail::to_socket_address(for_socket(socket, address), local);
    if (length == 0) return WSAEAFNOSUPPORT;
    return bind_result(socket, ::bind(socket_of(socket), &local.any, length));
}

std::uint32_t local_endpoint(native_handle socket, endpoint& address) noexcept {
    detail::socket_address name{};
    int length = sizeof name;
    if (::getsockname(socket_of(socket), &name.any, &length) == SOCKET_ERROR) return last_error();
    address = from_system(name, length);
    return 0;
}

std::uint32_t peer_endpoint(native_handle socket, endpoint& address) noexcept {
    detail::socket_address name{};
    int length = sizeof name;
    if (::getpeername(socket_of(socket), &name.any, &length) == SOCKET_ERROR) return last_error();
    address = from_system(name, length);
    return 0;
}

std::uint32_t start_connect(native_handle socket, const endpoint& target) noexcept {
    const SOCKET s = socket_of(socket);
    detail::socket_address to;
    const int length = detail::to_socket_address(for_socket(socket, target), to);
    if (length == 0) return WSAEAFNOSUPPORT;
    if (const std::uint32_t error = make_nonblocking(s)) return error;
    if (::connect(s, &to.any, length) == 0) {
        back_to_blocking(s);
        return 0;
    }
    const std::uint32_t error = last_error();
    if (error == WSAEWOULDBLOCK) return WSAEWOULDBLOCK;
    back_to_blocking(s);
    return error;
}

std::uint32_t send_datagram_to(native_handle socket, const void* data, std::size_t size, const endpoint& target) noexcept {
    const SOCKET s = socket_of(socket);
    detail::socket_address to;
    const int length = detail::to_socket_address(for_socket(socket, target), to);
    if (length == 0) return WSAEAFNOSUPPORT;
    if (const std::uint32_t error = make_nonblocking(s)) return error;
    if (::sendto(s, static_cast<const char*>(data), length_of(size), 0, &to.any, length) == SOCKET_ERROR)
        return last_error();
    return 0;
}

std::uint32_t receive_datagram_from(native_handle socket, void* buffer, std::size_t size, std::size_t& received,
                                    endpoint& from) noexcept {
    received = 0;
    const SOCKET s = socket_of(socket);
    if (const std::uint32_t error = make_nonblocking(s)) return error;
    for (;;) {
        detail::socket_address sender{};
        int length = sizeof sender;
        const int n = ::recvfrom(s, static_cast<char*>(buffer), length_of(size), 0, &sender.any, &length);
        if (n == SOCKET_ERROR) {
            const std::uint32_t error = last_error();
            // As receive_datagram_now: a cut datagram still counts, a stale
            // port-unreachable report does not.
            if (error == WSAECONNRESET) continue;
            if (error != WSAEMSGSIZE) return error;
        }
        received = n == SOCKET_ERROR ? size : static_cast<std::size_t>(n);
        from = from_system(sender, length);
        return 0;
    }
}

std::uint32_t create_tcp_socket(native_handle& out) noexcept { return make_socket(SOCK_STREAM, IPPROTO_TCP, out); }
std::uint32_t create_udp_socket(native_handle& out) noexcept { return make_socket(SOCK_DGRAM, IPPROTO_UDP, out); }
std::uint32_t create_icmp_socket(native_handle& out) noexcept { return make_socket(SOCK_RAW, IPPROTO_ICMP, out); }

std::uint32_t start_connect_v4(native_handle socket, std::uint32_t address, std::uint16_t port) noexcept {
    const SOCKET s = socket_of(socket);
    if (const std::uint32_t error = make_nonblocking(s)) return error;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = address;
    if (::connect(s, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
        back_to_blocking(s);
        return 0;
    }
    const std::uint32_t error = last_error();
    // WSAEWOULDBLOCK is how Windows says that a non-blocking connect runs.
    if (error == WSAEWOULDBLOCK) return WSAEWOULDBLOCK;
    back_to_blocking(s);
    return error;
}

// Windows lets a socket whose connect failed connect again as it is.
void reset_failed_connect(native_handle) noexcept {}

std::uint32_t finish_connect(native_handle socket) noexcept {
    const SOCKET s = socket_of(socket);
    // A signal that is not this connect's end (a stale or early wake-up) must not
    // read as success: the socket has to be writable or failed first.
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval now{0, 0};
    const int ready = ::select(0, nullptr, &writable, &failed, &now);
    if (ready == SOCKET_ERROR) return last_error();
    if (ready == 0) return WSAEWOULDBLOCK;
    int error = 0;
    int length = sizeof error;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == SOCKET_ERROR)
        error = static_cast<int>(last_error());
    // In the failed set without a code: the attempt ended without one.
    if (error == 0 && FD_ISSET(s, &failed)) error = WSAENOTCONN;
    // Windows lets a socket whose connect failed connect again as it is.
    back_to_blocking(s);
    return static_cast<std::uint32_t>(error);
}

std::uint32_t set_nonblocking(native_handle socket, bool on) noexcept { return set_blocking_mode(socket_of(socket), on); }

std::uint32_t set_recv_buffer(native_handle socket, std::int32_t bytes) noexcept {
    const int value = bytes;
    return result_of(
        ::setsockopt(socket_of(socket), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&value), sizeof value));
}

std::uint32_t set_broadcast(native_handle socket, bool on) noexcept {
    const BOOL value = on ? TRUE : FALSE;
    return result_of(
        ::setsockopt(socket_of(socket), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&value), sizeof value));
}

std::uint32_t set_ttl(native_handle socket, std::uint8_t ttl) noexcept {
    const DWORD value = ttl;
    return result_of(
        ::setsockopt(socket_of(socket), IPPROTO_IP, IP_TTL, reinterpret_cast<const char*>(&value), sizeof value));
}

std::uint32_t ignore_udp_connection_reset(native_handle socket) noexcept {
    // Otherwise a port-unreachable answer to one send fails the next receive
    // with WSAECONNRESET, even on an unconnected socket.
    BOOL report = FALSE;
    DWORD returned = 0;
    return result_of(::WSAIoctl(socket_of(socket), SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned,
                                nullptr, nullptr));
}

std::uint32_t set_reuse_address(native_handle socket, bool on) noexcept {
    // Windows binds a port in TIME_WAIT without being asked, and SO_REUSEADDR
    // would let this socket take a port another live listener holds: the
    // exclusive use keeps that bind failing, as it fails on Linux.
    const BOOL value = on ? TRUE : FALSE;
    return result_of(::setsockopt(socket_of(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                                  reinterpret_cast<const char*>(&value), sizeof value));
}

std::uint32_t bind_v4(native_handle socket, std::uint32_t address, std::uint16_t port) noexcept {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = address;
    return bind_result(socket, ::bind(socket_of(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local));
}

std::uint32_t listen_socket(native_handle socket, int backlog) noexcept {
    return result_of(::listen(socket_of(socket), backlog));
}

int max_listen_backlog() noexcept { return SOMAXCONN; }

std::uint32_t local_name(native_handle socket, socket_address_v4& address) noexcept {
    sockaddr_in name{};
    int length = sizeof name;
    if (::getsockname(socket_of(socket), reinterpret_cast<sockaddr*>(&name), &length) == SOCKET_ERROR)
        return last_error();
    static_assert(sizeof name == sizeof address);
    std::memcpy(static_cast<void*>(&address), &name, sizeof address);
    return 0;
}

std::uint32_t peer_name(native_handle socket, socket_address_v4& address) noexcept {
    sockaddr_in name{};
    int length = sizeof name;
    if (::getpeername(socket_of(socket), reinterpret_cast<sockaddr*>(&name), &length) == SOCKET_ERROR)
        return last_error();
    std::memcpy(static_cast<void*>(&address), &name, sizeof address);
    return 0;
}

std::uint32_t send_datagram_now(native_handle socket, const void* data, std::size_t size, std::uint32_t address,
                                std::uint16_t port) noexcept {
    const SOCKET s = socket_of(socket);
    if (const std::uint32_t error = make_nonblocking(s)) return error;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = port;
    to.sin_addr.s_addr = address;
    if (::sendto(s, static_cast<const char*>(data), length_of(size), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to) == SOCKET_ERROR)
        return last_error();
    return 0;
}

std::uint32_t receive_datagram_now(native_handle socket, void* buffer, std::size_t size, std::size_t& received,
                                   socket_address_v4& from) noexcept {
    received = 0;
    const SOCKET s = socket_of(socket);
    if (const std::uint32_t error = make_nonblocking(s)) return error;
    for (;;) {
        sockaddr_in sender{};
        int length = sizeof sender;
        const int n =
            ::recvfrom(s, static_cast<char*>(buffer), length_of(size), 0, reinterpret_cast<sockaddr*>(&sender), &length);
        std::uint32_t error = 0;
        if (n == SOCKET_ERROR) {
            error = last_error();
            // Linux cuts a longer datagram to the buffer and says nothing;
            // Windows keeps the part too but reports it.
            if (error != WSAEMSGSIZE) {
                // A port-unreachable report of an earlier send: not this
                // receive's failure, the next datagram may be fine.
                if (error == WSAECONNRESET) continue;
                return error;
            }
        }
        received = n == SOCKET_ERROR ? size : static_cast<std::size_t>(n);
        std::memcpy(static_cast<void*>(&from), &sender, sizeof from);
        return 0;
    }
}

std::uint32_t connect_datagram_v4(native_handle socket, std::uint32_t address, std::uint16_t port) noexcept {
    const SOCKET s = socket_of(socket);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = address;
    // A datagram connect sends nothing and never waits. SIO_UDP_CONNRESET is
    // left on (the default): a port-unreachable answer to a send then fails
    // the next receive with WSAECONNRESET, which is what this socket is for.
    return result_of(::connect(s, reinterpret_cast<const sockaddr*>(&target), sizeof target));
}

std::uint32_t send_connected_datagram_now(native_handle socket, const void* data, std::size_t size) noexcept {
    const SOCKET s = socket_of(socket);
    if (const std::uint32_t error = make_nonblocking(s)) return error;
    const std::uint32_t error = result_of(::send(s, static_cast<const char*>(data), length_of(size), 0));
    return error == WSAECONNRESET ? static_cast<std::uint32_t>(WSAECONNREFUSED) : error;
}

std::uint32_t receive_connected_datagram_now(native_handle socket, void* buffer, std::size_t size,
                                             std::size_t& received) noexcept {
    received = 0;
    const SOCKET s = socket_of(socket);
    if (const std::uint32_t error = make_nonblocking(s)) return error;
    const int n = ::recv(s, static_cast<char*>(buffer), length_of(size), 0);
    if (n != SOCKET_ERROR) {
        received = static_cast<std::size_t>(n);
        return 0;
    }
    const std::uint32_t error = last_error();
    // Linux cuts a longer datagram to the buffer and says nothing; Windows
    // keeps the part too but reports it.
    if (error == WSAEMSGSIZE) {
        received = size;
        return 0;
    }
    // The port-unreachable report of an earlier send: the peer refused.
    if (error == WSAECONNRESET) return WSAECONNREFUSED;
    if (error != WSAEWOULDBLOCK) return error;
    // Wine says it otherwise: the socket's network events report FD_CLOSE
    // with 10061 and the receive would block; the refusal waits in
    // SO_ERROR, which stays set (the caller gives up such a socket).
    int pending = 0;
    int length = sizeof pending;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &length) == 0 &&
        (peer_refused(static_cast<std::uint32_t>(pending)) || peer_unreachable(static_cast<std::uint32_t>(pending))))
        return pending == WSAECONNRESET ? static_cast<std::uint32_t>(WSAECONNREFUSED) : static_cast<std::uint32_t>(pending);
    return WSAEWOULDBLOCK;
}

std::uint32_t receive_connected_datagrams_now(native_handle fd, datagram_buffer* buffers, std::size_t count,
                                              std::size_t& taken) noexcept {
    // One at a time: a refusal Windows reports on a receive after some
    // datagrams would be lost if more were asked for in the same call.
    taken = 0;
    if (count == 0) return WSAEINVAL;
    const std::uint32_t error = receive_connected_datagram_now(fd, buffers[0].data, buffers[0].size, buffers[0].received);
    if (error == 0) taken = 1;
    return error;
}

std::uint32_t send_stream_now(native_handle socket, const void* data, std::size_t size, std::size_t& sent) noexcept {
    sent = 0;
    const SOCKET s = socket_of(socket);
    if (const std::uint32_t error = make_nonblocking(s)) return error;
    // Winsock raises no signal for a closed peer: nothing to suppress.
    const int n = ::send(s, static_cast<const char*>(data), length_of(size), 0);
    if (n == SOCKET_ERROR) return last_error();
    sent = static_cast<std::size_t>(n);
    return 0;
}

std::uint32_t receive_stream_now(native_handle socket, void* buffer, std::size_t size, std::size_t& received) noexcept {
    received = 0;
    const SOCKET s = socket_of(socket);
    if (const std::uint32_t error = make_nonblocking(s)) return error;
    const int n = ::recv(s, static_cast<char*>(buffer), length_of(size), 0);
    if (n == SOCKET_ERROR) return last_error();
    received = static_cast<std::size_t>(n);
    return 0;
}

std::uint32_t accept_now(native_handle listener, native_handle& out, endpoint* peer) noexcept {
    out = invalid_socket;
    const SOCKET l = socket_of(listener);
    // accept() waits on a blocking listener: make sure it cannot.
    if (const std::uint32_t error = make_nonblocking(l)) return error;
    for (;;) {
        detail::socket_address name{};
        int length = sizeof name;
        const SOCKET s = ::accept(l, &name.any, &length);
        if (s == INVALID_SOCKET) {
            const std::uint32_t error = last_error();
            // The connection went away while it waited: try the next one later.
            if (error == WSAECONNRESET || error == WSAECONNABORTED) return WSAEWOULDBLOCK;
            return error;
        }
        // The new socket inherits the listener's non-blocking mode and event
        // selection; the devices expect a plain blocking socket, as on Linux.
        ::WSAEventSelect(s, nullptr, 0);
        if (set_blocking_mode(s, false) != 0) {
            ::closesocket(s);
            continue;
        }
        ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
        out = static_cast<native_handle>(s);
        if (peer != nullptr) *peer = from_system(name, length);
        return 0;
    }
}

std::uint32_t check_socket(native_handle socket) noexcept {
    if (!win32::start_winsock()) return WSANOTINITIALISED;
    int type = 0;
    int length = sizeof type;
    return result_of(::getsockopt(socket_of(socket), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length));
}

void shutdown_socket(native_handle socket) noexcept { ::shutdown(socket_of(socket), SD_BOTH); }

void close_socket(native_handle socket) noexcept { ::closesocket(socket_of(socket)); }

}  // namespace asynframe::platform
