// A hostile TLS server behind a memory transport, for the client session the
// TLS socket drives. The first byte picks what the peer does:
//   0  its records are the input itself, from the ClientHello on;
//   1  a real server (OpenSSL, in this process) completes the handshake, then
//      the input is a script of what the server sends: data, key updates, a
//      close_notify, raw bytes, and its records altered, cut or split;
//   2  the real server's handshake records are altered on the way.
// Whatever arrives, a decrypted byte must be one the server wrote, at its
// place; a step must end; a failure must say why.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/tls.h"

namespace {

namespace tls = asynframe::platform::tls;

// The input read front to back; zeros once it runs out.
struct reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
    bool more() const { return at < size; }
    std::uint8_t byte() { return at < size ? data[at++] : 0; }
    // Two bytes, high first.
    std::size_t count(std::size_t most) {
        const std::size_t high = byte();
        return (high << 8 | byte()) % (most + 1);
    }
};

// The client checks no certificate here, and loading the system's trust
// store for every session would leave time for little else.
[[maybe_unused]] const bool no_trust_store = [] {
    ::setenv("SSL_CERT_FILE", "/nonexistent/fuzz_tls_input.pem", 1);
    ::setenv("SSL_CERT_DIR", "/nonexistent/fuzz_tls_input", 1);
    return true;
}();

// One certificate for the whole run: a P-256 key signs itself.
SSL_CTX* server_context() {
    static SSL_CTX* context = [] {
        EVP_PKEY* key = EVP_EC_gen("P-256");
        X509* certificate = X509_new();
        ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
        X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
        X509_gmtime_adj(X509_getm_notAfter(certificate), 3600L * 24 * 365);
        X509_NAME* name = X509_get_subject_name(certificate);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("peer.test"),
                                   -1, -1, 0);
        X509_set_issuer_name(certificate, name);
        X509_set_pubkey(certificate, key);
        X509_sign(certificate, key, EVP_sha256());
        SSL_CTX* made = SSL_CTX_new(TLS_server_method());
        SSL_CTX_set_min_proto_version(made, TLS1_2_VERSION);
        SSL_CTX_use_certificate(made, certificate);
        SSL_CTX_use_PrivateKey(made, key);
        X509_free(certificate);
        EVP_PKEY_free(key);
        if (SSL_CTX_check_private_key(made) != 1) std::abort();
        return made;
    }();
    return context;
}

struct server {
    SSL* ssl;
    BIO* in;
    BIO* out;
    explicit server(int version) : ssl(SSL_new(server_context())), in(BIO_new(BIO_s_mem())), out(BIO_new(BIO_s_mem())) {
        BIO_set_mem_eof_return(in, -1);
        SSL_set_bio(ssl, in, out);
        SSL_set_accept_state(ssl);
        SSL_set_max_proto_version(ssl, version);
    }
    ~server() { SSL_free(ssl); }
    server(const server&) = delete;
    server& operator=(const server&) = delete;

    std::vector<std::uint8_t> take() {
        std::vector<std::uint8_t> bytes(BIO_ctrl_pending(out));
        if (!bytes.empty() && BIO_read(out, bytes.data(), static_cast<int>(bytes.size())) != static_cast<int>(bytes.size()))
            std::abort();
        return bytes;
    }
    void give(const std::uint8_t* data, std::size_t size) {
        if (size > 0 && BIO_write(in, data, static_cast<int>(size)) != static_cast<int>(size)) std::abort();
    }
};

// The client as the TLS socket drives it.
struct client {
    tls::client_session session;
    std::string written;   // what the server sent as data
    std::string received;  // what the client decrypted
    bool closed = false;
    bool failed = false;

    client() {
        bool library_failure = false;
        tls::verification settings;
        settings.verify_peer = false;
        if (!session.open(settings, library_failure)) std::abort();
    }

    void check_failure(tls::status step) {
        if (step != tls::status::failed) return;
        if (session.error_text().empty()) std::abort();
        failed = true;
    }

    // Bytes the session wants sent go to the server, if there is one.
    void flush(server* peer) {
        std::uint8_t chunk[4096];
        while (session.output_pending() > 0) {
            const std::size_t moved = session.take_output(chunk, sizeof chunk);
            if (moved == 0 || moved > sizeof chunk) std::abort();
            if (peer != nullptr) peer->give(chunk, moved);
        }
    }

    // Decrypts what is held into a buffer of `capacity` bytes, handed on each
    // time it fills, as the socket's read does.
    void decrypt_held(std::size_t capacity) {
        std::vector<std::uint8_t> buffer(capacity);
        std::size_t filled = 0;
        // Each step that goes on yields a byte at least: it must end.
        for (std::size_t rounds = 0; !closed && !failed; ++rounds) {
            if (rounds > written.size() + 1) std::abort();
            std::size_t produced = 12345;
            const tls::status step = session.decrypt(buffer.data() + filled, capacity - filled, produced);
            if (step == tls::status::done) {
                if (produced == 0 || produced > capacity - filled) std::abort();
                filled += produced;
                if (filled == capacity) {
                    received.append(buffer.begin(), buffer.end());
                    filled = 0;
                }
                continue;
            }
            if (produced != 0) std::abort();
            if (step == tls::status::closed) closed = true;
            check_failure(step);
            break;
        }
        received.append(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(filled));
        // Never a byte the server did not write, nor one out of its place.
        if (received.size() > written.size() || written.compare(0, received.size(), received) != 0) std::abort();
    }
};

// Records the client was never meant to see: the handshake fails or waits.
void raw_records(reader& in) {
    client peer;
    if (peer.session.handshake() != tls::status::want_input) std::abort();
    peer.flush(nullptr);
    while (in.more() && !peer.failed) {
        const std::size_t length = std::min<std::size_t>(1 + in.byte() * 8, in.size - in.at);
        peer.session.put_input(in.data + in.at, length);
        in.at += length;
        const tls::status step = peer.session.handshake();
        peer.flush(nullptr);
        peer.check_failure(step);
        if (step == tls::status::closed) return;
        if (step == tls::status::done) {
            peer.decrypt_held(4096);
            return;
        }
    }
}

// Moves the server's pending records to the client, `alter` having its way
// with them first; then the client takes its handshake step.
template <class Alter>
tls::status handshake_round(client& peer, server& site, Alter&& alter) {
    std::vector<std::uint8_t> records = site.take();
    alter(records);
    peer.session.put_input(records.data(), records.size());
    const tls::status step = peer.session.handshake();
    peer.flush(&site);
    return step;
}

// Client and server step in turn until the client is done; false when it
// failed or the exchange stalled.
template <class Alter>
bool handshake(client& peer, server& site, Alter&& alter) {
    if (peer.session.handshake() != tls::status::want_input) std::abort();
    peer.flush(&site);
    for (int round = 0; round < 16; ++round) {
        ERR_clear_error();
        SSL_do_handshake(site.ssl);
        ERR_clear_error();
        const tls::status step = handshake_round(peer, site, alter);
        if (step == tls::status::done) {
            // The server finishes too (its session tickets come after).
            ERR_clear_error();
            SSL_do_handshake(site.ssl);
            ERR_clear_error();
            return true;
        }
        peer.check_failure(step);
        if (step != tls::status::want_input) return false;
    }
    return false;
}

void scripted_server(reader& in) {
    client peer;
    server site((in.byte() & 1) != 0 ? TLS1_2_VERSION : TLS1_3_VERSION);
    if (!handshake(peer, site, [](std::vector<std::uint8_t>&) {})) std::abort();
    std::vector<std::uint8_t> pending;  // the server's records not yet delivered
    bool altered = false, renegotiated = false;
    while (in.more() && !peer.failed && !peer.closed) {
        const std::uint8_t op = in.byte();
        switch (op % 8) {
        case 0: {  // data
            const std::size_t length = std::min<std::size_t>(1 + in.count(40000), 40000);
            std::string text(length, '\0');
            for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + (i + op) % 26);
            ERR_clear_error();
            // Refused once the server has closed or while it renegotiates.
            if (SSL_write(site.ssl, text.data(), static_cast<int>(length)) == static_cast<int>(length))
                peer.written += text;
            ERR_clear_error();
            break;
        }
        case 1:  // a key update, or a renegotiation request under 1.2
            ERR_clear_error();
            if (SSL_version(site.ssl) == TLS1_3_VERSION)
                SSL_key_update(site.ssl, (in.byte() & 1) != 0 ? SSL_KEY_UPDATE_REQUESTED : SSL_KEY_UPDATE_NOT_REQUESTED);
            else
                renegotiated = SSL_renegotiate(site.ssl) == 1 || renegotiated;
            SSL_do_handshake(site.ssl);
            ERR_clear_error();
            break;
        case 2:  // close_notify
            ERR_clear_error();
            SSL_shutdown(site.ssl);
            ERR_clear_error();
            break;
        case 3: {  // raw bytes
            altered = true;
            const std::size_t length = std::min<std::size_t>(in.byte(), in.size - in.at);
            pending.insert(pending.end(), in.data + in.at, in.data + in.at + length);
            in.at += length;
            break;
        }
        case 4: {  // one byte of the records altered
            altered = true;
            std::vector<std::uint8_t> more = site.take();
            pending.insert(pending.end(), more.begin(), more.end());
            if (pending.empty()) break;
            const std::size_t where = in.count(pending.size() - 1);
            pending[where] ^= static_cast<std::uint8_t>(in.byte() | 1);
            break;
        }
        case 5: {  // records cut short
            altered = true;
            std::vector<std::uint8_t> more = site.take();
            pending.insert(pending.end(), more.begin(), more.end());
            pending.resize(pending.size() - in.count(pending.size()));
            break;
        }
        default: {  // a delivery of some of it, then a read of a given size
            std::vector<std::uint8_t> more = site.take();
            pending.insert(pending.end(), more.begin(), more.end());
            const std::size_t length = op % 8 == 6 ? pending.size() : in.count(pending.size());
            peer.session.put_input(pending.data(), length);
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(length));
            peer.decrypt_held(1 + in.count(20000));
            peer.flush(&site);
            // The server reads what the client answered (a key update).
            char sink[256];
            ERR_clear_error();
            while (SSL_read(site.ssl, sink, sizeof sink) > 0) {
            }
            ERR_clear_error();
            break;
        }
        }
    }
    if (peer.failed || peer.closed) return;
    // Whatever is left arrives; unaltered data must then all be there.
    std::vector<std::uint8_t> more = site.take();
    pending.insert(pending.end(), more.begin(), more.end());
    peer.session.put_input(pending.data(), pending.size());
    peer.decrypt_held(16384);
    if (!altered && !renegotiated && !peer.failed && peer.received != peer.written) std::abort();
}

void altered_handshake(reader& in) {
    client peer;
    server site((in.byte() & 1) != 0 ? TLS1_2_VERSION : TLS1_3_VERSION);
    const bool done = handshake(peer, site, [&in](std::vector<std::uint8_t>& records) {
        if (records.empty()) return;
        const std::uint8_t changes = in.byte() % 4;
        for (std::uint8_t i = 0; i < changes; ++i) {
            const std::size_t where = in.count(records.size() - 1);
            records[where] ^= static_cast<std::uint8_t>(in.byte() | 1);
        }
        records.resize(records.size() - std::min<std::size_t>(records.size(), in.byte() % 8));
    });
    if (!done) return;
    static const char text[] = "after an altered handshake";
    ERR_clear_error();
    if (SSL_write(site.ssl, text, sizeof text - 1) > 0) peer.written = text;
    ERR_clear_error();
    const std::vector<std::uint8_t> records = site.take();
    peer.session.put_input(records.data(), records.size());
    peer.decrypt_held(64);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    reader in{data, size, 1};
    switch (data[0] % 3) {
    case 0: raw_records(in); break;
    case 1: scripted_server(in); break;
    default: altered_handshake(in); break;
    }
    ERR_clear_error();
    return 0;
}
