// The SOCKS5 devices: a socket device whose connect goes through the proxy,
// and the BIND server socket, which listens at the proxy and hands over the
// one connection the proxy accepts for it.
#pragma once

#include <memory>
#include <string>

#include "proxy/socks_wrapper.h"
#include "socket/asyn_socket_device.h"

namespace asynframe {

class asyn_socks_socket_device : public asyn_socket_device {
public:
    // Through the proxy: owns `inner` and a wrapper over it.
    asyn_socks_socket_device(singleton_instance* instance, std::unique_ptr<asyn_socket_device_imp> inner,
                             std::string proxy_host, std::uint16_t proxy_port, std::string user,
                             std::string password);
    ~asyn_socks_socket_device() override;

    void read(asyn_io_operation* operation) override;
    void write(asyn_io_operation* operation) override;
    platform::native_handle handle() const override { return _inner->handle(); }
    // Cancels the exchange (its operation completes with 1930), then closes the socket.
    void close() override;
    void connect(const std::string& host, std::uint16_t port, asyn_io_operation* operation,
                 std::int32_t priority) override;
    // Connects to the proxy and authenticates, no request.
    void login(asyn_io_operation* operation);
    bool local_address(platform::socket_address_v4& address) override { return _inner->local_address(address); }
    bool peer_address(platform::socket_address_v4& address) override { return _inner->peer_address(address); }
    bool local_endpoint(platform::endpoint& address) override { return _inner->local_endpoint(address); }
    bool peer_endpoint(platform::endpoint& address) override { return _inner->peer_endpoint(address); }
    void set_recv_timeout(std::int32_t millisecond) override { _inner->set_recv_timeout(millisecond); }
    void set_recv_buffer_size(std::int32_t bytes) override { _inner->set_recv_buffer_size(bytes); }

    asyn_socket_device_imp& inner() noexcept { return *_inner; }

private:
    std::unique_ptr<asyn_socket_device_imp> _inner;
    std::unique_ptr<socks_wrapper> _wrapper;
};

class simple_asyn_server_socket {
public:
    virtual ~simple_asyn_server_socket() = default;
    virtual void listen(std::uint16_t port, asyn_io_operation* operation) = 0;
    virtual void accept(asyn_io_operation* operation) = 0;
    virtual void close() = 0;
    virtual std::string bound_host() = 0;
    virtual std::uint16_t bound_port() = 0;
};

class socks_asyn_server_socket final : public simple_asyn_server_socket, public with_singleton {
public:
    socks_asyn_server_socket(singleton_instance* instance, std::string proxy_host, std::uint16_t proxy_port,
                             std::string user, std::string password, std::string bind_host,
                             std::uint16_t bind_port);
    ~socks_asyn_server_socket() override;

    // The first BIND reply completes `operation`; the port is not used.
    void listen(std::uint16_t port, asyn_io_operation* operation) override;
    // The second reply completes `operation` with the connection attached as
    // its device; a second accept completes with -1.
    void accept(asyn_io_operation* operation) override;
    void close() override;
    std::string bound_host() override { return _wrapper->bound_host(); }
    std::uint16_t bound_port() override { return _wrapper->bound_port(); }

    // The wrapper's accept succeeded: the control connection leaves this
    // server socket (null when it is no longer here).
    asyn_socket_device* hand_away_control(asyn_socket_device* expected);

private:
    std::unique_ptr<asyn_socket_device_imp> _control;
    std::unique_ptr<socks_wrapper> _wrapper;
    std::string _bind_host;
    std::uint16_t _bind_port;
};

}  // namespace asynframe
