// The TLS session of the platform layer against real `openssl s_server` peers
// on loopback. tests/platform/run_tls_session_test.sh makes the certificates,
// starts the servers and names them in the environment; without it the tests
// are skipped.
#include "platform/tls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace asynframe::platform::tls {
namespace {

// Every receive gives up after this long, so a peer that never answers fails the test.
constexpr int receive_limit_ms = 10000;

// ---- the environment the wrapper sets -------------------------------------------------

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

struct peers {
    std::string ca;           // the test CA alone
    std::string bundle;       // an unrelated CA, then the test CA
    std::string key_only;     // a PEM file without a certificate
    std::uint16_t leaf = 0;   // CA-signed for localhost, 127.0.0.1 and ::1, TLS 1.2
    std::uint16_t other = 0;  // CA-signed for elsewhere.invalid only
    std::uint16_t self = 0;   // self-signed for localhost
    std::uint16_t expired = 0;
    std::uint16_t tls13 = 0;  // the leaf's certificate, TLS 1.3 only
    std::uint16_t tls11 = 0;  // the leaf's certificate, TLS 1.0 and 1.1 only
    std::uint16_t asking = 0;  // the leaf's, asking for a client certificate it does not require
};

std::uint16_t port_of(const char* name) { return static_cast<std::uint16_t>(std::atoi(variable(name).c_str())); }

const peers* environment() {
    static const peers* const found = [] () -> const peers* {
        std::string folder = variable("ASYNFRAME_TEST_TLS_DIR");
        if (folder.empty()) return nullptr;
#ifdef _WIN32
        // Under wine the wrapper's folder is a Unix path, which drive Z: reaches.
        if (folder[0] == '/') folder = "Z:" + folder;
#endif
        static peers p;
        p.ca = folder + "/ca.pem";
        p.bundle = folder + "/bundle.pem";
        p.key_only = folder + "/leaf.key";
        p.leaf = port_of("ASYNFRAME_TEST_TLS_PORT");
        p.other = port_of("ASYNFRAME_TEST_TLS_OTHER_PORT");
        p.self = port_of("ASYNFRAME_TEST_TLS_SELF_PORT");
        p.expired = port_of("ASYNFRAME_TEST_TLS_EXPIRED_PORT");
        p.tls13 = port_of("ASYNFRAME_TEST_TLS13_PORT");
        p.tls11 = port_of("ASYNFRAME_TEST_TLS11_PORT");
        p.asking = port_of("ASYNFRAME_TEST_TLS_ASKING_PORT");
        return &p;
    }();
    return found;
}

#define REQUIRE_PEERS()                                                                         \
    const peers* env = environment();                                                          \
    if (env == nullptr) GTEST_SKIP() << "run through tests/platform/run_tls_session_test.sh"; \
    (void)env

// ---- a blocking loopback connection --------------------------------------------------------

#ifdef _WIN32
using socket_type = SOCKET;
const socket_type no_socket = INVALID_SOCKET;
void close_socket(socket_type s) { closesocket(s); }
struct winsock {
    winsock() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~winsock() { WSACleanup(); }
} const winsock_started;
#else
using socket_type = int;
const socket_type no_socket = -1;
void close_socket(socket_type s) { ::close(s); }
#endif

void limit_receives(socket_type s) {
#ifdef _WIN32
    const DWORD limit = receive_limit_ms;
#else
    const timeval limit{receive_limit_ms / 1000, 0};
#endif
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

class connection {
public:
    explicit connection(std::uint16_t port) {
        _socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (_socket == no_socket) return;
        limit_receives(_socket);
        const sockaddr_in address = loopback(port);
        if (::connect(_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            close_socket(_socket);
            _socket = no_socket;
        }
    }
    explicit connection(socket_type accepted) : _socket(accepted) { limit_receives(_socket); }
    ~connection() {
        if (_socket != no_socket) close_socket(_socket);
    }
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    bool connected() const { return _socket != no_socket; }

    bool send_all(const std::uint8_t* data, std::size_t length) {
        while (length > 0) {
            const int sent = ::send(_socket, reinterpret_cast<const char*>(data), static_cast<int>(length), 0);
            if (sent <= 0) return false;
            data += sent;
            length -= static_cast<std::size_t>(sent);
        }
        return true;
    }
    // Bytes received, 0 at the end of the stream, -1 on an error or the time-out.
    int receive(std::uint8_t* buffer, std::size_t capacity) {
        return static_cast<int>(::recv(_socket, reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0));
    }

private:
    socket_type _socket = no_socket;
};

// ---- a client: the session driven over a connection ------------------------------------------

class client {
public:
    client(std::uint16_t port, verification settings) : _connection(port) {
        bool library_failure = true;
        _opened = _connection.connected() && _session.open(settings, library_failure);
        EXPECT_FALSE(library_failure) << _session.error_text();
    }

    client_session& session() { return _session; }
    connection& socket() { return _connection; }
    bool opened() const { return _opened; }

    bool flush() {
        std::uint8_t block[4096];
        while (_session.output_pending() > 0) {
            const std::size_t taken = _session.take_output(block, sizeof block);
            if (taken == 0 || !_connection.send_all(block, taken)) return false;
        }
        return true;
    }

    // Runs the handshake to its end; every token the session makes is sent.
    status handshake() {
        for (int round = 0; round < 100; ++round) {
            const status step = _session.handshake();
            if (!flush()) return status::failed;
            if (step != status::want_input) return step;
            if (!receive_more()) return status::failed;
        }
        return status::failed;
    }

    bool write(const std::string& text) {
        const std::size_t piece = _session.sizes().maximum_message;
        for (std::size_t done = 0; done < text.size(); done += piece) {
            const std::size_t length = std::min(piece, text.size() - done);
            if (!_session.encrypt(reinterpret_cast<const std::uint8_t*>(text.data()) + done, length)) return false;
        }
        return flush();
    }

    // Reads until `count` bytes came, the peer closed (closed or end of the
    // stream, in `how`) or something failed.
    std::string read(std::size_t count, status& how, std::size_t capacity = 20000) {
        std::string text;
        std::vector<std::uint8_t> buffer(capacity);
        while (text.size() < count) {
            std::size_t produced = 0;
            how = _session.decrypt(buffer.data(), buffer.size(), produced);
            if (!flush()) how = status::failed;
            if (how == status::done) {
                text.append(reinterpret_cast<const char*>(buffer.data()), produced);
                continue;
            }
            if (how != status::want_input) return text;
            if (!receive_more()) {
                how = _end_of_stream ? status::closed : status::failed;
                return text;
            }
        }
        how = status::done;
        return text;
    }

    // As `read`, by a caller that lends each received piece in place, takes
    // one small decryption from it, and takes it back (then spoils it) before
    // the next: the bytes left of each piece wait in the session, and the
    // next piece is lent behind them.
    std::string read_lending(std::size_t count, status& how, std::size_t piece) {
        std::string text;
        std::uint8_t out[500];
        std::uint8_t block[8192];
        const auto take = [&] {
            std::size_t produced = 0;
            how = _session.decrypt(out, sizeof out, produced);
            if (how == status::done) text.append(reinterpret_cast<const char*>(out), produced);
        };
        while (text.size() < count) {
            take();
            if (how == status::done) continue;
            if (how != status::want_input) return text;
            const int received = _connection.receive(block, sizeof block);
            if (received <= 0) {
                how = status::failed;
                return text;
            }
            for (std::size_t at = 0; at < static_cast<std::size_t>(received); at += piece) {
                const std::size_t length = std::min(piece, static_cast<std::size_t>(received) - at);
                _session.lend_input(block + at, length);
                take();
                _session.return_input();
                std::memset(block + at, 0xEE, length);
                if (how != status::done && how != status::want_input) return text;
            }
        }
        how = status::done;
        return text;
    }

    bool end_of_stream() const { return _end_of_stream; }

    bool receive_more() {
        std::uint8_t block[8192];
        const int received = _connection.receive(block, sizeof block);
        if (received <= 0) {
            _end_of_stream = received == 0;
            return false;
        }
        _session.put_input(block, static_cast<std::size_t>(received));
        return true;
    }

private:
    connection _connection;
    client_session _session;
    bool _opened = false;
    bool _end_of_stream = false;
};

verification checked(const std::string& host, const std::string& ca_file) {
    verification settings;
    settings.host = host;
    settings.ca_file = ca_file;
    return settings;
}

std::string reversed_line(std::string line) {
    std::reverse(line.begin(), line.end());
    return line + "\n";
}

// Lines of these lengths, each of one letter from `first` on, and the
// servers' answers to them.
struct lines_and_answers {
    std::string lines, answers;
};
lines_and_answers make_lines(const std::vector<std::size_t>& lengths, char first) {
    lines_and_answers made;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        const std::string line(lengths[i], static_cast<char>(first + i));
        made.lines += line + "\n";
        made.answers += reversed_line(line);
    }
    return made;
}

// The servers answer each line reversed (s_server -rev).
void expect_round_trip(client& c, const std::string& line) {
    ASSERT_TRUE(c.write(line + "\n"));
    status how = status::failed;
    EXPECT_EQ(reversed_line(line), c.read(line.size() + 1, how)) << c.session().error_text();
    EXPECT_EQ(status::done, how);
}

// ---- the tests -------------------------------------------------------------------------------

TEST(TlsSession, HandshakeTrustingTheCaFileThenRecordsBothWays) {
    REQUIRE_PEERS();
    client c(env->leaf, checked("localhost", env->bundle));
    ASSERT_TRUE(c.opened()) << c.session().error_text();
    EXPECT_EQ("", c.session().protocol());
    ASSERT_EQ(status::done, c.handshake()) << c.session().error_text();
    EXPECT_FALSE(c.session().verification_failed());
    EXPECT_EQ("TLSv1.2", c.session().protocol());
    const stream_sizes sizes = c.session().sizes();
    EXPECT_GT(sizes.header, 0u);
    EXPECT_GT(sizes.trailer, 0u);
    EXPECT_GE(sizes.maximum_message, 16384u);
    EXPECT_FALSE(c.session().encrypt(reinterpret_cast<const std::uint8_t*>("x"), 0));

    expect_round_trip(c, "hello");

    // Several records sent at once come back as several records that may
    // arrive in one receive; a small reader takes them in many pieces.
    const lines_and_answers sent = make_lines({700, 1011, 1322, 12000, 1944, 2255}, 'a');
    ASSERT_TRUE(c.write(sent.lines));
    status how = status::failed;
    EXPECT_EQ(sent.answers, c.read(sent.answers.size(), how, 997));
    EXPECT_EQ(status::done, how) << c.session().error_text();
    EXPECT_EQ(0u, c.session().input_held());
}

TEST(TlsSession, LentInputCutThroughRecordsIsReadInOrder) {
    REQUIRE_PEERS();
    client c(env->leaf, checked("localhost", env->bundle));
    ASSERT_TRUE(c.opened()) << c.session().error_text();
    ASSERT_EQ(status::done, c.handshake()) << c.session().error_text();
    const lines_and_answers sent = make_lines({900, 1157, 15000, 1671, 1928}, 'k');
    ASSERT_TRUE(c.write(sent.lines));
    status how = status::failed;
    // Pieces smaller than a record, and not a divisor of any record's length.
    EXPECT_EQ(sent.answers, c.read_lending(sent.answers.size(), how, 777));
    EXPECT_EQ(status::done, how) << c.session().error_text();
    EXPECT_EQ(0u, c.session().input_held());
}

TEST(TlsSession, PeerCloseNotifyReadsAsClosed) {
    REQUIRE_PEERS();
    client c(env->leaf, checked("localhost", env->ca));
    ASSERT_TRUE(c.opened()) << c.session().error_text();
    ASSERT_EQ(status::done, c.handshake()) << c.session().error_text();
    expect_round_trip(c, "before the end");
    // s_server -rev ends the session with close_notify on this line.
    ASSERT_TRUE(c.write("CLOSE\n"));
    status how = status::failed;
    EXPECT_EQ("", c.read(1, how));
    EXPECT_EQ(status::closed, how) << c.session().error_text();
    EXPECT_FALSE(c.end_of_stream()) << "the connection ended without close_notify";
    // Read again: still closed, nothing held.
    std::uint8_t byte = 0;
    std::size_t produced = 1;
    EXPECT_EQ(status::closed, c.session().decrypt(&byte, 1, produced));
    EXPECT_EQ(0u, produced);
}

TEST(TlsSession, ShutdownQueuesCloseNotifyThatThePeerHonours) {
    REQUIRE_PEERS();
    client c(env->leaf, checked("localhost", env->ca));
    ASSERT_TRUE(c.opened()) << c.session().error_text();
    ASSERT_EQ(status::done, c.handshake()) << c.session().error_text();
    ASSERT_TRUE(c.session().shutdown()) << c.session().error_text();
    const std::size_t pending = c.session().output_pending();
    ASSERT_GT(pending, 0u);
    std::vector<std::uint8_t> alert(pending);
    ASSERT_EQ(pending, c.session().take_output(alert.data(), alert.size()));
    EXPECT_EQ(0x15, alert[0]) << "not an alert record";  // TLS 1.2 sends the alert type in the clear
    ASSERT_TRUE(c.socket().send_all(alert.data(), alert.size()));
    // The server answers with its own close_notify and ends the connection;
    // without ours it would wait for the next line until the time-out.
    std::uint8_t block[4096];
    int received = 0;
    while ((received = c.socket().receive(block, sizeof block)) > 0) {
    }
    EXPECT_EQ(0, received) << "the server did not end the connection";
}

TEST(TlsSession, CertificateChecks) {
    REQUIRE_PEERS();
    struct check {
        const char* what;
        std::uint16_t port;
        std::string host, ca_file;
        bool verify;
        const char* reason;  // empty: passes
    };
    std::vector<check> checks = {
        {"trusted, by name", env->leaf, "localhost", env->ca, true, ""},
        {"trusted, asked for a client certificate", env->asking, "localhost", env->ca, true, ""},
        {"trusted, by address", env->leaf, "127.0.0.1", env->ca, true, ""},
        {"trusted, chain alone", env->leaf, "", env->ca, true, ""},
        {"wrong name", env->leaf, "elsewhere.invalid", env->ca, true, "hostname mismatch"},
        {"address not named", env->other, "127.0.0.1", env->ca, true, "IP address mismatch"},
        {"unknown CA", env->leaf, "localhost", "", true, "unable to get local issuer certificate"},
        {"self-signed", env->self, "localhost", env->bundle, true, "self-signed certificate"},
        {"expired", env->expired, "localhost", env->ca, true, "certificate has expired"},
        {"off: self-signed", env->self, "localhost", "", false, ""},
        {"off: wrong name and unknown CA", env->other, "localhost", "", false, ""},
    };
#ifdef _WIN32
    // The Linux session reads only a dotted IPv4 address as an address; an IPv6
    // one is a name there, which no certificate's DNS names match.
    checks.push_back({"trusted, by IPv6 address", env->leaf, "::1", env->ca, true, ""});
    checks.push_back({"trusted, by IPv6 address written out", env->leaf, "0:0:0:0:0:0:0:1", env->ca, true, ""});
    checks.push_back({"IPv6 address not named", env->leaf, "::2", env->ca, true, "IP address mismatch"});
#endif
    for (const check& c : checks) {
        SCOPED_TRACE(c.what);
        verification settings = checked(c.host, c.ca_file);
        settings.verify_peer = c.verify;
        client peer(c.port, settings);
        ASSERT_TRUE(peer.opened()) << peer.session().error_text();
        const status result = peer.handshake();
        if (*c.reason == '\0') {
            ASSERT_EQ(status::done, result) << peer.session().error_text();
            EXPECT_FALSE(peer.session().verification_failed());
            expect_round_trip(peer, "checked");
        } else {
            EXPECT_EQ(status::failed, result);
            EXPECT_TRUE(peer.session().verification_failed());
            EXPECT_NE(std::string::npos, peer.session().error_text().find(c.reason)) << peer.session().error_text();
            EXPECT_FALSE(peer.session().encrypt(reinterpret_cast<const std::uint8_t*>("x"), 1));
        }
    }
}

// A listener on a free loopback port whose one connection gets `answer` to
// whatever it sends first, then the end of the stream.
class scripted_peer {
public:
    explicit scripted_peer(std::string answer) : _answer(std::move(answer)) {
        _listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (_listener == no_socket || ::bind(_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(_listener, 1) != 0 ||
            ::getsockname(_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        _port = ntohs(address.sin_port);
        _thread = std::thread([this] {
            connection accepted(::accept(_listener, nullptr, nullptr));
            std::uint8_t hello[4096];
            if (accepted.receive(hello, sizeof hello) > 0)
                accepted.send_all(reinterpret_cast<const std::uint8_t*>(_answer.data()), _answer.size());
        });
    }
    ~scripted_peer() {
        if (_thread.joinable()) _thread.join();
        if (_listener != no_socket) close_socket(_listener);
    }
    std::uint16_t port() const { return _port; }

private:
    std::string _answer;
    socket_type _listener = no_socket;
    std::uint16_t _port = 0;
    std::thread _thread;
};

TEST(TlsSession, ABrokenPeerFailsTheProtocolNotTheCheck) {
    REQUIRE_PEERS();
    const struct {
        const char* what;
        std::string answer;
    } peers_[] = {
        // A fatal handshake_failure alert: the server accepts nothing offered.
        {"refusing server", std::string("\x15\x03\x03\x00\x02\x02\x28", 7)},
        // Plain HTTP on the TLS port: its first bytes read as the header of a record longer than any.
        {"not TLS", "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n"},
    };
    for (const auto& p : peers_) {
        SCOPED_TRACE(p.what);
        scripted_peer server(p.answer);
        ASSERT_NE(0, server.port());
        client c(server.port(), checked("localhost", env->ca));
        ASSERT_TRUE(c.opened()) << c.session().error_text();
        EXPECT_EQ(status::failed, c.handshake());
        EXPECT_FALSE(c.end_of_stream()) << "the session waited for more instead of failing";
        EXPECT_FALSE(c.session().verification_failed());
        EXPECT_FALSE(c.session().error_text().empty());
        EXPECT_EQ("", c.session().protocol());
    }
}

TEST(TlsSession, AServerWithoutTls12IsRefused) {
    REQUIRE_PEERS();
    verification settings = checked("localhost", "");
    settings.verify_peer = false;
    client c(env->tls11, settings);
    ASSERT_TRUE(c.opened()) << c.session().error_text();
    EXPECT_EQ(status::failed, c.handshake());
    EXPECT_EQ("", c.session().protocol());
}

TEST(TlsSession, OpenRefusesACaFileWithoutCertificates) {
    REQUIRE_PEERS();
    for (const std::string& file : {env->key_only, env->ca + ".missing"}) {
        SCOPED_TRACE(file);
        client_session session;
        bool library_failure = true;
        EXPECT_FALSE(session.open(checked("localhost", file), library_failure));
        EXPECT_FALSE(library_failure);
        EXPECT_FALSE(session.is_open());
        EXPECT_NE(std::string::npos, session.error_text().find(file)) << session.error_text();
        // The session can be opened again, right this time.
        EXPECT_TRUE(session.open(checked("localhost", env->ca), library_failure)) << session.error_text();
        EXPECT_TRUE(session.is_open());
    }
}

TEST(TlsSession, Tls13WhereTheSystemHasIt) {
    REQUIRE_PEERS();
    client c(env->tls13, checked("localhost", env->ca));
    ASSERT_TRUE(c.opened()) << c.session().error_text();
    const status result = c.handshake();
    if (result != status::done && !c.session().verification_failed())
        GTEST_SKIP() << "no TLS 1.3 here: " << c.session().error_text();
    ASSERT_EQ(status::done, result) << c.session().error_text();
    EXPECT_EQ("TLSv1.3", c.session().protocol());
    // The server's tickets come after the handshake, before the first answer.
    expect_round_trip(c, "thirteen");
    expect_round_trip(c, std::string(15000, 'z') + "!");
    ASSERT_TRUE(c.write("CLOSE\n"));
    status how = status::failed;
    EXPECT_EQ("", c.read(1, how));
    EXPECT_EQ(status::closed, how) << c.session().error_text();
}

}  // namespace
}  // namespace asynframe::platform::tls
