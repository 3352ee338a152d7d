#include "proxy/socks_objects.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "dns/dns_object.h"
#include "dns/ip_parser.h"
#include "engine/asyn_io_manager.h"
#include "engine/asyn_io_operation.h"
#include "platform/error_codes.h"
#include "proxy/socks5_messages.h"
#include "socket/socket_objects.h"
#include "support/exceptions.h"

namespace asynframe {
namespace {

constexpr HRESULT aborted = static_cast<HRESULT>(0x80004004u);  // E_ABORT

}  // namespace

// ---- CAsynSock5TcpSocket -----------------------------------------------------------------

CAsynSock5TcpSocket::CAsynSock5TcpSocket(singleton_instance* services, proxy_settings proxy)
    : with_singleton(services),
      CUnknownMultiThread("CAsynSock5TcpSocket"),
      _proxy(std::move(proxy)),
      _inner(new CAsynTcpSocket(services, nullptr)) {}

CAsynSock5TcpSocket::~CAsynSock5TcpSocket() {
    _wrapper.reset();
    _inner->Release();
}

IAsynTcpSocket* CAsynSock5TcpSocket::inner_socket() const noexcept { return _inner; }

HRESULT CAsynSock5TcpSocket::Close() {
    if (!on_dispatch_thread(_singleton)) return E_ACCESSDENIED;
    _wrapper.reset();  // cancels an exchange in progress
    return _inner->Close();
}

HRESULT CAsynSock5TcpSocket::Connect(IAsynIoOperation* operation, DWORD host_length, const char* host, WORD port,
                                     LONG priority) {
    if (host_length == 0 || host == nullptr) {
        if (!on_dispatch_thread(_singleton)) return E_ACCESSDENIED;
        if (_wrapper) return E_UNEXPECTED;
        return E_INVALIDARG;
    }
    const std::string target(host, host_length);
    return start(operation, &target, port, priority);
}

HRESULT CAsynSock5TcpSocket::Login(IAsynIoOperation* operation) { return start(operation, nullptr, 0, 0); }

HRESULT CAsynSock5TcpSocket::start(IAsynIoOperation* operation, const std::string* host, WORD port, LONG priority) {
    if (!on_dispatch_thread(_singleton)) return E_ACCESSDENIED;
    // Also after a failed connect: the caller closes first.
    if (_wrapper) return E_UNEXPECTED;
    CAsynIoOperation* object = usable_operation(operation);
    if (object == nullptr) return E_INVALIDARG;
    object->AddRef();  // the request's reference, released with its completion
    _wrapper = std::make_unique<socks_wrapper>(_singleton, _inner->socket_device(), _proxy.host, _proxy.port,
                                               _proxy.user, _proxy.password);
    _inner->set_open(true);
    try {
        if (host != nullptr)
            _wrapper->connect(*host, port, object->engine_operation(), priority);
        else
            _wrapper->login(object->engine_operation());
    } catch (const socket_exception& failure) {
        fail_started_request(object, failure.code());
    }
    return S_OK;
}

// ---- CAsynSock5TcpListener ---------------------------------------------------------------

CAsynSock5TcpListener::CAsynSock5TcpListener(singleton_instance* services, proxy_settings proxy,
                                             std::string bind_host, std::uint16_t bind_port)
    : with_singleton(services),
      CUnknownMultiThread("CAsynSock5TcpListener"),
      _server(std::make_unique<socks_asyn_server_socket>(services, std::move(proxy.host), proxy.port,
                                                         std::move(proxy.user), std::move(proxy.password),
                                                         std::move(bind_host), bind_port)),
      _accept_layer(new CAsynAcceptLayer(services)) {}

CAsynSock5TcpListener::~CAsynSock5TcpListener() {
    _server.reset();
    _accept_layer->Release();
}

HRESULT CAsynSock5TcpListener::ListenOn(DWORD, WORD port, IAsynIoOperation* operation) {
    return Listen(port, operation);
}

HRESULT CAsynSock5TcpListener::ListenOnAddress(DWORD address_length, const char* address, WORD port,
                                               IAsynIoOperation* operation) {
    if (!on_dispatch_thread(_singleton)) return E_ACCESSDENIED;
    platform::endpoint local;
    if (!endpoint_of_text(address_length, address, port, local)) return E_INVALIDARG;
    return Listen(port, operation);
}

HRESULT CAsynSock5TcpListener::Listen(WORD port, IAsynIoOperation* operation) {
    if (!on_dispatch_thread(_singleton)) return E_ACCESSDENIED;
    if (_listening) return E_UNEXPECTED;
    CAsynIoOperation* object = usable_operation(operation);
    if (object == nullptr) return E_INVALIDARG;
    object->AddRef();
    try {
        _server->listen(port, object->engine_operation());
    } catch (...) {
        object->Release();
        return E_FAIL;
    }
    _listening = true;
    return S_OK;
}

HRESULT CAsynSock5TcpListener::GetLocalAddress(IStringSetter* address, WORD* port) {
    if (!on_dispatch_thread(_singleton)) return E_ACCESSDENIED;
    if (!_listening) return E_UNEXPECTED;
    if (address == nullptr || port == nullptr) return E_INVALIDARG;
    const std::string host = _server->bound_host();
    address->SetString(static_cast<UINT>(host.size()), host.c_str());
    *port = _server->bound_port();
    return S_OK;
}

HRESULT CAsynSock5TcpListener::Accept(IAsynIoOperation* operation) {
    if (!on_dispatch_thread(_singleton)) return E_ACCESSDENIED;
    if (!_listening) return E_UNEXPECTED;
    CAsynIoOperation* object = usable_operation(operation);
    if (object == nullptr) return E_INVALIDARG;
    const std::uint32_t context[7] = {};
    try {
        object->push_layer(_accept_layer, context);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    object->AddRef();
    try {
        _server->accept(object->engine_operation());
    } catch (const socket_exception& failure) {
        fail_started_request(object, failure.code());
    }
    return S_OK;
}

HRESULT CAsynSock5TcpListener::Close() {
    if (!on_dispatch_thread(_singleton)) return E_ACCESSDENIED;
    if (!_listening) return E_UNEXPECTED;
    _server->close();
    _listening = false;
    return S_OK;
}

// ---- CAsynSock5UdpSocket -----------------------------------------------------------------

CAsynSock5UdpSocket::CAsynSock5UdpSocket(singleton_instance* services, proxy_settings proxy)
    : asyn_io_handler(services),
      CUnknownMultiThread("CAsynSock5UdpSocket"),
      _proxy(std::move(proxy)),
      _control(std::make_unique<asyn_socket_device_imp>(services)),
      _udp_device(services) {
    _wrapper = std::make_unique<socks_wrapper>(services, _control.get(), _proxy.host, _proxy.port, _proxy.user,
                                               _proxy.password);
}

CAsynSock5UdpSocket::~CAsynSock5UdpSocket() {
    // Released without Close: what the caller still waits for ends as a close ends it.
    if (_state != closed_for_good) close_for_good();
    _wrapper.reset();
    if (_dns != nullptr) _dns->Release();
}

std::uint16_t CAsynSock5UdpSocket::local_port() noexcept {
    try {
        std::uint32_t ip = 0;
        std::uint16_t port = 0;
        _udp_device.local_address(ip, port);
        return port;
    } catch (...) {
        return 0;
    }
}

bool CAsynSock5UdpSocket::in_dispatch_thread() const noexcept { return on_dispatch_thread(_singleton); }

void CAsynSock5UdpSocket::complete(IAsynIoOperation*& held, DWORD error, DWORD bytes) {
    IAsynIoOperation* operation = std::exchange(held, nullptr);
    if (operation == nullptr) return;
    if (CAsynIoOperation* object = CAsynIoOperation::resolve(operation)) {
        object->SetResult(error, bytes);
        object->post_completion();
    }
    operation->Release();
}

HRESULT CAsynSock5UdpSocket::Open(DWORD address, WORD port, IAsynIoOperation* operation) {
    if (_state != closed) return E_UNEXPECTED;
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    return open_on(platform::endpoint::v4(address, port), operation);
}

HRESULT CAsynSock5UdpSocket::OpenOn(DWORD address_length, const char* address, WORD port,
                                    IAsynIoOperation* operation) {
    if (_state != closed) return E_UNEXPECTED;
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    platform::endpoint local;
    if (!endpoint_of_text(address_length, address, port, local)) return E_INVALIDARG;
    return open_on(local, operation);
}

HRESULT CAsynSock5UdpSocket::open_on(const platform::endpoint& address, IAsynIoOperation* operation) {
    CAsynIoOperation* object = usable_operation(operation);
    if (object == nullptr) return E_INVALIDARG;
    platform::endpoint local;
    try {
        _udp_device.bind(address);
        local = _udp_device.local_endpoint();
    } catch (const socket_exception& failure) {
        _state = failed;
        object->SetResult(failure.code(), 0);
        object->post_completion();
        return S_OK;
    }
    operation->AddRef();
    _open_op = operation;
    _associate_op = create_operation(0);
    try {
        char local_text[64];
        platform::address_text(local, local_text);
        _wrapper->udp_associate(local_text, local.port, _associate_op);
    } catch (const socket_exception& failure) {
        _state = failed;
        complete(_open_op, failure.code(), 0);
        return S_OK;
    }
    _state = associating;
    return S_OK;
}

void CAsynSock5UdpSocket::on_io_complete(asyn_io_operation* operation) {
    if (_state == closed_for_good) return;
    if (operation == _associate_op) {
        associated(operation);
    } else if (operation == _receive_op) {
        received(operation);
    } else if (operation == _send_op) {
        std::uint32_t bytes = 0, error = 0;
        operation->get_result(bytes, error);
        const DWORD payload = bytes >= _send_header ? bytes - _send_header : 0;
        complete(_write_op, error, error == 0 ? payload : 0);
    }
}

void CAsynSock5UdpSocket::associated(asyn_io_operation* operation) {
    std::uint32_t bytes = 0, error = 0;
    if (!operation->get_result(bytes, error)) {
        _state = failed;
        complete(_open_op, error, 0);
        return;
    }
    const std::uint16_t relay_port = _wrapper->bound_port();
    const std::string& host = _wrapper->bound_host();
    std::uint32_t address = 0;
    platform::endpoint relay;
    if (inet_addr_value(host, address)) {
        _relay = platform::endpoint::v4(platform::host_to_net32(address), relay_port);
        _state = open;
        complete(_open_op, 0, 0);
    } else if (platform::parse_address(host.data(), host.size(), relay_port, relay)) {
        relay = platform::unmapped(relay);
        if (relay.is_v6() && _udp_device.family() != platform::endpoint::family_t::ipv6) {
            // An IPv4 socket cannot reach a relay on an IPv6 address.
            _state = failed;
            complete(_open_op, errors::address_family_unsupported, 0);
            return;
        }
        _relay = relay;
        _state = open;
        complete(_open_op, 0, 0);
    } else if (host.empty()) {
        _state = failed;
        complete(_open_op, 0xFFFFFFFFu, 0);
    } else {
        resolve_relay(host);
    }
}

void CAsynSock5UdpSocket::resolve_relay(const std::string& host) {
    if (_dns == nullptr) _dns = new CAsynDns(_singleton);
    if (CAsynIoOperation::create(_singleton, static_cast<IAsynIoOperationEvents*>(this), IID_IAsynIoOperation,
                                 reinterpret_cast<void**>(&_resolving)) != S_OK) {
        _state = failed;
        complete(_open_op, socks_cancelled_error, 0);
        return;
    }
    _resolving->SetTag(0);
    if (_dns->Resolve(_resolving, static_cast<DWORD>(host.size()), host.data()) != S_OK) {
        std::exchange(_resolving, nullptr)->Release();
        _state = failed;
        complete(_open_op, socks_cancelled_error, 0);
    }
}

HRESULT CAsynSock5UdpSocket::OnIoComplete(IAsynIoOperation* operation) {
    if (operation != _resolving || _state != associating) return S_OK;
    DWORD error = 0, bytes = 0;
    operation->GetResult(&error, &bytes);
    if (error == 0) {
        IUnknown* result = nullptr;
        operation->GetResultObject(&result);
        IAsynDnsResult* addresses = nullptr;
        if (result != nullptr && result->QueryInterface(IID_IAsynDnsResult, reinterpret_cast<void**>(&addresses)) == S_OK) {
            DWORD address = 0;
            if (addresses->GetAddress(0, &address) == S_OK) _relay = platform::endpoint::v4(address, _wrapper->bound_port());
            else error = DNS_RESULT_FAILED;
            addresses->Release();
        } else {
            error = DNS_RESULT_FAILED;
        }
        if (result != nullptr) result->Release();
    }
    std::exchange(_resolving, nullptr)->Release();
    _state = error == 0 ? open : failed;
    complete(_open_op, error, 0);
    return S_OK;
}

HRESULT CAsynSock5UdpSocket::Read(IAsynIoOperation* operation) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (_state != open) return E_UNEXPECTED;
    CAsynIoOperation* object = usable_operation(operation);
    if (object == nullptr) return E_INVALIDARG;
    if (_read_op != nullptr) return E_UNEXPECTED;
    DWORD start = 0, length = 0;
    operation->GetRange(&start, &length);
    if (length < min_read_range) return E_INVALIDARG;
    operation->AddRef();
    _read_op = operation;
    if (_receive_op == nullptr) _receive_op = create_operation(receive_size);
    start_receive();
    return S_OK;
}

void CAsynSock5UdpSocket::start_receive() {
    try {
        _udp_device.read(_receive_op, receive_size, 0);
    } catch (const socket_exception& failure) {
        complete(_read_op, failure.code(), 0);
    }
}

void CAsynSock5UdpSocket::received(asyn_io_operation* operation) {
    std::uint32_t bytes = 0, error = 0;
    if (!operation->get_result(bytes, error)) {
        complete(_read_op, error, 0);
        return;
    }
    const platform::endpoint source = platform::unmapped(operation->address());
    const std::uint8_t* data = operation->buffer();
    // Only whole datagrams from the relay with an address origin (IPv6 ones
    // only on an IPv6 socket, whose host asked for that family): anything
    // else, a short one included, is dropped.
    const std::size_t address_size = source.is_v6() ? 16 : 4;
    const bool from_relay = source.family == _relay.family && source.port == _relay.port &&
                            std::memcmp(source.address, _relay.address, address_size) == 0;
    platform::endpoint origin;
    const std::uint32_t header =
        from_relay ? socks5::read_udp_header(data, bytes, _udp_device.family() == platform::endpoint::family_t::ipv6,
                                             origin)
                   : 0;
    if (header == 0) {
        start_receive();
        return;
    }
    IAsynIoOperation* caller = _read_op;
    BYTE* buffer = nullptr;
    DWORD capacity = 0;
    caller->GetBuffer(&buffer, &capacity);
    DWORD start = 0, length = 0;
    caller->GetRange(&start, &length);
    const DWORD payload = std::min<DWORD>(bytes - header, length);
    std::memcpy(buffer + start, data + header, payload);
    if (CAsynIoOperation* object = CAsynIoOperation::resolve(caller))
        if (asyn_io_operation* request = object->engine_operation()) request->address() = origin;
    complete(_read_op, 0, payload);
}

HRESULT CAsynSock5UdpSocket::Write(IAsynIoOperation* operation) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (_state != open) return E_UNEXPECTED;
    CAsynIoOperation* object = usable_operation(operation);
    if (object == nullptr) return E_INVALIDARG;
    BYTE* buffer = nullptr;
    DWORD capacity = 0;
    operation->GetBuffer(&buffer, &capacity);
    if (capacity > max_write_buffer) return E_INVALIDARG;
    if (_write_op != nullptr) return E_UNEXPECTED;
    DWORD start = 0, length = 0;
    operation->GetRange(&start, &length);
    if (buffer == nullptr || static_cast<std::uint64_t>(start) + length > capacity) return E_INVALIDARG;
    platform::endpoint target = platform::unmapped(object->engine_operation()->address());
    // An operation without a target goes to 0.0.0.0:0, as it always did.
    if (target.family == platform::endpoint::family_t::none) target = platform::endpoint::v4(0, target.port);
    const std::uint32_t header = socks5::udp_header_size_for(target);

    if (_send_op != nullptr) delete_operation(_send_op);
    _send_op = create_operation(length + header);
    socks5::put_udp_header(_send_op->buffer(), target);
    std::memcpy(_send_op->buffer() + header, buffer + start, length);
    _send_op->address() = _relay;
    _send_header = header;
    operation->AddRef();
    _write_op = operation;
    try {
        _udp_device.write(_send_op, length + header, 0);
    } catch (const socket_exception& failure) {
        complete(_write_op, failure.code(), 0);
    }
    return S_OK;
}

HRESULT CAsynSock5UdpSocket::Close() {
    if (_state == closed_for_good) return E_UNEXPECTED;
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    close_for_good();
    return S_OK;
}

void CAsynSock5UdpSocket::close_for_good() {
    _state = closed_for_good;
    _wrapper->cancel();
    _control->close();
    _udp_device.close();
    delete_all_operations();
    _associate_op = _receive_op = _send_op = nullptr;
    // A relay resolution still running goes unheard.
    if (_resolving != nullptr) {
        _resolving->Close();
        std::exchange(_resolving, nullptr)->Release();
    }
    complete(_open_op, static_cast<DWORD>(aborted), 0);
    complete(_read_op, static_cast<DWORD>(aborted), 0);
    complete(_write_op, static_cast<DWORD>(aborted), 0);
}

HRESULT CAsynSock5UdpSocket::GetLocalAddress(DWORD* address, WORD* port) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (_state != open) return E_UNEXPECTED;
    if (address != nullptr) *address = _relay.v4_address();
    if (port != nullptr) *port = _relay.port;
    return S_OK;
}

HRESULT CAsynSock5UdpSocket::SendTo(IAsynIoOperation* operation, DWORD address_length, const char* address,
                                    WORD port) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    platform::endpoint target;
    if (!endpoint_of_text(address_length, address, port, target)) return E_INVALIDARG;
    CAsynIoOperation* object = usable_operation(operation);
    if (object == nullptr) return E_INVALIDARG;
    object->engine_operation()->address() = target;
    return Write(operation);
}

HRESULT CAsynSock5UdpSocket::GetSourceAddress(IAsynIoOperation* operation, IStringSetter* address, WORD* port) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    return operation_address_text(operation, address, port);
}

HRESULT CAsynSock5UdpSocket::GetLocalAddressText(IStringSetter* address, WORD* port) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (_state != open) return E_UNEXPECTED;
    if (address == nullptr || port == nullptr) return E_INVALIDARG;
    return give_address_text(_relay, address, port);
}

}  // namespace asynframe
