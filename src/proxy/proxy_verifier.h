// Synchronous checks of a proxy: can it be used with these credentials? The
// caller's thread posts the first step and waits; the steps run on the
// dispatch thread over the verifier's own operation.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "asynframe/proxy.h"
#include "platform/native.h"
#include "engine/asyn_io_handler.h"
#include "platform/event.h"
#include "proxy/http_check.h"

namespace asynframe {

class asyn_socket_device_imp;
class asyn_socks_socket_device;

namespace proxy_verifier_types {
inline constexpr std::int32_t start = 2000;
inline constexpr std::int32_t stop = 2001;
}  // namespace proxy_verifier_types

class proxy_verifier : public asyn_io_handler {
public:
    static constexpr std::uint32_t operation_buffer = 2048;

    // `cancel_event` is the caller's event (an eventfd): setting it ends the check with 3.
    proxy_verifier(singleton_instance* instance, std::string host, std::uint16_t port, std::string user,
                   std::string password, platform::native_handle cancel_event);
    ~proxy_verifier() override;
    proxy_verifier(const proxy_verifier&) = delete;
    proxy_verifier& operator=(const proxy_verifier&) = delete;

    // Blocks until the check is over; never on the dispatch thread. Its posts
    // to the engine go through `post`, which the owner guards against a stop
    // taking the engine away meanwhile (false: not posted).
    LONG verify(const std::function<bool(asyn_io_operation*)>& post);
    // The engine has stopped for good with the check still running: the
    // waiting caller gets 255 at once. Nothing of the check runs any more.
    void abort() noexcept;

    void on_io_complete(asyn_io_operation* operation) override;
    // The engine stopped with a step still queued: the check cannot go on.
    void on_io_abandoned(asyn_io_operation* operation) override;
    void cancel() override {}

protected:
    // A step of the check, on the dispatch thread. set_result must be its last
    // act: the caller may destroy the verifier as soon as the result is set.
    virtual void step(asyn_io_operation* operation) = 0;
    // Closes and deletes the device; idempotent.
    virtual void close_device() noexcept = 0;
    void set_result(LONG code);
    // Deletes the operation and the device.
    void clean_up() noexcept;

    std::string _host;
    std::uint16_t _port;
    std::string _user;
    std::string _password;
    asyn_io_operation* _io_operation = nullptr;

private:
    platform::native_handle _cancel_event;
    // Shared with whoever signals them: the caller may free the verifier the
    // moment a signal lands, while the signalling call is still returning.
    std::shared_ptr<platform::event> _done = std::make_shared<platform::event>(true);
    std::shared_ptr<platform::event> _stopped = std::make_shared<platform::event>(true);
    // Written on the dispatch thread (or by a stop), read by the caller.
    std::atomic<LONG> _result{PROXY_VERIFY_NOT_RUN};
    asyn_io_operation* _stop_operation = nullptr;  // made up front: never changes while steps run
};

class http_proxy_verifier final : public proxy_verifier {
public:
    static constexpr std::uint32_t header_limit = 8192;
    static constexpr std::int32_t response_timeout = 30000;

    // `url` is the absolute http:// URL asked for through the proxy.
    http_proxy_verifier(singleton_instance* instance, std::string host, std::uint16_t port, std::string user,
                        std::string password, platform::native_handle cancel_event, const std::string& url);
    ~http_proxy_verifier() override;

    const std::string& request() const noexcept { return _request; }

private:
    void step(asyn_io_operation* operation) override;
    void close_device() noexcept override;

    std::unique_ptr<asyn_socket_device_imp> _device;
    std::string _request;
    std::uint32_t _sent = 0;
    std::uint32_t _received = 0;
};

class socks_proxy_verifier final : public proxy_verifier {
public:
    socks_proxy_verifier(singleton_instance* instance, std::string host, std::uint16_t port, std::string user,
                         std::string password, platform::native_handle cancel_event);
    ~socks_proxy_verifier() override;

private:
    void step(asyn_io_operation* operation) override;
    void close_device() noexcept override;

    std::unique_ptr<asyn_socks_socket_device> _device;
};

class ftp_proxy_verifier final : public proxy_verifier {
public:
    ftp_proxy_verifier(singleton_instance* instance, std::string host, std::uint16_t port, std::string user,
                       std::string password, platform::native_handle cancel_event);
    ~ftp_proxy_verifier() override;

private:
    void step(asyn_io_operation* operation) override;
    void close_device() noexcept override;

    std::unique_ptr<asyn_socket_device_imp> _device;
};

}  // namespace asynframe
