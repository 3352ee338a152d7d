// SOCKS5 through real proxies and a scripted one, in every engine mode:
// CONNECT by address and by name, user and password, BIND, the UDP relay,
// each refusal and each close in the middle of the exchange; and the wire
// messages on their own.
#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <memory>
#include <cstring>
#include <string>
#include <utility>
#include <thread>
#include <vector>

#include "common/frame_fixture.h"
#include "common/isolated_network.h"
#include "common/portable.h"
#include "common/socket_fixture.h"
#include "dns/dns_test_support.h"
#include "platform/socket.h"
#include "proxy/socks5_messages.h"
#include "proxy/socks_objects.h"
#include "proxy_servers.h"
#include "support/exceptions.h"

namespace {

using namespace asynframe;
using namespace asynframe::harness;
using namespace asynframe::proxy_test;
using bytes = std::vector<std::uint8_t>;

using text_sink = text_receiver;

// ---- the messages alone ------------------------------------------------------------------

std::string refusal_of(const std::function<void()>& check) {
    try {
        check();
    } catch (const proxy_exception& refused) {
        return refused.what();
    }
    return "accepted";
}

TEST(SocksMessages, GreetingAuthenticationAndRequestBytes) {
    EXPECT_EQ(socks5::greeting(false), (bytes{5, 1, 0}));
    EXPECT_EQ(socks5::greeting(true), (bytes{5, 2, 0, 2}));
    EXPECT_EQ(socks5::authentication("ab", ""), (bytes{1, 2, 'a', 'b', 0}));
    EXPECT_EQ(refusal_of([] { socks5::authentication("", "x"); }), "no set user name,can't login socks5 proxy server");
    EXPECT_EQ(refusal_of([] { socks5::authentication(std::string(256, 'u'), "x"); }),
              "sock5 not support user name of length exceed 255");
    EXPECT_EQ(refusal_of([] { socks5::authentication("u", std::string(256, 'p')); }),
              "sock5 not support passord of length exceed 255");

    EXPECT_EQ(socks5::request(1, "10.1.2.3", 0x1234), (bytes{5, 1, 0, 1, 10, 1, 2, 3, 0x12, 0x34}));
    EXPECT_EQ(socks5::request(2, "example", 80), (bytes{5, 2, 0, 3, 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 0, 80}));
    // Not an address: sent as the name it is, never as 255.255.255.255.
    const bytes odd = socks5::request(1, "300.1.1.1", 1);
    EXPECT_EQ(3, odd[3]);
    EXPECT_EQ(9, odd[4]);
    EXPECT_EQ(std::string(odd.begin() + 5, odd.begin() + 14), "300.1.1.1");
    EXPECT_EQ(socks5::request(1, "1.2.3.4.", 1)[3], 3);
    try {
        socks5::request(1, std::string(256, 'h'), 1);
        ADD_FAILURE() << "a 256-byte name was accepted";
    } catch (const socket_exception& refused) {
        EXPECT_EQ(0xFFFFFFFFu, refused.code());
    }
}

TEST(SocksMessages, RepliesAreCheckedByte_by_byte) {
    const std::uint8_t method_ok[2] = {5, 2}, method_ff[2] = {5, 0xFF}, method_odd[2] = {5, 0x80},
                       wrong_version[2] = {4, 0};
    EXPECT_EQ(2, socks5::check_method(method_ok));
    EXPECT_EQ(refusal_of([&] { socks5::check_method(method_ff); }), "sock5: no acceptable method to login proxy server");
    // A byte of 0x80 or more reads as a negative number.
    EXPECT_EQ(refusal_of([&] { socks5::check_method(method_odd); }), "sock5: unsupport authenticate method: -128");
    EXPECT_EQ(refusal_of([&] { socks5::check_method(wrong_version); }), "unsupported socks ver no: 4");
    const std::uint8_t auth_bad[2] = {1, 1};
    EXPECT_EQ(refusal_of([&] { socks5::check_authentication(auth_bad); }),
              "socks5 server user name and password authenticate not passed");

    const char* const texts[] = {"sock5 server: general socks server failure",
                                 "sock5 server: connection not allowed by sock5 ruleset",
                                 "sock5 server : network unreachable",
                                 "sock5 server :host unreachable",
                                 "sock5 server : connection refused",
                                 "sock5 server : ttl expired",
                                 "sock5 server : command not supported",
                                 "sock5 server : address type not supported"};
    for (std::uint8_t rep = 1; rep <= 8; ++rep) {
        const std::uint8_t header[5] = {5, rep, 0, 1, 0};
        EXPECT_EQ(refusal_of([&] { socks5::check_reply_header(header); }), texts[rep - 1]);
    }
    const std::uint8_t unknown_rep[5] = {5, 9, 0, 1, 0}, rsv[5] = {5, 0, 3, 1, 0}, atyp[5] = {5, 0, 0, 9, 0};
    EXPECT_EQ(refusal_of([&] { socks5::check_reply_header(unknown_rep); }), "sock5 : unknown resp code:9");
    EXPECT_EQ(refusal_of([&] { socks5::check_reply_header(rsv); }), "sock5 :resv reserve byte should be 0, but is:3");
    EXPECT_EQ(refusal_of([&] { socks5::check_reply_header(atyp); }), "sock5: unknow address type:9");
    const std::uint8_t v4[5] = {5, 0, 0, 1, 10}, name[5] = {5, 0, 0, 3, 200}, v6[5] = {5, 0, 0, 4, 0};
    EXPECT_EQ(5u, socks5::check_reply_header(v4));
    EXPECT_EQ(202u, socks5::check_reply_header(name));
    EXPECT_EQ(17u, socks5::check_reply_header(v6));

    std::string host;
    std::uint16_t port = 0;
    const std::uint8_t any[10] = {5, 0, 0, 1, 0, 0, 0, 0, 0x1F, 0x90};
    socks5::parse_bound_address(any, sizeof any, "proxy.example", host, port);
    EXPECT_EQ("proxy.example", host);
    EXPECT_EQ(8080, port);
    const std::uint8_t named[12] = {5, 0, 0, 3, 5, 'h', 'o', 's', 't', 's', 0, 21};
    socks5::parse_bound_address(named, sizeof named, "p", host, port);
    EXPECT_EQ("hosts", host);
    EXPECT_EQ(21, port);
}

// A proxy that reaches its target over IPv6 names its end with ATYP 4: 16
// address bytes and the port.
bytes v6_reply(std::uint8_t rep_command_reply, std::initializer_list<std::uint8_t> tail_of_address,
               std::uint16_t port) {
    bytes reply{5, rep_command_reply, 0, 4};
    bytes address(16, 0);
    std::copy(tail_of_address.begin(), tail_of_address.end(), address.end() - static_cast<long>(tail_of_address.size()));
    reply.insert(reply.end(), address.begin(), address.end());
    reply.push_back(static_cast<std::uint8_t>(port >> 8));
    reply.push_back(static_cast<std::uint8_t>(port & 0xFF));
    return reply;
}

TEST(SocksMessages, AnIpv6BoundAddressIsReadAsText) {
    bytes reply = v6_reply(0, {1}, 443);
    reply[4] = 0x20, reply[5] = 0x01, reply[6] = 0x0d, reply[7] = 0xb8;
    std::string host;
    std::uint16_t port = 0;
    socks5::parse_bound_address(reply.data(), reply.size(), "proxy.example", host, port);
    EXPECT_EQ("2001:db8::1", host);
    EXPECT_EQ(443, port);
    // The unspecified address means the proxy itself, as 0.0.0.0 does.
    const bytes any = v6_reply(0, {}, 1080);
    socks5::parse_bound_address(any.data(), any.size(), "proxy.example", host, port);
    EXPECT_EQ("proxy.example", host);
    EXPECT_EQ(1080, port);
    // Cut short: refused, never read past the end.
    EXPECT_EQ(refusal_of([&] { socks5::parse_bound_address(reply.data(), 21, "p", host, port); }),
              "Unknown address type.");
}

TEST(SocksMessages, Ipv6TargetsAndRelayHeaders) {
    // ATYP 4 with the 16 address bytes, brackets or not.
    for (const std::string host : {"::1", "[::1]"}) {
        const bytes request = socks5::request(socks5::command_connect, host, 0x1234);
        ASSERT_EQ(22u, request.size()) << host;
        EXPECT_EQ(4, request[3]);
        EXPECT_EQ(bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), bytes(request.begin() + 4, request.begin() + 20));
        EXPECT_EQ(0x12, request[20]);
        EXPECT_EQ(0x34, request[21]);
    }
    // Not an address: still a name.
    EXPECT_EQ(3, socks5::request(socks5::command_connect, "[::1", 1)[3]);

    platform::endpoint target;
    ASSERT_TRUE(platform::parse_address("2001:db8::7", 11, 53, target));
    std::uint8_t header[socks5::udp_header_size_v6 + 1] = {};
    ASSERT_EQ(22u, socks5::udp_header_size_for(target));
    socks5::put_udp_header(header, target);
    EXPECT_EQ(4, header[3]);
    platform::endpoint origin;
    EXPECT_EQ(0u, socks5::read_udp_header(header, sizeof header, false, origin));  // IPv4 sockets take none
    ASSERT_EQ(22u, socks5::read_udp_header(header, sizeof header, true, origin));
    EXPECT_EQ(0, std::memcmp(origin.address, target.address, 16));
    EXPECT_EQ(53, origin.port);
    EXPECT_EQ(0u, socks5::read_udp_header(header, 21, true, origin));  // cut short
    header[2] = 1;
    EXPECT_EQ(0u, socks5::read_udp_header(header, sizeof header, true, origin));  // a fragment

    // A mapped target goes as the IPv4 it carries.
    ASSERT_TRUE(platform::parse_address("::ffff:127.0.0.1", 16, 7, target));
    EXPECT_EQ(10u, socks5::udp_header_size_for(target));
    socks5::put_udp_header(header, target);
    EXPECT_EQ(1, header[3]);
    EXPECT_EQ(127, header[4]);
}

// ---- through proxies ---------------------------------------------------------------------

// What the scripted proxy does on each connection, set by the test.
struct plan {
    std::uint8_t method = 0;                    // its method choice
    int close_at = 0;                           // 1 after the greeting, 2 after the authentication, 3 mid-reply
    bytes reply = {5, 0, 0, 1, 127, 0, 0, 1, 0, 80};
    bytes after;                                // sent after the reply
    std::mutex lock;
    bytes greeting, authentication, request;   // what the client sent
};

class ProxyTest : public FrameTest {
protected:
    void SetUp() override {
        FrameTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ops = new recording_sink(host->waiter());
    }
    void TearDown() override {
        if (ops != nullptr) {
            host->on_dispatch([&] {
                for (IUnknown* object : objects) object->Release();
            });
            for (IAsynIoOperation* op : operations) op->Release();
            ops->Release();
        }
        // The peers' connections are closed by now: their threads end at once.
        servers.clear();
        FrameTest::TearDown();
    }

    // Kept until the test's sockets are gone.
    scripted_tcp_server& serve(std::unique_ptr<scripted_tcp_server> server) {
        servers.push_back(std::move(server));
        return *servers.back();
    }

    template <class T>
    T* keep(T* object) {
        objects.push_back(object);
        return object;
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
    IAsynProxyTcpSocket* proxied(std::uint16_t proxy_port, const std::string& user = {},
                                 const std::string& password = {}) {
        IAsynTcpSocket* voucher = nullptr;
        host->on_dispatch([&] { ASSERT_EQ(S_OK, frame()->CreateTcpSocket(&voucher)); });
        keep(voucher);
        IAsynProxyTcpSocket* socket = nullptr;
        EXPECT_EQ(S_OK, frame()->CreateProxyTcpSocket(voucher, PROXY_KIND_SOCKS5, 9, "127.0.0.1", proxy_port,
                                                      static_cast<DWORD>(user.size()), user.data(),
                                                      static_cast<DWORD>(password.size()), password.data(), &socket));
        return keep(socket);
    }
    // A BIND listener through the proxy at `proxy_port` for 127.0.0.1; released
    // by the fixture unless the test lets go of it itself.
    IAsynTcpListener* bind_listener(std::uint16_t proxy_port, bool kept = true) {
        IAsynTcpListener* listener = nullptr;
        host->on_dispatch([&] {
            ASSERT_EQ(S_OK, frame()->CreateSock5TcpListener(9, "127.0.0.1", proxy_port, 0, "", 0, "", 9, "127.0.0.1",
                                                            0, &listener));
        });
        return kept ? keep(listener) : listener;
    }
    // Listens, then reads the address and port the proxy bound.
    std::pair<std::string, WORD> listen_and_read_bound(IAsynTcpListener* listener) {
        IAsynIoOperation* listening = operation(0);
        host->on_dispatch([&] { EXPECT_EQ(S_OK, listener->Listen(0, listening)); });
        EXPECT_EQ(0u, ops->wait(listening).error);
        text_sink bound;
        WORD port = 0;
        host->on_dispatch([&] { EXPECT_EQ(S_OK, listener->GetLocalAddress(&bound, &port)); });
        return {bound.text, port};
    }
    DWORD connect(IAsynTcpSocket* socket, const std::string& target, std::uint16_t port) {
        IAsynIoOperation* op = operation(0);
        host->on_dispatch([&] {
            EXPECT_EQ(S_OK, socket->Connect(op, static_cast<DWORD>(target.size()), target.data(), port, 0));
        });
        return ops->wait(op).error;
    }
    // Writes `text` and reads it back from an echo peer.
    void echo_round(IAsynTcpSocket* socket, const std::string& text) {
        IAsynIoOperation* out = operation(static_cast<DWORD>(text.size()));
        BYTE* buffer = nullptr;
        DWORD length = 0;
        out->GetBuffer(&buffer, &length);
        std::memcpy(buffer, text.data(), text.size());
        host->on_dispatch([&] { EXPECT_EQ(S_OK, socket->WriteFully(out)); });
        EXPECT_EQ(text.size(), ops->wait(out).bytes);
        IAsynIoOperation* in = operation(static_cast<DWORD>(text.size()));
        host->on_dispatch([&] { EXPECT_EQ(S_OK, socket->ReadFully(in)); });
        EXPECT_EQ(text.size(), ops->wait(in).bytes);
        in->GetBuffer(&buffer, &length);
        EXPECT_EQ(text, std::string(reinterpret_cast<char*>(buffer), text.size()));
    }

    dns_test::temp_folder folder;
    recording_sink* ops = nullptr;
    std::vector<IUnknown*> objects;
    std::vector<IAsynIoOperation*> operations;
    std::vector<std::unique_ptr<scripted_tcp_server>> servers;
    plan script;  // read by the scripted proxy's threads, so it outlives them
};

#define NEED_DANTE()                                                             \
    if (!danted_server::installed()) GTEST_SKIP() << "dante-server is not installed"; \
    if (!network_isolated()) GTEST_SKIP() << "needs a network namespace: the proxy must reach only loopback"

TEST_P(ProxyTest, ConnectsThroughDanteByAddressAndByName) {
    NEED_DANTE();
    const std::uint16_t port = free_tcp_port();
    danted_server dante(folder.path().string(), port, false);
    ASSERT_TRUE(dante.ok());
    scripted_tcp_server* echo = &serve(echo_server());

    IAsynProxyTcpSocket* by_address = proxied(port);
    EXPECT_EQ(0u, connect(by_address, "127.0.0.1", echo->port()));
    echo_round(by_address, "through the proxy");
    DWORD address = 0;
    WORD peer_port = 0;
    host->on_dispatch([&] { EXPECT_EQ(S_OK, by_address->GetPeerAddress(&address, &peer_port)); });
    EXPECT_EQ(port, peer_port);  // the connection is the proxy's

    IAsynProxyTcpSocket* by_name = proxied(port);
    EXPECT_EQ(0u, connect(by_name, "localhost", echo->port()));
    echo_round(by_name, "by name");
    // Refused by the far end: the proxy says so.
    IAsynProxyTcpSocket* refused = proxied(port);
    EXPECT_EQ(socks_protocol_error, connect(refused, "127.0.0.1", free_tcp_port()));
    IAsynIoOperation* again = operation(0);
    host->on_dispatch([&] { EXPECT_EQ(E_UNEXPECTED, refused->Connect(again, 9, "127.0.0.1", 1, 0)); });
    // A proxy nobody runs: the connect's own error.
    IAsynProxyTcpSocket* nowhere = proxied(free_tcp_port());
    EXPECT_EQ(10061u, connect(nowhere, "127.0.0.1", echo->port()));
}

TEST_P(ProxyTest, UserAndPasswordAreCheckedByDante) {
    NEED_DANTE();
    if (!ensure_socks_user()) GTEST_SKIP() << "no account for the proxy to check (needs root)";
    const std::uint16_t port = free_tcp_port();
    danted_server dante(folder.path().string(), port, true);
    ASSERT_TRUE(dante.ok());
    scripted_tcp_server* echo = &serve(echo_server());

    IAsynProxyTcpSocket* good = proxied(port, socks_user, socks_password);
    EXPECT_EQ(0u, connect(good, "127.0.0.1", echo->port()));
    echo_round(good, "authenticated");
    EXPECT_EQ(socks_protocol_error, connect(proxied(port, socks_user, "wrong"), "127.0.0.1", echo->port()));
    // Without a user name there is no method the proxy accepts.
    EXPECT_EQ(socks_protocol_error, connect(proxied(port), "127.0.0.1", echo->port()));
    IAsynProxyTcpSocket* login = proxied(port, socks_user, socks_password);
    IAsynIoOperation* op = operation(0);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, login->Login(op)); });
    EXPECT_EQ(0u, ops->wait(op).error);
}

TEST_P(ProxyTest, BindListensAtTheProxyForOneConnection) {
    NEED_DANTE();
    const std::uint16_t port = free_tcp_port();
    danted_server dante(folder.path().string(), port, false);
    ASSERT_TRUE(dante.ok());
    IAsynTcpListener* listener = bind_listener(port);
    text_sink bound;
    WORD bound_port = 0;
    IAsynIoOperation* listening = operation(0);
    host->on_dispatch([&] {
        EXPECT_EQ(E_UNEXPECTED, listener->GetLocalAddress(&bound, &bound_port));
        EXPECT_EQ(S_OK, listener->Listen(0, listening));
    });
    EXPECT_EQ(0u, ops->wait(listening).error);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, listener->GetLocalAddress(&bound, &bound_port)); });
    EXPECT_EQ("127.0.0.1", bound.text);
    ASSERT_NE(0, bound_port);

    IAsynIoOperation* accepting = operation(0);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, listener->Accept(accepting)); });
    const sock_t peer = tcp_client(bound_port);
    ASSERT_NE(peer, bad_sock);
    EXPECT_EQ(0u, ops->wait(accepting).error);
    IUnknown* result = nullptr;
    accepting->GetResultObject(&result);
    ASSERT_NE(nullptr, result);
    IAsynTcpSocket* accepted = nullptr;
    result->QueryInterface(IID_IAsynTcpSocket, reinterpret_cast<void**>(&accepted));
    result->Release();
    keep(accepted);
    // Both ways over the accepted connection.
    ASSERT_TRUE(write_all(peer, "ping", 4));
    IAsynIoOperation* in = operation(4);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, accepted->ReadFully(in)); });
    EXPECT_EQ(4u, ops->wait(in).bytes);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, accepted->WriteFully(in)); });
    EXPECT_EQ(4u, ops->wait(in, 2).bytes);
    char echoed[4] = {};
    EXPECT_TRUE(read_exactly(peer, echoed, 4));
    EXPECT_EQ(0, std::memcmp(echoed, "ping", 4));
    // One BIND, one connection.
    IAsynIoOperation* second = operation(0);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, listener->Accept(second)); });
    EXPECT_EQ(0xFFFFFFFFu, ops->wait(second).error);
    close_sock(peer);
}

TEST_P(ProxyTest, UdpGoesThroughTheRelayBothWays) {
    NEED_DANTE();
    const std::uint16_t port = free_tcp_port();
    danted_server dante(folder.path().string(), port, false);
    ASSERT_TRUE(dante.ok());
    udp_echo far_end;
    IAsynUdpSocket2* udp = nullptr;
    host->on_dispatch([&] { ASSERT_EQ(S_OK, frame()->CreateSock5UdpSocket(9, "127.0.0.1", port, 0, "", 0, "", &udp)); });
    keep(udp);
    IAsynIoOperation* opening = operation(0);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, udp->Open(htonl(INADDR_LOOPBACK), 0, opening)); });
    ASSERT_EQ(0u, ops->wait(opening).error);
    DWORD relay = 0;
    WORD relay_port = 0;
    host->on_dispatch([&] { EXPECT_EQ(S_OK, udp->GetLocalAddress(&relay, &relay_port)); });
    EXPECT_EQ(htonl(INADDR_LOOPBACK), relay);
    EXPECT_NE(0, relay_port);

    // Limits: a write buffer of 1401 bytes, a read range of 1499.
    IAsynIoOperation* too_big = operation(1401);
    IAsynIoOperation* too_small = operation(1499);
    host->on_dispatch([&] {
        EXPECT_EQ(E_INVALIDARG, udp->Write(too_big));
        EXPECT_EQ(E_INVALIDARG, udp->Read(too_small));
    });

    // A datagram from anyone but the relay never arrives.
    auto* object = static_cast<CAsynSock5UdpSocket*>(udp);
    const sock_t rogue = bound_udp("127.0.0.1", 0);
    const sockaddr_in ours = ipv4_address("127.0.0.1", object->local_port());
    const char forged[20] = {0, 0, 0, 1, 127, 0, 0, 1, 0, 7, 'f', 'o', 'r', 'g', 'e', 'd'};
    ASSERT_EQ(20, send_to(rogue, forged, 20, ours));

    IAsynIoOperation* in = operation(1500);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, udp->Read(in)); });
    IAsynIoOperation* out = operation(1400);
    BYTE* buffer = nullptr;
    DWORD length = 0;
    out->GetBuffer(&buffer, &length);
    for (DWORD i = 0; i < 100; ++i) buffer[i] = static_cast<BYTE>(i);
    out->SetRange(0, 100);
    out->SetAddress(htonl(INADDR_LOOPBACK), far_end.port());
    host->on_dispatch([&] {
        EXPECT_EQ(S_OK, udp->Write(out));
        EXPECT_EQ(E_UNEXPECTED, udp->Read(operation(1500)));
    });
    const auto sent = ops->wait(out);
    EXPECT_EQ(0u, sent.error);
    EXPECT_EQ(100u, sent.bytes);
    const auto got = ops->wait(in);
    EXPECT_EQ(0u, got.error);
    EXPECT_EQ(100u, got.bytes);
    in->GetBuffer(&buffer, &length);
    for (DWORD i = 0; i < 100; ++i) ASSERT_EQ(static_cast<BYTE>(i), buffer[i]);
    DWORD from = 0;
    WORD from_port = 0;
    in->GetAddress(&from, &from_port);
    EXPECT_EQ(htonl(INADDR_LOOPBACK), from);
    EXPECT_EQ(far_end.port(), from_port);

    // Closed for good: a held read ends with E_ABORT.
    IAsynIoOperation* held = operation(1500);
    host->on_dispatch([&] {
        EXPECT_EQ(S_OK, udp->Read(held));
        EXPECT_EQ(S_OK, udp->Close());
        EXPECT_EQ(E_UNEXPECTED, udp->Close());
        EXPECT_EQ(E_UNEXPECTED, udp->Open(0, 0, operation(0)));
    });
    EXPECT_EQ(static_cast<DWORD>(0x80004004u), ops->wait(held).error);
    close_sock(rogue);
}

// ---- a scripted proxy ----------------------------------------------------------------------

// What the proxy's thread recorded, read under the plan's lock.
bytes seen(plan& p, bytes plan::*field) {
    std::lock_guard<std::mutex> guard(p.lock);
    return p.*field;
}

// Changes the plan between connections.
template <class Change>
void change(plan& p, Change&& how) {
    std::lock_guard<std::mutex> guard(p.lock);
    how();
}

std::unique_ptr<scripted_tcp_server> scripted_proxy(plan& shared) {
    return std::make_unique<scripted_tcp_server>([&shared](sock_t fd) {
        struct {
            std::uint8_t method;
            int close_at;
            bytes reply, after;
        } p;
        {
            std::lock_guard<std::mutex> guard(shared.lock);
            p = {shared.method, shared.close_at, shared.reply, shared.after};
        }
        auto record = [&shared](bytes plan::*field, bytes value) {
            std::lock_guard<std::mutex> guard(shared.lock);
            shared.*field = std::move(value);
        };
        std::uint8_t head[2];
        if (!read_exactly(fd, head, 2)) return;
        bytes methods(head[1]);
        if (!read_exactly(fd, methods.data(), methods.size())) return;
        bytes greeting{head[0], head[1]};
        greeting.insert(greeting.end(), methods.begin(), methods.end());
        record(&plan::greeting, greeting);
        if (p.close_at == 1) return;
        const std::uint8_t choice[2] = {5, p.method};
        write_all(fd, choice, 2);
        if (p.method == 0xFF) return drain(fd, 2000);
        if (p.method == 2) {
            std::uint8_t v_len[2];
            if (!read_exactly(fd, v_len, 2)) return;
            bytes user(v_len[1]);
            read_exactly(fd, user.data(), user.size());
            std::uint8_t password_length = 0;
            read_exactly(fd, &password_length, 1);
            bytes password(password_length);
            read_exactly(fd, password.data(), password.size());
            bytes authentication{v_len[0], v_len[1]};
            authentication.insert(authentication.end(), user.begin(), user.end());
            authentication.push_back(password_length);
            authentication.insert(authentication.end(), password.begin(), password.end());
            record(&plan::authentication, authentication);
            if (p.close_at == 2) return;
            const std::uint8_t ok[2] = {1, 0};
            write_all(fd, ok, 2);
        }
        std::uint8_t request_head[5];
        if (!read_exactly(fd, request_head, 5)) return;
        bytes request(request_head, request_head + 5);
        const std::size_t rest = request_head[3] == 1 ? 5 : request_head[3] == 3 ? request_head[4] + 2u : 17;
        request.resize(5 + rest);
        read_exactly(fd, request.data() + 5, rest);
        record(&plan::request, request);
        if (p.close_at == 3) {
            write_all(fd, p.reply.data(), 3);
            return;
        }
        write_all(fd, p.reply.data(), p.reply.size());
        if (!p.after.empty()) write_all(fd, p.after.data(), p.after.size());
        drain(fd, 2000);
    });
}

TEST_P(ProxyTest, AScriptedProxyRefusesInEveryWay) {
    plan& p = script;
    scripted_tcp_server* proxy = &serve(scripted_proxy(p));
    // Without a user name the greeting offers one method.
    change(p, [&] { p.method = 0xFF; });
    EXPECT_EQ(socks_protocol_error, connect(proxied(proxy->port()), "10.0.0.1", 80));
    EXPECT_EQ(seen(p, &plan::greeting), (bytes{5, 1, 0}));
    // With one it offers two; a proxy choosing "none" skips the authentication.
    change(p, [&] { p.method = 0; });
    EXPECT_EQ(0u, connect(proxied(proxy->port(), "user", ""), "10.0.0.1", 80));
    EXPECT_EQ(seen(p, &plan::greeting), (bytes{5, 2, 0, 2}));
    EXPECT_TRUE(seen(p, &plan::authentication).empty());
    // An empty password goes as length 0.
    change(p, [&] { p.method = 2; });
    EXPECT_EQ(0u, connect(proxied(proxy->port(), "user", ""), "300.1.1.1", 80));
    EXPECT_EQ(seen(p, &plan::authentication), (bytes{1, 4, 'u', 's', 'e', 'r', 0}));
    EXPECT_EQ(seen(p, &plan::request)[3], 3);  // the odd target as a name
    change(p, [&] { p.method = 0; });
    for (std::uint8_t rep = 1; rep <= 9; ++rep) {
        change(p, [&] { p.reply = {5, rep, 0, 1, 127, 0, 0, 1, 0, 80}; });
        EXPECT_EQ(socks_protocol_error, connect(proxied(proxy->port()), "10.0.0.1", 80)) << int(rep);
    }
    change(p, [&] { p.reply = {5, 0, 1, 1, 127, 0, 0, 1, 0, 80}; });
    EXPECT_EQ(socks_protocol_error, connect(proxied(proxy->port()), "10.0.0.1", 80));
    change(p, [&] { p.reply = {5, 0, 0, 7, 127, 0, 0, 1, 0, 80}; });
    EXPECT_EQ(socks_protocol_error, connect(proxied(proxy->port()), "10.0.0.1", 80));
}

TEST_P(ProxyTest, AScriptedProxyClosingMidwayOrALongNameReply) {
    plan& p = script;
    scripted_tcp_server* proxy = &serve(scripted_proxy(p));
    change(p, [&] { p.method = 2; });
    for (int stage = 1; stage <= 3; ++stage) {
        change(p, [&] { p.close_at = stage; });
        EXPECT_EQ(socks_proxy_closed_error, connect(proxied(proxy->port(), "u", "p"), "10.0.0.1", 80)) << stage;
    }
    // A 200-byte name in the reply is read whole: the data after it is the stream's.
    change(p, [&] { p.close_at = 0; });
    change(p, [&] { p.method = 0; });
    change(p, [&] { p.reply = {5, 0, 0, 3, 200}; });
    change(p, [&] { p.reply.insert(p.reply.end(), 200, 'n'); });
    change(p, [&] { p.reply.push_back(0); });
    change(p, [&] { p.reply.push_back(80); });
    change(p, [&] { p.after = {'t', 'a', 'i', 'l'}; });
    IAsynProxyTcpSocket* socket = proxied(proxy->port());
    EXPECT_EQ(0u, connect(socket, "a-seven", 80));
    EXPECT_EQ(seen(p, &plan::request), (bytes{5, 1, 0, 3, 7, 'a', '-', 's', 'e', 'v', 'e', 'n', 0, 80}));
    IAsynIoOperation* in = operation(4);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, socket->ReadFully(in)); });
    EXPECT_EQ(4u, ops->wait(in).bytes);
    BYTE* buffer = nullptr;
    DWORD length = 0;
    in->GetBuffer(&buffer, &length);
    EXPECT_EQ(0, std::memcmp(buffer, "tail", 4));
}

TEST_P(ProxyTest, ClosingDuringTheExchangeCompletesWith1930) {
    // A proxy that accepts and says nothing.
    scripted_tcp_server& silent = serve(std::make_unique<scripted_tcp_server>([](sock_t fd) { drain(fd, 3000); }));
    IAsynProxyTcpSocket* socket = proxied(silent.port());
    IAsynIoOperation* op = operation(0);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, socket->Connect(op, 8, "10.0.0.1", 80, 0)); });
    EXPECT_TRUE(host->run_until([&] { return silent.connections() == 1; }));
    host->on_dispatch([&] { EXPECT_EQ(S_OK, socket->Close()); });
    EXPECT_EQ(socks_cancelled_error, ops->wait(op).error);
    host->run_until([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_EQ(1, ops->get(op).count);
}

// Every object with an exchange in flight, closed, closed again, used again
// and released: each operation ends exactly once.
TEST_P(ProxyTest, ObjectsClosedTwiceReusedAndReleasedMidExchangeEndEachOperationOnce) {
    scripted_tcp_server& silent = serve(std::make_unique<scripted_tcp_server>([](sock_t fd) { drain(fd, 3000); }));
    IAsynProxyTcpSocket* tcp = proxied(silent.port());
    IAsynIoOperation* first = operation(0);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, tcp->Connect(first, 8, "10.0.0.1", 80, 0)); });
    ASSERT_TRUE(host->run_until([&] { return silent.connections() == 1; }));
    host->on_dispatch([&] {
        EXPECT_EQ(S_OK, tcp->Close());
        EXPECT_EQ(E_UNEXPECTED, tcp->Close());
    });
    EXPECT_EQ(socks_cancelled_error, ops->wait(first).error);
    // Usable again after the close; then released with the exchange running.
    IAsynIoOperation* second = operation(0);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, tcp->Connect(second, 8, "10.0.0.1", 80, 0)); });
    ASSERT_TRUE(host->run_until([&] { return silent.connections() == 2; }));
    objects.erase(std::find(objects.begin(), objects.end(), tcp));
    host->on_dispatch([&] { tcp->Release(); });
    EXPECT_EQ(socks_cancelled_error, ops->wait(second).error);

    IAsynTcpListener* listener = bind_listener(silent.port());
    IAsynIoOperation* listening = operation(0);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, listener->Listen(0, listening)); });
    ASSERT_TRUE(host->run_until([&] { return silent.connections() == 3; }));
    host->on_dispatch([&] {
        EXPECT_EQ(S_OK, listener->Close());
        EXPECT_EQ(E_UNEXPECTED, listener->Close());
    });
    EXPECT_EQ(socks_cancelled_error, ops->wait(listening).error);

    // A UDP socket released while the proxy has not answered its association.
    IAsynUdpSocket2* udp = nullptr;
    host->on_dispatch([&] {
        ASSERT_EQ(S_OK, frame()->CreateSock5UdpSocket(9, "127.0.0.1", silent.port(), 0, "", 0, "", &udp));
    });
    IAsynIoOperation* opening = operation(0);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, udp->Open(htonl(INADDR_LOOPBACK), 0, opening)); });
    ASSERT_TRUE(host->run_until([&] { return silent.connections() == 4; }));
    host->on_dispatch([&] { udp->Release(); });
    EXPECT_EQ(static_cast<DWORD>(0x80004004u), ops->wait(opening).error);

    host->run_until([] { return false; }, std::chrono::milliseconds(50));
    for (IAsynIoOperation* op : {first, second, listening, opening}) EXPECT_EQ(1, ops->get(op).count);
}

TEST_P(ProxyTest, RepliesNamingAnIpv6AddressAreAccepted) {
    plan& p = script;
    scripted_tcp_server* proxy = &serve(scripted_proxy(p));
    // CONNECT by name: exactly the 22 bytes of the reply are the proxy's, the rest the stream's.
    change(p, [&] {
        p.reply = v6_reply(0, {0x10}, 80);
        p.after = {'t', 'a', 'i', 'l'};
    });
    IAsynProxyTcpSocket* socket = proxied(proxy->port());
    EXPECT_EQ(0u, connect(socket, "dual.example", 80));
    IAsynIoOperation* in = operation(4);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, socket->ReadFully(in)); });
    EXPECT_EQ(4u, ops->wait(in).bytes);
    BYTE* buffer = nullptr;
    DWORD length = 0;
    in->GetBuffer(&buffer, &length);
    EXPECT_EQ(0, std::memcmp(buffer, "tail", 4));

    // BIND: the bound address is reported as it came.
    change(p, [&] {
        p.reply = v6_reply(0, {0x05}, 0x1F90);
        p.after.clear();
    });
    const auto [bound, port] = listen_and_read_bound(bind_listener(proxy->port()));
    EXPECT_EQ("::5", bound);
    EXPECT_EQ(8080, port);

    // UDP ASSOCIATE: datagrams go out over IPv4, so a relay at an IPv6
    // address cannot be used and the open says so; "::" is the proxy itself.
    IAsynUdpSocket2* far_side = nullptr;
    host->on_dispatch([&] {
        ASSERT_EQ(S_OK, frame()->CreateSock5UdpSocket(9, "127.0.0.1", proxy->port(), 0, "", 0, "", &far_side));
    });
    keep(far_side);
    IAsynIoOperation* opening = operation(0);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, far_side->Open(htonl(INADDR_LOOPBACK), 0, opening)); });
    EXPECT_EQ(10047u, ops->wait(opening).error);  // WSAEAFNOSUPPORT
    change(p, [&] { p.reply = v6_reply(0, {}, 5353); });
    IAsynUdpSocket2* near_side = nullptr;
    host->on_dispatch([&] {
        ASSERT_EQ(S_OK, frame()->CreateSock5UdpSocket(9, "127.0.0.1", proxy->port(), 0, "", 0, "", &near_side));
    });
    keep(near_side);
    IAsynIoOperation* opened = operation(0);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, near_side->Open(htonl(INADDR_LOOPBACK), 0, opened)); });
    EXPECT_EQ(0u, ops->wait(opened).error);
    DWORD relay = 0;
    WORD relay_port = 0;
    host->on_dispatch([&] { EXPECT_EQ(S_OK, near_side->GetLocalAddress(&relay, &relay_port)); });
    EXPECT_EQ(htonl(INADDR_LOOPBACK), relay);
    EXPECT_EQ(5353, relay_port);
}

// Let go of (last reference, no Close) with an accept in flight: the accept
// ends once, as Close ends it, and the connection to the proxy is closed.
TEST_P(ProxyTest, ABindListenerReleasedWithAnAcceptInFlightEndsItAndLeavesTheProxy) {
    // Shared: the proxy's thread may outlive this test's body.
    auto proxy_saw_close = std::make_shared<std::atomic<bool>>(false);
    scripted_tcp_server& proxy = serve(std::make_unique<scripted_tcp_server>([proxy_saw_close](sock_t fd) {
        std::uint8_t greeting[3];
        if (!read_exactly(fd, greeting, 3)) return;
        const std::uint8_t choice[2] = {5, 0};
        write_all(fd, choice, 2);
        std::uint8_t request[10];
        if (!read_exactly(fd, request, 10)) return;
        const std::uint8_t first_reply[10] = {5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90};
        write_all(fd, first_reply, 10);
        // No second reply: wait for the client to go.
        char byte = 0;
        if (!read_exactly(fd, &byte, 1, 20000)) *proxy_saw_close = true;
    }));
    IAsynTcpListener* listener = bind_listener(proxy.port(), false);
    IAsynIoOperation* listening = operation(0);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, listener->Listen(0, listening)); });
    ASSERT_EQ(0u, ops->wait(listening).error);
    IAsynIoOperation* accepting = operation(0);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, listener->Accept(accepting)); });
    host->on_dispatch([&] { EXPECT_EQ(0u, listener->Release()); });
    EXPECT_EQ(socks_cancelled_error, ops->wait(accepting).error);
    IUnknown* result = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(S_OK, accepting->GetResultObject(&result));
    EXPECT_EQ(nullptr, result);
    EXPECT_TRUE(host->run_until([&] { return proxy_saw_close->load(); }, std::chrono::seconds(10)));
    host->run_until([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_EQ(1, ops->get(accepting).count);
}

TEST_P(ProxyTest, ABindReplyOfAnyAddressNamesTheProxy) {
    plan& p = script;
    change(p, [&] { p.reply = {5, 0, 0, 1, 0, 0, 0, 0, 0x1F, 0x90}; });
    scripted_tcp_server* proxy = &serve(scripted_proxy(p));
    const auto [bound, port] = listen_and_read_bound(bind_listener(proxy->port()));
    EXPECT_EQ("127.0.0.1", bound);
    EXPECT_EQ(8080, port);
    EXPECT_EQ(2, seen(p, &plan::request)[1]);  // BIND
}

// ---- IPv6 through dante ------------------------------------------------------------------

TEST_P(ProxyTest, ConnectsToIpv6TargetsAndReachesTheProxyOverIpv6) {
    NEED_DANTE();
    const std::uint16_t port = free_tcp_port();
    danted_server dante(folder.path().string(), port, false, true);
    ASSERT_TRUE(dante.ok());
    scripted_tcp_server* echo = &serve(echo_server(true));

    // Proxy over IPv4, target over IPv6 (ATYP 4).
    IAsynProxyTcpSocket* to_six = proxied(port);
    ASSERT_EQ(0u, connect(to_six, "[::1]", echo->port()));
    echo_round(to_six, "to an IPv6 target");

    // The proxy itself at an IPv6 address, by its bracketed text.
    for (const std::string proxy_host : {"[::1]", "::1"}) {
        IAsynTcpSocket* voucher = nullptr;
        host->on_dispatch([&] { ASSERT_EQ(S_OK, frame()->CreateTcpSocket(&voucher)); });
        keep(voucher);
        IAsynProxyTcpSocket* socket = nullptr;
        ASSERT_EQ(S_OK, frame()->CreateProxyTcpSocket(voucher, PROXY_KIND_SOCKS5, static_cast<DWORD>(proxy_host.size()),
                                                      proxy_host.data(), port, 0, "", 0, "", &socket));
        keep(socket);
        ASSERT_EQ(0u, connect(socket, "::1", echo->port())) << proxy_host;
        echo_round(socket, "both legs over IPv6");

        // The text face speaks for the connection to the proxy, as the 32-bit slots do.
        IAsynTcpSocket2* text = nullptr;
        ASSERT_EQ(S_OK, socket->QueryInterface(IID_IAsynTcpSocket2, reinterpret_cast<void**>(&text)));
        keep(text);
        text_sink peer;
        WORD peer_port = 0;
        host->on_dispatch([&] { EXPECT_EQ(S_OK, text->GetPeerAddressText(&peer, &peer_port)); });
        EXPECT_EQ("::1", peer.text);
        EXPECT_EQ(port, peer_port);
        host->on_dispatch([&] { EXPECT_EQ(E_UNEXPECTED, text->Bind(2, "::", 0)) << "bound once connected"; });
    }
}

TEST_P(ProxyTest, BindAndUdpAssociateAnswerWithIpv6Addresses) {
    NEED_DANTE();
    const std::uint16_t port = free_tcp_port();
    danted_server dante(folder.path().string(), port, false, true);
    ASSERT_TRUE(dante.ok());

    // BIND for an IPv6 peer: the proxy listens on its IPv6 side and says so,
    // whatever local address the host asked for.
    IAsynTcpListener* listener = nullptr;
    host->on_dispatch([&] {
        ASSERT_EQ(S_OK, frame()->CreateSock5TcpListener(5, "[::1]", port, 0, "", 0, "", 3, "::1", 0, &listener));
    });
    keep(listener);
    IAsynTcpListener3* by_text = nullptr;
    ASSERT_EQ(S_OK, listener->QueryInterface(IID_IAsynTcpListener3, reinterpret_cast<void**>(&by_text)));
    keep(by_text);
    IAsynIoOperation* listening = operation(0);
    host->on_dispatch([&] {
        EXPECT_EQ(E_INVALIDARG, by_text->ListenOnAddress(4, "nope", 0, listening));
        EXPECT_EQ(S_OK, by_text->ListenOnAddress(2, "::", 0, listening));
    });
    ASSERT_EQ(0u, ops->wait(listening).error);
    text_sink bound_text;
    WORD bound_port = 0;
    host->on_dispatch([&] { EXPECT_EQ(S_OK, listener->GetLocalAddress(&bound_text, &bound_port)); });
    const std::string bound = bound_text.text;
    EXPECT_EQ("::1", bound);
    ASSERT_NE(0, bound_port);
    IAsynIoOperation* accepting = operation(0);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, listener->Accept(accepting)); });
    const sock_t peer = ipv6_loopback_client(bound_port);
    ASSERT_NE(bad_sock, peer);
    EXPECT_EQ(0u, ops->wait(accepting).error);
    close_sock(peer);

    // UDP ASSOCIATE from an IPv6 socket: the relay is at the proxy's IPv6
    // address, and datagrams to and from an IPv6 peer carry ATYP 4.
    udp_echo far_end(true);
    IAsynUdpSocket2* made = nullptr;
    host->on_dispatch([&] { ASSERT_EQ(S_OK, frame()->CreateSock5UdpSocket(5, "[::1]", port, 0, "", 0, "", &made)); });
    keep(made);
    IAsynUdpSocket3* udp = nullptr;
    ASSERT_EQ(S_OK, made->QueryInterface(IID_IAsynUdpSocket3, reinterpret_cast<void**>(&udp)));
    keep(udp);
    IAsynIoOperation* opening = operation(0);
    host->on_dispatch([&] { EXPECT_EQ(S_OK, udp->OpenOn(2, "::", 0, opening)); });
    ASSERT_EQ(0u, ops->wait(opening).error);
    text_sink relay;
    WORD relay_port = 0;
    host->on_dispatch([&] { EXPECT_EQ(S_OK, udp->GetLocalAddressText(&relay, &relay_port)); });
    EXPECT_EQ("::1", relay.text);
    EXPECT_NE(0, relay_port);

    IAsynIoOperation* in = operation(1500);
    IAsynIoOperation* out = operation(5);
    BYTE* buffer = nullptr;
    DWORD length = 0;
    out->GetBuffer(&buffer, &length);
    std::memcpy(buffer, "sixty", 5);
    host->on_dispatch([&] {
        EXPECT_EQ(S_OK, udp->Read(in));
        EXPECT_EQ(S_OK, udp->SendTo(out, 3, "::1", far_end.port()));
    });
    EXPECT_EQ(5u, ops->wait(out).bytes);
    const auto got = ops->wait(in);
    EXPECT_EQ(0u, got.error);
    ASSERT_EQ(5u, got.bytes);
    in->GetBuffer(&buffer, &length);
    EXPECT_EQ(0, std::memcmp(buffer, "sixty", 5));
    text_sink origin;
    WORD origin_port = 0;
    host->on_dispatch([&] { EXPECT_EQ(S_OK, udp->GetSourceAddress(in, &origin, &origin_port)); });
    EXPECT_EQ("::1", origin.text);
    EXPECT_EQ(far_end.port(), origin_port);
}

INSTANTIATE_TEST_SUITE_P(Modes, ProxyTest, all_modes(), mode_label);

}  // namespace
