// afserve as browsers and misbehaving clients meet it: scripted requests on
// raw sockets, checked against nginx where the two agree.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "common/child_process.h"
#include "common/harness.h"
#include "proxy/proxy_servers.h"
#include "tools/tool_runner.h"

namespace asynframe::tools_test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The served files' modification time, and that time as HTTP writes it.
constexpr std::time_t file_time = 1700000000;
const std::string file_date = "Tue, 14 Nov 2023 22:13:20 GMT";

int connect_to(std::uint16_t port, const char* address = "127.0.0.1") {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &peer.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads what arrives until the peer closes or `limit` passes.
std::string read_until_closed(int fd, std::chrono::milliseconds limit = 5s) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        pollfd wait{fd, POLLIN, 0};
        if (::poll(&wait, 1, 50) <= 0) continue;
        char buffer[16384];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

// True when the head of an answer arrived within `limit`.
bool answer_arrives(int fd, std::chrono::milliseconds limit) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (got.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < end) {
        pollfd wait{fd, POLLIN, 0};
        if (::poll(&wait, 1, 20) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got.find("\r\n\r\n") != std::string::npos;
}

struct answer {
    int status = 0;
    std::map<std::string, std::string> headers;  // lower-case names
    std::string body;
    bool has(const std::string& name) const { return headers.count(name) != 0; }
    std::string operator[](const std::string& name) const {
        const auto found = headers.find(name);
        return found == headers.end() ? std::string() : found->second;
    }
};

answer parse_answer(const std::string& raw) {
    answer parsed;
    const std::size_t end = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.", 0) != 0 || end == std::string::npos) return parsed;
    parsed.status = std::atoi(raw.c_str() + 9);
    std::size_t at = raw.find("\r\n") + 2;
    while (at < end) {
        const std::size_t line_end = raw.find("\r\n", at);
        const std::string line = raw.substr(at, line_end - at);
        const std::size_t colon = line.find(':');
        std::string name = line.substr(0, colon);
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        parsed.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
        at = line_end + 2;
    }
    parsed.body = raw.substr(end + 4);
    return parsed;
}

// Sends `request` as given and reads the answer until the server closes.
answer send_raw(std::uint16_t port, const std::string& request) {
    const int fd = connect_to(port);
    EXPECT_GE(fd, 0);
    if (fd < 0) return {};
    EXPECT_TRUE(proxy_test::write_all(fd, request.data(), request.size()));
    const answer parsed = parse_answer(read_until_closed(fd));
    ::close(fd);
    return parsed;
}

// One request with the headers given, and Connection: close.
answer ask(std::uint16_t port, const std::string& line, const std::string& headers = {}) {
    return send_raw(port, line + "\r\nHost: test\r\n" + headers + "Connection: close\r\n\r\n");
}

class AfserveTest : public ::testing::Test {
protected:
    void SetUp() override {
        _folder = fs::temp_directory_path() / ("afserve-" + std::to_string(::getpid()) + "-" +
                                                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(_folder);
        fs::create_directories(www() + "/sub");
        fs::create_directories(www() + "/empty/inner");
        write_file(www() + "/small.txt", "hello, tools\n");
        write_file(www() + "/sub/index.html", "<p>sub</p>\n");
        write_file(www() + "/empty/a <b>&.txt", "a\n");
        write_file(www() + "/empty/.hidden", "h\n");
        _big = random_bytes(3 * 1024 * 1024 + 7, 11);
        write_file(www() + "/big.bin", _big);
        for (const char* name : {"small.txt", "big.bin", "sub/index.html"}) {
            const timeval times[2] = {{file_time, 0}, {file_time, 0}};
            ::utimes((www() + "/" + name).c_str(), times);
        }
    }
    void TearDown() override { fs::remove_all(_folder); }

    std::string folder() const { return _folder.string(); }
    std::string www() const { return folder() + "/www"; }
    std::string log_path() const { return folder() + "/afserve.log"; }

    fs::path _folder;
    std::string _big;
};

// ---- conditional requests ----------------------------------------------------------------

TEST_F(AfserveTest, ConditionalRequestsAgreeWithNginx) {
    afserve_server server(www(), log_path());
    ASSERT_TRUE(server.ok());
    const answer plain = ask(server.port(), "GET /small.txt HTTP/1.1");
    ASSERT_EQ(plain.status, 200);
    const std::string etag = plain["etag"];
    ASSERT_EQ(etag.size() > 2 && etag.front() == '"' && etag.back() == '"', true) << etag;
    EXPECT_EQ(plain["last-modified"], file_date);

    struct check {
        std::string headers;
        int status;
    };
    const std::string earlier = "Tue, 14 Nov 2023 22:13:19 GMT";
    const std::vector<check> checks = {
        {"If-None-Match: " + etag + "\r\n", 304},
        {"If-None-Match: \"other\", W/" + etag + "\r\n", 304},  // weak comparison
        {"If-None-Match: \"other\"\r\n", 200},
        {"If-None-Match: *\r\n", 304},
        {"If-Modified-Since: " + file_date + "\r\n", 304},
        {"If-Modified-Since: " + earlier + "\r\n", 200},
        {"If-Modified-Since: not a date\r\n", 200},
        {"If-Match: \"other\"\r\n", 412},
        {"If-Match: " + etag + "\r\n", 200},
        {"If-Match: *\r\n", 200},
        {"If-Unmodified-Since: " + earlier + "\r\n", 412},
        {"If-Unmodified-Since: " + file_date + "\r\n", 200},
        // A resuming client whose part is of another version gets all of it.
        {"Range: bytes=2-4\r\nIf-Range: \"stale\"\r\n", 200},
        {"Range: bytes=2-4\r\nIf-Range: " + etag + "\r\n", 206},
        {"Range: bytes=2-4\r\nIf-Range: " + earlier + "\r\n", 200},
    };
    for (const check& each : checks) {
        const answer got = ask(server.port(), "GET /small.txt HTTP/1.1", each.headers);
        EXPECT_EQ(got.status, each.status) << each.headers;
        if (got.status != 412) {
            EXPECT_EQ(got["etag"], etag) << each.headers;
        }
        if (got.status == 304) {
            EXPECT_TRUE(got.body.empty());
            EXPECT_EQ(got["last-modified"], file_date);
        } else if (got.status == 200) {
            EXPECT_EQ(got.body, "hello, tools\n") << each.headers;
        } else if (got.status == 206) {
            EXPECT_EQ(got.body, "llo");
        }
    }
    // afserve only (nginx compares If-Modified-Since exactly; HTTP says "not
    // later"): a date after the change, and one If-Range by date.
    EXPECT_EQ(ask(server.port(), "GET /small.txt HTTP/1.1", "If-Modified-Since: Wed, 15 Nov 2023 00:00:00 GMT\r\n")
                  .status,
              304);
    EXPECT_EQ(ask(server.port(), "GET /small.txt HTTP/1.1", "Range: bytes=2-4\r\nIf-Range: " + file_date + "\r\n")
                  .status,
              206);
    EXPECT_EQ(ask(server.port(), "GET /small.txt HTTP/1.1", "Range: bytes=2-4\r\nIf-Range: W/" + etag + "\r\n").status,
              200);
    EXPECT_EQ(ask(server.port(), "HEAD /small.txt HTTP/1.1", "If-None-Match: " + etag + "\r\n").status, 304);

    if (!nginx_server::installed()) GTEST_SKIP() << "nginx is not installed";
    nginx_server nginx(folder(), www());
    ASSERT_TRUE(nginx.ok());
    const answer reference = ask(nginx.port(), "GET /small.txt HTTP/1.1");
    // The same validator for the same file: caches may move between the two.
    EXPECT_EQ(reference["etag"], etag);
    EXPECT_EQ(reference["last-modified"], file_date);
    for (const check& each : checks)
        EXPECT_EQ(ask(nginx.port(), "GET /small.txt HTTP/1.1", each.headers).status, each.status)
            << "nginx: " << each.headers;
}

// ---- folders, types, links ---------------------------------------------------------------

// Small files are answered from what afserve keeps of them, and a file that
// changes is answered as it now is once a second has passed: each answer's
// length and validators are always those of the bytes it carries.
TEST_F(AfserveTest, AChangedFileIsAnsweredWithItsOwnBytesAndValidators) {
    afserve_server server(www(), log_path());
    ASSERT_TRUE(server.ok());
    const answer first = ask(server.port(), "GET /small.txt HTTP/1.1");
    ASSERT_EQ(first.status, 200);
    EXPECT_EQ(first.body, "hello, tools\n");
    // Kept now: the same bytes, a range of them, and a HEAD agree.
    const answer again = ask(server.port(), "GET /small.txt HTTP/1.1");
    EXPECT_EQ(again.body, first.body);
    EXPECT_EQ(again["etag"], first["etag"]);
    const answer part = ask(server.port(), "GET /small.txt HTTP/1.1", "Range: bytes=7-11\r\n");
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.body, "tools");
    EXPECT_EQ(part["content-range"], "bytes 7-11/13");
    const answer head = ask(server.port(), "HEAD /small.txt HTTP/1.1");
    EXPECT_EQ(head["content-length"], "13");
    EXPECT_EQ(head["etag"], first["etag"]);

    write_file(www() + "/small.txt", "a longer text than before\n");
    const timeval times[2] = {{file_time + 60, 0}, {file_time + 60, 0}};
    ::utimes((www() + "/small.txt").c_str(), times);
    // At once: either version, but never one's validators with the other's bytes.
    const answer racing = ask(server.port(), "GET /small.txt HTTP/1.1");
    ASSERT_EQ(racing.status, 200);
    if (racing["etag"] == first["etag"]) {
        EXPECT_EQ(racing.body, first.body);
    } else {
        EXPECT_EQ(racing.body, "a longer text than before\n");
        EXPECT_EQ(racing["content-length"], "26");
    }
    std::this_thread::sleep_for(1100ms);
    const answer changed = ask(server.port(), "GET /small.txt HTTP/1.1");
    ASSERT_EQ(changed.status, 200);
    EXPECT_EQ(changed.body, "a longer text than before\n");
    EXPECT_EQ(changed["content-length"], "26");
    EXPECT_NE(changed["etag"], first["etag"]);
    EXPECT_EQ(changed["last-modified"], "Tue, 14 Nov 2023 22:14:20 GMT");
    // The old version's validator no longer matches.
    EXPECT_EQ(ask(server.port(), "GET /small.txt HTTP/1.1", "If-None-Match: " + first["etag"] + "\r\n").status, 200);
    EXPECT_EQ(ask(server.port(), "GET /small.txt HTTP/1.1", "If-None-Match: " + changed["etag"] + "\r\n").status,
              304);

    // A file that goes away is gone once the second has passed.
    fs::remove(www() + "/small.txt");
    std::this_thread::sleep_for(1100ms);
    EXPECT_EQ(ask(server.port(), "GET /small.txt HTTP/1.1").status, 404);
}

TEST_F(AfserveTest, FoldersRedirectServeTheirIndexAndListOnlyWhenAsked) {
    fs::create_symlink(www() + "/small.txt", www() + "/inside-link.txt");
    write_file(folder() + "/secret.txt", "secret\n");
    fs::create_symlink(folder() + "/secret.txt", www() + "/outside-link.txt");
    for (const char* name : {"m.mjs", "w.wasm", "p.pdf", "i.webp", "s.js", "c.css", "d.json", "v.svg", "x.unknownext"})
        write_file(www() + "/" + name, "x");

    afserve_server server(www(), log_path());
    ASSERT_TRUE(server.ok());
    const answer moved = ask(server.port(), "GET /sub?x=1 HTTP/1.1");
    EXPECT_EQ(moved.status, 301);
    EXPECT_EQ(moved["location"], "/sub/?x=1");
    // A path that would read as another host once the slash is added.
    EXPECT_EQ(ask(server.port(), "GET //sub HTTP/1.1")["location"], "/sub/");
    const answer index = ask(server.port(), "GET /sub/ HTTP/1.1");
    EXPECT_EQ(index.status, 200);
    EXPECT_EQ(index.body, "<p>sub</p>\n");
    EXPECT_EQ(index["content-type"].rfind("text/html", 0), 0u);
    EXPECT_EQ(ask(server.port(), "GET /empty/ HTTP/1.1").status, 403);

    const std::map<std::string, std::string> types = {
        {"m.mjs", "text/javascript"}, {"w.wasm", "application/wasm"}, {"p.pdf", "application/pdf"},
        {"i.webp", "image/webp"},     {"c.css", "text/css"},          {"d.json", "application/json"},
        {"v.svg", "image/svg+xml"},   {"x.unknownext", "application/octet-stream"}};
    for (const auto& [name, type] : types) EXPECT_EQ(ask(server.port(), "GET /" + name + " HTTP/1.1")["content-type"], type) << name;
    EXPECT_NE(ask(server.port(), "GET /s.js HTTP/1.1")["content-type"].find("javascript"), std::string::npos);

    // Links are followed by default, wherever they lead.
    EXPECT_EQ(ask(server.port(), "GET /outside-link.txt HTTP/1.1").body, "secret\n");

    afserve_server listing(www(), folder() + "/listing.log", {"--list", "--no-symlinks"});
    ASSERT_TRUE(listing.ok());
    const answer page = ask(listing.port(), "GET /empty/ HTTP/1.1");
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("href=\"a%20%3Cb%3E&.txt\">a &lt;b&gt;&amp;.txt</a>"), std::string::npos) << page.body;
    EXPECT_NE(page.body.find("href=\"inner/\""), std::string::npos);
    EXPECT_EQ(page.body.find(".hidden"), std::string::npos);
    EXPECT_EQ(ask(listing.port(), "GET /outside-link.txt HTTP/1.1").status, 403);
    EXPECT_EQ(ask(listing.port(), "GET /inside-link.txt HTTP/1.1").body, "hello, tools\n");

    if (!nginx_server::installed()) GTEST_SKIP() << "nginx is not installed";
    nginx_server nginx(folder(), www());
    ASSERT_TRUE(nginx.ok());
    EXPECT_EQ(ask(nginx.port(), "GET /sub HTTP/1.1").status, 301);
    EXPECT_EQ(ask(nginx.port(), "GET /sub/ HTTP/1.1").body, "<p>sub</p>\n");
    EXPECT_EQ(ask(nginx.port(), "GET /empty/ HTTP/1.1").status, 403);
}

// ---- methods, versions, Host -------------------------------------------------------------

TEST_F(AfserveTest, RequestsOutsideWhatItServesGetTheirOwnStatus) {
    afserve_server server(www(), log_path());
    ASSERT_TRUE(server.ok());
    const std::uint16_t port = server.port();
    for (const char* method : {"BREW", "PROPFIND"})
        EXPECT_EQ(ask(port, std::string(method) + " /small.txt HTTP/1.1").status, 501) << method;
    // The parser refuses "BR" at once; what follows decides whether it was a
    // method or no HTTP at all, however the bytes were split.
    for (const auto& [rest, status] : {std::pair<std::string, int>{"EW /small.txt HTTP/1.1", 501},
                                       std::pair<std::string, int>{std::string("\x01\x02\r\n", 4), 400}}) {
        const int fd = connect_to(port);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(proxy_test::write_all(fd, "BR", 2));
        std::this_thread::sleep_for(100ms);
        const std::string tail = rest + "\r\nHost: test\r\nConnection: close\r\n\r\n";
        // The server may already have closed on a refusal it made too soon.
        (void)::send(fd, tail.data(), tail.size(), MSG_NOSIGNAL);
        EXPECT_EQ(parse_answer(read_until_closed(fd)).status, status) << rest;
        ::close(fd);
    }
    for (const char* method : {"POST", "DELETE", "OPTIONS"}) {
        const answer refused = ask(port, std::string(method) + " /small.txt HTTP/1.1");
        EXPECT_EQ(refused.status, 405) << method;
        EXPECT_EQ(refused["allow"], "GET, HEAD") << method;
    }
    EXPECT_EQ(ask(port, "GET /small.txt HTTP/2.0").status, 505);
    EXPECT_EQ(ask(port, "GET /small.txt HTTP/1.2").status, 505);
    // Bytes that are no request at all are not a method to implement.
    EXPECT_EQ(send_raw(port, std::string("\x16\x03\x01\x00\x05hello\r\n\r\n", 14)).status, 400);

    EXPECT_EQ(send_raw(port, "GET /small.txt HTTP/1.1\r\nConnection: close\r\n\r\n").status, 400);
    EXPECT_EQ(send_raw(port, "GET /small.txt HTTP/1.1\r\nHost: a\r\nHost: b\r\nConnection: close\r\n\r\n").status, 400);
    const answer old = send_raw(port, "GET /small.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(old.status, 200);
    EXPECT_EQ(old.body, "hello, tools\n");
    const answer absolute = ask(port, "GET http://elsewhere:8080/small.txt?q HTTP/1.1");
    EXPECT_EQ(absolute.status, 200);
    EXPECT_EQ(absolute.body, "hello, tools\n");

    // A refused method keeps the connection: the next request is answered.
    const int fd = connect_to(port);
    ASSERT_GE(fd, 0);
    const std::string two = "DELETE /small.txt HTTP/1.1\r\nHost: x\r\n\r\nGET /small.txt HTTP/1.1\r\nHost: x\r\n"
                            "Connection: close\r\n\r\n";
    ASSERT_TRUE(proxy_test::write_all(fd, two.data(), two.size()));
    const std::string both = read_until_closed(fd);
    ::close(fd);
    EXPECT_EQ(both.rfind("HTTP/1.1 405", 0), 0u) << both;
    EXPECT_NE(both.find("HTTP/1.1 200 OK"), std::string::npos) << both;

    if (!nginx_server::installed()) GTEST_SKIP() << "nginx is not installed";
    nginx_server nginx(folder(), www());
    ASSERT_TRUE(nginx.ok());
    EXPECT_EQ(send_raw(nginx.port(), "GET /small.txt HTTP/1.1\r\nConnection: close\r\n\r\n").status, 400);
    EXPECT_EQ(ask(nginx.port(), "GET http://elsewhere:8080/small.txt?q HTTP/1.1").status, 200);
    EXPECT_EQ(ask(nginx.port(), "GET /small.txt HTTP/2.0").status, 505);
}

// ---- slow heads, limits, descriptors -----------------------------------------------------

// A head sent a byte at a time is cut off by the head's own time-out, though
// each byte resets the idle one.
TEST_F(AfserveTest, ASlowHeadIsCutOff) {
    afserve_server server(www(), log_path(), {"--header-timeout", "2", "--idle-timeout", "5"});
    ASSERT_TRUE(server.ok());
    const int fd = connect_to(server.port());
    ASSERT_GE(fd, 0);
    const auto begun = std::chrono::steady_clock::now();
    const std::string head = "GET /small.txt HTTP/1.1\r\nHost: x\r\nX-Slow: " + std::string(200, 'a');
    bool cut = false;
    for (std::size_t i = 0; i < head.size() && std::chrono::steady_clock::now() - begun < 10s; ++i) {
        if (::send(fd, &head[i], 1, MSG_NOSIGNAL) != 1) {
            cut = true;
            break;
        }
        pollfd wait{fd, POLLIN, 0};
        // Readable with nothing to read: the server closed.
        if (::poll(&wait, 1, 100) > 0) {
            char byte;
            if (::recv(fd, &byte, 1, 0) <= 0) {
                cut = true;
                break;
            }
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    ::close(fd);
    EXPECT_TRUE(cut);
    EXPECT_GE(seconds, 1.9);
    EXPECT_LT(seconds, 4.5);
    EXPECT_TRUE(harness::wait_until([&] { return read_file(log_path()).find("\"-\" 408 0 head-timeout") != std::string::npos; },
                                    harness::short_pause, 5s))
        << read_file(log_path());

    // A kept-alive connection resting between requests is not a slow head.
    const int kept = connect_to(server.port());
    ASSERT_GE(kept, 0);
    const std::string request = "GET /small.txt HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_TRUE(proxy_test::write_all(kept, request.data(), request.size()));
    ASSERT_TRUE(answer_arrives(kept, 5s));
    pollfd wait{kept, POLLIN, 0};
    EXPECT_EQ(::poll(&wait, 1, 2600), 0) << "closed while resting";
    ::close(kept);
}

TEST_F(AfserveTest, ClientsBeyondTheLimitWaitTheirTurn) {
    afserve_server server(www(), log_path(), {"--max-connections", "2"});
    ASSERT_TRUE(server.ok());
    const std::string request = "GET /small.txt HTTP/1.1\r\nHost: x\r\n\r\n";
    std::vector<int> held;
    for (int i = 0; i < 2; ++i) {
        held.push_back(connect_to(server.port()));
        ASSERT_TRUE(proxy_test::write_all(held.back(), request.data(), request.size()));
        ASSERT_TRUE(answer_arrives(held.back(), 5s)) << i;
    }
    const int third = connect_to(server.port());
    ASSERT_GE(third, 0);
    ASSERT_TRUE(proxy_test::write_all(third, request.data(), request.size()));
    EXPECT_FALSE(answer_arrives(third, 700ms)) << "served beyond the limit";
    ::close(held.front());
    EXPECT_TRUE(answer_arrives(third, 5s));
    ::close(third);
    ::close(held.back());
    const std::string log = read_file(log_path());
    EXPECT_NE(log.find("connection limit (2) reached"), std::string::npos) << log;
}

// CPU time (user and system) the process has used, in clock ticks.
long cpu_ticks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t after_name = text.rfind(')');
    if (after_name == std::string::npos) return -1;
    std::istringstream fields(text.substr(after_name + 2));
    std::string field;
    long user = 0, system = 0;
    // Fields 3 to 13 come before utime (14) and stime (15).
    for (int i = 3; i <= 13; ++i) fields >> field;
    fields >> user >> system;
    return user + system;
}

// Out of descriptors, afserve says so once and waits instead of retrying at
// full speed; once clients leave it serves the one that waited.
TEST_F(AfserveTest, RunningOutOfDescriptorsPausesAccepting) {
    const std::uint16_t port = harness::free_tcp_port();
#if defined(__SANITIZE_ADDRESS__)
    // In the sanitizer preset (ASan with UBSan), with every descriptor taken,
    // UBSan's type check cannot probe memory (it needs a pipe for that) and
    // reports a sound destructor as invalid.
    GTEST_SKIP() << "the sanitizers need descriptors of their own, which this test uses up";
#endif
    background_tool server("/bin/sh",
                           {"-c", "ulimit -n 64 && exec " + std::string(AFSERVE_PATH) + " " + www() + " --port " +
                                      std::to_string(port)},
                           log_path());
    ASSERT_TRUE(harness::wait_until([&] { return read_file(log_path()).find("serving") != std::string::npos; },
                                    harness::short_pause, 10s))
        << read_file(log_path());
    const std::string request = "GET /small.txt HTTP/1.1\r\nHost: x\r\n\r\n";
    std::vector<int> clients;
    int waiting = -1;
    for (int i = 0; i < 100 && waiting < 0; ++i) {
        const int fd = connect_to(port);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(proxy_test::write_all(fd, request.data(), request.size()));
        if (answer_arrives(fd, 3s))
            clients.push_back(fd);
        else
            waiting = fd;
    }
    ASSERT_GE(waiting, 0) << "64 descriptors never ran out";
    ASSERT_TRUE(harness::wait_until([&] { return read_file(log_path()).find("accept failed") != std::string::npos; },
                                    harness::short_pause, 5s))
        << read_file(log_path());

    // A second of the state: a server retrying at once would burn all of it.
    const long before = cpu_ticks(server.pid());
    std::this_thread::sleep_for(1s);
    const long used = cpu_ticks(server.pid()) - before;
    EXPECT_LT(used, ::sysconf(_SC_CLK_TCK) / 4) << "ticks of CPU in one second";

    for (std::size_t i = 0; i < clients.size() / 2; ++i) ::close(clients[i]);
    EXPECT_TRUE(answer_arrives(waiting, 5s)) << read_file(log_path());
    ::close(waiting);
    for (std::size_t i = clients.size() / 2; i < clients.size(); ++i) ::close(clients[i]);
    const std::string log = read_file(log_path());
    std::size_t said = 0;
    for (std::size_t at = log.find("accept failed"); at != std::string::npos; at = log.find("accept failed", at + 1))
        ++said;
    EXPECT_EQ(said, 1u) << log;
    EXPECT_NE(log.find("too many open files"), std::string::npos) << log;
    EXPECT_EQ(server.stop(SIGTERM), 0) << read_file(log_path());
}

// ---- the log and the address ---------------------------------------------------------

TEST_F(AfserveTest, LogsInTheCommonFormatAndBindsWhereTold) {
    afserve_server server(www(), log_path(), {"--bind", "127.0.0.1"});
    ASSERT_TRUE(server.ok());
    EXPECT_LT(connect_to(server.port(), "127.0.0.2"), 0) << "listening beyond the bound address";
    EXPECT_EQ(ask(server.port(), "GET /small.txt?a=\"b\" HTTP/1.1").status, 200);

    // A client that leaves in the middle of a file larger than any socket
    // buffer on the way could hold.
    write_file(www() + "/huge.bin", std::string(48 * 1024 * 1024, 'x'));
    const int fd = connect_to(server.port());
    ASSERT_GE(fd, 0);
    const int small_buffer = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small_buffer, sizeof small_buffer);
    const std::string request = "GET /huge.bin HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_TRUE(proxy_test::write_all(fd, request.data(), request.size()));
    ASSERT_TRUE(answer_arrives(fd, 5s));
    ::close(fd);
    ASSERT_TRUE(harness::wait_until([&] { return read_file(log_path()).find("aborted") != std::string::npos; },
                                    harness::short_pause, 10s))
        << read_file(log_path());

    const std::string log = read_file(log_path());
    const std::regex whole(
        R"(\n127\.0\.0\.1 - - \[\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d [+-]\d{4}\] "GET /small\.txt\?a=\\x22b\\x22 HTTP/1\.1" 200 13\n)");
    EXPECT_TRUE(std::regex_search(log, whole)) << log;
    std::smatch cut;
    ASSERT_TRUE(std::regex_search(log, cut, std::regex(R"("GET /huge\.bin HTTP/1\.1" 200 (\d+) aborted)"))) << log;
    EXPECT_LT(std::stoull(cut[1]), 48u * 1024 * 1024);

    // Elsewhere on loopback, and only there.
    const std::uint16_t port = harness::free_tcp_port();
    const std::string second_log = folder() + "/second.log";
    background_tool second(AFSERVE_PATH, {www(), "--port", std::to_string(port), "--bind", "127.0.0.2"}, second_log);
    ASSERT_TRUE(harness::wait_until([&] { return read_file(second_log).find("serving") != std::string::npos; },
                                    harness::short_pause, 10s));
    EXPECT_NE(read_file(second_log).find("on 127.0.0.2 port"), std::string::npos);
    const int other = connect_to(port, "127.0.0.2");
    EXPECT_GE(other, 0);
    if (other >= 0) ::close(other);
    EXPECT_LT(connect_to(port, "127.0.0.1"), 0);
    EXPECT_EQ(second.stop(SIGTERM), 0) << read_file(second_log);
}

TEST_F(AfserveTest, BadOptionsEndWithOneLine) {
    const auto fails_with = [&](const std::vector<std::string>& args, const std::string& words) {
        std::vector<std::string> all{www()};
        all.insert(all.end(), args.begin(), args.end());
        const run_result result = run_tool(AFSERVE_PATH, all);
        EXPECT_EQ(result.code, 2) << result.err;
        EXPECT_NE(result.err.find(words), std::string::npos) << result.err;
    };
    fails_with({"--header-timeout", "-1"}, "header time-out out of range");
    fails_with({"--max-connections", "0"}, "connection limit out of range");
    fails_with({"--bind", "localhost"}, "not an IPv4 or IPv6 address");
    fails_with({"--bind", "[::1"}, "not an IPv4 or IPv6 address");
}

}  // namespace
}  // namespace asynframe::tools_test
