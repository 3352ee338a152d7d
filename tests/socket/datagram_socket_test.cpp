// UDP and ICMP sockets over loopback, in every engine mode.
#include <cstring>
#include <thread>
#include <vector>

#include "common/portable.h"
#include "common/socket_fixture.h"
#include "socket/socket_objects.h"

namespace {

using namespace asynframe;
using namespace asynframe::harness;

class DatagramSocketTest : public objects_test {
protected:
    IAsynUdpSocket* make_udp() {
        IAsynUdpSocket* socket = nullptr;
        EXPECT_EQ(S_OK, socket_factory::create_udp_socket(env->services(), IID_IAsynUdpSocket,
                                                           reinterpret_cast<void**>(&socket)));
        return keep(socket);
    }
    // An open socket on 127.0.0.1 with a chosen port.
    IAsynUdpSocket* open_udp(WORD& port) {
        IAsynUdpSocket* socket = make_udp();
        env->run([&] {
            EXPECT_EQ(S_OK, socket->Open(0));
            DWORD address = 1;
            EXPECT_EQ(S_OK, socket->GetLocalAddress(&address, &port));
            EXPECT_EQ(0u, address);
            EXPECT_EQ(S_OK, socket->GetLocalAddress(nullptr, nullptr));
        });
        EXPECT_NE(0, port);
        return socket;
    }
};

TEST_P(DatagramSocketTest, ReceiveReportsSenderAddressAndPort) {
    WORD receiver_port = 0, sender_port = 0;
    IAsynUdpSocket* receiver = open_udp(receiver_port);
    IAsynUdpSocket* sender = open_udp(sender_port);

    IAsynIoOperation* read = operation(1500);
    IAsynIoOperation* write = operation(4);
    std::memcpy(buffer_of(write), "ping", 4);
    write->SetAddress(htonl(INADDR_LOOPBACK), receiver_port);
    env->run([&] {
        EXPECT_EQ(S_OK, receiver->Read(read));
        EXPECT_EQ(S_OK, sender->Write(write));
    });
    EXPECT_EQ(4u, sink->wait(write).bytes);
    const auto result = sink->wait(read);
    EXPECT_EQ(0u, result.error);
    EXPECT_EQ(4u, result.bytes);
    EXPECT_EQ(0, std::memcmp(buffer_of(read), "ping", 4));
    DWORD address = 0;
    WORD port = 0;
    read->GetAddress(&address, &port);
    EXPECT_EQ(htonl(INADDR_LOOPBACK), address);
    EXPECT_EQ(sender_port, port);
}

TEST_P(DatagramSocketTest, ZeroLengthDatagramCompletesWithNoBytes) {
    WORD port = 0;
    IAsynUdpSocket* receiver = open_udp(port);
    IAsynIoOperation* read = operation(64);
    env->run([&] { EXPECT_EQ(S_OK, receiver->Read(read)); });
    const sock_t plain = udp_sock();
    const sockaddr_in target = loopback(port);
    ASSERT_EQ(0, send_to(plain, "", 0, target));
    close_sock(plain);
    const auto result = sink->wait(read);
    EXPECT_EQ(0u, result.error);
    EXPECT_EQ(0u, result.bytes);
}

// The part that fits is kept and the loss is reported (WSAEMSGSIZE), never a
// silent success with a cut datagram.
TEST_P(DatagramSocketTest, ADatagramLargerThanTheRangeReportsMessageTooLong) {
    WORD port = 0;
    IAsynUdpSocket* receiver = open_udp(port);
    IAsynIoOperation* read = operation(10);
    env->run([&] { EXPECT_EQ(S_OK, receiver->Read(read)); });
    const sock_t plain = udp_sock();
    const sockaddr_in target = loopback(port);
    const char text[] = "0123456789abcdefghij";
    ASSERT_EQ(20, send_to(plain, text, 20, target));
    const auto result = sink->wait(read);
    EXPECT_EQ(10040u, result.error);
    EXPECT_EQ(10u, result.bytes);
    EXPECT_EQ(0, std::memcmp(buffer_of(read), text, 10));
    // The next datagram arrives whole.
    env->run([&] { EXPECT_EQ(S_OK, receiver->Read(read)); });
    ASSERT_EQ(5, send_to(plain, "tiny!", 5, target));
    close_sock(plain);
    const auto second = sink->wait(read, 2);
    EXPECT_EQ(0u, second.error);
    EXPECT_EQ(5u, second.bytes);
}

TEST_P(DatagramSocketTest, BroadcastIsAllowed) {
    WORD port = 0;
    IAsynUdpSocket* socket = open_udp(port);
    IAsynIoOperation* write = operation(3);
    // The loopback network's broadcast address is refused without SO_BROADCAST.
    write->SetAddress(htonl(0x7FFFFFFFu), port);
    env->run([&] { EXPECT_EQ(S_OK, socket->Write(write)); });
    const auto result = sink->wait(write);
    EXPECT_EQ(0u, result.error);
    EXPECT_EQ(3u, result.bytes);
}

TEST_P(DatagramSocketTest, SendToClosedPortDoesNotFailLaterReceive) {
    WORD port = 0, peer_port = 0;
    IAsynUdpSocket* socket = open_udp(port);
    IAsynUdpSocket* peer = open_udp(peer_port);
    // A port nobody listens on any more.
    const sock_t gone = udp_sock();
    sockaddr_in bound = loopback(0);
    ::bind(gone, reinterpret_cast<sockaddr*>(&bound), sizeof bound);
    sock_len length = sizeof bound;
    ::getsockname(gone, reinterpret_cast<sockaddr*>(&bound), &length);
    close_sock(gone);

    IAsynIoOperation* lost = operation(8);
    lost->SetAddress(htonl(INADDR_LOOPBACK), ntohs(bound.sin_port));
    env->run([&] { EXPECT_EQ(S_OK, socket->Write(lost)); });
    EXPECT_EQ(0u, sink->wait(lost).error);

    IAsynIoOperation* read = operation(64);
    IAsynIoOperation* write = operation(5);
    std::memcpy(buffer_of(write), "after", 5);
    write->SetAddress(htonl(INADDR_LOOPBACK), port);
    env->run([&] {
        EXPECT_EQ(S_OK, socket->Read(read));
        EXPECT_EQ(S_OK, peer->Write(write));
    });
    const auto result = sink->wait(read);
    EXPECT_EQ(0u, result.error);
    EXPECT_EQ(5u, result.bytes);
}

TEST_P(DatagramSocketTest, OpenResultsOfBothInterfaces) {
    WORD busy_port = 0;
    open_udp(busy_port);
    IAsynUdpSocket* first = make_udp();
    IAsynUdpSocket2* second = nullptr;
    ASSERT_EQ(S_OK, socket_factory::create_udp_socket(env->services(), IID_IAsynUdpSocket2,
                                                     reinterpret_cast<void**>(&second)));
    keep(second);
    IAsynIoOperation* op = operation(0);
    env->run([&] {
        EXPECT_EQ(E_FAIL, first->Open(busy_port));
        EXPECT_EQ(S_OK, second->Open(0, busy_port, op));
    });
    EXPECT_EQ(10048u, sink->wait(op).error);  // WSAEADDRINUSE

    IAsynUdpSocket2* fresh = nullptr;
    ASSERT_EQ(S_OK, socket_factory::create_udp_socket(env->services(), IID_IAsynUdpSocket2,
                                                     reinterpret_cast<void**>(&fresh)));
    keep(fresh);
    IAsynIoOperation* fresh_op = operation(0);
    env->run([&] { EXPECT_EQ(S_OK, fresh->Open(htonl(INADDR_LOOPBACK), 0, fresh_op)); });
    EXPECT_EQ(0u, sink->wait(fresh_op).error);
    env->run([&] {
        DWORD address = 0;
        EXPECT_EQ(S_OK, fresh->GetLocalAddress(&address, nullptr));
        EXPECT_EQ(htonl(INADDR_LOOPBACK), address);
        EXPECT_EQ(E_UNEXPECTED, fresh->Open(0, 0, fresh_op));
        EXPECT_EQ(S_OK, fresh->Close());
        EXPECT_EQ(E_UNEXPECTED, fresh->Close());
    });
    // Off the dispatch thread, which in UI-thread modes is the test thread.
    std::thread([&] { EXPECT_EQ(E_ACCESSDENIED, first->Open(0)); }).join();
}

std::uint16_t icmp_checksum(const std::uint8_t* data, std::size_t length) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < length; i += 2) sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
    if (length % 2 != 0) sum += static_cast<std::uint32_t>(data[length - 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

TEST_P(DatagramSocketTest, IcmpEchoToLoopback) {
    IAsynIcmpSocket* icmp = nullptr;
    ASSERT_EQ(S_OK, socket_factory::create_icmp_socket(env->services(), IID_IAsynIcmpSocket,
                                                      reinterpret_cast<void**>(&icmp)));
    keep(icmp);
    HRESULT opened = E_FAIL;
    env->run([&] {
        EXPECT_EQ(E_UNEXPECTED, icmp->SetTtl(64));
        opened = icmp->Open();
    });
    if (opened != S_OK) GTEST_SKIP() << "raw ICMP sockets need root (or CAP_NET_RAW) here";
    env->run([&] {
        EXPECT_EQ(S_OK, icmp->SetTtl(0x140));  // the low byte: 64
        EXPECT_EQ(E_UNEXPECTED, icmp->Open());
    });

    IAsynIoOperation* echo = operation(16);
    std::uint8_t* message = buffer_of(echo);
    std::memset(message, 0, 16);
    message[0] = 8;  // echo request
    message[4] = 0x12;
    message[5] = 0x34;  // identifier
    message[7] = 1;     // sequence
    std::memcpy(message + 8, "asynfram", 8);
    const std::uint16_t checksum = icmp_checksum(message, 16);
    message[2] = static_cast<std::uint8_t>(checksum >> 8);
    message[3] = static_cast<std::uint8_t>(checksum);
    echo->SetAddress(htonl(INADDR_LOOPBACK), 0);
    env->run([&] { EXPECT_EQ(S_OK, icmp->Write(echo)); });
    EXPECT_EQ(16u, sink->wait(echo).bytes);

    // The raw socket sees every ICMP message on loopback, the request too:
    // read until the reply, which arrives with its IP header.
    IAsynIoOperation* reply = operation(1500);
    bool answered = false;
    for (int attempt = 1; attempt <= 4 && !answered; ++attempt) {
        env->run([&] { EXPECT_EQ(S_OK, icmp->Read(reply)); });
        const auto result = sink->wait(reply, attempt);
        ASSERT_EQ(0u, result.error);
        const std::uint8_t* packet = buffer_of(reply);
        ASSERT_GE(result.bytes, 20u + 16u);
        ASSERT_EQ(0x45, packet[0]);  // IPv4, 20-byte header
        answered = packet[20] == 0 && packet[24] == 0x12 && packet[25] == 0x34;
        if (answered) {
            EXPECT_EQ(0, std::memcmp(packet + 28, "asynfram", 8));
        }
    }
    EXPECT_TRUE(answered);
}

INSTANTIATE_TEST_SUITE_P(Modes, DatagramSocketTest, all_modes(), mode_label);

}  // namespace
