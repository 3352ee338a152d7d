// The far ends of the TLS tests: certificates made for the run, `openssl
// s_server` and nginx started on loopback, a plain backend behind nginx, and
// scripted TCP peers for what a real server will not do on demand.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/child_process.h"
#include "common/portable.h"

namespace asynframe::tls_testing {

using harness::sock_t;

// A CA, a leaf it signed for DNS:localhost and IP:127.0.0.1, one for those
// and IP:::1, a leaf it signed for another name, and a self-signed certificate
// for localhost; made once per program in a temporary folder. Paths as the
// test program names them (on Windows through Z:); the peers get them as
// Linux paths.
struct pki {
    std::string folder;
    std::string ca;
    std::string leaf_cert, leaf_key;
    std::string leaf6_cert, leaf6_key;
    std::string other_cert, other_key;
    std::string self_cert, self_key;
};
// Null when the certificates could not be made (the reason on stderr).
const pki* test_pki();

bool openssl_installed();
bool nginx_installed();
// The system's TLS (SChannel on Windows) completes a TLS 1.3 handshake with an
// `openssl s_server` that speaks nothing else; asked once per program. Wine's
// SChannel has no TLS 1.3.
bool system_speaks_tls13();

// Something listens on 127.0.0.1:`port` (or on an IPv6 address with `ipv6`;
// read from the kernel's table, so no connection is spent on finding out).
bool listening(std::uint16_t port, bool ipv6 = false);
std::uint16_t free_port();

// `openssl s_server` for one connection. In quiet mode its standard output
// carries exactly the client's plaintext and its standard input is sent as
// is; the end of the input makes it send close_notify.
class s_server {
public:
    // `protocol` is "-tls1_2" or "-tls1_3". On [::1] with `ipv6`. It serves
    // `connections` connections one after the other, with one session cache.
    s_server(const std::string& cert, const std::string& key, const std::string& protocol, bool quiet = true,
             bool ipv6 = false, int connections = 1);
    ~s_server();
    s_server(const s_server&) = delete;
    s_server& operator=(const s_server&) = delete;

    bool started() const { return _started; }
    std::uint16_t port() const { return _port; }
    void send(const std::string& data);
    void close_input();
    std::string received();
    bool wait_received(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(20));
    // Waits until the process ended by itself.
    bool wait_exit(std::chrono::milliseconds limit = std::chrono::seconds(10));
    std::string errors() const;

private:
    bool alive();

    harness::process_id _pid = -1;
    std::uint16_t _port = 0;
    bool _started = false;
    bool _exited = false;
    std::string _error_file;
#if defined(_WIN32)
    // Wine cannot hand a Linux program pipes: its input is a file that `tail`
    // follows until the holder process goes, its output a file read back.
    harness::process_id _holder = -1;
    std::string _input_file;
    std::string _output_file;
#else
    int _input = -1;
    int _output = -1;
    std::thread _reader;
#endif
    std::mutex _lock;
    std::string _received;
};

// A plain TCP server on loopback that reads `count` pattern bytes, then sends
// `count` pattern bytes back and closes.
class sink_source {
public:
    explicit sink_source(std::size_t count);
    ~sink_source();
    std::uint16_t port() const { return _port; }
    // All bytes arrived and matched the pattern.
    bool intact() const { return _intact; }

private:
    sock_t _listener = harness::bad_sock;
    harness::wake_signal _wake;
    std::uint16_t _port = 0;
    std::size_t _count;
    std::atomic<bool> _intact{false};
    std::thread _thread;
};

// nginx terminating TLS (stream module) in front of `backend_port`.
class nginx_server {
public:
    // `protocol` is "TLSv1.2" or "TLSv1.3".
    nginx_server(const std::string& cert, const std::string& key, const std::string& protocol,
                 std::uint16_t backend_port);
    ~nginx_server();
    bool started() const { return _started; }
    std::uint16_t port() const { return _port; }
    std::string errors() const;

private:
    std::unique_ptr<harness::child_process> _process;
    std::uint16_t _port = 0;
    bool _started = false;
    std::string _folder;
};

// Accepts one connection on loopback and runs `script` on it on a thread of
// its own; the connection is closed after the script.
class scripted_peer {
public:
    explicit scripted_peer(std::function<void(sock_t fd)> script);
    ~scripted_peer();
    std::uint16_t port() const { return _port; }
    bool finished() const { return _finished; }

private:
    sock_t _listener = harness::bad_sock;
    harness::wake_signal _wake;
    std::uint16_t _port = 0;
    std::atomic<bool> _finished{false};
    std::thread _thread;
};

// Reads whatever arrives within `limit`; empty when the peer closed.
std::string read_some(sock_t fd, std::chrono::milliseconds limit = std::chrono::seconds(10));

// Relays between an accepted client and 127.0.0.1:`server_port` until either
// side closes. Bytes towards the client go one per send when `one_by_one`;
// `inject` (checked between transfers) returns bytes to slip in towards the
// client once.
void relay(sock_t client, std::uint16_t server_port, bool one_by_one, const std::function<std::string()>& inject = {});

}  // namespace asynframe::tls_testing
