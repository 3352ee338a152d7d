#include "socket/asyn_datagram_device.h"

#include <cstring>
#include <stdexcept>

#include "engine/asyn_io_operation.h"
#include "platform/io_backend.h"
#include "socket/asyn_socket_device.h"
#include "support/assert.h"
#include "support/exceptions.h"

namespace asynframe {
asyn_datagram_device::~asyn_datagram_device() { close(); }

void asyn_datagram_device::start_transfer(asyn_io_operation* operation, std::uint32_t expected_bytes,
                                          std::uint32_t buffer_pos, bool receive) {
    vortan_assert(static_cast<std::uint64_t>(buffer_pos) + expected_bytes <= operation->buffer_len(),
                  "vortan_assert");
    vortan_assert(operation->is_pending() == false, "vortan_assert");

    platform::io_backend* port = io_port();
    if (port == nullptr) throw std::logic_error("datagram device without an engine");
    operation->clear_request();
    operation->set_operate_handle(_socket_handle);
    operation->set_preset_result(0, 0);
    operation->set_result_preset(false);
    operation->set_operation_type(receive ? operation_type::receive : operation_type::send);
    if (receive) operation->address() = platform::endpoint{};
    operation->mark_pending();

    std::uint8_t* buffer = operation->buffer() == nullptr ? nullptr : operation->buffer() + buffer_pos;
    platform::endpoint& peer = operation->address();
    if (!receive) peer = platform::in_family(peer, _family);
    const std::uint32_t error =
        receive ? port->start_recv_from(_socket_handle, buffer, expected_bytes, &peer, *operation)
                : port->start_send_to(_socket_handle, buffer, expected_bytes, peer, *operation);
    if (error != 0) {
        operation->clear_pending();
        throw socket_exception(receive ? "asyn read request error" : "asyn write request error", error);
    }
}

void asyn_datagram_device::close() {
    if (_socket_handle == platform::invalid_socket) return;
    const platform::native_handle fd = _socket_handle;
    _socket_handle = platform::invalid_socket;
    cancel_socket_requests(_singleton, fd);
    platform::close_socket(fd);
}

// ---- UDP ------------------------------------------------------------------------------

void asyn_udp_device::create_socket(platform::endpoint::family_t family) {
    if (_socket_handle != platform::invalid_socket) return;
    platform::native_handle fd = platform::invalid_socket;
    if (const std::uint32_t error = platform::create_udp_socket(family, fd))
        throw socket_exception("create socket object error", error);
    _socket_handle = fd;
    _family = family;
    associate_to_manager();
    platform::ignore_udp_connection_reset(fd);
    const std::uint32_t error = platform::set_broadcast(fd, true);
    // IPv6 has no broadcast: a system may refuse the option on such a socket.
    if (error != 0 && family != platform::endpoint::family_t::ipv6) throw socket_exception("setsockopt error", error);
}

void asyn_udp_device::bind(std::uint32_t ip, std::uint16_t port) { bind(platform::endpoint::v4(ip, port)); }

void asyn_udp_device::bind(const platform::endpoint& address) {
    create_socket(address.family);
    _local_port = address.port;
    if (const std::uint32_t error = platform::bind_endpoint(_socket_handle, address))
        throw socket_exception("bind call error", error);
}

platform::endpoint asyn_udp_device::local_endpoint() {
    if (_socket_handle == platform::invalid_socket) throw std::runtime_error("_socket_handle is invalid.");
    platform::endpoint address;
    if (const std::uint32_t error = platform::local_endpoint(_socket_handle, address))
        throw socket_exception("getsockname call error", error);
    return address;
}

void asyn_udp_device::local_address(std::uint32_t& ip, std::uint16_t& port) {
    const platform::endpoint address = local_endpoint();
    ip = address.v4_address();
    port = address.port;
}

// ---- ICMP ------------------------------------------------------------------------------

void asyn_icmp_device::create_socket() {
    if (_socket_handle != platform::invalid_socket) return;
    platform::native_handle fd = platform::invalid_socket;
    if (const std::uint32_t error = platform::create_icmp_socket(fd))
        throw socket_exception("create socket object error", error);
    if (const std::uint32_t error = platform::set_nonblocking(fd, true)) {
        platform::close_socket(fd);
        throw socket_exception("ioctlsocket socket object error", error);
    }
    _socket_handle = fd;
    associate_to_manager();
}

void asyn_icmp_device::set_ttl(std::uint32_t value) {
    if (const std::uint32_t error = platform::set_ttl(_socket_handle, static_cast<std::uint8_t>(value & 0xFF)))
        throw socket_exception("setsockopt call error", error);
}

}  // namespace asynframe
