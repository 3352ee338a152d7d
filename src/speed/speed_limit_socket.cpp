#include "speed/speed_limit_socket.h"

#include <utility>

#include "component/io_device.h"

namespace asynframe {
namespace {

// Values of a limited request's layer entry.
enum entry_value : int { direction = 0, range_start = 1, range_length = 2 };

constexpr DWORD operation_aborted = 995;

template <class T>
void keep(T*& field, T* value) {
    if (value != nullptr) value->AddRef();
    if (field != nullptr) field->Release();
    field = value;
}

}  // namespace

CAsynSpeedLimitSocket::CAsynSpeedLimitSocket() : CUnknownMultiThread("CAsynSpeedLimitSocket") {
    _complete_device = new CAsynCompleteIoDevice();
    _complete_device->set_inner_device(static_cast<IAsynTcpSocket*>(this));
}

CAsynSpeedLimitSocket::~CAsynSpeedLimitSocket() {
    // Released with an operation still parked (its timer went with a stopped
    // frame): the operation is abandoned as a close would.
    abandon_parked(true);
    abandon_parked(false);
    _complete_device->set_inner_device(nullptr);
    std::exchange(_complete_device, nullptr)->Release();
    keep(_read_limit, static_cast<ISpeedLimit*>(nullptr));
    keep(_write_limit, static_cast<ISpeedLimit*>(nullptr));
    keep(_inner, static_cast<IAsynTcpSocket*>(nullptr));
    keep(_timers, static_cast<IAsynFrame*>(nullptr));
}

void CAsynSpeedLimitSocket::initialize(IAsynFrame* timers, IAsynTcpSocket* inner, ISpeedLimit* read_limit,
                                       ISpeedLimit* write_limit) {
    keep(_timers, timers);
    keep(_inner, inner);
    keep(_read_limit, read_limit);
    keep(_write_limit, write_limit);
}

HRESULT CAsynSpeedLimitSocket::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IAsynIoDevice || iid == IID_IAsynTcpSocket) {
        *object = static_cast<IAsynTcpSocket*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT CAsynSpeedLimitSocket::Read(IAsynIoOperation* operation) { return transfer(operation, true); }

HRESULT CAsynSpeedLimitSocket::Write(IAsynIoOperation* operation) { return transfer(operation, false); }

HRESULT CAsynSpeedLimitSocket::transfer(IAsynIoOperation* operation, bool read) {
    if (_inner == nullptr) return E_UNEXPECTED;
    IAsynIoOperation*& parked = read ? _read_parked : _write_parked;
    if (parked != nullptr) return E_UNEXPECTED;
    ISpeedLimit* limit = read ? _read_limit : _write_limit;
    if (limit == nullptr) return read ? _inner->Read(operation) : _inner->Write(operation);

    CAsynIoOperation* object = CAsynIoOperation::resolve(operation);
    if (object == nullptr || object->busy() || !object->range_valid()) return E_INVALIDARG;
    const std::uint32_t start = object->range_start();
    const std::uint32_t length = object->range_length();
    DWORD granted = 0;
    DWORD wait = 0;
    limit->Request(length, &granted, &wait);
    if (granted == 0) {
        if (_timers == nullptr) return E_UNEXPECTED;
        const HRESULT hr = _timers->SetTimer(static_cast<IAsynTimerEvents*>(this), read ? read_timer : write_timer,
                                             wait, 0);
        if (SUCCEEDED(hr)) {
            operation->AddRef();
            parked = operation;
        }
        return hr;
    }
    const std::uint32_t values[7] = {read ? 1u : 0u, start, length, 0, 0, 0, 0};
    try {
        object->push_layer(this, values);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    object->SetRange(start, granted);
    const HRESULT hr = read ? _inner->Read(operation) : _inner->Write(operation);
    if (FAILED(hr)) {
        object->pop_layer();
        object->SetRange(start, length);
    }
    return hr;
}

void CAsynSpeedLimitSocket::on_layer_complete(CAsynIoOperation* operation, layer_entry entry) {
    const bool read = entry.values[direction] == 1;
    DWORD error = 0;
    DWORD bytes = 0;
    operation->GetResult(&error, &bytes);
    if (error == 0) {
        if (ISpeedLimit* limit = read ? _read_limit : _write_limit) limit->Report(bytes);
    }
    operation->SetRange(entry.values[range_start], entry.values[range_length]);
    operation->deliver();
}

HRESULT CAsynSpeedLimitSocket::OnTimer(DWORD id) {
    if (id != read_timer && id != write_timer) return S_OK;
    const bool read = id == read_timer;
    IAsynIoOperation* operation = std::exchange(read ? _read_parked : _write_parked, nullptr);
    if (operation == nullptr) return S_OK;
    AddRef();  // the retry may end in a callback that releases this socket
    if (FAILED(transfer(operation, read))) {
        // The retry cannot start (the inner socket was closed meanwhile): the
        // caller would otherwise wait for ever.
        if (CAsynIoOperation* object = CAsynIoOperation::resolve(operation)) {
            object->SetResult(operation_aborted, 0);
            object->post_completion();
        }
    }
    operation->Release();
    Release();
    return S_OK;
}

void CAsynSpeedLimitSocket::abandon_parked(bool read) noexcept {
    IAsynIoOperation* operation = std::exchange(read ? _read_parked : _write_parked, nullptr);
    if (operation == nullptr) return;
    if (_timers != nullptr) _timers->KillTimer(static_cast<IAsynTimerEvents*>(this), read ? read_timer : write_timer);
    operation->Close();
    operation->Release();
}

HRESULT CAsynSpeedLimitSocket::Close() {
    if (_inner == nullptr) return E_UNEXPECTED;
    const HRESULT hr = _inner->Close();
    AddRef();  // killing a timer lets go of the frame's reference to this socket
    abandon_parked(true);
    abandon_parked(false);
    _complete_device->drop_transfers();
    Release();
    return hr;
}

HRESULT CAsynSpeedLimitSocket::ReadFully(IAsynIoOperation* operation) { return _complete_device->ReadFully(operation); }

HRESULT CAsynSpeedLimitSocket::WriteFully(IAsynIoOperation* operation) {
    return _complete_device->WriteFully(operation);
}

HRESULT CAsynSpeedLimitSocket::Connect(IAsynIoOperation* operation, DWORD host_length, const char* host, WORD port,
                                       LONG priority) {
    return _inner != nullptr ? _inner->Connect(operation, host_length, host, port, priority) : E_UNEXPECTED;
}

HRESULT CAsynSpeedLimitSocket::GetLocalAddress(DWORD* address, WORD* port) {
    return _inner != nullptr ? _inner->GetLocalAddress(address, port) : E_UNEXPECTED;
}

HRESULT CAsynSpeedLimitSocket::GetPeerAddress(DWORD* address, WORD* port) {
    return _inner != nullptr ? _inner->GetPeerAddress(address, port) : E_UNEXPECTED;
}

HRESULT CAsynSpeedLimitSocket::SetRecvTimeout(DWORD milliseconds) {
    return _inner != nullptr ? _inner->SetRecvTimeout(milliseconds) : E_UNEXPECTED;
}

HRESULT CAsynSpeedLimitSocket::SetRecvBufferSize(DWORD bytes) {
    return _inner != nullptr ? _inner->SetRecvBufferSize(bytes) : E_UNEXPECTED;
}

}  // namespace asynframe
