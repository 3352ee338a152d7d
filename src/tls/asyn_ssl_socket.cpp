#include "tls/asyn_ssl_socket.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include "component/io_device.h"
#include "component/com_helpers.h"
#include "engine/asyn_io_manager.h"
#include "platform/error_codes.h"
#include "support/exceptions.h"
#include "support/setting.h"
#include "tls/asyn_ssl_socket_detail.h"

namespace asynframe {

// The inner operation's receiver. The operation holds its receiver, so the
// socket itself would never be released while it owns the operation; this
// object only points back, and the socket detaches it when it goes.
class ssl_inner_events final : public com_interfaces<ssl_inner_events, IAsynIoOperationEvents>,
                               public atomic_ref_count {
public:
    using interfaces = single_interface<IID_IAsynIoOperationEvents, IAsynIoOperationEvents>;

    explicit ssl_inner_events(CAsynSSLSocket* owner) noexcept : _owner(owner) {}

    HRESULT ASYNFRAME_STDCALL OnIoComplete(IAsynIoOperation* operation) override {
        if (_owner != nullptr) _owner->on_inner_complete(operation);
        return S_OK;
    }

    void detach() noexcept { _owner = nullptr; }

private:
    ~ssl_inner_events() override = default;

    CAsynSSLSocket* _owner;
};

namespace {

constexpr std::uint32_t inner_buffer_step = 8192;

}  // namespace

namespace ssl_detail {

std::string result_text(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

}  // namespace ssl_detail

using ssl_detail::keep;


CAsynSSLSocket::CAsynSSLSocket() : CUnknownMultiThread("CAsynSSLSocket") {
    _inner_events = new ssl_inner_events(this);
    _complete_device = new CAsynCompleteIoDevice();
    _complete_device->set_inner_device(static_cast<IAsynSSLSocket*>(this));
}

CAsynSSLSocket::~CAsynSSLSocket() {
    if (_open) close_connection();
    _complete_device->set_inner_device(nullptr);
    std::exchange(_complete_device, nullptr)->Release();
    keep(_connect_op_ptr, static_cast<IAsynIoOperation*>(nullptr));
    keep(_read_op_ptr, static_cast<IAsynIoOperation*>(nullptr));
    keep(_write_op_ptr, static_cast<IAsynIoOperation*>(nullptr));
    release_inner_operation();
    _inner_events->detach();
    std::exchange(_inner_events, nullptr)->Release();
    keep(_inner_socket, static_cast<IAsynTcpSocket*>(nullptr));
    keep(_frame_ptr, static_cast<IAsynFrame*>(nullptr));
}

void CAsynSSLSocket::initialize(IAsynFrame* frame, singleton_instance* services, IAsynTcpSocket* inner,
                                std::shared_ptr<platform::tls::context_cache> contexts) {
    _contexts = std::move(contexts);
    keep(_frame_ptr, frame);
    keep(_inner_socket, inner);
    _services = services;
    keep(_connect_op_ptr, static_cast<IAsynIoOperation*>(nullptr));
    keep(_read_op_ptr, static_cast<IAsynIoOperation*>(nullptr));
    keep(_write_op_ptr, static_cast<IAsynIoOperation*>(nullptr));
    release_inner_operation();
    _write_len = _read_len = _read_pos = 0;
    _open = false;
    reset_tls_state();
}

bool CAsynSSLSocket::in_dispatch_thread() const noexcept {
    return _services != nullptr && _services->asyn_io_manager_ptr != nullptr &&
           _services->asyn_io_manager_ptr->in_dispatch_thread();
}

bool CAsynSSLSocket::verify_peer() const {
    return _services == nullptr || _services->setting_ptr == nullptr ||
           _services->setting_ptr->get(setting_keys::ssl_verify_peer);
}

void CAsynSSLSocket::reset_tls_state() noexcept {
    _session.close();
    _result_data.clear();
    _result_data.shrink_to_fit();
    _result_data_pos = 0;
    _io_buffer_len = 0;
    _handshake_status = sending_token;
    _data_operate_bytes = 0;
    _data_pos = 0;
    _handshake_finishing = false;
    _peer_closed = false;
    _write_fill[0] = _write_fill[1] = 0;
    _write_inflight = -1;
    _inflight_pos = _inflight_left = 0;
    _write_staged = -1;
    _write_done = 0;
    _reading = false;
    _eof = false;
    _read_failed = false;
    _read_failure_code = 0;
    _read_failure_text.clear();
}

HRESULT CAsynSSLSocket::create_inner_operation() {
    IAsynIoOperation* operation = nullptr;
    HRESULT hr = _frame_ptr->CreateOperation(_inner_events, &operation);
    if (FAILED(hr)) return hr;
    hr = operation->AllocBuffer(inner_buffer_step);
    if (FAILED(hr)) {
        operation->Close();
        operation->Release();
        return hr;
    }
    operation->SetTag(0);
    _operation_ptr = operation;
    return S_OK;
}

HRESULT CAsynSSLSocket::create_write_operation(int index) {
    IAsynIoOperation* operation = nullptr;
    const HRESULT hr = _frame_ptr->CreateOperation(_inner_events, &operation);
    if (FAILED(hr)) return hr;
    operation->SetTag(0);
    _write_ops[index] = operation;
    return S_OK;
}

void CAsynSSLSocket::release_inner_operation() noexcept {
    // Nothing lent may outlive the inner buffer. (A copy that fails for
    // want of memory drops the bytes, never the pointer's reset.)
    try {
        _session.return_input();
    } catch (...) {
    }
    for (IAsynIoOperation*& slot : _write_ops) {
        if (slot == nullptr) continue;
        IAsynIoOperation* operation = std::exchange(slot, nullptr);
        operation->Close();  // a completion still in flight is consumed silently
        operation->Release();
    }
    if (_operation_ptr == nullptr) return;
    IAsynIoOperation* operation = std::exchange(_operation_ptr, nullptr);
    operation->Close();
    operation->Release();
}

void CAsynSSLSocket::submit_now() noexcept {
    if (_services != nullptr && _services->asyn_io_manager_ptr != nullptr)
        _services->asyn_io_manager_ptr->submit_now();
}

// ---- the server name and the failure text ------------------------------------------

HRESULT CAsynSSLSocket::SetServerName(DWORD name_length, const char* name) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    // The handshake under way (or done) was started with the name it had.
    if (_open) return E_UNEXPECTED;
    // The longest name SNI can carry.
    constexpr DWORD longest = 255;
    if (name_length > longest || (name_length > 0 && name == nullptr)) return E_INVALIDARG;
    const std::string_view text(name_length > 0 ? name : "", name_length);
    // A zero byte would cut the name short where the TLS library reads it.
    if (text.find('\0') != std::string_view::npos) return E_INVALIDARG;
    _server_name.assign(text);
    return S_OK;
}

HRESULT CAsynSSLSocket::GetFailureText(IStringSetter* text) {
    if (text == nullptr) return E_INVALIDARG;
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    return text->SetString(static_cast<UINT>(_failure_text.size()), _failure_text.data());
}

// ---- inner completions -------------------------------------------------------------

void CAsynSSLSocket::on_inner_complete(IAsynIoOperation* operation) {
    if (operation == nullptr) return;
    int writer = -1;
    if (operation == _write_ops[0]) writer = 0;
    if (operation == _write_ops[1]) writer = 1;
    if (operation != _operation_ptr && writer < 0) return;
    AddRef();  // a completion posted below may be the caller's cue to let go
    DWORD error = 0;
    DWORD bytes = 0;
    operation->GetResult(&error, &bytes);
    if (writer >= 0) {
        try {
            write_step(writer, error, bytes);
        } catch (const proxy_exception& failure) {
            write_failed(errors::layer_protocol, failure.what());
        } catch (const socket_exception& failure) {
            write_failed(errors::layer_transfer, failure.what());
        } catch (const std::exception& failure) {
            write_failed(errors::layer_other, failure.what());
        }
    } else if (_handshake_status == handshake_done) {
        guarded_read(true, error, bytes);
    } else {
        try {
            switch (_activity) {
            case connecting:
                if (error != 0)
                    complete(_connect_op_ptr, error, 0);
                else
                    start_handshake(_host);
                break;
            case handshaking:
                handshake_step(error, bytes);
                break;
            default:
                break;
            }
        } catch (const proxy_exception& failure) {
            fail_current(errors::layer_protocol, failure.what());
        } catch (const socket_exception& failure) {
            fail_current(errors::layer_transfer, failure.what());
        } catch (const std::exception& failure) {
            fail_current(errors::layer_other, failure.what());
        }
    }
    Release();
}

std::string CAsynSSLSocket::failure_message(const char* message) {
    std::string text = message;
    if (!_failure_detail.empty()) text += " (" + std::exchange(_failure_detail, std::string()) + ")";
    return text;
}

void CAsynSSLSocket::fail_current(DWORD error, const char* message) {
    _failure_text = failure_message(message);
    complete(_connect_op_ptr, error, 0);
}

void CAsynSSLSocket::complete(IAsynIoOperation*& pending, DWORD error, DWORD bytes) {
    IAsynIoOperation* operation = std::exchange(pending, nullptr);
    if (operation == nullptr) return;
    operation->SetResult(error, bytes);
    if (_frame_ptr != nullptr) _frame_ptr->PostOperation(operation);
    operation->Release();
}

// ---- inner buffer and requests -------------------------------------------------------

bool CAsynSSLSocket::inner_busy() const noexcept {
    const CAsynIoOperation* object = CAsynIoOperation::resolve(_operation_ptr);
    return object != nullptr && object->busy();
}

std::uint8_t* CAsynSSLSocket::inner_buffer(DWORD* size) const {
    BYTE* buffer = nullptr;
    _operation_ptr->GetBuffer(&buffer, size);
    return buffer;
}

void CAsynSSLSocket::grow_inner_buffer(std::uint32_t size) {
    // The session may still read input lent from this buffer: it takes its
    // copy before the buffer is used again or replaced.
    _session.return_input();
    grow_buffer(_operation_ptr, size);
}

void CAsynSSLSocket::grow_buffer(IAsynIoOperation* operation, std::uint32_t size) {
    DWORD current = 0;
    BYTE* buffer = nullptr;
    operation->GetBuffer(&buffer, &current);
    if (current >= size) return;
    const std::uint32_t rounded = (size + inner_buffer_step - 1) / inner_buffer_step * inner_buffer_step;
    if (FAILED(operation->AllocBuffer(rounded))) throw std::bad_alloc();
}

std::uint32_t CAsynSSLSocket::take_session_output() {
    const std::size_t pending = _session.output_pending();
    grow_inner_buffer(static_cast<std::uint32_t>(pending));
    return static_cast<std::uint32_t>(_session.take_output(inner_buffer(), pending));
}

HRESULT CAsynSSLSocket::inner_write(std::uint32_t start, std::uint32_t length) {
    if (const HRESULT hr = _operation_ptr->SetRange(start, length); FAILED(hr)) return hr;
    return _inner_socket->Write(_operation_ptr);
}

HRESULT CAsynSSLSocket::inner_read(std::uint32_t start, std::uint32_t length) {
    if (const HRESULT hr = _operation_ptr->SetRange(start, length); FAILED(hr)) return hr;
    return _inner_socket->Read(_operation_ptr);
}

// ---- close and the forwarded slots ---------------------------------------------------

HRESULT CAsynSSLSocket::Close() {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    return close_connection();
}

HRESULT CAsynSSLSocket::close_connection() {
    if (!_open) return E_UNEXPECTED;
    _open = false;
    AddRef();  // the completions below may let the last caller reference go
    _complete_device->drop_transfers();
    // The close_notify goes after every record sent so far; with records
    // still being sent it would cut into them, and the write ends anyway.
    if (_handshake_status == handshake_done && _write_inflight < 0 && _write_staged < 0) {
        _handshake_status = sending_token;
        // The close_notify goes out on an operation of its own, which is
        // not waited for; nothing here may stop the close.
        if (_session.shutdown() && _session.output_pending() > 0 && _frame_ptr != nullptr) {
            IAsynIoOperation* notify = nullptr;
            if (SUCCEEDED(_frame_ptr->CreateOperation(_inner_events, &notify))) {
                const std::size_t length = _session.output_pending();
                BYTE* buffer = nullptr;
                if (SUCCEEDED(notify->AllocBuffer(static_cast<DWORD>(length))) &&
                    SUCCEEDED(notify->GetBuffer(&buffer, nullptr)) && buffer != nullptr) {
                    const std::size_t taken = _session.take_output(buffer, length);
                    notify->SetTag(0);
                    if (taken > 0 && SUCCEEDED(notify->SetRange(0, static_cast<DWORD>(taken))))
                        _inner_socket->Write(notify);
                }
                notify->Close();
                notify->Release();
            }
        }
    }
    if (_inner_socket != nullptr) _inner_socket->Close();
    complete(_connect_op_ptr, errors::layer_other, 0);
    complete(_read_op_ptr, errors::layer_other, 0);
    complete(_write_op_ptr, errors::layer_other, 0);
    release_inner_operation();
    reset_tls_state();
    Release();
    return S_OK;
}

HRESULT CAsynSSLSocket::ReadFully(IAsynIoOperation* operation) { return _complete_device->ReadFully(operation); }

HRESULT CAsynSSLSocket::WriteFully(IAsynIoOperation* operation) { return _complete_device->WriteFully(operation); }

HRESULT CAsynSSLSocket::GetLocalAddress(DWORD* address, WORD* port) {
    return _inner_socket != nullptr ? _inner_socket->GetLocalAddress(address, port) : E_UNEXPECTED;
}

HRESULT CAsynSSLSocket::GetPeerAddress(DWORD* address, WORD* port) {
    return _inner_socket != nullptr ? _inner_socket->GetPeerAddress(address, port) : E_UNEXPECTED;
}

HRESULT CAsynSSLSocket::SetRecvTimeout(DWORD milliseconds) {
    return _inner_socket != nullptr ? _inner_socket->SetRecvTimeout(milliseconds) : E_UNEXPECTED;
}

HRESULT CAsynSSLSocket::SetRecvBufferSize(DWORD bytes) {
    return _inner_socket != nullptr ? _inner_socket->SetRecvBufferSize(bytes) : E_UNEXPECTED;
}

}  // namespace asynframe
