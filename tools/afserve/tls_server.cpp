#include "afserve/tls_server.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <climits>

#include "common/host.h"

namespace asynframe::tools {
namespace {

// The oldest error OpenSSL queued, in words, with the queue emptied: the
// first is the cause, the later ones are the layers that passed it on.
std::string openssl_reason(const char* fallback) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return fallback;
    const char* reason = ERR_reason_error_string(code);
    if (reason != nullptr) return reason;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

}  // namespace

tls_server_context::tls_server_context(const std::string& certificate, const std::string& key) {
    _context = SSL_CTX_new(TLS_server_method());
    if (_context == nullptr) throw tool_error(exit_failure, "TLS: " + openssl_reason("no context"));
    SSL_CTX_set_min_proto_version(_context, TLS1_2_VERSION);
    // A connection between records holds no record buffers (as nginx sets it).
    SSL_CTX_set_mode(_context, SSL_MODE_RELEASE_BUFFERS);
    if (SSL_CTX_use_certificate_chain_file(_context, certificate.c_str()) != 1) {
        const std::string reason = openssl_reason("unreadable");
        SSL_CTX_free(_context);
        throw tool_error(exit_usage, "cannot use the certificate " + certificate + ": " + reason);
    }
    if (SSL_CTX_use_PrivateKey_file(_context, key.c_str(), SSL_FILETYPE_PEM) != 1) {
        const std::string reason = openssl_reason("unreadable");
        SSL_CTX_free(_context);
        throw tool_error(exit_usage, "cannot use the key " + key + ": " + reason);
    }
    if (SSL_CTX_check_private_key(_context) != 1) {
        ERR_clear_error();
        SSL_CTX_free(_context);
        throw tool_error(exit_usage, "the key " + key + " does not belong to the certificate " + certificate);
    }
}

tls_server_context::~tls_server_context() { SSL_CTX_free(_context); }

tls_session::tls_session(const tls_server_context& context) {
    _ssl = SSL_new(context.get());
    _input = BIO_new(BIO_s_mem());
    _output = BIO_new(BIO_s_mem());
    if (_ssl == nullptr || _input == nullptr || _output == nullptr) {
        BIO_free(_input);
        BIO_free(_output);
        SSL_free(_ssl);
        throw tool_error(exit_failure, "TLS: " + openssl_reason("out of memory"));
    }
    // An empty input buffer means "wait for more", not end of stream.
    BIO_set_mem_eof_return(_input, -1);
    SSL_set_bio(_ssl, _input, _output);
    SSL_set_accept_state(_ssl);
}

tls_session::~tls_session() { SSL_free(_ssl); }

void tls_session::feed(const unsigned char* data, std::size_t size) {
    // A memory BIO grows as needed; it fails only when memory does, and then
    // the next step fails for want of the bytes.
    while (size > 0) {
        const int piece = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
        const int written = BIO_write(_input, data, piece);
        if (written <= 0) return;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

tls_session::status tls_session::outcome(int returned) {
    switch (SSL_get_error(_ssl, returned)) {
    case SSL_ERROR_WANT_READ: return status::want_input;
    case SSL_ERROR_ZERO_RETURN: return status::closed;
    case SSL_ERROR_WANT_WRITE:
        // A memory BIO never refuses output.
        _error = "output refused";
        return status::failed;
    default: _error = openssl_reason("the peer broke the protocol"); return status::failed;
    }
}

tls_session::status tls_session::handshake() {
    const int returned = SSL_do_handshake(_ssl);
    return returned == 1 ? status::done : outcome(returned);
}

tls_session::status tls_session::read(unsigned char* data, std::size_t size, std::size_t& got) {
    got = 0;
    const int returned = SSL_read_ex(_ssl, data, size, &got);
    return returned == 1 ? status::done : outcome(returned);
}

tls_session::status tls_session::write(const unsigned char* data, std::size_t size) {
    std::size_t written = 0;
    const int returned = SSL_write_ex(_ssl, data, size, &written);
    if (returned == 1 && written == size) return status::done;
    if (returned == 1) {
        _error = "short write";
        return status::failed;
    }
    return outcome(returned);
}

void tls_session::shutdown() {
    SSL_shutdown(_ssl);
    ERR_clear_error();
}

std::size_t tls_session::pending_output() const { return BIO_ctrl_pending(_output); }

std::size_t tls_session::take_output(unsigned char* data, std::size_t size) {
    const int piece = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
    const int taken = BIO_read(_output, data, piece);
    return taken > 0 ? static_cast<std::size_t>(taken) : 0;
}

}  // namespace asynframe::tools
