// The resolver object through a frame in every engine mode: resolutions
// complete on the dispatch thread with their result object, the checks of
// Resolve, and the resolver's life with the frames that use it.
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "common/frame_fixture.h"
#include "common/isolated_network.h"
#include "component/string_setter.h"
#include "dns/dns_service.h"
#include "dns/dns_state.h"
#include "dns/request_list.h"
#include "dns_servers.h"
#include "frame/asyn_frame.h"

namespace asynframe {
namespace {

using namespace harness;
using namespace dns_test;
using namespace std::chrono_literals;

class DnsObjectTest : public FrameTest {
protected:
    void SetUp() override {
        // Resolutions here may reach the system resolver: none may leave loopback.
        if (!network_isolated()) GTEST_SKIP() << "needs a network namespace of its own";
        FrameTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        host->on_dispatch([&] { EXPECT_EQ(frame()->CreateDns(&dns), S_OK); });
        ASSERT_NE(dns, nullptr);
    }
    void TearDown() override {
        if (dns != nullptr) dns->Release();
        FrameTest::TearDown();
        EXPECT_EQ(dns_service_users(), 0);
    }

    // A ready operation of the sink.
    IAsynIoOperation* ready_operation() {
        IAsynIoOperation* operation = make_operation(sink);
        host->on_dispatch([&] { operation->SetTag(0); });
        return operation;
    }
    HRESULT resolve(IAsynIoOperation* operation, const std::string& name) {
        HRESULT hr = E_FAIL;
        host->on_dispatch([&] { hr = dns->Resolve(operation, static_cast<DWORD>(name.size()), name.data()); });
        return hr;
    }
    static IAsynDnsResult* result_of(IAsynIoOperation* operation) {
        IUnknown* held = nullptr;
        operation->GetResultObject(&held);
        IAsynDnsResult* result = nullptr;
        if (held != nullptr) {
            held->QueryInterface(IID_IAsynDnsResult, reinterpret_cast<void**>(&result));
            held->Release();
        }
        return result;
    }

    resolver_env env;
    IAsynDns* dns = nullptr;
};

TEST_P(DnsObjectTest, ResolutionsCompleteOnTheDispatchThreadWithTheirResult) {
    scripted_responder responder(env.port, [](const received_query& q) {
        return std::vector<scripted_responder::datagram>{
            {0, scripted_responder::reply(q, 0, {"10.11.0.1", "10.11.0.2"})}};
    });
    env.servers({"127.0.0.1"});
    IAsynIoOperation* operation = ready_operation();
    bool on_dispatch = false;
    sink->on_complete = [&](IAsynIoOperation*) {
        on_dispatch = object()->services()->asyn_io_manager_ptr->in_dispatch_thread();
    };
    for (const char* name : {"10.1.2.3", "object.af.test"}) {
        const std::size_t before = sink->count("complete");
        ASSERT_EQ(resolve(operation, name), S_OK);
        ASSERT_TRUE(host->run_until([&] { return sink->count("complete") == before + 1; })) << name;
        EXPECT_EQ(sink->log().back(), "complete 0 0");
        host->on_dispatch([] {});
        EXPECT_TRUE(on_dispatch);
    }
    IAsynDnsResult* result = result_of(operation);
    ASSERT_NE(result, nullptr);
    std::string host_name;
    auto* setter = new CStringSetter(host_name);
    EXPECT_EQ(result->GetHostName(setter), S_OK);
    setter->Release();
    EXPECT_EQ(host_name, "object.af.test");
    EXPECT_EQ(result->GetHostName(nullptr), E_INVALIDARG);
    LONG code = -1;
    DWORD count = 0;
    EXPECT_EQ(result->GetResult(&code, &count), S_OK);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(result->GetResult(nullptr, nullptr), S_OK);
    DWORD address = 0;
    EXPECT_EQ(result->GetAddress(1, &address), S_OK);
    EXPECT_EQ(address, ::inet_addr("10.11.0.2"));
    EXPECT_EQ(result->GetAddress(2, &address), E_INVALIDARG);
    EXPECT_EQ(result->GetAddress(0, nullptr), E_INVALIDARG);
    result->Release();
    sink->on_complete = nullptr;
    operation->Release();
}

// Each answer names where it came from: the literal test, the hosts file, a
// server's reply, the cache that reply filled, the system's own lookup.
TEST_P(DnsObjectTest, EveryResultSaysWhereItsAddressesCameFrom) {
    scripted_responder responder(env.port, [](const received_query& q) {
        if (q.name == "source.af.test")
            return std::vector<scripted_responder::datagram>{{0, scripted_responder::reply(q, 0, {"10.12.0.1"})}};
        return std::vector<scripted_responder::datagram>{{0, scripted_responder::reply(q, 3, {})}};
    });
    env.servers({"127.0.0.1"});
    const auto source_of = [&](const std::string& name, DWORD& source) {
        IAsynIoOperation* operation = ready_operation();
        const std::size_t before = sink->count("complete");
        ASSERT_EQ(resolve(operation, name), S_OK);
        ASSERT_TRUE(host->run_until([&] { return sink->count("complete") == before + 1; }, 20s)) << name;
        IUnknown* held = nullptr;
        operation->GetResultObject(&held);
        ASSERT_NE(held, nullptr);
        IAsynDnsResult2* result = nullptr;
        ASSERT_EQ(held->QueryInterface(IID_IAsynDnsResult2, reinterpret_cast<void**>(&result)), S_OK);
        held->Release();
        EXPECT_EQ(result->GetSource(nullptr), E_INVALIDARG);
        source = 0xFFu;
        EXPECT_EQ(result->GetSource(&source), S_OK);
        result->Release();
        operation->Release();
    };
    const std::pair<const char*, DWORD> expected[] = {
        {"10.1.2.3", DNS_SOURCE_LITERAL},
        {"listed.af.test", DNS_SOURCE_HOSTS_FILE},
        {"source.af.test", DNS_SOURCE_DNS_SERVER},
        {"source.af.test", DNS_SOURCE_CACHE},
        {"missing.af.test", DNS_SOURCE_NONE},
    };
    for (const auto& [name, wanted] : expected) {
        DWORD source = 0;
        source_of(name, source);
        EXPECT_EQ(source, wanted) << name;
    }
    EXPECT_EQ(responder.count("source.af.test"), 1u) << "the second answer did not come from the cache";
    // A single label goes to the system's lookup only, which knows localhost.
    if (network_isolated()) {
        DWORD source = 0;
        source_of("localhost", source);
        EXPECT_EQ(source, DNS_SOURCE_SYSTEM);
    }
}

TEST_P(DnsObjectTest, ResolveRefusesWhatItCannotCarryOut) {
    manual_clock clock(1000);  // the silent query below never times out
    scripted_responder responder(env.port, [](const received_query&) {
        return std::vector<scripted_responder::datagram>{};
    });
    env.servers({"127.0.0.1"});
    IAsynIoOperation* operation = ready_operation();
    // Off the dispatch thread.
    if (!host->ui()) {
        EXPECT_EQ(dns->Resolve(operation, 8, "10.0.0.1"), E_ACCESSDENIED);
    }
    EXPECT_EQ(resolve(operation, ""), E_INVALIDARG);
    host->on_dispatch([&] { EXPECT_EQ(dns->Resolve(nullptr, 8, "10.0.0.1"), E_INVALIDARG); });
    IAsynIoOperation* not_ready = make_operation(sink);  // its tag is still -1
    EXPECT_EQ(resolve(not_ready, "10.0.0.1"), E_INVALIDARG);
    // Busy while its resolution is under way; nothing changes.
    ASSERT_EQ(resolve(operation, "pending.af.test"), S_OK);
    EXPECT_EQ(resolve(operation, "10.0.0.1"), E_INVALIDARG);
    EXPECT_EQ(sink->count("complete"), 0u);
    // A result object replaced meanwhile takes its request out: the
    // operation completes once, as aborted.
    host->on_dispatch([&] { operation->SetResultObject(nullptr); });
    ASSERT_TRUE(host->run_until([&] { return sink->count("complete") == 1; }));
    EXPECT_EQ(sink->log().back(), "complete 995 0");
    {
        dns_detail::list_guard guard;
        EXPECT_FALSE(guard.list()->in_flight("pending.af.test"));
    }
    not_ready->Release();
    operation->Release();
}

TEST_P(DnsObjectTest, AFrameStoppingWithAResolutionInFlightAbandonsIt) {
    manual_clock clock(1000);
    scripted_responder responder(env.port, [](const received_query&) {
        return std::vector<scripted_responder::datagram>{};
    });
    env.servers({"127.0.0.1"});
    // A second frame shares the resolver and keeps it running.
    auto* other = new CAsynFrame();
    frame_host second(static_cast<IAsynFrame3*>(other), static_cast<IAsynFramePlugin*>(other), engine_mode::alertable);
    ASSERT_EQ(second.start(), S_OK);
    EXPECT_EQ(dns_service_users(), 2);

    IAsynIoOperation* operation = ready_operation();
    ASSERT_EQ(resolve(operation, "abandoned.af.test"), S_OK);
    ASSERT_TRUE(wait_until([&] { return responder.count("abandoned.af.test") == 1; }, short_pause, 5s));
    EXPECT_EQ(host->stop(), S_OK);
    EXPECT_EQ(dns_service_users(), 1);
    {
        dns_detail::list_guard guard;
        EXPECT_EQ(guard.list()->pending_count(), 0u);
        EXPECT_FALSE(guard.list()->in_flight("abandoned.af.test"));
    }
    EXPECT_EQ(sink->count("complete"), 0u);
    operation->Release();

    EXPECT_EQ(second.stop(), S_OK);
    EXPECT_EQ(dns_service_users(), 0);
    other->Release();
}

TEST_P(DnsObjectTest, TheLastFrameStoppedFromACompletionStopsTheResolver) {
    IAsynIoOperation* operation = ready_operation();
    sink->on_complete = [&](IAsynIoOperation*) { EXPECT_EQ(host->plugin->Uninitialize(), S_OK); };
    ASSERT_EQ(resolve(operation, "10.0.0.7"), S_OK);
    ASSERT_TRUE(host->run_until([&] { return dns_service_users() == 0 && !object()->running(); }, 10s));
    sink->on_complete = nullptr;
    operation->Release();
    EXPECT_EQ(host->stop(), E_UNEXPECTED);  // already stopped; lets go of the test's receiver
    // The next frame starts it again (once the deferred stop has finished).
    ASSERT_TRUE(host->run_until([&] { return host->start() == S_OK; }));
    EXPECT_EQ(dns_service_users(), 1);
}

TEST_P(DnsObjectTest, ATruncatedReplyIsCompletedOverTcp) {
    std::vector<std::string> all;
    for (int i = 1; i <= 40; ++i) all.push_back("10.30.0." + std::to_string(i));
    scripted_responder responder(env.port, [](const received_query& q) {
        return std::vector<scripted_responder::datagram>{{0, truncated(scripted_responder::reply(q, 0, {}))}};
    });
    scripted_tcp_responder tcp(env.port, [&](const received_query& q) { return scripted_responder::reply(q, 0, all); });
    env.servers({"127.0.0.1"});
    IAsynIoOperation* operation = ready_operation();
    ASSERT_EQ(resolve(operation, std::string("tcp-") + mode_name(GetParam()) + ".af.test"), S_OK);
    ASSERT_TRUE(host->run_until([&] { return sink->count("complete") == 1; }, 5s));
    EXPECT_EQ(sink->log().back(), "complete 0 0");
    IAsynDnsResult* result = result_of(operation);
    ASSERT_NE(result, nullptr);
    DWORD count = 0;
    EXPECT_EQ(result->GetResult(nullptr, &count), S_OK);
    EXPECT_EQ(count, all.size());
    result->Release();
    EXPECT_EQ(tcp.queries().size(), 1u);
    operation->Release();
}

TEST_P(DnsObjectTest, AFrameThatForbidsSystemLookupsKeepsEveryNameToTheServers) {
    // No server configured: only a system lookup could answer.
    auto* other = new CAsynFrame();
    {
        frame_host second(static_cast<IAsynFrame3*>(other), static_cast<IAsynFramePlugin*>(other),
                          engine_mode::alertable);
        second.settings().set_bool("dns/system_lookup", false);
        ASSERT_EQ(second.start(), S_OK);
        const std::uint64_t lookups = system_lookups_started();
        IAsynIoOperation* operation = ready_operation();
        // Names of their own: a failure is remembered for the next modes.
        const std::string mode = mode_name(GetParam());
        ASSERT_EQ(resolve(operation, "forbidden-" + mode + ".af.test"), S_OK);
        ASSERT_TRUE(host->run_until([&] { return sink->count("complete") == 1; }, 5s));
        EXPECT_EQ(sink->log().back(), "complete 1 0");
        EXPECT_EQ(system_lookups_started(), lookups);
        EXPECT_EQ(second.stop(), S_OK);

        // That frame gone, this one's default applies again.
        ASSERT_EQ(resolve(operation, "allowed-" + mode + ".af.test"), S_OK);
        EXPECT_TRUE(wait_until([&] { return system_lookups_started() > lookups; }, short_pause, 5s));
        ASSERT_TRUE(host->run_until([&] { return sink->count("complete") == 2; }, 40s));
        operation->Release();
    }
    other->Release();
}

// IAsynDnsResult and its second face show the IPv4 addresses exactly as they
// did before IPv6 was asked for; the third face lists both families.
TEST_P(DnsObjectTest, OlderFacesShowIpv4AloneAndTheThirdBothFamilies) {
    scripted_responder responder(env.port, [](const received_query& q) {
        std::vector<std::string> found;
        if (q.name.rfind("a4-", 0) == 0) found = {"10.50.0.1"};
        if (q.name.rfind("a6-", 0) == 0) found = {"fd00::50"};
        if (q.name.rfind("a46-", 0) == 0) found = {"10.50.0.2", "10.50.0.3", "fd00::51", "fd00::52"};
        return std::vector<scripted_responder::datagram>{{0, scripted_responder::reply(q, 0, found)}};
    });
    env.servers({"127.0.0.1"});
    // Names of their own per mode, so that every mode asks the server.
    const std::string mode = mode_name(GetParam());
    const struct {
        std::string name;
        std::vector<std::string> four;
        std::vector<std::pair<std::string, DWORD>> both;
        DWORD source;
    } cases[] = {
        {"a4-" + mode + ".af.test", {"10.50.0.1"}, {{"10.50.0.1", 4}}, DNS_SOURCE_DNS_SERVER},
        {"a6-" + mode + ".af.test", {}, {{"fd00::50", 6}}, DNS_SOURCE_DNS_SERVER},
        {"a46-" + mode + ".af.test",
         {"10.50.0.2", "10.50.0.3"},
         {{"10.50.0.2", 4}, {"10.50.0.3", 4}, {"fd00::51", 6}, {"fd00::52", 6}},
         DNS_SOURCE_DNS_SERVER},
        {"::1", {}, {{"::1", 6}}, DNS_SOURCE_LITERAL},
        {"listed.af.test", {"10.9.9.9"}, {{"10.9.9.9", 4}}, DNS_SOURCE_HOSTS_FILE},
    };
    for (const auto& c : cases) {
        IAsynIoOperation* operation = ready_operation();
        const std::size_t before = sink->count("complete");
        ASSERT_EQ(resolve(operation, c.name), S_OK);
        ASSERT_TRUE(host->run_until([&] { return sink->count("complete") == before + 1; }, 40s)) << c.name;
        EXPECT_EQ(sink->log().back(), "complete 0 0") << c.name;
        IAsynDnsResult* result = result_of(operation);
        ASSERT_NE(result, nullptr);
        DWORD count = 99;
        EXPECT_EQ(result->GetResult(nullptr, &count), S_OK);
        std::vector<std::string> four;
        for (DWORD i = 0; i < count; ++i) {
            DWORD address = 0;
            EXPECT_EQ(result->GetAddress(i, &address), S_OK);
            char text[INET_ADDRSTRLEN] = {};
            in_addr value{};
            std::memcpy(&value, &address, sizeof address);
            ::inet_ntop(AF_INET, &value, text, sizeof text);
            four.emplace_back(text);
        }
        EXPECT_EQ(four, c.four) << c.name;
        DWORD unused = 0;
        EXPECT_EQ(result->GetAddress(count, &unused), E_INVALIDARG) << c.name;

        IAsynDnsResult3* third = nullptr;
        ASSERT_EQ(result->QueryInterface(IID_IAsynDnsResult3, reinterpret_cast<void**>(&third)), S_OK);
        DWORD source = 0;
        EXPECT_EQ(third->GetSource(&source), S_OK);
        EXPECT_EQ(source, c.source) << c.name;
        DWORD all = 0;
        EXPECT_EQ(third->GetAddressCount(&all), S_OK);
        EXPECT_EQ(third->GetAddressCount(nullptr), E_INVALIDARG);
        std::vector<std::pair<std::string, DWORD>> both;
        for (DWORD i = 0; i < all; ++i) {
            std::string text;
            auto* setter = new CStringSetter(text);
            DWORD family = 0;
            EXPECT_EQ(third->GetAddressText(i, setter, &family), S_OK);
            EXPECT_EQ(third->GetAddressText(i, setter, nullptr), S_OK);
            setter->Release();
            both.emplace_back(text, family);
        }
        EXPECT_EQ(both, c.both) << c.name;
        std::string ignored;
        auto* setter = new CStringSetter(ignored);
        EXPECT_EQ(third->GetAddressText(all, setter, nullptr), E_INVALIDARG);
        setter->Release();
        EXPECT_EQ(third->GetAddressText(0, nullptr, nullptr), E_INVALIDARG);
        third->Release();
        result->Release();
        operation->Release();
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, DnsObjectTest, all_modes(), mode_label);

// A fresh frame each round: its first resolution must leave at once, not at
// the resolver's first sweep a second later.
class DnsFirstQueryTest : public ::testing::TestWithParam<engine_mode> {};

TEST_P(DnsFirstQueryTest, TheFirstQueryOfAFreshFrameLeavesAtOnce) {
    ASYNFRAME_SKIP_WITHOUT_RING(GetParam());
    if (!network_isolated()) GTEST_SKIP() << "needs a network namespace of its own";
    resolver_env env;
    std::mutex lock;
    std::map<std::string, std::chrono::steady_clock::time_point> arrived;
    scripted_responder responder(env.port, [&](const received_query& q) {
        {
            std::lock_guard<std::mutex> guard(lock);
            arrived.emplace(q.name, std::chrono::steady_clock::now());
        }
        return std::vector<scripted_responder::datagram>{{0, scripted_responder::reply(q, 0, {"10.31.0.1"})}};
    });
    env.servers({"127.0.0.1"});
    for (int round = 0; round < 50; ++round) {
        const std::string name = "frame" + std::to_string(round) + ".af.test";
        auto* object = new CAsynFrame();
        auto* sink = new recorder;
        {
            frame_host host(static_cast<IAsynFrame3*>(object), static_cast<IAsynFramePlugin*>(object), GetParam());
            ASSERT_EQ(host.start(), S_OK);
            IAsynDns* dns = nullptr;
            IAsynIoOperation* operation = nullptr;
            host.on_dispatch([&] {
                EXPECT_EQ(object->CreateDns(&dns), S_OK);
                EXPECT_EQ(object->CreateOperation(sink, &operation), S_OK);
                operation->SetTag(0);
            });
            std::chrono::steady_clock::time_point submitted;
            host.on_dispatch([&] {
                submitted = std::chrono::steady_clock::now();
                EXPECT_EQ(dns->Resolve(operation, static_cast<DWORD>(name.size()), name.data()), S_OK);
            });
            EXPECT_TRUE(host.run_until([&] { return sink->count("complete") == 1; }, 5s)) << name;
            operation->Release();
            dns->Release();
            EXPECT_EQ(host.stop(), S_OK);
            std::lock_guard<std::mutex> guard(lock);
            ASSERT_EQ(arrived.count(name), 1u) << name;
            EXPECT_LT(arrived[name] - submitted, 700ms) << name;
        }
        sink->Release();
        object->Release();
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, DnsFirstQueryTest, all_modes(), mode_label);

}  // namespace
}  // namespace asynframe
