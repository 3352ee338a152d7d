// The tools as a user runs them: afget and afserve against each other and
// against nginx, curl and dante on loopback; bad input to every tool.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "common/child_process.h"
#include "common/harness.h"
#include "common/loopback.h"
#include "proxy/proxy_servers.h"
#include "tools/tool_runner.h"

namespace asynframe::tools_test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::size_t big_size = 6 * 1024 * 1024 + 12345;

// Messages are one line and the exit is not 0.
void expect_one_line_failure(const run_result& result, const std::string& words) {
    EXPECT_NE(result.code, 0);
    EXPECT_NE(result.code, -1) << "the tool hung";
    const std::vector<std::string> lines = lines_of(result.err);
    ASSERT_FALSE(lines.empty()) << "no message";
    EXPECT_NE(lines.back().find(words), std::string::npos) << lines.back();
    EXPECT_EQ(lines.back().find('\r'), std::string::npos);
}

class ToolsTest : public ::testing::Test {
protected:
    void SetUp() override {
        _folder = fs::temp_directory_path() / ("aftools-" + std::to_string(::getpid()) + "-" +
                                                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(_folder);
        fs::create_directories(www());
        fs::create_directories(out());
        _big = random_bytes(big_size, 7);
        write_file(www() + "/big.bin", _big);
        write_file(www() + "/small.txt", "hello, tools\n");
    }
    void TearDown() override { fs::remove_all(_folder); }

    std::string folder() const { return _folder.string(); }
    std::string www() const { return folder() + "/www"; }
    std::string out() const { return folder() + "/out"; }
    std::string output(const std::string& name) const { return out() + "/" + name; }

    run_result afget(std::vector<std::string> args, const std::map<std::string, std::string>& environment = {}) {
        args.insert(args.begin(), {"--progress", "none"});
        return run_tool(AFGET_PATH, args, environment);
    }

    // Only the finished file is there, and it holds `expected`.
    void expect_saved(const std::string& name, const std::string& expected) {
        expect_saved_file(output(name), expected);
    }

    fs::path _folder;
    std::string _big;
};

// ---- afget against afserve ---------------------------------------------------------------

TEST_F(ToolsTest, AfgetFetchesFromAfserveInRangesAndWhole) {
    afserve_server server(www(), folder() + "/afserve.log");
    ASSERT_TRUE(server.ok());
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port());

    run_result four = afget({"-c", "4", "-o", output("big.bin"), base + "/big.bin"});
    ASSERT_EQ(four.code, 0) << four.err;
    expect_saved("big.bin", _big);
    EXPECT_NE(four.out.find("4 connections"), std::string::npos) << four.out;

    run_result one = afget({"-o", output("one.bin"), base + "/big.bin"});
    ASSERT_EQ(one.code, 0) << one.err;
    expect_saved("one.bin", _big);

    run_result small = afget({"-c", "8", "-o", output("small.txt"), base + "/small.txt"});
    ASSERT_EQ(small.code, 0) << small.err;
    expect_saved("small.txt", "hello, tools\n");

    // Four ranges were asked for, each exactly once.
    const std::string log = read_file(folder() + "/afserve.log");
    EXPECT_NE(log.find("range=bytes=0-"), std::string::npos) << log;
    EXPECT_NE(log.find("/big.bin HTTP/1.1\" 206"), std::string::npos) << log;
}

TEST_F(ToolsTest, AfgetReportsMissingFileAndLeavesNothing) {
    afserve_server server(www(), folder() + "/afserve.log");
    ASSERT_TRUE(server.ok());
    run_result missing =
        afget({"-o", output("missing.bin"), "http://127.0.0.1:" + std::to_string(server.port()) + "/missing.bin"});
    expect_one_line_failure(missing, "HTTP 404");
    EXPECT_EQ(missing.code, 7);
    EXPECT_TRUE(fs::is_empty(out()));
}

TEST_F(ToolsTest, AfgetResumesAPartialFile) {
    afserve_server server(www(), folder() + "/afserve.log");
    ASSERT_TRUE(server.ok());
    const std::string address = "http://127.0.0.1:" + std::to_string(server.port()) + "/big.bin";

    // A prefix left by another downloader: only the rest is fetched.
    const std::size_t prefix = 1000003;
    write_file(output("prefix.bin.part"), _big.substr(0, prefix));
    run_result from_prefix = afget({"-c", "2", "-o", output("prefix.bin"), address});
    ASSERT_EQ(from_prefix.code, 0) << from_prefix.err;
    expect_saved("prefix.bin", _big);
    EXPECT_NE(read_file(folder() + "/afserve.log").find("range=bytes=" + std::to_string(prefix) + "-"),
              std::string::npos);

    // Interrupted midway (slowed down so that there is a midway): the record
    // beside the part lets the second run take up every range where it was.
    background_tool slow(AFGET_PATH, {"--progress", "lines", "-c", "3", "--limit", "1M", "-o", output("cut.bin"), address},
                         folder() + "/slow.log");
    const bool progressed = harness::wait_until(
        [&] {
            const std::string state = read_file(output("cut.bin.part.state"));
            return state.find("afget-state-2") != std::string::npos &&
                   read_file(folder() + "/slow.log").find("%") != std::string::npos;
        },
        harness::short_pause, 20s);
    ASSERT_TRUE(progressed);
    EXPECT_EQ(slow.stop(SIGINT), 130);
    EXPECT_FALSE(fs::exists(output("cut.bin"))) << "an interrupted download looks complete";
    ASSERT_TRUE(fs::exists(output("cut.bin.part")));

    run_result resumed = afget({"-c", "3", "-o", output("cut.bin"), address});
    ASSERT_EQ(resumed.code, 0) << resumed.err;
    EXPECT_NE(resumed.err.find("resuming"), std::string::npos) << resumed.err;
    expect_saved("cut.bin", _big);
}

TEST_F(ToolsTest, AfgetKeepsToTheRateLimit) {
    afserve_server server(www(), folder() + "/afserve.log");
    ASSERT_TRUE(server.ok());
    const auto begun = std::chrono::steady_clock::now();
    run_result limited = afget({"-c", "4", "--limit", "3M", "-o", output("slow.bin"),
                                "http://127.0.0.1:" + std::to_string(server.port()) + "/big.bin"});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    ASSERT_EQ(limited.code, 0) << limited.err;
    expect_saved("slow.bin", _big);
    // 6 MiB at 3 MiB/s over four connections together: about two seconds,
    // less the first quarter-second grants.
    EXPECT_GT(seconds, 1.4);
    EXPECT_LT(seconds, 6.0);
}

// ---- afget against nginx -----------------------------------------------------------------

TEST_F(ToolsTest, AfgetAgainstNginx) {
    if (!nginx_server::installed()) GTEST_SKIP() << "nginx is not installed";
    nginx_server nginx(folder(), www());
    ASSERT_TRUE(nginx.ok());
    const std::string base = "http://127.0.0.1:" + std::to_string(nginx.port());

    run_result ranges = afget({"-c", "4", "-o", output("ranges.bin"), base + "/big.bin"});
    ASSERT_EQ(ranges.code, 0) << ranges.err;
    expect_saved("ranges.bin", _big);

    // Without range support one connection takes the whole body.
    run_result whole = afget({"-c", "4", "-o", output("whole.bin"), base + "/noranges/big.bin"});
    ASSERT_EQ(whole.code, 0) << whole.err;
    expect_saved("whole.bin", _big);
    EXPECT_NE(whole.out.find("1 connection)"), std::string::npos) << whole.out;

    run_result moved = afget({"-c", "2", "-o", output("moved.bin"), base + "/old"});
    ASSERT_EQ(moved.code, 0) << moved.err;
    expect_saved("moved.bin", _big);

    run_result loop = afget({"-o", output("loop.bin"), base + "/loop"});
    expect_one_line_failure(loop, "redirects");
    run_result missing = afget({"-o", output("missing.bin"), base + "/missing.bin"});
    expect_one_line_failure(missing, "HTTP 404");
    EXPECT_FALSE(fs::exists(output("loop.bin")));
    EXPECT_FALSE(fs::exists(output("missing.bin")));

    // nginx saw real range requests, not one whole body per connection.
    const std::string log = nginx.access_log();
    EXPECT_NE(log.find("GET /big.bin"), std::string::npos);
    EXPECT_NE(log.find("\" 206 "), std::string::npos) << log;
}

// ---- afget through dante -----------------------------------------------------------------

TEST_F(ToolsTest, AfgetThroughSocks5) {
    if (!proxy_test::danted_server::installed()) GTEST_SKIP() << "dante (danted) is not installed";
    afserve_server server(www(), folder() + "/afserve.log");
    ASSERT_TRUE(server.ok());
    const std::string address = "http://127.0.0.1:" + std::to_string(server.port()) + "/big.bin";

    const std::uint16_t open_port = harness::free_tcp_port();
    proxy_test::danted_server open(folder(), open_port, false);
    ASSERT_TRUE(open.ok());
    run_result plain = afget({"-c", "2", "--proxy", "socks5://127.0.0.1:" + std::to_string(open_port), "-o",
                              output("proxied.bin"), address});
    ASSERT_EQ(plain.code, 0) << plain.err;
    expect_saved("proxied.bin", _big);

    if (!proxy_test::ensure_socks_user()) GTEST_SKIP() << "no account for dante's user check";
    const std::uint16_t guarded_port = harness::free_tcp_port();
    proxy_test::danted_server guarded(folder(), guarded_port, true);
    ASSERT_TRUE(guarded.ok());
    const std::string proxy = "127.0.0.1:" + std::to_string(guarded_port);
    run_result signed_in = afget({"--proxy",
                                  std::string("socks5://") + proxy_test::socks_user + ":" +
                                      proxy_test::socks_password + "@" + proxy,
                                  "-o", output("signed.bin"), address});
    ASSERT_EQ(signed_in.code, 0) << signed_in.err;
    expect_saved("signed.bin", _big);

    run_result refused = afget({"--proxy", std::string("socks5://") + proxy_test::socks_user + ":wrong@" + proxy,
                                "-o", output("refused.bin"), address});
    expect_one_line_failure(refused, "refused the user name or password");
    EXPECT_EQ(refused.code, 6);
    EXPECT_FALSE(fs::exists(output("refused.bin")));
}

// ---- IPv6 ----------------------------------------------------------------------------------

TEST_F(ToolsTest, AfgetFetchesFromAfserveOverIpv6DirectlyAndThroughSocks5) {
    // afserve listens on both families by default.
    afserve_server server(www(), folder() + "/afserve.log");
    ASSERT_TRUE(server.ok());
    const std::string base = "http://[::1]:" + std::to_string(server.port());
    run_result six = afget({"-c", "2", "-o", output("six.bin"), base + "/big.bin"});
    ASSERT_EQ(six.code, 0) << six.err;
    expect_saved("six.bin", _big);
    run_result four = afget({"-o", output("four.txt"), "http://127.0.0.1:" + std::to_string(server.port()) + "/small.txt"});
    ASSERT_EQ(four.code, 0) << four.err;
    expect_saved("four.txt", "hello, tools\n");
    // Each client under its own family's address.
    const std::string log = read_file(folder() + "/afserve.log");
    EXPECT_NE(log.find("\n::1 - - ["), std::string::npos) << log;
    EXPECT_NE(log.find("\n127.0.0.1 - - ["), std::string::npos) << log;

    // --bind with an IPv6 address (brackets allowed): that address only.
    const std::uint16_t only6_port = harness::free_tcp_port();
    const std::string only6_log = folder() + "/only6.log";
    background_tool only6(AFSERVE_PATH, {www(), "--port", std::to_string(only6_port), "--bind", "[::1]"}, only6_log);
    ASSERT_TRUE(harness::wait_until([&] { return read_file(only6_log).find("serving") != std::string::npos; },
                                    harness::short_pause, 10s))
        << read_file(only6_log);
    EXPECT_NE(read_file(only6_log).find("on ::1 port"), std::string::npos) << read_file(only6_log);
    EXPECT_LT(harness::connect_client(only6_port), 0) << "reachable over IPv4 although bound to ::1";
    run_result bound = afget({"-o", output("bound.txt"), "http://[::1]:" + std::to_string(only6_port) + "/small.txt"});
    ASSERT_EQ(bound.code, 0) << bound.err;
    expect_saved("bound.txt", "hello, tools\n");
    EXPECT_EQ(only6.stop(SIGTERM), 0) << read_file(only6_log);

    if (!proxy_test::danted_server::installed()) GTEST_SKIP() << "dante (danted) is not installed";
    const std::uint16_t proxy_port = harness::free_tcp_port();
    proxy_test::danted_server dante(folder(), proxy_port, false, true);
    ASSERT_TRUE(dante.ok());
    run_result proxied = afget({"-c", "2", "--proxy", "socks5://[::1]:" + std::to_string(proxy_port), "-o",
                                output("proxied6.bin"), base + "/big.bin"});
    ASSERT_EQ(proxied.code, 0) << proxied.err;
    expect_saved("proxied6.bin", _big);
}

// ---- HTTPS -------------------------------------------------------------------------------

// A self-signed certificate for localhost (not 127.0.0.1), and its key.
struct certificate_files {
    std::string certificate, key;
};

certificate_files make_certificate(const std::string& folder) {
    certificate_files made{folder + "/cert.pem", folder + "/key.pem"};
    const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost "
                                "-addext subjectAltName=DNS:localhost -keyout " + made.key + " -out " +
                                made.certificate + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) made = {};
    return made;
}

// Connects, sends `bytes` (then ends its side when `end_sending`), and reads
// until the server closes; the seconds that took, 10 or more when it did not.
double talk_until_closed(std::uint16_t port, const std::string& bytes, bool end_sending = true) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_TRUE(proxy_test::write_all(fd, bytes.data(), bytes.size()));
    if (end_sending) ::shutdown(fd, SHUT_WR);
    proxy_test::drain(fd, 10000);
    ::close(fd);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
}

// afget trusts the server only with its certificate and only under its name.
TEST_F(ToolsTest, AfgetOverTlsVerifiesTheServer) {
    if (!nginx_server::installed()) GTEST_SKIP() << "nginx is not installed";
    const certificate_files made = make_certificate(folder());
    ASSERT_FALSE(made.certificate.empty());
    nginx_server nginx(folder(), www(), made.certificate, made.key);
    ASSERT_TRUE(nginx.ok());
    const std::string port = std::to_string(nginx.port());

    run_result trusted = afget({"--cacert", made.certificate, "-c", "2", "-o", output("tls.bin"),
                                "https://localhost:" + port + "/big.bin"});
    ASSERT_EQ(trusted.code, 0) << trusted.err;
    expect_saved("tls.bin", _big);

    // The certificate names localhost, not 127.0.0.1.
    run_result wrong_name = afget({"--cacert", made.certificate, "-o", output("wrong.bin"),
                                   "https://127.0.0.1:" + port + "/big.bin"});
    expect_one_line_failure(wrong_name, "TLS");
    EXPECT_EQ(wrong_name.code, 5);
    // The TLS library's own reason, not a guess among several.
    EXPECT_NE(wrong_name.err.find("mismatch"), std::string::npos) << wrong_name.err;
    EXPECT_FALSE(fs::exists(output("wrong.bin")));

    run_result untrusted = afget({"-o", output("untrusted.bin"), "https://localhost:" + port + "/big.bin"});
    EXPECT_EQ(untrusted.code, 5) << untrusted.err;

    run_result insecure = afget({"--insecure", "-o", output("insecure.bin"),
                                 "https://127.0.0.1:" + port + "/small.txt"});
    ASSERT_EQ(insecure.code, 0) << insecure.err;
    expect_saved("insecure.bin", "hello, tools\n");
}

TEST_F(ToolsTest, AfserveServesHttps) {
    const certificate_files made = make_certificate(folder());
    ASSERT_FALSE(made.certificate.empty());
    afserve_server server(www(), folder() + "/afserve.log", {"--tls", made.certificate, made.key});
    ASSERT_TRUE(server.ok());
    const std::string port = std::to_string(server.port());
    const std::string base = "https://localhost:" + port;

    run_result four = afget({"--cacert", made.certificate, "-c", "4", "-o", output("tls.bin"), base + "/big.bin"});
    ASSERT_EQ(four.code, 0) << four.err;
    expect_saved("tls.bin", _big);
    EXPECT_NE(four.out.find("4 connections"), std::string::npos) << four.out;

    run_result wrong_name = afget({"--cacert", made.certificate, "-o", output("wrong.bin"),
                                   "https://127.0.0.1:" + port + "/big.bin"});
    expect_one_line_failure(wrong_name, "TLS");
    EXPECT_EQ(wrong_name.code, 5);
    // The TLS library's own reason, not a guess among several.
    EXPECT_NE(wrong_name.err.find("mismatch"), std::string::npos) << wrong_name.err;
    EXPECT_FALSE(fs::exists(output("wrong.bin")));

    // Clients that do not speak TLS, or break off, cost the server nothing.
    EXPECT_LT(talk_until_closed(server.port(), "GET / HTTP/1.1\r\nHost: x\r\n\r\n"), 5.0);
    EXPECT_LT(talk_until_closed(server.port(), std::string("\x16\x03\x01\x00\x80\x01\x00", 7)), 5.0);
    run_result still_serving = afget({"--cacert", made.certificate, "-o", output("after.txt"), base + "/small.txt"});
    ASSERT_EQ(still_serving.code, 0) << still_serving.err;
    expect_saved("after.txt", "hello, tools\n");
    EXPECT_NE(read_file(folder() + "/afserve.log").find("TLS handshake failed"), std::string::npos);

    if (!harness::program_installed("/usr/bin/curl")) GTEST_SKIP() << "curl is not installed";
    const std::string curl = "/usr/bin/curl";
    run_result part = run_tool(curl, {"-sS", "--cacert", made.certificate, "-r", "100-199", "-D", "-",
                                      base + "/big.bin"});
    EXPECT_NE(part.out.find("206 Partial Content"), std::string::npos) << part.out << part.err;
    ASSERT_GE(part.out.size(), 100u);
    EXPECT_EQ(part.out.substr(part.out.size() - 100), _big.substr(100, 100));
    run_result head = run_tool(curl, {"-sS", "-I", "--cacert", made.certificate, base + "/big.bin"});
    EXPECT_NE(head.out.find("Content-Length: " + std::to_string(big_size)), std::string::npos) << head.out;
    // Two requests on one TLS connection.
    run_result kept = run_tool(curl, {"-sS", "-v", "--cacert", made.certificate, "-o", output("a.txt"), "-o",
                                      output("b.bin"), base + "/small.txt", base + "/big.bin"});
    EXPECT_EQ(kept.code, 0) << kept.err;
    EXPECT_NE(kept.err.find("Re-using existing connection"), std::string::npos) << kept.err;
    EXPECT_TRUE(read_file(output("b.bin")) == _big);

    // A request that asks to close: the client is told (close_notify, which
    // s_client reports as "closed"), not cut off.
    run_result closing = run_tool("/bin/sh", {"-c", "printf 'GET /small.txt HTTP/1.1\\r\\nHost: x\\r\\n"
                                                    "Connection: close\\r\\n\\r\\n' | openssl s_client -connect "
                                                    "127.0.0.1:" + port + " -ign_eof 2>&1"});
    EXPECT_NE(closing.out.find("hello, tools\n"), std::string::npos) << closing.out;
    EXPECT_NE(closing.out.find("\nclosed"), std::string::npos) << closing.out;
}

// SIGTERM with a handshake half done and a transfer to a client that stopped
// reading: afserve ends at once and cleanly (under the sanitizers, a
// leak would make the exit code non-zero).
// The main job (make demo) end to end, on 8 MiB: the tools' output is what
// its script reads.
TEST_F(ToolsTest, TheDemoRunsEndToEnd) {
    const run_result demo = run_tool("/bin/sh",
                                     {std::string(ASYNFRAME_SOURCE_DIR) + "/tools/demo.sh", ASYNFRAME_BINARY_DIR},
                                     {{"DEMO_MIB", "8"}}, std::chrono::seconds(120));
    EXPECT_EQ(demo.code, 0) << demo.out << demo.err;
    EXPECT_NE(demo.out.find("8 MiB each, SHA-256 checked"), std::string::npos) << demo.out;
    EXPECT_NE(demo.out.find("TLS, 4 connections:"), std::string::npos) << demo.out;
}

TEST_F(ToolsTest, AfserveStopsCleanlyWithWorkInFlight) {
    const certificate_files made = make_certificate(folder());
    ASSERT_FALSE(made.certificate.empty());
    const std::uint16_t port = harness::free_tcp_port();
    const std::string log = folder() + "/afserve-stop.log";
    background_tool server(AFSERVE_PATH, {www(), "--port", std::to_string(port), "--tls", made.certificate, made.key},
                           log);
    ASSERT_TRUE(harness::wait_until([&] { return read_file(log).find("serving") != std::string::npos; },
                                    harness::short_pause, 10s));
    auto connect_to_server = [&] {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return fd;
    };
    const int half_handshake = connect_to_server();
    EXPECT_TRUE(proxy_test::write_all(half_handshake, "\x16\x03\x01\x00\x80\x01", 6));
    // A whole handshake and a request for the big file, read through a pipe
    // only until the answer's head: the rest of the body waits in the buffers
    // or in the server's write.
    const std::string fifo = folder() + "/stalled.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string client = "printf 'GET /big.bin HTTP/1.1\\r\\nHost: x\\r\\n\\r\\n' | openssl s_client -connect "
                               "127.0.0.1:" + std::to_string(port) + " -quiet -ign_eof 2>/dev/null > " + fifo;
    background_tool stalled("/bin/sh", {"-c", client}, folder() + "/stalled.log");
    const int answer = ::open(fifo.c_str(), O_RDONLY);
    ASSERT_GE(answer, 0);
    std::string head;
    const auto limit = std::chrono::steady_clock::now() + 10s;
    while (head.find("200 OK") == std::string::npos && std::chrono::steady_clock::now() < limit) {
        pollfd wait{answer, POLLIN, 0};
        char buffer[256];
        if (::poll(&wait, 1, 100) <= 0) continue;
        const ssize_t got = ::read(answer, buffer, sizeof buffer);
        if (got <= 0) break;
        head.append(buffer, static_cast<std::size_t>(got));
    }
    ASSERT_NE(head.find("200 OK"), std::string::npos) << head;
    EXPECT_EQ(server.stop(SIGTERM, 10s), 0) << read_file(log);
    ::close(answer);
    ::close(half_handshake);
}

// A client that goes quiet loses its connection; one that keeps taking data,
// however slowly, does not.
TEST_F(ToolsTest, AfserveClosesIdleConnections) {
    const certificate_files made = make_certificate(folder());
    ASSERT_FALSE(made.certificate.empty());
    afserve_server plain(www(), folder() + "/afserve.log", {"--idle-timeout", "1"});
    afserve_server secure(www(), folder() + "/afserve-tls.log",
                          {"--idle-timeout", "1", "--tls", made.certificate, made.key});
    ASSERT_TRUE(plain.ok());
    ASSERT_TRUE(secure.ok());

    // Silent, half a request, and half a TLS handshake: each closed after
    // one to two seconds (the sweep runs every second).
    for (const std::string& said : {std::string(), std::string("GET /small.txt HTTP/1.1\r\nHo")}) {
        const double waited = talk_until_closed(plain.port(), said, false);
        EXPECT_GE(waited, 0.9);
        EXPECT_LT(waited, 5.0);
    }
    const double handshake = talk_until_closed(secure.port(), std::string("\x16\x03\x01\x00\x80\x01", 6), false);
    EXPECT_GE(handshake, 0.9);
    EXPECT_LT(handshake, 5.0);
    EXPECT_NE(read_file(folder() + "/afserve.log").find("idle for 1 s: closed"), std::string::npos);

    // A client that asks for the big file and stops reading: the server's
    // write stalls, and the connection goes with it.
    const auto count_closed = [&] {
        const std::string log = read_file(folder() + "/afserve.log");
        std::size_t closed = 0;
        for (std::size_t at = log.find("idle for"); at != std::string::npos; at = log.find("idle for", at + 1))
            ++closed;
        return closed;
    };
    const std::size_t closed_before = count_closed();
    const int stalled = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(stalled, 0);
    const int small_buffer = 4096;
    ::setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small_buffer, sizeof small_buffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(plain.port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(stalled, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string request = "GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_TRUE(proxy_test::write_all(stalled, request.data(), request.size()));
    EXPECT_TRUE(harness::wait_until([&] { return count_closed() > closed_before; }, harness::short_pause, 10s));
    // What was sent before the close is still readable; then the stream ends.
    const auto began = std::chrono::steady_clock::now();
    proxy_test::drain(stalled, 10000);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
    ::close(stalled);

    // 6 MiB at 2 MiB/s over one connection: three seconds of steady progress.
    run_result slow = afget({"--limit", "2M", "-o", output("slow.bin"),
                             "http://127.0.0.1:" + std::to_string(plain.port()) + "/big.bin"});
    ASSERT_EQ(slow.code, 0) << slow.err;
    expect_saved("slow.bin", _big);
}

// ---- progress ----------------------------------------------------------------------------

TEST_F(ToolsTest, ProgressIsABarOnATerminalAndLinesOtherwise) {
    afserve_server server(www(), folder() + "/afserve.log");
    ASSERT_TRUE(server.ok());
    const std::string address = "http://127.0.0.1:" + std::to_string(server.port()) + "/big.bin";

    // 6 MiB at 2 MiB/s: about three seconds, so at least one line comes
    // before the last whatever the limiter lets through at the start.
    run_result piped = run_tool(AFGET_PATH, {"--limit", "2M", "-o", output("lines.bin"), address});
    ASSERT_EQ(piped.code, 0) << piped.err;
    const std::vector<std::string> lines = lines_of(piped.err);
    ASSERT_GE(lines.size(), 2u) << piped.err;
    for (const std::string& line : lines) {
        EXPECT_EQ(line.rfind("afget: lines.bin: ", 0), 0u) << line;
        EXPECT_EQ(line.find('\r'), std::string::npos);
    }
    EXPECT_NE(lines.back().find("100%"), std::string::npos) << lines.back();
    EXPECT_NE(lines.back().find(", in 0:0"), std::string::npos) << lines.back();
    EXPECT_NE(lines.front().find("/s, ETA "), std::string::npos) << lines.front();

    run_result terminal = run_on_terminal(AFGET_PATH, {"--limit", "4M", "-o", output("bar.bin"), address});
    ASSERT_EQ(terminal.code, 0) << terminal.out;
    EXPECT_GE(std::count(terminal.out.begin(), terminal.out.end(), '\r'), 3) << terminal.out;
    EXPECT_NE(terminal.out.find("=] 100%"), std::string::npos) << terminal.out;
    EXPECT_NE(terminal.out.find("ETA "), std::string::npos) << terminal.out;
    expect_saved("bar.bin", _big);
}

// ---- afserve checked with curl -----------------------------------------------------------

TEST_F(ToolsTest, AfserveAnswersCurl) {
    if (!harness::program_installed("/usr/bin/curl")) GTEST_SKIP() << "curl is not installed";
    afserve_server server(www(), folder() + "/afserve.log");
    ASSERT_TRUE(server.ok());
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
    const std::string curl = "/usr/bin/curl";

    run_result whole = run_tool(curl, {"-sS", "-o", output("curl.bin"), "-w", "%{http_code}", base + "/big.bin"});
    EXPECT_EQ(whole.out, "200");
    EXPECT_TRUE(read_file(output("curl.bin")) == _big);

    run_result head = run_tool(curl, {"-sS", "-I", base + "/big.bin"});
    EXPECT_NE(head.out.find("Content-Length: " + std::to_string(big_size)), std::string::npos) << head.out;
    EXPECT_NE(head.out.find("Accept-Ranges: bytes"), std::string::npos);

    run_result part = run_tool(curl, {"-sS", "-r", "100-199", "-D", "-", base + "/big.bin"});
    EXPECT_NE(part.out.find("206 Partial Content"), std::string::npos) << part.out;
    EXPECT_NE(part.out.find("Content-Range: bytes 100-199/" + std::to_string(big_size)), std::string::npos);
    EXPECT_EQ(part.out.substr(part.out.size() - 100), _big.substr(100, 100));

    run_result suffix = run_tool(curl, {"-sS", "-H", "Range: bytes=-5", base + "/big.bin"});
    EXPECT_EQ(suffix.out, _big.substr(big_size - 5));

    run_result beyond = run_tool(curl, {"-sS", "-o", "/dev/null", "-w", "%{http_code}", "-r", "99999999-",
                                        base + "/big.bin"});
    EXPECT_EQ(beyond.out, "416");
    run_result missing = run_tool(curl, {"-sS", "-o", "/dev/null", "-w", "%{http_code}", base + "/nothing"});
    EXPECT_EQ(missing.out, "404");
    run_result climbing = run_tool(curl, {"-sS", "--path-as-is", "-o", "/dev/null", "-w", "%{http_code}",
                                          base + "/../" + fs::path(folder()).filename().string() + "/www/small.txt"});
    EXPECT_EQ(climbing.out, "403");

    // Two requests, one connection.
    run_result kept = run_tool(curl, {"-sS", "-v", "-o", "/dev/null", "-o", "/dev/null", base + "/small.txt",
                                      base + "/small.txt"});
    EXPECT_NE(kept.err.find("Re-using existing connection"), std::string::npos) << kept.err;
}

// ---- bad input ---------------------------------------------------------------------------

TEST_F(ToolsTest, BadCommandLinesEndWithOneLine) {
    expect_one_line_failure(afget({"http//no-scheme"}), "malformed URL");
    expect_one_line_failure(afget({"ftp://127.0.0.1/file"}), "unsupported scheme");
    expect_one_line_failure(afget({"http://127.0.0.1:70000/file"}), "127.0.0.1:70000");
    expect_one_line_failure(afget({"http://127.0.0.1:0/file"}), "port out of range");
    expect_one_line_failure(afget({"--bogus", "http://127.0.0.1/"}), "--bogus");
    expect_one_line_failure(afget({"-c", "0", "http://127.0.0.1/"}), "connections");
    expect_one_line_failure(afget({"--proxy", "http://127.0.0.1:1080", "http://127.0.0.1/"}), "--proxy");
    expect_one_line_failure(afget({"--limit", "fast", "http://127.0.0.1/"}), "--limit");
    expect_one_line_failure(afget({"--timeout", "0", "http://127.0.0.1/"}), "--timeout");
    expect_one_line_failure(afget({"--connect-timeout", "soon", "http://127.0.0.1/"}), "--connect-timeout");
    expect_one_line_failure(afget({"--retry", "-1", "http://127.0.0.1/"}), "--retry");
    expect_one_line_failure(afget({"--user", "nocolon", "http://127.0.0.1/"}), "USER:PASS");
    expect_one_line_failure(afget({"-o", folder() + "/no-such-folder/", "http://127.0.0.1/"}), "no folder");
    expect_one_line_failure(run_tool(AFSERVE_PATH, {www(), "--port", "70000"}), "port out of range");
    expect_one_line_failure(run_tool(AFSERVE_PATH, {www(), "--colour"}), "--colour");
    expect_one_line_failure(run_tool(AFSERVE_PATH, {www(), "--idle-timeout", "-1"}), "idle time-out out of range");
    expect_one_line_failure(run_tool(AFSERVE_PATH, {folder() + "/none"}), "not a folder");
    expect_one_line_failure(run_tool(AFSERVE_PATH, {www(), "--tls", folder() + "/none.pem", folder() + "/none.key"}),
                            "cannot use the certificate");
    write_file(folder() + "/mixed.pem", "-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n");
    expect_one_line_failure(run_tool(AFSERVE_PATH, {www(), "--tls", folder() + "/mixed.pem", folder() + "/mixed.pem"}),
                            "cannot use the certificate");
    expect_one_line_failure(run_tool(AFSERVE_PATH, {www(), "--tls", folder() + "/only-one.pem"}), "--tls");
    expect_one_line_failure(run_tool(AFRESOLVE_PATH, {"bad name"}), "not a host name");
    expect_one_line_failure(run_tool(AFPROXY_CHECK_PATH, {"socks5", "127.0.0.1", "0"}), "port out of range");
    expect_one_line_failure(run_tool(AFPROXY_CHECK_PATH, {"gopher", "127.0.0.1", "1080"}), "unknown proxy kind");
}

TEST_F(ToolsTest, AfgetRejectsBrokenAnswers) {
    // Each script answers HEAD truthfully enough and then misbehaves.
    auto answer_with = [](std::string head, std::string get) {
        return std::make_unique<proxy_test::scripted_tcp_server>([head, get](int fd) {
            std::string request;
            char buffer[2048];
            while (request.find("\r\n\r\n") == std::string::npos) {
                if (!proxy_test::read_exactly(fd, buffer, 1)) return;
                request += buffer[0];
            }
            const std::string& reply = request.rfind("HEAD", 0) == 0 ? head : get;
            proxy_test::write_all(fd, reply.data(), reply.size());
        });
    };
    const std::string no_ranges = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nConnection: close\r\n\r\n";
    auto broken = answer_with(no_ranges, "HTTP/1.1 200 OK\r\nContent-Length: 12x\r\n\r\nbody");
    run_result garbled = afget({"-o", output("broken.bin"), "http://127.0.0.1:" + std::to_string(broken->port()) + "/f"});
    expect_one_line_failure(garbled, "broken answer");
    EXPECT_EQ(garbled.code, 8);

    auto garbage = answer_with("SSH-2.0-OpenSSH\r\n\r\n", "");
    run_result not_http = afget({"-o", output("garbage.bin"), "http://127.0.0.1:" + std::to_string(garbage->port()) + "/f"});
    expect_one_line_failure(not_http, "broken answer");

    auto short_body = answer_with(no_ranges, no_ranges + std::string(10, 'x'));
    run_result cut = afget({"--retry", "1", "-o", output("short.bin"), "http://127.0.0.1:" + std::to_string(short_body->port()) + "/f"});
    expect_one_line_failure(cut, "ended");
    EXPECT_EQ(cut.code, 8);

    // Nothing claims to be complete.
    EXPECT_FALSE(fs::exists(output("broken.bin")));
    EXPECT_FALSE(fs::exists(output("garbage.bin")));
    EXPECT_FALSE(fs::exists(output("short.bin")));

    const std::uint16_t nobody = harness::free_tcp_port();
    run_result refused =
        afget({"--retry", "0", "-o", output("refused.bin"), "http://127.0.0.1:" + std::to_string(nobody) + "/f"});
    expect_one_line_failure(refused, "connection refused");
    EXPECT_EQ(refused.code, 4);
}

// ---- afresolve and afproxy-check ---------------------------------------------------------

TEST_F(ToolsTest, AfresolveNamesTheAddressesAndTheirSource) {
    const std::string hosts = folder() + "/hosts";
    write_file(hosts, "10.1.2.3 aftools.test\n127.0.0.1 localhost\n");
    run_result resolved = run_tool(AFRESOLVE_PATH, {"aftools.test", "192.0.2.7"}, {{"ASYNFRAME_HOSTS_FILE", hosts}});
    ASSERT_EQ(resolved.code, 0) << resolved.err;
    const std::vector<std::string> lines = lines_of(resolved.out);
    ASSERT_EQ(lines.size(), 2u) << resolved.out;
    EXPECT_EQ(lines[0].rfind("aftools.test: 10.1.2.3 (hosts, ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("192.0.2.7: 192.0.2.7 (address, ", 0), 0u) << lines[1];
    EXPECT_NE(lines[0].find(" ms)"), std::string::npos);
}

TEST_F(ToolsTest, AfproxyCheckGivesTheVerdictInWords) {
    if (!proxy_test::danted_server::installed()) GTEST_SKIP() << "dante (danted) is not installed";
    const std::uint16_t port = harness::free_tcp_port();
    proxy_test::danted_server open(folder(), port, false);
    ASSERT_TRUE(open.ok());
    // The check goes on through the tunnel: to a site on loopback.
    afserve_server site(www(), folder() + "/afserve.log");
    ASSERT_TRUE(site.ok());
    run_result works = run_tool(AFPROXY_CHECK_PATH, {"socks5", "127.0.0.1", std::to_string(port), "--url",
                                                     "http://127.0.0.1:" + std::to_string(site.port()) + "/"});
    EXPECT_EQ(works.code, 0) << works.err;
    EXPECT_NE(works.out.find(": works"), std::string::npos) << works.out;

    run_result nobody = run_tool(AFPROXY_CHECK_PATH, {"socks5", "127.0.0.1", std::to_string(harness::free_tcp_port())});
    EXPECT_EQ(nobody.code, 6);
    EXPECT_NE(nobody.out.find("unreachable"), std::string::npos) << nobody.out;
}

}  // namespace
}  // namespace asynframe::tools_test
