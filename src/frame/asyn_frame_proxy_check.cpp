// VerifyProxy: a proxy check run on the calling thread, registered with the
// frame so that a stop ends it.
#include "frame/asyn_frame.h"

#include "platform/event.h"
#include "proxy/proxy_verifier.h"
#include "support/setting.h"

namespace asynframe {

// ---- proxy checks ---------------------------------------------------------------------

HRESULT CAsynFrame::VerifyProxy(PROXY_RECORD* record, ASYNFRAME_EVENT cancel_event, LONG* result) {
    // It waits for the engine, so the engine's own thread may not call it.
    if (in_dispatch_thread()) return E_ACCESSDENIED;
    if (record == nullptr || cancel_event == ASYNFRAME_NO_EVENT || result == nullptr) return E_INVALIDARG;
    if (record->host_length == 0) {
        *result = 1;
        return E_INVALIDARG;
    }
    if (record->host_length > sizeof record->host || record->user_length > sizeof record->user ||
        record->password_length > sizeof record->password)
        return E_INVALIDARG;
    if (!running()) return E_UNEXPECTED;
    const platform::native_handle cancel = platform::handle_of(cancel_event);
    platform::reset_caller_event(cancel);
    std::string host(record->host, record->host_length);
    std::string user(record->user, record->user_length);
    std::string password(record->password, record->password_length);
    std::shared_ptr<proxy_verifier> verifier;
    try {
        if (record->kind == PROXY_KIND_HTTP) {
            const std::string url = _services.setting_ptr != nullptr
                                        ? _services.setting_ptr->get(setting_keys::proxy_verifier_http_url)
                                        : std::string(setting_keys::proxy_verifier_http_url.default_value);
            verifier = std::make_shared<http_proxy_verifier>(&_services, std::move(host), record->port,
                                                             std::move(user), std::move(password), cancel, url);
        } else if (record->kind == PROXY_KIND_SOCKS5) {
            verifier = std::make_shared<socks_proxy_verifier>(&_services, std::move(host), record->port,
                                                              std::move(user), std::move(password), cancel);
        } else {
            record->kind = PROXY_KIND_FTP;
            verifier = std::make_shared<ftp_proxy_verifier>(&_services, std::move(host), record->port,
                                                            std::move(user), std::move(password), cancel);
        }
    } catch (const std::exception&) {
        return E_OUTOFMEMORY;
    }
    {
        // Registered while the frame runs: a stop that comes meanwhile ends the
        // wait (255) instead of taking the engine away under the check.
        std::shared_lock<std::shared_mutex> state_guard(_state_lock);
        if (!running()) return E_UNEXPECTED;
        std::lock_guard<std::mutex> guard(_verifiers_lock);
        _verifiers.insert(verifier);
    }
    // Each post is made while the frame runs, under the lock a stop takes
    // before the engine goes.
    *result = verifier->verify([this](asyn_io_operation* operation) {
        std::shared_lock<std::shared_mutex> state_guard(_state_lock);
        return running() && operation->post();
    });
    {
        std::lock_guard<std::mutex> guard(_verifiers_lock);
        _verifiers.erase(verifier);
    }
    // A check a stop took over is freed by whoever lets go last, never
    // before the services are gone.
    return S_OK;
}

}  // namespace asynframe
