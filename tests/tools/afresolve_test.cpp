// afresolve names the source the resolver really used for each answer, and
// refuses names that cannot be host names before anything is asked.
#include <gtest/gtest.h>

#include "common/isolated_network.h"
#include "dns/dns_servers.h"
#include "tools/tool_runner.h"

namespace asynframe::tools_test {
namespace {

using dns_test::received_query;
using dns_test::scripted_responder;

class AfresolveTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!harness::network_isolated()) GTEST_SKIP() << "needs a network namespace: afresolve resolves names";
        _port = dns_test::free_udp_port();
        _environment = {{"ASYNFRAME_HOSTS_FILE", _folder.write("hosts", "10.1.2.3 listed.aftools.test\n")},
                        {"ASYNFRAME_RESOLV_CONF", _folder.write("resolv.conf", "nameserver 127.0.0.1\n")},
                        {"ASYNFRAME_DNS_PORT", std::to_string(_port)},
                        {"ASYNFRAME_DATA_DIR", _folder.path().string()}};
        _responder = std::make_unique<scripted_responder>(_port, [](const received_query& q) {
            if (q.name == "served.aftools.test")
                return std::vector<scripted_responder::datagram>{{0, scripted_responder::reply(q, 0, {"10.20.0.1"})}};
            if (q.name == "dual.aftools.test")
                return std::vector<scripted_responder::datagram>{
                    {0, scripted_responder::reply(q, 0, {"10.20.0.2", "fd00:20::2", "10.20.0.3", "fd00:20::3"})}};
            return std::vector<scripted_responder::datagram>{{0, scripted_responder::reply(q, 3, {})}};
        });
    }

    run_result afresolve(const std::vector<std::string>& names) {
        return run_tool(AFRESOLVE_PATH, names, _environment, std::chrono::seconds(30));
    }

    dns_test::temp_folder _folder;
    std::uint16_t _port = 0;
    std::map<std::string, std::string> _environment;
    std::unique_ptr<scripted_responder> _responder;
};

TEST_F(AfresolveTest, EachAnswerNamesItsTrueSource) {
    const run_result resolved = afresolve({"listed.aftools.test", "192.0.2.7", "127.1", "served.aftools.test",
                                           "served.aftools.test", "localhost", "missing.aftools.test"});
    EXPECT_EQ(resolved.code, 3) << resolved.err;  // the missing name
    const std::vector<std::string> lines = lines_of(resolved.out);
    ASSERT_EQ(lines.size(), 7u) << resolved.out;
    const char* const expected[] = {
        "listed.aftools.test: 10.1.2.3 (hosts, ",
        "192.0.2.7: 192.0.2.7 (address, ",
        // The classic short form is an address too, not a cached name.
        "127.1: 127.0.0.1 (address, ",
        "served.aftools.test: 10.20.0.1 (dns, ",
        // Asked again once the first answer is in: the cache answers.
        "served.aftools.test: 10.20.0.1 (cache, ",
        // A single label goes to the system's lookup only (which may know
        // an IPv6 address for it as well).
        "localhost: 127.0.0.1",
        "missing.aftools.test: no address found",
    };
    for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].rfind(expected[i], 0), 0u) << lines[i];
    EXPECT_NE(lines[5].find(" (system, "), std::string::npos) << lines[5];
    EXPECT_EQ(_responder->count("served.aftools.test"), 1u);
}

TEST_F(AfresolveTest, BothFamiliesIpv4FirstAndIpv6Literals) {
    const run_result resolved = afresolve({"dual.aftools.test", "::1", "2001:DB8::0:1", "served.aftools.test"});
    EXPECT_EQ(resolved.code, 0) << resolved.err;
    const std::vector<std::string> lines = lines_of(resolved.out);
    ASSERT_EQ(lines.size(), 4u) << resolved.out;
    EXPECT_EQ(lines[0].rfind("dual.aftools.test: 10.20.0.2 10.20.0.3 fd00:20::2 fd00:20::3 (dns, ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("::1: ::1 (address, ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("2001:DB8::0:1: 2001:db8::1 (address, ", 0), 0u) << lines[2];
    // A name without IPv6 address prints as it always has.
    EXPECT_EQ(lines[3].rfind("served.aftools.test: 10.20.0.1 (dns, ", 0), 0u) << lines[3];
    EXPECT_EQ(_responder->count("dual.aftools.test", 28), 1u);
    EXPECT_EQ(_responder->count("::1"), 0u);
}

TEST_F(AfresolveTest, NamesThatCannotExistAreRefusedUnasked) {
    const std::string long_label(64, 'a');
    std::string long_name;
    while (long_name.size() < 254) long_name += "abcdefgh.";
    const std::pair<std::string, std::string> bad[] = {
        {"a..b", "an empty label"},
        {".a", "an empty label"},
        {long_label + ".test", "a label longer than 63 characters"},
        {long_name + "test", "longer than 253 characters"},
        {"bad name.test", "the character ' '"},
        {"a/b.test", "the character '/'"},
        {"\xc3\xa9.test", "a character outside ASCII"},
    };
    for (const auto& [name, why] : bad) {
        const run_result refused = afresolve({"served.aftools.test", name});
        EXPECT_EQ(refused.code, 2) << name;
        EXPECT_NE(refused.err.find("not a host name: '" + name + "' (" + why), std::string::npos) << refused.err;
        EXPECT_TRUE(refused.out.empty()) << refused.out;
    }
    // Nothing at all went to the server, not even the good name beside them.
    EXPECT_TRUE(_responder->queries().empty());
    // A final dot is the root's, and allowed.
    const run_result rooted = afresolve({"served.aftools.test."});
    EXPECT_EQ(rooted.code, 0) << rooted.err;
    EXPECT_NE(rooted.out.find("10.20.0.1 (dns, "), std::string::npos) << rooted.out;
}

}  // namespace
}  // namespace asynframe::tools_test
