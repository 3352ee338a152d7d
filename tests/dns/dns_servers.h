// Real DNS servers for the resolver tests, on loopback: dnsmasq with the test
// zone, and a responder of our own for what a real server will not do on
// demand (silence, wrong identifiers, wrong sources, garbage).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/child_process.h"
#include "common/portable.h"
#include "dns_test_support.h"

namespace asynframe::dns_test {

// What one resolver test configures through the environment: a hosts file
// naming listed.af.test (10.9.9.9), a resolv.conf of its own (no server until
// servers() is called) and the port of its servers.
struct resolver_env {
    resolver_env();
    void servers(const std::vector<std::string>& addresses);

    temp_folder folder;
    std::uint16_t port;
};

// Names the last-good rule keeps: under this suffix.
inline constexpr const char* last_good_suffix = ".lg.af.test";

// A UDP port free on 127.0.0.1 and 127.0.0.2 at the time of the call.
std::uint16_t free_udp_port();

// dnsmasq answering the zone "af.test" from its own records only:
//   one.af.test    10.1.0.1
//   multi.af.test  10.1.0.2 and 10.1.0.3
//   alias.af.test  CNAME of one.af.test
//   *.lg.af.test   (last-good names) 10.2.0.1 for ok.lg.af.test
//   loop.af.test   127.0.0.1
//   both.af.test   10.1.0.5 and fd00:af::5
//   six.af.test    fd00:af::6 only
// every other name under af.test is NXDOMAIN; TTLs are 300 s.
class dnsmasq_server {
public:
    // Starts it on 127.0.0.1:`port`; `ok()` tells whether it answers.
    dnsmasq_server(const std::string& folder, std::uint16_t port);
    ~dnsmasq_server();
    dnsmasq_server(const dnsmasq_server&) = delete;
    dnsmasq_server& operator=(const dnsmasq_server&) = delete;

    bool ok() const { return _ok; }
    static bool installed();

private:
    std::unique_ptr<harness::child_process> _process;
    bool _ok = false;
};

// The sender of a query, kept opaque here.
struct sockaddr_in_storage {
    unsigned char bytes[16];
};

// One query a responder received.
struct received_query {
    int server;  // index of the address it arrived at
    sockaddr_in_storage from;  // the resolver's socket
    std::uint16_t id;
    std::string name;
    unsigned type = 1;  // the question's: 1 A, 28 AAAA
    std::vector<unsigned char> bytes;
};

// Listens on 127.0.0.1, 127.0.0.2 and 127.0.0.3 (the same port) and replies
// as the test's policy says. Under wine the three sockets are a Linux relay's
// (tests/dns/udp_relay.py): wine binds a UDP socket for one loopback address
// to all of them.
class scripted_responder {
public:
    struct datagram {
        int from;  // which address sends it: 0 for 127.0.0.1, 1 for 127.0.0.2, 2 for 127.0.0.3
        std::vector<unsigned char> bytes;
    };
    using policy = std::function<std::vector<datagram>(const received_query&)>;

    explicit scripted_responder(std::uint16_t port, policy reply);
    ~scripted_responder();
    scripted_responder(const scripted_responder&) = delete;
    scripted_responder& operator=(const scripted_responder&) = delete;

    // The queries of one type received so far (A unless told otherwise: the
    // IPv6 queries beside them are counted apart).
    std::vector<received_query> queries(unsigned type = 1) const;
    std::size_t count(const std::string& name, unsigned type = 1) const;
    // Sends `bytes` from address `from` to where `query` came from.
    void send(int from, const received_query& query, const std::vector<unsigned char>& bytes) const;

    // A reply to `query` with `rcode`, its question (type included), and one
    // record per address of the question's family (TTL `ttl`): A records for
    // the dotted ones to an A query, AAAA records for the IPv6 ones to an AAAA
    // query. An AAAA query given only IPv4 addresses gets an empty answer, as
    // a name without IPv6 address has.
    static std::vector<unsigned char> reply(const received_query& query, unsigned rcode,
                                            const std::vector<std::string>& addresses, std::uint32_t ttl = 60,
                                            int id_delta = 0);

private:
    void serve();
    // Sends `bytes` from server `from` to `to`.
    void send_from(int from, const sockaddr_in& to, const std::vector<unsigned char>& bytes) const;

    harness::sock_t _sockets[3] = {harness::bad_sock, harness::bad_sock, harness::bad_sock};
#if defined(_WIN32)
    harness::sock_t _control = harness::bad_sock;
    sockaddr_in _relay_address{};
    std::unique_ptr<harness::child_process> _relay;
#endif
    harness::wake_signal _wake;
    policy _reply;
    mutable std::mutex _lock;
    std::vector<received_query> _queries;
    std::thread _thread;
};

// The TCP side of a server on 127.0.0.1 and 127.0.0.2 (the responder's port):
// reads each length-prefixed query and answers as the test's policy says, one
// message sent with its length prefix; an empty answer holds the connection
// open, unanswered, until the responder goes.
class scripted_tcp_responder {
public:
    using policy = std::function<std::vector<unsigned char>(const received_query&)>;

    scripted_tcp_responder(std::uint16_t port, policy reply);
    ~scripted_tcp_responder();
    scripted_tcp_responder(const scripted_tcp_responder&) = delete;
    scripted_tcp_responder& operator=(const scripted_tcp_responder&) = delete;

    std::vector<received_query> queries(unsigned type = 1) const;
    std::size_t connections() const { return _accepted.load(); }

private:
    void serve();

    harness::sock_t _listeners[2] = {harness::bad_sock, harness::bad_sock};
    harness::wake_signal _wake;
    policy _reply;
    std::atomic<std::size_t> _accepted{0};
    mutable std::mutex _lock;
    std::vector<received_query> _queries;
    std::thread _thread;
};

// `reply` with the TC bit set: the server had more than fits.
std::vector<unsigned char> truncated(std::vector<unsigned char> reply);

}  // namespace asynframe::dns_test
