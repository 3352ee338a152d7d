// The connection scheduler in every engine mode: connects by address and by
// name through real DNS servers on loopback, the retry over several addresses,
// the limits and the queue order, closes at every stage, the observers and
// the statistics, and names with both families raced over IPv6 and IPv4.
#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "asynframe/com_helpers.h"
#include "common/isolated_network.h"
#include "common/portable.h"
#include "common/socket_fixture.h"
#include "dns/dns_servers.h"
#include "dns/dns_service.h"
#include "dns/dns_state.h"
#include "dns/request_list.h"
#include "platform/error_codes.h"
#include "socket/connect_manager.h"
#include "socket/connect_manager_object.h"
#include "socket/socket_objects.h"
#include "support/stat_data.h"

namespace {

using namespace asynframe;
using namespace asynframe::harness;
using asynframe::dns_test::dnsmasq_server;
using asynframe::dns_test::received_query;
using asynframe::dns_test::resolver_env;
using asynframe::dns_test::scripted_responder;

// Every step the scheduler's component face reports, as text, in order; the
// starts of attempts apart, with the time each was heard.
class observer final : public com_interfaces<observer, IConnectManagerEvents2>, public atomic_ref_count {
public:
    using interfaces = interface_table<interface_entry<IID_IUnknown, IConnectManagerEvents2>,
                                       interface_entry<IID_IConnectManagerEvents, IConnectManagerEvents2>,
                                       interface_entry<IID_IConnectManagerEvents2, IConnectManagerEvents2>>;
    using clock = std::chrono::steady_clock;
    struct start_seen {
        std::string address;
        clock::time_point at;
    };
    HRESULT ASYNFRAME_STDCALL OnConnectRequest(IAsynIoOperation* op, DWORD length, const char* host, WORD port,
                                               LONG priority) override {
        log(op, "request " + std::string(host, length) + ":" + std::to_string(port) + " " + std::to_string(priority));
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnResolved(IAsynIoOperation* op, LONG result, tagSTRING_ARRAY addresses) override {
        std::string text = "resolved " + std::to_string(result);
        for (UINT i = 0; i < addresses.count; ++i)
            text += " " + std::string(addresses.items[i].text, addresses.items[i].length);
        log(op, text);
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnConnectAttempt(IAsynIoOperation* op, DWORD result, DWORD length,
                                               const char* address) override {
        log(op, "attempt " + std::to_string(result) + " " + std::string(address, length));
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnConnectComplete(IAsynIoOperation* op, DWORD result) override {
        log(op, "complete " + std::to_string(result));
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnConnectAttemptStart(IAsynIoOperation* op, DWORD length, const char* address) override {
        std::lock_guard<std::mutex> guard(_lock);
        _starts.emplace_back(op, start_seen{std::string(address, length), clock::now()});
        return S_OK;
    }
    std::vector<start_seen> starts_of(IAsynIoOperation* op) {
        std::lock_guard<std::mutex> guard(_lock);
        std::vector<start_seen> out;
        for (const auto& [who, seen] : _starts)
            if (who == op) out.push_back(seen);
        return out;
    }
    std::vector<std::string> start_addresses(IAsynIoOperation* op) {
        std::vector<std::string> out;
        for (const start_seen& seen : starts_of(op)) out.push_back(seen.address);
        return out;
    }

    std::vector<std::string> of(IAsynIoOperation* op) {
        std::lock_guard<std::mutex> guard(_lock);
        std::vector<std::string> out;
        for (const auto& [who, text] : _log)
            if (who == op) out.push_back(text);
        return out;
    }
    // The operations in the order their `prefix` step was reported.
    std::vector<IAsynIoOperation*> order(const std::string& prefix) {
        std::lock_guard<std::mutex> guard(_lock);
        std::vector<IAsynIoOperation*> out;
        for (const auto& [who, text] : _log)
            if (text.rfind(prefix, 0) == 0) out.push_back(who);
        return out;
    }

private:
    ~observer() override = default;
    void log(IAsynIoOperation* op, std::string text) {
        std::lock_guard<std::mutex> guard(_lock);
        _log.emplace_back(op, std::move(text));
    }
    std::mutex _lock;
    std::vector<std::pair<IAsynIoOperation*, std::string>> _log;
    std::vector<std::pair<IAsynIoOperation*, start_seen>> _starts;
};

// Drops TCP over IPv6 to one port inside the test's own network namespace
// while it lives: a connect there stays unanswered, as behind a firewall.
// Linux only: a program under wine cannot start the Linux ip6tables.
class dropped_ipv6_port {
public:
    explicit dropped_ipv6_port(std::uint16_t port)
        : _rule("INPUT -p tcp --dport " + std::to_string(port) + " -j DROP") {
#if !defined(_WIN32)
        _ok = std::system(("ip6tables -w -A " + _rule + " >/dev/null 2>&1").c_str()) == 0;
#endif
    }
    ~dropped_ipv6_port() {
        if (_ok) (void)!std::system(("ip6tables -w -D " + _rule + " >/dev/null 2>&1").c_str());
    }
    dropped_ipv6_port(const dropped_ipv6_port&) = delete;
    dropped_ipv6_port& operator=(const dropped_ipv6_port&) = delete;
    bool ok() const { return _ok; }

private:
    std::string _rule;
    bool _ok = false;
};

// Sockets of the namespace still sending their SYN to `port` (state 02 in
// /proc/net/tcp or tcp6): an attempt left open shows here. -1 where the
// table cannot be read (Windows).
int syn_sent_to(const char* table, std::uint16_t port) {
    std::ifstream file(table);
    if (!file) return -1;
    std::string line;
    std::getline(file, line);
    int count = 0;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        const auto colon = remote.rfind(':');
        if (colon == std::string::npos) continue;
        if (std::stoul(remote.substr(colon + 1), nullptr, 16) == port && state == "02") ++count;
    }
    return count;
}

// Collects what the scheduler stores at its end.
class statistics_sink final : public com_interfaces<statistics_sink, IStatisticsSink>, public atomic_ref_count {
public:
    using interfaces = no_interfaces;
    HRESULT ASYNFRAME_STDCALL SetValue(UINT section_length, const char* section, UINT key_length, const char* key,
                                       DWORD low, DWORD high) override {
        std::lock_guard<std::mutex> guard(_lock);
        values[name(section_length, section, key_length, key)] = (static_cast<std::uint64_t>(high) << 32) | low;
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL GetValue(UINT section_length, const char* section, UINT key_length, const char* key,
                                       ULONGLONG* value) override {
        std::lock_guard<std::mutex> guard(_lock);
        const auto found = values.find(name(section_length, section, key_length, key));
        if (found == values.end()) return E_FAIL;
        *value = found->second;
        return S_OK;
    }
    static std::string name(UINT sl, const char* s, UINT kl, const char* k) {
        return std::string(s, sl) + "/" + std::string(k, kl);
    }
    std::map<std::string, std::uint64_t> values;

private:
    ~statistics_sink() override = default;
    std::mutex _lock;
};

class ConnectManagerTest : public ::testing::TestWithParam<engine_mode> {
protected:
    void SetUp() override {
        ASYNFRAME_SKIP_WITHOUT_RING(GetParam());
        start_dns_service();
        dns_started = true;
        statistics = new statistics_sink;
        statistics->values["connect_manager/connect_time_average"] = 100;
        env = std::make_unique<engine_env>(GetParam());
        // The scheduler writes its averages through the frame's statistics.
        stats = std::make_unique<stat_data>(statistics);
        env->services()->stat_data_ptr = stats.get();
        sink = new recording_sink(env->waiter());
        face = socket_services::create_connect_manager_object(*env->services());
        ASSERT_NE(face, nullptr);
        ASSERT_EQ(S_OK, face->QueryInterface(IID_IConnectManager, reinterpret_cast<void**>(&manager_face)));
        events = new observer;
        ASSERT_EQ(S_OK, manager_face->Advise(events));
        EXPECT_EQ(E_UNEXPECTED, manager_face->Advise(events));
    }
    void TearDown() override {
        if (!env) {
            if (dns_started) stop_dns_service();
            return;
        }
        for (IAsynTcpSocket* socket : sockets) env->run([&] { socket->Release(); });
        for (IAsynIoOperation* op : operations) op->Release();
        if (manager_face != nullptr) {
            EXPECT_EQ(S_OK, manager_face->Unadvise(events));
            manager_face->Release();
        }
        socket_services::detach_connect_manager_object(*env->services(), face);
        face->Release();
        env->shutdown();
        env.reset();
        stats.reset();
        events->Release();
        sink->Release();
        statistics->Release();
        stop_dns_service();
    }

    connect_manager& scheduler() { return *env->services()->connect_manager_ptr; }

    IAsynTcpSocket* new_socket() {
        IAsynTcpSocket* socket = nullptr;
        EXPECT_EQ(S_OK, socket_factory::create_tcp_socket(env->services(), IID_IAsynTcpSocket,
                                                         reinterpret_cast<void**>(&socket)));
        sockets.push_back(socket);
        return socket;
    }
    IAsynIoOperation* new_operation() {
        operations.push_back(make_operation(*env, sink, 0));
        return operations.back();
    }
    // Starts a connect on a new socket with a new operation.
    std::pair<IAsynTcpSocket*, IAsynIoOperation*> start(const std::string& host, std::uint16_t port,
                                                        LONG priority = 0) {
        IAsynTcpSocket* socket = new_socket();
        IAsynIoOperation* op = new_operation();
        env->run([&] {
            EXPECT_EQ(S_OK, socket->Connect(op, static_cast<DWORD>(host.size()), host.data(), port, priority));
        });
        return {socket, op};
    }
    void close(IAsynTcpSocket* socket) {
        env->run([&] { EXPECT_EQ(S_OK, socket->Close()); });
    }
    // A name no other test resolves, so the process-wide cache cannot answer it.
    std::string fresh_name(const std::string& stem) {
        static std::atomic<int> counter{0};
        return stem + std::to_string(counter++) + "-" + mode_name(GetParam()) + ".af.test";
    }
    static std::uint16_t closed_port() {
        const sock_t probe = make_listener();
        const std::uint16_t port = local_port(probe);
        close_sock(probe);
        return port;
    }
    static sock_t listener_on(const char* address, std::uint16_t port) {
        const sock_t fd = tcp_sock();
        EXPECT_NE(fd, bad_sock);
        const sockaddr_in a = ipv4_address(address, port);
#if !defined(_WIN32)
        // On Windows the option would let the bind take a port another socket holds.
        set_sock_option(fd, SOL_SOCKET, SO_REUSEADDR, 1);
#endif
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 64) != 0) {
            close_sock(fd);
            return bad_sock;
        }
        return fd;
    }
    // Holds a resolution of `name` at the responder until released, so one
    // request occupies a place for as long as a test needs.
    struct held_name {
        std::string name;
        std::mutex lock;
        std::vector<received_query> queries;
    };
    static scripted_responder::policy hold_then_answer(held_name& held) {
        return [&held](const received_query& q) {
            std::lock_guard<std::mutex> guard(held.lock);
            held.queries.push_back(q);
            return std::vector<scripted_responder::datagram>{};
        };
    }
    bool query_arrived(held_name& held) {
        return env->wait_until([&] {
            std::lock_guard<std::mutex> guard(held.lock);
            return !held.queries.empty();
        });
    }
    static void release(held_name& held, scripted_responder& responder, const std::vector<std::string>& addresses,
                        unsigned rcode = 0) {
        std::lock_guard<std::mutex> guard(held.lock);
        for (const received_query& q : held.queries)
            responder.send(q.server, q, scripted_responder::reply(q, rcode, addresses));
    }

    std::unique_ptr<engine_env> env;
    std::unique_ptr<stat_data> stats;
    statistics_sink* statistics = nullptr;
    recording_sink* sink = nullptr;
    IUnknown* face = nullptr;
    IConnectManager* manager_face = nullptr;
    observer* events = nullptr;
    std::vector<IAsynTcpSocket*> sockets;
    std::vector<IAsynIoOperation*> operations;
    bool dns_started = false;
};

#define SKIP_UNLESS_ISOLATED()        \
    if (!harness::network_isolated()) \
    GTEST_SKIP() << "needs a network namespace: the resolver's system lookups would leave loopback"

TEST_P(ConnectManagerTest, DottedAddressesConnectWithoutResolution) {
    const sock_t listener = make_listener();
    const std::uint16_t port = local_port(listener);
    for (const char* host : {"127.0.0.1", "127.0.0.1."}) {
        auto [socket, op] = start(host, port, 5);
        EXPECT_EQ(0u, sink->wait(op).error) << host;
        const sock_t accepted = accept_sock(listener);
        EXPECT_NE(accepted, bad_sock);
        // The connected socket carries data.
        EXPECT_EQ(1, send_bytes(accepted, "x", 1));
        close_sock(accepted);
        const std::string request = "request " + std::string(host) + ":" + std::to_string(port) + " 5";
        EXPECT_EQ(events->of(op), (std::vector<std::string>{request, "attempt 0 127.0.0.1", "complete 0"}));
    }
    close_sock(listener);
}

TEST_P(ConnectManagerTest, NamesResolveThroughTheServerThenConnect) {
    SKIP_UNLESS_ISOLATED();
    if (!dnsmasq_server::installed()) GTEST_SKIP() << "dnsmasq is not installed";
    resolver_env dns;
    dnsmasq_server server(dns.folder.path().string(), dns.port);
    ASSERT_TRUE(server.ok());
    dns.servers({"127.0.0.1"});
    const sock_t listener = make_listener();
    const std::uint16_t port = local_port(listener);

    auto [socket, op] = start("loop.af.test", port);
    EXPECT_EQ(0u, sink->wait(op).error);
    EXPECT_EQ(events->of(op), (std::vector<std::string>{"request loop.af.test:" + std::to_string(port) + " 0",
                                                        "resolved 0 127.0.0.1", "attempt 0 127.0.0.1",
                                                        "complete 0"}));
    // A name the zone does not have.
    const std::string name = fresh_name("missing");
    auto [missing_socket, missing] = start(name, port);
    EXPECT_EQ(errors::host_not_found, sink->wait(missing).error);
    EXPECT_EQ(events->of(missing), (std::vector<std::string>{"request " + name + ":" + std::to_string(port) + " 0",
                                                             "resolved 1", "complete 11001"}));
    close_sock(listener);
}

TEST_P(ConnectManagerTest, EveryAddressIsTriedAndTheOperationCompletesOnceAfterTheLast) {
    SKIP_UNLESS_ISOLATED();
    // Windows lets a socket connect again after a refusal; wine's sockets are
    // Linux's underneath and answer the second attempt with 10053.
    if (harness::running_under_wine()) GTEST_SKIP() << "wine cannot connect a socket again after a refused connect";
    resolver_env dns;
    const std::string name = fresh_name("three");
    scripted_responder responder(dns.port, [](const received_query& q) {
        return std::vector<scripted_responder::datagram>{
            {q.server, scripted_responder::reply(q, 0, {"127.0.0.1", "127.0.0.2", "127.0.0.3"})}};
    });
    dns.servers({"127.0.0.1"});
    const std::uint16_t port = closed_port();

    // 127.0.0.2 connected fast before, so it is tried second, and the listener
    // on 127.0.0.3 last.
    {
        const sock_t earlier = listener_on("127.0.0.2", port);
        ASSERT_NE(earlier, bad_sock);
        auto [socket, op] = start("127.0.0.2", port);
        EXPECT_EQ(0u, sink->wait(op).error);
        close_sock(earlier);
        close(socket);
    }
    const sock_t listener = listener_on("127.0.0.3", port);
    ASSERT_NE(listener, bad_sock);
    auto [socket, op] = start(name, port);
    sink->hook = [&](IAsynIoOperation* done, DWORD, DWORD) {
        // The observers heard every attempt before the caller's completion.
        if (done == op) {
            EXPECT_EQ(6u, events->of(op).size());
        }
    };
    EXPECT_EQ(0u, sink->wait(op).error);
    env->run([&] { sink->hook = nullptr; });
    EXPECT_EQ(events->of(op),
              (std::vector<std::string>{"request " + name + ":" + std::to_string(port) + " 0",
                                        "resolved 0 127.0.0.1 127.0.0.2 127.0.0.3", "attempt 10061 127.0.0.1",
                                        "attempt 10061 127.0.0.2", "attempt 0 127.0.0.3", "complete 0"}));
    close_sock(listener);

    // With nobody listening the last attempt's error is the result.
    const std::string again = fresh_name("three");
    auto [refused_socket, refused] = start(again, port);
    EXPECT_EQ(10061u, sink->wait(refused).error);
    const auto steps = events->of(refused);
    EXPECT_EQ(3, std::count_if(steps.begin(), steps.end(), [](const std::string& s) {
                  return s.rfind("attempt 10061", 0) == 0;
              }));
    EXPECT_EQ(steps.back(), "complete 10061");
    env->wait_until([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_EQ(1, sink->get(refused).count);
}

TEST_P(ConnectManagerTest, ASynLimitOfOneRunsConnectsOneAfterAnotherInPriorityOrder) {
    SKIP_UNLESS_ISOLATED();
    resolver_env dns;
    held_name held;
    scripted_responder responder(dns.port, hold_then_answer(held));
    dns.servers({"127.0.0.1"});
    const sock_t listener = make_listener();
    const std::uint16_t port = local_port(listener);

    scheduler().set_max_syn_count(1);
    EXPECT_EQ(1u, scheduler().max_syn_count());
    // The first request holds the only place while its name is resolved.
    auto [blocker_socket, blocker] = start(fresh_name("held"), port);
    ASSERT_TRUE(query_arrived(held));
    auto [s1, older] = start("127.0.0.1", port, 0);
    auto [s2, newer] = start("127.0.0.1", port, 0);
    auto [s3, urgent] = start("127.0.0.1", port, 10);
    EXPECT_EQ(4u, scheduler().syn_count());
    EXPECT_EQ(1u, scheduler().connection_count());
    EXPECT_FALSE(sink->completed(older));

    release(held, responder, {"127.0.0.1"});
    for (IAsynIoOperation* op : {blocker, older, newer, urgent}) EXPECT_EQ(0u, sink->wait(op).error);
    // Each attempt began only after the one before had completed.
    EXPECT_EQ(events->order("attempt"), (std::vector<IAsynIoOperation*>{blocker, urgent, older, newer}));
    EXPECT_EQ(events->order("complete"), (std::vector<IAsynIoOperation*>{blocker, urgent, older, newer}));
    close_sock(listener);
}

TEST_P(ConnectManagerTest, AHostThatFailedScoresZeroAndQueuesBehindANewOne) {
    SKIP_UNLESS_ISOLATED();
    resolver_env dns;
    held_name held;
    scripted_responder responder(dns.port, hold_then_answer(held));
    dns.servers({"127.0.0.1"});
    const sock_t listener = listener_on("127.0.0.2", 0);
    ASSERT_NE(listener, bad_sock);
    const std::uint16_t port = local_port(listener);
    const std::uint16_t refusing = closed_port();

    EXPECT_EQ(50, scheduler().address_score("127.0.0.1", refusing));
    auto [failed_socket, failed] = start("127.0.0.1", refusing);
    EXPECT_EQ(10061u, sink->wait(failed).error);
    EXPECT_EQ(0, scheduler().address_score("127.0.0.1", refusing));

    scheduler().set_max_syn_count(1);
    auto [blocker_socket, blocker] = start(fresh_name("held"), port);
    ASSERT_TRUE(query_arrived(held));
    auto [s1, known_bad] = start("127.0.0.1", refusing, 0);
    auto [s2, unknown] = start("127.0.0.2", port, 0);
    release(held, responder, {"127.0.0.2"});
    EXPECT_EQ(0u, sink->wait(blocker).error);
    EXPECT_EQ(10061u, sink->wait(known_bad).error);
    EXPECT_EQ(sink->get(unknown).count, 1);
    EXPECT_EQ(events->order("complete"), (std::vector<IAsynIoOperation*>{failed, blocker, unknown, known_bad}));
    EXPECT_EQ(events->of(known_bad).front(), "request 127.0.0.1:" + std::to_string(refusing) + " 0");
    close_sock(listener);
}

TEST_P(ConnectManagerTest, ClosingWhileResolvingCancelsTheResolutionWith995) {
    SKIP_UNLESS_ISOLATED();
    resolver_env dns;
    held_name held;
    scripted_responder responder(dns.port, hold_then_answer(held));
    dns.servers({"127.0.0.1"});
    const std::string name = fresh_name("closed");
    auto [socket, op] = start(name, 80);
    ASSERT_TRUE(query_arrived(held));
    auto in_flight = [&] {
        dns_detail::list_guard guard;
        return guard.list() != nullptr && guard.list()->in_flight(name);
    };
    EXPECT_TRUE(in_flight());
    close(socket);
    EXPECT_EQ(errors::operation_aborted, sink->wait(op).error);
    // The resolver dropped the name: nobody asks for it any more.
    EXPECT_FALSE(in_flight());
    EXPECT_EQ(0u, scheduler().syn_count());
    EXPECT_EQ(0u, scheduler().connection_count());
    // A late answer changes nothing.
    release(held, responder, {"127.0.0.1"});
    env->wait_until([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(1, sink->get(op).count);
    EXPECT_EQ(events->of(op).size(), 1u);  // the request only: no outcome was reported
}

TEST_P(ConnectManagerTest, ClosingWhileConnectingOrQueuedCompletesWith995) {
    stalled_listener stalled;
    ASSERT_TRUE(stalled.stalled);
    scheduler().set_max_syn_count(1);
    auto [connecting_socket, connecting] = start("127.0.0.1", stalled.port);
    auto [queued_socket, queued] = start("127.0.0.1", stalled.port);
    env->wait_until([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_FALSE(sink->completed(connecting));
    EXPECT_EQ(2u, scheduler().syn_count());

    close(queued_socket);
    EXPECT_EQ(errors::operation_aborted, sink->wait(queued).error);
    close(connecting_socket);
    EXPECT_EQ(errors::operation_aborted, sink->wait(connecting).error);
    EXPECT_EQ(0u, scheduler().syn_count());
    EXPECT_EQ(0u, scheduler().connection_count());
    // Closed twice, and used again after the close: a fresh socket connects.
    env->run([&] { EXPECT_EQ(E_UNEXPECTED, connecting_socket->Close()); });
    const sock_t listener = make_listener();
    IAsynIoOperation* again = new_operation();
    env->run([&] { EXPECT_EQ(S_OK, connecting_socket->Connect(again, 9, "127.0.0.1", local_port(listener), 0)); });
    EXPECT_EQ(0u, sink->wait(again).error);
    close_sock(listener);
}

TEST_P(ConnectManagerTest, ASecondConnectOnAQueuedSocketAndAnEmptyHostCompleteWithMinusOne) {
    stalled_listener stalled;
    ASSERT_TRUE(stalled.stalled);
    auto [socket, first] = start("127.0.0.1", stalled.port);
    auto* object = static_cast<CAsynTcpSocket*>(socket);
    const platform::native_handle fd = object->socket_device()->handle();
    auto issue = [&](IAsynIoOperation* op, const std::string& host) {
        env->run([&] {
            CAsynIoOperation* request = CAsynIoOperation::resolve(op);
            request->AddRef();  // the completion's reference
            asyn_io_operation* engine_op = request->engine_operation();
            engine_op->set_operate_handle(fd);
            engine_op->set_operation_type(operation_type::connect);
            engine_op->mark_pending();
            scheduler().connect(engine_op, host, stalled.port, 0);
        });
    };
    IAsynIoOperation* second = new_operation();
    issue(second, "127.0.0.1");
    EXPECT_EQ(0xFFFFFFFFu, sink->wait(second).error);
    IAsynIoOperation* empty = new_operation();
    issue(empty, "");
    EXPECT_EQ(0xFFFFFFFFu, sink->wait(empty).error);
    EXPECT_FALSE(sink->completed(first));
    EXPECT_EQ(1u, scheduler().syn_count());
    close(socket);
    EXPECT_EQ(errors::operation_aborted, sink->wait(first).error);
}

TEST_P(ConnectManagerTest, ClosingAConnectedSocketLetsAWaitingRequestIn) {
    const sock_t listener = make_listener();
    const std::uint16_t port = local_port(listener);
    scheduler().set_max_connection(1);
    EXPECT_EQ(1u, scheduler().max_connection());
    auto [first_socket, first] = start("127.0.0.1", port);
    EXPECT_EQ(0u, sink->wait(first).error);
    auto [second_socket, second] = start("127.0.0.1", port);
    env->wait_until([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_FALSE(sink->completed(second));
    EXPECT_EQ(1u, scheduler().connection_count());
    close(first_socket);
    EXPECT_EQ(0u, sink->wait(second).error);
    close_sock(listener);
}

TEST_P(ConnectManagerTest, LimitSettersClampAndKeepPlacesBack) {
    const struct {
        std::uint32_t asked, syn;
    } syn_cases[] = {{60, 58}, {1, 1}, {2, 1}, {3, 1}, {4, 2}, {300, 254}};
    for (const auto& c : syn_cases) {
        scheduler().set_max_syn_count(c.asked);
        EXPECT_EQ(c.syn, scheduler().max_syn_count()) << c.asked;
    }
    const struct {
        std::uint32_t asked, kept;
    } connection_cases[] = {{5000, 1000}, {1, 1}, {999, 999}};
    for (const auto& c : connection_cases) {
        scheduler().set_max_connection(c.asked);
        EXPECT_EQ(c.kept, scheduler().max_connection()) << c.asked;
    }
}

TEST_P(ConnectManagerTest, AveragesAreStoredWhenTheSchedulerGoes) {
    SKIP_UNLESS_ISOLATED();
    if (!dnsmasq_server::installed()) GTEST_SKIP() << "dnsmasq is not installed";
    resolver_env dns;
    dnsmasq_server server(dns.folder.path().string(), dns.port);
    ASSERT_TRUE(server.ok());
    dns.servers({"127.0.0.1"});
    const sock_t listener = make_listener();
    auto [s1, by_address] = start("127.0.0.1", local_port(listener));
    EXPECT_EQ(0u, sink->wait(by_address).error);
    auto [s2, by_name] = start("loop.af.test", local_port(listener));
    EXPECT_EQ(0u, sink->wait(by_name).error);
    close_sock(listener);

    for (IAsynTcpSocket* socket : std::exchange(sockets, {})) env->run([&] { socket->Release(); });
    socket_services::detach_connect_manager_object(*env->services(), face);
    env->shutdown();
    auto& values = statistics->values;
    for (const char* key : {"request_time_average", "connect_time_average", "dns_time_average"})
        EXPECT_EQ(values.count(std::string("connect_manager_once/") + key), 1u) << key;
    // Merged with what was stored before: the mean of the old and the new.
    const std::uint64_t once = values["connect_manager_once/connect_time_average"];
    EXPECT_EQ(values["connect_manager/connect_time_average"], (100 + once) / 2);
    EXPECT_EQ(values["connect_manager/request_time_average"], values["connect_manager_once/request_time_average"]);
    EXPECT_LE(values["connect_manager_once/connect_time_average"],
              values["connect_manager_once/request_time_average"]);
}

TEST_P(ConnectManagerTest, TwoThousandConnectsCompleteOnceEachWithinTheLimits) {
    // Client and server ends of many connections at once.
#if !defined(_WIN32)
    // Wine raises its own limit to the hard one when it starts.
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < 4096 && files.rlim_max >= 4096) {
        files.rlim_cur = 4096;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
#endif
    constexpr int total = 2000;
    const sock_t listener = tcp_sock();
    ASSERT_NE(listener, bad_sock);
    sockaddr_in address = loopback(0);
    must(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), "bind");
    must(::listen(listener, 4096), "listen");
    const std::uint16_t port = local_port(listener);
    std::atomic<bool> serving{true};
    std::thread server([&] {
        while (serving) {
            if (!readable(listener, 50)) continue;
            const sock_t accepted = accept_sock(listener);
            if (accepted != bad_sock) close_sock(accepted);
        }
    });

    const std::uint32_t limit = scheduler().max_syn_count();
    EXPECT_EQ(58u, limit);
    std::atomic<std::uint32_t> most_in_flight{0};
    std::atomic<bool> sampling{true};
    std::thread sampler([&] {
        while (sampling) {
            const std::uint32_t now = scheduler().connecting_count();
            if (now > most_in_flight) most_in_flight = now;
            std::this_thread::yield();
        }
    });
    std::vector<IAsynTcpSocket*> clients(total);
    std::vector<IAsynIoOperation*> ops(total);
    for (int i = 0; i < total; ++i) ops[i] = new_operation();
    std::atomic<int> failures{0};
    std::map<IAsynIoOperation*, IAsynTcpSocket*> owner;
    env->run([&] {
        for (int i = 0; i < total; ++i) {
            EXPECT_EQ(S_OK, socket_factory::create_tcp_socket(env->services(), IID_IAsynTcpSocket,
                                                             reinterpret_cast<void**>(&clients[i])));
            owner[ops[i]] = clients[i];
        }
    });
    // Each connected socket goes as soon as its connect is over, so the
    // connection limit never holds the rest back for good.
    sink->hook = [&](IAsynIoOperation* op, DWORD error, DWORD) {
        if (error != 0) ++failures;
        IAsynTcpSocket*& socket = owner[op];
        if (socket != nullptr) std::exchange(socket, nullptr)->Release();
    };
    env->run([&] {
        for (int i = 0; i < total; ++i) EXPECT_EQ(S_OK, clients[i]->Connect(ops[i], 9, "127.0.0.1", port, 0));
    });
    EXPECT_TRUE(env->wait_until([&] { return sink->total.load() >= total; }, std::chrono::seconds(120)));
    sampling = false;
    sampler.join();
    serving = false;
    server.join();
    close_sock(listener);
    env->run([&] { sink->hook = nullptr; });
    env->run([&] {
        for (auto& [op, socket] : owner)
            if (socket != nullptr) std::exchange(socket, nullptr)->Release();
    });
    EXPECT_EQ(0, failures.load());
    for (IAsynIoOperation* op : ops) EXPECT_EQ(1, sink->get(op).count);
    EXPECT_LE(most_in_flight.load(), limit);
    EXPECT_EQ(0u, scheduler().syn_count());
    EXPECT_EQ(0u, scheduler().connection_count());
}

// Each connect is a request of the engine's backend: a socket released (not
// closed) while its connect is in flight ends it once, with 995, and the
// request's operation comes back to the scheduler without touching the
// socket object that is gone.
TEST_P(ConnectManagerTest, ReleasingASocketWithItsConnectInFlightCompletesItOnceWith995) {
    stalled_listener stalled;
    ASSERT_TRUE(stalled.stalled);
    auto [socket, op] = start("127.0.0.1", stalled.port);
    ASSERT_TRUE(env->wait_until([&] { return events->starts_of(op).size() == 1; }));
    EXPECT_FALSE(sink->completed(op));
    EXPECT_EQ(1u, scheduler().connecting_count());
    sockets.erase(std::find(sockets.begin(), sockets.end(), socket));
    env->run([&] { socket->Release(); });
    EXPECT_EQ(errors::operation_aborted, sink->wait(op).error);
    env->wait_until([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(1, sink->get(op).count);
    EXPECT_EQ(0u, scheduler().syn_count());
    EXPECT_EQ(0u, scheduler().connecting_count());
    EXPECT_EQ(0u, scheduler().connection_count());
    // Closed as any connect is: no outcome of the attempt is reported.
    EXPECT_EQ(events->of(op), (std::vector<std::string>{"request 127.0.0.1:" + std::to_string(stalled.port) + " 0"}));
    // The scheduler goes on with the next one.
    const sock_t listener = make_listener();
    auto [next_socket, next] = start("127.0.0.1", local_port(listener));
    EXPECT_EQ(0u, sink->wait(next).error);
    close_sock(listener);
}

// A callback that starts connects and closes or releases some of their
// sockets before it returns: those end once with 995, the others connect, and
// the scheduler counts nothing left over.
TEST_P(ConnectManagerTest, ConnectsClosedOrReleasedInTheCallbackThatStartedThemEndOnceWith995) {
    const sock_t listener = make_listener();
    const std::uint16_t port = local_port(listener);
    IAsynTcpSocket* closed = new_socket();
    IAsynTcpSocket* released = new_socket();
    IAsynTcpSocket* kept = new_socket();
    IAsynIoOperation* closing = new_operation();
    IAsynIoOperation* releasing = new_operation();
    IAsynIoOperation* keeping = new_operation();
    sockets.erase(std::find(sockets.begin(), sockets.end(), released));
    env->run([&] {
        EXPECT_EQ(S_OK, closed->Connect(closing, 9, "127.0.0.1", port, 0));
        EXPECT_EQ(S_OK, released->Connect(releasing, 9, "127.0.0.1", port, 0));
        EXPECT_EQ(S_OK, kept->Connect(keeping, 9, "127.0.0.1", port, 0));
        EXPECT_EQ(S_OK, closed->Close());
        released->Release();
    });
    EXPECT_EQ(errors::operation_aborted, sink->wait(closing).error);
    EXPECT_EQ(errors::operation_aborted, sink->wait(releasing).error);
    EXPECT_EQ(0u, sink->wait(keeping).error);
    env->wait_until([] { return false; }, std::chrono::milliseconds(100));
    for (IAsynIoOperation* op : {closing, releasing, keeping}) EXPECT_EQ(1, sink->get(op).count);
    EXPECT_EQ(0u, scheduler().syn_count());
    EXPECT_EQ(0u, scheduler().connecting_count());
    EXPECT_EQ(1u, scheduler().connection_count());
    close_sock(listener);
}

TEST_P(ConnectManagerTest, ReleasingASocketWhileItsNameIsResolvedCompletesItOnceWith995) {
    SKIP_UNLESS_ISOLATED();
    resolver_env dns;
    held_name held;
    scripted_responder responder(dns.port, hold_then_answer(held));
    dns.servers({"127.0.0.1"});
    const sock_t listener = make_listener();
    auto [socket, op] = start(fresh_name("released"), local_port(listener));
    ASSERT_TRUE(query_arrived(held));
    sockets.erase(std::find(sockets.begin(), sockets.end(), socket));
    env->run([&] { socket->Release(); });
    EXPECT_EQ(errors::operation_aborted, sink->wait(op).error);
    // The answer that comes late reaches nobody.
    release(held, responder, {"127.0.0.1"});
    env->wait_until([] { return false; }, std::chrono::milliseconds(150));
    EXPECT_EQ(1, sink->get(op).count);
    EXPECT_EQ(events->of(op).size(), 1u);
    EXPECT_EQ(0u, scheduler().syn_count());
    EXPECT_EQ(0u, scheduler().connection_count());
    close_sock(listener);
}

TEST_P(ConnectManagerTest, TheHalfOpenLimitHoldsWhileConnectsRunInTheBackend) {
    stalled_listener stalled;
    ASSERT_TRUE(stalled.stalled);
    scheduler().set_max_syn_count(5);
    ASSERT_EQ(3u, scheduler().max_syn_count());
    std::vector<std::pair<IAsynTcpSocket*, IAsynIoOperation*>> connects;
    for (int i = 0; i < 5; ++i) connects.push_back(start("127.0.0.1", stalled.port));
    ASSERT_TRUE(env->wait_until([&] { return events->starts_of(connects[2].second).size() == 1; }));
    env->wait_until([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(3u, scheduler().connecting_count());
    EXPECT_EQ(5u, scheduler().syn_count());
    EXPECT_TRUE(events->starts_of(connects[3].second).empty());
    EXPECT_TRUE(events->starts_of(connects[4].second).empty());
    for (const auto& [socket, op] : connects) EXPECT_FALSE(sink->completed(op));

    // A place that comes free goes to the oldest waiting request, and only to it.
    close(connects[0].first);
    EXPECT_EQ(errors::operation_aborted, sink->wait(connects[0].second).error);
    ASSERT_TRUE(env->wait_until([&] { return events->starts_of(connects[3].second).size() == 1; }));
    EXPECT_EQ(3u, scheduler().connecting_count());
    EXPECT_EQ(4u, scheduler().syn_count());
    EXPECT_TRUE(events->starts_of(connects[4].second).empty());
    for (std::size_t i = 1; i < connects.size(); ++i) close(connects[i].first);
    for (std::size_t i = 1; i < connects.size(); ++i)
        EXPECT_EQ(errors::operation_aborted, sink->wait(connects[i].second).error);
    EXPECT_EQ(0u, scheduler().syn_count());
    EXPECT_EQ(0u, scheduler().connecting_count());
}

// The frame's order of stopping with a connect in the backend, a name at the
// resolver and a request still queued: the engine, the scheduler, the
// frame's resolutions, then the services go. Nothing completes twice, and
// the sockets, released after it all, find nothing to call.
TEST_P(ConnectManagerTest, StoppingTheFrameWithConnectsPendingEndsEachAtMostOnce) {
    SKIP_UNLESS_ISOLATED();
    resolver_env dns;
    held_name held;
    scripted_responder responder(dns.port, hold_then_answer(held));
    dns.servers({"127.0.0.1"});
    stalled_listener stalled;
    ASSERT_TRUE(stalled.stalled);
    scheduler().set_max_syn_count(4);
    ASSERT_EQ(2u, scheduler().max_syn_count());
    auto [s1, connecting] = start("127.0.0.1", stalled.port);
    auto [s2, resolving] = start(fresh_name("stopped"), stalled.port);
    ASSERT_TRUE(query_arrived(held));
    auto [s3, queued] = start("127.0.0.1", stalled.port);
    ASSERT_TRUE(env->wait_until([&] { return events->starts_of(connecting).size() == 1; }));
    EXPECT_EQ(3u, scheduler().syn_count());
    EXPECT_EQ(2u, scheduler().connecting_count());

    env->manager().stop();
    socket_services::stop_connect_manager(*env->services());
    abandon_dns_requests_of(env->services());
    // A late answer finds the request gone.
    release(held, responder, {"127.0.0.1"});
    socket_services::detach_connect_manager_object(*env->services(), face);
    env->shutdown();
    for (IAsynTcpSocket* socket : std::exchange(sockets, {})) socket->Release();
    for (IAsynIoOperation* op : {connecting, resolving, queued}) EXPECT_LE(sink->get(op).count, 1);
}

INSTANTIATE_TEST_SUITE_P(Modes, ConnectManagerTest, all_modes(), mode_label);

// ---- names with both families ---------------------------------------------------------------

class ConnectRaceTest : public ConnectManagerTest {
protected:
    // A fresh name the responder answers at once with `addresses` (A and AAAA
    // records as the query asks).
    std::string serve(const std::vector<std::string>& addresses) {
        const std::string name = fresh_name("race");
        responder.reset();  // one responder on the port at a time
        responder = std::make_unique<scripted_responder>(dns.port, [addresses](const received_query& q) {
            return std::vector<scripted_responder::datagram>{{q.server, scripted_responder::reply(q, 0, addresses)}};
        });
        dns.servers({"127.0.0.1"});
        return name;
    }
    platform::endpoint peer_of(IAsynTcpSocket* socket) {
        platform::endpoint peer;
        env->run([&] { EXPECT_TRUE(static_cast<CAsynTcpSocket*>(socket)->socket_device()->peer_endpoint(peer)); });
        return peer;
    }
    static std::chrono::milliseconds gap(const observer::start_seen& a, const observer::start_seen& b) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(b.at - a.at);
    }

    resolver_env dns;
    std::unique_ptr<scripted_responder> responder;
};

#define SKIP_UNLESS_FIREWALL(drop) \
    if (!(drop).ok()) GTEST_SKIP() << "ip6tables cannot add a rule in this namespace"

TEST_P(ConnectRaceTest, ANameWithOnlyIPv6AddressesConnectsOverIPv6) {
    SKIP_UNLESS_ISOLATED();
    const sock_t listener = ipv6_loopback_sock(SOCK_STREAM);
    ASSERT_NE(listener, bad_sock);
    const std::uint16_t port = sock_port(listener);
    const std::string name = serve({"::1"});

    auto [socket, op] = start(name, port);
    EXPECT_EQ(0u, sink->wait(op).error);
    EXPECT_EQ(events->of(op), (std::vector<std::string>{"request " + name + ":" + std::to_string(port) + " 0",
                                                        "resolved 0 ::1", "attempt 0 ::1", "complete 0"}));
    const sock_t accepted = accept_sock(listener);
    EXPECT_NE(accepted, bad_sock);
    EXPECT_TRUE(peer_of(socket).is_v6());
    EXPECT_EQ(port, peer_of(socket).port);
    // The socket that connected is the one the caller's socket reads from.
    EXPECT_EQ(1, send_bytes(accepted, "x", 1));
    operations.push_back(make_operation(*env, sink, 1));
    IAsynIoOperation* read = operations.back();
    env->run([&] { EXPECT_EQ(S_OK, socket->Read(read)); });
    EXPECT_EQ(0u, sink->wait(read).error);
    EXPECT_EQ(1u, sink->get(read).bytes);
    close_sock(accepted);
    close_sock(listener);
    EXPECT_EQ(1u, scheduler().connection_count());
    close(socket);
    EXPECT_EQ(0u, scheduler().connection_count());
}

TEST_P(ConnectRaceTest, IPv6GoesFirstAndARefusalStartsIPv4AtOnce) {
    SKIP_UNLESS_ISOLATED();
    const sock_t listener = listener_on("127.0.0.1", 0);
    ASSERT_NE(listener, bad_sock);
    const std::uint16_t port = local_port(listener);
    const std::string name = serve({"127.0.0.1", "::1"});

    auto [socket, op] = start(name, port);
    EXPECT_EQ(0u, sink->wait(op).error);
    EXPECT_EQ(events->of(op),
              (std::vector<std::string>{"request " + name + ":" + std::to_string(port) + " 0",
                                        "resolved 0 127.0.0.1 ::1", "attempt 10061 ::1", "attempt 0 127.0.0.1",
                                        "complete 0"}));
    const auto starts = events->starts_of(op);
    ASSERT_EQ(2u, starts.size());
    EXPECT_EQ("::1", starts[0].address);
    EXPECT_LT(gap(starts[0], starts[1]), std::chrono::milliseconds(200));
    EXPECT_TRUE(peer_of(socket).is_v4());
    EXPECT_EQ(0, scheduler().address_score("::1", port));
    EXPECT_EQ(0u, scheduler().connecting_count());
    close_sock(listener);
}

TEST_P(ConnectRaceTest, AnUnansweredIPv6AttemptIsJoinedByIPv4AfterTheDelayAndClosedWhenIPv4Wins) {
    SKIP_UNLESS_ISOLATED();
    const sock_t listener = listener_on("127.0.0.1", 0);
    ASSERT_NE(listener, bad_sock);
    const std::uint16_t port = local_port(listener);
    dropped_ipv6_port drop(port);
    SKIP_UNLESS_FIREWALL(drop);
    const std::string name = serve({"127.0.0.1", "::1"});

    auto [socket, op] = start(name, port);
    EXPECT_EQ(0u, sink->wait(op).error);
    const auto starts = events->starts_of(op);
    ASSERT_EQ(2u, starts.size());
    EXPECT_EQ("::1", starts[0].address);
    EXPECT_EQ("127.0.0.1", starts[1].address);
    EXPECT_GE(gap(starts[0], starts[1]), std::chrono::milliseconds(245));
    EXPECT_LT(gap(starts[0], starts[1]), std::chrono::milliseconds(450));
    EXPECT_EQ(events->of(op),
              (std::vector<std::string>{"request " + name + ":" + std::to_string(port) + " 0",
                                        "resolved 0 127.0.0.1 ::1", "attempt 0 127.0.0.1", "attempt 995 ::1",
                                        "complete 0"}));
    // The unanswered attempt's socket is gone, the winner's is the caller's.
    EXPECT_LE(syn_sent_to("/proc/net/tcp6", port), 0);
    EXPECT_TRUE(peer_of(socket).is_v4());
    EXPECT_EQ(0u, scheduler().connecting_count());
    EXPECT_EQ(1u, scheduler().connection_count());
    // IPv6 was slow there and IPv4 fast: the next connect starts with IPv4.
    EXPECT_EQ(20, scheduler().address_score("::1", port));
    EXPECT_GE(scheduler().address_score("127.0.0.1", port), 80);
    auto [again_socket, again] = start(serve({"127.0.0.1", "::1"}), port);
    EXPECT_EQ(0u, sink->wait(again).error);
    EXPECT_EQ(events->start_addresses(again), (std::vector<std::string>{"127.0.0.1"}));
    close_sock(listener);
}

TEST_P(ConnectRaceTest, EveryAttemptTakesAPlaceUnderTheHalfOpenLimit) {
    SKIP_UNLESS_ISOLATED();
    stalled_listener stalled;
    ASSERT_TRUE(stalled.stalled);
    const sock_t listener = listener_on("127.0.0.1", 0);
    ASSERT_NE(listener, bad_sock);
    const std::uint16_t port = local_port(listener);
    dropped_ipv6_port drop(port);
    SKIP_UNLESS_FIREWALL(drop);
    const std::string name = serve({"127.0.0.1", "::1"});

    scheduler().set_max_syn_count(4);
    ASSERT_EQ(2u, scheduler().max_syn_count());
    auto [blocker_socket, blocker] = start("127.0.0.1", stalled.port);
    auto [socket, op] = start(name, port);
    ASSERT_TRUE(env->wait_until([&] { return events->starts_of(op).size() == 1; }));
    EXPECT_EQ(2u, scheduler().connecting_count());
    // The IPv4 attempt is due after a quarter of a second, but both places are taken.
    env->wait_until([] { return false; }, std::chrono::milliseconds(600));
    EXPECT_FALSE(sink->completed(op));
    EXPECT_EQ(1u, events->starts_of(op).size());
    EXPECT_EQ(2u, scheduler().connecting_count());

    const auto freed = observer::clock::now();
    close(blocker_socket);
    EXPECT_EQ(errors::operation_aborted, sink->wait(blocker).error);
    EXPECT_EQ(0u, sink->wait(op).error);
    const auto starts = events->starts_of(op);
    ASSERT_EQ(2u, starts.size());
    EXPECT_EQ("127.0.0.1", starts[1].address);
    EXPECT_GE(starts[1].at, freed);
    EXPECT_EQ(0u, scheduler().connecting_count());

    // With a third place the two attempts run side by side beside the blocker.
    stalled_listener another;
    ASSERT_TRUE(another.stalled);
    scheduler().set_max_syn_count(5);
    auto [second_blocker_socket, second_blocker] = start("127.0.0.1", another.port);
    std::atomic<std::uint32_t> most{0};
    auto [third_socket, third] = start(serve({"127.0.0.1", "::1"}), port);
    ASSERT_TRUE(env->wait_until([&] {
        most = std::max(most.load(), scheduler().connecting_count());
        return sink->completed(third);
    }));
    EXPECT_LE(most.load(), 3u);
    close(second_blocker_socket);
    close_sock(listener);
}

TEST_P(ConnectRaceTest, ClosingDuringARaceClosesEveryAttemptAndReportsNoOutcome) {
    SKIP_UNLESS_ISOLATED();
    stalled_listener stalled;
    ASSERT_TRUE(stalled.stalled);
    dropped_ipv6_port drop(stalled.port);
    SKIP_UNLESS_FIREWALL(drop);
    const int v4_before = syn_sent_to("/proc/net/tcp", stalled.port);
    const std::string name = serve({"127.0.0.1", "::1"});

    auto [socket, op] = start(name, stalled.port);
    ASSERT_TRUE(env->wait_until([&] { return events->starts_of(op).size() == 2; }));
    EXPECT_EQ(2u, scheduler().connecting_count());
    EXPECT_NE(0, syn_sent_to("/proc/net/tcp6", stalled.port));
    close(socket);
    EXPECT_EQ(errors::operation_aborted, sink->wait(op).error);
    EXPECT_LE(syn_sent_to("/proc/net/tcp6", stalled.port), 0);
    EXPECT_EQ(v4_before, syn_sent_to("/proc/net/tcp", stalled.port));
    EXPECT_EQ(0u, scheduler().syn_count());
    EXPECT_EQ(0u, scheduler().connecting_count());
    EXPECT_EQ(0u, scheduler().connection_count());
    // Closed as any connect is: the attempts' outcomes are not reported.
    EXPECT_EQ(events->of(op), (std::vector<std::string>{"request " + name + ":" + std::to_string(stalled.port) + " 0",
                                                        "resolved 0 127.0.0.1 ::1"}));
}

INSTANTIATE_TEST_SUITE_P(Modes, ConnectRaceTest, all_modes(), mode_label);

}  // namespace
