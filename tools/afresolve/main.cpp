// afresolve NAME...: resolves each name through the frame's resolver and
// prints its addresses, where they came from and how long it took.
#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <optional>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/host.h"

using namespace asynframe;
using namespace asynframe::tools;

namespace {

struct lookup {
    std::string name;
    std::unique_ptr<operation> request;
    std::chrono::steady_clock::time_point begun;
    double milliseconds = 0;
    DWORD result = 0;
    std::vector<std::string> addresses;
    bool done = false;
};

bool dotted(const std::string& name) {
    in_addr ignored{};
    return ::inet_pton(AF_INET, name.c_str(), &ignored) == 1;
}

// The resolver reads the same file first; a name in it came from there.
bool in_hosts_file(const std::string& name) {
    const char* variable = std::getenv("ASYNFRAME_HOSTS_FILE");
    std::ifstream in(variable != nullptr && *variable != '\0' ? variable : "/etc/hosts");
    std::string line;
    while (std::getline(in, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string address, alias;
        if (!(words >> address) || !dotted(address)) continue;
        while (words >> alias)
            if (strcasecmp(alias.c_str(), name.c_str()) == 0) return true;
    }
    return false;
}

std::string source_of(const lookup& each) {
    if (dotted(each.name)) return "address";
    if (in_hosts_file(each.name)) return "hosts";
    // The resolver object does not say whether its cache, a DNS server or the
    // system's lookup answered; an answer this fast did not cross a network.
    return each.milliseconds < 1.0 ? "cache" : "dns";
}

std::string failure_words(DWORD code) {
    switch (code) {
    case DNS_RESULT_FAILED: return "no address found";
    case DNS_RESULT_SHUTDOWN: return "the resolver stopped";
    case DNS_RESULT_EMPTY_NAME: return "empty name";
    case DNS_RESULT_RECENT_FAILURE: return "no address found (failed recently)";
    default: return "failed with " + std::to_string(code);
    }
}

}  // namespace

int main(int argc, char** argv) {
    set_tool_name(argv[0]);
    CLI::App app{"afresolve: resolves host names through asynframe's resolver"};
    std::vector<std::string> names;
    std::string library;
    app.add_option("NAME", names, "host names or dotted addresses")->required();
    app.add_option("--library", library, "path of libasynframe.so");
    if (const std::optional<int> stop = parse_command_line(app, argc, argv)) return *stop;
    for (const std::string& name : names)
        if (name.empty() || name.size() > 253 || name.find_first_of(" \t/:") != std::string::npos) {
            print_error("not a host name: '" + name + "'");
            return exit_usage;
        }
    try {
        host runner(library);
        std::vector<lookup> lookups(names.size());
        ref<IAsynDns> resolver;
        std::size_t left = names.size();
        const int code = runner.run(
            [&] {
                if (runner.frame()->CreateDns(resolver.put()) != S_OK)
                    throw tool_error(exit_failure, "the frame made no resolver");
                for (std::size_t i = 0; i < names.size(); ++i) {
                    lookup& each = lookups[i];
                    each.name = names[i];
                    each.request = std::make_unique<operation>(runner.frame());
                    each.request->on_complete([&, i](DWORD error, DWORD) {
                        lookup& done = lookups[i];
                        done.milliseconds = std::chrono::duration<double, std::milli>(
                                                std::chrono::steady_clock::now() - done.begun)
                                                .count();
                        done.result = error;
                        ref<IUnknown> object;
                        ref<IAsynDnsResult> answer;
                        done.request->get()->GetResultObject(object.put());
                        if (object && object->QueryInterface(IID_IAsynDnsResult, answer.put_void()) == S_OK) {
                            DWORD count = 0;
                            answer->GetResult(nullptr, &count);
                            for (DWORD k = 0; k < count; ++k) {
                                DWORD address = 0;
                                if (answer->GetAddress(k, &address) != S_OK) continue;
                                char text[INET_ADDRSTRLEN];
                                in_addr value{address};
                                ::inet_ntop(AF_INET, &value, text, sizeof text);
                                done.addresses.push_back(text);
                            }
                        }
                        done.request->get()->SetResultObject(nullptr);
                        done.done = true;
                        if (--left == 0) runner.finish(exit_ok);
                    });
                    each.begun = std::chrono::steady_clock::now();
                    if (resolver->Resolve(each.request->get(), static_cast<DWORD>(each.name.size()),
                                          each.name.c_str()) != S_OK)
                        throw tool_error(exit_failure, "the resolver refused '" + each.name + "'");
                }
            },
            [&] {
                for (lookup& each : lookups) each.request.reset();
                resolver.reset();
            });
        if (code != exit_ok) return code;
        int result = exit_ok;
        for (const lookup& each : lookups) {
            if (each.result != 0 || each.addresses.empty()) {
                std::printf("%s: %s (%.1f ms)\n", each.name.c_str(), failure_words(each.result).c_str(),
                            each.milliseconds);
                result = exit_dns;
                continue;
            }
            std::string list;
            for (const std::string& address : each.addresses) list += (list.empty() ? "" : " ") + address;
            std::printf("%s: %s (%s, %.1f ms)\n", each.name.c_str(), list.c_str(), source_of(each).c_str(),
                        each.milliseconds);
        }
        if (result != exit_ok) print_error("some names did not resolve");
        return result;
    } catch (const tool_error& failure) {
        print_error(failure.what());
        return failure.code();
    }
}
