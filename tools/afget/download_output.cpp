#include "afget/download.h"

#include <sys/eventfd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace asynframe::tools {

// ---- the output file and its lock ---------------------------------------------------------

void download::notice(const std::string& text) {
    if (_view)
        _view->note("afget: " + text);
    else
        print_error(text);
}

// ---- the end of every path ----------------------------------------------------------------

void download::fail(outcome result) {
    if (_over) return;
    _over = true;
    save_now();
    stop_transfers();
    if (_view) _view->close();
    if (result.code == exit_proxy && result.error == 1928 && _connections.proxy &&
        !_connections.proxy->user.empty() && !_checker.joinable()) {
        check_proxy_login(result);
        return;
    }
    conclude(result);
}

void download::conclude(outcome result) {
    if (can_resume())
        result.text += "; run again to resume";
    else
        clean_up();
    unlock();
    report(result);
}

void download::report(const outcome& result) {
    _over = true;
    auto done = std::exchange(_done, nullptr);
    if (done) done(result);
}

// A SOCKS5 refusal says neither whether the login or the connection was
// refused: the frame's proxy check tells. It waits for the dispatch
// thread, so it runs on one of its own.
void download::check_proxy_login(const outcome& result) {
    auto record = std::make_shared<PROXY_RECORD>();
    std::memset(record.get(), 0, sizeof *record);
    const url& proxy = *_connections.proxy;
    record->kind = PROXY_KIND_SOCKS5;
    record->host_length = static_cast<DWORD>(std::min<std::size_t>(proxy.host.size(), 255));
    std::memcpy(record->host, proxy.host.data(), record->host_length);
    record->port = proxy.port;
    record->user_length = static_cast<DWORD>(std::min<std::size_t>(proxy.user.size(), 255));
    std::memcpy(record->user, proxy.user.data(), record->user_length);
    record->password_length = static_cast<DWORD>(std::min<std::size_t>(proxy.password.size(), 255));
    std::memcpy(record->password, proxy.password.data(), record->password_length);
    _proxy_cancel = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    IAsynFrame3* frame = _host.frame();
    std::weak_ptr<bool> alive = _alive;
    _checker = std::thread([this, frame, record, result, alive, cancel = _proxy_cancel] {
        LONG verdict = PROXY_VERIFY_OTHER;
        const HRESULT answered = frame->VerifyProxy(record.get(), cancel, &verdict);
        _host.post([this, alive, answered, verdict, result] {
            const auto still = alive.lock();
            if (!still || !*still) return;
            if (_checker.joinable()) _checker.join();
            outcome told = result;
            if (answered == S_OK && verdict == PROXY_VERIFY_REFUSED)
                told.text = "the proxy " + _connections.proxy->host + ":" +
                            std::to_string(_connections.proxy->port) +
                            " refused the user name or password";
            conclude(told);
        });
    });
}

// ---- the clock ----------------------------------------------------------------------------

void download::begin_progress() {
    if (!_view) _view = std::make_unique<progress_view>(_options.progress, _name);
}

void download::finished() {
    if (_over) return;
    const double seconds = _view ? _view->seconds() : 0;
    const double rate = seconds > 0 ? static_cast<double>(_received) / seconds : 0;
    const std::uint64_t total = _resumed_bytes + _received;
    if (_view) _view->finish(total, _received, _size ? _size : std::optional<std::uint64_t>(total));
    if (_file) _file->Close();
    _file.reset();
    const std::string connections = std::to_string(std::max<std::size_t>(1, _started)) + " connection" +
                                    (_started > 1 ? "s" : "");
    if (_to_stdout) {
        _over = true;
        std::fprintf(stderr, "afget: wrote %s to standard output (%.2f s, %s/s, %s)\n",
                     human_bytes(static_cast<double>(total)).c_str(), seconds, human_bytes(rate).c_str(),
                     connections.c_str());
        report({});
        return;
    }
    std::error_code failed;
    std::filesystem::rename(_part, _final, failed);
    if (failed) {
        fail({exit_failure, "cannot rename " + _part + " to " + _final + ": " + failed.message()});
        return;
    }
    _over = true;
    std::filesystem::remove(_state_path, failed);
    unlock();
    std::printf("afget: saved %s (%s in %.2f s, %s/s, %s)\n", _final.c_str(),
                human_bytes(static_cast<double>(total)).c_str(), seconds, human_bytes(rate).c_str(),
                connections.c_str());
    std::fflush(stdout);
    report({});
}

}  // namespace asynframe::tools
