#include "tls/asyn_ssl_socket.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "support/exceptions.h"
#include "tls/asyn_ssl_socket_detail.h"

namespace asynframe {

using ssl_detail::keep;
using ssl_detail::result_text;
using ssl_detail::tls_exception;
using ssl_detail::usable;

// ---- write ---------------------------------------------------------------------------

HRESULT CAsynSSLSocket::Write(IAsynIoOperation* operation) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (!_open) return E_UNEXPECTED;
    // Before the handshake is done (or after it failed) there is no session
    // to carry data: a call in the wrong state, which the host can recover from.
    if (_handshake_status != handshake_done) return E_UNEXPECTED;
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

}  // namespace asynframe
