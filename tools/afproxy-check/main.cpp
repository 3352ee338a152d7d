// afproxy-check KIND HOST PORT [USER PASS]: asks the frame to check a proxy
// (socks5, http or ftp) and prints the verdict in words.
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "common/command_line.h"
#include "common/host.h"

using namespace asynframe;
using namespace asynframe::tools;

namespace {

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

}  // namespace

int main(int argc, char** argv) {
    set_tool_name(argv[0]);
    CLI::App app{"afproxy-check: checks a proxy through asynframe"};
    std::string kind, proxy_host, port_text, user, password, library;
    app.add_option("KIND", kind, "socks5, http or ftp")->required();
    app.add_option("HOST", proxy_host, "the proxy's host")->required();
    app.add_option("PORT", port_text, "the proxy's port (1 to 65535)")->required();
    app.add_option("USER", user, "user name");
    app.add_option("PASS", password, "password");
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
    put_text(proxy_host, record.host_length, record.host);
    record.port = static_cast<WORD>(port);
    put_text(user, record.user_length, record.user);
    put_text(password, record.password_length, record.password);

    try {
        host runner(library);
        const int cancel = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        LONG result = PROXY_VERIFY_NOT_RUN;
        HRESULT answered = S_OK;
        std::thread checker;
        const int code = runner.run(
            [&] {
                // The check waits for the dispatch thread, so it runs on one of its own.
                checker = std::thread([&] {
                    answered = runner.frame()->VerifyProxy(&record, cancel, &result);
                    runner.finish(exit_ok);
                });
            },
            [&] {},
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
        std::printf("%s proxy %s:%ld: %s\n", kind.c_str(), proxy_host.c_str(), port, verdict(result).c_str());
        if (result == PROXY_VERIFY_OK) return exit_ok;
        return result == PROXY_VERIFY_CANCELLED ? exit_interrupted : exit_proxy;
    } catch (const tool_error& failure) {
        print_error(failure.what());
        return failure.code();
    }
}
