// IPv6 in the resolver's parts that need no server: address texts, AAAA on
// the wire, hosts-file lines, the answer cache per family, and the answer-cache
// file, whose IPv4 entries must stay exactly what a reader that knows nothing
// of IPv6 expects.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dns/dns_local_repository.h"
#include "dns/dns_package.h"
#include "dns/host_db.h"
#include "dns/hosts_file.h"
#include "dns/ip_parser.h"
#include "dns_test_support.h"
#include "support/profile.h"

namespace asynframe {
namespace {

using addresses = std::vector<std::string>;
using dns_test::manual_clock;
using dns_test::temp_folder;

TEST(Ipv6Text, ReadsEveryFormAndWritesTheRfc5952One) {
    const std::pair<const char*, const char*> cases[] = {
        {"::", "::"},
        {"::1", "::1"},
        {"1::", "1::"},
        {"2001:DB8:0:0:0:0:0:1", "2001:db8::1"},
        {"2001:0db8:0000:0000:0001:0000:0000:0001", "2001:db8::1:0:0:1"},  // the first of equal runs
        {"2001:db8:0:0:1:0:0:0", "2001:db8:0:0:1::"},                      // the longer run
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},                  // one zero group stays
        {"fe80::0:1", "fe80::1"},
        {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"},
        {"::ffff:192.0.2.1", "::ffff:192.0.2.1"},
        {"::FFFF:c000:0201", "::ffff:192.0.2.1"},  // mapped addresses keep the dotted tail
        {"2001:db8::192.0.2.1", "2001:db8::c000:201"},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(canonical_ipv6(in), out) << in;
    for (const char* bad : {"", ":", ":::", "1::2::3", ":1::", "1:", "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7",
                            "12345::", "g::", "::1%lo", "[::1]", "::1/64", "1.2.3.4", "::256.1.1.1",
                            "::1.2.3", "1:2:3:4:5:6:7:1.2.3.4", "::01.2.3.4567"})
        EXPECT_EQ(canonical_ipv6(bad), "") << bad;
    EXPECT_EQ(address_family("10.0.0.1"), 4);
    EXPECT_EQ(address_family("::1"), 6);
}

TEST(Ipv6Wire, TheQueryAsksForAaaaAndTheReplyGivesItsAddresses) {
    unsigned char buffer[64];
    std::uint32_t length = sizeof buffer;
    dns_package("a.test", 0x1234, dns_type_aaaa).encode(buffer, length);
    ASSERT_EQ(length, 12u + 8u + 4u);
    EXPECT_EQ(buffer[20], 0x00);
    EXPECT_EQ(buffer[21], 28);  // QTYPE AAAA
    EXPECT_EQ(buffer[23], 1);   // QCLASS IN
    length = sizeof buffer;
    dns_package("a.test", 0x1234).encode(buffer, length);
    EXPECT_EQ(buffer[21], 1);  // A unless told otherwise

    const unsigned char one[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const unsigned char cut[16] = {};
    dns_test::wire w;
    w.header(7, 0, 1, 4).question("six.test", 28);
    w.pointer(12).rr(28, 1, 60, 16).aaaa(one);
    w.pointer(12).rr(28, 1, 60, 15);  // one byte short: not an address
    w.bytes.insert(w.bytes.end(), cut, cut + 15);
    w.pointer(12).rr(1, 1, 60, 4).a(10, 0, 0, 1);
    w.pointer(12).rr(28, 1, 0, 16).aaaa(one);
    const adns_answer answer(w.data(), w.size());
    ASSERT_TRUE(answer.valid);
    EXPECT_EQ(answer.question_type, 28);
    ASSERT_EQ(answer.records.size(), 4u);
    EXPECT_EQ(answer.records[0].address, "2001:db8::1");
    EXPECT_EQ(answer.records[1].address, "");
    // Each family's answers are picked out of a reply apart.
    const std::vector<cached_address> six = cached_addresses_of(answer.records, dns_type_aaaa);
    ASSERT_EQ(six.size(), 2u);
    EXPECT_EQ(six[0].address, "2001:db8::1");
    const std::vector<cached_address> four = cached_addresses_of(answer.records);
    ASSERT_EQ(four.size(), 1u);
    EXPECT_EQ(four[0].address, "10.0.0.1");
}

TEST(Ipv6HostsFile, IpV6LinesAnswerBesideTheIpv4Ones) {
    hosts_file hosts("");
    hosts.parse("127.0.0.1 localhost\n"
                "::1 localhost ip6-localhost\n"
                "FD00:0:0::7 six.test both.test\n"
                "10.0.0.8 both.test\n"
                "fd00::9 six.test\n"  // the first line naming a host wins, per family
                "fe80::1%eth0 zoned.test\n"
                "[::2] bracketed.test\n");
    std::string four = "none";
    std::string six = "none";
    EXPECT_TRUE(hosts.lookup("localhost", four, six));
    EXPECT_EQ(four, "127.0.0.1");
    EXPECT_EQ(six, "::1");
    four = six = "none";
    EXPECT_TRUE(hosts.lookup("six.test", four, six));
    EXPECT_EQ(four, "none");
    EXPECT_EQ(six, "fd00::7");
    four = six = "none";
    EXPECT_TRUE(hosts.lookup("both.test", four, six));
    EXPECT_EQ(four, "10.0.0.8");
    EXPECT_EQ(six, "fd00::7");
    EXPECT_FALSE(hosts.lookup("zoned.test", four, six));
    EXPECT_FALSE(hosts.lookup("bracketed.test", four, six));
    // The IPv4 lookup sees none of it.
    four = "none";
    EXPECT_FALSE(hosts.lookup("six.test", four));
    EXPECT_FALSE(hosts.lookup("ip6-localhost", four));
    EXPECT_EQ(four, "none");
    EXPECT_EQ(hosts.size(), 2u);
    EXPECT_EQ(hosts.size6(), 4u);
}

TEST(Ipv6AnswerCache, EachFamilyKeepsItsOwnListAndTtl) {
    manual_clock clock(1000);
    dns_local_repository cache;
    cache.store("both.test", {{"10.0.0.1", 60, 1000}, {"10.0.0.2", 60, 1000}});
    cache.store("both.test", {{"fd00::1", 10, 1000}});  // the AAAA reply leaves the A answer alone
    addresses four;
    addresses six;
    EXPECT_EQ(cache.lookup("both.test", four, &six), dns_local_repository::hit);
    EXPECT_EQ(four, (addresses{"10.0.0.1", "10.0.0.2"}));
    EXPECT_EQ(six, (addresses{"fd00::1"}));
    // A caller of IPv4 only sees exactly what it saw before.
    four.clear();
    EXPECT_EQ(cache.lookup("both.test", four), dns_local_repository::hit);
    EXPECT_EQ(four, (addresses{"10.0.0.1", "10.0.0.2"}));

    cache.store("both.test", {{"10.0.0.3", 60, 1000}});  // a new A answer replaces the IPv4 list only
    clock.advance(10000);                                // the IPv6 TTL has run out
    four.clear();
    six.clear();
    EXPECT_EQ(cache.lookup("both.test", four, &six), dns_local_repository::hit);
    EXPECT_EQ(four, (addresses{"10.0.0.3"}));
    EXPECT_TRUE(six.empty());

    // IPv6 only: a hit for whoever reads IPv6, nothing for an IPv4 caller,
    // and the entry stays for the next one.
    cache.store("six.test", {{"fd00::6", 60, 11000}});
    four.clear();
    EXPECT_EQ(cache.lookup("six.test", four), dns_local_repository::absent);
    EXPECT_EQ(cache.lookup("six.test", four, &six), dns_local_repository::hit);
    EXPECT_EQ(six, (addresses{"fd00::6"}));
    EXPECT_TRUE(four.empty());
    clock.advance(60000);
    EXPECT_EQ(cache.lookup("six.test", four, &six), dns_local_repository::expired);
}

// The file as the resolver writes it now, read by the reader that knows only
// "domain_succ": the same profile lookup and split the IPv4 fallback has
// always used, and the IPv4 entry point itself.
TEST(Ipv6AnswerCacheFile, IpV4EntriesReadAsBeforeWithIpV6EntriesPresent) {
    temp_folder folder;
    const std::string file = folder.file("host_db.dat");
    host_db db(file, ".corp.test");
    struct entry {
        const char* name;
        addresses four;
        addresses six;
    };
    const entry written[] = {
        {"six-first.corp.test", {"10.0.0.1", "10.0.0.2"}, {"fd00::1", "2001:db8::2"}},
        {"four-only.corp.test", {"10.0.0.3"}, {}},
        {"six-only.corp.test", {}, {"fd00::4"}},
        {"both.corp.test", {"10.0.0.5"}, {"::ffff:10.0.0.5"}},
    };
    for (const entry& e : written) {
        // Either family may be stored first.
        addresses six = e.six;
        addresses four = e.four;
        if (std::string(e.name) == "six-first.corp.test") {
            db.last_good_family(e.name, 6, false, six);
            db.last_good_family(e.name, 4, false, four);
        } else {
            db.last_good_family(e.name, 4, false, four);
            db.last_good_family(e.name, 6, false, six);
        }
    }
    const std::string content = folder.read("host_db.dat");
    ASSERT_NE(content.find("[domain_succ6]"), std::string::npos) << content;
    for (const entry& e : written) {
        const std::optional<std::string> value = profile::find_value(content, "domain_succ", e.name);
        if (e.four.empty()) {
            EXPECT_FALSE(value.has_value()) << e.name;
            continue;
        }
        ASSERT_TRUE(value.has_value()) << e.name;
        EXPECT_EQ(*value, host_db::join_addresses(e.four)) << e.name;
        EXPECT_EQ(host_db::split_addresses(*value), e.four) << e.name;
        std::int32_t code = 1;
        addresses fallback;
        host_db reader(file, ".corp.test");
        reader.apply_last_good(e.name, code, fallback);
        EXPECT_EQ(code, 0) << e.name;
        EXPECT_EQ(fallback, e.four) << e.name;
    }
    // Every line of the IPv4 section is one the old reader takes for IPv4.
    const std::size_t begin = content.find("[domain_succ]");
    const std::size_t end = content.find('[', begin + 1);
    const std::string section = content.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    EXPECT_EQ(section.find(':'), std::string::npos) << section;

    // The new reader gives each family back when its lookup fails.
    for (const entry& e : written) {
        addresses four;
        addresses six;
        EXPECT_EQ(db.last_good_family(e.name, 4, true, four), !e.four.empty()) << e.name;
        EXPECT_EQ(db.last_good_family(e.name, 6, true, six), !e.six.empty()) << e.name;
        EXPECT_EQ(four, e.four) << e.name;
        EXPECT_EQ(six, e.six) << e.name;
    }
    // A family that answered with nothing stores nothing and takes nothing.
    addresses none;
    EXPECT_FALSE(db.last_good_family("four-only.corp.test", 6, false, none));
    EXPECT_EQ(profile::find_value(folder.read("host_db.dat"), "domain_succ6", "four-only.corp.test"), std::nullopt);
    // Outside the suffix nothing is written for either family.
    addresses outside{"fd00::9"};
    db.last_good_family("www.other.test", 6, false, outside);
    EXPECT_EQ(folder.read("host_db.dat"), content);
}

}  // namespace
}  // namespace asynframe
