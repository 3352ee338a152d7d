// Resolutions per second through the five exports: answered from the cache,
// and uncached against a local dnsmasq, the latter against c-ares asking the
// same server for the same name and the same families. One resolution at a time, as a caller
// waiting on its event makes them.
#include <ares.h>
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netdb.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "../bench_main.h"
#include "asynframe/dns.h"
#include "dns/dns_local_repository.h"
#include "dns/dns_service.h"
#include "dns/request_list.h"
#include "dns_servers.h"
#include "platform/event.h"

namespace {

using namespace asynframe;

const char* const name = "one.af.test";

// dnsmasq and the resolver configured for it, for the whole program.
struct setup {
    dns_test::temp_folder folder;
    std::uint16_t port = dns_test::free_udp_port();
    std::unique_ptr<dns_test::dnsmasq_server> server;

    setup() {
        ::setenv("ASYNFRAME_DATA_DIR", folder.path().c_str(), 1);
        ::setenv("ASYNFRAME_HOSTS_FILE", folder.write("hosts", "").c_str(), 1);
        ::setenv("ASYNFRAME_RESOLV_CONF", folder.write("resolv.conf", "nameserver 127.0.0.1\n").c_str(), 1);
        ::setenv("ASYNFRAME_DNS_PORT", std::to_string(port).c_str(), 1);
        server = std::make_unique<dns_test::dnsmasq_server>(folder.path().string(), port);
        // The resolver reads a resolv.conf changed in the last two seconds
        // anew for every name, in case it changes again within its time
        // stamp's grain. A machine's file is older than that: so is this one
        // before anything is measured.
        std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    }
};

setup& shared() {
    static setup s;
    return s;
}

bool resolve_once(platform::event& done) {
    SYNC_DNS_HANDLE handle = sync_dns_request(name, done.native(), SYNC_DNS_ACCESS);
    const bool answered = done.wait(5000) && sync_dns_result(handle) == DNS_RESULT_OK;
    sync_dns_cancel(handle);
    done.reset();
    return answered;
}

void run_ours(benchmark::State& state, bool cached) {
    if (!shared().server->ok()) {
        state.SkipWithError("dnsmasq did not start");
        return;
    }
    start_dns_service();
    platform::event done(true);
    resolve_once(done);  // fills the cache
    for (auto _ : state) {
        if (!cached) dns_local_repository::destroy_instance();
        if (!resolve_once(done)) {
            state.SkipWithError("a resolution failed");
            break;
        }
    }
    stop_dns_service();
    state.SetItemsProcessed(state.iterations());
}

void cached_ours(benchmark::State& state) { run_ours(state, true); }
void uncached_ours(benchmark::State& state) { run_ours(state, false); }

// c-ares asking for what ours asks for: both families (A and AAAA, as the
// exports answer IPv6 addresses too), or IPv4 alone for reference.
void uncached_cares(benchmark::State& state, bool both_families) {
    if (!shared().server->ok()) {
        state.SkipWithError("dnsmasq did not start");
        return;
    }
    ares_library_init(ARES_LIB_INIT_ALL);
    ares_channel channel = nullptr;
    ares_options options{};
    char lookups[] = "b";  // the server only, as ours is configured
    options.lookups = lookups;
    options.tries = 1;
    ares_init_options(&channel, &options, ARES_OPT_LOOKUPS | ARES_OPT_TRIES);
    const std::string servers = "127.0.0.1:" + std::to_string(shared().port);
    ares_set_servers_ports_csv(channel, servers.c_str());
    struct outcome {
        bool done = false;
        bool ok = false;
    };
    const auto by_name = [](void* arg, int status, int, hostent* host) {
        auto* o = static_cast<outcome*>(arg);
        o->done = true;
        o->ok = status == ARES_SUCCESS && host != nullptr && host->h_addr_list[0] != nullptr;
    };
    const auto by_info = [](void* arg, int status, int, ares_addrinfo* info) {
        auto* o = static_cast<outcome*>(arg);
        o->done = true;
        o->ok = status == ARES_SUCCESS && info != nullptr && info->nodes != nullptr;
        if (info != nullptr) ares_freeaddrinfo(info);
    };
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_UNSPEC;
    for (auto _ : state) {
        outcome o;
        if (both_families)
            ares_getaddrinfo(channel, name, nullptr, &hints, by_info, &o);
        else
            ares_gethostbyname(channel, name, AF_INET, by_name, &o);
        while (!o.done) {
            ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
            const int bits = ares_getsock(channel, sockets, ARES_GETSOCK_MAXNUM);
            pollfd fds[ARES_GETSOCK_MAXNUM];
            nfds_t count = 0;
            for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
                short events = 0;
                if (ARES_GETSOCK_READABLE(bits, i)) events |= POLLIN;
                if (ARES_GETSOCK_WRITABLE(bits, i)) events |= POLLOUT;
                if (events != 0) fds[count++] = pollfd{sockets[i], events, 0};
            }
            ::poll(fds, count, 1000);
            for (nfds_t i = 0; i < count; ++i)
                ares_process_fd(channel, (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) ? fds[i].fd : ARES_SOCKET_BAD,
                                (fds[i].revents & POLLOUT) ? fds[i].fd : ARES_SOCKET_BAD);
            if (count == 0) ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
        }
        if (!o.ok) {
            state.SkipWithError("a resolution failed");
            break;
        }
    }
    ares_destroy(channel);
    ares_library_cleanup();
    state.SetItemsProcessed(state.iterations());
}

// The bare mechanism the exports imply: the caller sends the A and AAAA
// queries, a thread of its own takes both replies and sets the caller's event,
// on which the caller sleeps. c-ares runs on the caller's thread instead and
// needs no hand-off; a caller of the exports cannot be answered without one.
void uncached_raw_thread(benchmark::State& state) {
    if (!shared().server->ok()) {
        state.SkipWithError("dnsmasq did not start");
        return;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(shared().port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int done = ::eventfd(0, EFD_CLOEXEC);
    const int stop = ::eventfd(0, EFD_CLOEXEC);
    if (fd < 0 || done < 0 || stop < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
        state.SkipWithError("no socket");
        return;
    }
    // A query for `name`: header, the labels, type, class IN.
    const auto query = [](std::uint16_t id, std::uint16_t type) {
        std::string q{static_cast<char>(id >> 8), static_cast<char>(id & 0xFF), 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
        for (const char* label : {"one", "af", "test"}) {
            q += static_cast<char>(std::strlen(label));
            q += label;
        }
        q += std::string{0, 0, static_cast<char>(type), 0, 1};
        return q;
    };
    std::atomic<std::uint16_t> next_id{1};
    std::thread receiver([&] {
        char reply[512];
        int answered = 0;
        for (;;) {
            pollfd fds[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents != 0) return;
            const ssize_t n = ::recv(fd, reply, sizeof reply, MSG_DONTWAIT);
            if (n < 12) continue;
            const std::uint16_t id = static_cast<std::uint16_t>((static_cast<unsigned char>(reply[0]) << 8) |
                                                                static_cast<unsigned char>(reply[1]));
            const std::uint16_t asked = next_id.load(std::memory_order_acquire);
            if (id != asked && id != static_cast<std::uint16_t>(asked + 1)) continue;  // a late one
            if (++answered == 2) {
                answered = 0;
                const std::uint64_t one = 1;
                if (::write(done, &one, sizeof one) != sizeof one) return;
            }
        }
    });
    for (auto _ : state) {
        const std::uint16_t id = next_id.load(std::memory_order_relaxed);
        const std::string a = query(id, 1), aaaa = query(static_cast<std::uint16_t>(id + 1), 28);
        if (::send(fd, a.data(), a.size(), 0) < 0 || ::send(fd, aaaa.data(), aaaa.size(), 0) < 0) {
            state.SkipWithError("a query could not be sent");
            break;
        }
        pollfd ready{done, POLLIN, 0};
        std::uint64_t value = 0;
        if (::poll(&ready, 1, 5000) != 1 || ::read(done, &value, sizeof value) != sizeof value) {
            state.SkipWithError("a resolution failed");
            break;
        }
        next_id.store(static_cast<std::uint16_t>(id + 2), std::memory_order_release);
    }
    const std::uint64_t one = 1;
    if (::write(stop, &one, sizeof one) != sizeof one) std::abort();
    receiver.join();
    ::close(fd);
    ::close(done);
    ::close(stop);
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(cached_ours)->Name("cached/ours")->UseRealTime();
BENCHMARK(uncached_ours)->Name("uncached/ours")->UseRealTime();
BENCHMARK_CAPTURE(uncached_cares, both, true)->Name("uncached/cares")->UseRealTime();
BENCHMARK_CAPTURE(uncached_cares, ipv4, false)->Name("uncached/cares_ipv4_only")->UseRealTime();
BENCHMARK(uncached_raw_thread)->Name("uncached/raw_thread")->UseRealTime();

}  // namespace

ASYNFRAME_BENCH_MAIN("resolver thread over UDP; c-ares with poll")
