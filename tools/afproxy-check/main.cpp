// afproxy-check KIND HOST PORT [USER PASS] [--url URL]: asks the frame to
// check a proxy (socks5, http or ftp), then looks further where the frame's
// check stops, and prints the verdict and what was checked in words.
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "common/command_line.h"
#include "common/host.h"
#include "common/http.h"

using namespace asynframe;
using namespace asynframe::tools;

namespace {

// The frame's own default test URL, so that both checks fetch the same.
constexpr const char* default_url = "http://www.example.com/";
constexpr DWORD head_size = 16 * 1024;
constexpr DWORD exchange_limit_ms = 15000;
// A name that cannot resolve anywhere: only a proxy that really forwards
// fails on it; a web server answers it from its own files.
constexpr const char* nowhere = "afproxy-check.invalid";

std::string verdict(LONG result) {
    switch (result) {
    case PROXY_VERIFY_OK: return "works";
    case PROXY_VERIFY_UNREACHABLE: return "unreachable (no connection, or the exchange failed)";
    case PROXY_VERIFY_REFUSED: return "refused the user name and password";
    case PROXY_VERIFY_CANCELLED: return "check cancelled";
    case PROXY_VERIFY_OTHER: return "failed (the proxy answered, but not as a working proxy)";
    case PROXY_VERIFY_NOT_RUN: return "not checked (the frame could not run the check)";
    default: return "unknown answer " + std::to_string(result);
    }
}

void put_text(const std::string& text, DWORD& length, char* field) {
    length = static_cast<DWORD>(text.size());
    std::memcpy(field, text.data(), text.size());
}

std::string base64(const std::string& text) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 3) {
        std::uint32_t block = static_cast<unsigned char>(text[i]) << 16;
        if (i + 1 < text.size()) block |= static_cast<unsigned char>(text[i + 1]) << 8;
        if (i + 2 < text.size()) block |= static_cast<unsigned char>(text[i + 2]);
        out += digits[(block >> 18) & 63];
        out += digits[(block >> 12) & 63];
        out += i + 1 < text.size() ? digits[(block >> 6) & 63] : '=';
        out += i + 2 < text.size() ? digits[block & 63] : '=';
    }
    return out;
}

// What one exchange got back.
struct reply {
    DWORD error = 0;      // connecting, sending or reading
    bool http = false;    // the answer began as an HTTP response
    int status = 0;
    std::string status_line;  // "HTTP/1.1 200 OK"
};

// Connects a socket, sends one request and reads the answer's head.
class exchange {
public:
    exchange(host& runner, ref<IAsynTcpSocket> socket, std::string to_host, std::uint16_t to_port,
             std::string request, std::function<void(const reply&)> done)
        : _socket(std::move(socket)),
          _host(std::move(to_host)),
          _port(to_port),
          _request(std::move(request)),
          _done(std::move(done)),
          _operation(runner.frame(), head_size) {
        _socket->SetRecvTimeout(exchange_limit_ms);
        // The connect has no limit of its own.
        _limit = std::make_unique<timer>(runner.frame(), exchange_limit_ms, [this] { end(10060); });
    }
    ~exchange() { _socket->Close(); }

    void start() {
        _operation.on_complete([this](DWORD error, DWORD) {
            if (error != 0) return end(error);
            send();
        });
        if (_socket->Connect(_operation.get(), static_cast<DWORD>(_host.size()), _host.c_str(), _port, 0) != S_OK)
            end(10061);
    }

private:
    void send() {
        std::copy(_request.begin(), _request.end(), _operation.buffer());
        _operation.range(0, static_cast<DWORD>(_request.size()));
        _operation.on_complete([this](DWORD error, DWORD) {
            if (error != 0) return end(error);
            receive();
        });
        if (_socket->WriteFully(_operation.get()) != S_OK) end(10053);
    }

    void receive() {
        _operation.range(0, head_size);
        _operation.on_complete([this](DWORD error, DWORD bytes) {
            if (error != 0 && _answer.empty()) return end(error);
            _answer.append(reinterpret_cast<const char*>(_operation.buffer()), bytes);
            const bool whole_line = _answer.find("\r\n") != std::string::npos;
            if (error != 0 || bytes == 0 || whole_line || _answer.size() >= head_size) return end(0);
            receive();
        });
        if (_socket->Read(_operation.get()) != S_OK) end(10053);
    }

    void end(DWORD error) {
        if (_finished) return;
        _finished = true;
        _result.error = error;
        const std::string line = _answer.substr(0, _answer.find("\r\n"));
        if (line.rfind("HTTP/1.", 0) == 0 && line.size() >= 12 && std::isdigit(static_cast<unsigned char>(line[9]))) {
            _result.http = true;
            _result.error = 0;
            _result.status = std::atoi(line.c_str() + 9);
            _result.status_line = line;
        }
        _socket->Close();
        _done(_result);
    }

    ref<IAsynTcpSocket> _socket;
    std::string _host;
    std::uint16_t _port;
    std::string _request;
    std::function<void(const reply&)> _done;
    operation _operation;
    std::unique_ptr<timer> _limit;
    std::string _answer;
    reply _result;
    bool _finished = false;
};

std::string describe(const reply& got) {
    if (got.http) return "\"" + got.status_line + "\"";
    if (got.error != 0) return describe_error(got.error);
    return "an answer that is not HTTP";
}

bool success_status(int status) { return status >= 200 && status < 400; }

}  // namespace

int main(int argc, char** argv) {
    set_tool_name(argv[0]);
    CLI::App app{"afproxy-check: checks a proxy through asynframe"};
    std::string kind, proxy_host, port_text, user, password, library, test_url = default_url;
    app.add_option("KIND", kind, "socks5, http or ftp")->required();
    app.add_option("HOST", proxy_host, "the proxy's host")->required();
    app.add_option("PORT", port_text, "the proxy's port (1 to 65535)")->required();
    app.add_option("USER", user, "user name");
    app.add_option("PASS", password, "password");
    app.add_option("--url", test_url, std::string("the http:// URL fetched through the proxy (default ") + default_url + ")");
    app.add_option("--library", library, "path of libasynframe.so");
    if (const std::optional<int> stop = parse_command_line(app, argc, argv)) return *stop;
    PROXY_RECORD record{};
    if (kind == "socks5") {
        record.kind = PROXY_KIND_SOCKS5;
    } else if (kind == "http") {
        record.kind = PROXY_KIND_HTTP;
    } else if (kind == "ftp") {
        record.kind = PROXY_KIND_FTP;
    } else {
        print_error("unknown proxy kind '" + kind + "' (socks5, http or ftp)");
        return exit_usage;
    }
    char* end = nullptr;
    const long port = std::strtol(port_text.c_str(), &end, 10);
    if (port_text.empty() || *end != '\0' || port < 1 || port > 65535) {
        print_error("port out of range: '" + port_text + "' (1 to 65535)");
        return exit_usage;
    }
    if (!user.empty() && app.count("PASS") == 0) {
        print_error("a user name needs a password");
        return exit_usage;
    }
    if (proxy_host.empty() || proxy_host.size() > 255 || user.size() > 255 || password.size() > 255) {
        print_error("host, user and password are 1 to 255 bytes");
        return exit_usage;
    }
    std::string why;
    const std::optional<url> target = parse_url(test_url, "http", why);
    if (!target) {
        print_error("--url: " + why + " (an http:// URL)");
        return exit_usage;
    }
    put_text(proxy_host, record.host_length, record.host);
    // An IPv6 address is shown with its brackets, so the port stands apart.
    const std::string shown_host = proxy_host.find(':') != std::string::npos && proxy_host.front() != '['
                                       ? "[" + proxy_host + "]"
                                       : proxy_host;
    record.port = static_cast<WORD>(port);
    put_text(user, record.user_length, record.user);
    put_text(password, record.password_length, record.password);

    const std::string authority =
        target->authority_host() + (target->port == 80 ? "" : ":" + std::to_string(target->port));
    const std::string credentials =
        user.empty() ? std::string() : "Proxy-Authorization: Basic " + base64(user + ":" + password) + "\r\n";
    const auto proxy_request = [&](const std::string& absolute, const std::string& host_header) {
        return "GET " + absolute + " HTTP/1.1\r\nHost: " + host_header + "\r\n" + credentials +
               "User-Agent: afproxy-check\r\nConnection: close\r\n\r\n";
    };

    try {
        host runner(library);
        runner.settings().set("proxy_verifier", "http_url", target->text());
        const int cancel = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        LONG result = PROXY_VERIFY_NOT_RUN;
        HRESULT answered = S_OK;
        std::thread checker;
        std::unique_ptr<exchange> first, second;
        std::optional<reply> fetched, probed;
        std::string checked;
        // The frame's check is done: what it could not see is looked at here.
        const auto look_further = [&] {
            // An HTTP proxy that answered is asked again for its status, whatever
            // the verdict; a SOCKS5 one is tried further only once it let us in.
            const bool answered_http = record.kind == PROXY_KIND_HTTP &&
                                       (result == PROXY_VERIFY_OK || result == PROXY_VERIFY_REFUSED ||
                                        result == PROXY_VERIFY_OTHER);
            const bool signed_in = record.kind == PROXY_KIND_SOCKS5 && result == PROXY_VERIFY_OK;
            if (answered != S_OK || !(answered_http || signed_in)) return runner.finish(exit_ok);
            ref<IAsynTcpSocket> socket;
            if (runner.frame()->CreateTcpSocket(socket.put()) != S_OK) return runner.finish(exit_ok);
            if (record.kind == PROXY_KIND_SOCKS5) {
                ref<IAsynProxyTcpSocket> tunnel;
                if (runner.frame()->CreateProxyTcpSocket(
                        socket.get(), PROXY_KIND_SOCKS5, record.host_length, record.host, record.port,
                        record.user_length, record.user, record.password_length, record.password,
                        tunnel.put()) != S_OK)
                    return runner.finish(exit_ok);
                ref<IAsynTcpSocket> through(tunnel.get());
                through.get()->AddRef();
                first = std::make_unique<exchange>(
                    runner, through, target->host, target->port,
                    "GET " + target->target + " HTTP/1.1\r\nHost: " + authority +
                        "\r\nUser-Agent: afproxy-check\r\nConnection: close\r\n\r\n",
                    [&](const reply& got) {
                        fetched = got;
                        runner.finish(exit_ok);
                    });
                first->start();
                return;
            }
            first = std::make_unique<exchange>(
                runner, socket, proxy_host, static_cast<std::uint16_t>(port),
                proxy_request(target->text(), authority), [&](const reply& got) {
                    fetched = got;
                    if (result != PROXY_VERIFY_OK || !got.http || !success_status(got.status))
                        return runner.finish(exit_ok);
                    ref<IAsynTcpSocket> again;
                    if (runner.frame()->CreateTcpSocket(again.put()) != S_OK) return runner.finish(exit_ok);
                    second = std::make_unique<exchange>(
                        runner, again, proxy_host, static_cast<std::uint16_t>(port),
                        proxy_request(std::string("http://") + nowhere + target->target, nowhere),
                        [&](const reply& other) {
                            probed = other;
                            runner.finish(exit_ok);
                        });
                    second->start();
                });
            first->start();
        };
        const int code = runner.run(
            [&] {
                // The check waits for the dispatch thread, so it runs on one of its own.
                checker = std::thread([&] {
                    answered = runner.frame()->VerifyProxy(&record, cancel, &result);
                    runner.post(look_further);
                });
            },
            [&] {
                first.reset();
                second.reset();
            },
            [&] {
                const std::uint64_t one = 1;
                (void)!::write(cancel, &one, sizeof one);
            });
        if (checker.joinable()) checker.join();
        ::close(cancel);
        if (code != exit_ok) return code;
        if (answered != S_OK) {
            print_error("the frame could not check the proxy (" + describe_error(static_cast<DWORD>(answered)) + ")");
            return exit_failure;
        }
        std::string words = verdict(result);
        switch (record.kind) {
        case PROXY_KIND_SOCKS5:
            checked = "a connection, the SOCKS5 greeting and " +
                      std::string(user.empty() ? "the choice of no authentication" : "the user name and password");
            if (fetched) {
                checked += "; then a CONNECT to " + authority + " and GET " + target->target + " through it: " +
                           describe(*fetched);
                if (!fetched->http) {
                    result = PROXY_VERIFY_OTHER;
                    words = fetched->error != 0
                                ? "failed (signed in, but the tunnel to " + authority + " failed: " +
                                      describe_error(fetched->error) + ")"
                                : "failed (signed in, but nothing HTTP came through the tunnel)";
                }
            }
            break;
        case PROXY_KIND_HTTP:
            checked = "GET " + target->text() + " through the proxy";
            if (fetched) {
                checked += ": " + describe(*fetched);
                if (!fetched->http) {
                    result = PROXY_VERIFY_OTHER;
                    words = "failed (the answer was " + describe(*fetched) + ")";
                } else if (fetched->status == 407) {
                    result = PROXY_VERIFY_REFUSED;
                    words = verdict(result);
                } else if (!success_status(fetched->status)) {
                    result = PROXY_VERIFY_OTHER;
                    words = "failed (the proxy answered HTTP " + std::to_string(fetched->status) + ")";
                }
            }
            if (probed) {
                checked += "; GET http://" + std::string(nowhere) + target->target + ": " + describe(*probed);
                // A host that cannot exist served like the real one: nothing
                // was forwarded, a web server answered from its own files.
                if (probed->http && probed->status == fetched->status) {
                    result = PROXY_VERIFY_OTHER;
                    words = "failed (a web server, not a proxy: it answered for a host that does not exist)";
                }
            }
            break;
        default:
            checked = "a TCP connection to the proxy only (no FTP exchange)";
            break;
        }
        std::printf("%s proxy %s:%ld: %s\nchecked: %s\n", kind.c_str(), shown_host.c_str(), port, words.c_str(),
                    checked.c_str());
        if (result == PROXY_VERIFY_OK) return exit_ok;
        return result == PROXY_VERIFY_CANCELLED ? exit_interrupted : exit_proxy;
    } catch (const tool_error& failure) {
        print_error(failure.what());
        return failure.code();
    }
}
