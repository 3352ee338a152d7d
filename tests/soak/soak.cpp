// The churn soak: for each engine mode in turn (the port/io_uring engine, the
// alertable/epoll one, a UI-thread frame), one frame keeps thousands of
// loopback connections churning for SOAK_SECONDS:
//  * a listener of the frame accepts throughout and echoes what it reads,
//    closing after a byte budget of its own (so either side may close first);
//  * clients of the frame connect by address, by name (dnsmasq), through a
//    SOCKS5 proxy (dante), over TLS (nginx in front of the listener) and
//    through speed limit sockets, and exchange messages of random sizes;
//  * plain sockets of this program inject resets (SO_LINGER 0) and
//    half-closes from both sides;
//  * other threads post frame messages, whose handler arms one-shot timers.
// Every started operation must complete exactly once, with a code of the
// documented set; descriptors, the live component objects and (within a
// tolerance) the resident memory must come back to where they started.
//
// SOAK_SECONDS (default 60) is the time per mode; SOAK_CONNECTIONS (default
// 10000) the concurrent clients wanted, scaled down to the descriptors to be
// had; SOAK_MODES picks modes by name (port,alertable,ui_thread), SOAK_KINDS
// client kinds (address,name,limited,socks5,tls,raw).
// Run it in a network namespace of its own (the Makefile's `soak` target does).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#if defined(_WIN32)
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "asynframe/asynframe.h"
#include "common/frame_fixture.h"
#include "common/portable.h"
#include "component/unknown_base.h"
#include "frame/asyn_frame.h"
#if !defined(_WIN32)
#include "dns/dns_servers.h"
#include "proxy/proxy_servers.h"
#include "tls/tls_peers.h"
#endif

namespace {

using namespace asynframe;
using namespace asynframe::harness;
using clock_type = std::chrono::steady_clock;

constexpr DWORD max_message = 16 * 1024;  // a client's exchange: 1 byte to this
constexpr DWORD server_chunk = 16 * 1024;  // an echo read
constexpr int accepts_in_flight = 256;
constexpr DWORD speed_limit_bytes = 2 * 1024 * 1024;  // shared by every limited socket, each way
constexpr DWORD e_abort = 0x80004004u;

// The completion codes the library documents (platform/error_codes.h, the
// SOCKS5 layer's 10058, and E_ABORT of a socket closed with requests held).
bool documented_code(DWORD code) {
    switch (code) {
        case 0: case 6: case 8: case 50: case 87: case 995: case 1928: case 1929: case 1930: case 10024:
        case 10035: case 10047: case 10048: case 10049: case 10053: case 10054: case 10055: case 10057: case 10058:
        case 10060: case 10061: case 11001: case 0xFFFFFFFFu: case e_abort:
            return true;
        default:
            return false;
    }
}

// ---- the process's own measures -----------------------------------------------------

// Open descriptors (on Windows: the process's handles).
long open_descriptors() {
#if defined(_WIN32)
    DWORD handles = 0;
    return ::GetProcessHandleCount(::GetCurrentProcess(), &handles) ? static_cast<long>(handles) : -1;
#else
    long count = 0;
    if (DIR* folder = ::opendir("/proc/self/fd")) {
        while (dirent* entry = ::readdir(folder))
            if (entry->d_name[0] != '.') ++count;
        ::closedir(folder);
        --count;  // the listing's own
    }
    return count;
#endif
}

long resident_kib() {
#if defined(_WIN32)
    PROCESS_MEMORY_COUNTERS counters{};
    if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) return -1;
    return static_cast<long>(counters.WorkingSetSize / 1024);
#else
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status) != nullptr)
        if (std::strncmp(line, "VmRSS:", 6) == 0) kib = std::strtol(line + 6, nullptr, 10);
    std::fclose(status);
    return kib;
#endif
}

void give_back_memory() {
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

// The concurrent clients to be had: each takes two descriptors in this
// process (its own and the accepted end, or the proxy's or nginx's).
int usable_connections(int wanted, std::string& reason) {
#if defined(_WIN32)
    (void)reason;
    return wanted;
#else
    const rlim_t needed = static_cast<rlim_t>(wanted) * 2 + 2048;
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < needed) {
        rlimit raised{needed, std::max(needed, limit.rlim_max)};
        if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) {
            raised = {limit.rlim_max, limit.rlim_max};
            ::setrlimit(RLIMIT_NOFILE, &raised);
        }
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur >= needed) return wanted;
    const int usable = static_cast<int>((limit.rlim_cur > 2048 ? limit.rlim_cur - 2048 : 0) / 2);
    reason = "RLIMIT_NOFILE is " + std::to_string(limit.rlim_cur) + " (the hard limit could not be raised to " +
             std::to_string(needed) + "); two descriptors per connection leave room for " + std::to_string(usable);
    return std::max(usable, 16);
#endif
}

// ---- plain sockets that reset and half-close -------------------------------------------

void set_linger_zero(sock_t fd) {
    linger value{};
    value.l_onoff = 1;
    value.l_linger = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&value), sizeof value);
}

// How a plain socket ends: 0 a reset, 1 a half-close then the peer's close, 2 a plain close.
int end_plain(sock_t fd, int how) {
    char chunk[4096];
    if (how == 0) {
        set_linger_zero(fd);
    } else if (how == 1) {
        ::shutdown(fd, shut_write);
        // The frame's side sees the end of the stream and closes in turn.
        for (int i = 0; i < 64 && readable(fd, 2000); ++i)
            if (recv_bytes(fd, chunk, sizeof chunk) <= 0) break;
    }
    close_sock(fd);
    return how;
}

struct plain_counts {
    std::atomic<long> connections{0}, resets{0}, half_closes{0}, closes{0};
    void count(int how) {
        ++connections;
        (how == 0 ? resets : how == 1 ? half_closes : closes)++;
    }
};

// Connects to the frame's listener again and again, sends, reads some of the
// echo, and ends each connection one of the three ways.
void plain_clients(std::uint16_t port, const std::atomic<bool>& stop, plain_counts& counts, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<char> data(4096, 'p');
    while (!stop) {
        const sock_t fd = tcp_client(port);
        if (fd == bad_sock) {
            sleep_ms(5);
            continue;
        }
        const std::size_t size = 1 + random() % data.size();
        send_bytes(fd, data.data(), size);
        if (random() % 2 == 0 && readable(fd, 1000)) recv_bytes(fd, data.data(), data.size());
        counts.count(end_plain(fd, static_cast<int>(random() % 3)));
    }
}

// A listener of this program for the frame's "raw" clients: reads what a
// client sends, then resets, half-closes or closes.
void plain_server(sock_t listener, const std::atomic<bool>& stop, plain_counts& counts, unsigned seed) {
    std::mt19937 random(seed);
    char chunk[max_message];
    while (!stop) {
        if (!readable(listener, 100)) continue;
        const sock_t fd = accept_sock(listener);
        if (fd == bad_sock) continue;
        if (readable(fd, 1000)) recv_bytes(fd, chunk, sizeof chunk);
        counts.count(end_plain(fd, static_cast<int>(random() % 3)));
    }
}

#if !defined(_WIN32)
// Many plain connections to the frame's listener at once, on one thread with
// epoll: each exchanges messages of random sizes with the frame's echo (and
// checks them), then closes, resets or half-closes, and is made again. They
// carry the soak's concurrency past the frame's scheduler, which holds at
// most 1000 outgoing connections (IAsynFrame::SetMaxConnection).
struct pool_counts {
    std::atomic<long> connections{0}, exchanges{0}, resets{0}, half_closes{0}, closes{0}, server_closed{0};
    std::atomic<long> mismatches{0}, now{0}, peak{0};
};

void plain_pool(std::uint16_t port, int count, const std::atomic<bool>& stop, pool_counts& counts, unsigned seed) {
    struct entry {
        int fd = -1;
        enum state_t : std::uint8_t { idle, connecting, sending, receiving, draining } state = idle;
        std::uint32_t size = 0, done = 0, seed = 0;
        int rounds = 0;
    };
    constexpr std::uint32_t most = 4096;
    constexpr int connecting_at_once = 256;
    std::mt19937 random(seed);
    std::vector<entry> pool(static_cast<std::size_t>(count));
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    if (poller < 0) return;
    int connecting = 0;
    std::vector<std::uint8_t> out(most), in(most);
    const auto byte_of = [](std::uint32_t s, std::uint32_t i) { return static_cast<std::uint8_t>((s >> (i % 24)) ^ i); };
    const auto watch = [&](std::size_t index, std::uint32_t events, int op) {
        epoll_event event{};
        event.events = events;
        event.data.u64 = index;
        ::epoll_ctl(poller, op, pool[index].fd, &event);
    };
    const auto close_entry = [&](entry& e) {
        if (e.state == entry::connecting) --connecting;
        ::close(e.fd);  // the descriptor leaves the epoll set with it
        e.fd = -1;
        e.state = entry::idle;
        --counts.now;
    };
    const auto next_message = [&](std::size_t index) {
        entry& e = pool[index];
        e.size = 1 + random() % most;
        e.done = 0;
        e.seed = static_cast<std::uint32_t>(random());
        e.state = entry::sending;
        watch(index, EPOLLOUT, EPOLL_CTL_MOD);
    };
    // The end of an exchange's run: 0 a reset, 1 a half-close, 2 a close.
    const auto finish = [&](std::size_t index) {
        entry& e = pool[index];
        const int how = static_cast<int>(random() % 3);
        if (how == 0) {
            set_linger_zero(e.fd);
            ++counts.resets;
            close_entry(e);
        } else if (how == 1) {
            ::shutdown(e.fd, SHUT_WR);
            ++counts.half_closes;
            e.state = entry::draining;  // until the frame closes its end
            watch(index, EPOLLIN, EPOLL_CTL_MOD);
        } else {
            ++counts.closes;
            close_entry(e);
        }
    };
    const auto start = [&](std::size_t index) {
        entry& e = pool[index];
        e.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (e.fd < 0) return;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(e.fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
            ::close(e.fd);
            e.fd = -1;
            return;
        }
        e.state = entry::connecting;
        // Most long-lived, so that most of the pool is connected at any
        // time; a quarter short-lived, for churn.
        e.rounds = random() % 4 == 0 ? 1 + static_cast<int>(random() % 10) : 20 + static_cast<int>(random() % 400);
        ++connecting;
        ++counts.connections;
        const long now = ++counts.now;
        long peak = counts.peak.load();
        while (now > peak && !counts.peak.compare_exchange_weak(peak, now)) {
        }
        watch(index, EPOLLOUT, EPOLL_CTL_ADD);
    };
    std::vector<epoll_event> events(1024);
    std::size_t next_idle = 0;
    while (!stop) {
        // Idle places connect again, a few hundred handshakes at a time.
        for (std::size_t scanned = 0; scanned < pool.size() && connecting < connecting_at_once; ++scanned) {
            next_idle = (next_idle + 1) % pool.size();
            if (pool[next_idle].state == entry::idle) start(next_idle);
        }
        const int ready = ::epoll_wait(poller, events.data(), static_cast<int>(events.size()), 20);
        for (int i = 0; i < ready; ++i) {
            const auto index = static_cast<std::size_t>(events[i].data.u64);
            entry& e = pool[index];
            if (e.fd < 0) continue;
            if (e.state == entry::connecting) {
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(e.fd, SOL_SOCKET, SO_ERROR, &error, &length);
                if (error != 0) {
                    close_entry(e);
                    continue;
                }
                --connecting;
                next_message(index);
                continue;
            }
            if (e.state == entry::sending) {
                for (std::uint32_t k = e.done; k < e.size; ++k) out[k] = byte_of(e.seed, k);
                const ssize_t sent = ::send(e.fd, out.data() + e.done, e.size - e.done, MSG_NOSIGNAL);
                if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
                if (sent <= 0) {
                    ++counts.server_closed;
                    close_entry(e);
                    continue;
                }
                e.done += static_cast<std::uint32_t>(sent);
                if (e.done == e.size) {
                    e.done = 0;
                    e.state = entry::receiving;
                    watch(index, EPOLLIN, EPOLL_CTL_MOD);
                }
                continue;
            }
            const ssize_t got = ::recv(e.fd, in.data(), e.state == entry::draining ? most : e.size - e.done, 0);
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
            if (got <= 0 || e.state == entry::draining) {
                // The frame closed (its budget, or after a half-close) or reset.
                if (got <= 0 && e.state != entry::draining) ++counts.server_closed;
                if (got <= 0) close_entry(e);
                continue;
            }
            for (ssize_t k = 0; k < got; ++k)
                if (in[static_cast<std::size_t>(k)] != byte_of(e.seed, e.done + static_cast<std::uint32_t>(k))) {
                    ++counts.mismatches;
                    break;
                }
            e.done += static_cast<std::uint32_t>(got);
            if (e.done < e.size) continue;
            ++counts.exchanges;
            if (--e.rounds > 0) next_message(index);
            else finish(index);
        }
    }
    for (entry& e : pool)
        if (e.fd >= 0) close_entry(e);
    ::close(poller);
}
#endif

// ---- the soak of one mode ------------------------------------------------------------

enum class kind : std::uint8_t { by_address, by_name, limited, socks, tls, raw, server, count };
const char* const kind_names[] = {"address", "name", "limited", "socks5", "tls", "raw", "server"};

struct targets {
    std::uint16_t listener_port = 0;
    std::uint16_t raw_port = 0;
    std::uint16_t socks_port = 0;  // 0: no dante
    std::uint16_t tls_port = 0;    // 0: no nginx
    bool names = false;            // dnsmasq answers loop.af.test
    unsigned kinds = ~0u;          // the client kinds used (SOAK_KINDS), one bit each
};

struct conn {
    kind k = kind::by_address;
    IAsynTcpSocket* socket = nullptr;
    IAsynIoOperation* op = nullptr;
    enum phase_t : std::uint8_t { connecting, writing, reading } phase = connecting;
    int rounds_left = 0;
    DWORD size = 0;
    std::uint32_t seed = 0;
    std::int64_t budget = 0;  // a server's bytes to echo before it closes; < 0 none
};

struct mode_figures {
    std::string mode;
    bool ran = false;
    std::string skipped;
    double seconds = 0;
    long completions = 0;
    long peak_connections = 0;
    long peak_rss_kib = 0, rss_before_kib = 0, rss_after_kib = 0;
    long fds_before = 0, fds_peak = 0, fds_after = 0;
    long objects_before = 0, objects_after = 0;
    std::vector<std::string> violations;
};

class soak_run final : public com_interfaces<soak_run, IAsynIoOperationEvents, IAsynTimerEvents, IAsynMessageEvents>,
                       public atomic_ref_count {
public:
    using interfaces = interface_table<interface_entry<IID_IUnknown, IAsynIoOperationEvents>,
                                       interface_entry<IID_IAsynIoOperationEvents, IAsynIoOperationEvents>,
                                       interface_entry<IID_IAsynTimerEvents, IAsynTimerEvents>,
                                       interface_entry<IID_IAsynMessageEvents, IAsynMessageEvents>>;

    soak_run(IAsynFrame3* frame, const targets& where, int slots, unsigned seed)
        : _frame(frame), _where(where), _slots(slots), _random(seed) {}

    // ---- on the dispatch thread -----------------------------------------------------
    void start() {
        if (_frame->CreateTcpListener2(&_listener) != S_OK) return violation("no listener");
        IAsynIoOperation* listening = new_operation(0);
        _listen_op = listening;
        started(listening, _listener->ListenOn(htonl(0x7F000001u), _where.listener_port, listening), "listen");
        if (_frame->CreateSpeedLimit(&_limit) == S_OK) _limit->SetLimit(speed_limit_bytes);
        _frame->RegisterReceiver(this);
    }

    void start_clients() {
        for (int i = 0; i < accepts_in_flight; ++i) {
            IAsynIoOperation* accept = new_operation(0);
            _accepts.insert(accept);
            started(accept, _listener->Accept(accept), "accept");
        }
        for (int slot = 0; slot < _slots; ++slot) start_client();
        if (_frame->SetTimer(this, restart_timer, 50, 1) != S_OK) violation("no restart timer");
    }

    // No new work; every socket and the listener closed: what is in flight completes.
    void begin_stop() {
        _stopping = true;
        if (_listener != nullptr) _listener->Close();
        for (auto& [op, c] : _conns) c->socket->Close();
    }

    // Once nothing is in flight: the rest goes.
    void finish() {
        for (auto& [op, c] : _conns) drop(c, false);
        _conns.clear();
        for (IAsynIoOperation* accept : _accepts) accept->Release();
        _accepts.clear();
        if (_listen_op != nullptr) std::exchange(_listen_op, nullptr)->Release();
        if (_listener != nullptr) std::exchange(_listener, nullptr)->Release();
        if (_limit != nullptr) std::exchange(_limit, nullptr)->Release();
        _frame->KillTimer(this, restart_timer);
        _timers_killed = static_cast<long>(_armed.size());
        _frame->KillTimers(this);
        _armed.clear();
    }

    HRESULT ASYNFRAME_STDCALL OnIoComplete(IAsynIoOperation* op) override {
        if (_in_flight.erase(op) == 0) violation("a completion without a start, or a second one");
        in_flight_now = static_cast<long>(_in_flight.size());
        ++completions;
        DWORD error = 0, bytes = 0;
        op->GetResult(&error, &bytes);
        if (!documented_code(error)) violation("undocumented completion code " + std::to_string(error));
        ++_codes[error];
        if (op == _listen_op) {
            if (error != 0) violation("listen failed: " + std::to_string(error));
            return S_OK;
        }
        if (_accepts.count(op) != 0) {
            accepted(op, error);
            return S_OK;
        }
        const auto found = _conns.find(op);
        if (found == _conns.end()) {
            violation("completion of an unknown operation");
            return S_OK;
        }
        conn* c = found->second;
        if (_stopping) {
            drop(c, true);
            return S_OK;
        }
        if (c->k == kind::server)
            served(c, error, bytes);
        else
            progressed(c, error, bytes);
        return S_OK;
    }

    HRESULT ASYNFRAME_STDCALL OnTimer(DWORD id) override {
        if (id == restart_timer) {
            // Slots whose connect was refused at once start again.
            for (int idle = std::exchange(_idle_slots, 0); idle > 0 && !_stopping; --idle) start_client();
            return S_OK;
        }
        if (_armed.erase(id) == 0) violation("timer " + std::to_string(id) + " fired unarmed or twice");
        ++timers_fired;
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnMessage(DWORD, DWORD, DWORD) override {
        ++messages_delivered;
        // Every fourth message arms a one-shot timer of up to 50 ms.
        if (!_stopping && messages_delivered % 4 == 0) {
            const DWORD id = ++_next_timer;
            if (_frame->SetTimer(this, id, static_cast<DWORD>(_random() % 51), 0) == S_OK) {
                _armed.insert(id);
                ++timers_armed;
            } else {
                violation("SetTimer refused");
            }
        }
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnMessageCanceled(DWORD, DWORD, DWORD) override {
        ++messages_canceled;
        return S_OK;
    }

    // ---- read by the main thread ----------------------------------------------------------
    std::atomic<long> completions{0}, in_flight_now{0}, connections_now{0}, peak_connections{0};
    std::atomic<long> messages_delivered{0}, messages_canceled{0}, timers_armed{0}, timers_fired{0};
    long timers_killed() const { return _timers_killed; }
    // After the run (dispatch thread quiet).
    std::vector<std::string> violations;
    std::map<DWORD, long> codes() const { return _codes; }
    long connects[static_cast<int>(kind::count)] = {};
    long connect_failures[static_cast<int>(kind::count)] = {};
    long exchanges = 0, client_closed_first = 0, server_closed_first = 0, refused_starts = 0;

private:
    ~soak_run() override = default;

    void violation(const std::string& what) {
        if (violations.size() < 50) violations.push_back(what);
    }

    IAsynIoOperation* new_operation(DWORD size) {
        IAsynIoOperation* op = nullptr;
        if (_frame->CreateOperation(this, &op) != S_OK || op == nullptr) {
            violation("CreateOperation failed");
            return nullptr;
        }
        op->SetTag(0);  // a new operation is busy until tagged
        if (size != 0) op->AllocBuffer(size);
        return op;
    }

    // A request was asked for: S_OK means a completion will follow, exactly one.
    bool started(IAsynIoOperation* op, HRESULT hr, const char* what) {
        if (hr != S_OK) {
            ++refused_starts;
            if (!_stopping) violation(std::string(what) + " refused: " + std::to_string(hr));
            return false;
        }
        if (!_in_flight.insert(op).second) violation(std::string(what) + " started while in flight");
        in_flight_now = static_cast<long>(_in_flight.size());
        return true;
    }

    // The shares: SOCKS5, TLS and raw ones up to what their far ends serve
    // (dante, nginx's 64 connections, the plain server's one at a time), the
    // slow limited ones up to a tenth of the clients.
    kind pick_kind() {
        const auto count = [this](kind k) { return _live[static_cast<int>(k)]; };
        const auto allowed = [this](kind k) { return (_where.kinds & (1u << static_cast<int>(k))) != 0; };
        for (int attempt = 0; attempt < 4; ++attempt) {
            const unsigned roll = _random() % 100;
            kind k = kind::by_address;
            if (roll < 10) k = kind::socks;
            else if (roll < 20) k = kind::tls;
            else if (roll < 30) k = kind::raw;
            else if (roll < 45) k = kind::limited;
            else if (roll < 65) k = kind::by_name;
            if (!allowed(k)) continue;
            if (k == kind::socks && (_where.socks_port == 0 || count(k) >= 48)) continue;
            if (k == kind::tls && (_where.tls_port == 0 || count(k) >= 24)) continue;
            if (k == kind::raw && count(k) >= 16) continue;
            if (k == kind::limited && (_limit == nullptr || count(k) >= std::max(1, _slots / 10))) continue;
            if (k == kind::by_name && !_where.names) continue;
            return k;
        }
        return allowed(kind::by_address) || !allowed(kind::raw) ? kind::by_address : kind::raw;
    }

    void start_client() {
        if (_stopping) return;
        auto* c = new conn;
        c->k = pick_kind();
        IAsynTcpSocket* plain = nullptr;
        if (_frame->CreateTcpSocket(&plain) != S_OK) {
            violation("CreateTcpSocket failed");
            delete c;
            ++_idle_slots;
            return;
        }
        std::string host = "127.0.0.1";
        WORD port = _where.listener_port;
        switch (c->k) {
            case kind::by_name: host = "loop.af.test"; c->socket = plain; break;
            case kind::raw: port = _where.raw_port; c->socket = plain; break;
            case kind::limited: {
                IAsynTcpSocket* limited = nullptr;
                if (_frame->CreateSpeedLimitSocket(plain, _limit, _limit, &limited) != S_OK) violation("no limited socket");
                plain->Release();
                c->socket = limited;
                break;
            }
            case kind::socks: {
                IAsynProxyTcpSocket* proxied = nullptr;
                if (_frame->CreateProxyTcpSocket(plain, PROXY_KIND_SOCKS5, 9, "127.0.0.1", _where.socks_port, 0, "", 0,
                                                 "", &proxied) != S_OK)
                    violation("no SOCKS5 socket");
                plain->Release();  // it only vouched for the caller
                c->socket = proxied;
                break;
            }
            case kind::tls: {
                IAsynSSLSocket* secure = nullptr;
                if (_frame->CreateSSLSocket(plain, &secure) != S_OK) violation("no TLS socket");
                plain->Release();  // the TLS socket keeps its own reference
                c->socket = secure;
                port = _where.tls_port;
                break;
            }
            default: c->socket = plain; break;
        }
        if (c->socket == nullptr) {
            delete c;
            ++_idle_slots;
            return;
        }
        c->op = new_operation(2 * max_message);
        c->rounds_left = 1 + static_cast<int>(_random() % 12);
        c->seed = static_cast<std::uint32_t>(_random());
        _conns[c->op] = c;
        ++_live[static_cast<int>(c->k)];
        count_connection(+1);
        ++connects[static_cast<int>(c->k)];
        c->phase = conn::connecting;
        if (!started(c->op, c->socket->Connect(c->op, static_cast<DWORD>(host.size()), host.c_str(), port, 0), "connect")) {
            // Not straight again: the slot waits for the restart timer.
            drop(c, true, false);
            ++_idle_slots;
        }
    }

    void count_connection(int change) {
        const long now = connections_now += change;
        long peak = peak_connections.load();
        while (now > peak && !peak_connections.compare_exchange_weak(peak, now)) {
        }
    }

    static std::uint8_t pattern(std::uint32_t seed, DWORD i) {
        return static_cast<std::uint8_t>((seed >> (i % 24)) + i * 131u);
    }

    void next_round(conn* c) {
        if (c->rounds_left-- <= 0) {
            ++client_closed_first;
            drop(c, true);
            return;
        }
        // Mostly small messages, now and then up to 16 KiB.
        c->size = _random() % 8 == 0 ? 1 + _random() % max_message : 1 + _random() % 512;
        c->seed = c->seed * 1664525u + 1013904223u;
        BYTE* buffer = nullptr;
        DWORD capacity = 0;
        c->op->GetBuffer(&buffer, &capacity);
        for (DWORD i = 0; i < c->size; ++i) buffer[i] = pattern(c->seed, i);
        c->op->SetRange(0, c->size);
        c->phase = conn::writing;
        if (!started(c->op, c->socket->WriteFully(c->op), "write")) drop(c, true);
    }

    void progressed(conn* c, DWORD error, DWORD bytes) {
        switch (c->phase) {
            case conn::connecting:
                if (error != 0) {
                    ++connect_failures[static_cast<int>(c->k)];
                    drop(c, true);
                    return;
                }
                next_round(c);
                return;
            case conn::writing:
                if (error != 0 || bytes != c->size) {
                    ++server_closed_first;
                    drop(c, true);
                    return;
                }
                c->op->SetRange(max_message, c->size);
                c->phase = conn::reading;
                if (!started(c->op, c->socket->ReadFully(c->op), "read")) drop(c, true);
                return;
            case conn::reading: {
                if (error != 0 || bytes != c->size) {
                    // The far end closed first, reset or half-closed.
                    ++server_closed_first;
                    drop(c, true);
                    return;
                }
                BYTE* buffer = nullptr;
                DWORD capacity = 0;
                c->op->GetBuffer(&buffer, &capacity);
                for (DWORD i = 0; i < c->size; ++i)
                    if (buffer[max_message + i] != pattern(c->seed, i)) {
                        violation(std::string("echo differs on a ") + kind_names[static_cast<int>(c->k)] +
                                  " connection");
                        break;
                    }
                ++exchanges;
                next_round(c);
                return;
            }
        }
    }

    void accepted(IAsynIoOperation* accept, DWORD error) {
        IUnknown* object = nullptr;
        accept->GetResultObject(&object);
        accept->SetResultObject(nullptr);
        if (_stopping) {
            if (object != nullptr) object->Release();  // accepted as the listener closed
            return;
        }
        if (error == 0 && object != nullptr) {
            IAsynTcpSocket* socket = nullptr;
            if (object->QueryInterface(IID_IAsynTcpSocket, reinterpret_cast<void**>(&socket)) == S_OK) {
                auto* c = new conn;
                c->k = kind::server;
                c->socket = socket;
                c->op = new_operation(server_chunk);
                // Half of them close after a budget, the rest when the client does.
                c->budget = _random() % 2 == 0 ? static_cast<std::int64_t>(1 + _random() % (1024 * 1024)) : -1;
                _conns[c->op] = c;
                count_connection(+1);
                serve_read(c);
            } else {
                violation("an accepted object without IAsynTcpSocket");
            }
        }
        if (object != nullptr) object->Release();
        started(accept, _listener->Accept(accept), "accept");
    }

    void serve_read(conn* c) {
        c->op->SetRange(0, server_chunk);
        c->phase = conn::reading;
        if (!started(c->op, c->socket->Read(c->op), "server read")) drop(c, true);
    }

    void served(conn* c, DWORD error, DWORD bytes) {
        if (error != 0 || bytes == 0) {
            drop(c, true);  // the client closed, reset or half-closed
            return;
        }
        if (c->phase == conn::reading) {
            c->op->SetRange(0, bytes);
            c->phase = conn::writing;
            if (c->budget >= 0) c->budget = std::max<std::int64_t>(0, c->budget - bytes);
            if (!started(c->op, c->socket->WriteFully(c->op), "server write")) drop(c, true);
            return;
        }
        if (c->budget != 0) {  // none (-1), or bytes left
            serve_read(c);
            return;
        }
        drop(c, true);  // the budget is spent: the server closes first
    }

    // Closes and lets go of a connection whose operation is not in flight; a
    // client's slot starts again.
    void drop(conn* c, bool erase, bool restart = true) {
        c->socket->Close();
        c->socket->Release();
        c->op->Release();
        if (erase) _conns.erase(c->op);
        count_connection(-1);
        const bool client = c->k != kind::server;
        if (client) --_live[static_cast<int>(c->k)];
        delete c;
        if (client && erase && restart && !_stopping) start_client();
    }

    IAsynFrame3* _frame;
    targets _where;
    int _slots;
    std::mt19937 _random;
    bool _stopping = false;
    IAsynTcpListener2* _listener = nullptr;
    IAsynIoOperation* _listen_op = nullptr;
    ISpeedLimit* _limit = nullptr;
    std::unordered_set<IAsynIoOperation*> _accepts;
    std::unordered_map<IAsynIoOperation*, conn*> _conns;
    std::unordered_set<IAsynIoOperation*> _in_flight;
    int _live[static_cast<int>(kind::count)] = {};
    std::map<DWORD, long> _codes;
    std::set<DWORD> _armed;
    DWORD _next_timer = 0;
    int _idle_slots = 0;
    static constexpr DWORD restart_timer = 0x7FFFFFFFu;
    long _timers_killed = 0;
};

bool env_flag_mode(const std::string& wanted, const char* name) {
    if (wanted.empty()) return true;
    return ("," + wanted + ",").find(std::string(",") + name + ",") != std::string::npos;
}

// The plain server's counts, kept over every mode.
plain_counts raw_server_counts;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool memory_checked = false;  // AddressSanitizer's quarantine keeps freed memory
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool memory_checked = false;
#else
constexpr bool memory_checked = true;
#endif
#else
constexpr bool memory_checked = true;
#endif

mode_figures soak_mode(engine_mode mode, const targets& where, int slots, int pool_size, double seconds,
                       const std::string& ca_file, unsigned seed) {
    mode_figures figures;
    figures.mode = mode_name(mode);
    if (ring_missing(mode)) {
        figures.skipped = "no io_uring ring can be made here";
        return figures;
    }
    give_back_memory();
    figures.fds_before = open_descriptors();
    figures.rss_before_kib = resident_kib();
    figures.objects_before = live_component_objects();

    auto* object = new CAsynFrame();
    auto host = std::make_unique<frame_host>(static_cast<IAsynFrame3*>(object), static_cast<IAsynFramePlugin*>(object),
                                             mode);
    host->settings().set("socket", "listen_backlog", std::uint32_t{4096});
    host->settings().set("connect_manager", "max_syn_count", std::uint32_t{1024});
    // The scheduler's ceiling (1000) for the frame's own clients.
    host->settings().set("connect_manager", "max_connection", std::uint32_t{1000});
    // Names go to dnsmasq only.
    host->settings().set_bool("dns/system_lookup", false);
    if (!ca_file.empty()) host->settings().set_text("ssl/ca_file", ca_file);
    IAsynFrame3* frame = static_cast<IAsynFrame3*>(object);
    if (host->start() != S_OK) {
        figures.violations.push_back("the frame did not start");
        object->Release();
        return figures;
    }
    figures.ran = true;
    auto* run = new soak_run(frame, where, slots, seed);
    host->on_dispatch([&] { run->start(); });
    host->run_until([] { return false; }, std::chrono::milliseconds(200));  // the listen completes
    host->on_dispatch([&] { run->start_clients(); });
    std::printf("[%s] running\n", figures.mode.c_str());

    // Threads of this program: frame messages, and plain peers.
    std::atomic<bool> stop{false};
    std::atomic<long> posted{0};
    plain_counts plain_client_counts;
    const long raw_before[3] = {raw_server_counts.connections.load(), raw_server_counts.resets.load(),
                                raw_server_counts.half_closes.load()};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&, t] {
            while (!stop) {
                // At most a thousand waiting: a sleep that returns at once (as
                // under wine) must not flood the queue.
                if (posted - run->messages_delivered < 1000 &&
                    frame->PostFrameMessage(run, static_cast<DWORD>(t), 0, 0) == S_OK)
                    ++posted;
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        });
    threads.emplace_back([&] { plain_clients(where.listener_port, stop, plain_client_counts, seed + 1); });
#if !defined(_WIN32)
    pool_counts pool;
    if (pool_size > 0)
        threads.emplace_back([&] { plain_pool(where.listener_port, pool_size, stop, pool, seed + 2); });
#else
    (void)pool_size;
#endif

    const auto begin = clock_type::now();
    const auto end = begin + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(seconds));
    figures.peak_rss_kib = resident_kib();
    figures.fds_peak = figures.fds_before;
    while (clock_type::now() < end) {
        host->run_until([] { return false; }, std::chrono::milliseconds(100));
        figures.peak_rss_kib = std::max(figures.peak_rss_kib, resident_kib());
        figures.fds_peak = std::max(figures.fds_peak, open_descriptors());
    }
    const long completions_at_end = run->completions.load();
    figures.seconds = std::chrono::duration<double>(clock_type::now() - begin).count();
    stop = true;
    std::printf("[%s] stopping: the plain peers first\n", figures.mode.c_str());
    for (std::thread& thread : threads) thread.join();
    std::printf("[%s] closing every socket\n", figures.mode.c_str());

    host->on_dispatch([&] { run->begin_stop(); });
    std::printf("[%s] waiting for %ld operations in flight\n", figures.mode.c_str(), run->in_flight_now.load());
    if (!host->run_until([&] { return run->in_flight_now.load() == 0; }, std::chrono::seconds(60)))
        figures.violations.push_back(std::to_string(run->in_flight_now.load()) +
                                     " operations never completed after every socket closed");
    std::printf("[%s] %ld in flight; letting go of the rest\n", figures.mode.c_str(), run->in_flight_now.load());
    host->on_dispatch([&] { run->finish(); });
    frame->UnregisterReceiver(run);  // cancels the messages still queued
    host->run_until([] { return false; }, std::chrono::milliseconds(100));
    figures.completions = completions_at_end;
    figures.peak_connections = run->peak_connections.load();

    const long posted_total = posted.load();
    if (run->messages_delivered + run->messages_canceled != posted_total)
        figures.violations.push_back("frame messages: " + std::to_string(posted_total) + " posted, " +
                                     std::to_string(run->messages_delivered.load()) + " delivered, " +
                                     std::to_string(run->messages_canceled.load()) + " canceled");
    if (run->timers_fired + run->timers_killed() != run->timers_armed)
        figures.violations.push_back("timers: " + std::to_string(run->timers_armed.load()) + " armed, " +
                                     std::to_string(run->timers_fired.load()) + " fired, " +
                                     std::to_string(run->timers_killed()) + " killed");
    for (const std::string& v : run->violations) figures.violations.push_back(v);

    std::printf("[%s] %.1f s: %ld completions (%.0f ops/s), %ld exchanges, peak %ld connections\n",
                figures.mode.c_str(), figures.seconds, figures.completions, figures.completions / figures.seconds,
                run->exchanges, figures.peak_connections);
    std::printf("[%s] clients by kind (started/failed to connect):", figures.mode.c_str());
    for (int k = 0; k < static_cast<int>(kind::server); ++k)
        std::printf(" %s %ld/%ld", kind_names[k], run->connects[k], run->connect_failures[k]);
    std::printf("\n[%s] client closed first %ld, server closed/reset/half-closed first %ld; plain clients %ld (reset %ld, "
                "half-closed %ld), plain server %ld (reset %ld, half-closed %ld)\n",
                figures.mode.c_str(), run->client_closed_first, run->server_closed_first,
                plain_client_counts.connections.load(), plain_client_counts.resets.load(),
                plain_client_counts.half_closes.load(), raw_server_counts.connections.load() - raw_before[0],
                raw_server_counts.resets.load() - raw_before[1], raw_server_counts.half_closes.load() - raw_before[2]);
#if !defined(_WIN32)
    std::printf("[%s] plain pool of %d: %ld connections (peak %ld at once), %ld exchanges, %ld resets, %ld "
                "half-closes, %ld closes, %ld closed first by the frame\n",
                figures.mode.c_str(), pool_size, pool.connections.load(), pool.peak.load(), pool.exchanges.load(),
                pool.resets.load(), pool.half_closes.load(), pool.closes.load(), pool.server_closed.load());
    if (pool.mismatches != 0)
        figures.violations.push_back(std::to_string(pool.mismatches.load()) + " echoes to the plain pool differ");
#endif
    std::printf("[%s] messages %ld posted from 2 threads, %ld delivered, %ld canceled; timers %ld armed, %ld fired, %ld "
                "killed\n",
                figures.mode.c_str(), posted_total, run->messages_delivered.load(), run->messages_canceled.load(),
                run->timers_armed.load(), run->timers_fired.load(), run->timers_killed());
    std::printf("[%s] completion codes:", figures.mode.c_str());
    for (const auto& [code, count] : run->codes()) std::printf(" %lu:%ld", static_cast<unsigned long>(code), count);
    std::printf("\n");

    run->Release();
    if (host->stop() != S_OK) figures.violations.push_back("Uninitialize failed");
    object->Release();
    host.reset();
    if (!wait_until([&] { return live_component_objects() == figures.objects_before; }, short_pause,
                    std::chrono::seconds(10)))
        figures.violations.push_back("live component objects: " + std::to_string(figures.objects_before) +
                                     " before, " + std::to_string(live_component_objects()) + " after");
    figures.objects_after = live_component_objects();
    // Sockets the kernel still finishes closing are not descriptors any more.
    wait_until([&] { return open_descriptors() <= figures.fds_before; }, short_pause, std::chrono::seconds(10));
    figures.fds_after = open_descriptors();
    if (figures.fds_after != figures.fds_before)
        figures.violations.push_back("descriptors: " + std::to_string(figures.fds_before) + " before, " +
                                     std::to_string(figures.fds_after) + " after");
    give_back_memory();
    figures.rss_after_kib = resident_kib();
    // Memory the allocator keeps for reuse and the first run's lasting
    // initialisation (OpenSSL, the resolver) may stay: 64 MiB of it.
    constexpr long rss_tolerance_kib = 64 * 1024;
    if (memory_checked && figures.rss_before_kib >= 0 &&
        figures.rss_after_kib > figures.rss_before_kib + rss_tolerance_kib)
        figures.violations.push_back("resident memory: " + std::to_string(figures.rss_before_kib) + " KiB before, " +
                                     std::to_string(figures.rss_after_kib) + " KiB after");
    return figures;
}

double env_number(const char* name, double fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    return std::atof(text);
}

}  // namespace

int main() {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    start_sockets();
    const double seconds = env_number("SOAK_SECONDS", 60);
    const int wanted = static_cast<int>(env_number("SOAK_CONNECTIONS", 10000));
    const char* modes_text = std::getenv("SOAK_MODES");
    const std::string modes = modes_text != nullptr ? modes_text : "";
    std::string reason;
    const int usable = usable_connections(wanted, reason);
#if defined(_WIN32)
    const int slots = std::min(usable, 960);  // no plain pool here
#else
    // The frame's own clients up to what its scheduler holds (1000
    // connections, SOCKS5 and TLS ones included), plain ones for the rest.
    const int slots = std::min(960, std::max(1, usable / 2));
#endif
    const int pool_size = usable - slots;
    std::printf("soak: %.0f s per mode, %d concurrent clients wanted, %d used (%d of the frame, %d plain)%s%s\n",
                seconds, wanted, usable, slots, pool_size, reason.empty() ? "" : ": ", reason.c_str());
    if (!memory_checked) std::printf("soak: resident memory not checked under AddressSanitizer (its quarantine)\n");
    const char* isolated = std::getenv("ASYNFRAME_ISOLATED_NETWORK");
    if (isolated == nullptr || std::string(isolated) != "1")
        std::printf("soak: not in a network namespace of its own (run it through `make soak`): no dnsmasq, dante or "
                    "nginx\n");
    [[maybe_unused]] const bool isolated_network = isolated != nullptr && std::string(isolated) == "1";

    targets where;
    if (const char* kinds = std::getenv("SOAK_KINDS"); kinds != nullptr && *kinds != '\0') {
        where.kinds = 0;
        for (int k = 0; k < static_cast<int>(kind::server); ++k)
            if (env_flag_mode(kinds, kind_names[k])) where.kinds |= 1u << k;
    }
    where.listener_port = [] {
        std::uint16_t port = 0;
        const sock_t probe = tcp_listener(port);
        close_sock(probe);
        return port;
    }();
    const sock_t raw_listener = tcp_listener(where.raw_port, 256);
    std::string ca_file;

#if !defined(_WIN32)
    // The far ends that are programs of their own: started once, before any
    // mode counts its descriptors.
    std::unique_ptr<dns_test::resolver_env> dns;
    std::unique_ptr<dns_test::dnsmasq_server> dnsmasq;
    std::unique_ptr<proxy_test::danted_server> dante;
    std::unique_ptr<tls_testing::nginx_server> nginx;
    const std::string folder = make_temp_folder("asynframe-soak");
    if (isolated_network) {
        if (dns_test::dnsmasq_server::installed()) {
            dns = std::make_unique<dns_test::resolver_env>();
            dnsmasq = std::make_unique<dns_test::dnsmasq_server>(dns->folder.path().string(), dns->port);
            if (dnsmasq->ok()) {
                dns->servers({"127.0.0.1"});
                where.names = true;
            }
        }
        if (proxy_test::danted_server::installed()) {
            const std::uint16_t port = tls_testing::free_port();
            dante = std::make_unique<proxy_test::danted_server>(folder, port, false);
            if (dante->ok()) where.socks_port = port;
        }
        if (tls_testing::nginx_installed()) {
            if (const tls_testing::pki* certificates = tls_testing::test_pki()) {
                nginx = std::make_unique<tls_testing::nginx_server>(certificates->leaf_cert, certificates->leaf_key,
                                                                    "TLSv1.3", where.listener_port);
                if (nginx->started()) {
                    where.tls_port = nginx->port();
                    ca_file = certificates->ca;
                }
            }
        }
    }
#endif
    std::printf("soak: connects by name %s, SOCKS5 %s, TLS %s\n", where.names ? "through dnsmasq" : "off (no dnsmasq)",
                where.socks_port != 0 ? "through dante" : "off (no dante)",
                where.tls_port != 0 ? "through nginx" : "off (no nginx)");

    std::atomic<bool> stop_plain{false};
    std::thread plain([&] { plain_server(raw_listener, stop_plain, raw_server_counts, 7); });

    std::vector<mode_figures> all;
    unsigned seed = 20261210;
    for (const engine_mode mode : {engine_mode::port, engine_mode::alertable, engine_mode::ui_thread}) {
        if (!env_flag_mode(modes, mode_name(mode))) continue;
        all.push_back(soak_mode(mode, where, slots, pool_size, seconds, ca_file, seed++));
    }
    stop_plain = true;
    plain.join();
    close_sock(raw_listener);

    int failures = 0;
    std::printf("\nsoak summary (%d concurrent clients per mode: %d of the frame, %d plain; peak conns counts the "
                "frame's connection objects, accepted ones included):\n",
                usable, slots, pool_size);
    std::printf("%-22s %10s %12s %10s %14s %12s %12s %10s\n", "mode", "ops/s", "peak conns", "peak RSS",
                "RSS before/after", "fds before", "fds peak", "fds after");
    for (const mode_figures& f : all) {
        if (!f.ran) {
            std::printf("%-22s skipped: %s\n", f.mode.c_str(), f.skipped.c_str());
            continue;
        }
        std::printf("%-22s %10.0f %12ld %7ld MiB %6ld/%-6ld MiB %12ld %12ld %10ld\n", f.mode.c_str(),
                    f.completions / f.seconds, f.peak_connections, f.peak_rss_kib / 1024, f.rss_before_kib / 1024,
                    f.rss_after_kib / 1024, f.fds_before, f.fds_peak, f.fds_after);
        std::printf("%-22s live component objects %ld before, %ld after\n", "", f.objects_before, f.objects_after);
        for (const std::string& v : f.violations) std::printf("  FAILED %s: %s\n", f.mode.c_str(), v.c_str());
        if (!f.violations.empty()) ++failures;
    }
    const int ran = static_cast<int>(std::count_if(all.begin(), all.end(), [](const mode_figures& f) { return f.ran; }));
    std::printf("soak: %d passed, %d failed\n", ran - failures, failures);
    return failures == 0 && ran > 0 ? 0 : 1;
}
