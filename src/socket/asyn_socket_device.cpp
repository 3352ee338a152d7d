#include "socket/asyn_socket_device.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "engine/asyn_io_manager.h"
#include "engine/asyn_io_operation.h"
#include "engine/timer_manager.h"
#include "platform/io_backend.h"
#include "socket/accept_manager.h"
#include "socket/connect_manager.h"
#include "support/assert.h"
#include "support/exceptions.h"
#include "support/setting.h"

namespace asynframe {
namespace {

// The longest time-out the timer manager takes.
constexpr std::uint32_t max_recv_timeout = MAX_TIMER_MILLISECOND - 1;

platform::io_backend& backend_of(const asyn_io_device& device) {
    platform::io_backend* port = device.io_port();
    if (port == nullptr) throw std::logic_error("socket device without an engine");
    return *port;
}

}  // namespace

void cancel_socket_requests(singleton_instance* instance, platform::native_handle socket_handle) noexcept {
    if (instance == nullptr || socket_handle == platform::invalid_socket) return;
    if (instance->accept_manager_ptr != nullptr) instance->accept_manager_ptr->cancel_socket(socket_handle);
    asyn_io_manager* manager = instance->asyn_io_manager_ptr;
    if (manager == nullptr) return;
    manager->cancel_io(socket_handle);
    // The cancelled requests are already on their way out; nothing of the
    // descriptor may stay watched once its number can be reused.
    if (platform::io_backend* port = manager->io_port()) port->forget(socket_handle);
}

// ---- asyn_socket_device ------------------------------------------------------------

bool asyn_socket_device::local_address(platform::socket_address_v4&) { return false; }
bool asyn_socket_device::peer_address(platform::socket_address_v4&) { return false; }
bool asyn_socket_device::local_endpoint(platform::endpoint&) { return false; }
bool asyn_socket_device::peer_endpoint(platform::endpoint&) { return false; }

// ---- asyn_socket_device_imp -----------------------------------------------------------

asyn_socket_device_imp::asyn_socket_device_imp(singleton_instance* instance) : ranged_device(instance) {
    read_settings();
}

asyn_socket_device_imp::asyn_socket_device_imp(singleton_instance* instance, platform::native_handle socket_handle,
                                               const platform::endpoint& peer)
    : ranged_device(instance), _socket_handle(socket_handle) {
    _accepted_peer_address = platform::unmapped(peer);
    associate_to_manager();
    read_settings();
}

asyn_socket_device_imp::~asyn_socket_device_imp() { close(); }

void asyn_socket_device_imp::read_settings() {
    if (_singleton == nullptr || _singleton->setting_ptr == nullptr) return;
    try {
        _set_recv_buffer = _singleton->setting_ptr->get(setting_keys::set_recv_buffer) != 0;
        _recv_buffer_size = static_cast<std::int32_t>(_singleton->setting_ptr->get(setting_keys::recv_buffer_size));
    } catch (...) {
        // A provider that fails leaves the defaults.
    }
}

platform::native_handle asyn_socket_device_imp::create_socket(platform::endpoint::family_t family) {
    platform::native_handle fd = platform::invalid_socket;
    if (const std::uint32_t error = platform::create_tcp_socket(family, fd))
        throw socket_exception("create socket object error", error);
    if (_set_recv_buffer && platform::set_recv_buffer(fd, _recv_buffer_size) == 0) _set_recv_buffer = false;
    _family = family;
    return fd;
}

void asyn_socket_device_imp::start_transfer(asyn_io_operation* operation, std::uint32_t expected_bytes,
                                            std::uint32_t buffer_pos, bool receive) {
    vortan_assert(static_cast<std::uint64_t>(buffer_pos) + expected_bytes <= operation->buffer_len(),
                  "vortan_assert");
    vortan_assert(operation->is_pending() == false, "vortan_assert");
    vortan_assert(expected_bytes != 0, "vortan_assert");

    platform::io_backend& port = backend_of(*this);
    operation->clear_request();
    operation->set_operate_handle(_socket_handle);
    operation->set_preset_result(0, 0);
    operation->set_result_preset(false);
    operation->set_operation_type(receive ? operation_type::receive : operation_type::send);
    operation->mark_pending();

    std::uint8_t* buffer = operation->buffer() + buffer_pos;
    const std::uint32_t error = receive ? port.start_recv(_socket_handle, buffer, expected_bytes, *operation)
                                        : port.start_send(_socket_handle, buffer, expected_bytes, *operation);
    if (error != 0) {
        operation->clear_pending();
        throw socket_exception(receive ? "asyn read request error" : "asyn write request error", error);
    }
    if (receive && _recv_timeout != -1 && use_completion_port()) {
        const auto timeout = static_cast<std::uint32_t>(_recv_timeout);
        _singleton->asyn_io_manager_ptr->set_operation_timeout(operation,
                                                               timeout > max_recv_timeout ? max_recv_timeout : timeout);
    }
}

void asyn_socket_device_imp::close() {
    if (_socket_handle != platform::invalid_socket) {
        const platform::native_handle fd = _socket_handle;
        _socket_handle = platform::invalid_socket;
        // A connect still queued or running for the socket ends with 995, and
        // the socket is not watched once its number can be reused.
        if (_singleton != nullptr && _singleton->connect_manager_ptr != nullptr)
            _singleton->connect_manager_ptr->on_socket_closed(fd);
        // Requests in flight must finish with 995 rather than linger on a
        // descriptor the kernel still holds for them.
        cancel_socket_requests(_singleton, fd);
        platform::shutdown_socket(fd);
        platform::close_socket(fd);
    }
    _accepted_peer_address = platform::endpoint{};
}

void asyn_socket_device_imp::connect(const std::string& host, std::uint16_t port, asyn_io_operation* operation,
                                     std::int32_t priority) {
    vortan_assert(operation->is_pending() == false, "vortan_assert");
    connect_manager* scheduler = _singleton != nullptr ? _singleton->connect_manager_ptr : nullptr;
    // Without a scheduler (an engine built without one) nothing would ever
    // complete the request.
    if (scheduler == nullptr) throw socket_exception("connect_manager not available", connect_unavailable_error);
    // A socket the caller bound stays the one that connects; one made here
    // may be replaced by the socket of whichever raced attempt connects.
    connect_target* target = nullptr;
    if (_socket_handle == platform::invalid_socket) {
        // An IPv6 address needs an IPv6 socket; names and IPv4 keep the IPv4
        // one they always had (a name whose addresses include IPv6 races them
        // on sockets of their own).
        platform::endpoint literal;
        const bool v6 = platform::parse_address(host.data(), host.size(), port, literal) && literal.is_v6();
        _socket_handle = create_socket(v6 ? platform::endpoint::family_t::ipv6 : platform::endpoint::family_t::ipv4);
        associate_to_manager();
        target = this;
    }
    operation->clear_request();
    operation->set_preset_result(0, 0);
    operation->set_operate_handle(_socket_handle);
    operation->set_result_preset(true);
    operation->set_operation_type(operation_type::connect);
    operation->mark_pending();
    scheduler->connect(operation, host, port, priority, target);
}

std::uint32_t asyn_socket_device_imp::make_attempt_socket(platform::endpoint::family_t family,
                                                          platform::native_handle& socket) noexcept {
    socket = platform::invalid_socket;
    if (const std::uint32_t error = platform::create_tcp_socket(family, socket)) return error;
    // Set before the connect, so the window it offers is the one asked for.
    if (_set_recv_buffer) platform::set_recv_buffer(socket, _recv_buffer_size);
    return 0;
}

void asyn_socket_device_imp::adopt_connected_socket(platform::native_handle connected) noexcept {
    const platform::native_handle unused = std::exchange(_socket_handle, connected);
    const platform::endpoint::family_t family = platform::socket_family(connected);
    if (family != platform::endpoint::family_t::none) _family = family;
    if (unused != platform::invalid_socket) {
        // Nothing ran on it but the connect the scheduler now ends; no
        // scheduler call here, it holds its lock.
        cancel_socket_requests(_singleton, unused);
        platform::close_socket(unused);
    }
    try {
        associate_to_manager();
    } catch (...) {
        // A request that must wait registers the descriptor itself.
    }
}

namespace {

bool as_v4(const platform::endpoint& from, platform::socket_address_v4& to) {
    if (!from.is_v4()) return false;
    to = platform::socket_address_v4{};
    to.address = from.v4_address();
    to.port = platform::host_to_net16(from.port);
    return true;
}

}  // namespace

bool asyn_socket_device_imp::local_address(platform::socket_address_v4& address) {
    platform::endpoint local;
    return local_endpoint(local) && as_v4(local, address);
}

bool asyn_socket_device_imp::peer_address(platform::socket_address_v4& address) {
    platform::endpoint peer;
    return peer_endpoint(peer) && as_v4(peer, address);
}

bool asyn_socket_device_imp::local_endpoint(platform::endpoint& address) {
    if (_socket_handle == platform::invalid_socket) throw std::runtime_error("_socket_handle is invalid.");
    return platform::local_endpoint(_socket_handle, address) == 0 && address.family != platform::endpoint::family_t::none;
}

bool asyn_socket_device_imp::peer_endpoint(platform::endpoint& address) {
    if (has_accepted_addresses()) {
        address = _accepted_peer_address;
        return true;
    }
    if (_socket_handle == platform::invalid_socket) throw std::runtime_error("_socket_handle is invalid.");
    return platform::peer_endpoint(_socket_handle, address) == 0 && address.family != platform::endpoint::family_t::none;
}

void asyn_socket_device_imp::set_recv_buffer_size(std::int32_t bytes) {
    _recv_buffer_size = bytes;
    _set_recv_buffer = true;
    if (_socket_handle != platform::invalid_socket && platform::set_recv_buffer(_socket_handle, bytes) == 0)
        _set_recv_buffer = false;
}

int asyn_socket_device_imp::listen_backlog() const {
    std::uint32_t backlog = setting_keys::listen_backlog.default_value;
    if (_singleton != nullptr && _singleton->setting_ptr != nullptr) {
        try {
            backlog = _singleton->setting_ptr->get(setting_keys::listen_backlog);
        } catch (...) {
            // A provider that fails leaves the default.
        }
    }
    return static_cast<int>(std::clamp<std::uint32_t>(backlog, 1, static_cast<std::uint32_t>(platform::max_listen_backlog())));
}

void asyn_socket_device_imp::listen(std::uint32_t ip, std::uint16_t port) { listen(platform::endpoint::v4(ip, port)); }

void asyn_socket_device_imp::bind(const platform::endpoint& address) {
    if (_socket_handle == platform::invalid_socket) {
        _socket_handle = create_socket(address.family);
        associate_to_manager();
    }
    if (const std::uint32_t error = platform::bind_endpoint(_socket_handle, address))
        throw socket_exception("bind call error", error);
}

void asyn_socket_device_imp::listen(const platform::endpoint& address) {
    if (_socket_handle == platform::invalid_socket) {
        platform::native_handle fd = platform::invalid_socket;
        platform::create_tcp_socket(address.family, fd);
        _socket_handle = fd;
        if (fd != platform::invalid_socket) associate_to_manager();
    }
    const std::uint16_t port = address.port;
    _local_port = port;
    if (_socket_handle == platform::invalid_socket)
        throw socket_exception("bind call error", platform::check_socket(_socket_handle));
    // A restarted server must get its port back while old connections linger.
    platform::set_reuse_address(_socket_handle, true);
    if (const std::uint32_t error = platform::bind_endpoint(_socket_handle, address))
        throw socket_exception("bind call error", error);
    if (port == 0) {
        platform::endpoint bound;
        if (platform::local_endpoint(_socket_handle, bound) != 0)
            throw socket_exception("getsockname call error", 0xFFFFFFFFu);
        _local_port = bound.port;
    }
    if (const std::uint32_t error = platform::listen_socket(_socket_handle, listen_backlog()))
        throw socket_exception("listen call error", error);
}

void asyn_socket_device_imp::accept(asyn_io_operation* operation) {
    vortan_assert(operation->is_pending() == false, "vortan_assert");
    operation->clear_request();
    operation->set_operate_handle(_socket_handle);
    operation->set_preset_result(0, 0);
    operation->set_operation_type(operation_type::accept);

    platform::io_backend& port = backend_of(*this);
    if (port.completes_accepts()) {
        // The backend makes the accepted socket itself; the device that will
        // own it rides on the operation until then.
        operation->attach_device(new asyn_socket_device_imp(_singleton));
        operation->set_result_preset(false);
        operation->mark_pending();
        operation->address() = platform::endpoint{};
        const std::uint32_t error = port.start_accept(_socket_handle, &operation->address(), *operation);
        if (error != 0) throw socket_exception("asyn accept request error", error);
        return;
    }
    operation->set_result_preset(true);
    operation->mark_pending();
    vortan_assert(_singleton != nullptr && _singleton->accept_manager_ptr != nullptr, "accept_manager");
    _singleton->accept_manager_ptr->submit(operation);
}

void asyn_socket_device_imp::on_accepted(asyn_io_operation* operation) {
    if (operation->result_preset()) return;  // the acceptor's path: the socket is already here
    if (operation->overlapped().error != 0) return;
    const platform::native_handle fd = operation->overlapped().accepted;
    if (fd == platform::invalid_socket) return;
    _socket_handle = fd;
    // A descriptor the ring made is already the ring's; the readiness loop
    // must watch the new one.
    if (!use_completion_port()) {
        try {
            associate_to_manager();
        } catch (...) {
            // A request that must wait registers the descriptor itself.
        }
    }
    if (_set_recv_buffer && platform::set_recv_buffer(fd, _recv_buffer_size) == 0) _set_recv_buffer = false;
    // The ring wrote the peer's address; the local one is asked for only when
    // wanted, since most servers never do.
    _accepted_peer_address = platform::unmapped(operation->address());
}

}  // namespace asynframe
