// afproxy-check against proxies that work, proxies that fail in ways a quick
// check misses, and a web server posing as a proxy.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/harness.h"
#include "common/isolated_network.h"
#include "proxy/proxy_servers.h"
#include "tools/tool_runner.h"

namespace asynframe::tools_test {
namespace {

namespace fs = std::filesystem;

class AfproxyCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        _folder = fs::temp_directory_path() / ("afproxy-" + std::to_string(::getpid()) + "-" +
                                                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(_folder);
        fs::create_directories(www());
        write_file(www() + "/small.txt", "hello, tools\n");
    }
    void TearDown() override { fs::remove_all(_folder); }
    std::string folder() const { return _folder.string(); }
    std::string www() const { return folder() + "/www"; }

    run_result check(const std::string& kind, std::uint16_t port, std::vector<std::string> more = {},
                     const std::string& proxy_host = "127.0.0.1") {
        std::vector<std::string> args{kind, proxy_host, std::to_string(port)};
        args.insert(args.end(), more.begin(), more.end());
        return run_tool(AFPROXY_CHECK_PATH, args, {}, std::chrono::seconds(40));
    }

    fs::path _folder;
};

// An "HTTP proxy" that answers every request with `answer`.
std::unique_ptr<proxy_test::scripted_tcp_server> answering(const std::string& answer) {
    return std::make_unique<proxy_test::scripted_tcp_server>([answer](int fd) {
        std::string request;
        char byte;
        while (request.find("\r\n\r\n") == std::string::npos && proxy_test::read_exactly(fd, &byte, 1))
            request += byte;
        proxy_test::write_all(fd, answer.data(), answer.size());
    });
}

TEST_F(AfproxyCheckTest, HttpProxiesAreJudgedByTheirStatus) {
    auto broken = answering("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    const run_result failing = check("http", broken->port());
    EXPECT_EQ(failing.code, 6) << failing.out << failing.err;
    EXPECT_NE(failing.out.find("failed (the proxy answered HTTP 500)"), std::string::npos) << failing.out;
    EXPECT_NE(failing.out.find("checked: GET http://www.example.com/ through the proxy: \"HTTP/1.1 500 Internal"),
              std::string::npos)
        << failing.out;

    auto guarded = answering("HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 0\r\n\r\n");
    const run_result refused = check("http", guarded->port(), {"user", "wrong"});
    EXPECT_EQ(refused.code, 6);
    EXPECT_NE(refused.out.find("refused the user name and password"), std::string::npos) << refused.out;
    EXPECT_NE(refused.out.find("407"), std::string::npos) << refused.out;

    auto not_http = answering("SSH-2.0-OpenSSH_9.2\r\n");
    const run_result garbage = check("http", not_http->port());
    EXPECT_EQ(garbage.code, 6) << garbage.out;
    EXPECT_NE(garbage.out.find("not HTTP"), std::string::npos) << garbage.out;

    // A web server serves absolute-form requests from its own files: it
    // "fetches" the test URL, and a host that cannot exist just as well.
    afserve_server site(www(), folder() + "/afserve.log");
    ASSERT_TRUE(site.ok());
    const std::string url = "http://127.0.0.1:" + std::to_string(site.port()) + "/small.txt";
    const run_result posing = check("http", site.port(), {"--url", url});
    EXPECT_EQ(posing.code, 6) << posing.out << posing.err;
    EXPECT_NE(posing.out.find("a web server, not a proxy"), std::string::npos) << posing.out;
    EXPECT_NE(posing.out.find("afproxy-check.invalid/small.txt: \"HTTP/1.1 200 OK\""), std::string::npos)
        << posing.out;

    if (!proxy_test::tinyproxy_server::installed()) GTEST_SKIP() << "tinyproxy is not installed";
    if (!harness::network_isolated()) GTEST_SKIP() << "needs a network namespace: the proxy resolves a name";
    const std::uint16_t port = harness::free_tcp_port();
    proxy_test::tinyproxy_server proxy(folder(), port);
    ASSERT_TRUE(proxy.ok());
    const run_result works = check("http", port, {"--url", url});
    EXPECT_EQ(works.code, 0) << works.out << works.err;
    EXPECT_NE(works.out.find(": works\nchecked: GET " + url + " through the proxy: \"HTTP/1.1 200 OK\""),
              std::string::npos)
        << works.out;
}

TEST_F(AfproxyCheckTest, ASocks5ProxyAtAnIpv6AddressIsFollowedToAnIpv6Site) {
    if (!proxy_test::danted_server::installed()) GTEST_SKIP() << "dante (danted) is not installed";
    afserve_server site(www(), folder() + "/afserve.log");
    ASSERT_TRUE(site.ok());
    const std::uint16_t port = harness::free_tcp_port();
    proxy_test::danted_server dante(folder(), port, false, true);
    ASSERT_TRUE(dante.ok());
    const std::string target = "[::1]:" + std::to_string(site.port());
    for (const std::string proxy : {"::1", "[::1]"}) {
        const run_result works = check("socks5", port, {"--url", "http://" + target + "/small.txt"}, proxy);
        EXPECT_EQ(works.code, 0) << works.out << works.err;
        EXPECT_NE(works.out.find("socks5 proxy [::1]:" + std::to_string(port) + ": "), std::string::npos) << works.out;
        EXPECT_NE(works.out.find("then a CONNECT to " + target + " and GET /small.txt through it: \"HTTP/1.1 200 OK\""),
                  std::string::npos)
            << works.out;
    }
    // afserve logs a request once its answer has gone, which may be after the client has read it.
    EXPECT_TRUE(harness::wait_until(
        [&] { return read_file(folder() + "/afserve.log").find("\n::1 - - [") != std::string::npos; },
        harness::short_pause, std::chrono::seconds(10)));
}

TEST_F(AfproxyCheckTest, Socks5IsFollowedThroughTheTunnel) {
    if (!proxy_test::danted_server::installed()) GTEST_SKIP() << "dante (danted) is not installed";
    afserve_server site(www(), folder() + "/afserve.log");
    ASSERT_TRUE(site.ok());
    const std::uint16_t port = harness::free_tcp_port();
    proxy_test::danted_server open(folder(), port, false);
    ASSERT_TRUE(open.ok());
    const std::string target = "127.0.0.1:" + std::to_string(site.port());
    const run_result works = check("socks5", port, {"--url", "http://" + target + "/small.txt"});
    EXPECT_EQ(works.code, 0) << works.out << works.err;
    EXPECT_NE(works.out.find("checked: a connection, the SOCKS5 greeting and the choice of no authentication; then a "
                             "CONNECT to " + target + " and GET /small.txt through it: \"HTTP/1.1 200 OK\""),
              std::string::npos)
        << works.out;
    EXPECT_TRUE(harness::wait_until(
        [&] {
            return read_file(folder() + "/afserve.log").find("\"GET /small.txt HTTP/1.1\" 200") != std::string::npos;
        },
        harness::short_pause, std::chrono::seconds(10)));

    // Signed in, but the proxy cannot reach the target.
    const std::string closed = "127.0.0.1:" + std::to_string(harness::free_tcp_port());
    const run_result dead_end = check("socks5", port, {"--url", "http://" + closed + "/"});
    EXPECT_EQ(dead_end.code, 6) << dead_end.out;
    EXPECT_NE(dead_end.out.find("failed (signed in, but the tunnel to " + closed), std::string::npos) << dead_end.out;

    const run_result ftp = check("ftp", port);
    EXPECT_NE(ftp.out.find("checked: a TCP connection to the proxy only"), std::string::npos) << ftp.out;
    const run_result bad_url = check("http", port, {"--url", "ftp://x/"});
    EXPECT_EQ(bad_url.code, 2);
    EXPECT_NE(bad_url.err.find("--url"), std::string::npos) << bad_url.err;
}

}  // namespace
}  // namespace asynframe::tools_test
