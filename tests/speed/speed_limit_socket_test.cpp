// The limited socket over real loopback connections in every engine mode:
// achieved rates against one limiter and against a shared parent, parked
// requests and their timers, whole-range transfers, and the frame's slots.
#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include "common/frame_fixture.h"
#include "common/socket_fixture.h"
#include "speed/speed_limit_socket.h"

namespace {

using namespace asynframe;
using namespace asynframe::harness;
using clock_type = std::chrono::steady_clock;

constexpr DWORD mebibyte = 1024 * 1024;
constexpr DWORD read_size = 64 * 1024;
constexpr DWORD operation_aborted = 995;

// Writes as fast as the connection takes it until stopped.
class flood {
public:
    explicit flood(test_socket fd) : _fd(fd) {
        const int size = 4 * 1024 * 1024;
        ::setsockopt(_fd, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size), sizeof size);
        _thread = std::thread([this] { run(); });
    }
    ~flood() {
        _running = false;
        ::shutdown(_fd, shut_both);
        _thread.join();
    }

private:
    void run() {
        std::vector<char> chunk(256 * 1024, 'f');
        while (_running && send_some(_fd, chunk.data(), chunk.size()) > 0) {
        }
    }
    test_socket _fd;
    std::atomic<bool> _running{true};
    std::thread _thread;
};

class LimitedSocketTest : public FrameTest {
protected:
    void SetUp() override {
        FrameTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ops = new recording_sink(host->waiter());
        listener = make_listener();
    }
    void TearDown() override {
        if (ops != nullptr) {
            host->on_dispatch([&] {
                for (IUnknown* object : objects) object->Release();
            });
            for (IAsynIoOperation* op : operations) op->Release();
            ops->Release();
        }
        for (test_socket fd : servers) close_socket(fd);
        if (socket_valid(listener)) close_socket(listener);
        FrameTest::TearDown();
    }

    ISpeedLimit* limiter(DWORD limit, ISpeedLimit* parent = nullptr) {
        ISpeedLimit* made = nullptr;
        EXPECT_EQ(S_OK, frame()->CreateSpeedLimit(&made));
        made->SetLimit(limit);
        if (parent != nullptr) {
            EXPECT_EQ(S_OK, made->SetParent(parent));
        }
        objects.push_back(made);
        return made;
    }
    // A connected TCP socket of the frame wrapped in a limited one; the far
    // end's descriptor in `server`.
    IAsynTcpSocket* limited(ISpeedLimit* read_limit, ISpeedLimit* write_limit, test_socket& server) {
        IAsynTcpSocket* inner = nullptr;
        IAsynIoOperation* connecting = operation(0);
        host->on_dispatch([&] {
            ASSERT_EQ(S_OK, frame()->CreateTcpSocket(&inner));
            // Room for several quarters of data: every grant finds its bytes
            // waiting, however late the sender runs.
            EXPECT_EQ(S_OK, inner->SetRecvBufferSize(4 * mebibyte));
            EXPECT_EQ(S_OK, inner->Connect(connecting, 9, "127.0.0.1", local_port(listener), 0));
        });
        EXPECT_EQ(0u, ops->wait(connecting).error);
        server = accept_socket(listener);
        EXPECT_TRUE(socket_valid(server));
        servers.push_back(server);
        IAsynTcpSocket* socket = nullptr;
        EXPECT_EQ(S_OK, frame()->CreateSpeedLimitSocket(inner, read_limit, write_limit, &socket));
        host->on_dispatch([&] { inner->Release(); });  // the limited socket keeps its own
        objects.push_back(socket);
        return socket;
    }
    IAsynIoOperation* operation(DWORD size) {
        IAsynIoOperation* op = make_operation(ops);
        op->SetTag(0);
        if (size != 0) {
            op->AllocBuffer(size);
            op->SetRange(0, size);
        }
        operations.push_back(op);
        return op;
    }
    static CAsynSpeedLimitSocket* object_of(IAsynTcpSocket* socket) {
        return static_cast<CAsynSpeedLimitSocket*>(socket);
    }
    // Reads until the limiter refuses, so that the next read is parked.
    void read_until_parked(IAsynTcpSocket* socket, IAsynIoOperation* op) {
        for (int i = 0; i < 20 && !object_of(socket)->read_parked(); ++i) {
            const int before = ops->get(op).count;
            host->on_dispatch([&] { EXPECT_EQ(S_OK, socket->Read(op)); });
            if (object_of(socket)->read_parked()) break;
            ops->wait(op, before + 1);
        }
    }

    recording_sink* ops = nullptr;
    test_socket listener = invalid_test_socket;
    std::vector<test_socket> servers;
    std::vector<IUnknown*> objects;
    std::vector<IAsynIoOperation*> operations;
};

TEST_P(LimitedSocketTest, ReadsKeepToTheirLimitAndToASharedParentOverTenSeconds) {
    ISpeedLimit* alone = limiter(mebibyte);
    ISpeedLimit* parent = limiter(mebibyte);
    ISpeedLimit* first_child = limiter(700 * 1024, parent);
    ISpeedLimit* second_child = limiter(700 * 1024, parent);
    test_socket fds[3];
    IAsynTcpSocket* sockets[3] = {limited(alone, nullptr, fds[0]), limited(first_child, nullptr, fds[1]),
                                  limited(second_child, nullptr, fds[2])};
    flood floods[3] = {flood(fds[0]), flood(fds[1]), flood(fds[2])};

    std::map<IAsynIoOperation*, int> which;
    std::atomic<std::uint64_t> received[3] = {0, 0, 0};
    std::atomic<bool> reading{true};
    std::atomic<int> failures{0};
    IAsynIoOperation* reads[3];
    for (int i = 0; i < 3; ++i) {
        reads[i] = operation(read_size);
        which[reads[i]] = i;
    }
    ops->hook = [&](IAsynIoOperation* op, DWORD error, DWORD bytes) {
        const auto found = which.find(op);
        if (found == which.end()) return;
        if (error != 0 || bytes == 0) {
            if (reading) ++failures;
            return;
        }
        received[found->second] += bytes;
        op->SetRange(0, read_size);
        if (reading) sockets[found->second]->Read(op);
    };
    host->on_dispatch([&] {
        for (int i = 0; i < 3; ++i) EXPECT_EQ(S_OK, sockets[i]->Read(reads[i]));
    });
    // Measured once the limiters' window (2.5 s) is full: a new limiter lets
    // the first quarter catch up on the empty window before it.
    const auto began = clock_type::now();
    host->run_until([&] { return clock_type::now() - began >= std::chrono::milliseconds(2500); },
                    std::chrono::seconds(5));
    std::uint64_t before[3];
    for (int i = 0; i < 3; ++i) before[i] = received[i].load();
    const auto start = clock_type::now();
    host->run_until([&] { return clock_type::now() - start >= std::chrono::seconds(10); }, std::chrono::seconds(15));
    std::uint64_t totals[3];
    for (int i = 0; i < 3; ++i) totals[i] = received[i].load() - before[i];
    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    reading = false;
    host->on_dispatch([&] {
        for (IAsynTcpSocket* socket : sockets) socket->Close();
        ops->hook = nullptr;
    });

    const double alone_rate = totals[0] / seconds;
    const double shared_rate = (totals[1] + totals[2]) / seconds;
    std::printf("achieved: alone %.0f B/s, shared parent %.0f B/s (children %.0f and %.0f B/s)\n", alone_rate,
                shared_rate, totals[1] / seconds, totals[2] / seconds);
    EXPECT_EQ(0, failures.load());
    EXPECT_NEAR(alone_rate, mebibyte, 0.05 * mebibyte);
    EXPECT_NEAR(shared_rate, mebibyte, 0.05 * mebibyte);
    for (int i = 1; i < 3; ++i) EXPECT_LE(totals[i] / seconds, 1.05 * 700 * 1024);
}

TEST_P(LimitedSocketTest, AParkedReadWaitsForItsTimerAndACloseAbandonsIt) {
    ISpeedLimit* slow = limiter(4000);
    test_socket server = invalid_test_socket;
    IAsynTcpSocket* socket = limited(slow, nullptr, server);
    std::vector<char> data(20000, 'p');
    ASSERT_TRUE(send_all(server, reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
    IAsynIoOperation* op = operation(read_size);
    IAsynIoOperation* other = operation(read_size);

    read_until_parked(socket, op);
    ASSERT_TRUE(object_of(socket)->read_parked());
    host->on_dispatch([&] { EXPECT_EQ(E_UNEXPECTED, socket->Read(other)); });
    const int before = ops->get(op).count;
    const auto parked_at = clock_type::now();
    // The timer issues the read once the next quota comes.
    const auto done = ops->wait(op, before + 1);
    EXPECT_GE(clock_type::now() - parked_at, std::chrono::milliseconds(100));
    EXPECT_EQ(0u, done.error);
    EXPECT_GT(done.bytes, 0u);
    EXPECT_LE(done.bytes, 2000u);
    DWORD start = 1, length = 0;
    op->GetRange(&start, &length);
    EXPECT_EQ(0u, start);
    EXPECT_EQ(read_size, length);  // the caller's range, not the grant

    read_until_parked(socket, op);
    ASSERT_TRUE(object_of(socket)->read_parked());
    const int parked_count = ops->get(op).count;
    host->on_dispatch([&] { EXPECT_EQ(S_OK, socket->Close()); });
    EXPECT_FALSE(object_of(socket)->read_parked());
    // The parked read completes once, with 995, and its timer never fires.
    EXPECT_EQ(operation_aborted, ops->wait(op, parked_count + 1).error);
    host->run_until([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(parked_count + 1, ops->get(op).count);
    host->on_dispatch([&] {
        EXPECT_EQ(E_UNEXPECTED, socket->Read(other));
        EXPECT_EQ(E_UNEXPECTED, socket->Write(other));
        EXPECT_EQ(E_UNEXPECTED, socket->Close());  // closed twice
    });
    EXPECT_TRUE(peer_closed(server));
    // The caller's operation is still its own: it connects another socket.
    IAsynTcpSocket* next = nullptr;
    host->on_dispatch([&] {
        ASSERT_EQ(S_OK, frame()->CreateTcpSocket(&next));
        EXPECT_EQ(S_OK, next->Connect(op, 9, "127.0.0.1", local_port(listener), 0));
    });
    EXPECT_EQ(0u, ops->wait(op, parked_count + 2).error);
    objects.push_back(next);
}

TEST_P(LimitedSocketTest, WholeRangeTransfersAreLimitedPieceByPiece) {
    ISpeedLimit* reads = limiter(4000);
    ISpeedLimit* writes = limiter(4000);
    test_socket server = invalid_test_socket;
    IAsynTcpSocket* socket = limited(reads, writes, server);
    constexpr DWORD size = 6000;
    std::vector<std::uint8_t> data(size);
    for (DWORD i = 0; i < size; ++i) data[i] = pattern_byte(i, 3);
    ASSERT_TRUE(send_all(server, data.data(), size));

    IAsynIoOperation* whole = operation(size);
    auto began = clock_type::now();
    host->on_dispatch([&] { EXPECT_EQ(S_OK, socket->ReadFully(whole)); });
    auto result = ops->wait(whole);
    // No quarter grants more than 2000 bytes, so the transfer spans at least
    // three quarters, two whole boundaries apart (the first may end at once).
    EXPECT_GE(clock_type::now() - began, std::chrono::milliseconds(240));
    EXPECT_EQ(0u, result.error);
    EXPECT_EQ(size, result.bytes);
    BYTE* buffer = nullptr;
    DWORD length = 0;
    whole->GetBuffer(&buffer, &length);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer));
    DWORD speed = 0;
    reads->GetSpeed(&speed);
    EXPECT_GT(speed, 0u);

    began = clock_type::now();
    host->on_dispatch([&] { EXPECT_EQ(S_OK, socket->WriteFully(whole)); });
    result = ops->wait(whole, 2);
    EXPECT_GE(clock_type::now() - began, std::chrono::milliseconds(240));
    EXPECT_EQ(size, result.bytes);
    std::vector<std::uint8_t> echoed(size);
    ASSERT_TRUE(recv_all(server, echoed.data(), size));
    EXPECT_EQ(data, echoed);
}

TEST_P(LimitedSocketTest, ReleasedWithRequestsParkedOrInFlightItCompletesThemAndCloses) {
    ISpeedLimit* slow = limiter(4000);
    test_socket server = invalid_test_socket;
    IAsynTcpSocket* socket = limited(slow, slow, server);
    std::vector<char> data(20000, 'q');
    ASSERT_TRUE(send_all(server, reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
    IAsynIoOperation* op = operation(read_size);
    read_until_parked(socket, op);
    ASSERT_TRUE(object_of(socket)->read_parked());
    const int before = ops->get(op).count;
    // The caller lets go: its timer does not keep the socket, the parked read
    // completes once with 995 and the connection closes.
    objects.erase(std::find(objects.begin(), objects.end(), socket));
    host->on_dispatch([&] { socket->Release(); });
    EXPECT_EQ(operation_aborted, ops->wait(op, before + 1).error);
    EXPECT_TRUE(peer_closed(server));
    host->run_until([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(before + 1, ops->get(op).count);

    // A read in flight (granted, waiting for data) holds no reference either.
    IAsynTcpSocket* second = limited(slow, nullptr, server);
    IAsynIoOperation* waiting = operation(16);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, second->Read(waiting)); });
    objects.erase(std::find(objects.begin(), objects.end(), second));
    host->on_dispatch([&] { second->Release(); });
    EXPECT_EQ(operation_aborted, ops->wait(waiting).error);
    EXPECT_TRUE(peer_closed(server));

    // Released from a host thread with a read parked: the same, once the
    // dispatch thread next runs.
    IAsynTcpSocket* third = limited(slow, nullptr, server);
    ASSERT_TRUE(send_all(server, reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
    IAsynIoOperation* third_op = operation(read_size);
    read_until_parked(third, third_op);
    ASSERT_TRUE(object_of(third)->read_parked());
    const int third_before = ops->get(third_op).count;
    objects.erase(std::find(objects.begin(), objects.end(), third));
    std::thread([&] { third->Release(); }).join();
    EXPECT_EQ(operation_aborted, ops->wait(third_op, third_before + 1).error);
    EXPECT_TRUE(peer_closed(server));
    host->run_until([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(third_before + 1, ops->get(third_op).count);

    // Parked again and released, then the frame stops under it: nothing is
    // left (checked by the fixture).
    IAsynTcpSocket* last = limited(slow, nullptr, server);
    ASSERT_TRUE(send_all(server, reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
    IAsynIoOperation* last_op = operation(read_size);
    read_until_parked(last, last_op);
    ASSERT_TRUE(object_of(last)->read_parked());
    objects.erase(std::find(objects.begin(), objects.end(), last));
    host->on_dispatch([&] { last->Release(); });
}

TEST_P(LimitedSocketTest, FrameSlotsCheckTheirArguments) {
    EXPECT_EQ(E_INVALIDARG, frame()->CreateSpeedLimit(nullptr));
    ISpeedLimit* made = nullptr;
    // Any thread may make limiters and limited sockets.
    std::thread([&] { EXPECT_EQ(S_OK, frame()->CreateSpeedLimit(&made)); }).join();
    ASSERT_NE(nullptr, made);
    objects.push_back(made);
    IAsynTcpSocket* socket = nullptr;
    EXPECT_EQ(E_INVALIDARG, frame()->CreateSpeedLimitSocket(nullptr, made, made, &socket));
    test_socket server = invalid_test_socket;
    IAsynTcpSocket* limited_socket = limited(nullptr, nullptr, server);
    EXPECT_EQ(E_INVALIDARG, frame()->CreateSpeedLimitSocket(limited_socket, made, made, nullptr));
    IAsynIoDevice* device = nullptr;
    EXPECT_EQ(S_OK, limited_socket->QueryInterface(IID_IAsynIoDevice, reinterpret_cast<void**>(&device)));
    EXPECT_EQ(static_cast<IAsynIoDevice*>(limited_socket), device);
    host->on_dispatch([&] { device->Release(); });
    // Without limiters reads pass straight through.
    ASSERT_EQ(4, send_some(server, "abcd", 4));
    IAsynIoOperation* op = operation(16);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, limited_socket->Read(op)); });
    EXPECT_EQ(4u, ops->wait(op).bytes);
    DWORD address = 0;
    WORD port = 0;
    host->on_dispatch([&] { EXPECT_EQ(S_OK, limited_socket->GetPeerAddress(&address, &port)); });
    EXPECT_EQ(local_port(listener), port);
    // The text face is the wrapped socket's too.
    IAsynTcpSocket2* text = nullptr;
    ASSERT_EQ(S_OK, limited_socket->QueryInterface(IID_IAsynTcpSocket2, reinterpret_cast<void**>(&text)));
    objects.push_back(text);
    text_receiver peer;
    port = 0;
    host->on_dispatch([&] { EXPECT_EQ(S_OK, text->GetPeerAddressText(&peer, &port)); });
    EXPECT_EQ("127.0.0.1", peer.text);
    EXPECT_EQ(local_port(listener), port);
}

INSTANTIATE_TEST_SUITE_P(Modes, LimitedSocketTest, all_modes(), mode_label);

}  // namespace
