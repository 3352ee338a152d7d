// The schedule behind platform/fault.h; compiled only with ASYNFRAME_FAULT_INJECTION.
//
//     ASYNFRAME_FAULTS   = rule [ "," rule ]...
//     rule               = site ":" schedule [ ":err=" code [ "/" code ]... ]
//     site               = alloc | socket | accept | connect | send | recv | open
//                        | read | write | event | thread | all
//     schedule           = "every=" N          (the Nth, 2Nth, ... call fails)
//                        | "random=" P         (each call fails with probability P, 0..1)
//     code               = an errno name (ECONNRESET, EIO, ...) or "short"
//     ASYNFRAME_FAULT_SEED = an unsigned number (default 1) for random schedules
//
// A failing call takes the next code of its rule's list in turn (the site's
// own list when the rule names none).
#include "platform/fault.h"

#if defined(ASYNFRAME_FAULT_INJECTION) && ASYNFRAME_FAULT_INJECTION

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace asynframe::platform::fault {
namespace {

constexpr int site_count = static_cast<int>(site::count);
constexpr int max_codes = 6;

const char* const site_names[site_count] = {"alloc", "socket", "accept", "connect", "send", "recv",
                                            "open",  "read",   "write",  "event",   "thread"};

struct code_list {
    int count;
    int codes[max_codes];
};

const code_list default_codes[site_count] = {
    {1, {ENOMEM}},
    {2, {EMFILE, ENFILE}},
    {2, {EMFILE, ECONNABORTED}},
    {2, {ECONNREFUSED, ETIMEDOUT}},
    {4, {ECONNRESET, EINTR, short_transfer, EAGAIN}},
    {4, {ECONNRESET, EINTR, short_transfer, EAGAIN}},
    {2, {EMFILE, EACCES}},
    {3, {EIO, EINTR, short_transfer}},
    {4, {EIO, ENOSPC, EINTR, short_transfer}},
    {1, {EMFILE}},
    {1, {EAGAIN}},
};

struct named_code {
    const char* name;
    int code;
};

const named_code code_names[] = {
    {"short", short_transfer}, {"ENOMEM", ENOMEM},       {"EMFILE", EMFILE},       {"ENFILE", ENFILE},
    {"ECONNRESET", ECONNRESET}, {"EINTR", EINTR},         {"EAGAIN", EAGAIN},       {"EIO", EIO},
    {"ENOSPC", ENOSPC},         {"ECONNREFUSED", ECONNREFUSED}, {"ETIMEDOUT", ETIMEDOUT},
    {"ECONNABORTED", ECONNABORTED}, {"EACCES", EACCES},   {"EPIPE", EPIPE},         {"ENOBUFS", ENOBUFS},
    {"EHOSTUNREACH", EHOSTUNREACH}, {"ENETUNREACH", ENETUNREACH},
};

enum : int { mode_off = 0, mode_every = 1, mode_random = 2 };

struct site_state {
    std::atomic<int> mode{mode_off};
    std::atomic<std::uint64_t> every{0};
    std::atomic<std::uint64_t> threshold{0};  // of 2^53
    std::atomic<int> code_count{0};
    std::atomic<int> codes[max_codes] = {};
    std::atomic<std::uint64_t> sequence{0};  // calls since the schedule was set
    std::atomic<std::uint64_t> calls{0};
    std::atomic<std::uint64_t> injected{0};
};

site_state sites[site_count];
std::atomic<std::uint64_t> seed_value{1};
std::once_flag environment_read;

std::uint64_t mix(std::uint64_t x) noexcept {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

struct parsed_rule {
    int first = 0, last = 0;  // sites [first, last)
    int mode = mode_off;
    std::uint64_t every = 0;
    std::uint64_t threshold = 0;
    code_list codes{0, {}};
};

bool parse_code(const std::string& name, int& code) {
    for (const named_code& entry : code_names)
        if (name == entry.name) {
            code = entry.code;
            return true;
        }
    return false;
}

bool parse_rule(const std::string& text, parsed_rule& rule) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    const std::string where = text.substr(0, colon);
    if (where == "all") {
        rule.first = 0;
        rule.last = site_count;
    } else {
        int found = -1;
        for (int i = 0; i < site_count; ++i)
            if (where == site_names[i]) found = i;
        if (found < 0) return false;
        rule.first = found;
        rule.last = found + 1;
    }
    std::size_t at = colon + 1;
    bool scheduled = false;
    while (at <= text.size()) {
        std::size_t end = text.find(':', at);
        if (end == std::string::npos) end = text.size();
        const std::string part = text.substr(at, end - at);
        const std::size_t equals = part.find('=');
        if (equals == std::string::npos) return false;
        const std::string key = part.substr(0, equals);
        const std::string value = part.substr(equals + 1);
        if (value.empty()) return false;
        char* stop = nullptr;
        if (key == "every") {
            const unsigned long long n = std::strtoull(value.c_str(), &stop, 10);
            if (*stop != '\0' || n == 0) return false;
            rule.mode = mode_every;
            rule.every = n;
            scheduled = true;
        } else if (key == "random") {
            const double p = std::strtod(value.c_str(), &stop);
            if (*stop != '\0' || !(p >= 0.0 && p <= 1.0)) return false;
            rule.mode = mode_random;
            rule.threshold = static_cast<std::uint64_t>(p * 9007199254740992.0);  // 2^53
            scheduled = true;
        } else if (key == "err") {
            std::size_t from = 0;
            while (from <= value.size()) {
                std::size_t slash = value.find('/', from);
                if (slash == std::string::npos) slash = value.size();
                int code = 0;
                if (rule.codes.count == max_codes || !parse_code(value.substr(from, slash - from), code)) return false;
                rule.codes.codes[rule.codes.count++] = code;
                from = slash + 1;
            }
        } else {
            return false;
        }
        at = end + 1;
    }
    return scheduled;
}

bool apply(const char* plan, std::uint64_t seed) noexcept {
    try {
        parsed_rule rules[site_count * 2];
        int rule_count = 0;
        const std::string text = plan == nullptr ? std::string() : std::string(plan);
        std::size_t at = 0;
        while (at < text.size()) {
            std::size_t end = text.find(',', at);
            if (end == std::string::npos) end = text.size();
            const std::string part = text.substr(at, end - at);
            at = end + 1;
            if (part.empty()) continue;
            if (rule_count == site_count * 2 || !parse_rule(part, rules[rule_count])) return false;
            ++rule_count;
        }
        for (site_state& state : sites) {
            state.mode.store(mode_off, std::memory_order_relaxed);
            state.sequence.store(0, std::memory_order_relaxed);
        }
        for (int r = 0; r < rule_count; ++r) {
            const parsed_rule& rule = rules[r];
            for (int i = rule.first; i < rule.last; ++i) {
                site_state& state = sites[i];
                const code_list& codes = rule.codes.count != 0 ? rule.codes : default_codes[i];
                for (int c = 0; c < codes.count; ++c) state.codes[c].store(codes.codes[c], std::memory_order_relaxed);
                state.code_count.store(codes.count, std::memory_order_relaxed);
                state.every.store(rule.every, std::memory_order_relaxed);
                state.threshold.store(rule.threshold, std::memory_order_relaxed);
                state.mode.store(rule.mode, std::memory_order_release);
            }
        }
        seed_value.store(seed, std::memory_order_relaxed);
        return true;
    } catch (...) {
        return false;
    }
}

void report() {
    std::uint64_t total_calls = 0, total_injected = 0;
    std::string detail;
    for (int i = 0; i < site_count; ++i) {
        const std::uint64_t n = sites[i].injected.load(std::memory_order_relaxed);
        total_calls += sites[i].calls.load(std::memory_order_relaxed);
        total_injected += n;
        if (n != 0) detail += std::string(" ") + site_names[i] + "=" + std::to_string(n);
    }
    std::fprintf(stderr, "asynframe faults: %llu injected in %llu calls%s\n",
                 static_cast<unsigned long long>(total_injected), static_cast<unsigned long long>(total_calls),
                 detail.c_str());
}

void read_environment() noexcept {
    const char* plan = std::getenv("ASYNFRAME_FAULTS");
    if (plan == nullptr || *plan == '\0') return;
    std::uint64_t seed = 1;
    if (const char* text = std::getenv("ASYNFRAME_FAULT_SEED"); text != nullptr && *text != '\0')
        seed = std::strtoull(text, nullptr, 0);
    if (!apply(plan, seed)) {
        std::fprintf(stderr, "asynframe: ASYNFRAME_FAULTS=\"%s\" is not a valid schedule\n", plan);
        std::abort();
    }
    std::atexit(report);
}

}  // namespace

int next(site where) noexcept {
    std::call_once(environment_read, read_environment);
    site_state& state = sites[static_cast<int>(where)];
    const int mode = state.mode.load(std::memory_order_acquire);
    if (mode == mode_off) return 0;
    state.calls.fetch_add(1, std::memory_order_relaxed);
    const std::uint64_t call = state.sequence.fetch_add(1, std::memory_order_relaxed) + 1;
    bool fail = false;
    if (mode == mode_every) {
        const std::uint64_t every = state.every.load(std::memory_order_relaxed);
        fail = every != 0 && call % every == 0;
    } else {
        const std::uint64_t seed = seed_value.load(std::memory_order_relaxed);
        const std::uint64_t draw = mix(seed ^ (static_cast<std::uint64_t>(where) << 56) ^ mix(call)) >> 11;
        fail = draw < state.threshold.load(std::memory_order_relaxed);
    }
    if (!fail) return 0;
    state.injected.fetch_add(1, std::memory_order_relaxed);
    const std::uint64_t index = mode == mode_every ? call / state.every.load(std::memory_order_relaxed) - 1
                                                   : mix(call) >> 1;
    const int count = state.code_count.load(std::memory_order_relaxed);
    if (count <= 0) return EIO;
    return state.codes[index % static_cast<std::uint64_t>(count)].load(std::memory_order_relaxed);
}

bool configure(const char* plan, std::uint64_t seed) noexcept {
    std::call_once(environment_read, [] {});
    return apply(plan, seed);
}

std::uint64_t injected(site where) noexcept {
    if (where != site::count) return sites[static_cast<int>(where)].injected.load(std::memory_order_relaxed);
    std::uint64_t total = 0;
    for (const site_state& state : sites) total += state.injected.load(std::memory_order_relaxed);
    return total;
}

std::uint64_t calls(site where) noexcept {
    if (where != site::count) return sites[static_cast<int>(where)].calls.load(std::memory_order_relaxed);
    std::uint64_t total = 0;
    for (const site_state& state : sites) total += state.calls.load(std::memory_order_relaxed);
    return total;
}

const char* site_name(site where) noexcept {
    return where == site::count ? "all" : site_names[static_cast<int>(where)];
}

}  // namespace asynframe::platform::fault

#endif
