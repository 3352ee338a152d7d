#include "proxy/socks_server_socket.h"

#include "engine/asyn_io_operation.h"
#include "support/assert.h"
#include "support/exceptions.h"

namespace asynframe {

// ---- asyn_socks_socket_device --------------------------------------------------------

asyn_socks_socket_device::asyn_socks_socket_device(singleton_instance* instance,
                                                   std::unique_ptr<asyn_socket_device_imp> inner,
                                                   std::string proxy_host, std::uint16_t proxy_port,
                                                   std::string user, std::string password)
    : asyn_socket_device(instance), _inner(std::move(inner)) {
    _wrapper = std::make_unique<socks_wrapper>(instance, _inner.get(), std::move(proxy_host), proxy_port,
                                               std::move(user), std::move(password));
}

asyn_socks_socket_device::~asyn_socks_socket_device() {
    close();
    _wrapper.reset();
    _inner.reset();
}

void asyn_socks_socket_device::read(asyn_io_operation* operation) {
    vortan_assert(!operation->is_pending() && operation->range_length() != 0, "vortan_assert");
    _inner->read(operation);
}

void asyn_socks_socket_device::write(asyn_io_operation* operation) {
    vortan_assert(!operation->is_pending() && operation->range_length() != 0, "vortan_assert");
    _inner->write(operation);
}

void asyn_socks_socket_device::close() {
    if (_wrapper) _wrapper->cancel();
    _inner->close();
}

void asyn_socks_socket_device::connect(const std::string& host, std::uint16_t port, asyn_io_operation* operation,
                                       std::int32_t priority) {
    vortan_assert(!operation->is_pending(), "vortan_assert");
    _wrapper->connect(host, port, operation, priority);
}

void asyn_socks_socket_device::login(asyn_io_operation* operation) {
    vortan_assert(!operation->is_pending(), "vortan_assert");
    _wrapper->login(operation);
}

// ---- socks_asyn_server_socket ----------------------------------------------------------

socks_asyn_server_socket::socks_asyn_server_socket(singleton_instance* instance, std::string proxy_host,
                                                   std::uint16_t proxy_port, std::string user, std::string password,
                                                   std::string bind_host, std::uint16_t bind_port)
    : with_singleton(instance),
      _control(std::make_unique<asyn_socket_device_imp>(instance)),
      _bind_host(std::move(bind_host)),
      _bind_port(bind_port) {
    _wrapper = std::make_unique<socks_wrapper>(instance, _control.get(), std::move(proxy_host), proxy_port,
                                               std::move(user), std::move(password), this);
}

socks_asyn_server_socket::~socks_asyn_server_socket() {
    close();
    _wrapper.reset();
}

void socks_asyn_server_socket::listen(std::uint16_t, asyn_io_operation* operation) {
    vortan_assert(!operation->is_pending(), "vortan_assert");
    if (!_control) throw socket_exception("sock5: the bind connection is gone", 0xFFFFFFFFu);
    _wrapper->bind(_bind_host, _bind_port, operation);
}

void socks_asyn_server_socket::accept(asyn_io_operation* operation) {
    vortan_assert(!operation->is_pending(), "vortan_assert");
    if (!_control) {
        // One BIND serves one connection.
        operation->set_result_preset(true);
        operation->set_preset_result(0xFFFFFFFFu, 0);
        operation->post();
        return;
    }
    _wrapper->accept(operation);
}

void socks_asyn_server_socket::close() {
    if (_control) _control->close();
    _wrapper->cancel();
}

asyn_socket_device* socks_asyn_server_socket::hand_away_control(asyn_socket_device* expected) {
    if (!_control || _control.get() != expected) return nullptr;
    return _control.release();
}

}  // namespace asynframe
