// The SOCKS5 client exchange over an inner socket device: connect to the
// proxy, negotiate the method, authenticate, make one request (CONNECT, BIND
// or UDP ASSOCIATE) or stop after the login, then complete the caller's
// operation with 0 or the failure's code.
#pragma once

#include <cstdint>
#include <string>

#include "engine/asyn_io_handler.h"
#include "platform/error_codes.h"
#include "proxy/socks5_messages.h"

namespace asynframe {

class asyn_socket_device;
class socks_asyn_server_socket;

// Result codes of a failed exchange, this system's own.
inline constexpr std::uint32_t socks_protocol_error = errors::layer_protocol;  // a refusal in the protocol
inline constexpr std::uint32_t socks_transfer_error = errors::layer_transfer;  // a read or write to the proxy failed
inline constexpr std::uint32_t socks_cancelled_error = errors::layer_other;  // closed meanwhile, or another failure
inline constexpr std::uint32_t socks_proxy_closed_error = 10058;  // WSAESHUTDOWN

class socks_wrapper : public asyn_io_handler {
public:
    enum command_t : std::uint8_t { command_none = 0, command_connect = 1, command_bind = 2, command_accept = 3,
                                    command_udp = 4 };

    // `socket` is not owned. `server` is the BIND listener this wrapper serves, or null.
    socks_wrapper(singleton_instance* instance, asyn_socket_device* socket, std::string proxy_host,
                  std::uint16_t proxy_port, std::string user, std::string password,
                  socks_asyn_server_socket* server = nullptr);
    ~socks_wrapper() override;
    socks_wrapper(const socks_wrapper&) = delete;
    socks_wrapper& operator=(const socks_wrapper&) = delete;

    // Each marks `operation` pending and completes it by a post. Failures to
    // start reach the caller as socket_exception.
    void connect(const std::string& host, std::uint16_t port, asyn_io_operation* operation, std::int32_t priority);
    void bind(const std::string& host, std::uint16_t port, asyn_io_operation* operation);
    // After a bind completed: the proxy's second reply, on the same connection.
    void accept(asyn_io_operation* operation);
    void udp_associate(const std::string& host, std::uint16_t port, asyn_io_operation* operation);
    void login(asyn_io_operation* operation);

    // An operation being served completes with 1930; the private operation goes.
    void cancel() override;
    void on_io_complete(asyn_io_operation* operation) override;

    const std::string& bound_host() const noexcept { return _bound_host; }
    std::uint16_t bound_port() const noexcept { return _bound_port; }
    // ATYP of the last reply: 1 IPv4, 3 a name, 4 IPv6.
    std::uint8_t reply_address_type() const noexcept { return _reply_address_type; }
    std::uint8_t stage() const noexcept { return _stage; }
    bool serving() const noexcept { return _user_op_ptr != nullptr; }

private:
    void start(command_t command, const std::string& host, std::uint16_t port, asyn_io_operation* operation,
               std::int32_t priority, bool login_only);
    void step(asyn_io_operation* operation);
    void send(const std::uint8_t* data, std::size_t size);
    void receive(std::uint32_t position, std::uint32_t count);
    void send_request();
    void after_authentication();
    void finish(std::uint32_t result);

    asyn_socket_device* _socket_ptr;
    socks_asyn_server_socket* _server_socks_ptr;
    std::string _proxy_host;
    std::uint16_t _proxy_port;
    std::string _user_name;
    std::string _password;
    std::string _target_host;
    std::uint16_t _target_port = 0;
    asyn_io_operation* _socks5_op_ptr = nullptr;
    asyn_io_operation* _user_op_ptr = nullptr;
    std::uint8_t _stage = 0;
    command_t _command = command_none;
    std::uint32_t _expected_bytes = 0;
    std::uint32_t _current_bytes = 0;
    socks5::reply_reading _reading;  // the reply being read
    std::string _bound_host;
    std::uint16_t _bound_port = 0;
    bool _login_only = false;
    std::uint8_t _reply_address_type = 0;
};

}  // namespace asynframe
