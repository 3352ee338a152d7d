#include "tls/asyn_ssl_socket.h"

#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "platform/error_codes.h"
#include "support/exceptions.h"
#include "support/setting.h"
#include "tls/asyn_ssl_socket_detail.h"

namespace asynframe {

using ssl_detail::keep;
using ssl_detail::result_text;
using ssl_detail::tls_exception;
using ssl_detail::usable;

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
        // The TLS library's reason goes with this failure, not a later one.
        _failure_text = failure.what();
        if (!_failure_detail.empty()) _failure_text += " (" + std::exchange(_failure_detail, std::string()) + ")";
        keep(_connect_op_ptr, static_cast<IAsynIoOperation*>(nullptr));
        return E_FAIL;
    }
    return S_OK;
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
    bool opened = false;
    if (_contexts) {
        // The frame's context for these settings, built on first use; the
        // session of an earlier connection to the same server is offered.
        std::string error;
        const std::shared_ptr<platform::tls::client_context> context =
            _contexts->get(platform::tls::context_settings::of(settings), library_failure, error);
        if (!context) {
            _failure_detail = error;
            if (library_failure) throw std::runtime_error("SSL handshake: load security library error");
            throw std::runtime_error("SSL handshake: client create credentials error");
        }
        std::string resume_key;
        DWORD address = 0;
        WORD port = 0;
        if (SUCCEEDED(_inner_socket->GetPeerAddress(&address, &port)) && port != 0)
            resume_key = host + "|" + std::to_string(address) + ":" + std::to_string(port);
        opened = _session.open(context, settings, resume_key);
    } else {
        opened = _session.open(settings, library_failure);
    }
    if (!opened) {
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
    // The server's session tickets (TLS 1.3) come after its last handshake
    // message: an inner read takes them in, and data, as they arrive.
    guarded_read(false, 0, 0);
}

}  // namespace asynframe
