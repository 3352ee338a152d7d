#include "dns/dns_local_repository.h"
#include "dns/host_db.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "dns/dns_package.h"
#include "dns_test_support.h"
#include "support/profile.h"

namespace asynframe {
namespace {

using addresses = std::vector<std::string>;
using dns_test::manual_clock;
using dns_test::temp_folder;

constexpr std::uint32_t near_wrap = 0xFFFFFFFFu - 30000;  // wraps half a minute in

TEST(AnswerCache, OnlyRecordsWithTtlAreCachedAndExpireAcrossTheWrap) {
    manual_clock clock(near_wrap);
    dns_test::wire w;
    w.header(1, 0, 1, 3).question("two.test");
    w.pointer(12).rr(1, 1, 60, 4).a(10, 0, 0, 1);
    w.pointer(12).rr(1, 1, 0, 4).a(10, 0, 0, 2);
    w.pointer(12).rr(5, 1, 60, 2).pointer(12);  // not an address
    adns_answer answer(w.data(), w.size());

    dns_local_repository cache;
    cache.store("two.test", cached_addresses_of(answer.records));
    addresses out{"earlier"};
    EXPECT_EQ(cache.lookup("two.test", out), dns_local_repository::hit);
    EXPECT_EQ(out, (addresses{"earlier", "10.0.0.1"}));

    clock.advance(59999);  // past the wrap, still inside the TTL
    out.clear();
    EXPECT_EQ(cache.lookup("two.test", out), dns_local_repository::hit);
    clock.advance(1);
    EXPECT_EQ(cache.lookup("two.test", out), dns_local_repository::expired);
    EXPECT_EQ(cache.lookup("two.test", out), dns_local_repository::absent);  // removed
}

TEST(AnswerCache, TtlWithTheTopBitSetIsNotCached) {
    manual_clock clock(1000);
    const auto reply = [](const std::string& name, std::uint32_t ttl) {
        dns_test::wire w;
        w.header(1, 0, 1, 1).question(name);
        w.pointer(12).rr(1, 1, ttl, 4).a(10, 0, 0, 7);
        return w;
    };
    dns_local_repository cache;
    for (const auto& [name, ttl] : {std::pair<std::string, std::uint32_t>{"negative.test", 0x80000000u},
                                    {"minus-one.test", 0xFFFFFFFFu},
                                    {"largest.test", 0x7FFFFFFFu}}) {
        const dns_test::wire w = reply(name, ttl);
        adns_answer answer(w.data(), w.size());
        cache.store(name, cached_addresses_of(answer.records));
    }
    clock.advance(86400u * 1000u);  // a day: only a TTL taken as huge would still hold
    addresses out;
    EXPECT_EQ(cache.lookup("negative.test", out), dns_local_repository::absent);
    EXPECT_EQ(cache.lookup("minus-one.test", out), dns_local_repository::absent);
    EXPECT_EQ(cache.lookup("largest.test", out), dns_local_repository::hit);
    EXPECT_EQ(out, (addresses{"10.0.0.7"}));
}

TEST(AnswerCache, StoreRulesAndStaleElements) {
    manual_clock clock(1000);
    dns_local_repository cache;
    cache.store("zero.test", {{"10.0.0.9", 0, 1000}});
    addresses out;
    EXPECT_EQ(cache.lookup("zero.test", out), dns_local_repository::absent);

    cache.store("mix.test", {{"10.0.0.1", 1, 1000}, {"10.0.0.2", 10, 1000}});
    cache.store("mix.test", {{"10.0.0.3", 0, 1000}});  // nothing to keep: earlier list stays
    clock.advance(5000);  // the first element is stale, the second fresh
    EXPECT_EQ(cache.lookup("mix.test", out), dns_local_repository::hit);
    EXPECT_EQ(out, (addresses{"10.0.0.2"}));
    cache.store("mix.test", {{"10.0.0.4", 10, 6000}});  // replaces the whole list
    out.clear();
    EXPECT_EQ(cache.lookup("mix.test", out), dns_local_repository::hit);
    EXPECT_EQ(out, (addresses{"10.0.0.4"}));
    EXPECT_EQ(cache.lookup("Mix.test", out), dns_local_repository::absent);

    // A TTL beyond 49.7 days must not wrap into a short one.
    cache.store("long.test", {{"10.0.0.5", 4294968, 6000}});  // x1000 wraps to 704 in 32 bits
    clock.advance(10000);
    out.clear();
    EXPECT_EQ(cache.lookup("long.test", out), dns_local_repository::hit);

    dns_local_repository& shared = dns_local_repository::instance();
    EXPECT_EQ(&shared, &dns_local_repository::instance());
    shared.store("shared.test", {{"10.0.0.6", 10, 6000}});
    dns_local_repository::destroy_instance();
    EXPECT_EQ(dns_local_repository::instance().lookup("shared.test", out), dns_local_repository::absent);
    dns_local_repository::destroy_instance();
}

TEST(RecentFailures, OnWhenEnabledAcrossTheWrap) {
    temp_folder folder;
    const std::string file = folder.write("host_db.dat", "[domain_fail]\nenable=1\n");
    manual_clock clock(near_wrap);
    host_db db(file);
    EXPECT_FALSE(db.failed_recently("down.test"));
    db.record_failure("down.test");
    EXPECT_TRUE(db.failed_recently("down.test"));
    EXPECT_FALSE(db.failed_recently("other.test"));
    clock.advance(19999);  // crosses the wrap
    EXPECT_TRUE(db.failed_recently("down.test"));
    clock.advance(1);
    EXPECT_FALSE(db.failed_recently("down.test"));
    db.record_failure("down.test");  // overwritten with now
    EXPECT_TRUE(db.failed_recently("down.test"));
    // The counter wrapping all the way round does not revive an old entry.
    clock.advance(0x80000000u);
    EXPECT_FALSE(db.failed_recently("down.test"));
}

TEST(RecentFailures, OffByDefaultAndValuesReadOnce) {
    temp_folder folder;
    manual_clock clock(5000);
    host_db off(folder.file("host_db.dat"));  // no file at all
    off.record_failure("down.test");
    EXPECT_FALSE(off.failed_recently("down.test"));

    const std::string file = folder.write("custom.dat", "[DOMAIN_FAIL]\nEnable = 7\ncache_timeout=500\n");
    host_db custom(file);
    custom.record_failure("down.test");
    EXPECT_TRUE(custom.failed_recently("down.test"));  // both values are read by now
    folder.write("custom.dat", "[domain_fail]\nenable=0\ncache_timeout=100000\n");  // too late
    custom.record_failure("later.test");
    clock.advance(499);
    EXPECT_TRUE(custom.failed_recently("down.test"));
    EXPECT_TRUE(custom.failed_recently("later.test"));
    clock.advance(1);
    EXPECT_FALSE(custom.failed_recently("down.test"));
}

TEST(LastGood, SuccessIsWrittenAndAFailureFallsBackToIt) {
    temp_folder folder;
    const std::string file = folder.file("host_db.dat");
    host_db db(file, ".corp.test");
    EXPECT_EQ(db.last_good_suffix(), ".corp.test");

    std::int32_t code = 0;
    addresses list{"10.0.0.1", "10.0.0.2"};
    db.apply_last_good("www.corp.test", code, list);
    EXPECT_EQ(profile::read_string(file, "domain_succ", "www.corp.test", "none"), "10.0.0.1|10.0.0.2|");

    code = 1;
    list = {"stale"};
    db.apply_last_good("www.corp.test", code, list);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(list, (addresses{"10.0.0.1", "10.0.0.2"}));

    // A fallback is not written back; a later success rewrites the line.
    code = 0;
    list = {"10.0.0.3"};
    db.apply_last_good("www.corp.test", code, list);
    EXPECT_EQ(profile::read_string(file, "domain_succ", "www.corp.test", "none"), "10.0.0.3|");

    // Nothing stored: the failure stays.
    code = 7;
    list.clear();
    db.apply_last_good("never.corp.test", code, list);
    EXPECT_EQ(code, 7);
    EXPECT_TRUE(list.empty());
}

TEST(LastGood, SuffixMatchingAndSplitting) {
    temp_folder folder;
    const std::string file = folder.write("host_db.dat",
                                          "[domain_succ]\n"
                                          "gap.corp.test=10.0.0.1||10.0.0.2|\n"
                                          "bar.corp.test=|\n"
                                          "empty.corp.test=\n"
                                          ".corp.test=10.9.9.9|\n"
                                          "inside.corp.test.org=10.8.8.8|\n"
                                          "Upper.Corp.Test=10.7.7.7|\n");
    host_db db(file, ".corp.test");
    const auto fallback = [&](const std::string& name) {
        std::int32_t code = 1;
        addresses list;
        db.apply_last_good(name, code, list);
        return code == 0 ? list : addresses{"failed"};
    };
    EXPECT_EQ(fallback("gap.corp.test"), (addresses{"10.0.0.1", "", "10.0.0.2"}));
    EXPECT_EQ(fallback("bar.corp.test"), (addresses{""}));
    EXPECT_EQ(fallback("empty.corp.test"), (addresses{"failed"}));
    EXPECT_EQ(fallback(".corp.test"), (addresses{"10.9.9.9"}));
    EXPECT_EQ(fallback("inside.corp.test.org"), (addresses{"failed"}));
    EXPECT_EQ(fallback("Upper.Corp.Test"), (addresses{"failed"}));  // suffix is case-sensitive
    EXPECT_EQ(fallback("corp.test"), (addresses{"failed"}));       // shorter than the suffix

    EXPECT_EQ(host_db::split_addresses("a|b"), (addresses{"a", "b"}));
    EXPECT_EQ(host_db::split_addresses("|a"), (addresses{"", "a"}));
    EXPECT_EQ(host_db::join_addresses({"a", "", "b"}), "a||b|");
}

TEST(LastGood, ConfiguredAndUnconfiguredSuffix) {
    temp_folder folder;
    // The file's own suffix wins over the built-in one; a missing dot is added.
    const std::string file = folder.write("host_db.dat", "[last_good]\nsuffix=corp.test\n");
    host_db configured(file, ".other.test");
    EXPECT_EQ(configured.last_good_suffix(), ".corp.test");
    std::int32_t code = 0;
    addresses list{"10.0.0.1"};
    configured.apply_last_good("a.corp.test", code, list);
    configured.apply_last_good("a.other.test", code, list);
    configured.apply_last_good("xcorp.test", code, list);
    EXPECT_EQ(profile::read_string(file, "domain_succ", "a.corp.test", "none"), "10.0.0.1|");
    EXPECT_EQ(profile::read_string(file, "domain_succ", "a.other.test", "none"), "none");
    EXPECT_EQ(profile::read_string(file, "domain_succ", "xcorp.test", "none"), "none");

    // No suffix anywhere: the rule is off, nothing is written or used.
    const std::string bare = folder.write("bare.dat", "[domain_succ]\na.corp.test=10.0.0.1|\n");
    host_db unconfigured(bare, "");
    EXPECT_EQ(unconfigured.last_good_suffix(), "");
    code = 1;
    list.clear();
    unconfigured.apply_last_good("a.corp.test", code, list);
    EXPECT_EQ(code, 1);
    code = 0;
    list = {"10.0.0.2"};
    unconfigured.apply_last_good("b.corp.test", code, list);
    EXPECT_EQ(folder.read("bare.dat"), "[domain_succ]\na.corp.test=10.0.0.1|\n");
}

TEST(LastGood, NamesThatCannotBeKeysStayOutOfTheFile) {
    temp_folder folder;
    const std::string file = folder.file("host_db.dat");
    host_db db(file, ".corp.test");
    std::int32_t code = 0;
    addresses list{"10.0.0.1"};
    db.apply_last_good("x\n[domain_fail]\nenable=1\ny.corp.test", code, list);
    db.apply_last_good("a=b.corp.test", code, list);
    EXPECT_EQ(profile::read_uint(file, "domain_fail", "enable", 0), 0u);
    EXPECT_EQ(profile::read_string(file, "domain_succ", "a", "none"), "none");
}

TEST(HostDb, ProcessWideFileInTheDataFolder) {
    // The program's environment chose the data folder before anything ran.
    const char* folder = std::getenv("ASYNFRAME_DATA_DIR");
    ASSERT_NE(folder, nullptr);
    const std::string path = host_db::default_path();
    EXPECT_EQ(path.substr(0, std::string(folder).size()), folder);
#if defined(_WIN32)
    EXPECT_EQ(path.substr(path.size() - 12), "\\host_db.dat");
#else
    EXPECT_EQ(path.substr(path.size() - 12), "/host_db.dat");
#endif
    host_db& db = host_db::instance();
    EXPECT_EQ(&db, &host_db::instance());
    EXPECT_EQ(db.path(), path);
}

}  // namespace
}  // namespace asynframe
