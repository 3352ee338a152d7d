// TCP sockets and listeners over loopback, in every engine mode.
#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "asynframe/com_helpers.h"
#include "common/portable.h"
#include "common/socket_fixture.h"
#include "component/string_setter.h"
#include "socket/socket_objects.h"
#include "support/setting.h"

namespace {

using namespace asynframe;
using namespace asynframe::harness;

class TcpSocketTest : public objects_test {
protected:
    void after_release() override {
        for (const sock_t fd : clients) close_sock(fd);
    }

    IAsynTcpListener2* make_listener() {
        IAsynTcpListener2* listener = nullptr;
        EXPECT_EQ(S_OK, socket_factory::create_tcp_listener(env->services(), IID_IAsynTcpListener2,
                                                             reinterpret_cast<void**>(&listener)));
        return keep(listener);
    }

    // Listens on any address, port 0; returns the chosen port.
    std::uint16_t listen(IAsynTcpListener2* listener) {
        IAsynIoOperation* op = operation(0);
        env->run([&] { EXPECT_EQ(S_OK, listener->Listen(0, op)); });
        EXPECT_EQ(0u, sink->wait(op).error);
        std::string text;
        WORD port = 0;
        auto* setter = new CStringSetter(text);
        env->run([&] { EXPECT_EQ(S_OK, listener->GetLocalAddress(setter, &port)); });
        setter->Release();
        EXPECT_EQ("0.0.0.0", text);
        EXPECT_NE(0, port);
        return port;
    }

    // One accepted connection: the server object and the plain client.
    IAsynTcpSocket* accept(IAsynTcpListener2* listener, std::uint16_t port, sock_t& client) {
        IAsynIoOperation* op = operation(0);
        env->run([&] { EXPECT_EQ(S_OK, listener->Accept(op)); });
        client = connect_client(port);
        EXPECT_NE(client, bad_sock);
        clients.push_back(client);
        const auto result = sink->wait(op);
        EXPECT_EQ(0u, result.error);
        EXPECT_EQ(0u, result.bytes);
        IUnknown* object = nullptr;
        EXPECT_EQ(S_OK, op->GetResultObject(&object));
        IAsynTcpSocket* socket = nullptr;
        if (object != nullptr) {
            EXPECT_EQ(S_OK, object->QueryInterface(IID_IAsynTcpSocket, reinterpret_cast<void**>(&socket)));
            object->Release();
        }
        op->SetResultObject(nullptr);
        return socket != nullptr ? keep(socket) : nullptr;
    }

    IAsynTcpSocket* connected_pair(sock_t& client) {
        IAsynTcpListener2* listener = make_listener();
        return accept(listener, listen(listener), client);
    }

    std::vector<sock_t> clients;
};

TEST_P(TcpSocketTest, AcceptedConnectionKnowsBothEnds) {
    IAsynTcpListener2* listener = make_listener();
    const std::uint16_t port = listen(listener);
    sock_t client = bad_sock;
    IAsynTcpSocket* server = accept(listener, port, client);
    ASSERT_NE(nullptr, server);

    DWORD local = 0, peer = 0;
    WORD local_port = 0, peer_port = 0;
    env->run([&] {
        EXPECT_EQ(S_OK, server->GetLocalAddress(&local, &local_port));
        EXPECT_EQ(S_OK, server->GetPeerAddress(&peer, &peer_port));
    });
    sockaddr_in client_name{};
    socklen_t length = sizeof client_name;
    ::getsockname(client, reinterpret_cast<sockaddr*>(&client_name), &length);
    EXPECT_EQ(htonl(INADDR_LOOPBACK), local);
    EXPECT_EQ(port, local_port);
    EXPECT_EQ(htonl(INADDR_LOOPBACK), peer);
    EXPECT_EQ(ntohs(client_name.sin_port), peer_port);

    // The accept itself gave the peer's address: no query was needed.
    auto* object = static_cast<CAsynTcpSocket*>(server);
    EXPECT_TRUE(object->socket_device()->has_accepted_addresses());
}

TEST_P(TcpSocketTest, AcceptedAddressesGoAwayWithClose) {
    sock_t client = bad_sock;
    IAsynTcpSocket* server = connected_pair(client);
    ASSERT_NE(nullptr, server);
    env->run([&] {
        // Never asked while open: after the close there is no address to give.
        EXPECT_EQ(S_OK, server->Close());
        DWORD address = 0;
        WORD port = 0;
        EXPECT_EQ(E_FAIL, server->GetLocalAddress(&address, &port));
        EXPECT_EQ(E_FAIL, server->GetPeerAddress(&address, &port));
    });
}

TEST_P(TcpSocketTest, ReadAndWriteBothWays) {
    sock_t client = bad_sock;
    IAsynTcpSocket* server = connected_pair(client);
    ASSERT_NE(nullptr, server);

    IAsynIoOperation* write = operation(5);
    std::memcpy(buffer_of(write), "hello", 5);
    env->run([&] { EXPECT_EQ(S_OK, server->Write(write)); });
    EXPECT_EQ(5u, sink->wait(write).bytes);
    char received[5] = {};
    ASSERT_TRUE(recv_all(client, reinterpret_cast<std::uint8_t*>(received), 5));
    EXPECT_EQ(0, std::memcmp(received, "hello", 5));

    IAsynIoOperation* read = operation(64);
    env->run([&] { EXPECT_EQ(S_OK, server->Read(read)); });
    ASSERT_TRUE(send_all(client, reinterpret_cast<const std::uint8_t*>("world!"), 6));
    const auto result = sink->wait(read);
    EXPECT_EQ(0u, result.error);
    EXPECT_EQ(6u, result.bytes);
    EXPECT_EQ(0, std::memcmp(buffer_of(read), "world!", 6));

    // The peer going away reads as 0 bytes without error.
    ::shutdown(client, shut_write);
    env->run([&] { EXPECT_EQ(S_OK, server->Read(read)); });
    const auto end = sink->wait(read, 2);
    EXPECT_EQ(0u, end.error);
    EXPECT_EQ(0u, end.bytes);
}

TEST_P(TcpSocketTest, WholeBufferTransfersOf16MiB) {
    sock_t client = bad_sock;
    IAsynTcpSocket* server = connected_pair(client);
    ASSERT_NE(nullptr, server);
    constexpr DWORD size = 16u << 20;

    IAsynIoOperation* write = operation(size);
    for (DWORD i = 0; i < size; ++i) buffer_of(write)[i] = pattern_byte(i, 7);
    std::vector<std::uint8_t> at_client(size);
    std::thread reader([&] { EXPECT_TRUE(recv_all(client, at_client.data(), size)); });
    env->run([&] { EXPECT_EQ(S_OK, server->WriteFully(write)); });
    const auto written = sink->wait(write);
    reader.join();
    EXPECT_EQ(0u, written.error);
    EXPECT_EQ(size, written.bytes);
    EXPECT_EQ(0, std::memcmp(at_client.data(), buffer_of(write), size));

    IAsynIoOperation* read = operation(size);
    for (DWORD i = 0; i < size; ++i) at_client[i] = pattern_byte(i, 91);
    env->run([&] { EXPECT_EQ(S_OK, server->ReadFully(read)); });
    std::thread writer([&] { EXPECT_TRUE(send_all(client, at_client.data(), size)); });
    const auto result = sink->wait(read);
    writer.join();
    EXPECT_EQ(0u, result.error);
    EXPECT_EQ(size, result.bytes);
    EXPECT_EQ(0, std::memcmp(at_client.data(), buffer_of(read), size));
    DWORD start = 1, length = 0;
    read->GetRange(&start, &length);
    EXPECT_EQ(0u, start);
    EXPECT_EQ(size, length);
}

TEST_P(TcpSocketTest, ReceiveTimeOutAbortsOnlyWhereArmed) {
    if (env->alertable()) GTEST_SKIP() << "no receive time-out is armed in alertable mode";
    sock_t first_client = bad_sock, second_client = bad_sock;
    IAsynTcpSocket* without_timeout = connected_pair(first_client);
    IAsynTcpSocket* with_timeout = connected_pair(second_client);
    ASSERT_NE(nullptr, without_timeout);
    ASSERT_NE(nullptr, with_timeout);

    IAsynIoOperation* waiting = operation(16);
    IAsynIoOperation* expiring = operation(16);
    env->run([&] {
        EXPECT_EQ(S_OK, without_timeout->SetRecvTimeout(100));
        EXPECT_EQ(S_OK, without_timeout->SetRecvTimeout(0xFFFFFFFFu));  // off, overriding the 100 ms
        EXPECT_EQ(S_OK, with_timeout->SetRecvTimeout(300));
        EXPECT_EQ(S_OK, without_timeout->Read(waiting));
        EXPECT_EQ(S_OK, with_timeout->Read(expiring));
    });
    EXPECT_EQ(995u, sink->wait(expiring).error);
    // Had the 100 ms time-out been armed it would have fired before the 300 ms one.
    EXPECT_FALSE(sink->completed(waiting));
    ASSERT_TRUE(send_all(first_client, reinterpret_cast<const std::uint8_t*>("late"), 4));
    const auto late = sink->wait(waiting);
    EXPECT_EQ(0u, late.error);
    EXPECT_EQ(4u, late.bytes);
}

TEST_P(TcpSocketTest, CloseAbortsReceiveAndSendInFlight) {
    sock_t client = bad_sock;
    IAsynTcpSocket* server = connected_pair(client);
    ASSERT_NE(nullptr, server);
    // Fill the path to the client, which never reads, so the send must wait.
    const int small = 4096;
    set_sock_option(client, SOL_SOCKET, SO_RCVBUF, small);
    const auto fd = static_cast<sock_t>(static_cast<CAsynTcpSocket*>(server)->socket_device()->handle());
    set_sock_option(fd, SOL_SOCKET, SO_SNDBUF, small);
    std::vector<std::uint8_t> filler(65536, 0x5A);
#if defined(_WIN32)
    // Winsock has no per-call non-blocking send; the device's socket is
    // blocking at rest (its transfers are overlapped), and is left so again.
    ASSERT_TRUE(set_nonblocking_sock(fd, true));
    while (send_bytes(fd, filler.data(), filler.size()) > 0) {
    }
    ASSERT_TRUE(set_nonblocking_sock(fd, false));
#else
    while (send_bytes(fd, filler.data(), filler.size(), MSG_DONTWAIT) > 0) {
    }
#endif

    IAsynIoOperation* read = operation(64);
    IAsynIoOperation* write = operation(65536);
    env->run([&] {
        EXPECT_EQ(S_OK, server->Write(write));
        EXPECT_EQ(S_OK, server->Read(read));
    });
    EXPECT_FALSE(sink->completed(read));
    env->run([&] { EXPECT_EQ(S_OK, server->Close()); });
    EXPECT_EQ(995u, sink->wait(read).error);
    EXPECT_EQ(995u, sink->wait(write).error);
    env->run([&] {
        EXPECT_EQ(E_UNEXPECTED, server->Close());
        EXPECT_EQ(E_UNEXPECTED, server->Read(read));
        DWORD address = 1;
        WORD port = 1;
        EXPECT_EQ(E_FAIL, server->GetPeerAddress(&address, &port));
        EXPECT_EQ(0u, address);
    });
}

// Answers "socket"/"listen_backlog" and nothing else.
class backlog_settings final : public map_settings {
public:
    explicit backlog_settings(UINT backlog) { set("socket", "listen_backlog", std::uint32_t{backlog}); }
};

// Starts `count` connects that nobody accepts and waits until `wanted` of them
// are established: the listener's queue must hold that many.
bool queue_holds(std::uint16_t port, int count, int wanted, std::vector<sock_t>& fds) {
    for (int i = 0; i < count; ++i) {
        const sock_t fd = tcp_sock();
        set_nonblocking_sock(fd, true);
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(port);
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target);
        fds.push_back(fd);
    }
    return wait_until(
        [&] {
            int established = 0;
            for (const sock_t fd : fds) {
                pollfd entry{fd, POLLOUT, 0};
                int error = -1;
                sock_len length = sizeof error;
                if (poll_socks(&entry, 1, 0) == 1 &&
                    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == 0 &&
                    error == 0)
                    ++established;
            }
            return established >= wanted;
        },
        short_pause, std::chrono::seconds(5));
}

TEST_P(TcpSocketTest, ListenBacklogComesFromTheSettings) {
    // Linux queues one connection more than the backlog. With the default of
    // 5, the 21 below could never all be established while nobody accepts.
    backlog_settings wide(20), huge(0xFFFFFFFFu);
    setting with_wide(&wide), with_huge(&huge);
    env->services()->setting_ptr = &with_wide;
    IAsynTcpListener2* listener = make_listener();
    const std::uint16_t port = listen(listener);
    std::vector<sock_t> fds;
    EXPECT_TRUE(queue_holds(port, 21, 21, fds));

    // Beyond the system's maximum the backlog is capped, not refused.
    env->services()->setting_ptr = &with_huge;
    IAsynTcpListener2* capped = make_listener();
    const std::uint16_t capped_port = listen(capped);
    EXPECT_TRUE(queue_holds(capped_port, 40, 40, fds));
    env->services()->setting_ptr = nullptr;
    for (const sock_t fd : fds) close_sock(fd);
}

TEST_P(TcpSocketTest, ListenOnBusyPortReportsBindError) {
    IAsynTcpListener2* first = make_listener();
    const std::uint16_t port = listen(first);
    IAsynTcpListener2* second = make_listener();
    IAsynIoOperation* op = operation(0);
    env->run([&] { EXPECT_EQ(S_OK, second->ListenOn(htonl(INADDR_LOOPBACK), port, op)); });
    EXPECT_EQ(10048u, sink->wait(op).error);  // WSAEADDRINUSE
    IAsynIoOperation* accept_op = operation(0);
    env->run([&] {
        EXPECT_EQ(E_UNEXPECTED, second->Accept(accept_op));
        EXPECT_EQ(E_UNEXPECTED, first->ListenOn(0, 0, op));
    });
}

TEST_P(TcpSocketTest, ListenerRebindsItsPortWhileOldConnectionsSitInTimeWait) {
    IAsynTcpListener2* first = make_listener();
    const std::uint16_t port = listen(first);
    sock_t client = bad_sock;
    IAsynTcpSocket* server = accept(first, port, client);
    ASSERT_NE(nullptr, server);
    // The server closing first leaves its end, on the listener's port, in TIME_WAIT.
    env->run([&] { EXPECT_EQ(S_OK, server->Close()); });
    std::uint8_t byte = 0;
    EXPECT_EQ(0, recv_bytes(client, &byte, 1));
    close_sock(client);
    clients.back() = -1;
    env->run([&] { EXPECT_EQ(S_OK, first->Close()); });

    IAsynTcpListener2* second = make_listener();
    IAsynIoOperation* op = operation(0);
    env->run([&] { EXPECT_EQ(S_OK, second->ListenOn(0, port, op)); });
    ASSERT_EQ(0u, sink->wait(op).error);
    sock_t again = bad_sock;
    EXPECT_NE(nullptr, accept(second, port, again));
}

TEST_P(TcpSocketTest, ListenOnSameAddressAndPortOfLiveListenerFails) {
    // Address reuse must not let two live listeners share a port.
    IAsynTcpListener2* first = make_listener();
    const std::uint16_t port = listen(first);
    IAsynTcpListener2* second = make_listener();
    IAsynIoOperation* op = operation(0);
    env->run([&] { EXPECT_EQ(S_OK, second->ListenOn(0, port, op)); });
    EXPECT_EQ(10048u, sink->wait(op).error);  // WSAEADDRINUSE
}

TEST_P(TcpSocketTest, FailedAcceptHasNoResultObject) {
    IAsynTcpListener2* listener = make_listener();
    listen(listener);
    IAsynIoOperation* op = operation(0);
    env->run([&] { EXPECT_EQ(S_OK, listener->Accept(op)); });
    env->run([&] { EXPECT_EQ(S_OK, listener->Close()); });
    EXPECT_EQ(995u, sink->wait(op).error);
    IUnknown* object = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(S_OK, op->GetResultObject(&object));
    EXPECT_EQ(nullptr, object);
    env->run([&] { EXPECT_EQ(E_UNEXPECTED, listener->Close()); });
}

// Let go of (last reference, no Close) with an accept in flight: the accept
// ends once, with 995 and no connection, and the port is closed, as a
// released socket's requests end.
TEST_P(TcpSocketTest, ListenerReleasedWithAnAcceptInFlightClosesAndEndsItOnce) {
    IAsynTcpListener2* listener = make_listener();
    const std::uint16_t port = listen(listener);
    IAsynIoOperation* op = operation(0);
    env->run([&] { EXPECT_EQ(S_OK, listener->Accept(op)); });
    EXPECT_FALSE(sink->completed(op));
    owned.erase(std::find(owned.begin(), owned.end(), listener));
    env->run([&] { EXPECT_EQ(0u, listener->Release()); });
    EXPECT_EQ(995u, sink->wait(op).error);
    IUnknown* object = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(S_OK, op->GetResultObject(&object));
    EXPECT_EQ(nullptr, object);
    const sock_t late = connect_client(port);
    EXPECT_EQ(late, bad_sock) << "the released listener still accepts connections";
    if (late != bad_sock) close_sock(late);
    env->wait_until([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_EQ(1, sink->get(op).count);
    // The operation is free for another request.
    IAsynTcpListener2* next = make_listener();
    const std::uint16_t next_port = listen(next);
    sock_t client = bad_sock;
    IAsynIoOperation* again = op;
    env->run([&] { EXPECT_EQ(S_OK, next->Accept(again)); });
    client = connect_client(next_port);
    ASSERT_NE(client, bad_sock);
    clients.push_back(client);
    EXPECT_EQ(0u, sink->wait(again, 2).error);
}

TEST_P(TcpSocketTest, ArgumentAndStateChecks) {
    IAsynTcpSocket* socket = nullptr;
    ASSERT_EQ(S_OK, socket_factory::create_tcp_socket(env->services(), IID_IAsynTcpSocket,
                                                     reinterpret_cast<void**>(&socket)));
    keep(socket);
    IAsynIoOperation* op = operation(16);
    env->run([&] {
        EXPECT_EQ(E_INVALIDARG, socket->SetRecvTimeout(0));
        EXPECT_EQ(E_INVALIDARG, socket->SetRecvBufferSize(0));
        EXPECT_EQ(S_OK, socket->SetRecvBufferSize(65536));
        EXPECT_EQ(E_INVALIDARG, socket->Connect(op, 0, "x", 80, 0));
        EXPECT_EQ(E_UNEXPECTED, socket->Read(op));
        EXPECT_EQ(E_UNEXPECTED, socket->Close());
        DWORD address = 0;
        WORD port = 0;
        EXPECT_EQ(E_FAIL, socket->GetLocalAddress(&address, &port));
        EXPECT_EQ(E_INVALIDARG, socket->GetLocalAddress(nullptr, &port));
    });
    // A port nobody listens on: the connect is refused.
    const sock_t probe = harness::make_listener();
    const std::uint16_t closed_port = harness::local_port(probe);
    close_sock(probe);
    env->run([&] { EXPECT_EQ(S_OK, socket->Connect(op, 9, "127.0.0.1", closed_port, 0)); });
    const auto result = sink->wait(op);
    EXPECT_EQ(10061u, result.error);
    EXPECT_EQ(0u, result.bytes);
    env->run([&] { EXPECT_EQ(E_UNEXPECTED, socket->Connect(op, 9, "127.0.0.1", closed_port, 0)); });
    // The socket made for the connect took the pending receive-buffer size.
    auto* object = static_cast<CAsynTcpSocket*>(socket);
    EXPECT_FALSE(object->socket_device()->recv_buffer_pending());
    env->run([&] { EXPECT_EQ(S_OK, socket->Close()); });
}

TEST_P(TcpSocketTest, CallsOffTheDispatchThreadAreRefused) {
    IAsynTcpSocket* socket = nullptr;
    ASSERT_EQ(S_OK, socket_factory::create_tcp_socket(env->services(), IID_IAsynTcpSocket,
                                                     reinterpret_cast<void**>(&socket)));
    keep(socket);
    IAsynTcpListener2* listener = make_listener();
    IAsynIoOperation* op = operation(16);
    // A thread of its own: in UI-thread modes the test thread is the dispatch thread.
    std::thread([&] {
        DWORD address = 0;
        WORD port = 0;
        EXPECT_EQ(E_ACCESSDENIED, socket->Read(op));
        EXPECT_EQ(E_ACCESSDENIED, socket->ReadFully(op));
        EXPECT_EQ(E_ACCESSDENIED, socket->Connect(op, 9, "127.0.0.1", 80, 0));
        EXPECT_EQ(E_ACCESSDENIED, socket->SetRecvTimeout(10));
        EXPECT_EQ(E_ACCESSDENIED, socket->GetLocalAddress(&address, &port));
        EXPECT_EQ(E_ACCESSDENIED, socket->Close());
        EXPECT_EQ(E_ACCESSDENIED, listener->Listen(0, op));
        EXPECT_EQ(E_ACCESSDENIED, listener->Accept(op));
        EXPECT_EQ(E_ACCESSDENIED, listener->Close());
    }).join();
    EXPECT_FALSE(sink->completed(op));
}

INSTANTIATE_TEST_SUITE_P(Modes, TcpSocketTest, all_modes(), mode_label);

}  // namespace
