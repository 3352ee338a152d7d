#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/common/socket_address.h"
#include "platform/errors.h"
#include "platform/fault.h"

namespace asynframe::platform {
namespace {

std::uint32_t result_of(int value) noexcept { return value < 0 ? socket_error_from_errno(errno) : 0; }

// Connecting to AF_UNSPEC dissolves a socket's association. On a connected
// TCP socket that drops the connection at once (an injected reset made real:
// the peer gets a reset, later calls fail); on one whose connect failed it
// makes the socket connectable again.
void dissolve_association(int fd) noexcept {
    sockaddr unspecified{};
    unspecified.sa_family = AF_UNSPEC;
    ::connect(fd, &unspecified, sizeof unspecified);
}

// An injected fault before a transfer (platform/fault.h): 0 to go on, else the
// errno to fail with. A short transfer halves `size` (a datagram is never cut).
int injected_transfer(fault::site where, std::size_t& size, bool stream = true) noexcept {
    const int injected = fault::next(where);
    if (injected != fault::short_transfer) return injected;
    if (stream && size > 1) size /= 2;
    return 0;
}

std::uint32_t make_socket(int type, int protocol, native_handle& out, int family = AF_INET) noexcept {
    if (const int injected = fault::next(fault::site::socket); fault::is_error(injected)) {
        out = invalid_socket;
        return socket_error_from_errno(injected);
    }
    const int fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        out = invalid_socket;
        return socket_error_from_errno(errno);
    }
    out = fd;
    return 0;
}

std::uint32_t make_socket_of(endpoint::family_t family, int type, int protocol, native_handle& out) noexcept {
    if (family == endpoint::family_t::ipv4) return make_socket(type, protocol, out, AF_INET);
    if (family != endpoint::family_t::ipv6) {
        out = invalid_socket;
        return socket_error_from_errno(EAFNOSUPPORT);
    }
    if (const std::uint32_t error = make_socket(type, protocol, out, AF_INET6)) return error;
    // The system default (net.ipv6.bindv6only) may differ: one IPv6 socket
    // serves both families unless the host binds it to an IPv6 address.
    const int off = 0;
    ::setsockopt(static_cast<int>(out), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
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

}  // namespace

std::uint16_t host_to_net16(std::uint16_t value) noexcept { return htons(value); }
std::uint16_t net_to_host16(std::uint16_t value) noexcept { return ntohs(value); }
std::uint32_t host_to_net32(std::uint32_t value) noexcept { return htonl(value); }

void dotted_address(std::uint32_t address, char (&text)[16]) noexcept {
    in_addr in{};
    in.s_addr = address;
    if (::inet_ntop(AF_INET, &in, text, sizeof text) == nullptr) text[0] = '\0';
}

bool detail::ready_for_address_texts() noexcept { return true; }

std::uint32_t create_tcp_socket(endpoint::family_t family, native_handle& out) noexcept {
    return make_socket_of(family, SOCK_STREAM, IPPROTO_TCP, out);
}
std::uint32_t create_udp_socket(endpoint::family_t family, native_handle& out) noexcept {
    return make_socket_of(family, SOCK_DGRAM, 0, out);
}

endpoint::family_t socket_family(native_handle socket) noexcept {
    detail::socket_address name{};
    socklen_t length = sizeof name;
    if (::getsockname(static_cast<int>(socket), &name.any, &length) != 0) return endpoint::family_t::none;
    if (name.any.sa_family == AF_INET) return endpoint::family_t::ipv4;
    if (name.any.sa_family == AF_INET6) return endpoint::family_t::ipv6;
    return endpoint::family_t::none;
}

std::uint32_t bind_endpoint(native_handle socket, const endpoint& address) noexcept {
    detail::socket_address local;
    const socklen_t length = detail::to_socket_address(for_socket(socket, address), local);
    if (length == 0) return socket_error_from_errno(EAFNOSUPPORT);
    return result_of(::bind(static_cast<int>(socket), &local.any, length));
}

std::uint32_t local_endpoint(native_handle socket, endpoint& address) noexcept {
    detail::socket_address name{};
    socklen_t length = sizeof name;
    if (::getsockname(static_cast<int>(socket), &name.any, &length) != 0) return socket_error_from_errno(errno);
    address = from_system(name, length);
    return 0;
}

std::uint32_t peer_endpoint(native_handle socket, endpoint& address) noexcept {
    detail::socket_address name{};
    socklen_t length = sizeof name;
    if (::getpeername(static_cast<int>(socket), &name.any, &length) != 0) return socket_error_from_errno(errno);
    address = from_system(name, length);
    return 0;
}

std::uint32_t start_connect(native_handle socket, const endpoint& target) noexcept {
    const int fd = static_cast<int>(socket);
    detail::socket_address to;
    const socklen_t length = detail::to_socket_address(for_socket(socket, target), to);
    if (length == 0) return socket_error_from_errno(EAFNOSUPPORT);
    if (const int injected = fault::next(fault::site::connect); fault::is_error(injected))
        return socket_error_from_errno(injected);
    if (::fcntl(fd, F_SETFL, O_NONBLOCK) < 0) return socket_error_from_errno(errno);
    int result;
    do {
        result = ::connect(fd, &to.any, length);
    } while (result < 0 && errno == EINTR);
    if (result == 0) {
        ::fcntl(fd, F_SETFL, 0);
        return 0;
    }
    if (errno == EINPROGRESS) return 10035;
    const std::uint32_t error = socket_error_from_errno(errno);
    ::fcntl(fd, F_SETFL, 0);
    return error;
}

std::uint32_t send_datagram_to(native_handle socket, const void* data, std::size_t size, const endpoint& target) noexcept {
    const int fd = static_cast<int>(socket);
    detail::socket_address to;
    const socklen_t length = detail::to_socket_address(for_socket(socket, target), to);
    if (length == 0) return socket_error_from_errno(EAFNOSUPPORT);
    for (;;) {
        if (const int injected = injected_transfer(fault::site::send, size, false)) {
            if (injected == EINTR) continue;
            return socket_error_from_errno(injected);
        }
        if (::sendto(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL, &to.any, length) >= 0) return 0;
        if (errno != EINTR) return socket_error_from_errno(errno);
    }
}

std::uint32_t receive_datagram_from(native_handle socket, void* buffer, std::size_t size, std::size_t& received,
                                    endpoint& from) noexcept {
    const int fd = static_cast<int>(socket);
    received = 0;
    for (;;) {
        if (const int injected = injected_transfer(fault::site::recv, size, false)) {
            if (injected == EINTR) continue;
            return socket_error_from_errno(injected);
        }
        detail::socket_address sender{};
        socklen_t length = sizeof sender;
        const ssize_t n = ::recvfrom(fd, buffer, size, MSG_DONTWAIT, &sender.any, &length);
        if (n >= 0) {
            received = static_cast<std::size_t>(n);
            from = from_system(sender, length);
            return 0;
        }
        if (errno != EINTR) return socket_error_from_errno(errno);
    }
}

std::uint32_t create_tcp_socket(native_handle& out) noexcept { return make_socket(SOCK_STREAM, IPPROTO_TCP, out); }
std::uint32_t create_udp_socket(native_handle& out) noexcept { return make_socket(SOCK_DGRAM, 0, out); }
std::uint32_t create_icmp_socket(native_handle& out) noexcept { return make_socket(SOCK_RAW, IPPROTO_ICMP, out); }

std::uint32_t start_connect_v4(native_handle socket, std::uint32_t address, std::uint16_t port) noexcept {
    const int fd = static_cast<int>(socket);
    if (const int injected = fault::next(fault::site::connect); fault::is_error(injected))
        return socket_error_from_errno(injected);
    // The devices' sockets carry no other status flag, so one call sets it.
    if (::fcntl(fd, F_SETFL, O_NONBLOCK) < 0) return socket_error_from_errno(errno);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = address;
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target);
    } while (result < 0 && errno == EINTR);
    if (result == 0) {
        ::fcntl(fd, F_SETFL, 0);
        return 0;
    }
    if (errno == EINPROGRESS) return 10035;
    const std::uint32_t error = socket_error_from_errno(errno);
    ::fcntl(fd, F_SETFL, 0);
    return error;
}

std::uint32_t finish_connect(native_handle socket) noexcept {
    const int fd = static_cast<int>(socket);
    // A signal that is not this connect's end (a stale or early wake-up) must not
    // read as success: the socket has to be writable or failed first.
    pollfd ready{fd, POLLOUT, 0};
    int polled;
    do {
        polled = ::poll(&ready, 1, 0);
    } while (polled < 0 && errno == EINTR);
    if (polled < 0) return socket_error_from_errno(errno);
    if (polled == 0) return 10035;
    int error = 0;
    ::socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0) error = errno;
    // Writable without an error yet not connected: the attempt ended with no code.
    if (error == 0 && (ready.revents & (POLLERR | POLLHUP)) != 0) error = ENOTCONN;
    if (error != 0) {
        // The socket still counts as connecting, and its next connect would
        // fail at once.
        dissolve_association(fd);
    }
    ::fcntl(fd, F_SETFL, 0);
    return error == 0 ? 0 : socket_error_from_errno(error);
}

void reset_failed_connect(native_handle socket) noexcept { dissolve_association(static_cast<int>(socket)); }

std::uint32_t set_nonblocking(native_handle socket, bool on) noexcept {
    const int fd = static_cast<int>(socket);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return socket_error_from_errno(errno);
    return result_of(::fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)));
}

std::uint32_t set_recv_buffer(native_handle socket, std::int32_t bytes) noexcept {
    const int fd = static_cast<int>(socket);
    const int value = bytes;
    return result_of(::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &value, sizeof value));
}

std::uint32_t set_broadcast(native_handle socket, bool on) noexcept {
    const int fd = static_cast<int>(socket);
    const int value = on ? 1 : 0;
    return result_of(::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &value, sizeof value));
}

std::uint32_t set_ttl(native_handle socket, std::uint8_t ttl) noexcept {
    const int fd = static_cast<int>(socket);
    const int value = ttl;
    return result_of(::setsockopt(fd, IPPROTO_IP, IP_TTL, &value, sizeof value));
}

std::uint32_t ignore_udp_connection_reset(native_handle socket) noexcept {
    const int fd = static_cast<int>(socket);
    // An unconnected socket here never reports ICMP errors unless IP_RECVERR
    // asks for them; it stays off.
    const int value = 0;
    return result_of(::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &value, sizeof value));
}

std::uint32_t set_reuse_address(native_handle socket, bool on) noexcept {
    const int fd = static_cast<int>(socket);
    const int value = on ? 1 : 0;
    return result_of(::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &value, sizeof value));
}

std::uint32_t bind_v4(native_handle socket, std::uint32_t address, std::uint16_t port) noexcept {
    const int fd = static_cast<int>(socket);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = address;
    return result_of(::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local));
}

std::uint32_t listen_socket(native_handle socket, int backlog) noexcept {
    return result_of(::listen(static_cast<int>(socket), backlog));
}

int max_listen_backlog() noexcept {
    // The kernel silently truncates larger values to this one.
    static const int maximum = [] {
        int value = SOMAXCONN;
        if (std::FILE* file = std::fopen("/proc/sys/net/core/somaxconn", "re")) {
            int read = 0;
            if (std::fscanf(file, "%d", &read) == 1 && read > 0) value = read;
            std::fclose(file);
        }
        return value;
    }();
    return maximum;
}

std::uint32_t local_name(native_handle socket, socket_address_v4& address) noexcept {
    const int fd = static_cast<int>(socket);
    sockaddr_in name{};
    socklen_t length = sizeof name;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&name), &length) != 0) return socket_error_from_errno(errno);
    std::memcpy(static_cast<void*>(&address), &name, sizeof address);
    return 0;
}

std::uint32_t send_datagram_now(native_handle socket, const void* data, std::size_t size, std::uint32_t address,
                                std::uint16_t port) noexcept {
    const int fd = static_cast<int>(socket);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = port;
    to.sin_addr.s_addr = address;
    for (;;) {
        if (const int injected = injected_transfer(fault::site::send, size, false)) {
            if (injected == EINTR) continue;
            return socket_error_from_errno(injected);
        }
        if (::sendto(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                     sizeof to) >= 0)
            return 0;
        if (errno != EINTR) return socket_error_from_errno(errno);
    }
}

std::uint32_t receive_datagram_now(native_handle socket, void* buffer, std::size_t size, std::size_t& received,
                                   socket_address_v4& from) noexcept {
    const int fd = static_cast<int>(socket);
    received = 0;
    for (;;) {
        if (const int injected = injected_transfer(fault::site::recv, size, false)) {
            if (injected == EINTR) continue;
            return socket_error_from_errno(injected);
        }
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t n = ::recvfrom(fd, buffer, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sender), &length);
        if (n >= 0) {
            received = static_cast<std::size_t>(n);
            std::memcpy(static_cast<void*>(&from), &sender, sizeof from);
            return 0;
        }
        if (errno != EINTR) return socket_error_from_errno(errno);
    }
}

std::uint32_t connect_datagram_v4(native_handle socket, std::uint32_t address, std::uint16_t port) noexcept {
    const int fd = static_cast<int>(socket);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = address;
    // A datagram connect only picks the route and the local address: it never
    // waits, and reports at once a peer there is no route to. A connected
    // socket hears the ICMP errors of its sends without IP_RECVERR.
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target);
    } while (result < 0 && errno == EINTR);
    return result_of(result);
}

std::uint32_t send_connected_datagram_now(native_handle socket, const void* data, std::size_t size) noexcept {
    const int fd = static_cast<int>(socket);
    for (;;) {
        if (::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return 0;
        if (errno != EINTR) return socket_error_from_errno(errno);
    }
}

std::uint32_t receive_connected_datagram_now(native_handle socket, void* buffer, std::size_t size,
                                             std::size_t& received) noexcept {
    const int fd = static_cast<int>(socket);
    received = 0;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, size, MSG_DONTWAIT);
        if (n >= 0) {
            received = static_cast<std::size_t>(n);
            return 0;
        }
        if (errno != EINTR) return socket_error_from_errno(errno);
    }
}

std::uint32_t receive_connected_datagrams_now(native_handle socket, datagram_buffer* buffers, std::size_t count,
                                              std::size_t& taken) noexcept {
    taken = 0;
    constexpr std::size_t most = 16;
    if (count == 0) return socket_error_from_errno(EINVAL);
    if (count > most) count = most;
    iovec pieces[most];
    mmsghdr messages[most];
    std::memset(messages, 0, sizeof(mmsghdr) * count);
    for (std::size_t i = 0; i < count; ++i) {
        pieces[i] = iovec{buffers[i].data, buffers[i].size};
        messages[i].msg_hdr.msg_iov = &pieces[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    for (;;) {
        const int n = ::recvmmsg(static_cast<int>(socket), messages, static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
        if (n > 0) {
            taken = static_cast<std::size_t>(n);
            for (std::size_t i = 0; i < taken; ++i) buffers[i].received = messages[i].msg_len;
            return 0;
        }
        if (n == 0) return socket_error_from_errno(EAGAIN);
        if (errno != EINTR) return socket_error_from_errno(errno);
    }
}

std::uint32_t send_stream_now(native_handle socket, const void* data, std::size_t size, std::size_t& sent) noexcept {
    const int fd = static_cast<int>(socket);
    sent = 0;
    for (;;) {
        if (const int injected = injected_transfer(fault::site::send, size)) {
            if (injected == EINTR) continue;
            if (injected == ECONNRESET) dissolve_association(fd);  // a reset for good, as a real one
            return socket_error_from_errno(injected);
        }
        const ssize_t n = ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0) {
            sent = static_cast<std::size_t>(n);
            return 0;
        }
        if (errno != EINTR) return socket_error_from_errno(errno);
    }
}

std::uint32_t receive_stream_now(native_handle socket, void* buffer, std::size_t size, std::size_t& received) noexcept {
    const int fd = static_cast<int>(socket);
    received = 0;
    for (;;) {
        if (const int injected = injected_transfer(fault::site::recv, size)) {
            if (injected == EINTR) continue;
            if (injected == ECONNRESET) dissolve_association(fd);  // a reset for good, as a real one
            return socket_error_from_errno(injected);
        }
        const ssize_t n = ::recv(fd, buffer, size, MSG_DONTWAIT);
        if (n >= 0) {
            received = static_cast<std::size_t>(n);
            return 0;
        }
        if (errno != EINTR) return socket_error_from_errno(errno);
    }
}

std::uint32_t peer_name(native_handle socket, socket_address_v4& address) noexcept {
    const int fd = static_cast<int>(socket);
    sockaddr_in name{};
    socklen_t length = sizeof name;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&name), &length) != 0) return socket_error_from_errno(errno);
    std::memcpy(static_cast<void*>(&address), &name, sizeof address);
    return 0;
}

std::uint32_t accept_now(native_handle listener, native_handle& out, endpoint* peer) noexcept {
    for (;;) {
        detail::socket_address name{};
        socklen_t length = sizeof name;
        const int fd = ::accept4(static_cast<int>(listener), &name.any, &length, SOCK_CLOEXEC);
        // accept4 never passes the listener's O_NONBLOCK on: the socket blocks,
        // as the devices expect.
        if (fd >= 0) {
            if (const int injected = fault::next(fault::site::accept); fault::is_error(injected)) {
                ::close(fd);
                out = invalid_socket;
                return socket_error_from_errno(injected == ECONNABORTED ? EWOULDBLOCK : injected);
            }
            out = fd;
            if (peer != nullptr) *peer = from_system(name, length);
            return 0;
        }
        const int error = errno;
        out = invalid_socket;
        if (error == EINTR) continue;
        // The connection went away while it waited: try the next one later.
        if (error == ECONNABORTED) return socket_error_from_errno(EWOULDBLOCK);
        return socket_error_from_errno(error);
    }
}

std::uint32_t check_socket(native_handle socket) noexcept {
    const int fd = static_cast<int>(socket);
    int type = 0;
    socklen_t length = sizeof type;
    return result_of(::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length));
}

void shutdown_socket(native_handle socket) noexcept { ::shutdown(static_cast<int>(socket), SHUT_RDWR); }

void close_socket(native_handle socket) noexcept {
    // Once: Linux frees the descriptor even when close reports EINTR, so a
    // retry could close one another thread has just been given.
    ::close(static_cast<int>(socket));
}

int wait_readable(const native_handle* fds, std::size_t count, std::uint32_t timeout_ms) noexcept {
    constexpr std::size_t inline_entries = 64;
    pollfd inline_storage[inline_entries];
    std::vector<pollfd> heap_storage;
    pollfd* entries = inline_storage;
    if (count > inline_entries) {
        try {
            heap_storage.resize(count);
        } catch (...) {
            return -2;
        }
        entries = heap_storage.data();
    }
    for (std::size_t i = 0; i < count; ++i) {
        // Many requests may watch one listener: the kernel is asked once per
        // descriptor (poll skips negative ones), and the first index answers.
        bool repeated = false;
        for (std::size_t j = 0; j < i && !repeated; ++j) repeated = fds[j] == fds[i];
        entries[i].fd = repeated ? -1 : static_cast<int>(fds[i]);
        entries[i].events = POLLIN;
        entries[i].revents = 0;
    }
    const int timeout = timeout_ms == 0xFFFFFFFFu ? -1 : static_cast<int>(timeout_ms > 0x7FFFFFFF ? 0x7FFFFFFF : timeout_ms);
    for (;;) {
        const int ready = ::poll(entries, static_cast<nfds_t>(count), timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return -2;
        }
        if (ready == 0) return -1;
        for (std::size_t i = 0; i < count; ++i)
            if (entries[i].revents != 0) return static_cast<int>(i);
        return -1;
    }
}

}  // namespace asynframe::platform
