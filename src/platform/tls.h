// The TLS client of the security package: one session whose records pass
// through two memory buffers, so the caller moves every byte over its own
// connection. Received bytes go in with put_input; whatever the session wants
// sent comes out with take_output, after any step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

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
    bool is_open() const noexcept;

    // Advances the handshake over the input given so far.
    status handshake();
    // Encrypts at most maximum_message bytes as one record into the output.
    bool encrypt(const std::uint8_t* data, std::size_t length);
    // Decrypts into `out` as much as is there, up to `capacity` bytes: done
    // with `produced` > 0, or want_input, closed or failed with `produced` 0.
    status decrypt(std::uint8_t* out, std::size_t capacity, std::size_t& produced);
    // Queues the close_notify alert in the output.
    bool shutdown();

    void put_input(const std::uint8_t* data, std::size_t length);
    // Received bytes not yet consumed by the session.
    std::size_t input_held() const noexcept;
    std::size_t output_pending() const noexcept;
    // Moves up to `capacity` bytes of the output into `out`; the count moved.
    std::size_t take_output(std::uint8_t* out, std::size_t capacity);

    stream_sizes sizes() const noexcept;
    // The negotiated protocol ("TLSv1.3"), empty before the handshake.
    std::string protocol() const;
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
