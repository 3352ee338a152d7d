// Bare epoll connect loops, no library: the floor of the mechanism. One does
// what libuv does (a non-blocking socket, connect, one wait, SO_ERROR,
// close); the other adds the steps this library's socket contract makes:
// the socket blocks between requests (non-blocking only while connecting)
// and a close shuts both directions down first. Each comes in two orders:
// the next connect started as soon as one ends, or ("_burst") the ends of one
// wait handled first and their replacements started together afterwards, as
// libuv's close phase does; the listening side then wakes once for several.
#include <fcntl.h>
#include <sys/epoll.h>

#include <vector>

#include "connect_common.h"

namespace connect_bench {
namespace {

using asynframe_bench::give_up;

void raw_loop(benchmark::State& state, bool contract, bool burst = false) {
    dropping_listener listener;
    const sockaddr_in target = loopback(listener.port());
    const int poll = ::epoll_create1(EPOLL_CLOEXEC);
    if (poll < 0) give_up("creating the epoll set");
    long started = 0, finished = 0, goal = 0, failed = 0;
    const auto start = [&] {
        ++started;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (contract ? 0 : SOCK_NONBLOCK), 0);
        if (fd < 0) give_up("creating a socket");
        if (contract) ::fcntl(fd, F_SETFL, O_NONBLOCK);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0 && errno != EINPROGRESS)
            give_up("starting a connect");
        epoll_event watch{EPOLLOUT, {.fd = fd}};
        if (::epoll_ctl(poll, EPOLL_CTL_ADD, fd, &watch) != 0) give_up("watching a socket");
    };
    const auto finish = [&](int fd) {
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) ++failed;
        ::epoll_ctl(poll, EPOLL_CTL_DEL, fd, nullptr);
        if (contract) {
            ::fcntl(fd, F_SETFL, 0);
            ::shutdown(fd, SHUT_RDWR);
        }
        ::close(fd);
        ++finished;
    };
    epoll_event events[connect_window];
    for (auto _ : state) {
        goal += connect_batch;
        while (started < goal && started - finished < connect_window) start();
        const auto deadline = asynframe_bench::wait_deadline();
        while (finished < goal) {
            const int count = ::epoll_wait(poll, events, connect_window, 100);
            for (int i = 0; i < count; ++i) {
                finish(events[i].data.fd);
                if (!burst && started < goal) start();
            }
            if (burst)
                for (int i = 0; i < count && started < goal; ++i) start();
            if (asynframe_bench::bench_clock::now() > deadline) {
                state.SkipWithError("connect batch timed out");
                break;
            }
        }
    }
    if (failed != 0) state.SkipWithError("connects failed");
    state.SetItemsProcessed(state.iterations() * connect_batch);
    ::close(poll);
}

[[maybe_unused]] const bool registered = [] {
    register_case("connect/raw_epoll", [](benchmark::State& state) { raw_loop(state, false); });
    register_case("connect/raw_epoll_contract", [](benchmark::State& state) { raw_loop(state, true); });
    register_case("connect/raw_epoll_burst", [](benchmark::State& state) { raw_loop(state, false, true); });
    register_case("connect/raw_epoll_contract_burst", [](benchmark::State& state) { raw_loop(state, true, true); });
    return true;
}();

}  // namespace
}  // namespace connect_bench
