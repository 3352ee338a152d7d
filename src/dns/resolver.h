// The process-wide resolver thread: one UDP socket per DNS server, connected
// to it, for every query to that server; replies decoded and matched to the
// queries in flight, and a sweep once a second that drives time-outs and
// retries. A connected socket hears the system's word on its sends: a server
// whose port is closed (ICMP port unreachable) or that has no route to it
// refuses there and then, instead of being waited for as a silent one.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/native.h"
#include "platform/thread.h"

namespace asynframe {

class request_list;

class resolver : public thread {
public:
    // Bytes of a query buffer and of a receive buffer.
    static constexpr std::uint32_t query_buffer = 512;
    static constexpr std::uint32_t receive_buffer = 3072;
    // Questions asked again over TCP at once; a truncated reply beyond them
    // counts as a TCP exchange that failed.
    static constexpr std::size_t max_tcp_exchanges = 16;

    // Not noexcept: the thread base makes its stop event, which can fail
    // (no descriptor left) and then throws to start_dns_service.
    explicit resolver(request_list& list) : _list(list) {}
    ~resolver() override;

    // Sockets kept at once, one per server; past it the one used longest ago
    // is closed. Far more servers than a system is ever given.
    static constexpr std::size_t max_server_sockets = 32;
    // A server's socket is closed once no query has gone to it for this long
    // (ms): longer than a query lives, so no reply it may bring is lost.
    static constexpr std::uint32_t idle_socket_limit = 64000;
    // What send_query gives when the server refused the query at once: no
    // route to it, or a refusal its socket had already heard of.
    static constexpr int refused_now = -3;

    // With the request-list lock held. The query for the family's addresses
    // (4: type A, 6: type AAAA). The bytes sent (> 0); -1 for a socket error;
    // -2 when the query cannot be sent at all (a bad server address, a send
    // that would block, a name that cannot be encoded); refused_now.
    int send_query(const std::string& name, std::int32_t id, const std::string& server, int family = 4);
    // Opened: queries can go out and the sweep runs.
    bool ready() const noexcept { return _ready; }
    // Server sockets open now.
    std::size_t server_sockets() const noexcept { return _server_count.load(std::memory_order_acquire); }
    // TCP exchanges under way.
    std::size_t tcp_exchanges() const noexcept { return _tcp_count.load(std::memory_order_acquire); }

protected:
    void run() override;
    const char* thread_name() const noexcept override { return "af-resolver"; }

private:
    // A question asked again over TCP, with its two-byte length prefix, after
    // a reply that had the TC bit set.
    struct tcp_exchange {
        std::string name;  // the in-flight entry's key
        int family = 4;
        std::string server;
        std::uint32_t address = 0;  // host order
        std::int32_t id = 0;
        platform::native_handle fd = platform::invalid_handle;
        bool connected = false;
        std::uint32_t deadline = 0;  // tick at which the try it belongs to ends
        std::vector<unsigned char> out;
        std::size_t written = 0;
        std::vector<unsigned char> in;
    };
    enum class tcp_step { waiting, done, failed };

    // One DNS server's socket, connected to its address and port.
    struct server_socket {
        std::uint32_t address = 0;  // network order
        std::uint16_t port = 0;     // host order
        platform::native_handle fd = platform::invalid_handle;
        std::uint32_t last_send = 0;  // tick
    };

    void reopen();
    // Closes the sockets evicted since the last wait (list lock held).
    void close_retired() noexcept;
    void close_sockets() noexcept;
    // The socket of a server, made on first use; null with the error when it
    // cannot be made or connected.
    server_socket* socket_for(std::uint32_t address, std::uint16_t port, std::uint32_t& error);
    // Closes the sockets no query has used for idle_socket_limit.
    void close_idle_sockets() noexcept;
    // Drains every datagram queued on the server's socket at `index`.
    void receive(std::size_t index);
    void handle_reply(const unsigned char* data, std::uint32_t length, std::uint32_t source, std::uint16_t port,
                      bool over_tcp);
    void start_tcp(const std::string& name, int family, const std::string& server, std::uint32_t address);
    // Moves every exchange on as far as it goes without blocking; ends those
    // that are over (answered, failed, out of time or no longer wanted).
    void run_tcp(bool drop_unwanted);
    tcp_step step_tcp(tcp_exchange& exchange);
    void close_tcp() noexcept;

    request_list& _list;
    bool _ready = false;
    std::vector<server_socket> _servers;
    // Sockets evicted to make room, closed by this thread once its wait is
    // over: another thread closing one it waits on would fail the wait.
    std::vector<platform::native_handle> _retired;
    std::atomic<std::size_t> _server_count{0};
    std::int32_t _timer_period = 0;  // seconds between sweeps
    std::uint32_t _last_sweep = 0;
    std::vector<tcp_exchange> _tcp;
    std::atomic<std::size_t> _tcp_count{0};
};

}  // namespace asynframe
