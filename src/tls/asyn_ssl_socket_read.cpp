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

namespace {

// Bytes asked of the inner socket per read: several records at once, and
// for a caller's larger window that whole window's worth, up to a bound.
constexpr std::uint32_t read_size = 64 * 1024;
constexpr std::uint32_t largest_read_size = 1024 * 1024;

}  // namespace

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
    _last_read_len = _read_len;
    HRESULT hr = S_OK;
    try {
        hr = service_read();
    } catch (const proxy_exception& failure) {
        read_failed(errors::layer_protocol, failure.what());
        return S_OK;
    } catch (const socket_exception& failure) {
        read_failed(errors::layer_transfer, failure.what());
        return S_OK;
    } catch (const std::exception& failure) {
        read_failed(errors::layer_other, failure.what());
        return S_OK;
    }
    // The inner socket refused the read: so is this one, and nothing completes.
    if (FAILED(hr) && _read_op_ptr != nullptr) {
        keep(_read_op_ptr, static_cast<IAsynIoOperation*>(nullptr));
        return hr;
    }
    return S_OK;
}

void CAsynSSLSocket::guarded_read(bool completion, DWORD error, DWORD bytes) {
    try {
        if (completion) {
            read_step(error, bytes);
        } else if (const HRESULT hr = service_read(); FAILED(hr)) {
            throw std::runtime_error("SSL recv: recv data from server error! throw exception: " + result_text(hr));
        }
    } catch (const proxy_exception& failure) {
        read_failed(errors::layer_protocol, failure.what());
    } catch (const socket_exception& failure) {
        read_failed(errors::layer_transfer, failure.what());
    } catch (const std::exception& failure) {
        read_failed(errors::layer_other, failure.what());
    }
}

void CAsynSSLSocket::read_failed(DWORD error, const std::string& message) {
    std::string text = message;
    if (!_failure_detail.empty()) text += " (" + std::exchange(_failure_detail, std::string()) + ")";
    if (_read_op_ptr != nullptr) {
        _failure_text = text;
        complete(_read_op_ptr, error, 0);
        return;
    }
    // Nobody reads yet: the next read gets it, after what was decrypted.
    if (_read_failed) return;
    _read_failed = true;
    _read_failure_code = error;
    _read_failure_text = std::move(text);
}

HRESULT CAsynSSLSocket::service_read() {
    if (_read_op_ptr != nullptr) {
        BYTE* buffer = nullptr;
        _read_op_ptr->GetBuffer(&buffer, nullptr);
        buffer += _read_pos;
        std::uint32_t got = 0;
        auto hand_out = [&] {
            const std::uint32_t count = std::min(_read_len - got, _result_data_pos);
            if (count == 0) return;
            std::memcpy(buffer + got, _result_data.data(), count);
            std::memmove(_result_data.data(), _result_data.data() + count, _result_data_pos - count);
            _result_data_pos -= count;
            got += count;
        };
        hand_out();
        // A window of whole records takes them straight from the session;
        // what is left of it goes through _result_data, which keeps the rest
        // of a record for the next read.
        const std::uint32_t record = _session.sizes().maximum_message;
        while (_result_data_pos == 0 && !_peer_closed && _read_len - got >= record) {
            std::size_t produced = 0;
            const platform::tls::status step = _session.decrypt(buffer + got, _read_len - got, produced);
            if (step == platform::tls::status::done) {
                got += static_cast<std::uint32_t>(produced);
            } else if (step == platform::tls::status::closed) {
                _peer_closed = true;
            } else if (step == platform::tls::status::want_input) {
                break;
            } else {
                _failure_detail = _session.error_text();
                if (got > 0) {
                    // The bytes come first; the failure waits for the next read.
                    _read_failed = true;
                    _read_failure_code = errors::layer_other;
                    _read_failure_text = failure_message("SSL recv: DecryptMessage call error");
                    break;
                }
                throw std::runtime_error("SSL recv: DecryptMessage call error");
            }
        }
        if (got < _read_len && !_read_failed) {
            if (!decrypt_held()) {
                if (got == 0) throw std::runtime_error("SSL recv: DecryptMessage call error");
                _read_failed = true;
                _read_failure_code = errors::layer_other;
                _read_failure_text = failure_message("SSL recv: DecryptMessage call error");
            }
            hand_out();
        }
        if (got > 0 || _read_len == 0) {
            // (An empty window has nothing to wait for.)
            complete(_read_op_ptr, 0, got);
        } else if (_peer_closed) {
            complete(_read_op_ptr, 0, 0);
        } else if (_read_failed) {
            // This read and every later one fail the same way.
            _failure_text = _read_failure_text;
            complete(_read_op_ptr, _read_failure_code, 0);
        } else if (_eof) {
            // The peer closed the connection; a record cut short by it is not data.
            if (_session.input_held() > 0) throw std::runtime_error("SSL recv: DecryptMessage call error");
            complete(_read_op_ptr, 0, 0);
        }
    } else if (!_read_failed && !decrypt_held()) {
        // Read ahead: what failed is kept for the next read.
        throw std::runtime_error("SSL recv: DecryptMessage call error");
    }
    // What the session has not decrypted stays lent where it came in until
    // the inner buffer is read into again (ensure_reading), so a read that
    // brought more than the caller's window is not copied aside whole.
    // A key update (or a renegotiation) answers through the session's output.
    if (_session.output_pending() > 0) pump_output();
    return ensure_reading();
}

HRESULT CAsynSSLSocket::ensure_reading() {
    if (_reading || _peer_closed || _eof || _read_failed || _handshake_status != handshake_done ||
        _operation_ptr == nullptr)
        return S_OK;
    // Nobody reads: only while little is held, so that what is held waits
    // where it came in for the next read.
    if (_read_op_ptr == nullptr && (_result_data_pos >= _io_buffer_len || _session.input_held() >= read_size))
        return S_OK;
    const std::uint32_t size = inner_read_size();
    grow_inner_buffer(size);
    const HRESULT hr = inner_read(0, size);
    if (SUCCEEDED(hr)) _reading = true;
    return hr;
}

std::uint32_t CAsynSSLSocket::inner_read_size() const noexcept {
    // A Read is answered with what one inner read brought: cut at a fixed
    // size, a caller's large window would take several rounds (and, for a
    // download, as many writes of its own). Reading ahead, the latest
    // window stands for the next.
    const std::uint64_t window = _read_op_ptr != nullptr ? _read_len : _last_read_len;
    const platform::tls::stream_sizes sizes = _session.sizes();
    if (window <= read_size || sizes.maximum_message == 0) return read_size;
    const std::uint64_t records = (window + sizes.maximum_message - 1) / sizes.maximum_message;
    const std::uint64_t wanted = window + records * (sizes.header + sizes.trailer);
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(wanted, largest_read_size));
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
    _reading = false;
    if (error != 0) {
        throw socket_exception("SSL recv: get_complete_result call error", error);
    }
    if (bytes == 0)
        _eof = true;
    else
        _session.lend_input(inner_buffer(), bytes);  // read in place until service_read gives it back
    HRESULT hr = S_OK;
    try {
        hr = service_read();
    } catch (...) {
        _session.return_input();
        throw;
    }
    if (FAILED(hr))
        throw std::runtime_error("SSL recv: recv data from server error! throw exception: " + result_text(hr));
}

}  // namespace asynframe
