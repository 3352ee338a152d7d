// Memory per idle connection. A client process opens `connections` TCP
// connections to a server and sends nothing; the server holds each one with a
// read pending. The figure is the server process's resident set after the
// connections less its resident set before them, over their number
// (`bytes_per_connection`, lower is better; the ratios take it inverted).
//
//   idle_connections/<library>: the library alone, a listener accepting and
//     holding each socket with a read of `read_buffer` bytes pending: ours
//     (io_uring and epoll), libuv, Asio (epoll). Every library gets the same
//     buffer per connection.
//   idle_server/<program>: afserve (io_uring and epoll) and nginx (one
//     worker), each set for that many connections.
//
// Every server is a process of its own, started afresh for each repetition,
// so no allocator keeps what an earlier case freed. Two descriptors a
// connection are needed, one in each process: the soft limit on descriptors
// is raised to the hard one, and the cases are skipped when that is too low.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <asio.hpp>
#pragma GCC diagnostic pop
#include <uv.h>

#include "../bench_main.h"
#include "../common/our_engine.h"
#include "socket/socket_objects.h"

namespace {

using namespace asynframe_bench;
using clock_type = std::chrono::steady_clock;

constexpr long connections = 10000;
// The buffer of the read each connection holds pending, the same for every library.
constexpr std::size_t read_buffer = 64;
constexpr int listen_backlog = 1024;
// Descriptors besides the connections' own, in each process.
constexpr long spare_descriptors = 256;

// ---- processes, from outside ------------------------------------------------------------------

std::vector<pid_t> process_tree(pid_t root) {
    std::vector<pid_t> tree{root};
    for (std::size_t at = 0; at < tree.size(); ++at) {
        std::ifstream children("/proc/" + std::to_string(tree[at]) + "/task/" + std::to_string(tree[at]) +
                               "/children");
        pid_t child;
        while (children >> child) tree.push_back(child);
    }
    return tree;
}

// The resident bytes of a process and its descendants.
long resident_bytes(pid_t root) {
    long total = 0;
    for (const pid_t pid : process_tree(root)) {
        std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
        long size = 0, resident = 0;
        if (statm >> size >> resident) total += resident * ::sysconf(_SC_PAGESIZE);
    }
    return total;
}

long open_descriptors(pid_t root) {
    long total = 0;
    for (const pid_t pid : process_tree(root)) {
        DIR* folder = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
        if (folder == nullptr) continue;
        while (const dirent* entry = ::readdir(folder))
            if (entry->d_name[0] != '.') ++total;
        ::closedir(folder);
    }
    return total;
}

std::uint16_t free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool answers(std::uint16_t port) {
    const auto limit = clock_type::now() + std::chrono::seconds(10);
    while (clock_type::now() < limit) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = loopback(port);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        const linger abort_close{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
        ::close(fd);
        if (ok) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// A server process: a function run in a child, or a program.
class server_process {
public:
    explicit server_process(const std::function<void()>& body) {
        _pid = ::fork();
        if (_pid == 0) {
            quiet();
            body();
            ::_exit(0);
        }
    }
    explicit server_process(const std::vector<std::string>& args) {
        _pid = ::fork();
        if (_pid == 0) {
            quiet();
            std::vector<char*> argv;
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~server_process() {
        if (_pid <= 0) return;
        // The whole tree: nginx's worker goes with its master.
        for (const pid_t pid : process_tree(_pid)) ::kill(pid, SIGKILL);
        ::waitpid(_pid, nullptr, 0);
    }
    server_process(const server_process&) = delete;
    server_process& operator=(const server_process&) = delete;
    pid_t pid() const { return _pid; }

private:
    static void quiet() {
        // BENCH_MEMORY_VERBOSE=1 leaves the servers' own words on the terminal.
        if (std::getenv("BENCH_MEMORY_VERBOSE") != nullptr) return;
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 1);
        ::dup2(null, 2);
    }
    pid_t _pid = -1;
};

// The connecting side, in a process of its own: opens the connections one
// after the other, `batch` at a time, says so after each batch and waits to
// be told to go on (the server has taken them: a connection left in a full
// accept queue may be dropped by the server while the client counts it), then
// holds them all until told to go.
constexpr long batch = 500;

class client_process {
public:
    client_process(std::uint16_t port, long count) {
        int ready[2], go[2];
        if (::pipe(ready) != 0 || ::pipe(go) != 0) give_up("making pipes");
        _pid = ::fork();
        if (_pid == 0) {
            ::close(ready[0]);
            ::close(go[1]);
            std::vector<int> held;
            held.reserve(static_cast<std::size_t>(count));
            char verdict = 'y';
            for (long i = 0; i < count && verdict == 'y'; ++i) {
                const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in address = loopback(port);
                if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                    verdict = 'n';
                    break;
                }
                held.push_back(fd);
                if ((i + 1) % batch == 0 && i + 1 < count) {
                    char next = 0;
                    if (::write(ready[1], &verdict, 1) != 1 || ::read(go[0], &next, 1) != 1) verdict = 'n';
                }
            }
            (void)!::write(ready[1], &verdict, 1);
            char ignored;
            (void)!::read(go[0], &ignored, 1);
            // Resets: no TIME_WAIT entries are left for the next case.
            const linger abort_close{1, 0};
            for (const int fd : held) {
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
                ::close(fd);
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(go[0]);
        _ready = ready[0];
        _go = go[1];
    }
    ~client_process() {
        ::close(_go);
        ::close(_ready);
        ::waitpid(_pid, nullptr, 0);
    }
    client_process(const client_process&) = delete;
    client_process& operator=(const client_process&) = delete;

    // True once the next batch of connections is made.
    bool connected() {
        pollfd watch{_ready, POLLIN, 0};
        if (::poll(&watch, 1, 60000) != 1) return false;
        char verdict = 'n';
        return ::read(_ready, &verdict, 1) == 1 && verdict == 'y';
    }
    // Lets the client make its next batch.
    void proceed() { (void)!::write(_go, "g", 1); }

private:
    pid_t _pid = -1;
    int _ready = -1, _go = -1;
};

// Waits until the server holds `count` more descriptors than at `base`.
bool taken(pid_t server, long base, long count) {
    const auto limit = clock_type::now() + std::chrono::seconds(60);
    while (open_descriptors(server) < base + count) {
        if (clock_type::now() > limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Once the server holds `count` more descriptors than at `base`, waits for
// its resident set to stop growing; the resident bytes then.
long settled_resident(pid_t server, long base, long count) {
    const auto limit = clock_type::now() + std::chrono::seconds(60);
    if (!taken(server, base, count)) return -1;
    long last = resident_bytes(server);
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const long now = resident_bytes(server);
        if (now == last || clock_type::now() > limit) return now;
        last = now;
    }
}

// The soft limit raised to the hard one; false (with the reason) when that
// cannot hold a side's connections.
bool enough_descriptors(std::string& why) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        why = "cannot read the descriptor limit";
        return false;
    }
    const rlim_t needed = static_cast<rlim_t>(connections + spare_descriptors);
    if (limit.rlim_cur < needed) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur < needed) {
        why = "RLIMIT_NOFILE's hard limit is " + std::to_string(limit.rlim_max) + "; " + std::to_string(needed) +
              " descriptors a process are needed for " + std::to_string(connections) +
              " connections (raise it: ulimit -Hn, or LimitNOFILE=)";
        return false;
    }
    return true;
}

// One measurement an iteration: a fresh server, the connections, the growth.
void measure(benchmark::State& state, const std::function<std::unique_ptr<server_process>(std::uint16_t)>& start) {
    std::string why;
    if (!enough_descriptors(why)) {
        state.SkipWithError(why.c_str());
        return;
    }
    double total = 0;
    long runs = 0;
    for (auto _ : state) {
        const std::uint16_t port = free_port();
        std::unique_ptr<server_process> server = start(port);
        if (!answers(port)) {
            state.SkipWithError("the server did not start");
            break;
        }
        // The probe's connection is gone before the baseline is taken.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const long base_descriptors = open_descriptors(server->pid());
        const long before = resident_bytes(server->pid());
        client_process clients(port, connections);
        bool made = true;
        for (long done = batch; made && done < connections; done += batch) {
            made = clients.connected() && taken(server->pid(), base_descriptors, done);
            if (made) clients.proceed();
        }
        if (!made || !clients.connected()) {
            state.SkipWithError("the connections could not all be made");
            break;
        }
        const long after = settled_resident(server->pid(), base_descriptors, connections);
        if (after < 0) {
            state.SkipWithError("the server did not take every connection");
            break;
        }
        total += static_cast<double>(after - before) / static_cast<double>(connections);
        ++runs;
    }
    if (runs > 0) state.counters["bytes_per_connection"] = total / static_cast<double>(runs);
    state.counters["connections"] = static_cast<double>(connections);
}

// ---- the libraries, each in a child process ------------------------------------------------

[[noreturn]] void hold_forever() {
    for (;;) ::pause();
}

void ours_server(std::uint16_t port, bool readiness) {
    using namespace asynframe;
    static bench_settings settings;
    settings.set("socket", "listen_backlog", listen_backlog);
    auto* engine = new our_engine(readiness, with_acceptor, &settings);
    auto* sink = new callback_sink;
    auto* listener = new CAsynTcpListener(engine->services());
    // Tags: the accepts 2, the reads 1 (-1 would mark an operation as busy).
    IAsynIoOperation* listen_op = our_operation(*engine, sink, 0, 2);
    std::vector<IAsynIoOperation*> accept_ops;
    for (int i = 0; i < 16; ++i) accept_ops.push_back(our_operation(*engine, sink, 0, 2));
    // Each connection: its socket and one read pending on an operation of its own.
    sink->on_complete = [engine, sink, listener, listen_op](IAsynIoOperation* op, DWORD error, DWORD) {
        LONG tag = 0;
        op->GetTag(&tag);
        if (op == listen_op || tag != 2) return;  // the listen, or a read ending: nothing to do
        IUnknown* connection = nullptr;
        op->GetResultObject(&connection);
        op->SetResultObject(nullptr);
        if (error == 0 && connection != nullptr) {
            IAsynTcpSocket* socket = nullptr;
            connection->QueryInterface(IID_IAsynTcpSocket, reinterpret_cast<void**>(&socket));
            if (socket != nullptr) {
                IAsynIoOperation* read = our_operation(*engine, sink, static_cast<DWORD>(read_buffer), 1);
                socket->Read(read);
            }
        }
        if (connection != nullptr) connection->Release();
        listener->Accept(op);
    };
    on_dispatch(*engine, [&] {
        listener->ListenOn(htonl(INADDR_LOOPBACK), port, listen_op);
        for (IAsynIoOperation* op : accept_ops) listener->Accept(op);
    });
    hold_forever();
}

void libuv_server(std::uint16_t port) {
    struct held {
        uv_tcp_t handle;
        char buffer[read_buffer];
    };
    auto* loop = new uv_loop_t;
    uv_loop_init(loop);
    auto* listener = new uv_tcp_t;
    uv_tcp_init(loop, listener);
    sockaddr_in address = loopback(port);
    uv_tcp_bind(listener, reinterpret_cast<sockaddr*>(&address), 0);
    uv_listen(reinterpret_cast<uv_stream_t*>(listener), listen_backlog, [](uv_stream_t* server, int status) {
        if (status < 0) return;
        auto* connection = new held;
        uv_tcp_init(server->loop, &connection->handle);
        connection->handle.data = connection;
        if (uv_accept(server, reinterpret_cast<uv_stream_t*>(&connection->handle)) != 0) return;
        uv_read_start(
            reinterpret_cast<uv_stream_t*>(&connection->handle),
            [](uv_handle_t* handle, std::size_t, uv_buf_t* buffer) {
                auto* owner = static_cast<held*>(handle->data);
                *buffer = uv_buf_init(owner->buffer, sizeof owner->buffer);
            },
            [](uv_stream_t*, ssize_t, const uv_buf_t*) {});
    });
    uv_run(loop, UV_RUN_DEFAULT);
    hold_forever();
}

void asio_server(std::uint16_t port) {
    using asio::ip::tcp;
    struct held : std::enable_shared_from_this<held> {
        explicit held(tcp::socket s) : socket(std::move(s)) {}
        tcp::socket socket;
        char buffer[read_buffer];
        void read() {
            socket.async_read_some(asio::buffer(buffer), [self = shared_from_this()](const asio::error_code& error,
                                                                                      std::size_t) {
                if (!error) self->read();
            });
        }
    };
    asio::io_context io;
    tcp::acceptor acceptor(io);
    const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(listen_backlog);
    std::function<void()> accept = [&] {
        acceptor.async_accept([&](const asio::error_code& error, tcp::socket socket) {
            if (!error) std::make_shared<held>(std::move(socket))->read();
            accept();
        });
    };
    accept();
    io.run();
    hold_forever();
}

// ---- the programs ------------------------------------------------------------------------------

struct scratch {
    std::string folder;
    scratch() {
        char pattern[] = "/tmp/asynframe-bench-memory-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) give_up("making a folder");
        folder = pattern;
        std::filesystem::create_directories(folder + "/www");
        std::ofstream(folder + "/www/small.bin", std::ios::binary) << std::string(4096, 's');
    }
    ~scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
};

scratch& the_scratch() {
    static scratch instance;
    return instance;
}

std::unique_ptr<server_process> afserve(std::uint16_t port, bool readiness) {
    std::vector<std::string> args;
    if (readiness) args = {"/usr/bin/env", "ASYNFRAME_NO_IO_URING=1"};
    for (const std::string& a : {std::string(AFSERVE_PATH), the_scratch().folder + "/www", std::string("--bind"),
                                 std::string("127.0.0.1"), std::string("--port"), std::to_string(port),
                                 std::string("-q"), std::string("--max-connections"),
                                 std::to_string(connections + spare_descriptors)})
        args.push_back(a);
    return std::make_unique<server_process>(args);
}

// nginx closes idle connections once fewer than a sixteenth of its
// `worker_connections` are free: it gets twice as many as it holds. It lays
// out their records when it starts, so they are in its resident set before.
std::unique_ptr<server_process> nginx(std::uint16_t port) {
    const std::string folder = the_scratch().folder;
    const std::string config = folder + "/nginx-" + std::to_string(port) + ".conf";
    std::ofstream(config) << "daemon off;\nworker_processes 1;\nworker_rlimit_nofile "
                          << connections + spare_descriptors << ";\npid " << folder << "/nginx.pid;\nerror_log "
                          << folder << "/nginx.log;\nevents { worker_connections " << 2 * connections << "; }\nhttp {\n  access_log off;\n"
                          << "  client_body_temp_path " << folder << ";\n  proxy_temp_path " << folder << ";\n"
                          << "  fastcgi_temp_path " << folder << ";\n  uwsgi_temp_path " << folder << ";\n"
                          << "  scgi_temp_path " << folder << ";\n  sendfile on;\n"
                          << "  server { listen 127.0.0.1:" << port << " backlog=" << listen_backlog << "; root "
                          << folder << "/www; }\n}\n";
    return std::make_unique<server_process>(
        std::vector<std::string>{"/usr/sbin/nginx", "-p", folder, "-c", config});
}

void register_case(const char* name, std::function<std::unique_ptr<server_process>(std::uint16_t)> start) {
    benchmark::RegisterBenchmark(name, [start](benchmark::State& state) { measure(state, start); })
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
}

[[maybe_unused]] const bool registered = [] {
    register_case("idle_connections/ours", [](std::uint16_t port) {
        return std::make_unique<server_process>([port] { ours_server(port, false); });
    });
    register_case("idle_connections/ours_epoll", [](std::uint16_t port) {
        return std::make_unique<server_process>([port] { ours_server(port, true); });
    });
    register_case("idle_connections/libuv",
                  [](std::uint16_t port) { return std::make_unique<server_process>([port] { libuv_server(port); }); });
    register_case("idle_connections/asio",
                  [](std::uint16_t port) { return std::make_unique<server_process>([port] { asio_server(port); }); });
    register_case("idle_server/ours", [](std::uint16_t port) { return afserve(port, false); });
    register_case("idle_server/ours_epoll", [](std::uint16_t port) { return afserve(port, true); });
    register_case("idle_server/nginx", [](std::uint16_t port) { return nginx(port); });
    return true;
}();

}  // namespace

ASYNFRAME_BENCH_MAIN(BENCH_BACKENDS)
