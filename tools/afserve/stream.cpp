#include "afserve/stream.h"

#include <algorithm>

namespace asynframe::tools {
namespace {

// Ciphertext read at once: a request's records, not a whole full-size record
// (OpenSSL gathers one from several reads), so an idle connection holds little.
constexpr DWORD cipher_in_size = 4 * 1024;
// A socket that refused a request.
constexpr DWORD refused = 10053;

}  // namespace

stream::stream(host& owner, ref<IAsynTcpSocket> socket, const tls_server_context* tls, buffer_pool* out_pool)
    : _host(owner), _socket(std::move(socket)), _out_pool(out_pool) {
    if (tls == nullptr) return;
    _tls = std::make_unique<tls_session>(*tls);
    _cipher_in = std::make_unique<operation>(owner.frame(), cipher_in_size);
}

stream::~stream() { close(); }

void stream::close() {
    if (_closed) return;
    _closed = true;
    *_alive = false;
    _socket->Close();
}

// Counts the stream's own calls on the stack while it lives.
struct stream::inside {
    explicit inside(int& depth) : _depth(depth) { ++_depth; }
    ~inside() { --_depth; }
    int& _depth;
};

void stream::deliver(callback done, DWORD error, DWORD bytes) {
    // From a completion of the stream's own, the caller is already out of
    // the call that started this: the result may go to it at once.
    if (_closed) return;
    if (_calls == 0) {
        done(error, bytes);
        return;
    }
    _host.post([alive = std::weak_ptr<bool>(_alive), done = std::move(done), error, bytes] {
        const auto still = alive.lock();
        if (still && *still) done(error, bytes);
    });
}

// ---- starting ----------------------------------------------------------------------------

void stream::start(std::function<void(bool, const std::string&)> ready) {
    const inside call(_calls);
    _ready = std::move(ready);
    if (!_tls) {
        deliver([this](DWORD, DWORD) { _ready(true, {}); }, 0, 0);
        return;
    }
    handshake_step();
}

void stream::handshake_step() {
    switch (_tls->handshake()) {
    case tls_session::status::done:
        // The server's last flight (and its session tickets) go out first.
        flush([this](DWORD error) { _ready(error == 0, error == 0 ? "" : describe_error(error)); });
        return;
    case tls_session::status::want_input:
        flush([this](DWORD error) {
            if (error != 0) {
                _ready(false, describe_error(error));
                return;
            }
            pull([this](DWORD pull_error, DWORD bytes) {
                if (pull_error != 0 || bytes == 0) {
                    _ready(false, "the client left during the handshake");
                    return;
                }
                handshake_step();
            });
        });
        return;
    case tls_session::status::closed:
        deliver([this](DWORD, DWORD) { _ready(false, "the client left during the handshake"); }, 0, 0);
        return;
    case tls_session::status::failed: {
        // The alert saying why is sent before the failure is reported.
        const std::string why = _tls->error();
        flush([this, why](DWORD) { _ready(false, why); });
        return;
    }
    }
}

// ---- reading -----------------------------------------------------------------------------

void stream::read(operation& into, DWORD start, DWORD length, callback done) {
    const inside call(_calls);
    if (!_tls) {
        into.range(start, length);
        into.on_complete(done);
        if (_socket->Read(into.get()) != S_OK) {
            into.on_complete(nullptr);
            deliver(std::move(done), refused, 0);
        }
        return;
    }
    read_step(into, start, length, std::move(done));
}

void stream::read_step(operation& into, DWORD start, DWORD length, callback done) {
    std::size_t got = 0;
    switch (_tls->read(into.buffer() + start, length, got)) {
    case tls_session::status::done:
        // Reading may have produced an answer of TLS's own (a key update).
        flush([this, done = std::move(done), got](DWORD) mutable {
            deliver(std::move(done), 0, static_cast<DWORD>(got));
        });
        return;
    case tls_session::status::want_input:
        flush([this, &into, start, length, done = std::move(done)](DWORD error) mutable {
            if (error != 0) {
                deliver(std::move(done), error, 0);
                return;
            }
            pull([this, &into, start, length, done = std::move(done)](DWORD pull_error, DWORD bytes) mutable {
                if (pull_error != 0 || bytes == 0) {
                    done(pull_error, 0);
                    return;
                }
                read_step(into, start, length, std::move(done));
            });
        });
        return;
    case tls_session::status::closed: deliver(std::move(done), 0, 0); return;
    case tls_session::status::failed: deliver(std::move(done), ERROR_LAYER_OTHER_EXCEPTION, 0); return;
    }
}

void stream::pull(std::function<void(DWORD, DWORD)> then) {
    _cipher_in->range(0, cipher_in_size);
    _cipher_in->on_complete([this, then](DWORD error, DWORD bytes) {
        if (error == 0 && bytes > 0) _tls->feed(_cipher_in->buffer(), bytes);
        then(error, bytes);
    });
    if (_socket->Read(_cipher_in->get()) != S_OK) {
        _cipher_in->on_complete(nullptr);
        deliver([then](DWORD error, DWORD bytes) { then(error, bytes); }, refused, 0);
    }
}

// ---- writing -----------------------------------------------------------------------------

void stream::write_fully(operation& from, DWORD start, DWORD length, callback done) {
    const inside call(_calls);
    if (!_tls) {
        from.range(start, length);
        from.on_complete(done);
        if (_socket->WriteFully(from.get()) != S_OK) {
            from.on_complete(nullptr);
            deliver(std::move(done), refused, 0);
        }
        return;
    }
    if (_tls->write(from.buffer() + start, length) != tls_session::status::done) {
        deliver(std::move(done), ERROR_LAYER_OTHER_EXCEPTION, 0);
        return;
    }
    flush([this, done = std::move(done), length](DWORD error) mutable {
        deliver(std::move(done), error, error == 0 ? length : 0);
    });
}

void stream::shutdown(std::function<void()> then) {
    const inside call(_calls);
    if (!_tls || _closed || _broken != 0) {
        deliver([then = std::move(then)](DWORD, DWORD) { then(); }, 0, 0);
        return;
    }
    _tls->shutdown();
    flush([this, then = std::move(then)](DWORD) mutable { deliver([then](DWORD, DWORD) { then(); }, 0, 0); });
}

void stream::flush(waiter then) {
    _flush_waiters.push_back(std::move(then));
    if (!_flushing) flush_more();
}

void stream::flush_more() {
    std::size_t taken = 0;
    if (_broken == 0 && _tls->pending_output() > 0) {
        const std::size_t waiting = _tls->pending_output();
        const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(waiting, cipher_out_size));
        // A small buffer for a short answer's records, a large one for a body's.
        if (_cipher_out && _cipher_out->buffer_size() < wanted) _out_pool->give(std::move(_cipher_out));
        if (!_cipher_out) _cipher_out = _out_pool->take(wanted);
        taken = _tls->take_output(_cipher_out->buffer(), _cipher_out->buffer_size());
    }
    if (taken == 0) {
        _flushing = false;
        // Nothing is in flight on it: the buffer goes back until the next output.
        _out_pool->give(std::move(_cipher_out));
        // A waiter may flush again; it waits for the next round.
        std::vector<waiter> waiting;
        waiting.swap(_flush_waiters);
        for (waiter& each : waiting) each(_broken);
        return;
    }
    _flushing = true;
    _cipher_out->range(0, static_cast<DWORD>(taken));
    _cipher_out->on_complete([this](DWORD error, DWORD) {
        if (error != 0) _broken = error;
        flush_more();
    });
    if (_socket->WriteFully(_cipher_out->get()) != S_OK) {
        _cipher_out->on_complete(nullptr);
        _broken = refused;
        flush_more();
    }
}

}  // namespace asynframe::tools
