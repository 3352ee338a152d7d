#include "tls_common.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tls_bench {
namespace {

SSL_CTX* make_server_context() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    if (key == nullptr || certificate == nullptr) give_up("making the server's key");
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1,
                               0);
    X509_set_issuer_name(certificate, name);
    X509_sign(certificate, key, EVP_sha256());
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION);
    if (SSL_CTX_use_certificate(context, certificate) != 1 || SSL_CTX_use_PrivateKey(context, key) != 1)
        give_up("loading the server's certificate");
    X509_free(certificate);
    EVP_PKEY_free(key);
    return context;
}

}  // namespace

bulk_server::bulk_server(direction what) : _what(what) {
    ::signal(SIGPIPE, SIG_IGN);  // a client that goes away ends a send with EPIPE
    _context = make_server_context();
    _listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (_listener < 0 || ::bind(_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(_listener, 16) != 0)
        give_up("opening the listener");
    socklen_t length = sizeof address;
    ::getsockname(_listener, reinterpret_cast<sockaddr*>(&address), &length);
    _port = ntohs(address.sin_port);
    _acceptor = std::thread([this] {
        while (_running) {
            pollfd ready{_listener, POLLIN, 0};
            if (::poll(&ready, 1, 50) != 1) continue;
            const int fd = ::accept4(_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            // The tickets after a handshake and a short answer go at once,
            // whatever the client does with its ACKs.
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            if (_what == direction::handshake)
                serve(fd);
            else
                _connections.emplace_back([this, fd] { serve(fd); });
        }
    });
}

bulk_server::~bulk_server() {
    _running = false;
    _acceptor.join();
    for (std::thread& connection : _connections) connection.join();
    ::close(_listener);
    SSL_CTX_free(static_cast<SSL_CTX*>(_context));
}

void bulk_server::serve(int fd) {
    SSL* session = SSL_new(static_cast<SSL_CTX*>(_context));
    SSL_set_fd(session, fd);
    std::vector<unsigned char> chunk(64 * 1024, 0x42);
    if (SSL_accept(session) == 1) {
        if (_what == direction::handshake) {
            // One byte asked, one answered; then until the client goes.
            if (SSL_read(session, chunk.data(), 1) == 1 && SSL_write(session, chunk.data(), 1) == 1) {
                while (SSL_read(session, chunk.data(), static_cast<int>(chunk.size())) > 0) {
                }
            }
        } else if (_what == direction::download) {
            while (_running && SSL_write(session, chunk.data(), static_cast<int>(chunk.size())) > 0) {
            }
        } else {
            while (SSL_read(session, chunk.data(), static_cast<int>(chunk.size())) > 0) {
            }
        }
    }
    SSL_free(session);
    ::close(fd);
}

}  // namespace tls_bench
