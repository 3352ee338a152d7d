#include "tls/asyn_ssl_socket.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "component/asyn_io_operation_object.h"
#include "component/io_device.h"
#include "component/ref_counted.h"
#include "engine/asyn_io_manager.h"
#include "platform/error_codes.h"
#include "support/assert.h"
#include "support/exceptions.h"
#include "support/setting.h"

// The object's invariants, reported with their own expression texts.
#define ssl_assert(condition, text)                                                                      \
    vortan_assert_text(condition, text, "vortan_assert", ::asynframe::assertion_file_name(__FILE__), __LINE__)

namespace asynframe {

// The inner operation's receiver. The operation holds its receiver, so the
// socket itself would never be released while it owns the operation; this
// object only points back, and the socket detaches it when it goes.
class ssl_inner_events final : public ref_counted<IAsynIoOperationEvents> {
public:
    explicit ssl_inner_events(CAsynSSLSocket* owner) noexcept : _owner(owner) {}

    HRESULT ASYNFRAME_STDCALL QueryInterface(REFIID iid, void** object) override {
        return query_one(iid, object, IID_IAsynIoOperationEvents, static_cast<IAsynIoOperationEvents*>(this));
    }
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

// Completion codes of failures raised while an inner completion is handled.

constexpr std::uint32_t inner_buffer_step = 8192;

// A failure the Part calls a plain (not runtime) exception.
class tls_exception : public std::exception {
public:
    explicit tls_exception(std::string text) : _text(std::move(text)) {}
    const char* what() const noexcept override { return _text.c_str(); }

private:
    std::string _text;
};

std::string result_text(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

template <class T>
void keep(T*& field, T* value) {
    if (value != nullptr) value->AddRef();
    if (field != nullptr) field->Release();
    field = value;
}

CAsynIoOperation* usable(IAsynIoOperation* operation) noexcept {
    CAsynIoOperation* object = CAsynIoOperation::resolve(operation);
    return object != nullptr && !object->busy() && object->engine_operation() != nullptr ? object : nullptr;
}

}  // namespace

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

void CAsynSSLSocket::initialize(IAsynFrame* frame, singleton_instance* services, IAsynTcpSocket* inner) {
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

HRESULT CAsynSSLSocket::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IAsynIoDevice || iid == IID_IAsynTcpSocket || iid == IID_IAsynSSLSocket ||
        iid == IID_IAsynSSLSocket2) {
        *object = static_cast<IAsynSSLSocket2*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
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
    _read_flushing = false;
    _peer_closed = false;
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

void CAsynSSLSocket::release_inner_operation() noexcept {
    if (_operation_ptr == nullptr) return;
    IAsynIoOperation* operation = std::exchange(_operation_ptr, nullptr);
    operation->Close();  // a completion still in flight is consumed silently
    operation->Release();
}

// ---- connect and handshake ---------------------------------------------------------

HRESULT CAsynSSLSocket::Connect(IAsynIoOperation* operation, DWORD host_length, const char* host, WORD port,
                                LONG priority) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (_inner_socket == nullptr || _open) return E_UNEXPECTED;
    if (host == nullptr || host_length == 0 || usable(operation) == nullptr) return E_INVALIDARG;
    _open = true;
    ssl_assert(_handshake_status != handshake_done, "_handshake_status != 2");
    ssl_assert(_operation_ptr == nullptr, "_operation_ptr == NULL");
    if (const HRESULT hr = create_inner_operation(); FAILED(hr)) {
        _open = false;
        return hr;
    }
    ssl_assert(_connect_op_ptr == nullptr, "_connect_op_ptr == NULL");
    keep(_connect_op_ptr, operation);
    _activity = connecting;
    _host.assign(host, host_length);
    const HRESULT hr = _inner_socket->Connect(_operation_ptr, host_length, host, port, priority);
    if (FAILED(hr)) {
        // Nothing started: the socket is as it was before the call.
        keep(_connect_op_ptr, static_cast<IAsynIoOperation*>(nullptr));
        release_inner_operation();
        _open = false;
    }
    return hr;
}

HRESULT CAsynSSLSocket::Handshake(IAsynIoOperation* operation) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (_inner_socket == nullptr || _open) return E_UNEXPECTED;
    if (usable(operation) == nullptr) return E_INVALIDARG;
    ssl_assert(_operation_ptr == nullptr, "_operation_ptr == NULL");
    _open = true;
    if (FAILED(create_inner_operation())) return E_FAIL;
    ssl_assert(_connect_op_ptr == nullptr, "_connect_op_ptr == NULL");
    keep(_connect_op_ptr, operation);
    if (!_server_name.empty())
        _host = _server_name;
    else
        _host = _services != nullptr && _services->setting_ptr != nullptr
                    ? _services->setting_ptr->get(setting_keys::ssl_expected_host)
                    : std::string(setting_keys::ssl_expected_host.default_value);
    if (_host.empty() && verify_peer()) {
        // The chain alone would let any server with a trusted certificate
        // stand in for the one meant; nothing is sent.
        _activity = handshaking;
        _handshake_status = handshake_failed;
        fail_current(errors::layer_other, "SSL handshake: no server name was given to check the certificate against");
        return S_OK;
    }
    try {
        start_handshake(_host);
    } catch (const std::exception& failure) {
        _failure_text = failure.what();
        keep(_connect_op_ptr, static_cast<IAsynIoOperation*>(nullptr));
        return E_FAIL;
    }
    return S_OK;
}

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

void CAsynSSLSocket::start_handshake(const std::string& host) {
    _activity = handshaking;
    reset_tls_state();
    platform::tls::verification settings;
    settings.host = host;
    settings.verify_peer = verify_peer();
    if (_services != nullptr && _services->setting_ptr != nullptr)
        settings.ca_file = _services->setting_ptr->get(setting_keys::ssl_ca_file);
    bool library_failure = false;
    if (!_session.open(settings, library_failure)) {
        _failure_detail = _session.error_text();
        if (library_failure) throw std::runtime_error("SSL handshake: load security library error");
        throw std::runtime_error("SSL handshake: client create credentials error");
    }
    if (_session.handshake() != platform::tls::status::want_input || _session.output_pending() == 0) {
        _failure_detail = _session.error_text();
        throw std::runtime_error("SSL handshake: InitializeSecurityContext call error");
    }
    _data_operate_bytes = take_session_output();
    _data_pos = 0;
    if (FAILED(inner_write(_data_pos, _data_operate_bytes)))
        throw std::runtime_error("SSL handshake: send data to server error! throw exception");
}

void CAsynSSLSocket::handshake_step(DWORD error, DWORD bytes) {
    if (_handshake_status == handshake_done || _handshake_status == handshake_failed) return;
    if (error != 0) throw socket_exception("SSL handshake: get_complete_result call error", error);
    if (bytes == 0) throw tls_exception("SSL handshake: data transfered 0 bytes, the peer may have closed connection");

    if (_handshake_status == sending_token) {
        if (bytes < _data_operate_bytes) {
            _data_pos += bytes;
            _data_operate_bytes -= bytes;
            if (const HRESULT hr = inner_write(_data_pos, _data_operate_bytes); FAILED(hr))
                throw std::runtime_error("SSL handshake: send data to server again error! throw exception: " +
                                         result_text(hr));
            return;
        }
        if (_handshake_finishing) {
            finish_handshake();
            return;
        }
        DWORD size = 0;
        inner_buffer(&size);
        _data_operate_bytes = size;
        _data_pos = 0;
        if (const HRESULT hr = inner_read(0, size); FAILED(hr))
            throw std::runtime_error("SSL handshake: recv data from server error! throw exception: " +
                                     result_text(hr));
        _handshake_status = receiving_token;
        return;
    }

    // receiving_token: the bytes join what the session holds, so a message
    // split over many receives is simply completed by the later ones.
    _session.put_input(inner_buffer(), bytes);
    const platform::tls::status step = _session.handshake();
    if (step == platform::tls::status::done || step == platform::tls::status::want_input) {
        if (_session.output_pending() > 0) {
            // Every byte the session produced goes out, the last flight too
            // (with TLS 1.3 the client's Finished).
            _handshake_finishing = step == platform::tls::status::done;
            _data_operate_bytes = take_session_output();
            _data_pos = 0;
            _handshake_status = sending_token;
            if (const HRESULT hr = inner_write(0, _data_operate_bytes); FAILED(hr))
                throw std::runtime_error("SSL handshake: send data to server error! throw exception: " +
                                         result_text(hr));
            return;
        }
        if (step == platform::tls::status::done) {
            finish_handshake();
            return;
        }
        DWORD size = 0;
        inner_buffer(&size);
        if (const HRESULT hr = inner_read(0, size); FAILED(hr))
            throw std::runtime_error("SSL handshake: recv data from server error! throw exception: " +
                                     result_text(hr));
        return;
    }
    _handshake_status = handshake_failed;
    if (_session.verification_failed())
        throw std::runtime_error("SSL handshake: certificate verification failed: " + _session.error_text());
    _failure_detail = _session.error_text();
    throw std::runtime_error("SSL handshake: SSL handshake failed");
}

void CAsynSSLSocket::finish_handshake() {
    const platform::tls::stream_sizes sizes = _session.sizes();
    _io_buffer_len = sizes.header + sizes.trailer + sizes.maximum_message;
    _result_data.assign(_io_buffer_len, 0);
    _result_data_pos = 0;
    _handshake_finishing = false;
    _handshake_status = handshake_done;
    // Bytes received after the server's last handshake message stay in the
    // session as the start of the encrypted input.
    complete(_connect_op_ptr, 0, 0);
}

// ---- inner completions -------------------------------------------------------------

void CAsynSSLSocket::on_inner_complete(IAsynIoOperation* operation) {
    if (operation != _operation_ptr) return;
    AddRef();  // a completion posted below may be the caller's cue to let go
    DWORD error = 0;
    DWORD bytes = 0;
    operation->GetResult(&error, &bytes);
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
        case writing:
            write_step(error, bytes);
            break;
        case reading:
            read_step(error, bytes);
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
    Release();
}

void CAsynSSLSocket::fail_current(DWORD error, const char* message) {
    _failure_text = message;
    if (!_failure_detail.empty()) _failure_text += " (" + std::exchange(_failure_detail, std::string()) + ")";
    switch (_activity) {
    case connecting:
    case handshaking:
        complete(_connect_op_ptr, error, 0);
        break;
    case writing:
        complete(_write_op_ptr, error, 0);
        break;
    case reading:
        _read_flushing = false;
        complete(_read_op_ptr, error, 0);
        break;
    default:
        break;
    }
}

void CAsynSSLSocket::complete(IAsynIoOperation*& pending, DWORD error, DWORD bytes) {
    IAsynIoOperation* operation = std::exchange(pending, nullptr);
    if (operation == nullptr) return;
    operation->SetResult(error, bytes);
    if (_frame_ptr != nullptr) _frame_ptr->PostOperation(operation);
    operation->Release();
}

// ---- write ---------------------------------------------------------------------------

HRESULT CAsynSSLSocket::Write(IAsynIoOperation* operation) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (!_open) return E_UNEXPECTED;
    ssl_assert(_handshake_status == handshake_done, "_handshake_status == 2");
    ssl_assert(_operation_ptr != nullptr, "_operation_ptr != NULL");
    ssl_assert(_write_op_ptr == nullptr, "_write_op_ptr == NULL");
    CAsynIoOperation* object = usable(operation);
    if (object == nullptr || !object->range_valid()) return E_INVALIDARG;
    // The one inner operation is carrying a read: its buffer may not change.
    if (inner_busy()) return E_UNEXPECTED;

    keep(_write_op_ptr, operation);
    _write_len = object->range_length();
    _activity = writing;

    BYTE* plaintext = nullptr;
    operation->GetBuffer(&plaintext, nullptr);
    plaintext += object->range_start();
    const platform::tls::stream_sizes sizes = _session.sizes();
    const std::uint64_t records = (_write_len + sizes.maximum_message - 1) / sizes.maximum_message;
    const std::uint64_t needed = _write_len + records * (sizes.header + sizes.trailer);
    HRESULT hr = S_OK;
    try {
        grow_inner_buffer(static_cast<std::uint32_t>(needed));
        for (std::uint32_t done = 0; done < _write_len;) {
            const std::uint32_t piece = std::min(_write_len - done, sizes.maximum_message);
            if (!_session.encrypt(plaintext + done, piece)) {
                _failure_detail = _session.error_text();
                throw std::runtime_error("SSL send: SSL data encrypt failed");
            }
            done += piece;
        }
        // One inner write carries every record of the call.
        _data_operate_bytes = take_session_output();
        _data_pos = 0;
        hr = inner_write(0, _data_operate_bytes);
        if (FAILED(hr))
            throw std::runtime_error("SSL send: send data to server error! throw exception: " + result_text(hr));
        return hr;
    } catch (const std::exception& failure) {
        _failure_text = failure.what();
        if (!_failure_detail.empty()) _failure_text += " (" + std::exchange(_failure_detail, std::string()) + ")";
    }
    // Nothing was sent: the call is refused and the operation not completed.
    keep(_write_op_ptr, static_cast<IAsynIoOperation*>(nullptr));
    return FAILED(hr) ? hr : E_FAIL;
}

void CAsynSSLSocket::write_step(DWORD error, DWORD bytes) {
    if (error != 0) throw socket_exception("SSL send: get_complete_result call error", error);
    if (bytes == 0) throw tls_exception("SSL send: data transfered 0 bytes, the peer may have closed connection");
    if (bytes < _data_operate_bytes) {
        _data_pos += bytes;
        _data_operate_bytes -= bytes;
        if (const HRESULT hr = inner_write(_data_pos, _data_operate_bytes); FAILED(hr))
            throw std::runtime_error("SSL send: send data to server error! throw exception: " + result_text(hr));
        return;
    }
    ssl_assert(bytes == _data_operate_bytes, "bytes_transfered == _data_operate_bytes");
    complete(_write_op_ptr, 0, _write_len);
}

// ---- read ----------------------------------------------------------------------------

HRESULT CAsynSSLSocket::Read(IAsynIoOperation* operation) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (!_open) return E_UNEXPECTED;
    ssl_assert(_handshake_status == handshake_done, "_handshake_status == 2");
    ssl_assert(_operation_ptr != nullptr, "_operation_ptr != NULL");
    ssl_assert(_read_op_ptr == nullptr, "_read_op_ptr == NULL");
    CAsynIoOperation* object = usable(operation);
    if (object == nullptr || !object->range_valid()) return E_INVALIDARG;

    keep(_read_op_ptr, operation);
    _read_pos = object->range_start();
    _read_len = object->range_length();
    _activity = reading;
    if (_result_data_pos > 0) {
        deliver_read();
        return S_OK;
    }
    if (inner_busy()) {
        // A write is under way on the one inner operation.
        keep(_read_op_ptr, static_cast<IAsynIoOperation*>(nullptr));
        return E_UNEXPECTED;
    }
    HRESULT hr = S_OK;
    try {
        hr = continue_read();
    } catch (const std::exception& failure) {
        fail_current(errors::layer_other, failure.what());
        return S_OK;
    }
    if (FAILED(hr)) keep(_read_op_ptr, static_cast<IAsynIoOperation*>(nullptr));
    return hr;
}

HRESULT CAsynSSLSocket::continue_read() {
    // Input may be held already: bytes that came with the last handshake
    // message, or records beyond what _result_data could take.
    if (!decrypt_held()) throw std::runtime_error("SSL recv: DecryptMessage call error");
    if (_session.output_pending() > 0) {
        // A key update or renegotiation answer goes out before the data.
        _read_flushing = true;
        _data_operate_bytes = take_session_output();
        _data_pos = 0;
        const HRESULT hr = inner_write(0, _data_operate_bytes);
        if (FAILED(hr)) _read_flushing = false;
        return hr;
    }
    if (_result_data_pos > 0) {
        deliver_read();
        return S_OK;
    }
    if (_peer_closed) {
        complete(_read_op_ptr, 0, 0);
        return S_OK;
    }
    return receive_more();
}

HRESULT CAsynSSLSocket::receive_more() {
    grow_inner_buffer(_io_buffer_len);
    return inner_read(0, _io_buffer_len);
}

bool CAsynSSLSocket::decrypt_held() {
    while (_result_data_pos < _io_buffer_len && !_peer_closed) {
        std::size_t produced = 0;
        const platform::tls::status step =
            _session.decrypt(_result_data.data() + _result_data_pos, _io_buffer_len - _result_data_pos, produced);
        if (step == platform::tls::status::done) {
            ssl_assert(_result_data_pos + produced <= _io_buffer_len,
                       "_result_data_pos + data_buffer->cbBuffer <= _io_buffer_len");
            _result_data_pos += static_cast<std::uint32_t>(produced);
        } else if (step == platform::tls::status::closed) {
            _peer_closed = true;
        } else if (step == platform::tls::status::want_input) {
            return true;
        } else {
            _failure_detail = _session.error_text();
            return false;
        }
    }
    return true;
}

void CAsynSSLSocket::read_step(DWORD error, DWORD bytes) {
    if (_read_flushing) {
        if (error != 0) throw socket_exception("SSL recv: get_complete_result call error", error);
        if (bytes == 0)
            throw tls_exception("SSL recv: data transfered 0 bytes, the peer may have closed connection");
        if (bytes < _data_operate_bytes) {
            _data_pos += bytes;
            _data_operate_bytes -= bytes;
            if (const HRESULT hr = inner_write(_data_pos, _data_operate_bytes); FAILED(hr))
                throw std::runtime_error("SSL recv: send data to server error! throw exception: " + result_text(hr));
            return;
        }
        _read_flushing = false;
        if (const HRESULT hr = continue_read(); FAILED(hr))
            throw std::runtime_error("SSL recv: recv data from server error! throw exception: " + result_text(hr));
        return;
    }
    if (error != 0) {
        _result_data_pos = 0;
        throw socket_exception("SSL recv: get_complete_result call error", error);
    }
    if (bytes == 0) {
        // The peer closed the connection; a record cut short by it is not data.
        if (_session.input_held() > 0) throw std::runtime_error("SSL recv: DecryptMessage call error");
        ssl_assert(_result_data_pos == 0, "_result_data_pos == 0");
        complete(_read_op_ptr, 0, 0);
        return;
    }
    _session.put_input(inner_buffer(), bytes);
    if (const HRESULT hr = continue_read(); FAILED(hr))
        throw std::runtime_error("SSL recv: recv data from server error! throw exception: " + result_text(hr));
}

void CAsynSSLSocket::deliver_read() {
    BYTE* buffer = nullptr;
    _read_op_ptr->GetBuffer(&buffer, nullptr);
    const std::uint32_t count = std::min(_read_len, _result_data_pos);
    std::memcpy(buffer + _read_pos, _result_data.data(), count);
    std::memmove(_result_data.data(), _result_data.data() + count, _result_data_pos - count);
    _result_data_pos -= count;
    complete(_read_op_ptr, 0, count);
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
    DWORD current = 0;
    inner_buffer(&current);
    if (current >= size) return;
    const std::uint32_t rounded = (size + inner_buffer_step - 1) / inner_buffer_step * inner_buffer_step;
    if (FAILED(_operation_ptr->AllocBuffer(rounded))) throw std::bad_alloc();
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
    if (_handshake_status == handshake_done) {
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
