// Socket calls of either family: address text both ways, and TCP and UDP
// over the IPv6 loopback with a dual-stack socket, on the platform's own calls
// (so the same cases run on Windows).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "common/isolated_network.h"
#include "platform/socket.h"

namespace {

using namespace asynframe::platform;
using family = endpoint::family_t;

std::string text_of(const endpoint& address) {
    char text[64];
    address_text(address, text);
    return text;
}

endpoint parsed(const std::string& text, std::uint16_t port = 0) {
    endpoint out;
    EXPECT_TRUE(parse_address(text.data(), text.size(), port, out)) << text;
    return out;
}

bool parses(const std::string& text) {
    endpoint out;
    return parse_address(text.data(), text.size(), 0, out);
}

TEST(EndpointText, AddressesOfBothFamiliesReadAndWrite) {
    EXPECT_EQ(family::ipv4, parsed("0.0.0.0").family);
    EXPECT_EQ("127.0.0.1", text_of(parsed("127.0.0.1", 80)));
    EXPECT_EQ(80, parsed("127.0.0.1", 80).port);

    EXPECT_EQ(family::ipv6, parsed("::").family);
    EXPECT_EQ("::", text_of(parsed("::")));
    EXPECT_EQ("::1", text_of(parsed("::1")));
    EXPECT_EQ("::1", text_of(parsed("[::1]")));
    EXPECT_EQ("2001:db8::1", text_of(parsed("2001:DB8:0:0::1")));
    const endpoint zoned = parsed("[fe80::1%3]");
    EXPECT_EQ(3u, zoned.scope_id);
    EXPECT_EQ("fe80::1%3", text_of(zoned));

    // A dual-stack socket's IPv4 peers: reported as the IPv4 they carry.
    const endpoint mapped = parsed("::ffff:10.1.2.3", 7);
    EXPECT_EQ(family::ipv6, mapped.family);
    EXPECT_EQ("10.1.2.3", text_of(mapped));
    EXPECT_EQ(family::ipv4, unmapped(mapped).family);
    EXPECT_EQ(7, unmapped(mapped).port);
    // ... and mapped again for an IPv6 socket.
    const endpoint back = in_family(unmapped(mapped), family::ipv6);
    EXPECT_EQ(0, std::memcmp(back.address, mapped.address, 16));
    EXPECT_EQ(family::ipv4, in_family(unmapped(mapped), family::ipv4).family);

    for (const char* bad : {"", "localhost", "1.2.3", "01.2.3.4x", "[::1", "::1]", "[]", "::1%", "::1%eth0", "1::2::3",
                            "[127.0.0.1]x", "12345::"})
        EXPECT_FALSE(parses(bad)) << bad;
    EXPECT_EQ("", text_of(endpoint{}));
}

class EndpointSocket : public ::testing::Test {
protected:
    void SetUp() override {
        if (!asynframe::harness::enter_isolated_network()) GTEST_SKIP() << "no network of our own";
        native_handle probe = invalid_socket;
        if (create_udp_socket(family::ipv6, probe) != 0) GTEST_SKIP() << "no IPv6 here";
        close_socket(probe);
    }
    void TearDown() override {
        for (native_handle socket : sockets) close_socket(socket);
    }
    native_handle make(bool tcp, family of) {
        native_handle socket = invalid_socket;
        EXPECT_EQ(0u, tcp ? create_tcp_socket(of, socket) : create_udp_socket(of, socket));
        if (socket != invalid_socket) sockets.push_back(socket);
        return socket;
    }
    // Connects a new client of `of` to `target` and accepts it on `listener`.
    native_handle connect_and_accept(native_handle listener, family of, const endpoint& target, endpoint& client_end) {
        const native_handle client = make(true, of);
        const std::uint32_t started = start_connect(client, target);
        EXPECT_TRUE(started == 0 || started == 10035) << started;
        EXPECT_EQ(0, wait_readable(&listener, 1, 10000)) << "no connection arrived";
        native_handle accepted = invalid_socket;
        EXPECT_EQ(0u, accept_now(listener, accepted));
        if (accepted != invalid_socket) sockets.push_back(accepted);
        // The listener saw the handshake end: the client's connect is over.
        std::uint32_t finished = 10035;
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while ((finished = finish_connect(client)) == 10035 && std::chrono::steady_clock::now() < limit)
            std::this_thread::yield();
        EXPECT_EQ(0u, finished);
        EXPECT_EQ(0u, local_endpoint(client, client_end));
        return accepted;
    }

    std::vector<native_handle> sockets;
};

TEST_F(EndpointSocket, DualStackListenerAcceptsBothFamilies) {
    const native_handle listener = make(true, family::ipv6);
    EXPECT_EQ(family::ipv6, socket_family(listener));
    ASSERT_EQ(0u, bind_endpoint(listener, parsed("::")));
    ASSERT_EQ(0u, listen_socket(listener, 4));
    endpoint bound;
    ASSERT_EQ(0u, local_endpoint(listener, bound));
    EXPECT_EQ("::", text_of(bound));
    ASSERT_NE(0, bound.port);

    endpoint v6_client, v4_client, peer, local;
    const native_handle from_v6 = connect_and_accept(listener, family::ipv6, parsed("::1", bound.port), v6_client);
    ASSERT_EQ(0u, peer_endpoint(from_v6, peer));
    EXPECT_EQ("::1", text_of(peer));
    EXPECT_EQ(v6_client.port, peer.port);

    // An IPv4 client, and an IPv4 target given to an IPv6 socket: both come
    // out as plain IPv4.
    const native_handle from_v4 = connect_and_accept(listener, family::ipv4, parsed("127.0.0.1", bound.port), v4_client);
    ASSERT_EQ(0u, peer_endpoint(from_v4, peer));
    EXPECT_EQ(family::ipv4, peer.family);
    EXPECT_EQ("127.0.0.1", text_of(peer));
    EXPECT_EQ(v4_client.port, peer.port);
    ASSERT_EQ(0u, local_endpoint(from_v4, local));
    EXPECT_EQ("127.0.0.1", text_of(local));

    endpoint mapped_client;
    const native_handle mapped = connect_and_accept(listener, family::ipv6, parsed("127.0.0.1", bound.port), mapped_client);
    EXPECT_EQ(family::ipv4, mapped_client.family);
    ASSERT_EQ(0u, peer_endpoint(mapped, peer));
    EXPECT_EQ("127.0.0.1", text_of(peer));

    // Bytes go both ways on the IPv6 connection.
    std::size_t moved = 0;
    ASSERT_EQ(0u, send_stream_now(from_v6, "six", 3, moved));
    EXPECT_EQ(3u, moved);
}

TEST_F(EndpointSocket, DatagramsOfBothFamiliesOnOneIpv6Socket) {
    const native_handle receiver = make(false, family::ipv6);
    ASSERT_EQ(0u, bind_endpoint(receiver, parsed("::")));
    endpoint at;
    ASSERT_EQ(0u, local_endpoint(receiver, at));

    const native_handle v6_sender = make(false, family::ipv6);
    ASSERT_EQ(0u, bind_endpoint(v6_sender, parsed("::1")));
    const native_handle v4_sender = make(false, family::ipv4);
    ASSERT_EQ(0u, bind_endpoint(v4_sender, parsed("127.0.0.1")));
    endpoint v6_end, v4_end;
    ASSERT_EQ(0u, local_endpoint(v6_sender, v6_end));
    ASSERT_EQ(0u, local_endpoint(v4_sender, v4_end));

    // An IPv4 socket cannot reach an IPv6 target, on either system alike.
    EXPECT_EQ(10047u, send_datagram_to(v4_sender, "x", 1, parsed("::1", at.port)));

    ASSERT_EQ(0u, send_datagram_to(v6_sender, "six", 3, parsed("::1", at.port)));
    ASSERT_EQ(0u, send_datagram_to(v4_sender, "four", 4, parsed("127.0.0.1", at.port)));
    char buffer[16];
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(0, wait_readable(&receiver, 1, 10000)) << "no datagram";
        std::size_t received = 0;
        endpoint from;
        ASSERT_EQ(0u, receive_datagram_from(receiver, buffer, sizeof buffer, received, from));
        if (received == 3) {
            EXPECT_EQ("::1", text_of(from));
            EXPECT_EQ(v6_end.port, from.port);
        } else {
            EXPECT_EQ(4u, received);
            EXPECT_EQ(family::ipv4, from.family);
            EXPECT_EQ("127.0.0.1", text_of(from));
            EXPECT_EQ(v4_end.port, from.port);
            // The reply to an IPv4 sender leaves the IPv6 socket mapped.
            ASSERT_EQ(0u, send_datagram_to(receiver, "back", 4, from));
        }
    }
    ASSERT_EQ(0, wait_readable(&v4_sender, 1, 10000)) << "no reply";
    std::size_t received = 0;
    endpoint from;
    ASSERT_EQ(0u, receive_datagram_from(v4_sender, buffer, sizeof buffer, received, from));
    EXPECT_EQ(4u, received);
    EXPECT_EQ(at.port, from.port);
}

}  // namespace
