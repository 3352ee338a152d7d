// The TLS client of the security package: one session whose records pass
// through the caller's buffers (lent input, output written into the caller's
// send buffer or queued), so the caller moves every byte over its own
// connection. Received bytes go in with put_input; whatever the session wants
// sent comes out with take_output, after any step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>

namespace asynframe::platform::tls {

// Record sizes of a session, the worst case of every suite the session may
// negotiate: a record is at most header + maximum_message + trailer bytes.
struct stream_sizes {
    std::uint32_t header = 0;
    std::uint32_t trailer = 0;
    std::uint32_t maximum_message = 0;
};

// What the client checks of the server's certificate.
struct verification {
    // False: any certificate passes (no chain or name check).
    bool verify_peer = true;
    // A PEM file of certificates trusted beside the system's store; empty: none.
    std::string ca_file;
    // The server's name or dotted IPv4 address the certificate must name; a
    // name is also sent as the server name. Empty: the chain alone is checked.
    std::string host;
};

// What a client context is built from: every setting that changes the
// library context (OpenSSL's SSL_CTX and trust store, SChannel's credentials
// and trusted certificates). Sessions of one frame with equal settings share
// one context, and with it the cache of sessions to resume.
struct context_settings {
    bool verify_peer = true;
    std::string ca_file;

    // The part of a session's checks its context is built for.
    static context_settings of(const verification& checks) { return {checks.verify_peer, checks.ca_file}; }

    bool operator<(const context_settings& other) const {
        return std::tie(verify_peer, ca_file) < std::tie(other.verify_peer, other.ca_file);
    }
};

// The library context of client sessions: built once, shared by reference
// count, freed with its last user. It keeps the sessions the servers handed
// out (TLS 1.3 tickets included), by the key each session was opened with,
// so that a later connection to the same server resumes.
class client_context {
public:
    ~client_context();
    client_context(const client_context&) = delete;
    client_context& operator=(const client_context&) = delete;

    // Null when the context cannot be made: `library_failure` when the
    // library itself failed, and `error` says why.
    static std::shared_ptr<client_context> make(const context_settings& settings, bool& library_failure,
                                                std::string& error);
    const context_settings& settings() const noexcept { return _settings; }
    // Sessions kept for resumption.
    std::size_t sessions_held() const;

    struct state;
    state& native() const noexcept { return *_state; }

private:
    client_context(context_settings settings, std::unique_ptr<state> made);
    context_settings _settings;
    std::unique_ptr<state> _state;
};

// The contexts of one frame, one per setting; emptied when the frame ends
// (sessions still open keep theirs until they close).
class context_cache {
public:
    std::shared_ptr<client_context> get(const context_settings& settings, bool& library_failure,
                                        std::string& error) {
        std::lock_guard<std::mutex> guard(_lock);
        auto found = _contexts.find(settings);
        if (found != _contexts.end()) return found->second;
        std::shared_ptr<client_context> made = client_context::make(settings, library_failure, error);
        if (made) _contexts.emplace(settings, made);
        return made;
    }
    void clear() noexcept {
        std::map<context_settings, std::shared_ptr<client_context>> gone;
        std::lock_guard<std::mutex> guard(_lock);
        gone.swap(_contexts);
    }
    std::size_t size() const {
        std::lock_guard<std::mutex> guard(_lock);
        return _contexts.size();
    }

private:
    mutable std::mutex _lock;
    std::map<context_settings, std::shared_ptr<client_context>> _contexts;
};

enum class status {
    done,        // the step finished (handshake complete, bytes decrypted)
    want_input,  // more received bytes are needed
    closed,      // the peer ended the session (close_notify)
    failed,      // error_text() says why
};

class client_session {
public:
    client_session();
    ~client_session();
    client_session(const client_session&) = delete;
    client_session& operator=(const client_session&) = delete;

    // Builds the session for TLS 1.2 and 1.3 with the system's trust store
    // plus `settings`. False when the library context cannot be made
    // (`library_failure` set) or the trust settings cannot be applied.
    bool open(const verification& settings, bool& library_failure);
    // The same over a shared context, whose settings stand for those of
    // `settings` (its host is still this session's). A session kept under
    // `resume_key` (say "host:port") is offered for resumption, and the
    // sessions the server hands out are kept under it; empty: none.
    bool open(const std::shared_ptr<client_context>& context, const verification& settings,
              const std::string& resume_key);
    bool is_open() const noexcept;

    // Advances the handshake over the input given so far.
    status handshake();
    // Encrypts at most maximum_message bytes as one record into the output.
    bool encrypt(const std::uint8_t* data, std::size_t length);
    // The same straight into `out`, which has room for `capacity` bytes (a
    // record is at most header + length + trailer): the record's length, 0
    // on a failure. Output still pending goes into `out` first.
    std::size_t encrypt_into(const std::uint8_t* data, std::size_t length, std::uint8_t* out, std::size_t capacity);
    // Decrypts into `out` as much as is there, up to `capacity` bytes: done
    // with `produced` > 0, or want_input, closed or failed with `produced` 0.
    status decrypt(std::uint8_t* out, std::size_t capacity, std::size_t& produced);
    // Queues the close_notify alert in the output.
    bool shutdown();

    void put_input(const std::uint8_t* data, std::size_t length);
    // The same without a copy where the platform can: the session reads the
    // bytes where they are until return_input, which keeps what it has not
    // read yet; the caller's buffer must not change in between.
    void lend_input(const std::uint8_t* data, std::size_t length);
    void return_input();
    // Received bytes not yet consumed by the session.
    std::size_t input_held() const noexcept;
    std::size_t output_pending() const noexcept;
    // Moves up to `capacity` bytes of the output into `out`; the count moved.
    std::size_t take_output(std::uint8_t* out, std::size_t capacity);

    stream_sizes sizes() const noexcept;
    // The negotiated protocol ("TLSv1.3"), empty before the handshake.
    std::string protocol() const;
    // The handshake resumed an earlier session rather than making a new one.
    bool resumed() const noexcept;
    // Why the last step failed: the certificate check's reason when that is
    // what failed, otherwise the library's own error text.
    std::string error_text() const;
    // The certificate check failed (rather than the protocol).
    bool verification_failed() const noexcept;

    // Frees the session; open may be called again.
    void close() noexcept;

private:
    struct state;
    std::unique_ptr<state> _state;
};

}  // namespace asynframe::platform::tls
