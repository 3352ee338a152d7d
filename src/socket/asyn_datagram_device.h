// The datagram devices: a UDP socket of either family and a raw IPv4 ICMP socket. The
// peer of each datagram travels in the operation's address area: a read
// fills in the sender, a write sends to it.
#pragma once

#include <cstdint>

#include "engine/asyn_io_device.h"
#include "engine/ranged_device.h"
#include "platform/socket.h"

namespace asynframe {

class asyn_io_operation;

// Receives and sends shared by both devices.
class asyn_datagram_device : public ranged_device<asyn_io_device> {
public:
    explicit asyn_datagram_device(singleton_instance* instance) noexcept : ranged_device(instance) {}
    ~asyn_datagram_device() override;

    platform::native_handle handle() const override { return _socket_handle; }
    // Cancels what is in flight (995) and closes the socket; no shutdown.
    void close() override;

    void set_singleton(singleton_instance* instance) noexcept { _singleton = instance; }

protected:
    platform::native_handle _socket_handle = platform::invalid_socket;
    // An IPv6 socket sends to IPv4 targets in their mapped form.
    platform::endpoint::family_t _family = platform::endpoint::family_t::ipv4;

private:
    // A length of 0 is allowed: it takes a zero-length datagram.
    void start_transfer(asyn_io_operation* operation, std::uint32_t expected_bytes, std::uint32_t buffer_pos,
                        bool receive) override;
};

class asyn_udp_device : public asyn_datagram_device {
public:
    explicit asyn_udp_device(singleton_instance* instance) noexcept : asyn_datagram_device(instance) {}

    // Nothing when a socket exists. Broadcast is allowed and ICMP reports do
    // not fail later receives.
    void create_socket(platform::endpoint::family_t family = platform::endpoint::family_t::ipv4);
    // `ip` in network order, `port` in host order (0: the system's choice).
    void bind(std::uint32_t ip, std::uint16_t port);
    // Makes the socket in the family of `address` and binds it.
    void bind(const platform::endpoint& address);
    // Address in network order, port in host order; 0 for an IPv6 address.
    void local_address(std::uint32_t& ip, std::uint16_t& port);
    // Either family.
    platform::endpoint local_endpoint();
    platform::endpoint::family_t family() const noexcept { return _family; }

    std::uint16_t local_port() const noexcept { return _local_port; }

private:
    std::uint16_t _local_port = 0;
};

class asyn_icmp_device : public asyn_datagram_device {
public:
    explicit asyn_icmp_device(singleton_instance* instance) noexcept : asyn_datagram_device(instance) {}

    // Nothing when a socket exists.
    void create_socket();
    // The low byte is used.
    void set_ttl(std::uint32_t value);
};

}  // namespace asynframe
