// The process-wide resolver thread: one UDP socket for every query, replies
// decoded and matched to the queries in flight, and a sweep once a second
// that drives time-outs and retries.
#pragma once

#include <cstdint>
#include <string>

#include "platform/thread.h"

namespace asynframe {

class request_list;

class resolver : public thread {
public:
    // Bytes of a query buffer and of a receive buffer.
    static constexpr std::uint32_t query_buffer = 512;
    static constexpr std::uint32_t receive_buffer = 3072;

    explicit resolver(request_list& list) noexcept : _list(list) {}
    ~resolver() override;

    // With the request-list lock held. The bytes sent (> 0); -1 for a socket
    // error; -2 when the query cannot be sent at all (a bad server address,
    // a send that would block, a name that cannot be encoded).
    int send_query(const std::string& name, std::int32_t id, const std::string& server);
    // Socket open: queries can go out and the sweep runs.
    bool ready() const noexcept { return _socket >= 0; }

protected:
    void run() override;

private:
    void reopen();
    void close_socket() noexcept;
    // Drains every queued datagram.
    void receive();
    void handle_reply(const unsigned char* data, std::uint32_t length, std::uint32_t source, std::uint16_t port);

    request_list& _list;
    int _socket = -1;
    std::int32_t _timer_period = 0;  // seconds between sweeps
    std::uint32_t _last_sweep = 0;
};

}  // namespace asynframe
