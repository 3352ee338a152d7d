#include "socket/connect_manager_object.h"

#include "engine/asyn_io_operation.h"

namespace asynframe {

CConnectManager::CConnectManager(singleton_instance* services)
    : with_singleton(services), CUnknownMultiThread("CConnectManager") {}

namespace {

IConnectManagerEvents2* extended(IConnectManagerEvents* sink) {
    IConnectManagerEvents2* ext = nullptr;
    if (sink == nullptr || FAILED(sink->QueryInterface(IID_IConnectManagerEvents2, reinterpret_cast<void**>(&ext))))
        return nullptr;
    return ext;
}

}  // namespace

HRESULT CConnectManager::Advise(IConnectManagerEvents* sink) {
    const HRESULT hr = _sinks.advise(sink);
    if (FAILED(hr)) return hr;
    if (IConnectManagerEvents2* ext = extended(sink)) {
        if (SUCCEEDED(_sinks2.advise(ext))) _starts_wanted.fetch_add(1, std::memory_order_acq_rel);
        ext->Release();  // the list holds its own reference
    }
    return hr;
}

HRESULT CConnectManager::Unadvise(IConnectManagerEvents* sink) {
    const HRESULT hr = _sinks.unadvise(sink);
    if (FAILED(hr)) return hr;
    if (IConnectManagerEvents2* ext = extended(sink)) {
        if (SUCCEEDED(_sinks2.unadvise(ext))) _starts_wanted.fetch_sub(1, std::memory_order_acq_rel);
        ext->Release();
    }
    return hr;
}

void CConnectManager::on_connect_request(asyn_io_operation* operation, const std::string& host, std::uint16_t port,
                                         std::int32_t priority) {
    IAsynIoOperation* face = operation->operation_iface();
    if (face == nullptr) return;
    _sinks.raise([&](IConnectManagerEvents* sink) {
        sink->OnConnectRequest(face, static_cast<DWORD>(host.size()), host.data(), port, priority);
    });
}

void CConnectManager::on_resolved(asyn_io_operation* operation, std::int32_t result,
                                  const std::vector<std::string>& addresses) {
    IAsynIoOperation* face = operation->operation_iface();
    if (face == nullptr) return;
    std::vector<tagSTRING_ITEM> items;
    items.reserve(addresses.size());
    for (const std::string& address : addresses)
        items.push_back(tagSTRING_ITEM{static_cast<UINT>(address.size()), address.empty() ? nullptr : address.data()});
    const tagSTRING_ARRAY array{static_cast<UINT>(items.size()), items.empty() ? nullptr : items.data()};
    _sinks.raise([&](IConnectManagerEvents* sink) { sink->OnResolved(face, result, array); });
}

void CConnectManager::on_connect_attempt(asyn_io_operation* operation, std::uint32_t result,
                                         const std::string& address) {
    IAsynIoOperation* face = operation->operation_iface();
    if (face == nullptr) return;
    _sinks.raise([&](IConnectManagerEvents* sink) {
        sink->OnConnectAttempt(face, result, static_cast<DWORD>(address.size()), address.data());
    });
}

void CConnectManager::on_connect_complete(asyn_io_operation* operation, std::uint32_t result) {
    IAsynIoOperation* face = operation->operation_iface();
    if (face == nullptr) return;
    _sinks.raise([&](IConnectManagerEvents* sink) { sink->OnConnectComplete(face, result); });
}

void CConnectManager::on_connect_attempt_start(asyn_io_operation* operation, const std::string& address) {
    IAsynIoOperation* face = operation->operation_iface();
    if (face == nullptr) return;
    _sinks2.raise([&](IConnectManagerEvents2* sink) {
        sink->OnConnectAttemptStart(face, static_cast<DWORD>(address.size()), address.data());
    });
}

}  // namespace asynframe
