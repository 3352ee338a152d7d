#include "platform/dns.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <iterator>
#include <mutex>
#include <new>
#include <random>

#include "platform/fs.h"

namespace asynframe::platform::dns {

// parse_server_list and server_port are shared: platform/dns_config.cpp.

namespace {

// The servers of the file last read, and what stat said of it just before.
struct read_servers {
    std::string path;
    struct stat seen {};
    std::vector<std::string> servers;
};
std::mutex g_read_lock;
read_servers* g_read = nullptr;  // left at exit: a resolver thread may still ask

bool same_file(const struct stat& a, const struct stat& b) noexcept {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// A file last changed this long before it was looked at cannot change again
// with the same time stamps: every file system stamps a change at least this
// finely (FAT's two seconds being the coarsest).
constexpr std::int64_t settled_after_ns = 2'000'000'000;

bool settled(const struct stat& file) noexcept {
    timespec now{};
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
    const std::int64_t changed = static_cast<std::int64_t>(file.st_ctim.tv_sec) * 1'000'000'000 + file.st_ctim.tv_nsec;
    const std::int64_t at = static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    return at - changed >= settled_after_ns;
}

}  // namespace

std::vector<std::string> server_list() {
    const std::optional<std::string> chosen = fs::environment("ASYNFRAME_RESOLV_CONF");
    const std::string path = chosen && !chosen->empty() ? *chosen : std::string("/etc/resolv.conf");
    // Asked for every name the resolver starts: a file unchanged since it was
    // last read gives the same servers for one stat instead of its reading.
    struct stat seen {};
    const bool known = ::stat(path.c_str(), &seen) == 0 && S_ISREG(seen.st_mode);
    if (known) {
        std::lock_guard<std::mutex> guard(g_read_lock);
        if (g_read != nullptr && g_read->path == path && same_file(g_read->seen, seen)) return g_read->servers;
    }
    std::string content;
    if (fs::read_file(path, content) != 0) return {};
    std::vector<std::string> servers = parse_server_list(content);
    // A file changed a moment ago could change again under the same stamps;
    // it is read anew until it has settled. A change between the stat and
    // the reading only makes the next stat differ.
    if (known && settled(seen)) {
        try {
            std::lock_guard<std::mutex> guard(g_read_lock);
            if (g_read == nullptr) g_read = new read_servers();
            g_read->path = path;
            g_read->seen = seen;
            g_read->servers = servers;
        } catch (const std::bad_alloc&) {
            if (g_read != nullptr) g_read->path.clear();  // read anew next time
        }
    }
    return servers;
}

std::string hosts_file_path() { return "/etc/hosts"; }

bool system_lookup(const std::string& name, std::vector<std::string>& addresses) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address instead of one per socket type
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) return false;
    for (const addrinfo* at = found; at != nullptr; at = at->ai_next) {
        if (at->ai_family != AF_INET || at->ai_addr == nullptr) continue;
        char text[INET_ADDRSTRLEN];
        const auto* address = reinterpret_cast<const sockaddr_in*>(at->ai_addr);
        if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) == nullptr) continue;
        if (std::find(addresses.begin(), addresses.end(), text) == addresses.end()) addresses.emplace_back(text);
    }
    ::freeaddrinfo(found);
    return true;
}

bool system_lookup(const std::string& name, std::vector<std::string>& addresses,
                   std::vector<std::string>& addresses6) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address instead of one per socket type
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) return false;
    for (const addrinfo* at = found; at != nullptr; at = at->ai_next) {
        if (at->ai_addr == nullptr) continue;
        char text[INET6_ADDRSTRLEN];
        std::vector<std::string>* list = nullptr;
        if (at->ai_family == AF_INET) {
            const auto* address = reinterpret_cast<const sockaddr_in*>(at->ai_addr);
            if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr) list = &addresses;
        } else if (at->ai_family == AF_INET6) {
            const auto* address = reinterpret_cast<const sockaddr_in6*>(at->ai_addr);
            if (::inet_ntop(AF_INET6, &address->sin6_addr, text, sizeof text) != nullptr) list = &addresses6;
        }
        if (list != nullptr && std::find(list->begin(), list->end(), text) == list->end()) list->emplace_back(text);
    }
    ::freeaddrinfo(found);
    return true;
}

namespace {

// Counts forks in the child: values a process drew before it forked are not
// handed out again in the child, where the parent hands them out too.
std::atomic<unsigned> g_forks{0};
void forked_child() noexcept { g_forks.fetch_add(1, std::memory_order_relaxed); }
[[maybe_unused]] const int g_fork_handler = ::pthread_atfork(nullptr, nullptr, forked_child);

}  // namespace

std::uint32_t random32() noexcept {
    // Drawn from the kernel 64 at a time (256 bytes, which getrandom never
    // cuts short) rather than a system call for every query's identifier.
    struct drawn_values {
        std::uint32_t values[64];
        std::size_t left = 0;
        unsigned forks = 0;
    };
    thread_local drawn_values drawn;
    if (const unsigned forks = g_forks.load(std::memory_order_relaxed); drawn.forks != forks) {
        drawn.left = 0;
        drawn.forks = forks;
    }
    if (drawn.left == 0) {
        for (;;) {
            if (::getrandom(drawn.values, sizeof drawn.values, 0) == static_cast<ssize_t>(sizeof drawn.values)) {
                drawn.left = std::size(drawn.values);
                break;
            }
            if (errno != EINTR) break;
        }
    }
    if (drawn.left > 0) {
        // Each value once: it is wiped as it goes.
        const std::uint32_t value = drawn.values[--drawn.left];
        drawn.values[drawn.left] = 0;
        return value;
    }
    // No kernel source: still not a counter an observer could follow.
    thread_local std::mt19937 fallback{std::random_device{}()};
    return static_cast<std::uint32_t>(fallback());
}

void set_caller_event(native_handle handle) noexcept {
    if (handle < 0) return;
    const int event = static_cast<int>(handle);
    const std::uint64_t one = 1;
    while (::write(event, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

}  // namespace asynframe::platform::dns
