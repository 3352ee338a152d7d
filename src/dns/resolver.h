// The process-wide resolver thread: one UDP socket for every query, replies
// decoded and matched to the queries in flight, and a sweep once a second
// that drives time-outs and retries.
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

    // With the request-list lock held. The query for the family's addresses
    // (4: type A, 6: type AAAA). The bytes sent (> 0); -1 for a socket error;
    // -2 when the query cannot be sent at all (a bad server address, a send
    // that would block, a name that cannot be encoded).
    int send_query(const std::string& name, std::int32_t id, const std::string& server, int family = 4);
    // Socket open: queries can go out and the sweep runs.
    bool ready() const noexcept { return _socket >= 0; }
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

    void reopen();
    void close_socket() noexcept;
    // Drains every queued datagram.
    void receive();
    void handle_reply(const unsigned char* data, std::uint32_t length, std::uint32_t source, std::uint16_t port,
                      bool over_tcp);
    void start_tcp(const std::string& name, int family, const std::string& server, std::uint32_t address);
    // Moves every exchange on as far as it goes without blocking; ends those
    // that are over (answered, failed, out of time or no longer wanted).
    void run_tcp(bool drop_unwanted);
    tcp_step step_tcp(tcp_exchange& exchange);
    void close_tcp() noexcept;

    request_list& _list;
    platform::native_handle _socket = platform::invalid_handle;
    std::int32_t _timer_period = 0;  // seconds between sweeps
    std::uint32_t _last_sweep = 0;
    std::vector<tcp_exchange> _tcp;
    std::atomic<std::size_t> _tcp_count{0};
};

}  // namespace asynframe
