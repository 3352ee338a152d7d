// One HTTP/1.1 exchange over one connection made by the frame: the socket
// stack (direct or through a SOCKS5 proxy, rate-limited, TLS for https), the
// request, and the answer's body handed on with its place in the output file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/host.h"
#include "common/http.h"

namespace asynframe::tools {

// What every connection of a download shares.
struct connection_settings {
    std::optional<url> proxy;     // socks5://[user:pass@]host:port
    ISpeedLimit* limit = nullptr;  // parent of each connection's limiter, or null
};

// Why an exchange ended; exit code and one-line text.
struct outcome {
    int code = exit_ok;
    std::string text;
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
    // Stops at once; `on_done` is not called.
    void cancel();

    const url& target() const { return _target; }

private:
    void open_socket();
    void send_request();
    void receive();
    void take(DWORD bytes);
    void write_pending();
    void write_rest();
    void end(const outcome& result);
    outcome connect_failure(DWORD error) const;

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
    std::unique_ptr<operation> _net;
    std::unique_ptr<operation> _disk;
    message_parser _answer{message_parser::kind::response};
    bool _stopped = false;
    // Body placement.
    IAsynFile* _file = nullptr;
    std::uint64_t _file_position = 0;
    std::uint64_t _body_limit = 0;
    std::uint64_t _body_seen = 0;
    DWORD _fill = 0;  // bytes of the disk buffer waiting to be written
    DWORD _written_of_fill = 0;
    bool _writing = false;
    std::optional<DWORD> _held_read;  // a receive that came in while writing
    bool _body_overflow = false;
};

}  // namespace asynframe::tools
