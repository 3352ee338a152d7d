// The TCP socket device: one stream socket of either family whose receives and
// sends complete through the engine, and which can also listen and accept.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/asyn_io_device.h"
#include "engine/ranged_device.h"
#include "platform/error_codes.h"
#include "platform/socket.h"
#include "socket/connect_manager.h"

namespace asynframe {

class asyn_io_operation;

// What a connect answers on an engine without a connection scheduler
// (WSAEOPNOTSUPP): the request completes with it.
inline constexpr std::uint32_t connect_unavailable_error = 10045;

class asyn_socket_device : public asyn_io_device {
public:
    static constexpr std::int32_t default_recv_timeout = 90000;
    static constexpr std::int32_t default_recv_buffer_size = 8192;

    explicit asyn_socket_device(singleton_instance* instance) noexcept : asyn_io_device(instance) {}

    virtual void connect(const std::string& host, std::uint16_t port, asyn_io_operation* operation,
                         std::int32_t priority) = 0;
    virtual bool local_address(platform::socket_address_v4& address);
    virtual bool peer_address(platform::socket_address_v4& address);
    // Either family; an IPv4-mapped address comes as IPv4.
    virtual bool local_endpoint(platform::endpoint& address);
    virtual bool peer_endpoint(platform::endpoint& address);
    // -1 turns the receive time-out off.
    virtual void set_recv_timeout(std::int32_t millisecond) { _recv_timeout = millisecond; }
    virtual void reserved_hook(std::uint32_t) {}
    virtual void set_recv_buffer_size(std::int32_t bytes) { _recv_buffer_size = bytes; }

    std::int32_t recv_timeout() const noexcept { return _recv_timeout; }
    std::int32_t recv_buffer_size() const noexcept { return _recv_buffer_size; }

protected:
    std::int32_t _recv_timeout = default_recv_timeout;
    std::int32_t _recv_buffer_size = default_recv_buffer_size;
};

class asyn_socket_device_imp : public ranged_device<asyn_socket_device>, public connect_target {
public:
    // A device with no socket yet.
    explicit asyn_socket_device_imp(singleton_instance* instance);
    // A device over an accepted socket, which it owns from here on.
    // `peer`: the address the accept reported, when it did.
    asyn_socket_device_imp(singleton_instance* instance, platform::native_handle socket_handle,
                           const platform::endpoint& peer = {});
    ~asyn_socket_device_imp() override;

    asyn_socket_device_imp(const asyn_socket_device_imp&) = delete;
    asyn_socket_device_imp& operator=(const asyn_socket_device_imp&) = delete;

    platform::native_handle handle() const override { return _socket_handle; }
    // Cancels what is in flight (each request completes with 995), then shuts
    // the socket down and closes it. Idempotent.
    void close() override;

    void connect(const std::string& host, std::uint16_t port, asyn_io_operation* operation,
                 std::int32_t priority) override;
    // False for an address that is not IPv4.
    bool local_address(platform::socket_address_v4& address) override;
    bool peer_address(platform::socket_address_v4& address) override;
    bool local_endpoint(platform::endpoint& address) override;
    bool peer_endpoint(platform::endpoint& address) override;
    void set_recv_buffer_size(std::int32_t bytes) override;

    // `ip` in network order (0: any), `port` in host order (0: the system's choice).
    void listen(std::uint32_t ip, std::uint16_t port);
    // Makes the socket in the family of `address` and listens there.
    void listen(const platform::endpoint& address);
    // Makes the socket in the family of `address` and binds it, before a connect.
    void bind(const platform::endpoint& address);
    bool has_socket() const noexcept { return _socket_handle != platform::invalid_socket; }
    void accept(asyn_io_operation* operation);
    // On the device an accept produced, once the accept completed without error.
    void on_accepted(asyn_io_operation* operation);

    // The scheduler's: a socket per raced attempt, and the one that connected.
    std::uint32_t make_attempt_socket(platform::endpoint::family_t family,
                                      platform::native_handle& socket) noexcept override;
    void adopt_connected_socket(platform::native_handle connected) noexcept override;
    platform::endpoint::family_t own_socket_family() const noexcept override { return _family; }

    std::uint16_t local_port() const noexcept { return _local_port; }
    bool recv_buffer_pending() const noexcept { return _set_recv_buffer; }
    bool has_accepted_addresses() const noexcept {
        return _accepted_peer_address.family != platform::endpoint::family_t::none;
    }

private:
    platform::native_handle create_socket(platform::endpoint::family_t family = platform::endpoint::family_t::ipv4);
    void read_settings();
    // "socket"/"listen_backlog", at least 1 and at most the system's maximum.
    int listen_backlog() const;
    void start_transfer(asyn_io_operation* operation, std::uint32_t expected_bytes, std::uint32_t buffer_pos,
                        bool receive) override;

    platform::native_handle _socket_handle = platform::invalid_socket;
    // The family create_socket() last made a socket of.
    platform::endpoint::family_t _family = platform::endpoint::family_t::ipv4;
    bool _set_recv_buffer = false;
    std::uint16_t _local_port = 0;
    // The peer an accept reported; no family when there is none.
    platform::endpoint _accepted_peer_address;
};


// Cancels every request on a descriptor about to be closed and drops what the
// backend and the acceptor keep for it.
void cancel_socket_requests(singleton_instance* instance, platform::native_handle socket_handle) noexcept;

}  // namespace asynframe
