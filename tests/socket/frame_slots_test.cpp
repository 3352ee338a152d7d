// The frame's socket factory slots, on a running frame in each engine mode.
#include <cstdlib>

#include "frame/asyn_frame.h"
#include "frame/frame_test_support.h"
#include "socket/socket_objects.h"
#include "socket_test_support.h"

namespace {

using namespace socket_test;
using asynframe::testing_frame::dispatch_mode;
using asynframe::testing_frame::frame_host;

class FrameSocketSlotsTest : public ::testing::TestWithParam<mode> {
protected:
    void SetUp() override {
        // The readiness loop stands in when the ring is not wanted.
        if (GetParam() == mode::alertable) ::setenv("ASYNFRAME_NO_IO_URING", "1", 1);
        frame = new CAsynFrame();
        host = std::make_unique<frame_host>(static_cast<IAsynFrame3*>(frame), static_cast<IAsynFramePlugin*>(frame),
                                            dispatch_mode::port, nullptr);
        ASSERT_EQ(S_OK, host->start());
        ::unsetenv("ASYNFRAME_NO_IO_URING");
        sink = new recording_sink;
    }
    void TearDown() override {
        host->stop();
        frame->Release();
        sink->Release();
    }

    CAsynFrame* frame = nullptr;
    std::unique_ptr<frame_host> host;
    recording_sink* sink = nullptr;
};

TEST_P(FrameSocketSlotsTest, CreatesWorkingSockets) {
    EXPECT_EQ(GetParam() == mode::port, frame->services()->asyn_io_manager_ptr->use_completion_port());
    ASSERT_NE(nullptr, frame->services()->accept_manager_ptr);

    IAsynTcpSocket* tcp = nullptr;
    EXPECT_EQ(E_ACCESSDENIED, frame->CreateTcpSocket(&tcp));
    EXPECT_EQ(E_INVALIDARG, frame->CreateUdpSocket2(nullptr));

    IAsynTcpListener2* listener = nullptr;
    IAsynUdpSocket* udp = nullptr;
    IAsynUdpSocket2* udp2 = nullptr;
    IAsynIcmpSocket* icmp = nullptr;
    IAsynTcpListener* listener1 = nullptr;
    IAsynIoOperation* listen_op = nullptr;
    IAsynIoOperation* accept_op = nullptr;
    host->on_dispatch([&] {
        EXPECT_EQ(S_OK, frame->CreateTcpSocket(&tcp));
        EXPECT_EQ(S_OK, frame->CreateTcpListener(&listener1));
        EXPECT_EQ(S_OK, frame->CreateTcpListener2(&listener));
        EXPECT_EQ(S_OK, frame->CreateUdpSocket(&udp));
        EXPECT_EQ(S_OK, frame->CreateUdpSocket2(&udp2));
        EXPECT_EQ(S_OK, frame->CreateIcmpSocket(&icmp));
        EXPECT_EQ(E_INVALIDARG, frame->CreateIcmpSocket(nullptr));
        EXPECT_EQ(S_OK, frame->CreateOperation(sink, &listen_op));
        EXPECT_EQ(S_OK, frame->CreateOperation(sink, &accept_op));
        listen_op->SetTag(1);
        accept_op->SetTag(2);
        EXPECT_EQ(S_OK, listener->ListenOn(htonl(INADDR_LOOPBACK), 0, listen_op));
    });
    ASSERT_NE(nullptr, listener);
    EXPECT_EQ(0u, sink->wait(listen_op).error);
    WORD port = 0;
    host->on_dispatch([&] {
        port = static_cast<CAsynTcpListener*>(listener)->listening_device()->local_port();
        EXPECT_EQ(S_OK, listener->Accept(accept_op));
    });
    const int client = connect_client(port);
    ASSERT_GE(client, 0);
    EXPECT_EQ(0u, sink->wait(accept_op).error);
    IUnknown* connection = nullptr;
    accept_op->GetResultObject(&connection);
    ASSERT_NE(nullptr, connection);
    IAsynTcpSocket* accepted = nullptr;
    EXPECT_EQ(S_OK, connection->QueryInterface(IID_IAsynTcpSocket, reinterpret_cast<void**>(&accepted)));
    connection->Release();
    accept_op->SetResultObject(nullptr);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, accepted->Close()); });
    ::close(client);

    for (IUnknown* object : std::initializer_list<IUnknown*>{accepted, tcp, listener1, listener, udp, udp2, icmp,
                                                              listen_op, accept_op})
        if (object != nullptr) object->Release();
}

INSTANTIATE_TEST_SUITE_P(Modes, FrameSocketSlotsTest, ::testing::Values(mode::port, mode::alertable), mode_name);

}  // namespace
