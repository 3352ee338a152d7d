#include "proxy/socks_wrapper.h"

#include <cstring>
#include <stdexcept>
#include <utility>

#include "engine/asyn_io_operation.h"
#include "proxy/socks5_messages.h"
#include "proxy/socks_server_socket.h"
#include "socket/asyn_socket_device.h"
#include "support/assert.h"
#include "support/exceptions.h"

namespace asynframe {
namespace {

constexpr std::uint32_t private_buffer_size = 1024;

}  // namespace

socks_wrapper::socks_wrapper(singleton_instance* instance, asyn_socket_device* socket, std::string proxy_host,
                             std::uint16_t proxy_port, std::string user, std::string password,
                             socks_asyn_server_socket* server)
    : asyn_io_handler(instance),
      _socket_ptr(socket),
      _server_socks_ptr(server),
      _proxy_host(std::move(proxy_host)),
      _proxy_port(proxy_port),
      _user_name(std::move(user)),
      _password(std::move(password)) {}

socks_wrapper::~socks_wrapper() { cancel(); }

void socks_wrapper::connect(const std::string& host, std::uint16_t port, asyn_io_operation* operation,
                            std::int32_t priority) {
    start(command_connect, host, port, operation, priority, false);
}

void socks_wrapper::bind(const std::string& host, std::uint16_t port, asyn_io_operation* operation) {
    start(command_bind, host, port, operation, 0, false);
}

void socks_wrapper::udp_associate(const std::string& host, std::uint16_t port, asyn_io_operation* operation) {
    start(command_udp, host, port, operation, 0, false);
}

void socks_wrapper::login(asyn_io_operation* operation) { start(command_connect, {}, 0, operation, 0, true); }

void socks_wrapper::start(command_t command, const std::string& host, std::uint16_t port,
                          asyn_io_operation* operation, std::int32_t priority, bool login_only) {
    vortan_assert(_socks5_op_ptr == nullptr, "_socks5_op_ptr == NULL");
    vortan_assert(_user_op_ptr == nullptr, "_user_op_ptr == NULL");
    _socks5_op_ptr = create_operation(private_buffer_size);
    _target_host = host;
    _target_port = port;
    _command = command;
    _login_only = login_only;
    _bound_host.clear();
    _bound_port = 0;
    _stage = 1;
    try {
        _socket_ptr->connect(_proxy_host, _proxy_port, _socks5_op_ptr, priority);
    } catch (...) {
        delete_operation(std::exchange(_socks5_op_ptr, nullptr));
        _stage = 0;
        throw;
    }
    // Held as the caller's request from here on.
    _user_op_ptr = operation;
    operation->mark_pending();
}

void socks_wrapper::accept(asyn_io_operation* operation) {
    vortan_assert(_socks5_op_ptr != nullptr, "_socks5_op_ptr != NULL");
    vortan_assert(_user_op_ptr == nullptr, "_user_op_ptr == NULL");
    // The bind's connection carries on with a fresh private operation.
    delete_operation(_socks5_op_ptr);
    _socks5_op_ptr = create_operation(private_buffer_size);
    _command = command_accept;
    _stage = 4;
    _current_bytes = 0;
    _reading = socks5::start_reply(socks5::reply_kind::request);
    _user_op_ptr = operation;
    operation->mark_pending();
    try {
        receive(0, _reading.expected);
    } catch (...) {
        _user_op_ptr = nullptr;
        operation->clear_pending();
        throw;
    }
}

void socks_wrapper::send(const std::uint8_t* data, std::size_t size) {
    std::memcpy(_socks5_op_ptr->buffer(), data, size);
    _expected_bytes = static_cast<std::uint32_t>(size);
    _current_bytes = 0;
    _socks5_op_ptr->set_range(0, _expected_bytes);
    _socket_ptr->write(_socks5_op_ptr);
}

void socks_wrapper::receive(std::uint32_t position, std::uint32_t count) {
    _socks5_op_ptr->set_range(position, count);
    _socket_ptr->read(_socks5_op_ptr);
}

void socks_wrapper::on_io_complete(asyn_io_operation* operation) {
    if (operation != _socks5_op_ptr || _user_op_ptr == nullptr) return;
    try {
        step(operation);
    } catch (const socket_exception&) {
        finish(socks_transfer_error);
    } catch (const proxy_exception&) {
        finish(socks_protocol_error);
    } catch (const io_exception&) {
        finish(socks_protocol_error);
    } catch (const std::runtime_error&) {
        finish(socks_cancelled_error);
    }
}

void socks_wrapper::step(asyn_io_operation* operation) {
    std::uint32_t bytes = 0;
    std::uint32_t error = 0;
    const bool ok = operation->get_result(bytes, error);
    std::uint8_t* buffer = operation->buffer();
    switch (operation->get_operation_type()) {
        case operation_type::connect: {
            vortan_assert(_stage == 1, "_stage == 1");
            if (!ok) {
                finish(error);
                return;
            }
            const socks5::bytes hello = socks5::greeting(!_user_name.empty());
            _stage = 2;
            send(hello.data(), hello.size());
            return;
        }
        case operation_type::send: {
            if (!ok) throw socket_exception("sock5: write to proxy error", error);
            _current_bytes += bytes;
            if (_current_bytes < _expected_bytes) {
                _socks5_op_ptr->set_range(_current_bytes, _expected_bytes - _current_bytes);
                _socket_ptr->write(_socks5_op_ptr);
                return;
            }
            vortan_assert(_stage >= 2, "_stage >= 2");
            _current_bytes = 0;
            _reading = socks5::start_reply(_stage == 2   ? socks5::reply_kind::method
                                           : _stage == 3 ? socks5::reply_kind::authentication
                                                         : socks5::reply_kind::request);
            receive(0, _reading.expected);
            return;
        }
        case operation_type::receive: {
            if (!ok) throw socket_exception("sock5: read from proxy error", error);
            if (bytes == 0) {
                finish(socks_proxy_closed_error);
                return;
            }
            _current_bytes += bytes;
            // What the reply says is read apart from the I/O (socks5::reply_read).
            if (!socks5::reply_read(_reading, buffer, _current_bytes)) {
                // Known once a request reply's head is in (1, 3 or 4).
                if (_reading.address_type != 0) _reply_address_type = _reading.address_type;
                receive(_current_bytes, _reading.expected - _current_bytes);
                return;
            }
            vortan_assert(_stage >= 2, "_stage >= 2");
            if (_stage == 2) {
                if (_reading.method == 2) {
                    const socks5::bytes auth = socks5::authentication(_user_name, _password);
                    _stage = 3;
                    send(auth.data(), auth.size());
                    return;
                }
                after_authentication();
                return;
            }
            if (_stage == 3) {
                after_authentication();
                return;
            }
            if (_bound_port == 0) socks5::parse_bound_address(buffer, _current_bytes, _proxy_host, _bound_host, _bound_port);
            finish(0);
            return;
        }
        default:
            throw std::runtime_error("sock5: unexpected completion");
    }
}

void socks_wrapper::after_authentication() {
    if (_login_only) {
        finish(0);
        return;
    }
    send_request();
}

void socks_wrapper::send_request() {
    const std::uint8_t command = _command == command_bind  ? socks5::command_bind
                                 : _command == command_udp ? socks5::command_udp_associate
                                                           : socks5::command_connect;
    const socks5::bytes message = socks5::request(command, _target_host, _target_port);
    _stage = 4;
    send(message.data(), message.size());
}

void socks_wrapper::finish(std::uint32_t result) {
    vortan_assert(_user_op_ptr != nullptr, "_user_op_ptr");
    asyn_io_operation* user = std::exchange(_user_op_ptr, nullptr);
    switch (_command) {
        case command_bind: user->set_operation_type(5); break;
        case command_accept: user->set_operation_type(operation_type::accept); break;
        default: user->set_operation_type(operation_type::connect); break;
    }
    if (_command == command_accept && result == 0) {
        vortan_assert(_server_socks_ptr != nullptr, "_server_socks_ptr");
        asyn_socket_device* handed = _server_socks_ptr->hand_away_control(_socket_ptr);
        if (handed != nullptr) {
            user->attach_device(handed);
        } else {
            result = socks_cancelled_error;
        }
    }
    _stage = 0;
    user->set_result_preset(true);
    user->set_preset_result(result, 0);
    user->post();
}

void socks_wrapper::cancel() {
    if (_user_op_ptr != nullptr) finish(socks_cancelled_error);
    if (_socks5_op_ptr != nullptr) delete_operation(std::exchange(_socks5_op_ptr, nullptr));
    _stage = 0;
}

}  // namespace asynframe
