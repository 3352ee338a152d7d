// The server side of TLS for afserve. The library's TLS socket is a client,
// so afserve runs OpenSSL itself over memory buffers: what the frame's TCP
// socket reads is fed in, and what OpenSSL writes is taken out and sent.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct bio_st BIO;

namespace asynframe::tools {

// The certificate chain and key every connection presents.
class tls_server_context {
public:
    // Throws tool_error (exit_usage) with a one-line reason when the files
    // cannot be read or the key does not belong to the certificate.
    tls_server_context(const std::string& certificate, const std::string& key);
    ~tls_server_context();
    tls_server_context(const tls_server_context&) = delete;
    tls_server_context& operator=(const tls_server_context&) = delete;
    SSL_CTX* get() const noexcept { return _context; }

private:
    SSL_CTX* _context = nullptr;
};

// One connection's TLS state, with no I/O of its own.
class tls_session {
public:
    enum class status {
        done,        // the step finished (or `read` gave bytes)
        want_input,  // feed more of what the peer sent, then repeat the step
        closed,      // the peer sent close_notify
        failed       // a protocol or certificate failure; see error()
    };

    explicit tls_session(const tls_server_context& context);
    ~tls_session();
    tls_session(const tls_session&) = delete;
    tls_session& operator=(const tls_session&) = delete;

    // Received ciphertext.
    void feed(const unsigned char* data, std::size_t size);
    status handshake();
    // Plaintext into `data`; `got` is set when the status is done.
    status read(unsigned char* data, std::size_t size, std::size_t& got);
    // Encrypts all of `data` into the pending output.
    status write(const unsigned char* data, std::size_t size);
    // Puts close_notify into the pending output.
    void shutdown();

    // Ciphertext waiting to be sent, taken out up to `size` bytes.
    std::size_t pending_output() const;
    std::size_t take_output(unsigned char* data, std::size_t size);

    // Why the last step failed, in words.
    const std::string& error() const noexcept { return _error; }

private:
    status outcome(int returned);

    SSL* _ssl = nullptr;
    BIO* _input = nullptr;   // owned by _ssl
    BIO* _output = nullptr;  // owned by _ssl
    std::string _error;
};

}  // namespace asynframe::tools
