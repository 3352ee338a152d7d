// HTTP over loopback: afserve serving a 4 KiB file to wrk (100 connections)
// against nginx with one worker, in plain HTTP (afserve on io_uring and on
// epoll) and over TLS with the same certificate, and afget fetching a 1 GiB
// file from nginx with one and four connections against curl and aria2c, and
// with one over TLS against curl. Each
// program runs as it would for a user; the times are the programs' own, start
// to exit.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../bench_main.h"
#include "../common/bench_support.h"

namespace {

using asynframe_bench::give_up;
using clock_type = std::chrono::steady_clock;

constexpr std::size_t small_size = 4096;
constexpr std::size_t big_size = std::size_t{1} << 30;
// The tools on the epoll backend.
constexpr const char* no_ring = "ASYNFRAME_NO_IO_URING=1";

// Runs a program to its end; its standard output in `out` when asked for.
int run(const std::vector<std::string>& args, std::string* out = nullptr) {
    int pipe_fds[2] = {-1, -1};
    if (out != nullptr && ::pipe(pipe_fds) != 0) give_up("making a pipe");
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(out != nullptr ? pipe_fds[1] : null, 1);
        ::dup2(null, 2);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (out != nullptr) {
        ::close(pipe_fds[1]);
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0) out->append(buffer, static_cast<std::size_t>(n));
        ::close(pipe_fds[0]);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// A server program for the whole run.
class server {
public:
    explicit server(const std::vector<std::string>& args) {
        _pid = ::fork();
        if (_pid == 0) {
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 1);
            ::dup2(null, 2);
            std::vector<char*> argv;
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~server() {
        if (_pid > 0) {
            ::kill(_pid, SIGTERM);
            ::waitpid(_pid, nullptr, 0);
        }
    }

private:
    pid_t _pid = -1;
};

std::uint16_t free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool answers(std::uint16_t port) {
    const auto limit = clock_type::now() + std::chrono::seconds(10);
    while (clock_type::now() < limit) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (ok) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// The served file is stamped: each 4 KiB page begins with its number. A
// fetched file is checked at every 61st page (and the last), cheaply enough to
// leave the next case's memory as it was, and finely enough to catch a piece
// written to the wrong place.
constexpr std::size_t stamp_page = 4096;

void stamp_pages(std::string& block, std::size_t first_page) {
    for (std::size_t at = 0; at < block.size(); at += stamp_page) {
        const std::uint64_t number = first_page + at / stamp_page;
        std::memcpy(block.data() + at, &number, sizeof number);
    }
}

bool stamps_in_place(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const std::size_t last = big_size / stamp_page - 1;
    bool same = true;
    for (std::size_t page = 0; same; page += 61) {
        page = std::min(page, last);
        std::uint64_t number = 0;
        same = ::pread(fd, &number, sizeof number, static_cast<off_t>(page * stamp_page)) ==
                   static_cast<ssize_t>(sizeof number) &&
               number == page;
        if (page == last) break;
    }
    ::close(fd);
    return same;
}

// The files, nginx and afserve, made once for the run.
struct site {
    std::string folder, www, downloads, certificate;
    std::uint16_t nginx_port = 0, afserve_port = 0, nginx_tls_port = 0, afserve_tls_port = 0, afserve_epoll_port = 0;
    std::unique_ptr<server> nginx, afserve, afserve_tls, afserve_epoll;

    site() {
        char pattern[] = "/tmp/asynframe-bench-http-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) give_up("making a folder");
        folder = pattern;
        www = folder + "/www";
        downloads = folder + "/downloads";
        std::filesystem::create_directories(www);
        std::filesystem::create_directories(downloads);
        std::ofstream(www + "/small.bin", std::ios::binary) << std::string(small_size, 's');
        {
            std::ofstream big(www + "/big.bin", std::ios::binary);
            std::string block(1 << 20, '\0');
            for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 + 7);
            for (std::size_t written = 0; written < big_size; written += block.size()) {
                stamp_pages(block, written / stamp_page);
                big << block;
            }
        }
        // Clean in the page cache before any case runs: the kernel would
        // otherwise write the new GiB back about 30 s on, under whichever
        // fetch runs then (the first one, after the small-file cases).
        ::sync();
        certificate = folder + "/cert.pem";
        const std::string key = folder + "/key.pem";
        // Named for the address the clients fetch from, so that they check it.
        if (run({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                 "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout", key, "-out",
                 certificate}) != 0)
            give_up("making a certificate");
        nginx_port = free_port();
        nginx_tls_port = free_port();
        std::ofstream(folder + "/nginx.conf")
            << "daemon off;\nworker_processes 1;\npid " << folder << "/nginx.pid;\nerror_log " << folder
            << "/nginx.log;\nevents { worker_connections 1024; }\nhttp {\n  access_log off;\n"
            << "  client_body_temp_path " << folder << ";\n  proxy_temp_path " << folder << ";\n"
            << "  fastcgi_temp_path " << folder << ";\n  uwsgi_temp_path " << folder << ";\n"
            << "  scgi_temp_path " << folder << ";\n  sendfile on;\n  keepalive_requests 100000;\n"
            << "  server { listen 127.0.0.1:" << nginx_port << "; root " << www << "; }\n"
            << "  server { listen 127.0.0.1:" << nginx_tls_port << " ssl; root " << www << ";\n"
            << "    ssl_certificate " << certificate << "; ssl_certificate_key " << key << "; }\n}\n";
        nginx = std::make_unique<server>(
            std::vector<std::string>{"/usr/sbin/nginx", "-p", folder, "-c", folder + "/nginx.conf"});
        afserve_port = free_port();
        afserve = std::make_unique<server>(
            std::vector<std::string>{AFSERVE_PATH, www, "--port", std::to_string(afserve_port), "-q"});
        afserve_epoll_port = free_port();
        afserve_epoll = std::make_unique<server>(std::vector<std::string>{
            "/usr/bin/env", no_ring, AFSERVE_PATH, www, "--port", std::to_string(afserve_epoll_port), "-q"});
        afserve_tls_port = free_port();
        afserve_tls = std::make_unique<server>(std::vector<std::string>{
            AFSERVE_PATH, www, "--port", std::to_string(afserve_tls_port), "-q", "--tls", certificate, key});
        for (const std::uint16_t port : {nginx_port, afserve_port, nginx_tls_port, afserve_tls_port, afserve_epoll_port})
            if (!answers(port)) give_up("starting nginx and afserve");
    }
    ~site() {
        nginx.reset();
        afserve.reset();
        afserve_tls.reset();
        afserve_epoll.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    std::string url(std::uint16_t port, const char* name) const {
        const bool tls = port == nginx_tls_port || port == afserve_tls_port;
        return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port) + "/" + name;
    }
};

site& the_site() {
    static site instance;
    return instance;
}

// wrk with 100 connections for 2 s an iteration; requests per second.
void small_file(benchmark::State& state, std::uint16_t site::*port) {
    site& s = the_site();
    double requests = 0;
    for (auto _ : state) {
        std::string out;
        const auto began = clock_type::now();
        if (run({"/usr/bin/wrk", "-t1", "-c100", "-d2s", s.url(s.*port, "small.bin")}, &out) != 0) {
            state.SkipWithError("wrk failed");
            break;
        }
        const double taken = std::chrono::duration<double>(clock_type::now() - began).count();
        const std::size_t at = out.find("Requests/sec:");
        if (at == std::string::npos) {
            state.SkipWithError("wrk reported nothing");
            break;
        }
        const double rate = std::atof(out.c_str() + at + 13);
        state.SetIterationTime(taken);
        requests += rate * taken;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(requests));
}

// One fetch of the 1 GiB file from nginx an iteration; bytes per second.
// `flushed`: the file is also flushed to disk before the clock stops, as afget
// does before it names the file complete; a peer that leaves its file in the
// page cache is timed that way too, so that the disk's share shows apart.
void fetch(benchmark::State& state, const std::vector<std::string>& command, bool flushed = false) {
    const std::string target = the_site().downloads + "/big.bin";
    for (auto _ : state) {
        std::error_code ignored;
        std::filesystem::remove(target, ignored);
        std::filesystem::remove(target + ".part", ignored);
        std::filesystem::remove(target + ".part.state", ignored);
        const auto began = clock_type::now();
        int code = run(command);
        if (code == 0 && flushed) {
            const int fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0 || ::fsync(fd) != 0) code = 1;
            if (fd >= 0) ::close(fd);
        }
        state.SetIterationTime(std::chrono::duration<double>(clock_type::now() - began).count());
        if (code != 0 || std::filesystem::file_size(target, ignored) != big_size) {
            state.SkipWithError("the fetch failed");
            break;
        }
        // Outside the time: a fast fetch of the wrong bytes is no result.
        if (!stamps_in_place(target)) {
            state.SkipWithError("the fetched file differs from the served one");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * big_size));
}

void register_case(const char* name, std::function<void(benchmark::State&)> body) {
    benchmark::RegisterBenchmark(name, [body](benchmark::State& state) { body(state); })
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
}

[[maybe_unused]] const bool registered = [] {
    register_case("small_file/ours", [](benchmark::State& state) { small_file(state, &site::afserve_port); });
    register_case("small_file/ours_epoll",
                  [](benchmark::State& state) { small_file(state, &site::afserve_epoll_port); });
    register_case("small_file/nginx", [](benchmark::State& state) { small_file(state, &site::nginx_port); });
    register_case("small_file_tls/ours", [](benchmark::State& state) { small_file(state, &site::afserve_tls_port); });
    register_case("small_file_tls/nginx", [](benchmark::State& state) { small_file(state, &site::nginx_tls_port); });
    auto big_url = [] { return the_site().url(the_site().nginx_port, "big.bin"); };
    auto big_tls_url = [] { return the_site().url(the_site().nginx_tls_port, "big.bin"); };
    auto output = [] { return the_site().downloads + "/big.bin"; };
    register_case("fetch_1/ours", [=](benchmark::State& state) {
        fetch(state, {AFGET_PATH, "-c", "1", "--progress", "none", "-o", output(), big_url()});
    });
    register_case("fetch_1/curl", [=](benchmark::State& state) {
        fetch(state, {"/usr/bin/curl", "-s", "-o", output(), big_url()});
    });
    register_case("fetch_1/curl_flushed", [=](benchmark::State& state) {
        fetch(state, {"/usr/bin/curl", "-s", "-o", output(), big_url()}, true);
    });
    register_case("fetch_1_tls/ours", [=](benchmark::State& state) {
        fetch(state, {AFGET_PATH, "-c", "1", "--progress", "none", "--cacert", the_site().certificate, "-o", output(),
                      big_tls_url()});
    });
    register_case("fetch_1_tls/curl", [=](benchmark::State& state) {
        fetch(state, {"/usr/bin/curl", "-s", "--cacert", the_site().certificate, "-o", output(), big_tls_url()});
    });
    register_case("fetch_1_tls/curl_flushed", [=](benchmark::State& state) {
        fetch(state, {"/usr/bin/curl", "-s", "--cacert", the_site().certificate, "-o", output(), big_tls_url()}, true);
    });
    register_case("fetch_4/ours", [=](benchmark::State& state) {
        fetch(state, {AFGET_PATH, "-c", "4", "--progress", "none", "-o", output(), big_url()});
    });
    register_case("fetch_4/ours_epoll", [=](benchmark::State& state) {
        fetch(state, {"/usr/bin/env", no_ring, AFGET_PATH, "-c", "4", "--progress", "none", "-o", output(), big_url()});
    });
    register_case("fetch_4/aria2", [=](benchmark::State& state) {
        fetch(state, {"/usr/bin/aria2c", "-q", "-x", "4", "-s", "4", "--allow-overwrite=true",
                      "--file-allocation=none", "-d", the_site().downloads, "-o", "big.bin", big_url()});
    });
    return true;
}();

}  // namespace

ASYNFRAME_BENCH_MAIN(BENCH_BACKENDS)
