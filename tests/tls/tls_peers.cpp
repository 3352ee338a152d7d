#include "tls_peers.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "common/loopback.h"

namespace asynframe::tls_testing {
namespace {

namespace fs = std::filesystem;

std::string make_folder(const char* name) {
    std::string pattern = (fs::temp_directory_path() / (std::string(name) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) return {};
    return pattern;
}

bool run(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    if (status != 0) std::fprintf(stderr, "failed (%d): %s\n", status, command.c_str());
    return status == 0;
}

void write_file(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::string read_file(const std::string& path) {
    std::ifstream in(path);
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
    write_file(d + "leaf.ext", "subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                               "extendedKeyUsage=serverAuth\n");
    write_file(d + "leaf6.ext", "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1\nbasicConstraints=CA:FALSE\n"
                                "extendedKeyUsage=serverAuth\n");
    write_file(d + "other.ext", "subjectAltName=DNS:elsewhere.invalid\nbasicConstraints=CA:FALSE\n"
                                "extendedKeyUsage=serverAuth\n");
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
    const bool ok =
        run("openssl req -x509" + ec + " -keyout " + d + "ca.key -out " + made->ca +
            " -days 2 -subj /CN=asynframe-test-ca -addext basicConstraints=critical,CA:TRUE"
            " -addext keyUsage=critical,keyCertSign,cRLSign") &&
        run("openssl req" + ec + " -keyout " + made->leaf_key + " -out " + d + "leaf.csr -subj /CN=localhost") &&
        run("openssl x509 -req -in " + d + "leaf.csr -CA " + made->ca + " -CAkey " + d + "ca.key -CAcreateserial -out " +
            made->leaf_cert + " -days 2 -extfile " + d + "leaf.ext") &&
        run("openssl req" + ec + " -keyout " + made->leaf6_key + " -out " + d + "leaf6.csr -subj /CN=localhost") &&
        run("openssl x509 -req -in " + d + "leaf6.csr -CA " + made->ca + " -CAkey " + d + "ca.key -CAcreateserial -out " +
            made->leaf6_cert + " -days 2 -extfile " + d + "leaf6.ext") &&
        run("openssl req" + ec + " -keyout " + made->other_key + " -out " + d +
            "other.csr -subj /CN=elsewhere.invalid") &&
        run("openssl x509 -req -in " + d + "other.csr -CA " + made->ca + " -CAkey " + d + "ca.key -CAcreateserial -out " +
            made->other_cert + " -days 2 -extfile " + d + "other.ext") &&
        run("openssl req -x509" + ec + " -keyout " + made->self_key + " -out " + made->self_cert +
            " -days 2 -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1");
    if (!ok) return nullptr;
    return made;
}

void set_nodelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int listener_on_loopback(std::uint16_t& port) {
    const int fd = harness::make_listener();
    port = harness::local_port(fd);
    return fd;
}

int accept_one(int listener, std::chrono::milliseconds limit) {
    pollfd ready{listener, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(limit.count())) != 1) return -1;
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

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

bool wait_listening(std::uint16_t port, pid_t pid, bool ipv6 = false) {
    for (int i = 0; i < 1000; ++i) {
        if (listening(port, ipv6)) return true;
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) return false;
        ::usleep(10000);
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

bool openssl_installed() { return ::access("/usr/bin/openssl", X_OK) == 0; }

bool nginx_installed() {
    return ::access("/usr/sbin/nginx", X_OK) == 0 && ::access("/usr/lib/nginx/modules/ngx_stream_module.so", R_OK) == 0;
}

bool listening(std::uint16_t port, bool ipv6) {
    std::ifstream table(ipv6 ? "/proc/net/tcp6" : "/proc/net/tcp");
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
    const int fd = listener_on_loopback(port);
    ::close(fd);
    return port;
}

// ---- s_server ------------------------------------------------------------------------

s_server::s_server(const std::string& cert, const std::string& key, const std::string& protocol, bool quiet,
                   bool ipv6) {
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
                                     protocol,  "-naccept", "1"};
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
    _started = wait_listening(_port, _pid, ipv6);
}

s_server::~s_server() {
    close_input();
    if (!_exited) stop_process(_pid);
    if (_reader.joinable()) _reader.join();
    if (_output >= 0) ::close(_output);
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

std::string s_server::errors() const { return read_file(_error_file); }

// ---- sink_source ---------------------------------------------------------------------

sink_source::sink_source(std::size_t count) : _count(count) {
    _listener = listener_on_loopback(_port);
    _thread = std::thread([this] {
        const int fd = accept_one(_listener, std::chrono::seconds(60));
        if (fd < 0) return;
        std::vector<std::uint8_t> chunk(256 * 1024);
        std::size_t seen = 0;
        bool matches = true;
        while (seen < _count) {
            const ssize_t n = ::recv(fd, chunk.data(), std::min(chunk.size(), _count - seen), 0);
            if (n <= 0) break;
            for (ssize_t i = 0; i < n; ++i)
                if (chunk[static_cast<std::size_t>(i)] != harness::pattern_byte(seen + static_cast<std::size_t>(i), 7))
                    matches = false;
            seen += static_cast<std::size_t>(n);
        }
        _intact = matches && seen == _count;
        for (std::size_t sent = 0; sent < _count;) {
            const std::size_t piece = std::min(chunk.size(), _count - sent);
            for (std::size_t i = 0; i < piece; ++i) chunk[i] = harness::pattern_byte(sent + i, 9);
            if (!harness::send_all(fd, chunk.data(), piece)) break;
            sent += piece;
        }
        ::shutdown(fd, SHUT_WR);
        read_some(fd, std::chrono::seconds(5));
        ::close(fd);
    });
}

sink_source::~sink_source() {
    ::shutdown(_listener, SHUT_RDWR);
    if (_thread.joinable()) _thread.join();
    ::close(_listener);
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
               "pid " + _folder + "/nginx.pid;\n"
               "error_log " + _folder + "/error.log info;\n"
               "events { worker_connections 64; }\n"
               "stream {\n"
               "  server {\n"
               "    listen 127.0.0.1:" + std::to_string(_port) + " ssl;\n"
               "    ssl_certificate " + cert + ";\n"
               "    ssl_certificate_key " + key + ";\n"
               "    ssl_protocols " + protocol + ";\n"
               "    proxy_pass 127.0.0.1:" + std::to_string(backend_port) + ";\n"
               "  }\n"
               "}\n");
    _pid = ::fork();
    if (_pid == 0) {
        const int quiet = ::open("/dev/null", O_WRONLY);
        if (quiet >= 0) {
            ::dup2(quiet, 1);
            ::dup2(quiet, 2);
        }
        ::execl("/usr/sbin/nginx", "nginx", "-p", _folder.c_str(), "-c", (_folder + "/nginx.conf").c_str(), "-e",
                (_folder + "/error.log").c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (_pid < 0) return;
    _started = wait_listening(_port, _pid);
}

nginx_server::~nginx_server() {
    stop_process(_pid);
    std::error_code ignored;
    if (!_folder.empty()) fs::remove_all(_folder, ignored);
}

std::string nginx_server::errors() const { return read_file(_folder + "/error.log"); }

// ---- scripted peers ------------------------------------------------------------------

scripted_peer::scripted_peer(std::function<void(int fd)> script) {
    _listener = listener_on_loopback(_port);
    _thread = std::thread([this, script = std::move(script)] {
        const int fd = accept_one(_listener, std::chrono::seconds(30));
        if (fd >= 0) {
            set_nodelay(fd);
            script(fd);
            ::close(fd);
        }
        _finished = true;
    });
}

scripted_peer::~scripted_peer() {
    ::shutdown(_listener, SHUT_RDWR);
    if (_thread.joinable()) _thread.join();
    ::close(_listener);
}

std::string read_some(int fd, std::chrono::milliseconds limit) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(limit.count())) != 1) return {};
    char chunk[65536];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    return n > 0 ? std::string(chunk, static_cast<std::size_t>(n)) : std::string();
}

void relay(int client, std::uint16_t server_port, bool one_by_one, const std::function<std::string()>& inject) {
    const int server = harness::connect_client(server_port);
    if (server < 0) return;
    set_nodelay(server);
    bool injected = false;
    char chunk[65536];
    for (;;) {
        if (inject && !injected) {
            const std::string extra = inject();
            if (!extra.empty()) {
                injected = true;
                harness::send_all(client, reinterpret_cast<const std::uint8_t*>(extra.data()), extra.size());
            }
        }
        pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (::poll(ends, 2, 20) < 0) break;
        if (ends[0].revents != 0) {
            const ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            if (!harness::send_all(server, reinterpret_cast<const std::uint8_t*>(chunk), static_cast<std::size_t>(n)))
                break;
        }
        if (ends[1].revents != 0) {
            const ssize_t n = ::recv(server, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            bool sent = true;
            if (one_by_one) {
                for (ssize_t i = 0; i < n && sent; ++i) {
                    sent = ::send(client, chunk + i, 1, MSG_NOSIGNAL) == 1;
                    ::usleep(100);  // lets each byte leave as a segment of its own
                }
            } else {
                sent = harness::send_all(client, reinterpret_cast<const std::uint8_t*>(chunk),
                                         static_cast<std::size_t>(n));
            }
            if (!sent) break;
        }
    }
    ::close(server);
}

}  // namespace asynframe::tls_testing
