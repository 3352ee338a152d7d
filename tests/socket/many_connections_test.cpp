// A thousand concurrent loopback connections, each accepted, echoed (64 KiB)
// and closed, with every operation completing exactly once.
#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "common/portable.h"
#include "common/socket_fixture.h"
#include "socket/socket_objects.h"

namespace {

using namespace asynframe;
using namespace asynframe::harness;

constexpr int connection_count = 1000;
constexpr DWORD echo_size = 64 * 1024;
constexpr int client_threads = 4;
constexpr int accepts_in_flight = 8;

#if defined(_WIN32)
// Wine raises its own descriptor limit to the hard one when it starts.
bool raise_descriptor_limit(unsigned long) { return true; }
#else
bool raise_descriptor_limit(rlim_t wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    if (limit.rlim_cur >= wanted) return true;
    limit.rlim_cur = std::min(wanted, limit.rlim_max);
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= wanted;
}
#endif

class ManyConnectionsTest : public ::testing::TestWithParam<engine_mode> {};

// Lives on the dispatch thread only: accepts, then reads the whole message
// and writes it back on each connection, then closes it.
struct echo_server {
    engine_env* env = nullptr;
    recording_sink* sink = nullptr;
    IAsynTcpListener2* listener = nullptr;
    std::map<IAsynIoOperation*, IAsynTcpSocket*> reading;
    std::map<IAsynIoOperation*, IAsynTcpSocket*> writing;
    std::vector<IAsynIoOperation*> accept_ops;
    std::vector<IAsynIoOperation*> echo_ops;
    std::atomic<int> accepted{0};
    std::atomic<int> echoed{0};
    std::atomic<int> failures{0};
    bool stopping = false;
    std::vector<std::string> reasons;

    void fail(std::string reason) {
        ++failures;
        reasons.push_back(std::move(reason));
    }

    bool is_accept(IAsynIoOperation* op) {
        for (IAsynIoOperation* candidate : accept_ops)
            if (candidate == op) return true;
        return false;
    }

    void on_complete(IAsynIoOperation* op, DWORD error, DWORD bytes) {
        if (is_accept(op)) {
            if (stopping) return;
            if (error != 0) {
                fail("accept error " + std::to_string(error));
                return;
            }
            IUnknown* object = nullptr;
            op->GetResultObject(&object);
            op->SetResultObject(nullptr);
            IAsynTcpSocket* socket = nullptr;
            if (object == nullptr ||
                object->QueryInterface(IID_IAsynTcpSocket, reinterpret_cast<void**>(&socket)) != S_OK) {
                fail("no connection object");
                if (object != nullptr) object->Release();
                return;
            }
            object->Release();
            ++accepted;
            IAsynIoOperation* echo = make_operation(*env, sink, echo_size);
            echo_ops.push_back(echo);
            reading[echo] = socket;
            if (socket->ReadFully(echo) != S_OK) fail("read not started");
            if (listener->Accept(op) != S_OK) fail("accept not restarted");
            return;
        }
        if (const auto found = reading.find(op); found != reading.end()) {
            IAsynTcpSocket* socket = found->second;
            reading.erase(found);
            if (error != 0 || bytes != echo_size) {
                fail("read error " + std::to_string(error) + " bytes " + std::to_string(bytes));
                socket->Close();
                socket->Release();
                return;
            }
            writing[op] = socket;
            if (socket->WriteFully(op) != S_OK) fail("write not started");
            return;
        }
        if (const auto found = writing.find(op); found != writing.end()) {
            IAsynTcpSocket* socket = found->second;
            writing.erase(found);
            if (error != 0 || bytes != echo_size)
                fail("write error " + std::to_string(error) + " bytes " + std::to_string(bytes));
            ++echoed;
            socket->Close();
            socket->Release();
            return;
        }
        fail("unknown operation");
    }
};

TEST_P(ManyConnectionsTest, AcceptEchoAndCloseAThousand) {
    ASYNFRAME_SKIP_WITHOUT_RING(GetParam());
    ASSERT_TRUE(raise_descriptor_limit(4 * connection_count + 256)) << "cannot raise RLIMIT_NOFILE";
    engine_env env(GetParam());
    auto* sink = new recording_sink(env.waiter());
    echo_server server;
    server.env = &env;
    server.sink = sink;
    IAsynIoOperation* listen_op = make_operation(env, sink, 0);
    sink->hook = [&server, listen_op](IAsynIoOperation* op, DWORD error, DWORD bytes) {
        if (op != listen_op) server.on_complete(op, error, bytes);
    };

    ASSERT_EQ(S_OK, socket_factory::create_tcp_listener(env.services(), IID_IAsynTcpListener2,
                                                       reinterpret_cast<void**>(&server.listener)));
    env.run([&] { EXPECT_EQ(S_OK, server.listener->ListenOn(htonl(INADDR_LOOPBACK), 0, listen_op)); });
    ASSERT_EQ(0u, sink->wait(listen_op).error);
    std::string ignored;
    WORD port = 0;
    env.run([&] {
        for (int i = 0; i < accepts_in_flight; ++i) server.accept_ops.push_back(make_operation(env, sink, 0));
        for (IAsynIoOperation* op : server.accept_ops) EXPECT_EQ(S_OK, server.listener->Accept(op));
        asyn_socket_device_imp* device = static_cast<CAsynTcpListener*>(server.listener)->listening_device();
        port = device->local_port();
    });
    ASSERT_NE(0, port);

    // Every client connects first, so that all connections are open at once.
    // One thread connects: the listen backlog is short, and a burst of
    // parallel handshakes only meets dropped SYNs and their retransmissions.
    std::vector<sock_t> all_fds;
    for (int i = 0; i < connection_count; ++i) {
        // Keeps the accept queue (backlog 5) from overflowing into SYN retransmissions.
        ASSERT_TRUE(env.wait_until([&] { return server.accepted.load() >= i - 3; }));
        all_fds.push_back(connect_client(port));
    }
    std::vector<int> client_failures(client_threads, 0);
    std::atomic<int> clients_done{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < client_threads; ++t) {
        clients.emplace_back([&, t] {
            std::vector<sock_t> fds;
            for (int i = t; i < connection_count; i += client_threads) fds.push_back(all_fds[i]);
            std::vector<std::uint8_t> out(echo_size), in(echo_size);
            for (std::size_t k = 0; k < fds.size(); ++k) {
                const sock_t fd = fds[k];
                if (fd == bad_sock) {
                    ++client_failures[t];
                    continue;
                }
                for (DWORD i = 0; i < echo_size; ++i) out[i] = pattern_byte(i, static_cast<std::uint8_t>(k + t));
                if (!send_all(fd, out.data(), echo_size) || !recv_all(fd, in.data(), echo_size) ||
                    std::memcmp(in.data(), out.data(), echo_size) != 0)
                    ++client_failures[t];
                std::uint8_t tail = 0;
                if (recv_bytes(fd, &tail, 1) != 0) ++client_failures[t];  // the server closed
                close_sock(fd);
            }
            ++clients_done;
        });
    }
    // The echo needs the dispatch thread, which in UI-thread modes is this one.
    const bool clients_finished =
        env.wait_until([&] { return clients_done.load() == client_threads; }, std::chrono::seconds(120));
    // A stuck client would block its join: end its connections instead.
    if (!clients_finished)
        for (const sock_t fd : all_fds) ::shutdown(fd, shut_read_write);
    for (std::thread& client : clients) client.join();
    ASSERT_TRUE(clients_finished);
    for (int t = 0; t < client_threads; ++t) EXPECT_EQ(0, client_failures[t]) << "client thread " << t;

    ASSERT_TRUE(env.wait_until([&] { return server.echoed.load() == connection_count; }, std::chrono::seconds(120)));
    EXPECT_EQ(connection_count, server.accepted.load());
    EXPECT_EQ(0, server.failures.load());
    env.run([&] {
        for (const std::string& reason : server.reasons) ADD_FAILURE() << reason;
    });
    env.run([&] {
        server.stopping = true;
        EXPECT_EQ(S_OK, server.listener->Close());
    });

    // Accepts still waiting end with the listener; every operation completed
    // exactly as often as it was started.
    ASSERT_TRUE(env.wait_until([&] {
        int completed = 0;
        for (IAsynIoOperation* op : server.accept_ops) completed += sink->get(op).count;
        return completed == connection_count + accepts_in_flight;
    }));
    for (IAsynIoOperation* op : server.echo_ops) EXPECT_EQ(2, sink->get(op).count);
    EXPECT_EQ(2 * connection_count + connection_count + accepts_in_flight + 1, sink->total.load());

    for (IAsynIoOperation* op : server.echo_ops) op->Release();
    for (IAsynIoOperation* op : server.accept_ops) op->Release();
    listen_op->Release();
    server.listener->Release();
    env.shutdown();
    sink->Release();
}

INSTANTIATE_TEST_SUITE_P(Modes, ManyConnectionsTest, all_modes(), mode_label);

}  // namespace
