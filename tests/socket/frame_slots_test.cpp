// The frame's socket factory slots, on a running frame in each engine mode.
#include <thread>

#include "common/frame_fixture.h"
#include "common/portable.h"
#include "common/socket_fixture.h"
#include "socket/socket_objects.h"

namespace {

using namespace asynframe;
using namespace asynframe::harness;

class FrameSocketSlotsTest : public FrameTest {
protected:
    void SetUp() override {
        FrameTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        slots_sink = new recording_sink(host->waiter());
    }
    void TearDown() override {
        if (slots_sink != nullptr) slots_sink->Release();
        FrameTest::TearDown();
    }

    recording_sink* slots_sink = nullptr;
};

TEST_P(FrameSocketSlotsTest, CreatesWorkingSockets) {
    ASSERT_NE(nullptr, object()->services()->accept_manager_ptr);

    IAsynTcpSocket* tcp = nullptr;
    std::thread([&] {
        EXPECT_EQ(E_ACCESSDENIED, frame()->CreateTcpSocket(&tcp));
        EXPECT_EQ(E_INVALIDARG, frame()->CreateUdpSocket2(nullptr));
    }).join();

    IAsynTcpListener2* listener = nullptr;
    IAsynUdpSocket* udp = nullptr;
    IAsynUdpSocket2* udp2 = nullptr;
    IAsynIcmpSocket* icmp = nullptr;
    IAsynTcpListener* listener1 = nullptr;
    IAsynIoOperation* listen_op = nullptr;
    IAsynIoOperation* accept_op = nullptr;
    host->on_dispatch([&] {
        EXPECT_EQ(S_OK, frame()->CreateTcpSocket(&tcp));
        EXPECT_EQ(S_OK, frame()->CreateTcpListener(&listener1));
        EXPECT_EQ(S_OK, frame()->CreateTcpListener2(&listener));
        EXPECT_EQ(S_OK, frame()->CreateUdpSocket(&udp));
        EXPECT_EQ(S_OK, frame()->CreateUdpSocket2(&udp2));
        EXPECT_EQ(S_OK, frame()->CreateIcmpSocket(&icmp));
        EXPECT_EQ(E_INVALIDARG, frame()->CreateIcmpSocket(nullptr));
        EXPECT_EQ(S_OK, frame()->CreateOperation(slots_sink, &listen_op));
        EXPECT_EQ(S_OK, frame()->CreateOperation(slots_sink, &accept_op));
        listen_op->SetTag(1);
        accept_op->SetTag(2);
        EXPECT_EQ(S_OK, listener->ListenOn(htonl(INADDR_LOOPBACK), 0, listen_op));
    });
    ASSERT_NE(nullptr, listener);
    EXPECT_EQ(0u, slots_sink->wait(listen_op).error);
    WORD port = 0;
    host->on_dispatch([&] {
        port = static_cast<CAsynTcpListener*>(listener)->listening_device()->local_port();
        EXPECT_EQ(S_OK, listener->Accept(accept_op));
    });
    const sock_t client = connect_client(port);
    ASSERT_NE(client, bad_sock);
    EXPECT_EQ(0u, slots_sink->wait(accept_op).error);
    IUnknown* connection = nullptr;
    accept_op->GetResultObject(&connection);
    ASSERT_NE(nullptr, connection);
    IAsynTcpSocket* accepted = nullptr;
    EXPECT_EQ(S_OK, connection->QueryInterface(IID_IAsynTcpSocket, reinterpret_cast<void**>(&accepted)));
    connection->Release();
    accept_op->SetResultObject(nullptr);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, accepted->Close()); });
    close_sock(client);

    for (IUnknown* item : std::initializer_list<IUnknown*>{accepted, tcp, listener1, listener, udp, udp2, icmp,
                                                            listen_op, accept_op})
        if (item != nullptr) item->Release();
}

// An operation that is not ready (its tag still -1) cannot carry the outcome
// of an open or a listen: the call is refused and nothing is left open.
TEST_P(FrameSocketSlotsTest, OpenAndListenRefuseAnOperationThatIsNotReady) {
    IAsynUdpSocket2* udp = nullptr;
    IAsynTcpListener2* listener = nullptr;
    IAsynIoOperation* not_ready = make_operation(slots_sink);  // tag still -1
    IAsynIoOperation* ready = make_operation(slots_sink);
    ready->SetTag(0);
    host->on_dispatch([&] {
        ASSERT_EQ(S_OK, frame()->CreateUdpSocket2(&udp));
        ASSERT_EQ(S_OK, frame()->CreateTcpListener2(&listener));
        EXPECT_EQ(E_INVALIDARG, udp->Open(htonl(INADDR_LOOPBACK), 0, not_ready));
        EXPECT_EQ(E_INVALIDARG, listener->ListenOn(htonl(INADDR_LOOPBACK), 0, not_ready));
        // Not listening after the refusal: a second try with a ready operation works.
        EXPECT_EQ(S_OK, listener->ListenOn(htonl(INADDR_LOOPBACK), 0, ready));
    });
    EXPECT_EQ(0u, slots_sink->wait(ready).error);
    ready->SetTag(0);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, udp->Open(htonl(INADDR_LOOPBACK), 0, ready)); });
    EXPECT_EQ(0u, slots_sink->wait(ready, 2).error);
    EXPECT_FALSE(slots_sink->completed(not_ready));
    host->on_dispatch([&] {
        listener->Release();
        udp->Release();
    });
    not_ready->Release();
    ready->Release();
}

TEST_P(FrameSocketSlotsTest, ConnectsGoThroughTheSchedulerAndItsLimits) {
    EXPECT_EQ(E_INVALIDARG, frame()->SetMaxSynCount(0));
    EXPECT_EQ(E_INVALIDARG, frame()->GetSynCount(nullptr));
    DWORD value = 0;
    // Any thread may read and set the limits.
    std::thread([&] {
        EXPECT_EQ(S_OK, frame()->GetMaxSynCount(&value));
        EXPECT_EQ(58u, value);
        EXPECT_EQ(S_OK, frame()->SetMaxConnection(5000));
        EXPECT_EQ(S_OK, frame()->GetMaxConnection(&value));
        EXPECT_EQ(1000u, value);
        EXPECT_EQ(S_OK, frame()->SetMaxSynCount(10));
        EXPECT_EQ(S_OK, frame()->GetMaxSynCount(&value));
        EXPECT_EQ(8u, value);
    }).join();

    const sock_t listener = make_listener();
    IAsynTcpSocket* tcp = nullptr;
    IAsynIoOperation* op = make_operation(slots_sink);
    op->SetTag(0);
    host->on_dispatch([&] {
        ASSERT_EQ(S_OK, frame()->CreateTcpSocket(&tcp));
        EXPECT_EQ(S_OK, tcp->Connect(op, 10, "127.0.0.1.", local_port(listener), 0));
    });
    EXPECT_EQ(0u, slots_sink->wait(op).error);
    EXPECT_EQ(S_OK, frame()->GetConnectionCount(&value));
    EXPECT_EQ(1u, value);
    EXPECT_EQ(S_OK, frame()->GetSynCount(&value));
    EXPECT_EQ(0u, value);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, tcp->Close()); });
    EXPECT_EQ(S_OK, frame()->GetConnectionCount(&value));
    EXPECT_EQ(0u, value);
    host->on_dispatch([&] { tcp->Release(); });
    op->Release();
    close_sock(listener);
}

INSTANTIATE_TEST_SUITE_P(Modes, FrameSocketSlotsTest, all_modes(), mode_label);

}  // namespace
