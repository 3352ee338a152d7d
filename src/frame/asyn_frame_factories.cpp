// The frame's factory slots (operations and the subsystems' objects) and the
// connection scheduler's limits.
#include "frame/asyn_frame.h"
#include "platform/tls.h"

#include <algorithm>
#include <new>

#include "asynframe/connect.h"
#include "component/asyn_io_operation_object.h"
#include "engine/asyn_io_manager.h"
#include "file/file_services.h"
#include "frame/frame_services.h"
#include "proxy/socks_objects.h"
#include "socket/connect_manager.h"
#include "socket/socket_factory.h"
#include "socket/socket_objects.h"
#include "speed/speed_limit.h"
#include "speed/speed_limit_socket.h"
#include "tls/asyn_ssl_socket.h"

namespace asynframe {

// ---- operations ----------------------------------------------------------------------

HRESULT CAsynFrame::CreateOperation(IAsynIoOperationEvents* owner, IAsynIoOperation** operation) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    if (owner == nullptr || operation == nullptr) return E_INVALIDARG;
    return CAsynIoOperation::create(&_services, owner, IID_IAsynIoOperation, reinterpret_cast<void**>(operation));
}

HRESULT CAsynFrame::CreateScatterOperation(IAsynIoOperationEvents* owner, IAsynFileScatterOperation** operation) {
    if (owner == nullptr || operation == nullptr) return E_INVALIDARG;
    // Any thread: the services must stay while the object is built.
    std::shared_lock<std::shared_mutex> state_guard(_state_lock);
    if (!accepts_work_locked(in_dispatch_thread_locked())) return E_UNEXPECTED;
    return CAsynIoOperation::create(&_services, owner, IID_IAsynFileScatterOperation,
                                    reinterpret_cast<void**>(operation));
}

HRESULT CAsynFrame::ReleaseOperations(IAsynIoOperationEvents* owner) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    if (owner == nullptr) return E_INVALIDARG;
    _services.operation_objects_ptr->release_all(owner);
    return S_OK;
}

HRESULT CAsynFrame::PostOperation(IUnknown* operation) {
    CAsynIoOperation* object = CAsynIoOperation::resolve(operation);
    if (object == nullptr) return E_INVALIDARG;
    asyn_io_operation* request = object->engine_operation();
    if (request == nullptr) return S_OK;
    if (object->busy()) return E_INVALIDARG;
    std::shared_lock<std::shared_mutex> state_guard(_state_lock);
    const bool dispatch = in_dispatch_thread_locked();
    if (!accepts_work_locked(dispatch)) return E_UNEXPECTED;
    if (!dispatch) {
        // Keeps an operation alive whose poster lets go before the completion arrives.
        mutex::scoped_lock guard_lock(_deferred_lock);
        IUnknown* face = object->face();
        if (std::find(_deferred_releases.begin(), _deferred_releases.end(), face) == _deferred_releases.end()) {
            try {
                _deferred_releases.push_back(face);
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
            face->AddRef();
        }
    }
    return object->post_completion();
}

// ---- factories of later subsystems -------------------------------------------------------

namespace {

// A counted text of the caller's; false for a length without bytes.
bool counted_text(DWORD length, const char* bytes, std::string& out) {
    if (length != 0 && bytes == nullptr) return false;
    out.assign(bytes != nullptr ? bytes : "", length);
    return true;
}


}  // namespace

HRESULT CAsynFrame::CreateTcpListener(IAsynTcpListener** listener) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    if (listener == nullptr) return E_INVALIDARG;
    return socket_factory::create_tcp_listener(&_services, IID_IAsynTcpListener, reinterpret_cast<void**>(listener));
}

HRESULT CAsynFrame::CreateSock5TcpListener(DWORD host_length, const char* host, WORD port, DWORD user_length,
                                           const char* user, DWORD password_length, const char* password,
                                           DWORD target_length, const char* target, WORD target_port,
                                           IAsynTcpListener** listener) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    if (listener == nullptr) return E_INVALIDARG;
    proxy_settings proxy;
    std::string bind_host;
    if (!counted_text(host_length, host, proxy.host) || !counted_text(user_length, user, proxy.user) ||
        !counted_text(password_length, password, proxy.password) || !counted_text(target_length, target, bind_host))
        return E_INVALIDARG;
    proxy.port = port;
    auto* object = new (std::nothrow) CAsynSock5TcpListener(&_services, std::move(proxy), std::move(bind_host),
                                                            target_port);
    if (object == nullptr) return E_OUTOFMEMORY;
    object->QueryInterface(IID_IAsynTcpListener, reinterpret_cast<void**>(listener));
    object->Release();
    return S_OK;
}

HRESULT CAsynFrame::CreateTcpSocket(IAsynTcpSocket** socket) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    if (socket == nullptr) return E_INVALIDARG;
    return socket_factory::create_tcp_socket(&_services, IID_IAsynTcpSocket, reinterpret_cast<void**>(socket));
}

HRESULT CAsynFrame::CreateUdpSocket(IAsynUdpSocket** socket) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    if (socket == nullptr) return E_INVALIDARG;
    return socket_factory::create_udp_socket(&_services, IID_IAsynUdpSocket, reinterpret_cast<void**>(socket));
}

HRESULT CAsynFrame::file_request(IAsynIoOperation* operation, DWORD size_low, DWORD size_high, DWORD name_length,
                                 const char* name, bool extend) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    if ((size_low == 0 && size_high == 0) || name_length == 0 || name == nullptr) return E_INVALIDARG;
    CAsynIoOperation* object = CAsynIoOperation::resolve(operation);
    if (object == nullptr || object->busy() || object->engine_operation() == nullptr) return E_INVALIDARG;
    object->AddRef();  // released when the completion is delivered
    file_services::request_file_size(&_services, object, size_low, size_high, std::string(name, name_length), extend);
    return S_OK;
}

HRESULT CAsynFrame::CreateAllocatedFile(IAsynIoOperation* operation, DWORD size_low, DWORD size_high,
                                        DWORD name_length, const char* name) {
    return file_request(operation, size_low, size_high, name_length, name, false);
}

HRESULT CAsynFrame::ExtendFile(IAsynIoOperation* operation, DWORD size_low, DWORD size_high, DWORD name_length,
                               const char* name) {
    return file_request(operation, size_low, size_high, name_length, name, true);
}

HRESULT CAsynFrame::CreateAsynFile(IAsynFile** file) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    if (file == nullptr) return E_INVALIDARG;
    return file_services::create_file_object(&_services, file);
}

HRESULT CAsynFrame::CreateIcmpSocket(IAsynIcmpSocket** socket) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    if (socket == nullptr) return E_INVALIDARG;
    return socket_factory::create_icmp_socket(&_services, IID_IAsynIcmpSocket, reinterpret_cast<void**>(socket));
}

HRESULT CAsynFrame::CreateDns(IAsynDns** dns) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    if (dns == nullptr) return E_INVALIDARG;
    return frame_services::create_dns_object(_services, dns);
}

HRESULT CAsynFrame::CreateSSLSocket(IAsynTcpSocket* inner, IAsynSSLSocket** socket) {
    // Without an out or a socket to carry the records there is nothing to make.
    if (socket == nullptr || inner == nullptr) return E_INVALIDARG;
    auto* object = new (std::nothrow) CAsynSSLSocket();
    if (object == nullptr) return E_OUTOFMEMORY;
    {
        std::lock_guard<std::recursive_mutex> guard(_lock);
        if (!_tls_contexts) _tls_contexts = std::make_shared<platform::tls::context_cache>();
    }
    object->initialize(static_cast<IAsynFrame3*>(this), &_services, inner, _tls_contexts);
    object->QueryInterface(IID_IAsynSSLSocket, reinterpret_cast<void**>(socket));
    object->Release();
    return S_OK;
}

HRESULT CAsynFrame::CreateProxyTcpSocket(IAsynTcpSocket* socket, DWORD kind, DWORD host_length, const char* host,
                                         WORD port, DWORD user_length, const char* user, DWORD password_length,
                                         const char* password, IAsynProxyTcpSocket** proxy_socket) {
    if (kind != PROXY_KIND_SOCKS5) return E_NOTIMPL;
    // Nothing would receive the object.
    if (proxy_socket == nullptr) return E_INVALIDARG;
    // The socket only vouches for the caller: it must be one of this module's.
    if (socket == nullptr || dynamic_cast<CAsynTcpSocket*>(socket) == nullptr) return E_UNEXPECTED;
    proxy_settings proxy;
    if (!counted_text(host_length, host, proxy.host) || !counted_text(user_length, user, proxy.user) ||
        !counted_text(password_length, password, proxy.password))
        return E_INVALIDARG;
    proxy.port = port;
    auto* object = new (std::nothrow) CAsynSock5TcpSocket(&_services, std::move(proxy));
    if (object == nullptr) return E_OUTOFMEMORY;
    object->QueryInterface(IID_IAsynProxyTcpSocket, reinterpret_cast<void**>(proxy_socket));
    object->Release();
    return S_OK;
}

HRESULT CAsynFrame::CreateSpeedLimit(ISpeedLimit** limit) {
    // Nothing would receive the object.
    if (limit == nullptr) return E_INVALIDARG;
    auto* object = new (std::nothrow) CSpeedLimit();
    if (object == nullptr) return E_OUTOFMEMORY;
    object->QueryInterface(IID_ISpeedLimit, reinterpret_cast<void**>(limit));
    object->Release();
    return S_OK;
}

HRESULT CAsynFrame::CreateSpeedLimitSocket(IAsynTcpSocket* inner, ISpeedLimit* read_limit, ISpeedLimit* write_limit,
                                           IAsynTcpSocket** socket) {
    // Without an out or a socket to wrap there is nothing to make.
    if (socket == nullptr || inner == nullptr) return E_INVALIDARG;
    auto* object = new (std::nothrow) CAsynSpeedLimitSocket();
    if (object == nullptr) return E_OUTOFMEMORY;
    object->initialize(static_cast<IAsynFrame3*>(this), inner, read_limit, write_limit);
    object->QueryInterface(IID_IAsynTcpSocket, reinterpret_cast<void**>(socket));
    object->Release();
    return S_OK;
}

HRESULT CAsynFrame::CreateUdpSocket2(IAsynUdpSocket2** socket) {
    if (socket == nullptr) return E_INVALIDARG;
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    return socket_factory::create_udp_socket(&_services, IID_IAsynUdpSocket2, reinterpret_cast<void**>(socket));
}

HRESULT CAsynFrame::CreateTcpListener2(IAsynTcpListener2** listener) {
    if (listener == nullptr) return E_INVALIDARG;
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    return socket_factory::create_tcp_listener(&_services, IID_IAsynTcpListener2,
                                               reinterpret_cast<void**>(listener));
}

HRESULT CAsynFrame::CreateSock5UdpSocket(DWORD host_length, const char* host, WORD port, DWORD user_length,
                                         const char* user, DWORD password_length, const char* password,
                                         IAsynUdpSocket2** socket) {
    if (socket == nullptr) return E_INVALIDARG;
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    proxy_settings proxy;
    if (!counted_text(host_length, host, proxy.host) || !counted_text(user_length, user, proxy.user) ||
        !counted_text(password_length, password, proxy.password))
        return E_INVALIDARG;
    proxy.port = port;
    auto* object = new (std::nothrow) CAsynSock5UdpSocket(&_services, std::move(proxy));
    if (object == nullptr) return E_OUTOFMEMORY;
    object->QueryInterface(IID_IAsynUdpSocket2, reinterpret_cast<void**>(socket));
    object->Release();
    return S_OK;
}

// ---- connection limits (the connection scheduler's) --------------------------------------

template <class Call>
HRESULT CAsynFrame::with_scheduler(Call&& call) {
    // Any thread may ask; the scheduler is read under the state lock, which a
    // stop takes before the services go.
    std::shared_lock<std::shared_mutex> state_guard(_state_lock);
    connect_manager* scheduler = _services.connect_manager_ptr;
    if (_visible_engine == nullptr || scheduler == nullptr) return E_UNEXPECTED;
    call(*scheduler);
    return S_OK;
}

HRESULT CAsynFrame::SetMaxSynCount(DWORD count) {
    if (count == 0) return E_INVALIDARG;
    return with_scheduler([count](connect_manager& scheduler) { scheduler.set_max_syn_count(count); });
}

HRESULT CAsynFrame::GetMaxSynCount(DWORD* count) {
    if (count == nullptr) return E_INVALIDARG;
    return with_scheduler([count](connect_manager& scheduler) { *count = scheduler.max_syn_count(); });
}

HRESULT CAsynFrame::GetSynCount(DWORD* count) {
    if (count == nullptr) return E_INVALIDARG;
    return with_scheduler([count](connect_manager& scheduler) { *count = scheduler.syn_count(); });
}

HRESULT CAsynFrame::SetMaxConnection(DWORD count) {
    if (count == 0) return E_INVALIDARG;
    return with_scheduler([count](connect_manager& scheduler) { scheduler.set_max_connection(count); });
}

HRESULT CAsynFrame::GetMaxConnection(DWORD* count) {
    if (count == nullptr) return E_INVALIDARG;
    return with_scheduler([count](connect_manager& scheduler) { *count = scheduler.max_connection(); });
}

HRESULT CAsynFrame::GetConnectionCount(DWORD* count) {
    if (count == nullptr) return E_INVALIDARG;
    return with_scheduler([count](connect_manager& scheduler) { *count = scheduler.connection_count(); });
}

}  // namespace asynframe
