#include "tls/asyn_ssl_socket.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "platform/error_codes.h"
#include "support/exceptions.h"
#include "tls/asyn_ssl_socket_detail.h"

namespace asynframe {

using ssl_detail::keep;
using ssl_detail::result_text;
using ssl_detail::tls_exception;
using ssl_detail::usable;

// ---- read ----------------------------------------------------------------------------

HRESULT CAsynSSLSocket::Read(IAsynIoOperation* operation) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (!_open) return E_UNEXPECTED;
    // Before the handshake is done (or after it failed) there is no session
    // to carry data: a call in the wrong state, which the host can recover from.
    if (_handshake_status != handshake_done) return E_UNEXPECTED;
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

}  // namespace asynframe
