// The platform's request layer on real sockets and files, with the ring and
// with the readiness loop.
#include <poll.h>
#include <sys/eventfd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "engine_test_support.h"
#include "platform/errors.h"
#include "platform/io_backend.h"

namespace {

using asynframe::platform::io_backend;
using asynframe::platform::io_block;
using namespace engine_test;

class IoBackendTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        backend = io_backend::create(GetParam());
        ASSERT_TRUE(backend);
        if (!GetParam() && !backend->is_completion_port()) GTEST_SKIP() << "io_uring is not available here";
        ASSERT_EQ(backend->is_completion_port(), !GetParam());
    }

    // One pass of the dispatch phases: submit, reap, posted, then (when
    // nothing came) a wait of at most `wait_ms`.
    void pass(std::vector<io_block*>& out, std::uint32_t wait_ms) {
        backend->submit();
        io_block* finished[16];
        const std::size_t reaped = backend->reap(finished, 16);
        out.insert(out.end(), finished, finished + reaped);
        std::size_t posted = 0;
        for (io_block* block = backend->take_posted(); block != nullptr; ++posted) {
            io_block* next = block->next;
            block->next = nullptr;
            out.push_back(block);
            block = next;
        }
        if (reaped == 0 && posted == 0) backend->wait(wait_ms);
    }

    // Everything finished within the limit, in the order handed out.
    std::vector<io_block*> collect(std::size_t count, std::uint32_t limit_ms = 10000) {
        std::vector<io_block*> out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
        while (out.size() < count && std::chrono::steady_clock::now() < end) pass(out, 100);
        return out;
    }

    // Nothing more is handed out (a short look, after the expected ones).
    void expect_quiet() {
        std::vector<io_block*> out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
        while (std::chrono::steady_clock::now() < end) pass(out, 5);
        EXPECT_TRUE(out.empty());
    }

    std::unique_ptr<io_backend> backend;
};

TEST_P(IoBackendTest, StreamReceiveAndWholeSend) {
    tcp_pair pair;
    char incoming[64] = {};
    io_block receive;
    ASSERT_EQ(backend->start_recv(pair.server, incoming, sizeof incoming, receive), 0u);
    expect_quiet();  // nothing arrived yet: the receive stays in flight
    ASSERT_EQ(::send(pair.client, "ping", 4, 0), 4);
    auto done = collect(1);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0], &receive);
    EXPECT_EQ(receive.result, 4);
    EXPECT_EQ(std::string(incoming, 4), "ping");

    // A send far larger than the socket buffers completes whole.
    std::vector<std::uint8_t> big(8 << 20);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
    io_block send;
    ASSERT_EQ(backend->start_send(pair.server, big.data(), static_cast<std::uint32_t>(big.size()), send), 0u);
    std::vector<std::uint8_t> received;
    std::thread reader([&] {
        std::vector<std::uint8_t> chunk(65536);
        while (received.size() < big.size()) {
            const ssize_t n = ::recv(pair.client, chunk.data(), chunk.size(), 0);
            if (n <= 0) break;
            received.insert(received.end(), chunk.begin(), chunk.begin() + n);
        }
    });
    done = collect(1, 30000);
    reader.join();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(send.result, static_cast<std::int32_t>(big.size()));
    EXPECT_TRUE(received == big);
    expect_quiet();
}

TEST_P(IoBackendTest, ShutdownEndsReceiveWithZeroAndCancelWith995) {
    tcp_pair pair;
    char buffer[16];
    io_block first, second;
    ASSERT_EQ(backend->start_recv(pair.server, buffer, sizeof buffer, first), 0u);
    ::shutdown(pair.client, SHUT_WR);
    auto done = collect(1);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(first.result, 0);

    tcp_pair other;
    io_block third;
    ASSERT_EQ(backend->start_recv(other.server, buffer, sizeof buffer, second), 0u);
    ASSERT_EQ(backend->start_recv(other.server, buffer + 8, 8, third), 0u);
    expect_quiet();
    backend->cancel(other.server);
    done = collect(2);
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(second.result, -ECANCELED);
    EXPECT_EQ(third.result, -ECANCELED);
    EXPECT_EQ(asynframe::platform::socket_error_from_errno(-second.result), 995u);
    // Cancelling a descriptor with nothing in flight is harmless.
    backend->cancel(pair.server);
    backend->forget(other.server);
    expect_quiet();
}

TEST_P(IoBackendTest, CancelStillReachesRequestsStartedAfterEarlierOnesFinished) {
    tcp_pair pair;
    char buffer[16];
    io_block receive, send, again;
    ASSERT_EQ(backend->start_recv(pair.server, buffer, sizeof buffer, receive), 0u);
    ASSERT_EQ(backend->start_send(pair.server, "pong", 4, send), 0u);
    ASSERT_EQ(::send(pair.client, "ping", 4, 0), 4);
    auto done = collect(2);
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(receive.result, 4);
    EXPECT_EQ(send.result, 4);

    // Nothing is in flight now; a later receive must still be found by a cancel.
    backend->cancel(pair.server);
    expect_quiet();
    ASSERT_EQ(backend->start_recv(pair.server, buffer, sizeof buffer, again), 0u);
    expect_quiet();
    backend->cancel(pair.server);
    done = collect(1);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0], &again);
    EXPECT_EQ(again.result, -ECANCELED);
    backend->forget(pair.server);
}

TEST_P(IoBackendTest, DatagramsCarryTheirAddress) {
    const int a = make_udp();
    const int b = make_udp();
    sockaddr_in to = loopback(local_port(b));
    sockaddr_in from{};
    char out[] = "datagram";
    char in[32] = {};
    io_block receive, send;
    ASSERT_EQ(backend->start_recv_from(b, in, sizeof in, reinterpret_cast<sockaddr*>(&from), sizeof from, receive),
              0u);
    ASSERT_EQ(backend->start_send_to(a, out, 8, reinterpret_cast<sockaddr*>(&to), sizeof to, send), 0u);
    auto done = collect(2);
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(send.result, 8);
    EXPECT_EQ(receive.result, 8);
    EXPECT_EQ(std::string(in, 8), "datagram");
    EXPECT_EQ(receive.address_length, sizeof(sockaddr_in));
    EXPECT_EQ(ntohs(from.sin_port), local_port(a));
    ::close(a);
    ::close(b);
}

TEST_P(IoBackendTest, AcceptAndConnect) {
    const int listener = make_listener();
    const int client = must(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0), "socket");
    sockaddr_in peer{};
    sockaddr_in target = loopback(local_port(listener));
    io_block accepting, connecting;
    ASSERT_EQ(backend->start_accept(listener, reinterpret_cast<sockaddr*>(&peer), sizeof peer, accepting), 0u);
    ASSERT_EQ(backend->start_connect(client, reinterpret_cast<sockaddr*>(&target), sizeof target, connecting), 0u);
    auto done = collect(2);
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(connecting.result, 0);
    ASSERT_GE(accepting.result, 0);
    EXPECT_EQ(accepting.address_length, sizeof(sockaddr_in));
    EXPECT_EQ(ntohs(peer.sin_port), local_port(client));
    ::close(accepting.result);
    ::close(client);

    // Nobody listens on a closed port: refused, in the Winsock code space.
    const int refused = must(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0), "socket");
    const std::uint16_t closed_port = local_port(listener);
    ::close(listener);
    target = loopback(closed_port);
    io_block failing;
    ASSERT_EQ(backend->start_connect(refused, reinterpret_cast<sockaddr*>(&target), sizeof target, failing), 0u);
    done = collect(1);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(failing.result, -ECONNREFUSED);
    EXPECT_EQ(asynframe::platform::socket_error_from_errno(ECONNREFUSED), 10061u);
    ::close(refused);
}

TEST_P(IoBackendTest, PositionalScatterAndGatherFileRequests) {
    temp_file file;
    io_block write, read;
    ASSERT_EQ(backend->start_write(file.fd, "hello world", 11, 4096, write), 0u);
    ASSERT_EQ(collect(1).size(), 1u);
    EXPECT_EQ(write.result, 11);

    char text[16] = {};
    ASSERT_EQ(backend->start_read(file.fd, text, sizeof text, 4096 + 6, read), 0u);
    ASSERT_EQ(collect(1).size(), 1u);
    EXPECT_EQ(read.result, 5);  // short at the end of the file
    EXPECT_EQ(std::string(text, 5), "world");

    std::vector<char> page_a(4096, 'a'), page_b(4096, 'b');
    iovec gather[2] = {{page_a.data(), page_a.size()}, {page_b.data(), page_b.size()}};
    io_block gathering;
    ASSERT_EQ(backend->start_write_gather(file.fd, gather, 2, 8192, gathering), 0u);
    ASSERT_EQ(collect(1).size(), 1u);
    EXPECT_EQ(gathering.result, 8192);

    std::vector<char> back_a(4096), back_b(4096);
    iovec scatter[2] = {{back_b.data(), back_b.size()}, {back_a.data(), back_a.size()}};
    io_block scattering;
    ASSERT_EQ(backend->start_read_scatter(file.fd, scatter, 2, 8192, scattering), 0u);
    ASSERT_EQ(collect(1).size(), 1u);
    EXPECT_EQ(scattering.result, 8192);
    EXPECT_EQ(back_b, page_a);
    EXPECT_EQ(back_a, page_b);

    // A closed descriptor fails through the completion.
    const int closed = ::dup(file.fd);
    ::close(closed);
    io_block bad;
    const std::uint32_t refused = backend->start_read(closed, text, 4, 0, bad);
    if (refused == 0) {
        ASSERT_EQ(collect(1).size(), 1u);
        EXPECT_EQ(bad.result, -EBADF);
    }
}

TEST_P(IoBackendTest, PostsWakeAWaitFromOtherThreadsInOrder) {
    std::vector<io_block> blocks(1000);
    std::thread poster([&] {
        for (io_block& block : blocks) EXPECT_TRUE(backend->post(block));
    });
    auto done = collect(blocks.size());
    poster.join();
    ASSERT_EQ(done.size(), blocks.size());
    for (std::size_t i = 0; i < blocks.size(); ++i) EXPECT_EQ(done[i], &blocks[i]);
    expect_quiet();

    // A wait without limit is ended by a post.
    io_block late;
    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        backend->post(late);
    });
    const auto before = std::chrono::steady_clock::now();
    backend->wait(asynframe::platform::wait_forever);
    EXPECT_EQ(backend->take_posted(), &late);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    waker.join();
}

TEST_P(IoBackendTest, WakeEndsAWaitAndExternalWaitsSeeNewWork) {
    // As a UI thread has it: the dispatch thread sleeps in its own poll.
    backend = io_backend::create(GetParam(), true);
    ASSERT_TRUE(backend);
    // wake() from another thread ends a wait without limit.
    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        backend->wake();
    });
    const auto before = std::chrono::steady_clock::now();
    backend->wait(asynframe::platform::wait_forever);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    waker.join();

    // A thread that sleeps on the descriptor instead learns of a post.
    std::vector<io_block*> out;
    pass(out, 0);
    ASSERT_TRUE(backend->prepare_external_wait());
    io_block posted;
    std::thread poster([&] { backend->post(posted); });
    pollfd item{backend->descriptor(), POLLIN, 0};
    EXPECT_EQ(::poll(&item, 1, 5000), 1);
    poster.join();
    EXPECT_EQ(collect(1), std::vector<io_block*>{&posted});
    // Work already there refuses the sleep.
    io_block early;
    backend->post(early);
    EXPECT_FALSE(backend->prepare_external_wait());
    EXPECT_EQ(collect(1), std::vector<io_block*>{&early});
}

TEST_P(IoBackendTest, DrainHandsBackEverythingStillHeld) {
    tcp_pair pair;
    char buffer[8];
    io_block receive, posted;
    ASSERT_EQ(backend->start_recv(pair.server, buffer, sizeof buffer, receive), 0u);
    backend->post(posted);
    std::vector<io_block*> drained;
    backend->drain([](void* context, io_block& block) { static_cast<std::vector<io_block*>*>(context)->push_back(&block); },
                   &drained);
    ASSERT_EQ(drained.size(), 2u);
    EXPECT_NE(std::find(drained.begin(), drained.end(), &posted), drained.end());
    EXPECT_NE(std::find(drained.begin(), drained.end(), &receive), drained.end());
    EXPECT_EQ(receive.result, -ECANCELED);
}

INSTANTIATE_TEST_SUITE_P(Backends, IoBackendTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("readiness") : std::string("ring");
                         });

}  // namespace
