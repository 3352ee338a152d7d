#include "tls_peers.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <type_traits>

#include "common/loopback.h"
#include "platform/tls.h"

namespace asynframe::tls_testing {
namespace {

namespace fs = std::filesystem;

using harness::bad_sock;
using harness::host_path;

std::string make_folder(const char* name) { return harness::make_temp_folder(name); }

// A command line for /bin/sh, whose paths are Linux paths.
bool run(const std::string& command) {
    const int status = harness::run_shell(command + " >/dev/null 2>&1");
    if (status != 0) std::fprintf(stderr, "failed (%d): %s\n", status, command.c_str());
    return status == 0;
}

// Binary: the peers are Linux programs, which read no CR.
void write_file(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Removes the certificates' folder when the program ends.
struct folder_owner {
    std::string path;
    ~folder_owner() {
        std::error_code ignored;
        if (!path.empty()) fs::remove_all(path, ignored);
    }
};

std::unique_ptr<pki> make_pki() {
    auto made = std::make_unique<pki>();
    made->folder = make_folder("asynframe-tls");
    if (made->folder.empty()) return nullptr;
    const std::string d = made->folder + "/";
    made->ca = d + "ca.pem";
    made->leaf_cert = d + "leaf.pem";
    made->leaf_key = d + "leaf.key";
    made->leaf6_cert = d + "leaf6.pem";
    made->leaf6_key = d + "leaf6.key";
    made->other_cert = d + "other.pem";
    made->other_key = d + "other.key";
    made->self_cert = d + "self.pem";
    made->self_key = d + "self.key";
    const std::string h = host_path(made->folder) + "/";
    write_file(d + "leaf.ext", "subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                               "extendedKeyUsage=serverAuth\n");
    write_file(d + "leaf6.ext", "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1\nbasicConstraints=CA:FALSE\n"
                                "extendedKeyUsage=serverAuth\n");
    write_file(d + "other.ext", "subjectAltName=DNS:elsewhere.invalid\nbasicConstraints=CA:FALSE\n"
                                "extendedKeyUsage=serverAuth\n");
#if defined(_WIN32)
    // wine's chain check now and then rejects a valid P-256 signature
    // ("certificate signature failure"); RSA keys every SChannel takes.
    const std::string ec = " -newkey rsa:2048 -nodes";
#else
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
#endif
    const bool ok =
        run("openssl req -x509" + ec + " -keyout " + h + "ca.key -out " + h + "ca.pem" +
            " -days 2 -subj /CN=asynframe-test-ca -addext basicConstraints=critical,CA:TRUE"
            " -addext keyUsage=critical,keyCertSign,cRLSign") &&
        run("openssl req" + ec + " -keyout " + h + "leaf.key -out " + h + "leaf.csr -subj /CN=localhost") &&
        run("openssl x509 -req -in " + h + "leaf.csr -CA " + h + "ca.pem -CAkey " + h + "ca.key -CAcreateserial -out " +
            h + "leaf.pem -days 2 -extfile " + h + "leaf.ext") &&
        run("openssl req" + ec + " -keyout " + h + "leaf6.key -out " + h + "leaf6.csr -subj /CN=localhost") &&
        run("openssl x509 -req -in " + h + "leaf6.csr -CA " + h + "ca.pem -CAkey " + h + "ca.key -CAcreateserial -out " +
            h + "leaf6.pem -days 2 -extfile " + h + "leaf6.ext") &&
        run("openssl req" + ec + " -keyout " + h + "other.key -out " + h +
            "other.csr -subj /CN=elsewhere.invalid") &&
        run("openssl x509 -req -in " + h + "other.csr -CA " + h + "ca.pem -CAkey " + h + "ca.key -CAcreateserial -out " +
            h + "other.pem -days 2 -extfile " + h + "other.ext") &&
        run("openssl req -x509" + ec + " -keyout " + h + "self.key -out " + h + "self.pem" +
            " -days 2 -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1");
    if (!ok) return nullptr;
    return made;
}

using harness::set_nodelay;

sock_t listener_on_loopback(std::uint16_t& port) { return harness::tcp_listener(port); }

// A connection on `listener` within the limit; none once `wake` is signalled.
sock_t accept_one(sock_t listener, const harness::wake_signal& wake, std::chrono::milliseconds limit) {
    pollfd ready[2] = {{listener, POLLIN, 0}, {wake.fd(), POLLIN, 0}};
    if (harness::poll_socks(ready, 2, static_cast<int>(limit.count())) < 1 || ready[1].revents != 0) return bad_sock;
    return harness::accept_sock(listener);
}

#if !defined(_WIN32)
void stop_process(pid_t pid) {
    if (pid <= 0) return;
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (::waitpid(pid, &status, WNOHANG) == pid) return;
        ::usleep(10000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
}

#endif

bool wait_listening(std::uint16_t port, const std::function<bool()>& alive, bool ipv6 = false) {
    for (int i = 0; i < 1000; ++i) {
        if (listening(port, ipv6)) return true;
        if (!alive()) return false;
        harness::sleep_ms(10);
    }
    return false;
}

}  // namespace

const pki* test_pki() {
    static folder_owner owner;
    static const std::unique_ptr<pki> made = [] {
        auto result = openssl_installed() ? make_pki() : nullptr;
        if (result) owner.path = result->folder;
        return result;
    }();
    return made.get();
}

bool openssl_installed() { return harness::program_installed("/usr/bin/openssl"); }

bool nginx_installed() {
    return harness::program_installed("/usr/sbin/nginx") &&
           harness::file_readable("/usr/lib/nginx/modules/ngx_stream_module.so");
}

bool listening(std::uint16_t port, bool ipv6) {
#if defined(_WIN32)
    std::ifstream table(ipv6 ? "Z:/proc/net/tcp6" : "Z:/proc/net/tcp");
#else
    std::ifstream table(ipv6 ? "/proc/net/tcp6" : "/proc/net/tcp");
#endif
    std::string line;
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0) return true;
    }
    return false;
}

std::uint16_t free_port() {
    std::uint16_t port = 0;
    harness::close_sock(listener_on_loopback(port));
    return port;
}

bool system_speaks_tls13() {
    static const bool speaks = [] {
        const pki* certificates = test_pki();
        if (certificates == nullptr) return false;
        s_server server(certificates->self_cert, certificates->self_key, "-tls1_3");
        if (!server.started()) return false;
        const sock_t fd = harness::tcp_client(server.port());
        if (fd == bad_sock) return false;
        platform::tls::client_session session;
        platform::tls::verification unchecked;
        unchecked.verify_peer = false;
        bool library_failure = false;
        bool done = false;
        if (session.open(unchecked, library_failure)) {
            std::vector<std::uint8_t> buffer(65536);
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (std::chrono::steady_clock::now() < end) {
                const platform::tls::status step = session.handshake();
                while (session.output_pending() > 0) {
                    const std::size_t n = session.take_output(buffer.data(), buffer.size());
                    if (!harness::send_everything(fd, buffer.data(), n)) break;
                }
                if (step == platform::tls::status::done) {
                    done = session.protocol() == "TLSv1.3";
                    break;
                }
                if (step != platform::tls::status::want_input || !harness::readable(fd, 5000)) break;
                const auto n = harness::recv_bytes(fd, buffer.data(), buffer.size());
                if (n <= 0) break;
                session.put_input(buffer.data(), static_cast<std::size_t>(n));
            }
        }
        session.close();
        harness::close_sock(fd);
        return done;
    }();
    return speaks;
}

// ---- s_server ------------------------------------------------------------------------

#if defined(_WIN32)

s_server::s_server(const std::string& cert, const std::string& key, const std::string& protocol, bool quiet,
                   bool ipv6, int connections) {
    const pki* certificates = test_pki();
    if (certificates == nullptr) return;
    _port = free_port();
    const std::string base = certificates->folder + "/s_server-" + std::to_string(_port);
    _error_file = base + ".err";
    _input_file = base + ".in";
    _output_file = base + ".out";
    std::ofstream(_input_file, std::ios::binary | std::ios::trunc).flush();
    const std::string h = host_path(base);
    const std::string accept = (ipv6 ? "[::1]:" : "127.0.0.1:") + std::to_string(_port);
    std::string server = "/usr/bin/openssl s_server -accept " + accept + " -cert " +
                         harness::shell_quote(host_path(cert)) + " -key " + harness::shell_quote(host_path(key)) +
                         " " + protocol + " -naccept " + std::to_string(connections);
    if (quiet) server += " -quiet";
    // The holder's end ends the input: tail reads what is left and stops.
    const std::string script = "sleep 600 & echo $! > " + h + ".holder.new && mv " + h + ".holder.new " + h +
                               ".holder; tail -c +1 -s 0.01 -f --pid=$! " + h + ".in | " + server + " > " + h +
                               ".out 2> " + h + ".err & echo $! > " + h + ".pid.new && mv " + h + ".pid.new " + h +
                               ".pid; wait";
    if (!harness::start_shell(script)) return;
    const auto read_id = [](const std::string& path) -> harness::process_id {
        for (int i = 0; i < 1000; ++i) {
            std::ifstream in(path);
            long id = 0;
            if (in >> id) return id;
            harness::sleep_ms(10);
        }
        return -1;
    };
    _holder = read_id(base + ".holder");
    _pid = read_id(base + ".pid");
    if (_pid <= 0) return;
    _started = wait_listening(_port, [this] { return alive(); }, ipv6);
}

s_server::~s_server() {
    close_input();
    if (!_exited && _pid > 0) {
        harness::start_shell("kill " + std::to_string(_pid) + " 2>/dev/null");
        for (int i = 0; i < 500 && alive(); ++i) harness::sleep_ms(10);
        if (alive()) harness::start_shell("kill -KILL " + std::to_string(_pid) + " 2>/dev/null");
    }
}

bool s_server::alive() { return harness::process_alive(_pid); }

void s_server::send(const std::string& data) {
    if (_input_file.empty()) return;
    std::ofstream out(_input_file, std::ios::binary | std::ios::app);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

void s_server::close_input() {
    if (_holder > 0) harness::start_shell("kill " + std::to_string(_holder) + " 2>/dev/null");
    _holder = -1;
}

std::string s_server::received() {
    std::lock_guard<std::mutex> guard(_lock);
    _received = read_file(_output_file);
    return _received;
}

bool s_server::wait_received(std::size_t count, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (received().size() >= count) return true;
        harness::sleep_ms(2);
    }
    return false;
}

bool s_server::wait_exit(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (!alive()) {
            _exited = true;
            return true;
        }
        harness::sleep_ms(5);
    }
    return false;
}

#else

s_server::s_server(const std::string& cert, const std::string& key, const std::string& protocol, bool quiet,
                   bool ipv6, int connections) {
    const pki* certificates = test_pki();
    if (certificates == nullptr) return;
    int input[2], output[2];
    if (::pipe2(input, O_CLOEXEC) != 0) return;
    if (::pipe2(output, O_CLOEXEC) != 0) {
        ::close(input[0]);
        ::close(input[1]);
        return;
    }
    _port = free_port();
    _error_file = certificates->folder + "/s_server-" + std::to_string(_port) + ".err";
    const std::string accept = (ipv6 ? "[::1]:" : "127.0.0.1:") + std::to_string(_port);
    std::vector<std::string> args = {"openssl", "s_server", "-accept", accept, "-cert", cert, "-key", key,
                                     protocol,  "-naccept", std::to_string(connections)};
    if (quiet) args.push_back("-quiet");
    _pid = ::fork();
    if (_pid == 0) {
        ::dup2(input[0], 0);
        ::dup2(output[1], 1);
        const int errors = ::open(_error_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (errors >= 0) ::dup2(errors, 2);
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        ::execv("/usr/bin/openssl", argv.data());
        ::_exit(127);
    }
    ::close(input[0]);
    ::close(output[1]);
    _input = input[1];
    _output = output[0];
    if (_pid < 0) return;
    _reader = std::thread([this] {
        char chunk[65536];
        for (;;) {
            const ssize_t n = ::read(_output, chunk, sizeof chunk);
            if (n <= 0) break;
            std::lock_guard<std::mutex> guard(_lock);
            _received.append(chunk, static_cast<std::size_t>(n));
        }
    });
    _started = wait_listening(_port, [this] { return alive(); }, ipv6);
}

s_server::~s_server() {
    close_input();
    if (!_exited) stop_process(_pid);
    if (_reader.joinable()) _reader.join();
    if (_output >= 0) ::close(_output);
}

bool s_server::alive() {
    int status = 0;
    return ::waitpid(_pid, &status, WNOHANG) != _pid;
}

void s_server::send(const std::string& data) {
    const char* next = data.data();
    std::size_t left = data.size();
    while (left > 0 && _input >= 0) {
        const ssize_t n = ::write(_input, next, left);
        if (n <= 0) return;
        next += n;
        left -= static_cast<std::size_t>(n);
    }
}

void s_server::close_input() {
    if (_input >= 0) ::close(_input);
    _input = -1;
}

std::string s_server::received() {
    std::lock_guard<std::mutex> guard(_lock);
    return _received;
}

bool s_server::wait_received(std::size_t count, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        {
            std::lock_guard<std::mutex> guard(_lock);
            if (_received.size() >= count) return true;
        }
        ::usleep(2000);
    }
    return false;
}

bool s_server::wait_exit(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        int status = 0;
        if (::waitpid(_pid, &status, WNOHANG) == _pid) {
            _exited = true;
            return true;
        }
        ::usleep(5000);
    }
    return false;
}

#endif

std::string s_server::errors() const { return read_file(_error_file); }

// ---- sink_source ---------------------------------------------------------------------

sink_source::sink_source(std::size_t count) : _count(count) {
    _listener = listener_on_loopback(_port);
    _thread = std::thread([this] {
        const sock_t fd = accept_one(_listener, _wake, std::chrono::seconds(60));
        if (fd == bad_sock) return;
        std::vector<std::uint8_t> chunk(256 * 1024);
        std::size_t seen = 0;
        bool matches = true;
        while (seen < _count) {
            const auto n = harness::recv_bytes(fd, chunk.data(), std::min(chunk.size(), _count - seen));
            if (n <= 0) break;
            for (std::remove_const_t<decltype(n)> i = 0; i < n; ++i)
                if (chunk[static_cast<std::size_t>(i)] != harness::pattern_byte(seen + static_cast<std::size_t>(i), 7))
                    matches = false;
            seen += static_cast<std::size_t>(n);
        }
        _intact = matches && seen == _count;
        for (std::size_t sent = 0; sent < _count;) {
            const std::size_t piece = std::min(chunk.size(), _count - sent);
            for (std::size_t i = 0; i < piece; ++i) chunk[i] = harness::pattern_byte(sent + i, 9);
            if (!harness::send_everything(fd, chunk.data(), piece)) break;
            sent += piece;
        }
        ::shutdown(fd, harness::shut_write);
        read_some(fd, std::chrono::seconds(5));
        harness::close_sock(fd);
    });
}

sink_source::~sink_source() {
    _wake.notify();
    if (_thread.joinable()) _thread.join();
    harness::close_sock(_listener);
}

// ---- nginx ---------------------------------------------------------------------------

nginx_server::nginx_server(const std::string& cert, const std::string& key, const std::string& protocol,
                           std::uint16_t backend_port) {
    _folder = make_folder("asynframe-nginx");
    if (_folder.empty()) return;
    _port = free_port();
    write_file(_folder + "/nginx.conf",
               "load_module /usr/lib/nginx/modules/ngx_stream_module.so;\n"
               "daemon off;\nmaster_process off;\nworker_processes 1;\n"
               "pid " + host_path(_folder) + "/nginx.pid;\n"
               "error_log " + host_path(_folder) + "/error.log info;\n"
               "events { worker_connections 64; }\n"
               "stream {\n"
               "  server {\n"
               "    listen 127.0.0.1:" + std::to_string(_port) + " ssl;\n"
               "    ssl_certificate " + host_path(cert) + ";\n"
               "    ssl_certificate_key " + host_path(key) + ";\n"
               "    ssl_protocols " + protocol + ";\n"
               "    proxy_pass 127.0.0.1:" + std::to_string(backend_port) + ";\n"
               "  }\n"
               "}\n");
    const std::string folder = host_path(_folder);
    _process = std::make_unique<harness::child_process>(
        "/usr/sbin/nginx", std::vector<std::string>{"nginx", "-p", folder, "-c", folder + "/nginx.conf", "-e",
                                                    folder + "/error.log"});
    _started = wait_listening(_port, [this] { return _process->running(); });
}

nginx_server::~nginx_server() {
    _process.reset();
    std::error_code ignored;
    if (!_folder.empty()) fs::remove_all(_folder, ignored);
}

std::string nginx_server::errors() const { return read_file(_folder + "/error.log"); }

// ---- scripted peers ------------------------------------------------------------------

scripted_peer::scripted_peer(std::function<void(sock_t fd)> script) {
    _listener = listener_on_loopback(_port);
    _thread = std::thread([this, script = std::move(script)] {
        const sock_t fd = accept_one(_listener, _wake, std::chrono::seconds(30));
        if (fd != bad_sock) {
            set_nodelay(fd);
            script(fd);
            harness::close_sock(fd);
        }
        _finished = true;
    });
}

scripted_peer::~scripted_peer() {
    _wake.notify();
    if (_thread.joinable()) _thread.join();
    harness::close_sock(_listener);
}

std::string read_some(sock_t fd, std::chrono::milliseconds limit) {
    if (!harness::readable(fd, static_cast<int>(limit.count()))) return {};
    char chunk[65536];
    const auto n = harness::recv_bytes(fd, chunk, sizeof chunk);
    return n > 0 ? std::string(chunk, static_cast<std::size_t>(n)) : std::string();
}

void relay(sock_t client, std::uint16_t server_port, bool one_by_one, const std::function<std::string()>& inject) {
    const sock_t server = harness::tcp_client(server_port);
    if (server == bad_sock) return;
    set_nodelay(server);
    bool injected = false;
    char chunk[65536];
    for (;;) {
        if (inject && !injected) {
            const std::string extra = inject();
            if (!extra.empty()) {
                injected = true;
                harness::send_everything(client, extra.data(), extra.size());
            }
        }
        pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (harness::poll_socks(ends, 2, 20) < 0) break;
        if (ends[0].revents != 0) {
            const auto n = harness::recv_bytes(client, chunk, sizeof chunk);
            if (n <= 0) break;
            if (!harness::send_everything(server, chunk, static_cast<std::size_t>(n))) break;
        }
        if (ends[1].revents != 0) {
            const auto n = harness::recv_bytes(server, chunk, sizeof chunk);
            if (n <= 0) break;
            bool sent = true;
            if (one_by_one) {
                for (std::remove_const_t<decltype(n)> i = 0; i < n && sent; ++i) {
                    sent = harness::send_bytes(client, chunk + i, 1) == 1;
                    // Lets each byte leave as a segment of its own.
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
                }
            } else {
                sent = harness::send_everything(client, chunk, static_cast<std::size_t>(n));
            }
            if (!sent) break;
        }
    }
    harness::close_sock(server);
}

}  // namespace asynframe::tls_testing
