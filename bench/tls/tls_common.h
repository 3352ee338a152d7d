// What every library's TLS cases share: the amount moved per iteration, and
// the one OpenSSL server both clients talk to, which sends without end
// (downloads) or takes everything it is sent (uploads).
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "../common/bench_support.h"

namespace tls_bench {

using asynframe_bench::batch_signal;
using asynframe_bench::give_up;
using asynframe_bench::wait_deadline;

// Bytes moved per iteration over a connection made before the first.
constexpr std::uint32_t transfer_size = 16 * 1024 * 1024;
constexpr double min_time = 2.0;

// download and upload: bulk transfers over one connection made before the
// first iteration; handshake: one whole connection per iteration (TCP
// connect, TLS handshake, a one-byte request and its one-byte answer, close).
enum class direction { download, upload, handshake };

// A TLS 1.3 server on 127.0.0.1 with a self-signed certificate made at start;
// one thread per connection for transfers, the connections one after the
// other on its accepting thread for handshakes (each read until the client
// goes). It hands out session tickets as OpenSSL does by default.
class bulk_server {
public:
    explicit bulk_server(direction what);
    ~bulk_server();
    bulk_server(const bulk_server&) = delete;
    bulk_server& operator=(const bulk_server&) = delete;
    std::uint16_t port() const { return _port; }

private:
    void serve(int fd);

    direction _what;
    void* _context = nullptr;  // SSL_CTX
    int _listener = -1;
    std::uint16_t _port = 0;
    std::atomic<bool> _running{true};
    std::thread _acceptor;
    std::vector<std::thread> _connections;
};

inline void register_case(const char* name, void (*function)(benchmark::State&)) {
    benchmark::RegisterBenchmark(name, function)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(min_time);
}

}  // namespace tls_bench
