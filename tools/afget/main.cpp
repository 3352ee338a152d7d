// afget URL... [-o FILE|DIR|-] [-c N] [--retry N] [--connect-timeout S]
//              [--timeout S] [--user USER:PASS] [--overwrite] [--limit RATE]
//              [--proxy socks5://...] [--cacert FILE] [--insecure]
// Downloads over HTTP/1.1 (and HTTPS) through the frame's sockets. A server
// that accepts ranges gets N ranges over N connections, written at their
// places in a file made at its final size. The output is FILE.part (locked
// while a run works on it) until the last byte is in; FILE.part.state records
// the server's validator and what each range has, so a later run resumes.
// A range that breaks is taken up again where it stopped, after a pause that
// grows with each failure in a row.
#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "afget/download.h"
#include "afget/options.h"
#include "common/host.h"

using namespace asynframe;
using namespace asynframe::tools;

int main(int argc, char** argv) {
    set_tool_name(argv[0]);
    command_line read;
    if (const std::optional<int> stop = read_command_line(argc, argv, read)) return *stop;
    const options& settings = read.settings;
    const std::vector<url>& targets = read.targets;
    const std::vector<std::string>& names = read.names;
    connection_settings& connections = read.connections;
    const std::string& library = read.library;
    const std::string& cacert = read.cacert;
    const bool insecure = read.insecure;
    try {
        host runner(library);
        runner.settings().set("ssl", "verify_peer", insecure ? 0u : 1u);
        if (!cacert.empty()) runner.settings().set("ssl", "ca_file", std::filesystem::absolute(cacert).string());
        ref<ISpeedLimit> total;
        std::unique_ptr<download> current;
        std::size_t next = 0;
        int worst = exit_ok;
        std::function<void()> start_next = [&] {
            if (next == targets.size()) {
                runner.finish(worst);
                return;
            }
            const std::size_t index = next++;
            current = std::make_unique<download>(runner, settings, connections, targets[index], names[index],
                                                 [&](const outcome& result) {
                                                     if (!result.ok()) {
                                                         print_error(result.text);
                                                         worst = std::max(worst, result.code);
                                                     }
                                                     runner.post([&] {
                                                         current.reset();
                                                         start_next();
                                                     });
                                                 });
            current->start();
        };
        return runner.run(
            [&] {
                if (settings.limit != 0) {
                    if (runner.frame()->CreateSpeedLimit(total.put()) != S_OK)
                        throw tool_error(exit_failure, "no rate limiter");
                    total->SetLimit(static_cast<DWORD>(settings.limit));
                    connections.limit = total.get();
                }
                start_next();
            },
            [&] {
                current.reset();
                total.reset();
            },
            [&] {
                const std::string words = current ? current->interrupt() : std::string("interrupted");
                runner.finish(exit_interrupted, words);
            });
    } catch (const tool_error& failure) {
        print_error(failure.what());
        return failure.code();
    }
}
