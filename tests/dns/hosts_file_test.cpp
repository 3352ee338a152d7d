#include "dns/hosts_file.h"

#include <gtest/gtest.h>
#include <cstdlib>

#include <string>

#include "common/portable.h"
#include "dns_test_support.h"

namespace asynframe {
namespace {

std::string find(const hosts_file& hosts, const std::string& name) {
    std::string address = "untouched";
    return hosts.lookup(name, address) ? address : "miss:" + address;
}

TEST(HostsFile, LinesCommentsAndNames) {
    dns_test::temp_folder folder;
    const std::string path = folder.write("hosts",
                                          "127.0.0.1\tlocalhost loopback # the usual\n"
                                          "# 10.0.0.9 commented.out\n"
                                          "\n"
                                          "   \t  \n"
                                          "::1 localhost ip6-localhost\n"
                                          "10.0.0.1 first.test\n"
                                          "10.0.0.2 first.test second.test\n"
                                          "10.0.0.3 bad*name after-bad.test under_score.test\n"
                                          "127.1 short.form\n"
                                          "255.255.255.255 broadcast.test\n"
                                          "not-an-address name.test\n"
                                          "10.0.0.4#glued.test\n"
                                          "  10.0.0.5   indented.test   \n"
                                          "Example.Local 10.0.0.6\n"
                                          "10.0.0.7 Example.Local");
    hosts_file hosts(path);
    EXPECT_EQ(find(hosts, "localhost"), "127.0.0.1");
    EXPECT_EQ(find(hosts, "loopback"), "127.0.0.1");
    EXPECT_EQ(find(hosts, "commented.out"), "miss:untouched");
    EXPECT_EQ(find(hosts, "ip6-localhost"), "miss:untouched");
    EXPECT_EQ(find(hosts, "first.test"), "10.0.0.1");
    EXPECT_EQ(find(hosts, "second.test"), "10.0.0.2");
    EXPECT_EQ(find(hosts, "bad*name"), "miss:untouched");
    EXPECT_EQ(find(hosts, "after-bad.test"), "10.0.0.3");
    EXPECT_EQ(find(hosts, "under_score.test"), "10.0.0.3");
    EXPECT_EQ(find(hosts, "short.form"), "127.1");  // kept as written
    EXPECT_EQ(find(hosts, "broadcast.test"), "miss:untouched");
    EXPECT_EQ(find(hosts, "name.test"), "miss:untouched");
    EXPECT_EQ(find(hosts, "glued.test"), "miss:untouched");
    EXPECT_EQ(find(hosts, "indented.test"), "10.0.0.5");
    EXPECT_EQ(find(hosts, "Example.Local"), "10.0.0.7");  // last line, no line end
    EXPECT_EQ(find(hosts, "example.local"), "miss:untouched");
    EXPECT_EQ(hosts.size(), 9u);
}

TEST(HostsFile, LineEndsAndLongLines) {
    hosts_file cr_only("");
    cr_only.parse("10.0.0.1 a.test\r10.0.0.2 b.test\r\r10.0.0.3 c.test\r");
    EXPECT_EQ(find(cr_only, "a.test"), "10.0.0.1");
    EXPECT_EQ(find(cr_only, "b.test"), "10.0.0.2");
    EXPECT_EQ(find(cr_only, "c.test"), "10.0.0.3");

    hosts_file crlf("");
    crlf.parse("10.0.0.1 a.test\r\n\r\n10.0.0.2 b.test\r\n");
    EXPECT_EQ(find(crlf, "a.test"), "10.0.0.1");
    EXPECT_EQ(find(crlf, "b.test"), "10.0.0.2");
    EXPECT_EQ(crlf.size(), 2u);

    // Only the first 1023 bytes of a line count: a name cut there is kept
    // cut, and what follows on the same line is dropped.
    std::string line = "10.0.0.1 ";
    line += std::string(hosts_file::max_line - line.size() - 4, ' ');
    line += "cut.here dropped.test\n10.0.0.2 next.test\n";
    hosts_file capped("");
    capped.parse(line);
    EXPECT_EQ(find(capped, "cut."), "10.0.0.1");
    EXPECT_EQ(find(capped, "cut.here"), "miss:untouched");
    EXPECT_EQ(find(capped, "dropped.test"), "miss:untouched");
    EXPECT_EQ(find(capped, "next.test"), "10.0.0.2");
}

TEST(HostsFile, MissingFileAndEnvironmentOverride) {
    dns_test::temp_folder folder;
    hosts_file missing(folder.file("absent"));
    EXPECT_EQ(missing.size(), 0u);
    hosts_file directory(folder.path().string());
    EXPECT_EQ(directory.size(), 0u);

    const std::string path = folder.write("hosts", "192.0.2.7 chosen.test\n");
    const char* previous = std::getenv("ASYNFRAME_HOSTS_FILE");
    const std::string saved = previous != nullptr ? previous : "";
    harness::set_env("ASYNFRAME_HOSTS_FILE", path);
    EXPECT_EQ(hosts_file::default_path(), path);
    hosts_file chosen;
    EXPECT_EQ(find(chosen, "chosen.test"), "192.0.2.7");
    if (previous != nullptr) {
        harness::set_env("ASYNFRAME_HOSTS_FILE", saved);
    } else {
        harness::unset_env("ASYNFRAME_HOSTS_FILE");
#if defined(_WIN32)
        const std::string system_hosts = hosts_file::default_path();
        const std::string tail = "\\drivers\\etc\\hosts";
        ASSERT_GT(system_hosts.size(), tail.size());
        EXPECT_EQ(system_hosts.substr(system_hosts.size() - tail.size()), tail);
#else
        EXPECT_EQ(hosts_file::default_path(), "/etc/hosts");
#endif
    }
}

}  // namespace
}  // namespace asynframe
