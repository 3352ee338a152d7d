// afresolve NAME...: resolves each name through the frame's resolver and
// prints its addresses (IPv4 first, then IPv6), where the resolver found them (address, hosts,
// cache, dns, system) and how long it took. Names that cannot be host names
// are refused before anything is asked.
#include <arpa/inet.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
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
    DWORD source = DNS_SOURCE_NONE;
    bool done = false;
    // The later lookup of the same name, started once this one is done.
    std::optional<std::size_t> then;
};

// A dotted IPv4 address or an IPv6 address: nothing to check as a host name.
bool literal(const std::string& name) {
    in6_addr ignored{};
    return ::inet_pton(AF_INET, name.c_str(), &ignored) == 1 || ::inet_pton(AF_INET6, name.c_str(), &ignored) == 1;
}

// Why `name` cannot be a host name; empty when it can be one. Such a name
// would only cost a round of queries that must fail.
std::string name_problem(const std::string& name) {
    if (name.empty()) return "empty";
    // One final dot is the root's, as in "example.com.".
    const std::string body = name.back() == '.' ? name.substr(0, name.size() - 1) : name;
    if (body.empty()) return "no label";
    if (body.size() > 253) return "longer than 253 characters";
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = body.find('.', start);
        const std::size_t length = (dot == std::string::npos ? body.size() : dot) - start;
        if (length == 0) return "an empty label";
        if (length > 63) return "a label longer than 63 characters";
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    for (const char c : body) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x80) return "a character outside ASCII (give the xn-- form)";
        if (!std::isalnum(u) && c != '-' && c != '_' && c != '.')
            return std::isprint(u) ? std::string("the character '") + c + "'" : "a control character";
    }
    return {};
}

std::string source_words(DWORD source) {
    switch (source) {
    case DNS_SOURCE_LITERAL: return "address";
    case DNS_SOURCE_HOSTS_FILE: return "hosts";
    case DNS_SOURCE_CACHE: return "cache";
    case DNS_SOURCE_DNS_SERVER: return "dns";
    case DNS_SOURCE_SYSTEM: return "system";
    case DNS_SOURCE_LAST_GOOD: return "last good, the lookup failed";
    default: return "source unknown";
    }
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
    app.add_option("NAME", names, "host names, dotted IPv4 or IPv6 addresses")->required();
    app.add_option("--library", library, "path of libasynframe.so");
    if (const std::optional<int> stop = parse_command_line(app, argc, argv)) return *stop;
    for (const std::string& name : names) {
        if (literal(name)) continue;
        const std::string problem = name_problem(name);
        if (problem.empty()) continue;
        print_error("not a host name: '" + name + "' (" + problem + ")");
        return exit_usage;
    }
    try {
        host runner(library);
        std::vector<lookup> lookups(names.size());
        ref<IAsynDns> resolver;
        std::size_t left = names.size();
        const auto begin = [&](lookup& each) {
            each.begun = std::chrono::steady_clock::now();
            if (resolver->Resolve(each.request->get(), static_cast<DWORD>(each.name.size()), each.name.c_str()) !=
                S_OK)
                runner.finish(exit_failure, "the resolver refused '" + each.name + "'");
        };
        const int code = runner.run(
            [&] {
                if (runner.frame()->CreateDns(resolver.put()) != S_OK)
                    throw tool_error(exit_failure, "the frame made no resolver");
                // A name given again waits for its earlier lookup, so that the
                // second answer shows where a repeated question is answered from.
                std::map<std::string, std::size_t> last_of;
                std::vector<bool> waits(names.size(), false);
                for (std::size_t i = 0; i < names.size(); ++i) {
                    const auto earlier = last_of.find(names[i]);
                    if (earlier != last_of.end()) {
                        lookups[earlier->second].then = i;
                        waits[i] = true;
                    }
                    last_of[names[i]] = i;
                }
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
                        ref<IAsynDnsResult3> every;
                        done.request->get()->GetResultObject(object.put());
                        if (object && object->QueryInterface(IID_IAsynDnsResult3, every.put_void()) == S_OK) {
                            // Both families, IPv4 first, as texts.
                            DWORD count = 0;
                            every->GetAddressCount(&count);
                            for (DWORD k = 0; k < count; ++k) {
                                string_receiver text;
                                if (every->GetAddressText(k, &text, nullptr) == S_OK)
                                    done.addresses.push_back(text.value);
                            }
                            every->GetSource(&done.source);
                        } else if (object && object->QueryInterface(IID_IAsynDnsResult, answer.put_void()) == S_OK) {
                            // A library without the third face: IPv4 only.
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
                            // The library knows which of its sources answered.
                            ref<IAsynDnsResult2> told;
                            if (object->QueryInterface(IID_IAsynDnsResult2, told.put_void()) == S_OK)
                                told->GetSource(&done.source);
                        }
                        done.request->get()->SetResultObject(nullptr);
                        done.done = true;
                        if (--left == 0) runner.finish(exit_ok);
                        if (done.then) begin(lookups[*done.then]);
                    });
                }
                for (std::size_t i = 0; i < names.size(); ++i)
                    if (!waits[i]) begin(lookups[i]);
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
            std::printf("%s: %s (%s, %.1f ms)\n", each.name.c_str(), list.c_str(), source_words(each.source).c_str(),
                        each.milliseconds);
        }
        if (result != exit_ok) print_error("some names did not resolve");
        return result;
    } catch (const tool_error& failure) {
        print_error(failure.what());
        return failure.code();
    }
}
