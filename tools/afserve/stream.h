// The byte stream of one accepted connection: the frame's TCP socket, or TLS
// over it. Reads and writes use an operation's buffer between `start` and
// `start + length`, and call back on the dispatch thread, never inside the
// call that started them. One read and one write may be in flight at a time.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "afserve/cache.h"
#include "afserve/tls_server.h"
#include "common/host.h"

namespace asynframe::tools {

class stream {
public:
    using callback = operation::callback;
    // Ciphertext sent at once: a body piece of afserve's with its records' overhead.
    static constexpr DWORD cipher_out_size = 272 * 1024;

    // Over TLS when `tls` is not null; it and `out_pool` (whose buffers,
    // large ones of cipher_out_size, are lent while output is being sent)
    // must outlive the stream.
    stream(host& owner, ref<IAsynTcpSocket> socket, const tls_server_context* tls, buffer_pool* out_pool);
    ~stream();
    stream(const stream&) = delete;
    stream& operator=(const stream&) = delete;

    // `ready` runs once requests may be read: at once over TCP, after the
    // handshake over TLS. A failed handshake gives false and its reason.
    void start(std::function<void(bool ok, const std::string& why)> ready);
    // Gives what arrived (at least one byte), or 0 bytes once the peer ended
    // the stream; an error otherwise.
    void read(operation& into, DWORD start, DWORD length, callback done);
    // Sends all of the range; `done` gets its length.
    void write_fully(operation& from, DWORD start, DWORD length, callback done);
    // Ends the stream in order (close_notify over TLS), then calls `then`,
    // whether or not the peer could be told.
    void shutdown(std::function<void()> then);
    void close();

private:
    using waiter = std::function<void(DWORD error)>;
    struct inside;
    // Calls `done`: at once from a completion, at a later turn (unless the
    // stream is gone by then) from inside one of the calls above.
    void deliver(callback done, DWORD error, DWORD bytes);
    void handshake_step();
    void read_step(operation& into, DWORD start, DWORD length, callback done);
    // Sends what TLS has waiting, then calls `then` (with the send's error).
    void flush(waiter then);
    void flush_more();
    // Reads more of the peer's ciphertext into TLS, then calls `then`; 0
    // bytes when the peer closed.
    void pull(std::function<void(DWORD error, DWORD bytes)> then);

    host& _host;
    ref<IAsynTcpSocket> _socket;
    std::unique_ptr<tls_session> _tls;
    std::unique_ptr<operation> _cipher_in;
    buffer_pool* _out_pool = nullptr;
    std::unique_ptr<operation> _cipher_out;  // lent from the pool while flushing
    std::function<void(bool, const std::string&)> _ready;
    std::vector<waiter> _flush_waiters;
    bool _flushing = false;
    DWORD _broken = 0;  // the error a send of TLS output ended with
    bool _closed = false;
    int _calls = 0;  // the calls above now on the stack
    std::shared_ptr<bool> _alive = std::make_shared<bool>(true);
};

}  // namespace asynframe::tools
