#include "tls/asyn_ssl_socket.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "platform/error_codes.h"
#include "support/exceptions.h"
#include "tls/asyn_ssl_socket_detail.h"

namespace asynframe {

using ssl_detail::keep;
using ssl_detail::result_text;
using ssl_detail::tls_exception;
using ssl_detail::usable;

namespace {

// Plaintext per inner write: four full records. Small enough that the next
// chunk is encrypted (in the cache) while this one is on its way, large
// enough that a send is not spent on every record.
constexpr std::uint32_t chunk_plaintext = 4 * 16384;

}  // namespace

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

    keep(_write_op_ptr, operation);
    _write_len = object->range_length();
    _write_done = 0;
    HRESULT hr = S_OK;
    try {
        pump_output();
        return S_OK;
    } catch (const std::exception& failure) {
        const std::string text = failure_message(failure.what());
        if (_write_inflight >= 0) {
            // Records of this write are on their way: it ends as a failure.
            write_failed(errors::layer_other, text);
            return S_OK;
        }
        _failure_text = text;
        hr = E_FAIL;
    }
    // Nothing was sent: the call is refused and the operation not completed.
    _write_staged = -1;
    keep(_write_op_ptr, static_cast<IAsynIoOperation*>(nullptr));
    return hr;
}

std::uint32_t CAsynSSLSocket::fill_chunk(int index) {
    IAsynIoOperation*& slot = _write_ops[index];
    if (slot == nullptr && FAILED(create_write_operation(index))) throw std::bad_alloc();
    const platform::tls::stream_sizes sizes = _session.sizes();
    std::uint32_t end = _write_done;
    if (_write_op_ptr != nullptr && _write_done < _write_len)
        end = _write_len - _write_done > chunk_plaintext ? _write_done + chunk_plaintext : _write_len;
    const std::uint32_t records = (end - _write_done + sizes.maximum_message - 1) / sizes.maximum_message;
    const std::size_t pending = _session.output_pending();
    if (pending == 0 && records == 0) return 0;
    // Room for what waits, every record at its largest, and a message the
    // session may put before them (a key update).
    const std::size_t room =
        pending + (end - _write_done) + std::size_t{records} * (sizes.header + sizes.trailer) + 1024;
    grow_buffer(slot, static_cast<std::uint32_t>(room));
    BYTE* buffer = nullptr;
    DWORD capacity = 0;
    slot->GetBuffer(&buffer, &capacity);
    std::size_t used = _session.take_output(buffer, pending);
    if (records > 0) {
        BYTE* plaintext = nullptr;
        _write_op_ptr->GetBuffer(&plaintext, nullptr);
        DWORD start = 0;
        DWORD length = 0;
        _write_op_ptr->GetRange(&start, &length);
        plaintext += start;
        while (_write_done < end) {
            const std::uint32_t piece = std::min(end - _write_done, sizes.maximum_message);
            // Each record straight into the inner buffer.
            const std::size_t made = _session.encrypt_into(plaintext + _write_done, piece, buffer + used, capacity - used);
            if (made == 0) {
                _failure_detail = _session.error_text();
                throw std::runtime_error("SSL send: SSL data encrypt failed");
            }
            used += made;
            _write_done += piece;
        }
    }
    // What did not fit (it never should) goes out with the next chunk, in order.
    return static_cast<std::uint32_t>(used);
}

void CAsynSSLSocket::pump_output() {
    for (;;) {
        if (_write_staged < 0) {
            const int idle = _write_inflight == 0 ? 1 : 0;
            const std::uint32_t length = fill_chunk(idle);
            if (length > 0) {
                _write_fill[idle] = length;
                _write_staged = idle;
            }
        }
        if (_write_inflight >= 0 || _write_staged < 0) break;
        const int next = std::exchange(_write_staged, -1);
        _inflight_pos = 0;
        _inflight_left = _write_fill[next];
        IAsynIoOperation* operation = _write_ops[next];
        HRESULT hr = operation->SetRange(0, _inflight_left);
        if (SUCCEEDED(hr)) hr = _inner_socket->Write(operation);
        if (FAILED(hr))
            throw std::runtime_error("SSL send: send data to server error! throw exception: " + result_text(hr));
        _write_inflight = next;
        // On its way now: the next chunk is encrypted while it is sent.
        submit_now();
    }
    if (_write_op_ptr != nullptr && _write_done == _write_len && _write_inflight < 0 && _write_staged < 0)
        complete(_write_op_ptr, 0, _write_len);
}

void CAsynSSLSocket::write_step(int index, DWORD error, DWORD bytes) {
    if (index != _write_inflight) return;
    if (error != 0) {
        _write_inflight = -1;
        throw socket_exception("SSL send: get_complete_result call error", error);
    }
    if (bytes == 0) {
        _write_inflight = -1;
        throw tls_exception("SSL send: data transfered 0 bytes, the peer may have closed connection");
    }
    if (bytes < _inflight_left) {
        // A short write (an inner socket that is not a plain one): the rest.
        _inflight_pos += bytes;
        _inflight_left -= bytes;
        IAsynIoOperation* operation = _write_ops[index];
        HRESULT hr = operation->SetRange(_inflight_pos, _inflight_left);
        if (SUCCEEDED(hr)) hr = _inner_socket->Write(operation);
        if (FAILED(hr)) {
            _write_inflight = -1;
            throw std::runtime_error("SSL send: send data to server error! throw exception: " + result_text(hr));
        }
        return;
    }
    ssl_assert(bytes == _inflight_left, "bytes_transfered == _data_operate_bytes");
    _write_inflight = -1;
    _inflight_left = 0;
    pump_output();
}

void CAsynSSLSocket::write_failed(DWORD error, const std::string& message) {
    _failure_text = message;
    if (!_failure_detail.empty()) _failure_text += " (" + std::exchange(_failure_detail, std::string()) + ")";
    // What was encrypted for this write will not go: the stream is broken
    // past this point, and nothing of it is sent.
    _write_staged = -1;
    _write_done = _write_len;
    complete(_write_op_ptr, error, 0);
}

}  // namespace asynframe
