#include "proxy/proxy_verifier.h"

#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "engine/asyn_io_manager.h"
#include "engine/asyn_io_operation.h"
#include "platform/encoding.h"
#include "platform/wait.h"
#include "proxy/socks_server_socket.h"
#include "proxy/socks_wrapper.h"
#include "socket/asyn_socket_device.h"
#include "support/assert.h"
#include "support/exceptions.h"

namespace asynframe {

// ---- proxy_verifier -----------------------------------------------------------------------

proxy_verifier::proxy_verifier(singleton_instance* instance, std::string host, std::uint16_t port, std::string user,
                               std::string password, platform::native_handle cancel_event)
    : asyn_io_handler(instance),
      _host(std::move(host)),
      _port(port),
      _user(std::move(user)),
      _password(std::move(password)),
      _cancel_event(cancel_event) {
    _io_operation = create_operation(operation_buffer);
    _stop_operation = create_operation(0);
    _stop_operation->set_operation_type(proxy_verifier_types::stop);
}

proxy_verifier::~proxy_verifier() {
    // Pending ones are orphaned: the engine deletes them when they arrive.
    if (_io_operation != nullptr) delete_operation(std::exchange(_io_operation, nullptr));
    if (_stop_operation != nullptr) delete_operation(std::exchange(_stop_operation, nullptr));
}

void proxy_verifier::set_result(LONG code) {
    const std::shared_ptr<platform::event> done = _done;
    _result = code;
    done->set();
}

void proxy_verifier::clean_up() noexcept {
    if (_io_operation != nullptr) delete_operation(std::exchange(_io_operation, nullptr));
    close_device();
}

LONG proxy_verifier::verify(const std::function<bool(asyn_io_operation*)>& post) {
    if (_singleton == nullptr || _singleton->asyn_io_manager_ptr == nullptr) return PROXY_VERIFY_NOT_RUN;
    _io_operation->set_operation_type(proxy_verifier_types::start);
    _io_operation->set_preset_result(0, 0);
    if (!post(_io_operation)) return PROXY_VERIFY_NOT_RUN;
    const platform::waitable items[2] = {platform::waitable::socket(_cancel_event, platform::waitable::socket_readable),
                                         platform::waitable::of(*_done)};
    const int ready = platform::wait_any(items, 2, platform::infinite);
    if (ready == 1) return _result;
    if (ready != 0) return PROXY_VERIFY_NOT_RUN;
    // Cancelled: the stop runs where the steps run, and the verifier may go
    // only once it has.
    _stop_operation->set_preset_result(0, 0);
    if (!post(_stop_operation)) return PROXY_VERIFY_NOT_RUN;
    if (!_stopped->wait(platform::infinite)) return PROXY_VERIFY_NOT_RUN;
    return _result == PROXY_VERIFY_NOT_RUN ? PROXY_VERIFY_NOT_RUN : PROXY_VERIFY_CANCELLED;
}

void proxy_verifier::abort() noexcept {
    const std::shared_ptr<platform::event> done = _done, stopped = _stopped;
    _result = PROXY_VERIFY_NOT_RUN;
    done->set();
    stopped->set();
}

void proxy_verifier::on_io_complete(asyn_io_operation* operation) {
    if (operation == _stop_operation) {
        const std::shared_ptr<platform::event> done = _done, stopped = _stopped;
        clean_up();
        _result = PROXY_VERIFY_CANCELLED;
        done->set();
        stopped->set();
        return;
    }
    if (operation != _io_operation) return;
    step(operation);
}

void proxy_verifier::on_io_abandoned(asyn_io_operation* operation) {
    if (operation == _stop_operation) {
        const std::shared_ptr<platform::event> stopped = _stopped;
        stopped->set();
        return;
    }
    if (operation == _io_operation) set_result(PROXY_VERIFY_NOT_RUN);
}

// ---- http_proxy_verifier -------------------------------------------------------------------

http_proxy_verifier::http_proxy_verifier(singleton_instance* instance, std::string host, std::uint16_t port,
                                         std::string user, std::string password, platform::native_handle cancel_event,
                                         const std::string& url)
    : proxy_verifier(instance, std::move(host), port, std::move(user), std::move(password), cancel_event),
      _device(std::make_unique<asyn_socket_device_imp>(instance)) {
    _request = "GET " + url + " HTTP/1.1\r\n";
    _request += "Accept: */*\r\n";
    _request += "User-Agent: Mozilla/5.0 (compatible; MSIE 6.0; Windows NT 5.0)\r\n";
    _request += "Host: " + http_url_host(url) + "\r\n";
    _request += "Referer: " + url + "\r\n";
    if (!_user.empty()) _request += "Proxy-Authorization: Basic " + platform::base64(_user + ":" + _password) + "\r\n";
    _request += "Pragma: no-cache\r\n";
    _request += "Cache-Control: no-cache\r\n";
    _request += "Connection: close\r\n";
    _request += "\r\n";
}

http_proxy_verifier::~http_proxy_verifier() { close_device(); }

void http_proxy_verifier::close_device() noexcept {
    if (_device) {
        _device->close();
        _device.reset();
    }
}

void http_proxy_verifier::step(asyn_io_operation* operation) {
    try {
        std::uint32_t bytes = 0, error = 0;
        const bool ok = operation->get_result(bytes, error);
        switch (operation->get_operation_type()) {
            case proxy_verifier_types::start:
                _device->connect(_host, _port, operation, 0);
                return;
            case operation_type::connect:
                if (!ok) {
                    clean_up();
                    set_result(PROXY_VERIFY_UNREACHABLE);
                    return;
                }
                operation->resize_buffer(static_cast<std::uint32_t>(_request.size()));
                std::memcpy(operation->buffer(), _request.data(), _request.size());
                _device->write(operation, static_cast<std::uint32_t>(_request.size()), 0);
                return;
            case operation_type::send:
                if (!ok) break;
                _sent += bytes;
                if (_sent < _request.size()) {
                    _device->write(operation, static_cast<std::uint32_t>(_request.size()) - _sent, _sent);
                    return;
                }
                operation->resize_buffer(header_limit);
                std::memset(operation->buffer(), 0, header_limit);
                _device->set_recv_timeout(response_timeout);
                _device->read(operation, header_limit, 0);
                return;
            case operation_type::receive: {
                if (!ok || bytes == 0) break;
                _received += bytes;
                const std::string_view header(reinterpret_cast<const char*>(operation->buffer()), _received);
                const std::optional<LONG> code = http_check_answer(header, header_limit);
                if (!code) {
                    _device->read(operation, header_limit - _received, _received);
                    return;
                }
                clean_up();
                set_result(*code);
                return;
            }
            default:
                break;
        }
        clean_up();
        set_result(PROXY_VERIFY_OTHER);
    } catch (const socket_exception&) {
        clean_up();
        set_result(PROXY_VERIFY_UNREACHABLE);
    } catch (const proxy_exception&) {
        clean_up();
        set_result(PROXY_VERIFY_UNREACHABLE);
    }
}

// ---- socks_proxy_verifier ------------------------------------------------------------------

socks_proxy_verifier::socks_proxy_verifier(singleton_instance* instance, std::string host, std::uint16_t port,
                                           std::string user, std::string password, platform::native_handle cancel_event)
    : proxy_verifier(instance, host, port, user, password, cancel_event),
      _device(std::make_unique<asyn_socks_socket_device>(instance, std::make_unique<asyn_socket_device_imp>(instance),
                                                         std::move(host), port, std::move(user),
                                                         std::move(password))) {}

socks_proxy_verifier::~socks_proxy_verifier() { close_device(); }

void socks_proxy_verifier::close_device() noexcept {
    if (_device) {
        _device->close();
        _device.reset();
    }
}

void socks_proxy_verifier::step(asyn_io_operation* operation) {
    try {
        if (operation->get_operation_type() == proxy_verifier_types::start) {
            operation->set_operation_type(0);
            _device->login(operation);
            return;
        }
        vortan_assert(operation == _io_operation, "result == _io_operation");
        std::uint32_t bytes = 0, error = 0;
        operation->get_result(bytes, error);
        const LONG code = error == 0                      ? PROXY_VERIFY_OK
                          : error == socks_protocol_error ? PROXY_VERIFY_REFUSED
                                                          : PROXY_VERIFY_UNREACHABLE;
        clean_up();
        set_result(code);
    } catch (const std::exception&) {
        clean_up();
        set_result(PROXY_VERIFY_OTHER);
    }
}

// ---- ftp_proxy_verifier --------------------------------------------------------------------

ftp_proxy_verifier::ftp_proxy_verifier(singleton_instance* instance, std::string host, std::uint16_t port,
                                       std::string user, std::string password, platform::native_handle cancel_event)
    : proxy_verifier(instance, std::move(host), port, std::move(user), std::move(password), cancel_event),
      _device(std::make_unique<asyn_socket_device_imp>(instance)) {}

ftp_proxy_verifier::~ftp_proxy_verifier() { close_device(); }

void ftp_proxy_verifier::close_device() noexcept {
    if (_device) {
        _device->close();
        _device.reset();
    }
}

void ftp_proxy_verifier::step(asyn_io_operation* operation) {
    try {
        if (operation->get_operation_type() == proxy_verifier_types::start) {
            _device->connect(_host, _port, operation, 0);
            return;
        }
        std::uint32_t bytes = 0, error = 0;
        const bool ok = operation->get_result(bytes, error);
        const LONG code = operation->get_operation_type() != operation_type::connect ? PROXY_VERIFY_OTHER
                          : ok                                                     ? PROXY_VERIFY_OK
                                                                                   : PROXY_VERIFY_UNREACHABLE;
        clean_up();
        set_result(code);
    } catch (const proxy_exception&) {
        clean_up();
        set_result(PROXY_VERIFY_UNREACHABLE);
    } catch (const std::exception&) {
        clean_up();
        set_result(PROXY_VERIFY_OTHER);
    }
}

}  // namespace asynframe
