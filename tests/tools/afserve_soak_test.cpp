// afserve under hostile clients, all at once for a bounded time: wrk with 1000
// connections, clients trickling their request a byte at a time, clients
// vanishing mid-response with a reset, and clients that stop reading (full
// windows). Meanwhile an ordinary request must keep being answered and the
// server's resident memory must stay bounded; afterwards it serves again and
// ends with exit code 0 on SIGTERM.
//
// AFSERVE_SOAK_SECONDS sets the attack's length (default 10; `make soak`: 60).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/child_process.h"
#include "common/harness.h"
#include "tools/tool_runner.h"

namespace asynframe::tools_test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

int connect_nonblocking_later(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool send_all(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// One GET /small.txt on a fresh connection: true when the whole expected
// answer arrived within `limit`.
// The longest a probe's connect took (a full accept queue shows here).
double slowest_connect = 0;

bool ordinary_request(std::uint16_t port, std::chrono::milliseconds limit) {
    const auto begun = steady::now();
    const auto end = begun + limit;
    const int fd = connect_nonblocking_later(port);
    slowest_connect = std::max(slowest_connect, std::chrono::duration<double>(steady::now() - begun).count());
    if (fd < 0) return false;
    bool ok = send_all(fd, "GET /small.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    std::string got;
    while (ok && steady::now() < end) {
        pollfd wait{fd, POLLIN, 0};
        if (::poll(&wait, 1, 20) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return got.rfind("HTTP/1.1 200", 0) == 0 && got.size() >= 13 && got.compare(got.size() - 13, 13, "hello, tools\n") == 0;
}

// Resident memory of a process in KiB (VmRSS), -1 when it is gone.
long resident_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

int soak_seconds() {
    const char* text = std::getenv("AFSERVE_SOAK_SECONDS");
    const int value = text != nullptr ? std::atoi(text) : 0;
    return value > 0 ? std::min(value, 600) : 10;
}

TEST(AfserveSoak, HostileClientsNeitherStopServiceNorGrowMemoryAndSigtermEndsWithZero) {
    const std::string wrk = "/usr/bin/wrk";
    if (!harness::program_installed(wrk)) GTEST_SKIP() << "wrk is not installed (make deps installs it)";
    // wrk's 1000 connections and afserve's as many, in processes started from here.
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 8192);
    ::setrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < 4096) GTEST_SKIP() << "only " << files.rlim_cur << " descriptors may be open";

#if defined(__SANITIZE_ADDRESS__)
    // afserve is built with the sanitizers too: its freed memory waits in a
    // quarantine of 256 MiB by default, which would read as growth. A small one
    // keeps the resident size about what the program holds.
    const char* inherited = std::getenv("ASAN_OPTIONS");
    const std::string sanitizer_options =
        std::string(inherited != nullptr ? inherited : "") + (inherited != nullptr && *inherited ? ":" : "") +
        "quarantine_size_mb=8";
    ::setenv("ASAN_OPTIONS", sanitizer_options.c_str(), 1);
    constexpr long peak_limit_kib = 1024 * 1024;
    constexpr auto probe_limit = 15s;
#else
    constexpr long peak_limit_kib = 512 * 1024;
    constexpr auto probe_limit = 10s;
#endif
    const fs::path folder = fs::temp_directory_path() / ("afserve-soak-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder / "www");
    write_file((folder / "www/small.txt").string(), "hello, tools\n");
    write_file((folder / "www/big.bin").string(), random_bytes(8 * 1024 * 1024, 5));
    const std::string log = (folder / "afserve.log").string();
    const std::uint16_t port = harness::free_tcp_port();
    // Room for every attacker at once, so that the ordinary client is not
    // merely queued behind the limit; slow heads and stalled readers are cut
    // by the time-outs.
    background_tool server(AFSERVE_PATH,
                           {(folder / "www").string(), "--port", std::to_string(port), "--bind", "127.0.0.1", "-q",
                            "--max-connections", "1400", "--header-timeout", "4", "--idle-timeout", "4"},
                           log);
    ASSERT_TRUE(harness::wait_until([&] { return read_file(log).find("serving") != std::string::npos; },
                                    harness::short_pause, 10s))
        << read_file(log);
    ASSERT_TRUE(ordinary_request(port, 5s));
    const long rss_before = resident_kib(server.pid());

    const int seconds = soak_seconds();
    const auto attack_end = steady::now() + std::chrono::seconds(seconds);
    std::atomic<bool> over{false};
    std::vector<std::thread> attackers;

    // wrk: 1000 keep-alive connections as fast as they go.
    const std::string wrk_out = (folder / "wrk.out").string();
    attackers.emplace_back([&] {
        harness::run_shell(wrk + " -t 2 -c 1000 -d " + std::to_string(seconds) + "s --timeout 5s http://127.0.0.1:" +
                               std::to_string(port) + "/small.txt > " + harness::shell_quote(wrk_out) + " 2>&1",
                           std::chrono::seconds(seconds + 30));
    });
    // Slow clients: 30 heads trickled a byte every 50 ms, opened anew once cut.
    attackers.emplace_back([&] {
        const std::string head = "GET /small.txt HTTP/1.1\r\nHost: x\r\nX-Slow: " + std::string(400, 's') + "\r\n\r\n";
        std::vector<std::pair<int, std::size_t>> slow;
        while (!over) {
            while (slow.size() < 30) slow.emplace_back(connect_nonblocking_later(port), 0);
            for (auto& [fd, at] : slow) {
                if (fd < 0 || at >= head.size() || ::send(fd, &head[at], 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1) {
                    if (fd >= 0) ::close(fd);
                    fd = connect_nonblocking_later(port);
                    at = 0;
                    continue;
                }
                ++at;
            }
            std::this_thread::sleep_for(50ms);
        }
        for (auto& each : slow)
            if (each.first >= 0) ::close(each.first);
    });
    // Vanishing clients: ask for the big file, read a little, reset.
    attackers.emplace_back([&] {
        while (!over) {
            const int fd = connect_nonblocking_later(port);
            if (fd < 0) continue;
            send_all(fd, "GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n");
            char buffer[8192];
            pollfd wait{fd, POLLIN, 0};
            if (::poll(&wait, 1, 200) > 0) (void)::recv(fd, buffer, sizeof buffer, 0);
            const linger reset{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            ::close(fd);
        }
    });
    // Clients that stop reading: big answers pipelined into a small window.
    attackers.emplace_back([&] {
        std::vector<int> stalled;
        while (!over) {
            if (stalled.size() >= 40) {
                for (int fd : stalled) ::close(fd);
                stalled.clear();
            }
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const int small = 4096;
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
            sockaddr_in peer{};
            peer.sin_family = AF_INET;
            peer.sin_port = htons(port);
            peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
                ::close(fd);
                continue;
            }
            std::string requests;
            for (int i = 0; i < 4; ++i) requests += "GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n";
            ::send(fd, requests.data(), requests.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            stalled.push_back(fd);
            std::this_thread::sleep_for(100ms);
        }
        for (int fd : stalled) ::close(fd);
    });

    // The memory, four times a second, on a thread of its own.
    std::vector<long> samples;
    bool vanished = false;
    std::thread sampler([&] {
        while (!over) {
            const long rss = resident_kib(server.pid());
            if (rss <= 0) {
                vanished = true;
                return;
            }
            samples.push_back(rss);
            std::this_thread::sleep_for(250ms);
        }
    });
    // The ordinary client, one request after another, each with its own limit.
    int asked = 0, answered = 0;
    double slowest = 0;
    std::this_thread::sleep_for(1s);
    while (steady::now() < attack_end) {
        ++asked;
        const auto begun = steady::now();
        if (ordinary_request(port, probe_limit)) ++answered;
        slowest = std::max(slowest, std::chrono::duration<double>(steady::now() - begun).count());
        std::this_thread::sleep_for(250ms);
    }
    over = true;
    for (std::thread& each : attackers) each.join();
    sampler.join();
    ASSERT_FALSE(vanished) << "afserve ended during the attack\n" << read_file(log);
    ASSERT_GE(samples.size(), 12u);
    // Past the first third the attack is at full strength: the last third
    // must need no more memory than the middle one had.
    const std::size_t third = samples.size() / 3;
    const long peak = *std::max_element(samples.begin(), samples.end());
    const long middle_peak = *std::max_element(samples.begin() + third, samples.begin() + 2 * third);
    const long last_peak = *std::max_element(samples.begin() + 2 * third, samples.end());
    const std::string wrk_report = read_file(wrk_out);
    std::printf("afserve under attack for %d s: %d of %d ordinary requests answered, the slowest in %.2f s (its connect %.2f s); RSS %ld KiB before, peak %ld KiB, "
                "middle third %ld KiB, last third %ld KiB\n%s",
                seconds, answered, asked, slowest, slowest_connect, rss_before, peak, middle_peak, last_peak, wrk_report.c_str());

    EXPECT_NE(wrk_report.find("Requests/sec"), std::string::npos) << wrk_report;
    // Every ordinary request answered, but for the odd one that met a slow moment.
    EXPECT_GE(answered, 1);
    EXPECT_GE(answered, asked - std::max(1, asked / 10)) << answered << " of " << asked;
    EXPECT_LT(peak, peak_limit_kib) << "KiB resident at the peak";
    EXPECT_LE(last_peak, middle_peak + middle_peak / 4 + 32 * 1024) << "KiB: still growing";

    // Afterwards: the attackers' connections go, the server serves and stops cleanly.
    EXPECT_TRUE(ordinary_request(port, 10s));
    EXPECT_EQ(server.stop(SIGTERM), 0) << read_file(log);
    fs::remove_all(folder);
}

}  // namespace
}  // namespace asynframe::tools_test
