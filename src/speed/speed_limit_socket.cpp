#include "speed/speed_limit_socket.h"

#include <mutex>
#include <utility>

#include "component/io_device.h"
#include "platform/error_codes.h"

namespace asynframe {
namespace {

// Values of a limited request's layer entry.
enum entry_value : int { direction = 0, range_start = 1, range_length = 2 };

}  // namespace

// The frame's timers and the caller's operations hold this relay, not the
// socket. The socket detaches it when it goes; a timer that fires afterwards
// finds no owner, and a request still in flight is handed on to its caller.
class limited_socket_relay final
    : public com_interfaces<limited_socket_relay, IAsynTimerEvents, CAsynIoOperationLayer>,
      public atomic_ref_count {
public:
    using interfaces = single_interface<IID_IAsynTimerEvents, IAsynTimerEvents>;

    explicit limited_socket_relay(CAsynSpeedLimitSocket* owner) noexcept : _owner(owner) {}

    // The lock keeps the owner from going (its destructor detaches first) on
    // another thread while a retry runs in it; a retry never releases it.
    HRESULT ASYNFRAME_STDCALL OnTimer(DWORD id) override {
        const std::lock_guard<std::mutex> hold(_lock);
        if (_owner != nullptr) _owner->on_timer(id);
        return S_OK;
    }

    void on_layer_complete(CAsynIoOperation* operation, layer_entry entry) override {
        DWORD error = 0;
        DWORD bytes = 0;
        operation->GetResult(&error, &bytes);
        if (error == 0) {
            const std::lock_guard<std::mutex> hold(_lock);
            if (_owner != nullptr) _owner->report(entry.values[direction] == 1, bytes);
        }
        operation->SetRange(entry.values[range_start], entry.values[range_length]);
        operation->deliver();
    }

    void detach() noexcept {
        const std::lock_guard<std::mutex> hold(_lock);
        _owner = nullptr;
    }

private:
    ~limited_socket_relay() override = default;

    std::mutex _lock;
    CAsynSpeedLimitSocket* _owner;
};

CAsynSpeedLimitSocket::CAsynSpeedLimitSocket() : CUnknownMultiThread("CAsynSpeedLimitSocket") {
    _relay = new limited_socket_relay(this);
    _complete_device = new CAsynCompleteIoDevice();
    _complete_device->set_inner_device(static_cast<IAsynTcpSocket*>(this));
}

CAsynSpeedLimitSocket::~CAsynSpeedLimitSocket() {
    // The caller's last reference: no timer or completion reaches this object
    // any more; what is parked completes with 995 and the connection closes,
    // as a plain socket released with work in flight does.
    _relay->detach();
    abandon_parked(true);
    abandon_parked(false);
    if (!_closed && _inner != nullptr) _inner->Close();
    std::exchange(_relay, nullptr)->Release();
    _complete_device->set_inner_device(nullptr);
    std::exchange(_complete_device, nullptr)->Release();
    _read_limit.reset();
    _write_limit.reset();
    _inner.reset();
    _timers.reset();
}

void CAsynSpeedLimitSocket::initialize(IAsynFrame* timers, IAsynTcpSocket* inner, ISpeedLimit* read_limit,
                                       ISpeedLimit* write_limit) {
    _timers = ref_ptr<IAsynFrame>::share(timers);
    _inner = ref_ptr<IAsynTcpSocket>::share(inner);
    _read_limit = ref_ptr<ISpeedLimit>::share(read_limit);
    _write_limit = ref_ptr<ISpeedLimit>::share(write_limit);
}

HRESULT CAsynSpeedLimitSocket::Read(IAsynIoOperation* operation) { return transfer(operation, true); }

HRESULT CAsynSpeedLimitSocket::Write(IAsynIoOperation* operation) { return transfer(operation, false); }

HRESULT CAsynSpeedLimitSocket::transfer(IAsynIoOperation* operation, bool read) {
    if (_inner == nullptr || _closed) return E_UNEXPECTED;
    IAsynIoOperation*& parked = read ? _read_parked : _write_parked;
    if (parked != nullptr) return E_UNEXPECTED;
    ISpeedLimit* limit = (read ? _read_limit : _write_limit).get();
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
        const HRESULT hr = _timers->SetTimer(_relay, read ? read_timer : write_timer, wait, 0);
        if (SUCCEEDED(hr)) {
            operation->AddRef();
            parked = operation;
        }
        return hr;
    }
    const std::uint32_t values[7] = {read ? 1u : 0u, start, length, 0, 0, 0, 0};
    try {
        object->push_layer(_relay, values);
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

void CAsynSpeedLimitSocket::report(bool read, DWORD bytes) {
    if (ISpeedLimit* limit = (read ? _read_limit : _write_limit).get()) limit->Report(bytes);
}

void CAsynSpeedLimitSocket::on_timer(DWORD id) {
    if (id != read_timer && id != write_timer) return;
    const bool read = id == read_timer;
    IAsynIoOperation* operation = std::exchange(read ? _read_parked : _write_parked, nullptr);
    if (operation == nullptr) return;
    if (FAILED(transfer(operation, read))) {
        // The retry cannot start (the inner socket failed meanwhile): the
        // caller would otherwise wait for ever.
        if (CAsynIoOperation* object = CAsynIoOperation::resolve(operation)) {
            object->SetResult(errors::operation_aborted, 0);
            object->post_completion();
        }
    }
    operation->Release();
}

// A parked request completes with 995, once: its timer goes first (off the
// dispatch thread it cannot, and then finds the relay detached or the
// request gone). The operation stays the caller's to use again.
void CAsynSpeedLimitSocket::abandon_parked(bool read) noexcept {
    IAsynIoOperation* operation = std::exchange(read ? _read_parked : _write_parked, nullptr);
    if (operation == nullptr) return;
    if (_timers != nullptr) _timers->KillTimer(_relay, read ? read_timer : write_timer);
    if (CAsynIoOperation* object = CAsynIoOperation::resolve(operation)) {
        object->SetResult(errors::operation_aborted, 0);
        object->post_completion();
    }
    operation->Release();
}

HRESULT CAsynSpeedLimitSocket::Close() {
    if (_inner == nullptr) return E_UNEXPECTED;
    const HRESULT hr = _inner->Close();
    _closed = true;
    abandon_parked(true);
    abandon_parked(false);
    _complete_device->drop_transfers();
    return hr;
}

HRESULT CAsynSpeedLimitSocket::ReadFully(IAsynIoOperation* operation) { return _complete_device->ReadFully(operation); }

HRESULT CAsynSpeedLimitSocket::WriteFully(IAsynIoOperation* operation) {
    return _complete_device->WriteFully(operation);
}

HRESULT CAsynSpeedLimitSocket::Connect(IAsynIoOperation* operation, DWORD host_length, const char* host, WORD port,
                                       LONG priority) {
    if (_inner == nullptr) return E_UNEXPECTED;
    const HRESULT hr = _inner->Connect(operation, host_length, host, port, priority);
    if (SUCCEEDED(hr)) _closed = false;  // a closed TCP socket may connect again
    return hr;
}

}  // namespace asynframe
