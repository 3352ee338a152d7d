#include "socket/socket_factory.h"

#include <new>

#include "socket/socket_objects.h"

namespace asynframe::socket_factory {
namespace {

template <class Object, class Make>
HRESULT create(REFIID iid, void** out, Make make) {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    Object* object = nullptr;
    try {
        object = make();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
    const HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
}

}  // namespace

HRESULT create_tcp_listener(singleton_instance* services, REFIID iid, void** out) {
    return create<CAsynTcpListener>(iid, out, [services] { return new CAsynTcpListener(services); });
}

HRESULT create_tcp_socket(singleton_instance* services, REFIID iid, void** out) {
    return create<CAsynTcpSocket>(iid, out, [services] { return new CAsynTcpSocket(services, nullptr); });
}

HRESULT create_udp_socket(singleton_instance* services, REFIID iid, void** out) {
    return create<CAsynUdpSocket>(iid, out, [services] { return new CAsynUdpSocket(services); });
}

HRESULT create_icmp_socket(singleton_instance* services, REFIID iid, void** out) {
    return create<CAsynIcmpSocket>(iid, out, [services] { return new CAsynIcmpSocket(services); });
}

}  // namespace asynframe::socket_factory
