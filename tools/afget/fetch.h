// One HTTP/1.1 exchange over one connection made by the frame: the socket
// stack (direct or through a SOCKS5 proxy, rate-limited, TLS for https), the
// request, and the answer's body handed on with its place in the output file.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/host.h"
#include "common/http.h"

namespace asynframe::tools {

// What every connection of a download shares.
struct connection_settings {
    std::optional<url> proxy;     // socks5://[user:pass@]host:port
    ISpeedLimit* limit = nullptr;  // parent of each connection's limiter, or null
    // Connect (with the proxy and TLS handshakes) and silence on a connection
    // that has one: past these an exchange ends as timed out.
    std::chrono::milliseconds connect_timeout{60000};
    std::chrono::milliseconds idle_timeout{60000};
};

// Why an exchange ended; exit code and one-line text.
struct outcome {
    int code = exit_ok;
    std::string text;
    // Worth another attempt: a connection that failed, broke or went quiet.
    bool retry = false;
    DWORD error = 0;  // the completion's code when one caused it
    bool ok() const { return code == exit_ok; }
};

class fetch {
public:
    // Called once the answer's head is in; false stops the exchange (the
    // caller then finishes it through `done`).
    using head_check = std::function<bool(const message_parser& answer)>;
    // Body bytes, already written at their position of `file`.
    using progress = std::function<void(std::uint64_t bytes)>;
    using finished = std::function<void(const outcome& result)>;

    fetch(host& owner, const connection_settings& settings, url target);
    ~fetch();

    // Sends `method` for the target with an optional byte range (first, last;
    // last 0xFFFF... for "to the end"). With `file` set, body bytes are written
    // there from `file_position` on, at most `limit` of them.
    void start(const std::string& method, std::optional<std::pair<std::uint64_t, std::uint64_t>> range,
               head_check on_head, finished on_done);
    void write_body_to(IAsynFile* file, std::uint64_t file_position, std::uint64_t limit, progress on_progress);
    // Body bytes go to `sink` as they arrive instead of a file (standard
    // output); a false return stops the exchange with a write failure.
    void write_body_to(std::function<bool(const char* data, std::size_t size)> sink, progress on_progress);
    // The first `skip` body bytes are dropped (a whole answer to a range
    // request), and the exchange ends well once `limit` bytes are written.
    void take_window(std::uint64_t skip);
    // More request header lines, each ending in CRLF.
    void add_headers(std::string lines) { _extra_headers = std::move(lines); }
    // Ends the exchange as timed out when its connect or its silence has
    // lasted too long.
    void check_time(std::chrono::steady_clock::time_point now);
    // Stops at once; `on_done` is not called.
    void cancel();

    const url& target() const { return _target; }

private:
    void open_socket();
    void send_request();
    void receive();
    void take(DWORD bytes);
    // After bytes were taken or written: ends the exchange, writes what is
    // queued and receives more, as the answer and the buffers allow.
    void settle();
    // A buffer to receive into: a free one, a new one below the bound, or null.
    std::unique_ptr<operation> free_buffer();
    void write_rest();
    void end(const outcome& result);
    outcome connect_failure(DWORD error) const;
    outcome classify_connect_failure(DWORD error) const;
    // Why the TLS socket failed, in the TLS library's words; empty when unknown.
    std::string tls_failure_text() const;
    outcome broken(const std::string& text, DWORD error) const;
    void check_head();

    host& _host;
    const connection_settings& _settings;
    url _target;
    std::string _request;
    bool _head_only = false;
    head_check _on_head;
    finished _on_done;
    progress _on_progress;
    ref<IAsynTcpSocket> _socket;
    ref<ISpeedLimit> _own_limit;
    // Receive buffers: `_net` receives (and carries the connect and the
    // request); each one filled with body bytes waits in `_to_write` and is
    // written to the file straight from where it was received (the front one
    // while `_writing`), then freed. A second buffer is made at the first
    // body, more only while the file lags behind the network.
    struct filled {
        std::unique_ptr<operation> buffer;
        DWORD start = 0;   // where the body bytes begin in it
        DWORD length = 0;  // how many
    };
    std::unique_ptr<operation> _net;
    std::deque<filled> _to_write;
    std::vector<std::unique_ptr<operation>> _free;
    std::size_t _buffers = 0;  // made so far
    bool _receiving = false;
    message_parser _answer{message_parser::kind::response};
    bool _stopped = false;
    // Body placement.
    IAsynFile* _file = nullptr;
    std::uint64_t _file_position = 0;
    std::uint64_t _body_limit = 0;
    std::uint64_t _body_seen = 0;
    DWORD _fill = 0;        // body bytes the parser placed in `_net`
    DWORD _fill_start = 0;  // where they begin in it
    DWORD _written_of_front = 0;
    bool _writing = false;
    bool _body_overflow = false;
    std::string _extra_headers;
    std::function<bool(const char*, std::size_t)> _sink;
    std::uint64_t _skip = 0;
    bool _window = false;  // stop well at the limit
    bool _enough = false;
    bool _sink_failed = false;
    bool _connected = false;
    bool _head_checked = false;
    bool _head_refused = false;
    std::chrono::steady_clock::time_point _began, _last_activity;
};

}  // namespace asynframe::tools
