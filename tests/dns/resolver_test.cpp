// The process-wide resolver against real servers on loopback: dnsmasq with a
// test zone, and a scripted responder for silence, negative replies and
// replies that must be ignored. Through the five exports, as every caller
// outside the component layer uses it. The resolver has its own thread and no
// engine, so these tests have no engine modes; the resolver object's tests
// run in every mode.
#include <fcntl.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "asynframe/dns.h"
#include "common/harness.h"
#include "common/isolated_network.h"
#include "dns/dns_local_repository.h"
#include "dns/dns_service.h"
#include "dns/dns_state.h"
#include "dns/host_db.h"
#include "dns/request_list.h"
#include "dns/resolver.h"
#include "dns_servers.h"
#include "platform/event.h"
#include "platform/tick.h"
#include "support/profile.h"

namespace asynframe {
namespace {

using namespace dns_test;
using namespace std::chrono_literals;

struct outcome {
    LONG code = -100;
    std::vector<std::string> addresses;
};

// The addresses of a completed handle, read through the exports.
std::vector<std::string> addresses_of(SYNC_DNS_HANDLE handle) {
    std::vector<std::string> out;
    for (LONG i = 0; i < sync_dns_count(handle); ++i) {
        char text[256] = {};
        EXPECT_EQ(sync_dns_address(handle, i, text, 255), 0);
        out.emplace_back(text);
    }
    return out;
}

// Both families of a completed handle through the newer export, each text
// with its family.
std::vector<std::pair<std::string, LONG>> texts_of(SYNC_DNS_HANDLE handle) {
    std::vector<std::pair<std::string, LONG>> out;
    for (LONG i = 0;; ++i) {
        char text[SYNC_DNS_TEXT_SIZE];
        const LONG family = sync_dns_address_text(handle, i, text, sizeof text);
        if (family < 0) break;
        out.emplace_back(text, family);
    }
    return out;
}

class ResolverTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Every test here may resolve a name: none may leave loopback.
        if (!harness::network_isolated()) GTEST_SKIP() << "needs a network namespace of its own";
    }
    void TearDown() override {
        handles.clear();
        if (started) stop_dns_service(system_lookup);
        EXPECT_EQ(dns_service_users(), 0);
    }

    void start(bool allow_system_lookup = true) {
        system_lookup = allow_system_lookup;
        start_dns_service(system_lookup);
        started = true;
    }
    static std::size_t tcp_exchanges() {
        dns_detail::list_guard guard;
        return guard.active_resolver() != nullptr ? guard.active_resolver()->tcp_exchanges() : 0;
    }
    // One A record per address: far more than 512 bytes for a few dozen.
    static std::vector<std::string> many_addresses(int count) {
        std::vector<std::string> out;
        for (int i = 1; i <= count; ++i) out.push_back("10.20.0." + std::to_string(i));
        return out;
    }

    // One request through the exports, waited for on its event.
    struct request {
        platform::event done{true};
        SYNC_DNS_HANDLE handle = nullptr;
        bool finished(std::chrono::milliseconds limit) { return done.wait(static_cast<std::uint32_t>(limit.count())); }
        outcome result() { return {sync_dns_result(handle), addresses_of(handle)}; }
        std::vector<std::pair<std::string, LONG>> texts() { return texts_of(handle); }
        ~request() {
            if (handle != nullptr) sync_dns_cancel(handle);
        }
    };
    request& begin(const std::string& name) {
        handles.push_back(std::make_unique<request>());
        request& r = *handles.back();
        r.handle = sync_dns_request(name.c_str(), platform::event_of(r.done.native()), SYNC_DNS_ACCESS);
        EXPECT_NE(r.handle, nullptr);
        return r;
    }
    outcome resolve(const std::string& name, std::chrono::milliseconds limit = 10s) {
        request& r = begin(name);
        EXPECT_TRUE(r.finished(limit)) << name;
        return r.result();
    }

    static bool in_flight(const std::string& name) {
        dns_detail::list_guard guard;
        return guard.list() != nullptr && guard.list()->in_flight(name);
    }
    static bool in_flight_v6(const std::string& name) {
        dns_detail::list_guard guard;
        return guard.list() != nullptr && guard.list()->in_flight(name, 6);
    }
    // Runs the request list's sweep now, as the resolver does once a second,
    // and reads the retries the name's query has had (-1: not in flight).
    static int tries_after_sweep(const std::string& name) {
        dns_detail::list_guard guard;
        if (guard.list() == nullptr) return -1;
        guard.list()->sweep();
        const in_flight_query* query = guard.list()->query(name);
        return query != nullptr ? query->tries : -1;
    }
    static bool cached(const std::string& name) {
        std::vector<std::string> out;
        return dns_local_repository::instance().lookup(name, out) == dns_local_repository::hit;
    }
    // A responder that answers `name` with `address` from the server asked.
    static scripted_responder::policy answer_with(const std::string& address) {
        return [address](const received_query& q) {
            return std::vector<scripted_responder::datagram>{{q.server, scripted_responder::reply(q, 0, {address})}};
        };
    }
    static scripted_responder::policy silent() {
        return [](const received_query&) { return std::vector<scripted_responder::datagram>{}; };
    }

    resolver_env env;
    bool started = false;
    bool system_lookup = true;
    std::vector<std::unique_ptr<request>> handles;
};

#define SKIP_UNLESS_ISOLATED()                 \
    if (!harness::network_isolated())          \
    GTEST_SKIP() << "needs a network namespace: system lookups would leave loopback"

TEST_F(ResolverTest, LocalSourcesAnswerBeforeTheRequestReturns) {
    start();
    dns_local_repository::instance().store("cached.af.test", {{"10.7.0.1", 60, platform::tick_count()}});
    const struct {
        const char* name;
        LONG code;
        std::vector<std::string> addresses;
    } cases[] = {
        {"", DNS_RESULT_EMPTY_NAME, {}},
        {"10.1.2.3", DNS_RESULT_OK, {"10.1.2.3"}},
        {"listed.af.test", DNS_RESULT_OK, {"10.9.9.9"}},  // the hosts file
        {"cached.af.test", DNS_RESULT_OK, {"10.7.0.1"}},
    };
    for (const auto& c : cases) {
        request& r = begin(c.name);
        EXPECT_TRUE(r.done.try_acquire()) << "'" << c.name << "' was not answered before the call returned";
        EXPECT_EQ(sync_dns_result(r.handle), c.code) << c.name;
        EXPECT_EQ(addresses_of(r.handle), c.addresses) << c.name;
    }
}

TEST_F(ResolverTest, ExportsAnswerForEveryHandleTheyAreGiven) {
    start();
    EXPECT_EQ(sync_dns_request("10.0.0.5", ASYNFRAME_NO_EVENT, SYNC_DNS_ACCESS - 1), nullptr);
    EXPECT_EQ(sync_dns_request(nullptr, ASYNFRAME_NO_EVENT, SYNC_DNS_ACCESS), nullptr);

    // Without an event the caller polls.
    SYNC_DNS_HANDLE handle = sync_dns_request("10.0.0.5", ASYNFRAME_NO_EVENT, SYNC_DNS_ACCESS);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(sync_dns_result(handle), DNS_RESULT_OK);
    EXPECT_EQ(sync_dns_count(handle), 1);
    char text[16];
    EXPECT_EQ(sync_dns_address(handle, 0, text, sizeof text), 0);
    EXPECT_STREQ(text, "10.0.0.5");
    std::strcpy(text, "junk");
    EXPECT_EQ(sync_dns_address(handle, 1, text, sizeof text), -1);  // index equal to the count
    EXPECT_STREQ(text, "");
    std::strcpy(text, "junk");
    EXPECT_EQ(sync_dns_address(handle, 0, text, 8), -1);  // "10.0.0.5" needs 9 bytes
    EXPECT_STREQ(text, "");
    EXPECT_EQ(sync_dns_address(handle, 0, text, 9), 0);
    EXPECT_EQ(sync_dns_address(handle, -1, text, sizeof text), -1);
    EXPECT_EQ(sync_dns_cancel(handle), 0);

    // A released handle, or one never handed out, is looked up, not used.
    int never = 0;
    for (SYNC_DNS_HANDLE stale : {handle, static_cast<SYNC_DNS_HANDLE>(&never), SYNC_DNS_HANDLE{}}) {
        EXPECT_EQ(sync_dns_result(stale), DNS_RESULT_INVALID_HANDLE);
        EXPECT_EQ(sync_dns_count(stale), 0);
        std::strcpy(text, "junk");
        EXPECT_EQ(sync_dns_address(stale, 0, text, sizeof text), -1);
        EXPECT_STREQ(text, "");
        EXPECT_EQ(sync_dns_cancel(stale), -1);
    }
}

TEST_F(ResolverTest, ARealServerAnswersAddressesAliasesAndFinalDots) {
    if (!dnsmasq_server::installed()) GTEST_SKIP() << "dnsmasq is not installed";
    dnsmasq_server server(env.folder.path().string(), env.port);
    ASSERT_TRUE(server.ok());
    env.servers({"127.0.0.1"});
    start();

    EXPECT_EQ(resolve("one.af.test").addresses, std::vector<std::string>{"10.1.0.1"});
    outcome multi = resolve("multi.af.test");
    EXPECT_EQ(multi.code, DNS_RESULT_OK);
    std::sort(multi.addresses.begin(), multi.addresses.end());
    EXPECT_EQ(multi.addresses, (std::vector<std::string>{"10.1.0.2", "10.1.0.3"}));
    // The answer section leads through the alias to the address.
    EXPECT_EQ(resolve("alias.af.test").addresses, std::vector<std::string>{"10.1.0.1"});
    EXPECT_EQ(resolve("multi.af.test.").code, DNS_RESULT_OK);
    EXPECT_FALSE(in_flight("multi.af.test."));
    // Learned with its TTL: the next request needs no query.
    EXPECT_TRUE(cached("one.af.test"));
    request& again = begin("one.af.test");
    EXPECT_TRUE(again.done.try_acquire());

    SKIP_UNLESS_ISOLATED();
    // NXDOMAIN on every try: failed, then failed at once while it is recent.
    EXPECT_EQ(resolve("nothing.af.test", 40s).code, DNS_RESULT_FAILED);
    EXPECT_FALSE(cached("nothing.af.test"));
    request& recent = begin("nothing.af.test");
    EXPECT_TRUE(recent.done.try_acquire());
    EXPECT_EQ(sync_dns_result(recent.handle), DNS_RESULT_RECENT_FAILURE);
}

TEST_F(ResolverTest, CallersOfOneNameShareOneQuery) {
    SKIP_UNLESS_ISOLATED();
    manual_clock clock(1000);
    // Silent on the first try; the retry is answered.
    std::atomic<int> seen{0};
    scripted_responder responder(env.port, [&](const received_query& q) {
        std::vector<scripted_responder::datagram> out;
        if (q.type != 1 || ++seen >= 2) out.push_back({0, scripted_responder::reply(q, 0, {"10.3.0.9"})});
        return out;
    });
    env.servers({"127.0.0.1"});
    start();
    request& first = begin("shared.af.test");
    request& second = begin("shared.af.test");
    ASSERT_TRUE(harness::wait_until([&] { return seen.load() == 1; }, harness::short_pause, 5s));
    clock.advance(1000);
    EXPECT_EQ(tries_after_sweep("shared.af.test"), 1);
    ASSERT_TRUE(first.finished(10s));
    ASSERT_TRUE(second.finished(10s));
    EXPECT_EQ(first.result().addresses, std::vector<std::string>{"10.3.0.9"});
    EXPECT_EQ(second.result().addresses, std::vector<std::string>{"10.3.0.9"});
    // The first try and its one retry: the second caller sent nothing of its own.
    EXPECT_EQ(responder.count("shared.af.test"), 2u);
}

// Answered requests are completed just after the resolver lets go of its
// lock; a cancel that no longer finds its request there waits for that
// completion, so the caller's release never meets a request still in use
// (which AddressSanitizer would report). Two callers cancel at every moment
// from at once to after the answer.
TEST_F(ResolverTest, CancelsThatMeetTheirAnswersReleaseNothingInUse) {
    SKIP_UNLESS_ISOLATED();
    scripted_responder responder(env.port, answer_with("10.3.0.7"));
    env.servers({"127.0.0.1"});
    start();
    std::atomic<int> answered{0};
    const auto caller = [&](int who) {
        platform::event done(true);
        for (int i = 0; i < 1000; ++i) {
            const std::string name = "race" + std::to_string(who) + "-" + std::to_string(i) + ".af.test";
            const SYNC_DNS_HANDLE handle =
                sync_dns_request(name.c_str(), platform::event_of(done.native()), SYNC_DNS_ACCESS);
            ASSERT_NE(handle, nullptr);
            // Mostly around the moment the answer arrives.
            switch (i % 8) {
                case 0: break;
                case 1: done.wait(2); break;
                default: {
                    std::atomic<int> spins{0};
                    while (spins.fetch_add(1, std::memory_order_relaxed) < (i * 389) % 30000) {
                    }
                    break;
                }
            }
            const LONG code = sync_dns_result(handle);
            EXPECT_TRUE(code == DNS_RESULT_PENDING || code == DNS_RESULT_OK) << code;
            if (code == DNS_RESULT_OK) ++answered;
            EXPECT_EQ(sync_dns_cancel(handle), 0);
            done.reset();
        }
    };
    std::thread first(caller, 0);
    std::thread second(caller, 1);
    first.join();
    second.join();
    EXPECT_TRUE(harness::wait_until(
        [] {
            dns_detail::list_guard guard;
            return guard.list() != nullptr && guard.list()->pending_count() == 0;
        },
        harness::short_pause, 5s));
    // The service goes on answering.
    const outcome after = resolve("after-race.af.test");
    EXPECT_EQ(after.code, DNS_RESULT_OK);
    EXPECT_EQ(after.addresses, std::vector<std::string>{"10.3.0.7"});
    RecordProperty("answered_before_cancel", answered.load());
}

TEST_F(ResolverTest, ANegativeReplyRetriesAtOnceToEveryServer) {
    SKIP_UNLESS_ISOLATED();
    // A frozen clock: no try ever times out, so only the reply can cause the retry.
    manual_clock clock(1000);
    scripted_responder responder(env.port, [](const received_query& q) {
        std::vector<scripted_responder::datagram> out;
        if (q.server == 0) out.push_back({0, scripted_responder::reply(q, 3, {})});
        if (q.server == 1) out.push_back({1, scripted_responder::reply(q, 0, {"10.3.0.1"})});
        return out;
    });
    env.servers({"127.0.0.1", "127.0.0.2"});
    start();
    const outcome result = resolve("negative.af.test");
    EXPECT_EQ(result.code, DNS_RESULT_OK);
    EXPECT_EQ(result.addresses, std::vector<std::string>{"10.3.0.1"});
    // The retry to the first server may still wait there behind the first
    // try's IPv6 question when the second server's answer is in.
    EXPECT_TRUE(harness::wait_until([&] { return responder.queries().size() >= 3; }, harness::short_pause, 5s));
    const auto queries = responder.queries();
    ASSERT_EQ(queries.size(), 3u);  // the first try to the first server, the retry to both
    EXPECT_EQ(queries[0].server, 0);
    EXPECT_EQ(queries[0].id, queries[1].id);  // one identifier for the life of the query
}

TEST_F(ResolverTest, RepliesThatDoNotBelongToTheQueryAreIgnored) {
    SKIP_UNLESS_ISOLATED();
    manual_clock clock(5000);
    std::atomic<int> seen{0};
    scripted_responder responder(env.port, [&](const received_query& q) {
        std::vector<scripted_responder::datagram> out;
        if (q.name != "guarded.af.test" || q.type != 1) {
            out.push_back({0, scripted_responder::reply(q, 0, {"10.8.0.3"})});
        } else if (++seen == 1) {
            out.push_back({0, scripted_responder::reply(q, 0, {"10.6.6.1"}, 60, 1)});  // another identifier
            out.push_back({1, scripted_responder::reply(q, 0, {"10.6.6.2"})});         // a server not asked
            out.push_back({2, scripted_responder::reply(q, 0, {"10.6.6.4"})});         // nor configured
            out.push_back({0, scripted_responder::reply(q, 3, {}, 60, 1)});  // a refusal with another identifier
            std::vector<unsigned char> cut = scripted_responder::reply(q, 0, {"10.6.6.3"});
            cut.resize(7);
            out.push_back({0, cut});                                                       // shorter than a header
            out.push_back({0, std::vector<unsigned char>{0xde, 0xad, 0xbe, 0xef, 0, 1}});  // garbage
        } else {
            out.push_back({0, scripted_responder::reply(q, 0, {"10.4.0.1"})});
        }
        return out;
    });
    env.servers({"127.0.0.1", "127.0.0.2"});
    start();
    request& r = begin("guarded.af.test");
    ASSERT_TRUE(harness::wait_until([&] { return seen.load() == 1; }, harness::short_pause, 5s));
    // The marker's answer arrives after every datagram above.
    EXPECT_EQ(resolve("marker.af.test").code, DNS_RESULT_OK);
    EXPECT_FALSE(r.done.try_acquire());
    EXPECT_FALSE(cached("guarded.af.test"));
    // The retry's proper answer is taken.
    clock.advance(1000);
    ASSERT_TRUE(r.finished(10s));
    EXPECT_EQ(r.result().addresses, std::vector<std::string>{"10.4.0.1"});
}

TEST_F(ResolverTest, SingleLabelNamesGoToTheSystemOnly) {
    scripted_responder responder(env.port, answer_with("10.5.0.1"));
    env.servers({"127.0.0.1"});
    start();
    // In the system's hosts file, not in ours.
    const outcome local = resolve("localhost");
    EXPECT_EQ(local.code, DNS_RESULT_OK);
    EXPECT_EQ(local.addresses, std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(resolve("abcdefghijklmnop").addresses, std::vector<std::string>{"10.5.0.1"});  // 16 letters
    EXPECT_EQ(resolve("abc1").addresses, std::vector<std::string>{"10.5.0.1"});              // a digit
    EXPECT_EQ(responder.count("localhost"), 0u);
    EXPECT_EQ(responder.count("abcdefghijklmnop"), 1u);
    SKIP_UNLESS_ISOLATED();
    EXPECT_EQ(resolve("abcdefghijklmno", 40s).code, DNS_RESULT_FAILED);  // 15 letters, unknown
    EXPECT_EQ(responder.count("abcdefghijklmno"), 0u);
}

TEST_F(ResolverTest, WithoutServersTheSystemAloneAnswersAndNothingIsCached) {
    start();
    const outcome result = resolve("localhost");
    EXPECT_EQ(result.code, DNS_RESULT_OK);
    EXPECT_EQ(result.addresses, std::vector<std::string>{"127.0.0.1"});
    EXPECT_FALSE(cached("localhost"));
}

TEST_F(ResolverTest, ASilentServerFailsTheRequestAfterThirtyTwoSeconds) {
    SKIP_UNLESS_ISOLATED();
    manual_clock clock(1000);
    scripted_responder responder(env.port, silent());
    env.servers({"127.0.0.1"});
    start();
    const std::string name = "silent.af.test";
    request& r = begin(name);
    // Both questions out before the clock moves: they keep the same pace.
    ASSERT_TRUE(harness::wait_until([&] { return responder.count(name) == 1 && responder.count(name, 28) == 1; },
                                    harness::short_pause, 5s));
    // The first try and five retries, each given twice the time of the one
    // before (the first two one second each): 32 s in all. A sweep one
    // millisecond early changes nothing; one at the time-out sends the next try.
    const std::uint32_t waits[] = {1000, 1000, 2000, 4000, 8000};
    std::uint32_t waited = 0;
    for (std::size_t i = 0; i < std::size(waits); ++i) {
        clock.advance(waits[i] - 1);
        EXPECT_EQ(tries_after_sweep(name), static_cast<int>(i)) << "retried before " << waited + waits[i] << " ms";
        clock.advance(1);
        waited += waits[i];
        EXPECT_EQ(tries_after_sweep(name), static_cast<int>(i + 1)) << "not retried at " << waited << " ms";
        ASSERT_TRUE(harness::wait_until(
            [&] { return responder.count(name) == i + 2 && responder.count(name, 28) == i + 2; }, harness::short_pause,
            5s));
    }
    clock.advance(16000 - 1);
    EXPECT_EQ(tries_after_sweep(name), 5);
    EXPECT_FALSE(r.done.try_acquire());
    // The last time-out is left to the resolver's own once-a-second sweep.
    clock.advance(1);
    ASSERT_TRUE(r.finished(5s));
    EXPECT_EQ(r.result().code, DNS_RESULT_FAILED);
    EXPECT_FALSE(in_flight(name));
    EXPECT_EQ(responder.count(name), 6u);  // the first try and five retries
}

// A server whose port is closed answers every query at once, through the
// system (ICMP port unreachable): that is its answer, and a name whose every
// server refused fails as soon as the system lookup beside them has ended,
// not after the 32 s a silent server takes.
// A name of its own for each run of a case: a failed name is remembered
// (the failure list answers 7 for it), and a case may run again in one process.
std::string fresh(const std::string& name) {
    static std::atomic<int> serial{0};
    return std::to_string(++serial) + "-" + name;
}

TEST_F(ResolverTest, AServerWhosePortIsClosedFailsTheNameAtOnce) {
    SKIP_UNLESS_ISOLATED();
    // Nothing listens on the servers' port at these addresses.
    env.servers({"127.0.0.1"});
    start();
    auto began = std::chrono::steady_clock::now();
    const std::string name = fresh("closed-port.af.test");
    request& r = begin(name);
    ASSERT_TRUE(r.finished(5s));
    EXPECT_EQ(r.result().code, DNS_RESULT_FAILED);
    EXPECT_TRUE(r.result().addresses.empty());
    EXPECT_LT(std::chrono::steady_clock::now() - began, 1s);
    EXPECT_FALSE(in_flight(name));

    // Two servers, both closed: the first try asks the first, its refusal
    // sends the retry to both, and their refusals end the name.
    env.servers({"127.0.0.1", "127.0.0.2"});
    began = std::chrono::steady_clock::now();
    request& both = begin(fresh("closed-ports.af.test"));
    ASSERT_TRUE(both.finished(5s));
    EXPECT_EQ(both.result().code, DNS_RESULT_FAILED);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 1s);
}

TEST_F(ResolverTest, WithoutSystemLookupsAClosedPortFailsTheNameAtOnce) {
    SKIP_UNLESS_ISOLATED();
    env.servers({"127.0.0.1"});
    start(false);
    const std::uint64_t lookups = system_lookups_started();
    const auto began = std::chrono::steady_clock::now();
    request& r = begin(fresh("closed-port-only.af.test"));
    ASSERT_TRUE(r.finished(5s));
    EXPECT_EQ(r.result().code, DNS_RESULT_FAILED);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 1s);
    EXPECT_EQ(system_lookups_started(), lookups);
}

// A server the system has no route to refuses as a closed port does: the
// query cannot even leave. (In the test's own network, only loopback has a
// route; nothing is sent anywhere.)
TEST_F(ResolverTest, AServerWithNoRouteFailsTheNameAtOnce) {
    SKIP_UNLESS_ISOLATED();
    env.servers({"192.0.2.1"});
    start();
    const auto began = std::chrono::steady_clock::now();
    const std::string name = fresh("no-route.af.test");
    request& r = begin(name);
    ASSERT_TRUE(r.finished(5s));
    EXPECT_EQ(r.result().code, DNS_RESULT_FAILED);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 1s);
    EXPECT_FALSE(in_flight(name));
}

// A refusing server beside a silent one: the refusal is the first server's
// answer, so the retry to every server leaves at once; then the silent one
// is waited for, try after try, as before.
TEST_F(ResolverTest, ARefusingServerBesideASilentOneRetriesAtOnceAndWaits) {
    SKIP_UNLESS_ISOLATED();
    manual_clock clock(1000);
    scripted_responder responder(env.port, silent());
    // 127.0.0.4 has no socket on the port; the responder's are on .1 to .3.
    env.servers({"127.0.0.4", "127.0.0.1"});
    start();
    const std::string name = fresh("refused-and-silent.af.test");
    request& r = begin(name);
    // No time passes, yet the silent server is asked: the retry was sent on
    // the first server's refusal.
    ASSERT_TRUE(harness::wait_until([&] { return responder.count(name) == 1; }, harness::short_pause, 5s));
    EXPECT_TRUE(harness::wait_until([&] { return tries_after_sweep(name) == 1; }, harness::short_pause, 5s));
    EXPECT_FALSE(r.done.try_acquire());
    // The silent server still holds the name up until its try times out.
    clock.advance(1000);
    EXPECT_EQ(tries_after_sweep(name), 2);
    ASSERT_TRUE(harness::wait_until([&] { return responder.count(name) == 2; }, harness::short_pause, 5s));
    EXPECT_FALSE(r.done.try_acquire());
    EXPECT_TRUE(in_flight(name));
}

TEST_F(ResolverTest, StoppingTheServiceCompletesPendingRequestsWithTwo) {
    manual_clock clock(1000);
    scripted_responder responder(env.port, silent());
    env.servers({"127.0.0.1"});
    start();
    request& a = begin("stop-a.af.test");
    request& b = begin("stop-a.af.test");
    request& c = begin("stop-b.af.test");
    ASSERT_TRUE(harness::wait_until([&] { return responder.queries().size() == 2; }, harness::short_pause, 5s));
    stop_dns_service();
    started = false;
    for (request* r : {&a, &b, &c}) {
        EXPECT_TRUE(r->done.try_acquire());
        EXPECT_EQ(sync_dns_result(r->handle), DNS_RESULT_SHUTDOWN);
    }
    // With no resolver running a request is answered at once, with 2.
    request& late = begin("stop-c.af.test");
    EXPECT_TRUE(late.done.try_acquire());
    EXPECT_EQ(sync_dns_result(late.handle), DNS_RESULT_SHUTDOWN);
}

TEST_F(ResolverTest, CancellingTheLastRequestForANameForgetsTheName) {
    manual_clock clock(1000);
    scripted_responder responder(env.port, [](const received_query& q) {
        std::vector<scripted_responder::datagram> out;
        if (q.name == "marker.af.test") out.push_back({0, scripted_responder::reply(q, 0, {"10.8.0.2"})});
        return out;
    });
    env.servers({"127.0.0.1"});
    start();
    request& first = begin("forgotten.af.test");
    request& second = begin("forgotten.af.test");
    ASSERT_TRUE(harness::wait_until([&] { return responder.count("forgotten.af.test") == 1; },
                                    harness::short_pause, 5s));
    EXPECT_EQ(sync_dns_cancel(first.handle), 0);
    first.handle = nullptr;
    EXPECT_TRUE(in_flight("forgotten.af.test"));
    EXPECT_EQ(sync_dns_cancel(second.handle), 0);
    second.handle = nullptr;
    EXPECT_FALSE(in_flight("forgotten.af.test"));

    // A reply that arrives now is dropped: the marker's answer comes after it.
    const received_query query = responder.queries().front();
    responder.send(0, query, scripted_responder::reply(query, 0, {"10.8.0.1"}));
    EXPECT_EQ(resolve("marker.af.test").code, DNS_RESULT_OK);
    EXPECT_FALSE(cached("forgotten.af.test"));
    EXPECT_FALSE(first.done.try_acquire());
    EXPECT_FALSE(second.done.try_acquire());
}

TEST_F(ResolverTest, ANameUnderTheSuffixKeepsItsLastGoodAddresses) {
    SKIP_UNLESS_ISOLATED();
    std::atomic<bool> refuse{false};
    scripted_responder responder(env.port, [&](const received_query& q) {
        const unsigned rcode = refuse ? 3 : 0;
        return std::vector<scripted_responder::datagram>{
            {0, scripted_responder::reply(q, rcode, rcode == 0 ? std::vector<std::string>{"10.2.0.1", "10.2.0.2"}
                                                               : std::vector<std::string>{})}};
    });
    env.servers({"127.0.0.1"});
    start();
    const std::string name = std::string("kept") + last_good_suffix;
    EXPECT_EQ(resolve(name).addresses, (std::vector<std::string>{"10.2.0.1", "10.2.0.2"}));
    EXPECT_EQ(profile::read_string(host_db::default_path(), "domain_succ", name, ""), "10.2.0.1|10.2.0.2|");

    // Forgotten by the cache, refused by the server: the stored pair answers.
    dns_local_repository::destroy_instance();
    refuse = true;
    const outcome later = resolve(name, 40s);
    EXPECT_EQ(later.code, DNS_RESULT_OK);
    EXPECT_EQ(later.addresses, (std::vector<std::string>{"10.2.0.1", "10.2.0.2"}));
    EXPECT_GE(responder.count(name), 2u);
}

TEST_F(ResolverTest, ATruncatedReplyIsAskedAgainOverTcp) {
    manual_clock clock(1000);  // no try times out: only TCP can answer
    const std::vector<std::string> all = many_addresses(40);
    scripted_responder responder(env.port, [](const received_query& q) {
        return std::vector<scripted_responder::datagram>{{q.server, truncated(scripted_responder::reply(q, 0, {}))}};
    });
    scripted_tcp_responder tcp(env.port, [&](const received_query& q) { return scripted_responder::reply(q, 0, all); });
    env.servers({"127.0.0.1"});
    start();
    const outcome result = resolve("many.af.test");
    EXPECT_EQ(result.code, DNS_RESULT_OK);
    EXPECT_EQ(result.addresses, all);
    ASSERT_EQ(responder.count("many.af.test"), 1u);
    const auto asked = tcp.queries();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].name, "many.af.test");
    EXPECT_EQ(asked[0].id, responder.queries()[0].id);  // the query's own identifier
    EXPECT_TRUE(cached("many.af.test"));
    EXPECT_TRUE(harness::wait_until([] { return tcp_exchanges() == 0; }, harness::short_pause, 5s));
}

TEST_F(ResolverTest, ATcpReplyMustCarryTheQuestionAndItsIdentifier) {
    manual_clock clock(1000);
    scripted_responder responder(env.port, [](const received_query& q) {
        return std::vector<scripted_responder::datagram>{{0, truncated(scripted_responder::reply(q, 0, {}))}};
    });
    scripted_tcp_responder tcp(env.port, [](const received_query& q) {
        return scripted_responder::reply(q, 0, {"10.21.0.1"}, 60, 1);  // another identifier
    });
    env.servers({"127.0.0.1"});
    start();
    request& r = begin("wrong-id.af.test");
    ASSERT_TRUE(harness::wait_until([&] { return tcp.queries().size() == 1 && tcp_exchanges() == 0; },
                                    harness::short_pause, 5s));
    EXPECT_FALSE(r.done.try_acquire());
    EXPECT_FALSE(cached("wrong-id.af.test"));
    EXPECT_TRUE(in_flight("wrong-id.af.test"));
}

TEST_F(ResolverTest, AFailedTcpExchangeFallsBackToTheSystemLookup) {
    manual_clock clock(1000);
    // TC over UDP, and no TCP listener: the connection is refused.
    scripted_responder responder(env.port, [](const received_query& q) {
        return std::vector<scripted_responder::datagram>{{0, truncated(scripted_responder::reply(q, 0, {}))}};
    });
    env.servers({"127.0.0.1"});
    start();
    const std::uint64_t lookups = system_lookups_started();
    request& r = begin("refused.af.test");
    ASSERT_TRUE(harness::wait_until([&] { return system_lookups_started() == lookups + 1; }, harness::short_pause, 5s));
    // The IPv6 query's exchange is refused on its own, maybe a moment later.
    EXPECT_TRUE(harness::wait_until([&] { return tcp_exchanges() == 0u; }, harness::short_pause, 5s));
    // Like a silent server: the name waits for its try's time-out, then retries.
    EXPECT_FALSE(r.done.try_acquire());
    EXPECT_TRUE(in_flight("refused.af.test"));
    EXPECT_EQ(responder.count("refused.af.test"), 1u);
    clock.advance(1000);
    EXPECT_EQ(tries_after_sweep("refused.af.test"), 1);
    ASSERT_TRUE(harness::wait_until([&] { return responder.count("refused.af.test") == 2; }, harness::short_pause, 5s));
}

TEST_F(ResolverTest, AServerThatAcceptsAndNeverAnswersStallsNoOtherName) {
    scripted_responder responder(env.port, [](const received_query& q) {
        std::vector<unsigned char> out = scripted_responder::reply(q, 0, {"10.22.0.1"});
        if (q.name == "held.af.test") out = truncated(scripted_responder::reply(q, 0, {}));
        return std::vector<scripted_responder::datagram>{{0, out}};
    });
    scripted_tcp_responder tcp(env.port, [](const received_query&) { return std::vector<unsigned char>{}; });
    env.servers({"127.0.0.1"});
    start();
    request& held = begin("held.af.test");
    ASSERT_TRUE(harness::wait_until([&] { return tcp.queries().size() == 1; }, harness::short_pause, 5s));
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(resolve("other.af.test").addresses, std::vector<std::string>{"10.22.0.1"});
    EXPECT_LT(std::chrono::steady_clock::now() - began, 700ms);
    // The exchange ends with its try and the name goes on as after a silent
    // server: its retry is truncated again and asked over a new connection.
    EXPECT_TRUE(harness::wait_until([&] { return tcp.queries().size() >= 2; }, harness::short_pause, 5s));
    EXPECT_GE(responder.count("held.af.test"), 2u);
    EXPECT_FALSE(held.done.try_acquire());
}

TEST_F(ResolverTest, WithSystemLookupsForbiddenOnlyTheServersAreAsked) {
    start(false);
    const std::uint64_t lookups = system_lookups_started();
    // Nothing to ask: failed at once, not after the system's answer.
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(resolve("no-server.af.test").code, DNS_RESULT_FAILED);
    EXPECT_EQ(resolve("singlelabel").code, DNS_RESULT_FAILED);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 700ms);

    // A server that refuses the name: every try goes to it, and then the name fails.
    scripted_responder responder(env.port, [](const received_query& q) {
        return std::vector<scripted_responder::datagram>{{0, scripted_responder::reply(q, 3, {})}};
    });
    env.servers({"127.0.0.1"});
    EXPECT_EQ(resolve("refused-name.af.test").code, DNS_RESULT_FAILED);
    EXPECT_EQ(responder.count("refused-name.af.test"), 6u);
    EXPECT_EQ(system_lookups_started(), lookups);

    // A second user that allows them does not lift the first one's ban.
    start_dns_service(true);
    EXPECT_EQ(resolve("still-none.af.test").code, DNS_RESULT_FAILED);
    EXPECT_EQ(system_lookups_started(), lookups);
    stop_dns_service(true);
}

TEST_F(ResolverTest, TheFirstQueryOfAFreshResolverLeavesAtOnce) {
    std::mutex lock;
    std::map<std::string, std::chrono::steady_clock::time_point> arrived;
    scripted_responder responder(env.port, [&](const received_query& q) {
        {
            std::lock_guard<std::mutex> guard(lock);
            arrived.emplace(q.name, std::chrono::steady_clock::now());
        }
        return std::vector<scripted_responder::datagram>{{0, scripted_responder::reply(q, 0, {"10.23.0.1"})}};
    });
    env.servers({"127.0.0.1"});
    for (int round = 0; round < 100; ++round) {
        const std::string name = "fresh" + std::to_string(round) + ".af.test";
        start_dns_service();
        const auto submitted = std::chrono::steady_clock::now();
        {
            request r;
            r.handle = sync_dns_request(name.c_str(), platform::event_of(r.done.native()), SYNC_DNS_ACCESS);
            EXPECT_TRUE(r.finished(5s)) << name;
        }
        stop_dns_service();
        std::lock_guard<std::mutex> guard(lock);
        ASSERT_EQ(arrived.count(name), 1u) << name;
        // Well under the one-second sweep.
        EXPECT_LT(arrived[name] - submitted, 700ms) << name;
    }
}

// ---- IPv6 ---------------------------------------------------------------------------

using texts = std::vector<std::pair<std::string, LONG>>;

// The older exports show IPv4 alone, as before; the newer one both families,
// IPv4 first. A real server's answers, then the cache's.
TEST_F(ResolverTest, NamesWithOneFamilyOrBothThroughTheExports) {
    SKIP_UNLESS_ISOLATED();
    if (!dnsmasq_server::installed()) GTEST_SKIP() << "dnsmasq is not installed";
    dnsmasq_server server(env.folder.path().string(), env.port);
    ASSERT_TRUE(server.ok());
    env.servers({"127.0.0.1"});
    start();
    const struct {
        const char* name;
        std::vector<std::string> old_view;
        texts both;
    } cases[] = {
        {"one.af.test", {"10.1.0.1"}, {{"10.1.0.1", 4}}},
        {"both.af.test", {"10.1.0.5"}, {{"10.1.0.5", 4}, {"fd00:af::5", 6}}},
        {"alias.af.test", {"10.1.0.1"}, {{"10.1.0.1", 4}}},
        // No IPv4 address: the old view is empty, yet the name resolved.
        {"six.af.test", {}, {{"fd00:af::6", 6}}},
    };
    for (const auto& c : cases) {
        request& r = begin(c.name);
        ASSERT_TRUE(r.finished(40s)) << c.name;
        EXPECT_EQ(sync_dns_result(r.handle), DNS_RESULT_OK) << c.name;
        EXPECT_EQ(sync_dns_count(r.handle), static_cast<LONG>(c.old_view.size())) << c.name;
        EXPECT_EQ(addresses_of(r.handle), c.old_view) << c.name;
        EXPECT_EQ(r.texts(), c.both) << c.name;
    }
    // Both families come back from the cache, before the request returns.
    EXPECT_TRUE(cached("both.af.test"));
    for (const auto& c : cases) {
        request& again = begin(c.name);
        EXPECT_TRUE(again.done.try_acquire()) << c.name;
        EXPECT_EQ(addresses_of(again.handle), c.old_view) << c.name;
        EXPECT_EQ(again.texts(), c.both) << c.name;
    }
    // A name with neither still fails, and is remembered as failed.
    request& none = begin("nothing6.af.test");
    ASSERT_TRUE(none.finished(40s));
    EXPECT_EQ(sync_dns_result(none.handle), DNS_RESULT_FAILED);
    EXPECT_TRUE(none.texts().empty());
    EXPECT_TRUE(host_db::instance().failed_recently("nothing6.af.test"));
}

TEST_F(ResolverTest, LiteralsAndHostsFileLinesOfBothFamiliesAnswerAtOnce) {
    env.folder.write("hosts",
                     "10.9.9.9 listed.af.test\n"
                     "fd00::9 listed.af.test six-listed.af.test\n"
                     "FD00:0::10 six-listed.af.test\n");
    scripted_responder responder(env.port, silent());
    env.servers({"127.0.0.1"});
    start();
    const struct {
        const char* name;
        std::vector<std::string> old_view;
        texts both;
    } cases[] = {
        {"10.1.2.3", {"10.1.2.3"}, {{"10.1.2.3", 4}}},
        // The older export keeps the text as written; the newer one gives
        // the four decimals of the address both stand for.
        {"127.1", {"127.1"}, {{"127.0.0.1", 4}}},
        {"::1", {}, {{"::1", 6}}},
        {"2001:DB8:0::1", {}, {{"2001:db8::1", 6}}},
        {"listed.af.test", {"10.9.9.9"}, {{"10.9.9.9", 4}, {"fd00::9", 6}}},
        {"six-listed.af.test", {}, {{"fd00::9", 6}}},
    };
    for (const auto& c : cases) {
        request& r = begin(c.name);
        EXPECT_TRUE(r.done.try_acquire()) << "'" << c.name << "' was not answered before the call returned";
        EXPECT_EQ(sync_dns_result(r.handle), DNS_RESULT_OK) << c.name;
        EXPECT_EQ(addresses_of(r.handle), c.old_view) << c.name;
        EXPECT_EQ(r.texts(), c.both) << c.name;
    }
    // Nothing went to the server: the hosts file answered for IPv6 too.
    EXPECT_TRUE(responder.queries(1).empty());
    EXPECT_TRUE(responder.queries(28).empty());

    // The newer export's refusals are the older one's.
    request& r = begin("listed.af.test");
    char text[SYNC_DNS_TEXT_SIZE];
    std::strcpy(text, "junk");
    EXPECT_EQ(sync_dns_address_text(r.handle, 2, text, sizeof text), -1);  // index equal to the count
    EXPECT_STREQ(text, "");
    std::strcpy(text, "junk");
    EXPECT_EQ(sync_dns_address_text(r.handle, 1, text, 7), -1);  // "fd00::9" needs 8 bytes
    EXPECT_STREQ(text, "");
    EXPECT_EQ(sync_dns_address_text(r.handle, 1, text, 8), 6);
    EXPECT_EQ(sync_dns_address_text(r.handle, -1, text, sizeof text), -1);
    EXPECT_EQ(sync_dns_address_text(r.handle, 0, nullptr, 16), -1);
    int never = 0;
    EXPECT_EQ(sync_dns_address_text(&never, 0, text, sizeof text), -1);
}

// A server that drops AAAA queries (some middleboxes do) costs an IPv4 caller
// the grace and no more; the IPv6 query is then dropped, not retried for
// nobody. The clock is frozen, so only the grace can end the wait.
TEST_F(ResolverTest, ALostIpv6AnswerHoldsTheIpv4OneForTheGraceOnly) {
    manual_clock clock(1000);
    scripted_responder responder(env.port, [](const received_query& q) {
        std::vector<scripted_responder::datagram> out;
        if (q.type == 1) out.push_back({0, scripted_responder::reply(q, 0, {"10.40.0.1"})});
        return out;
    });
    env.servers({"127.0.0.1"});
    start();
    const std::string name = "late6.af.test";
    request& r = begin(name);
    const auto v4_in = [&] {
        dns_detail::list_guard guard;
        return !guard.list()->in_flight(name, 4) && guard.list()->in_flight(name, 6);
    };
    ASSERT_TRUE(harness::wait_until(v4_in, harness::short_pause, 5s));
    // The IPv6 question left with the IPv4 one; the responder may read it
    // only after the IPv4 answer is in.
    ASSERT_TRUE(harness::wait_until([&] { return responder.count(name, 28) != 0; }, harness::short_pause, 5s));
    EXPECT_EQ(responder.count(name, 28), 1u);
    EXPECT_FALSE(r.done.try_acquire());
    clock.advance(request_list::ipv6_grace - 1);
    EXPECT_FALSE(r.finished(300ms));
    clock.advance(1);
    ASSERT_TRUE(r.finished(5s));
    EXPECT_EQ(r.result().code, DNS_RESULT_OK);
    EXPECT_EQ(r.result().addresses, std::vector<std::string>{"10.40.0.1"});
    EXPECT_EQ(r.texts(), (texts{{"10.40.0.1", 4}}));
    EXPECT_FALSE(in_flight(name));
}

// The other way round: an IPv6 answer never hurries the IPv4 query, which
// keeps every try it had; its answer, when it comes, stands beside the IPv6 one.
TEST_F(ResolverTest, AnIpv6AnswerWaitsForTheIpv4QueryToEnd) {
    SKIP_UNLESS_ISOLATED();
    manual_clock clock(1000);
    std::atomic<int> seen{0};
    scripted_responder responder(env.port, [&](const received_query& q) {
        std::vector<scripted_responder::datagram> out;
        if (q.type == 28 || ++seen >= 2)
            out.push_back({0, scripted_responder::reply(q, 0, {"10.41.0.1", "fd00::41"})});
        return out;
    });
    env.servers({"127.0.0.1"});
    start();
    const std::string name = "slow4.af.test";
    request& r = begin(name);
    ASSERT_TRUE(harness::wait_until([&] { return seen.load() == 1 && !in_flight_v6(name); }, harness::short_pause,
                                    5s));
    EXPECT_FALSE(r.done.try_acquire());
    clock.advance(1000);
    EXPECT_EQ(tries_after_sweep(name), 1);
    ASSERT_TRUE(r.finished(5s));
    EXPECT_EQ(r.texts(), (texts{{"10.41.0.1", 4}, {"fd00::41", 6}}));
}

// Under the last-good suffix each family falls back to its own stored
// addresses: the IPv4 ones an old caller relies on stay in their old place.
TEST_F(ResolverTest, EachFamilyKeepsItsLastGoodAddresses) {
    SKIP_UNLESS_ISOLATED();
    std::atomic<bool> refuse{false};
    scripted_responder responder(env.port, [&](const received_query& q) {
        return std::vector<scripted_responder::datagram>{
            {0, refuse ? scripted_responder::reply(q, 2, {})
                       : scripted_responder::reply(q, 0, {"10.2.1.1", "fd00::2:1"})}};
    });
    env.servers({"127.0.0.1"});
    start();
    const std::string name = std::string("kept6") + last_good_suffix;
    EXPECT_EQ(begin(name).finished(10s), true);
    const std::string file = host_db::default_path();
    EXPECT_EQ(profile::read_string(file, "domain_succ", name, ""), "10.2.1.1|");
    EXPECT_EQ(profile::read_string(file, "domain_succ6", name, ""), "fd00::2:1|");

    dns_local_repository::destroy_instance();
    refuse = true;  // SERVFAIL to both questions: both families fail
    request& later = begin(name);
    ASSERT_TRUE(later.finished(40s));
    EXPECT_EQ(later.result().code, DNS_RESULT_OK);
    EXPECT_EQ(later.result().addresses, std::vector<std::string>{"10.2.1.1"});
    EXPECT_EQ(later.texts(), (texts{{"10.2.1.1", 4}, {"fd00::2:1", 6}}));
}

}  // namespace
}  // namespace asynframe

namespace asynframe {
namespace {

// Found by the fault runs (event creation failing): the resolver's thread
// makes its stop event as it is built, and a process out of descriptors makes
// that throw. The constructor was noexcept, so the program ended in
// std::terminate instead of start_dns_service (and the frame's start) failing.
TEST(ResolverThread, OutOfDescriptorsTheResolverFailsToBeMadeWithAnException) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows has no descriptor limit to exhaust";
#elif defined(__SANITIZE_ADDRESS__)
    // With every descriptor taken UBSan's type check cannot probe memory (it
    // needs a pipe) and reports the thrown exception as invalid. The faults
    // preset covers this path under the sanitizers (FaultFrame, event faults).
    GTEST_SKIP() << "the sanitizers need descriptors of their own, which this test uses up";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            request_list list;  // before the descriptors run out: it makes an event too
            rlimit files{};
            ::getrlimit(RLIMIT_NOFILE, &files);
            files.rlim_cur = 64;
            ::setrlimit(RLIMIT_NOFILE, &files);
            std::vector<int> taken;
            for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken.push_back(fd);
            bool thrown = false;
            try {
                resolver made(list);
            } catch (const std::system_error&) {
                thrown = true;
            }
            for (int fd : taken) ::close(fd);
            std::_Exit(thrown ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
#endif
}

}  // namespace
}  // namespace asynframe
