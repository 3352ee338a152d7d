// TCP, listeners and UDP over IPv6 loopback through the text-address
// interfaces, and IPv4 clients of a dual-stack listener, in every engine mode.
#include <cstring>
#include <string>

#include "asynframe/com_helpers.h"
#include "common/socket_fixture.h"
#include "component/string_setter.h"
#include "socket/socket_objects.h"

namespace {

using namespace asynframe;
using namespace asynframe::harness;

class Ipv6SocketTest : public objects_test {
protected:
    void after_release() override {
        for (const test_socket fd : plain) close_socket(fd);
    }

    template <class Getter>
    std::string text_of(Getter get, WORD& port) {
        std::string text;
        auto* setter = new CStringSetter(text);
        HRESULT hr = E_FAIL;
        env->run([&] { hr = get(setter, &port); });
        setter->Release();
        return hr == S_OK ? text : "(" + std::to_string(hr) + ")";
    }

    IAsynTcpListener3* listen_on(const std::string& address, WORD& port) {
        IAsynTcpListener3* listener = nullptr;
        EXPECT_EQ(S_OK, socket_factory::create_tcp_listener(env->services(), IID_IAsynTcpListener3,
                                                             reinterpret_cast<void**>(&listener)));
        keep(listener);
        IAsynIoOperation* op = operation(0);
        env->run([&] {
            EXPECT_EQ(S_OK, listener->ListenOnAddress(static_cast<DWORD>(address.size()), address.data(), 0, op));
        });
        EXPECT_EQ(0u, sink->wait(op).error);
        EXPECT_EQ(address, text_of([&](IStringSetter* s, WORD* p) { return listener->GetLocalAddress(s, p); }, port));
        EXPECT_NE(0, port);
        return listener;
    }

    IAsynTcpSocket2* make_tcp() {
        IAsynTcpSocket2* socket = nullptr;
        EXPECT_EQ(S_OK, socket_factory::create_tcp_socket(env->services(), IID_IAsynTcpSocket2,
                                                           reinterpret_cast<void**>(&socket)));
        return keep(socket);
    }

    // Completes with the connect's error.
    DWORD connect(IAsynTcpSocket2* socket, const std::string& host, WORD port) {
        IAsynIoOperation* op = operation(0);
        env->run([&] {
            EXPECT_EQ(S_OK, socket->Connect(op, static_cast<DWORD>(host.size()), host.data(), port, 0));
        });
        return sink->wait(op).error;
    }

    IAsynIoOperation* start_accept(IAsynTcpListener3* listener) {
        IAsynIoOperation* op = operation(0);
        env->run([&] { EXPECT_EQ(S_OK, listener->Accept(op)); });
        return op;
    }

    IAsynTcpSocket2* accepted(IAsynIoOperation* op) {
        EXPECT_EQ(0u, sink->wait(op).error);
        IUnknown* object = nullptr;
        op->GetResultObject(&object);
        IAsynTcpSocket2* socket = nullptr;
        if (object != nullptr) {
            EXPECT_EQ(S_OK, object->QueryInterface(IID_IAsynTcpSocket2, reinterpret_cast<void**>(&socket)));
            object->Release();
        }
        op->SetResultObject(nullptr);
        return socket != nullptr ? keep(socket) : nullptr;
    }

    // `from` writes `bytes`, `to` reads them.
    void pass(IAsynTcpSocket2* from, IAsynTcpSocket2* to, const std::string& bytes) {
        IAsynIoOperation* write = operation(static_cast<DWORD>(bytes.size()));
        IAsynIoOperation* read = operation(static_cast<DWORD>(bytes.size()));
        std::memcpy(buffer_of(write), bytes.data(), bytes.size());
        env->run([&] {
            EXPECT_EQ(S_OK, to->ReadFully(read));
            EXPECT_EQ(S_OK, from->Write(write));
        });
        EXPECT_EQ(bytes.size(), sink->wait(write).bytes);
        EXPECT_EQ(bytes.size(), sink->wait(read).bytes);
        EXPECT_EQ(0, std::memcmp(buffer_of(read), bytes.data(), bytes.size()));
    }

    IAsynUdpSocket3* open_udp(const std::string& address, WORD& port) {
        IAsynUdpSocket3* socket = nullptr;
        EXPECT_EQ(S_OK, socket_factory::create_udp_socket(env->services(), IID_IAsynUdpSocket3,
                                                           reinterpret_cast<void**>(&socket)));
        keep(socket);
        IAsynIoOperation* op = operation(0);
        env->run([&] { EXPECT_EQ(S_OK, socket->OpenOn(static_cast<DWORD>(address.size()), address.data(), 0, op)); });
        EXPECT_EQ(0u, sink->wait(op).error);
        EXPECT_EQ(address, text_of([&](IStringSetter* s, WORD* p) { return socket->GetLocalAddressText(s, p); }, port));
        return socket;
    }

    std::vector<test_socket> plain;
};

TEST_P(Ipv6SocketTest, ConnectsToIpv6AddressesWithAndWithoutBracketsAndTalksBothWays) {
    WORD port = 0;
    IAsynTcpListener3* listener = listen_on("::1", port);
    for (const std::string host : {"::1", "[::1]"}) {
        IAsynIoOperation* accept = start_accept(listener);
        IAsynTcpSocket2* client = make_tcp();
        // Through the slot every host has used for names and dotted addresses.
        ASSERT_EQ(0u, connect(client, host, port)) << host;
        IAsynTcpSocket2* server = accepted(accept);
        ASSERT_NE(nullptr, server);

        pass(client, server, "over six");
        pass(server, client, "and back");

        WORD client_port = 0, seen_port = 0, peer_port = 0;
        EXPECT_EQ("::1", text_of([&](IStringSetter* s, WORD* p) { return client->GetLocalAddressText(s, p); },
                                 client_port));
        EXPECT_EQ("::1", text_of([&](IStringSetter* s, WORD* p) { return server->GetPeerAddressText(s, p); },
                                 seen_port));
        EXPECT_EQ(client_port, seen_port);
        EXPECT_EQ("::1", text_of([&](IStringSetter* s, WORD* p) { return client->GetPeerAddressText(s, p); },
                                 peer_port));
        EXPECT_EQ(port, peer_port);

        // The 32-bit slots have no room for IPv6.
        env->run([&] {
            DWORD address = 1;
            WORD any = 1;
            EXPECT_EQ(E_FAIL, server->GetPeerAddress(&address, &any));
            EXPECT_EQ(0u, address);
            EXPECT_EQ(0, any);
            EXPECT_EQ(E_FAIL, client->GetLocalAddress(&address, &any));
        });
    }
}

TEST_P(Ipv6SocketTest, DualStackListenerTakesIpv4AndIpv6Clients) {
    WORD port = 0;
    IAsynTcpListener3* listener = listen_on("::", port);

    // A plain IPv4 client: to the host it is the IPv4 address it always was.
    IAsynIoOperation* accept = start_accept(listener);
    const test_socket v4_client = connect_client(port);
    ASSERT_TRUE(socket_valid(v4_client));
    plain.push_back(v4_client);
    IAsynTcpSocket2* from_v4 = accepted(accept);
    ASSERT_NE(nullptr, from_v4);
    env->run([&] {
        DWORD address = 0;
        WORD peer_port = 0;
        EXPECT_EQ(S_OK, from_v4->GetPeerAddress(&address, &peer_port));
        EXPECT_EQ(htonl(INADDR_LOOPBACK), address);
        EXPECT_EQ(local_port(v4_client), peer_port);
        EXPECT_EQ(S_OK, from_v4->GetLocalAddress(&address, &peer_port));
        EXPECT_EQ(htonl(INADDR_LOOPBACK), address);
        EXPECT_EQ(port, peer_port);
    });
    WORD seen = 0;
    EXPECT_EQ("127.0.0.1", text_of([&](IStringSetter* s, WORD* p) { return from_v4->GetPeerAddressText(s, p); }, seen));
    ASSERT_TRUE(send_all(v4_client, reinterpret_cast<const std::uint8_t*>("v4"), 2));
    IAsynIoOperation* read = operation(2);
    env->run([&] { EXPECT_EQ(S_OK, from_v4->ReadFully(read)); });
    EXPECT_EQ(2u, sink->wait(read).bytes);

    // An IPv6 client of the same listener, and an IPv4 one through the
    // framework's own connect.
    accept = start_accept(listener);
    IAsynTcpSocket2* v6_client = make_tcp();
    ASSERT_EQ(0u, connect(v6_client, "::1", port));
    IAsynTcpSocket2* from_v6 = accepted(accept);
    ASSERT_NE(nullptr, from_v6);
    EXPECT_EQ("::1", text_of([&](IStringSetter* s, WORD* p) { return from_v6->GetPeerAddressText(s, p); }, seen));
    pass(v6_client, from_v6, "six");

    accept = start_accept(listener);
    IAsynTcpSocket2* framework_v4 = make_tcp();
    ASSERT_EQ(0u, connect(framework_v4, "127.0.0.1", port));
    IAsynTcpSocket2* from_framework_v4 = accepted(accept);
    ASSERT_NE(nullptr, from_framework_v4);
    EXPECT_EQ("127.0.0.1",
              text_of([&](IStringSetter* s, WORD* p) { return from_framework_v4->GetPeerAddressText(s, p); }, seen));
}

TEST_P(Ipv6SocketTest, BindChoosesTheFamilyBeforeConnect) {
    WORD port = 0;
    listen_on("::", port);
    IAsynTcpSocket2* bound = make_tcp();
    IAsynTcpSocket2* v4_bound = make_tcp();
    const std::string any6 = "::", any4 = "127.0.0.1", name = "localhost";
    env->run([&] {
        EXPECT_EQ(E_INVALIDARG, bound->Bind(static_cast<DWORD>(name.size()), name.data(), 0));
        EXPECT_EQ(E_INVALIDARG, bound->Bind(0, nullptr, 0));
        EXPECT_EQ(S_OK, bound->Bind(static_cast<DWORD>(any6.size()), any6.data(), 0));
        EXPECT_EQ(E_UNEXPECTED, bound->Bind(static_cast<DWORD>(any6.size()), any6.data(), 0));
        EXPECT_EQ(S_OK, v4_bound->Bind(static_cast<DWORD>(any4.size()), any4.data(), 0));
    });
    WORD bound_port = 0, after_port = 0;
    EXPECT_EQ("::", text_of([&](IStringSetter* s, WORD* p) { return bound->GetLocalAddressText(s, p); }, bound_port));
    ASSERT_NE(0, bound_port);
    ASSERT_EQ(0u, connect(bound, "127.0.0.1", port));  // an IPv4 target for an IPv6 socket
    WORD local_port_after = 0;
    EXPECT_EQ("127.0.0.1",
              text_of([&](IStringSetter* s, WORD* p) { return bound->GetLocalAddressText(s, p); }, local_port_after));
    EXPECT_EQ(bound_port, local_port_after);
    EXPECT_EQ("127.0.0.1",
              text_of([&](IStringSetter* s, WORD* p) { return bound->GetPeerAddressText(s, p); }, after_port));

    // An IPv4 socket cannot reach an IPv6 address.
    EXPECT_EQ(10047u, connect(v4_bound, "::1", port));
}

TEST_P(Ipv6SocketTest, DatagramsToAndFromBothFamiliesWithTextAddresses) {
    WORD dual_port = 0, six_port = 0;
    IAsynUdpSocket3* dual = open_udp("::", dual_port);
    IAsynUdpSocket3* six = open_udp("::1", six_port);

    IAsynIoOperation* read = operation(1500);
    IAsynIoOperation* write = operation(4);
    std::memcpy(buffer_of(write), "ping", 4);
    env->run([&] {
        EXPECT_EQ(S_OK, dual->Read(read));
        EXPECT_EQ(S_OK, six->SendTo(write, 5, "[::1]", dual_port));
    });
    EXPECT_EQ(4u, sink->wait(write).bytes);
    EXPECT_EQ(4u, sink->wait(read).bytes);
    WORD from_port = 0;
    EXPECT_EQ("::1", text_of([&](IStringSetter* s, WORD* p) { return dual->GetSourceAddress(read, s, p); }, from_port));
    EXPECT_EQ(six_port, from_port);
    DWORD old_address = 1;
    WORD old_port = 0;
    read->GetAddress(&old_address, &old_port);
    EXPECT_EQ(0u, old_address);  // no IPv4 form

    // A plain IPv4 sender: the dual-stack socket reports it as IPv4 on both
    // faces and answers it.
    const test_socket v4 = make_udp();
    plain.push_back(v4);
    const sockaddr_in to = loopback(dual_port);
    env->run([&] { EXPECT_EQ(S_OK, dual->Read(read)); });
    ASSERT_EQ(4, ::sendto(v4, "four", 4, no_signal, reinterpret_cast<const sockaddr*>(&to), sizeof to));
    EXPECT_EQ(4u, sink->wait(read, 2).bytes);
    EXPECT_EQ("127.0.0.1",
              text_of([&](IStringSetter* s, WORD* p) { return dual->GetSourceAddress(read, s, p); }, from_port));
    read->GetAddress(&old_address, &old_port);
    EXPECT_EQ(htonl(INADDR_LOOPBACK), old_address);
    EXPECT_EQ(local_port(v4), old_port);

    IAsynIoOperation* reply = operation(5);
    std::memcpy(buffer_of(reply), "reply", 5);
    // The old way: the address a receive left, written straight back.
    reply->SetAddress(old_address, old_port);
    env->run([&] { EXPECT_EQ(S_OK, dual->Write(reply)); });
    EXPECT_EQ(5u, sink->wait(reply).bytes);
    char got[8] = {};
    pollfd ready{v4, POLLIN, 0};
    ASSERT_EQ(1, poll_sockets(&ready, 1, 10000));
    EXPECT_EQ(5, recv_some(v4, got, sizeof got));
    EXPECT_STREQ("reply", got);

    // An IPv4 socket has no way to IPv6; text that is no address is refused.
    WORD v4_port = 0;
    IAsynUdpSocket3* only4 = open_udp("127.0.0.1", v4_port);
    env->run([&] {
        EXPECT_EQ(E_INVALIDARG, only4->SendTo(write, 3, "::1", dual_port));
        EXPECT_EQ(E_INVALIDARG, six->SendTo(write, 9, "localhost", dual_port));
        EXPECT_EQ(E_INVALIDARG, six->GetSourceAddress(nullptr, nullptr, nullptr));
    });
}

INSTANTIATE_TEST_SUITE_P(Modes, Ipv6SocketTest, all_modes(), mode_label);

}  // namespace
