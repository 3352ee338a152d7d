#include "socket/socket_objects.h"

#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "engine/asyn_io_manager.h"
#include "engine/asyn_io_operation.h"
#include "platform/error_codes.h"
#include "support/exceptions.h"

namespace asynframe {

bool on_dispatch_thread(const singleton_instance* services) noexcept {
    return services != nullptr && services->asyn_io_manager_ptr != nullptr &&
           services->asyn_io_manager_ptr->in_dispatch_thread();
}

// A framework operation object that is free for a request, or null.
CAsynIoOperation* usable_operation(IAsynIoOperation* operation) noexcept {
    CAsynIoOperation* object = CAsynIoOperation::resolve(operation);
    if (object == nullptr || object->busy() || object->engine_operation() == nullptr) return nullptr;
    return object;
}

// A request that could not be started completes with the code instead; the
// request's reference was taken by the caller and goes with the completion.
void fail_started_request(CAsynIoOperation* object, std::uint32_t code) {
    asyn_io_operation* request = object->engine_operation();
    request->set_preset_result(code, 0);
    if (!request->post()) object->Release();
}

bool endpoint_of_text(DWORD length, const char* text, WORD port, platform::endpoint& out) noexcept {
    return text != nullptr && platform::parse_address(text, length, port, out);
}

HRESULT operation_address_text(IAsynIoOperation* operation, IStringSetter* text, WORD* port) {
    if (text == nullptr || port == nullptr) return E_INVALIDARG;
    CAsynIoOperation* object = CAsynIoOperation::resolve(operation);
    if (object == nullptr || object->engine_operation() == nullptr) return E_INVALIDARG;
    return give_address_text(object->engine_operation()->address(), text, port);
}

HRESULT give_address_text(const platform::endpoint& address, IStringSetter* text, WORD* port) {
    char value[64];
    platform::address_text(address, value);
    if (value[0] == '\0') return E_FAIL;
    text->SetString(static_cast<DWORD>(std::strlen(value)), value);
    *port = address.port;
    return S_OK;
}

// ---- CAsynTcpSocket --------------------------------------------------------------------

CAsynTcpSocket::CAsynTcpSocket(singleton_instance* services, std::unique_ptr<asyn_socket_device_imp> device)
    : CAsynIoDevice(services), CUnknownMultiThread("CAsynTcpSocket") {
    // The base's device pointer is the only one kept; this object owns what it points to.
    _device = device ? device.release() : new asyn_socket_device_imp(services);
}

CAsynTcpSocket::~CAsynTcpSocket() {
    disable_full_transfers();
    asyn_socket_device_imp* device = socket_device();
    _device = nullptr;
    delete device;
}

HRESULT CAsynTcpSocket::Connect(IAsynIoOperation* operation, DWORD host_length, const char* host, WORD port,
                                LONG priority) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (_open) return E_UNEXPECTED;
    if (host_length == 0 || host == nullptr) return E_INVALIDARG;
    CAsynIoOperation* object = usable_operation(operation);
    if (object == nullptr) return E_INVALIDARG;

    object->AddRef();  // released when the completion is delivered
    _open = true;
    try {
        socket_device()->connect(std::string(host, host_length), port, object->engine_operation(), priority);
    } catch (const socket_exception& failure) {
        fail_started_request(object, failure.code());
    }
    return S_OK;
}

HRESULT CAsynTcpSocket::GetLocalAddress(DWORD* address, WORD* port) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (address == nullptr || port == nullptr) return E_INVALIDARG;
    try {
        platform::socket_address_v4 local;
        if (!socket_device()->local_address(local)) return E_FAIL;
        *address = local.address;
        *port = platform::net_to_host16(local.port);
        return S_OK;
    } catch (...) {
        return E_FAIL;
    }
}

HRESULT CAsynTcpSocket::GetPeerAddress(DWORD* address, WORD* port) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (address == nullptr || port == nullptr) return E_INVALIDARG;
    *address = 0;
    *port = 0;
    try {
        platform::socket_address_v4 peer;
        if (!socket_device()->peer_address(peer)) return E_FAIL;
        *address = peer.address;
        *port = platform::net_to_host16(peer.port);
        return S_OK;
    } catch (...) {
        return E_FAIL;
    }
}

HRESULT CAsynTcpSocket::SetRecvTimeout(DWORD milliseconds) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (milliseconds == 0) return E_INVALIDARG;
    socket_device()->set_recv_timeout(static_cast<std::int32_t>(milliseconds));
    return S_OK;
}

HRESULT CAsynTcpSocket::SetRecvBufferSize(DWORD bytes) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (bytes == 0) return E_INVALIDARG;
    socket_device()->set_recv_buffer_size(static_cast<std::int32_t>(bytes));
    return S_OK;
}

HRESULT CAsynTcpSocket::Bind(DWORD address_length, const char* address, WORD port) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    platform::endpoint local;
    if (!endpoint_of_text(address_length, address, port, local)) return E_INVALIDARG;
    if (_open || socket_device()->has_socket()) return E_UNEXPECTED;
    try {
        socket_device()->bind(local);
    } catch (const std::exception&) {
        // A socket that could not be bound is not kept: the next Bind or
        // Connect starts afresh.
        socket_device()->close();
        return E_FAIL;
    }
    return S_OK;
}

HRESULT CAsynTcpSocket::GetLocalAddressText(IStringSetter* address, WORD* port) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (address == nullptr || port == nullptr) return E_INVALIDARG;
    try {
        platform::endpoint local;
        if (!socket_device()->local_endpoint(local)) return E_FAIL;
        return give_address_text(local, address, port);
    } catch (...) {
        return E_FAIL;
    }
}

HRESULT CAsynTcpSocket::GetPeerAddressText(IStringSetter* address, WORD* port) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (address == nullptr || port == nullptr) return E_INVALIDARG;
    *port = 0;
    try {
        platform::endpoint peer;
        if (!socket_device()->peer_endpoint(peer)) return E_FAIL;
        return give_address_text(peer, address, port);
    } catch (...) {
        return E_FAIL;
    }
}

// ---- CAsynAcceptLayer --------------------------------------------------------------------

CAsynAcceptLayer::CAsynAcceptLayer(singleton_instance* services)
    : with_singleton(services), CUnknownMultiThread("CAsynAcceptLayer") {}

void CAsynAcceptLayer::on_layer_complete(CAsynIoOperation* operation, layer_entry) {
    asyn_io_operation* request = operation->engine_operation();
    std::uint32_t bytes = 0;
    std::uint32_t error = 0;
    const bool accepted = request->get_result(bytes, error);
    std::unique_ptr<asyn_io_device> produced(request->take_device());
    auto* device = dynamic_cast<asyn_socket_device_imp*>(produced.get());
    IUnknown* connection = nullptr;
    if (accepted && device != nullptr) {
        try {
            device->on_accepted(request);
            if (device->handle() != platform::invalid_socket) {
                produced.release();
                auto* socket = new CAsynTcpSocket(_singleton, std::unique_ptr<asyn_socket_device_imp>(device));
                socket->set_open(true);
                connection = static_cast<IAsynTcpSocket*>(socket);
            }
        } catch (const std::exception&) {
            // The device (and the socket it took) goes away below.
        }
    }
    if (connection != nullptr) {
        operation->SetResultObject(connection);
        connection->Release();  // the operation holds the only reference now
        operation->SetResult(0, 0);
    } else {
        operation->SetResultObject(nullptr);
        // A success without a connection is still a failure for the caller.
        if (accepted) operation->SetResult(errors::operation_aborted, 0);
    }
    operation->deliver();
}

// ---- CAsynTcpListener --------------------------------------------------------------------

CAsynTcpListener::CAsynTcpListener(singleton_instance* services)
    : with_singleton(services),
      CUnknownMultiThread("CAsynTcpListener"),
      _device(std::make_unique<asyn_socket_device_imp>(services)),
      _accept_layer(new CAsynAcceptLayer(services)) {}

CAsynTcpListener::~CAsynTcpListener() {
    _device.reset();
    _accept_layer->Release();
}

bool CAsynTcpListener::in_dispatch_thread() const noexcept { return on_dispatch_thread(_singleton); }

HRESULT CAsynTcpListener::Listen(WORD port, IAsynIoOperation* operation) { return ListenOn(0, port, operation); }

HRESULT CAsynTcpListener::ListenOn(DWORD address, WORD port, IAsynIoOperation* operation) {
    return listen_on(platform::endpoint::v4(address, port), operation);
}

HRESULT CAsynTcpListener::ListenOnAddress(DWORD address_length, const char* address, WORD port,
                                          IAsynIoOperation* operation) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    platform::endpoint local;
    if (!endpoint_of_text(address_length, address, port, local)) return E_INVALIDARG;
    return listen_on(local, operation);
}

HRESULT CAsynTcpListener::listen_on(const platform::endpoint& address, IAsynIoOperation* operation) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (_listening) return E_UNEXPECTED;
    // The outcome travels through the operation: without one ready for it, it
    // would be lost, so nothing is started.
    CAsynIoOperation* object = usable_operation(operation);
    if (object == nullptr) return E_INVALIDARG;
    std::uint32_t error = 0;
    try {
        _device->listen(address);
    } catch (const socket_exception& failure) {
        error = failure.code();
    }
    object->SetResult(error, 0);
    const HRESULT hr = object->post_completion();
    if (FAILED(hr)) {
        // Nobody will hear of the outcome: do not keep listening behind the caller's back.
        if (error == 0) _device->close();
        return hr;
    }
    if (error == 0) _listening = true;
    return S_OK;
}

HRESULT CAsynTcpListener::GetLocalAddress(IStringSetter* address, WORD* port) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (address == nullptr || port == nullptr) return E_INVALIDARG;
    try {
        platform::endpoint local;
        if (!_device->local_endpoint(local)) return E_FAIL;
        return give_address_text(local, address, port);
    } catch (...) {
        return E_FAIL;
    }
}

HRESULT CAsynTcpListener::Accept(IAsynIoOperation* operation) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (!_listening) return E_UNEXPECTED;
    CAsynIoOperation* object = usable_operation(operation);
    if (object == nullptr) return E_INVALIDARG;

    const std::uint32_t context[7] = {};
    try {
        object->push_layer(_accept_layer, context);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    object->AddRef();  // the request's reference, released with its completion
    try {
        _device->accept(object->engine_operation());
    } catch (const socket_exception& failure) {
        fail_started_request(object, failure.code());
    }
    return S_OK;
}

HRESULT CAsynTcpListener::Close() {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (!_listening) return E_UNEXPECTED;
    _device->close();
    _listening = false;
    return S_OK;
}

// ---- CAsynUdpSocket ------------------------------------------------------------------------

CAsynUdpSocket::CAsynUdpSocket(singleton_instance* services)
    : CAsynIoDevice(services), CUnknownMultiThread("CAsynUdpSocket"), _udp_device(services) {}

CAsynUdpSocket::~CAsynUdpSocket() {
    disable_full_transfers();
    _device = nullptr;
}

std::uint32_t CAsynUdpSocket::open(const platform::endpoint& address) {
    try {
        _udp_device.create_socket(address.family);
        platform::ignore_udp_connection_reset(_udp_device.handle());
        // A socket that cannot allow broadcast stays unbound: the open failed.
        // IPv6 has no broadcast, so its sockets are not held to that.
        if (platform::set_broadcast(_udp_device.handle(), true) != 0 && !address.is_v6())
            return static_cast<std::uint32_t>(E_FAIL);
        _udp_device.bind(address);
    } catch (const socket_exception& failure) {
        return failure.code();
    }
    _device = &_udp_device;
    _open = true;
    return 0;
}

HRESULT CAsynUdpSocket::Open(WORD port) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (_open) return E_UNEXPECTED;
    return open(platform::endpoint::v4(0, port)) == 0 ? S_OK : E_FAIL;
}

HRESULT CAsynUdpSocket::Open(DWORD address, WORD port, IAsynIoOperation* operation) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    return open_reporting(platform::endpoint::v4(address, port), operation);
}

HRESULT CAsynUdpSocket::OpenOn(DWORD address_length, const char* address, WORD port, IAsynIoOperation* operation) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    platform::endpoint local;
    if (!endpoint_of_text(address_length, address, port, local)) return E_INVALIDARG;
    return open_reporting(local, operation);
}

HRESULT CAsynUdpSocket::open_reporting(const platform::endpoint& address, IAsynIoOperation* operation) {
    if (_open) return E_UNEXPECTED;
    CAsynIoOperation* object = usable_operation(operation);
    if (object == nullptr) return E_INVALIDARG;
    object->SetResult(open(address), 0);
    const HRESULT hr = object->post_completion();
    if (FAILED(hr) && _open) {
        // The caller will never learn the socket opened: leave it closed.
        _udp_device.close();
        _device = nullptr;
        _open = false;
    }
    return hr;
}

HRESULT CAsynUdpSocket::GetLocalAddress(DWORD* address, WORD* port) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    try {
        std::uint32_t ip = 0;
        std::uint16_t local_port = 0;
        _udp_device.local_address(ip, local_port);
        if (address != nullptr) *address = ip;
        if (port != nullptr) *port = local_port;
        return S_OK;
    } catch (...) {
        return E_FAIL;
    }
}

HRESULT CAsynUdpSocket::SendTo(IAsynIoOperation* operation, DWORD address_length, const char* address, WORD port) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    platform::endpoint target;
    if (!endpoint_of_text(address_length, address, port, target)) return E_INVALIDARG;
    CAsynIoOperation* object = usable_operation(operation);
    if (object == nullptr) return E_INVALIDARG;
    // An IPv4 socket cannot send to IPv6: refused here rather than as a
    // completion, like any other target the socket cannot take.
    if (_open && target.is_v6() && _udp_device.family() != platform::endpoint::family_t::ipv6) return E_INVALIDARG;
    object->engine_operation()->address() = target;
    return Write(operation);
}

HRESULT CAsynUdpSocket::GetSourceAddress(IAsynIoOperation* operation, IStringSetter* address, WORD* port) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    return operation_address_text(operation, address, port);
}

HRESULT CAsynUdpSocket::GetLocalAddressText(IStringSetter* address, WORD* port) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (address == nullptr || port == nullptr) return E_INVALIDARG;
    try {
        return give_address_text(_udp_device.local_endpoint(), address, port);
    } catch (...) {
        return E_FAIL;
    }
}

// ---- CAsynIcmpSocket -----------------------------------------------------------------------

CAsynIcmpSocket::CAsynIcmpSocket(singleton_instance* services)
    : CAsynIoDevice(services), CUnknownMultiThread("CAsynIcmpSocket"), _icmp_device(services) {}

CAsynIcmpSocket::~CAsynIcmpSocket() {
    disable_full_transfers();
    _device = nullptr;
}

HRESULT CAsynIcmpSocket::Open() {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (_open) return E_UNEXPECTED;
    try {
        _icmp_device.set_singleton(_singleton);
        _icmp_device.create_socket();
    } catch (...) {
        return E_FAIL;
    }
    _device = &_icmp_device;
    _open = true;
    return S_OK;
}

HRESULT CAsynIcmpSocket::SetTtl(DWORD ttl) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (!_open) return E_UNEXPECTED;
    try {
        _icmp_device.set_ttl(ttl);
        return S_OK;
    } catch (...) {
        return E_FAIL;
    }
}

}  // namespace asynframe
