// afserve DIR [options]: serves the files under DIR over HTTP/1.1 (or HTTPS)
// on the frame's TCP listener, reading them with the frame's async files.
// GET and HEAD, conditional requests, one byte range per request, keep-alive.
#include <arpa/inet.h>
#include <http_parser.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "afserve/cache.h"
#include "afserve/files.h"
#include "afserve/request.h"
#include "afserve/stream.h"
#include "afserve/tls_server.h"
#include "common/command_line.h"
#include "common/host.h"
#include "common/http.h"

using namespace asynframe;
using namespace asynframe::tools;

namespace {

// A connection waits for its next request with a small receive buffer, room
// for the head of a plain GET (an idle connection holds no more); a read that
// fills it is followed by reads into a large one until the head is in, and
// the small one comes back when the connection next waits.
constexpr DWORD receive_small = 256;
constexpr DWORD receive_large = 16 * 1024;
constexpr DWORD send_size = 256 * 1024;
// Longest request head; a longer one is answered 431 and the connection closed.
constexpr std::size_t head_limit = 64 * 1024;
// How often idle connections, slow heads and a paused listener are looked at.
constexpr DWORD housekeeping_ms = 250;
// How long accepting rests once the process has no descriptor left.
constexpr auto descriptor_pause = std::chrono::milliseconds(500);
// The accept errors that say the process (or the system) ran out of
// descriptors or buffers: retrying at once only fails again.
constexpr DWORD too_many_open_files = 10024;
constexpr DWORD no_buffer_space = 10055;
// Accepts kept in flight at once. One at a time took one connection per turn
// of the dispatch loop: under a thousand busy clients new ones waited seconds
// in the listen queue (hundreds deep) before afserve took them.
constexpr std::size_t accepts_in_flight = 16;

using clock_type = std::chrono::steady_clock;

std::string reason(int status) {
    switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 412: return "Precondition Failed";
    case 416: return "Range Not Satisfiable";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 505: return "HTTP Version Not Supported";
    default: return "Status";
    }
}

// Quotes and control bytes escaped, as access logs keep one line per entry.
std::string log_text(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

struct server_options {
    std::string root;       // absolute
    std::filesystem::path real_root;  // its links resolved
    std::uint16_t port = 8080;
    std::string address_text = "::";  // either family; "::" takes both
    bool quiet = false;
    const tls_server_context* tls = nullptr;
    int idle_seconds = 60;
    int header_seconds = 30;
    std::size_t max_connections = 1024;
    bool list = false;
    bool no_symlinks = false;
};

class server;

// One accepted connection: reads requests one at a time and answers each,
// the body in pieces read from the file and written to the socket.
class connection {
public:
    connection(server& owner, ref<IAsynTcpSocket> socket, std::uint64_t id);
    void start();
    void close();
    // Nothing moved either way since `limit`: the client left us waiting.
    bool idle_since(clock_type::time_point limit) const { return _active < limit; }
    // A request head begun before `limit` is still not complete.
    bool head_begun_before(clock_type::time_point limit) const {
        return _head_started && !_responding && _head_begun < limit;
    }
    const std::string& client() const { return _client; }
    void log(int status, std::uint64_t bytes, const char* note = nullptr);

private:
    void receive();
    void take_input();
    void answer();
    void answer_file(const std::string& method, const std::string& raw_path, const std::string& query,
                     const std::string& path);
    // A short answer made here: an error, a redirect, a listing, a 304.
    void answer_text(int status, const std::string& type, const std::string& body, const std::string& extra,
                     bool keep);
    void answer_error(int status, bool keep, const std::string& extra = {});
    // Sends `_text` from `from` on, in buffer-sized pieces, then calls `then`.
    void send_text(std::size_t from, std::function<void()> then);
    // The body's next piece, read into the send buffer after the `ahead`
    // bytes already there (the head, with the first piece) and sent with them.
    void send_body(DWORD ahead = 0);
    void response_done();
    // The send buffer, lent by the server from the answer's start to its
    // end, with room for `needed` bytes (at most send_size).
    operation& send_buffer(DWORD needed);
    void touch() { _active = clock_type::now(); }
    std::string connection_header() const { return _keep_alive ? "keep-alive" : "close"; }

    server& _owner;
    IAsynFrame* _frame;
    stream _stream;
    std::uint64_t _id;
    std::string _client = "-";
    operation _receive;
    DWORD _receive_next = receive_small;  // the size of the next read within a head
    std::unique_ptr<operation> _send;
    // The request being read or answered; made with its first byte and let
    // go once it is answered with nothing more waiting, so that an idle
    // connection holds none.
    std::unique_ptr<message_parser> _parser;
    message_parser& request() {
        if (!_parser) _parser = std::make_unique<message_parser>(message_parser::kind::request);
        return *_parser;
    }
    std::string _input;  // received, not yet parsed
    std::size_t _head_bytes = 0;
    std::string _head_start;  // the head's first bytes, for telling 501 from 400
    bool _head_started = false;
    clock_type::time_point _head_begun = clock_type::now();
    // Completions still on their way when the connection closed (a sweep of
    // idle ones, for one) are dropped: every callback checks this first.
    bool _closed = false;
    bool _keep_alive = false;
    bool _responding = false;
    bool _logged = false;
    std::string _text;  // a short answer being sent
    // The body being sent: from the file, or from the bytes kept of it.
    ref<IAsynFile> _file;
    std::shared_ptr<file_facts> _facts;
    std::string _file_path;
    std::uint64_t _position = 0;
    std::uint64_t _left = 0;
    int _status = 0;
    std::uint64_t _sent_body = 0;
    clock_type::time_point _active = clock_type::now();
};

class server {
public:
    server(host& owner, server_options options)
        : _host(owner),
          _options(std::move(options)),
          _send_pool(owner.frame(), send_size),
          _cipher_pool(owner.frame(), stream::cipher_out_size) {}

    void start() {
        IAsynFrame* frame = _host.frame();
        ref<IAsynTcpListener2> made;
        if (frame->CreateTcpListener2(made.put()) != S_OK ||
            made->QueryInterface(IID_IAsynTcpListener3, _listener.put_void()) != S_OK)
            throw tool_error(exit_failure, "no listener");
        _accept = std::make_unique<operation>(frame);
        _accept->on_complete([this](DWORD error, DWORD) {
            if (error != 0) {
                _host.finish(exit_failure, "cannot listen on " + _options.address_text + " port " +
                                               std::to_string(_options.port) + ": " + describe_error(error));
                return;
            }
            string_receiver address;
            WORD port = 0;
            _listener->GetLocalAddress(&address, &port);
            std::printf("afserve: serving %s on %s port %u%s\n", _options.root.c_str(), _options.address_text.c_str(),
                        static_cast<unsigned>(port), _options.tls ? " over TLS" : "");
            std::fflush(stdout);
            accept();
        });
        if (_listener->ListenOnAddress(static_cast<DWORD>(_options.address_text.size()), _options.address_text.data(),
                                       _options.port, _accept->get()) != S_OK)
            throw tool_error(exit_failure, "listen refused");
        _housekeeping = std::make_unique<timer>(frame, housekeeping_ms, [this] { housekeeping(); });
        for (std::size_t i = 0; i < accepts_in_flight; ++i) _accepts.push_back(std::make_unique<operation>(frame));
        _accept_busy.assign(accepts_in_flight, false);
    }

    void stop() {
        _stopping = true;
        *_alive = false;
        _housekeeping.reset();
        for (auto& [id, each] : _connections) each->close();
        _connections.clear();
        _accepts.clear();
        _accept.reset();
        if (_listener) _listener->Close();
        _listener.reset();
    }

    void forget(std::uint64_t id) {
        // Later, since this runs inside one of the connection's callbacks.
        if (_stopping) return;
        // A message posted before a stop may still arrive after the server is gone.
        _host.post([this, id, alive = std::weak_ptr<bool>(_alive)] {
            const auto still = alive.lock();
            if (!still || !*still) return;
            _connections.erase(id);
            // A listener that waited for room takes the next client now.
            accept();
        });
    }

    host& owner() { return _host; }
    const server_options& options() const { return _options; }
    buffer_pool& send_pool() { return _send_pool; }
    buffer_pool& cipher_pool() { return _cipher_pool; }
    file_cache& files() { return _files; }
    bool quiet() const { return _options.quiet; }

private:
    void housekeeping() {
        const auto now = clock_type::now();
        if (_paused && now >= _resume_at) {
            _paused = false;
            accept();
        }
        // A client that stops talking (or reading, or never finishes its TLS
        // handshake) would otherwise hold its connection for good; one that
        // sends its head a byte at a time, too.
        const auto idle_limit = now - std::chrono::seconds(_options.idle_seconds);
        const auto head_limit_time = now - std::chrono::seconds(_options.header_seconds);
        // Closing only schedules the erase, so the walk stays valid.
        for (auto& [id, each] : _connections) {
            if (_options.header_seconds > 0 && each->head_begun_before(head_limit_time)) {
                each->log(408, 0, "head-timeout");
                each->close();
                continue;
            }
            if (_options.idle_seconds <= 0 || !each->idle_since(idle_limit)) continue;
            if (!_options.quiet) {
                std::printf("%s - idle for %d s: closed\n", each->client().c_str(), _options.idle_seconds);
                std::fflush(stdout);
            }
            each->close();
        }
    }

    // Keeps accepts in flight on every free slot while there is room for
    // their connections.
    void accept() {
        for (std::size_t slot = 0; slot < _accepts.size(); ++slot) {
            if (_paused || _stopping) return;
            if (_accept_busy[slot]) continue;
            if (_connections.size() + _accepting >= _options.max_connections) {
                // The kernel's queue holds the next clients until one leaves.
                if (!_full && _accepting == 0) {
                    _full = true;
                    print_error("connection limit (" + std::to_string(_options.max_connections) +
                                ") reached: new connections wait");
                }
                return;
            }
            _full = false;
            if (!start_accept(slot)) return;
        }
    }

    // False when the listener refused the request (the run then ends).
    bool start_accept(std::size_t slot) {
        operation& request = *_accepts[slot];
        _accept_busy[slot] = true;
        ++_accepting;
        request.on_complete([this, slot](DWORD error, DWORD) {
            _accept_busy[slot] = false;
            --_accepting;
            IAsynIoOperation* done = _accepts[slot]->get();
            ref<IUnknown> object;
            done->GetResultObject(object.put());
            ref<IAsynTcpSocket> socket;
            if (error == 0 && object && object->QueryInterface(IID_IAsynTcpSocket, socket.put_void()) == S_OK) {
                const std::uint64_t id = ++_next_id;
                auto& added = _connections[id] = std::make_unique<connection>(*this, std::move(socket), id);
                added->start();
            }
            done->SetResultObject(nullptr);
            if (error == too_many_open_files || error == no_buffer_space) {
                // The waiting client stays queued and the listener stays
                // readable: accepting again at once would only spin.
                // One line per spell, however often the pause repeats; a
                // spell broken by one accept does not say it again soon.
                const auto now = clock_type::now();
                if (!_starved_said || now - *_starved_said > std::chrono::minutes(1)) {
                    _starved_said = now;
                    print_error("accept failed: " + describe_error(error) + "; accepting paused, retried every " +
                                std::to_string(descriptor_pause.count()) + " ms");
                }
                _paused = true;
                _resume_at = clock_type::now() + descriptor_pause;
                return;
            }
            accept();
        });
        if (_listener->Accept(request.get()) != S_OK) {
            _accept_busy[slot] = false;
            --_accepting;
            _host.finish(exit_failure, "accept refused");
            return false;
        }
        return true;
    }

    host& _host;
    server_options _options;
    buffer_pool _send_pool;
    buffer_pool _cipher_pool;
    file_cache _files;
    std::unique_ptr<timer> _housekeeping;
    bool _stopping = false;
    std::size_t _accepting = 0;  // accepts in flight
    bool _full = false;     // at the connection limit (said once)
    std::optional<clock_type::time_point> _starved_said;  // when running out was last said
    bool _paused = false;
    clock_type::time_point _resume_at;
    ref<IAsynTcpListener3> _listener;
    std::unique_ptr<operation> _accept;  // the listen request
    std::vector<std::unique_ptr<operation>> _accepts;
    std::vector<bool> _accept_busy;
    std::map<std::uint64_t, std::unique_ptr<connection>> _connections;
    std::uint64_t _next_id = 0;
    std::shared_ptr<bool> _alive = std::make_shared<bool>(true);
};

connection::connection(server& owner, ref<IAsynTcpSocket> socket, std::uint64_t id)
    : _owner(owner),
      _frame(owner.owner().frame()),
      _stream(owner.owner(), socket, owner.options().tls, &owner.cipher_pool()),
      _id(id),
      _receive(_frame, receive_small) {
    // Either family; an IPv4 client of the dual-stack listener shows as IPv4.
    ref<IAsynTcpSocket2> either;
    if (socket->QueryInterface(IID_IAsynTcpSocket2, either.put_void()) == S_OK) {
        string_receiver text;
        WORD port = 0;
        if (either->GetPeerAddressText(&text, &port) == S_OK) _client = text.value;
    }
}

void connection::close() {
    if (_closed) return;
    // A transfer cut short is logged with what it got.
    if (_responding && !_logged) log(_status, _sent_body, "aborted");
    _closed = true;
    if (_file) _file->Close();
    _file.reset();
    _stream.close();
    _owner.forget(_id);
}

void connection::start() {
    // The head's time runs from the accept: a TLS handshake counts too.
    _head_started = true;
    _head_begun = clock_type::now();
    _stream.start([this](bool ok, const std::string& why) {
        if (ok) {
            receive();
            return;
        }
        if (!_owner.quiet()) {
            std::printf("%s - TLS handshake failed: %s\n", _client.c_str(), why.c_str());
            std::fflush(stdout);
        }
        close();
    });
}

void connection::receive() {
    // Between requests the buffer goes back to its small size.
    const DWORD size = _input.empty() && !_head_started ? receive_small : _receive_next;
    if (_receive.buffer_size() != size) {
        if (!_receive.reallocate(size)) {
            close();
            return;
        }
    }
    _stream.read(_receive, 0, size, [this, size](DWORD error, DWORD bytes) {
        if (_closed) return;
        if (error != 0 || bytes == 0) {
            close();
            return;
        }
        touch();
        if (!_head_started) {
            _head_started = true;
            _head_begun = clock_type::now();
        }
        _input.append(reinterpret_cast<const char*>(_receive.buffer()), bytes);
        // A full buffer says more is waiting: the next read takes it in one go.
        _receive_next = bytes == size ? receive_large : size;
        take_input();
    });
}

void connection::take_input() {
    if (_closed || _responding) return;
    if (!request().headers_complete() && _head_start.size() < head_start_size)
        _head_start += _input.substr(0, head_start_size - _head_start.size());
    const std::size_t used = request().feed(_input.data(), _input.size());
    if (!request().headers_complete()) _head_bytes += used;
    _input.erase(0, used);
    if (request().failed()) {
        const int status = refused_head_status(request(), _head_start);
        if (status == 0) {
            // The parser takes no more; only the head's start grows.
            _input.clear();
            receive();
            return;
        }
        answer_error(status, false);
        return;
    }
    if (request().complete()) {
        answer();
        return;
    }
    if (_head_bytes > head_limit) {
        answer_error(431, false);
        return;
    }
    receive();
}

void connection::answer_text(int status, const std::string& type, const std::string& body, const std::string& extra,
                             bool keep) {
    _keep_alive = keep;
    _status = status;
    _text = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) +
            "\r\nServer: afserve\r\nDate: " + date_now() + "\r\n" + extra;
    // A 304 has no body and no length of its own.
    if (status != 304) _text += "Content-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    _text += "Connection: " + connection_header() + "\r\n\r\n";
    const bool with_body = request().method() != "HEAD" && status != 304;
    if (with_body) _text += body;
    _responding = true;
    send_text(0, [this, bytes = with_body ? body.size() : 0] {
        _sent_body = bytes;
        response_done();
    });
}

void connection::answer_error(int status, bool keep, const std::string& extra) {
    answer_text(status, "text/plain", std::to_string(status) + " " + reason(status) + "\n", extra, keep);
}

void connection::send_text(std::size_t from, std::function<void()> then) {
    const DWORD length = static_cast<DWORD>(std::min<std::size_t>(_text.size() - from, send_size));
    std::copy(_text.begin() + static_cast<std::ptrdiff_t>(from),
              _text.begin() + static_cast<std::ptrdiff_t>(from + length), send_buffer(length).buffer());
    _stream.write_fully(*_send, 0, length, [this, from, length, then = std::move(then)](DWORD error, DWORD) mutable {
        if (_closed) return;
        if (error != 0) {
            close();
            return;
        }
        touch();
        if (from + length < _text.size()) {
            send_text(from + length, std::move(then));
            return;
        }
        then();
    });
}

void connection::answer() {
    _keep_alive = request().keep_alive();
    _logged = false;
    _sent_body = 0;
    const request_route route = route_request(request());
    if (route.status != 0) {
        answer_error(route.status, route.keep, route.extra);
        return;
    }
    answer_file(request().method(), route.raw_path, route.query, route.path);
}

void connection::answer_file(const std::string& method, const std::string& raw_path, const std::string& query,
                             const std::string& path) {
    const server_options& options = _owner.options();
    // The root joined with the request's path, as `path(root) / path.relative_path()`
    // would make it, without taking either apart on every request.
    std::string file = options.root;
    if (!file.empty() && file.back() != '/') file += '/';
    const std::size_t relative = path.find_first_not_of('/');
    if (relative != std::string::npos) file.append(path, relative);
    file_cache& files = _owner.files();
    int error = 0;
    bool stat_now = false;  // the last look asked the file system
    std::shared_ptr<file_facts> facts = files.look(file, error, false, stat_now);
    if (!facts) {
        answer_error(error == EACCES ? 403 : 404, _keep_alive);
        return;
    }
    const auto inside = [&](const std::string& which, file_facts& about) {
        if (!about.inside) about.inside = inside_root(std::filesystem::path(which), options.real_root);
        return *about.inside;
    };
    if (options.no_symlinks && !inside(file, *facts)) {
        answer_error(403, _keep_alive);
        return;
    }
    if (S_ISDIR(facts->about.st_mode)) {
        if (raw_path.back() != '/') {
            // Relative links in the folder's pages resolve against the slash.
            // Leading slashes collapse to one: "//host" would leave the site.
            const std::size_t first = raw_path.find_first_not_of('/');
            const std::string location = "/" + (first == std::string::npos ? "" : raw_path.substr(first)) + "/" + query;
            answer_error(301, _keep_alive, "Location: " + location + "\r\n");
            return;
        }
        const std::string index_file = file + (file.empty() || file.back() == '/' ? "" : "/") + "index.html";
        std::shared_ptr<file_facts> index = files.look(index_file, error, false, stat_now);
        if (index && S_ISREG(index->about.st_mode) && (!options.no_symlinks || inside(index_file, *index))) {
            file = index_file;
            facts = std::move(index);
        } else if (options.list) {
            answer_text(200, "text/html; charset=utf-8", folder_listing(std::filesystem::path(file), path), {},
                        _keep_alive);
            return;
        } else {
            answer_error(403, _keep_alive);
            return;
        }
    }
    if (!S_ISREG(facts->about.st_mode)) {
        answer_error(403, _keep_alive);
        return;
    }
    // A file served from disk is always asked now: its length and validators
    // must be those of the bytes read. Kept bytes carry their own version.
    if (!facts->bytes && !stat_now) {
        facts = files.look(file, error, true, stat_now);
        if (!facts) {
            answer_error(error == EACCES ? 403 : 404, _keep_alive);
            return;
        }
        if (!S_ISREG(facts->about.st_mode) || (options.no_symlinks && !inside(file, *facts))) {
            answer_error(403, _keep_alive);
            return;
        }
    }
    const validators& current = facts->current;
    const std::string& validator_headers = facts->validator_headers;
    const std::string& range_header = request().header("Range");
    conditions asked{request().header("If-Match"),
                     request().header("If-None-Match"),
                     request().header("If-Modified-Since"),
                     request().header("If-Unmodified-Since"),
                     request().header("If-Range"),
                     !range_header.empty()};
    const condition_answer decided = evaluate(asked, current);
    if (decided == condition_answer::failed) {
        answer_error(412, _keep_alive);
        return;
    }
    if (decided == condition_answer::not_modified) {
        answer_text(304, {}, {}, validator_headers, _keep_alive);
        return;
    }
    const std::uint64_t size = static_cast<std::uint64_t>(facts->about.st_size);
    _status = 200;
    _position = 0;
    _left = size;
    std::string extra;
    byte_range range;
    if (!range_header.empty() && decided == condition_answer::proceed) {
        switch (parse_range(range_header, size, range)) {
        case range_answer::unsatisfiable:
            answer_text(416, "text/plain", {}, "Content-Range: bytes */" + std::to_string(size) + "\r\n", _keep_alive);
            return;
        case range_answer::ok:
            _status = 206;
            _position = range.first;
            _left = range.last - range.first + 1;
            extra = "Content-Range: bytes " + std::to_string(range.first) + "-" + std::to_string(range.last) + "/" +
                    std::to_string(size) + "\r\n";
            break;
        case range_answer::none: break;
        }
    }
    if (facts->type.empty()) facts->type = content_type(std::filesystem::path(file));
    const std::shared_ptr<const std::string> kept = facts->bytes;
    if (method == "GET" && _left > 0 && !kept) {
        if (_frame->CreateAsynFile(_file.put()) != S_OK ||
            _file->Open(static_cast<DWORD>(file.size()), file.c_str(), GENERIC_READ, FILE_SHARE_READ,
                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN) != S_OK) {
            _file.reset();
            answer_error(403, _keep_alive);
            return;
        }
    }
    std::string head;
    head.reserve(256 + extra.size());
    head.append("HTTP/1.1 ").append(std::to_string(_status)).append(" ").append(reason(_status));
    head.append("\r\nServer: afserve\r\nDate: ").append(date_now()).append("\r\n").append(validator_headers);
    head.append("Content-Type: ").append(facts->type).append("\r\nContent-Length: ").append(std::to_string(_left));
    head.append("\r\nAccept-Ranges: bytes\r\n").append(extra).append("Connection: ").append(connection_header());
    head.append("\r\n\r\n");
    if (method != "GET") _left = 0;
    _responding = true;
    if (kept && _left > 0 && head.size() + _left <= send_size) {
        // The head and the kept bytes asked for, in one write.
        BYTE* const out = send_buffer(static_cast<DWORD>(head.size() + _left)).buffer();
        std::copy(head.begin(), head.end(), out);
        std::copy(kept->begin() + static_cast<std::ptrdiff_t>(_position),
                  kept->begin() + static_cast<std::ptrdiff_t>(_position + _left), out + head.size());
        const DWORD body = static_cast<DWORD>(_left);
        _left = 0;
        _stream.write_fully(*_send, 0, static_cast<DWORD>(head.size()) + body, [this, body](DWORD error, DWORD) {
            if (_closed) return;
            if (error != 0) {
                close();
                return;
            }
            _sent_body = body;
            touch();
            response_done();
        });
        return;
    }
    if (kept && _left > 0) {
        // Too long for one buffer with its head: from the file after all.
        if (_frame->CreateAsynFile(_file.put()) != S_OK ||
            _file->Open(static_cast<DWORD>(file.size()), file.c_str(), GENERIC_READ, FILE_SHARE_READ,
                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN) != S_OK) {
            _file.reset();
            _responding = false;
            answer_error(403, _keep_alive);
            return;
        }
    }
    if (!kept && _left > 0 && _position == 0 && _left == size && size <= file_cache::small_file) {
        // A small file read whole: its bytes are kept for the next requests.
        _facts = facts;
        _file_path = file;
    }
    if (_left == 0 || head.size() >= send_size) {
        _text = head;
        send_text(0, [this] { send_body(); });
        return;
    }
    // The head and the body's first piece in one write: a head sent alone
    // waits out the client's delayed acknowledgement before the body may go.
    std::copy(head.begin(), head.end(), send_buffer(send_size).buffer());
    send_body(static_cast<DWORD>(head.size()));
}

void connection::send_body(DWORD ahead) {
    if (_left == 0) {
        response_done();
        return;
    }
    const DWORD piece = static_cast<DWORD>(std::min<std::uint64_t>(_left, send_size - ahead));
    operation& buffer = send_buffer(send_size);
    buffer.range(ahead, piece);
    buffer.position(_position);
    buffer.on_complete([this, ahead](DWORD error, DWORD bytes) {
        if (_closed) return;
        if (error != 0 || bytes == 0) {
            // The file shrank or failed under us: the promised length cannot
            // be kept, so the connection ends and the client sees a short body.
            close();
            return;
        }
        if (_facts && bytes == _left)
            _owner.files().keep_bytes(_file_path, _facts, reinterpret_cast<const char*>(_send->buffer()) + ahead,
                                      bytes);
        _facts.reset();
        _position += bytes;
        _left -= bytes;
        _stream.write_fully(*_send, 0, ahead + bytes, [this, bytes](DWORD sent_error, DWORD) {
            if (_closed) return;
            if (sent_error != 0) {
                close();
                return;
            }
            _sent_body += bytes;
            touch();
            send_body();
        });
    });
    if (_file->Read(buffer.get()) != S_OK) close();
}

operation& connection::send_buffer(DWORD needed) {
    // Only ever called with nothing in flight on the buffer held.
    if (_send && _send->buffer_size() < needed) _owner.send_pool().give(std::move(_send));
    if (!_send) _send = _owner.send_pool().take(needed);
    return *_send;
}

void connection::response_done() {
    log(_status, _sent_body);
    if (_file) _file->Close();
    _file.reset();
    _facts.reset();
    // Nothing is in flight on the send buffer: it goes back for the next answer.
    _owner.send_pool().give(std::move(_send));
    _responding = false;
    if (!_keep_alive) {
        // Over TLS the client is told that the stream ends here.
        _stream.shutdown([this] { close(); });
        return;
    }
    if (_input.empty())
        _parser.reset();
    else
        _parser->next_message();
    _head_bytes = 0;
    _head_start.clear();
    // The next head's time starts with its first byte; until then the
    // connection is merely idle.
    _head_started = !_input.empty();
    _head_begun = clock_type::now();
    if (_input.empty())
        receive();
    else
        take_input();
}

void connection::log(int status, std::uint64_t bytes, const char* note) {
    _logged = true;
    if (_owner.quiet()) return;
    // The common log format, then what it has no field for.
    std::string request = "-";
    if (_parser && !_parser->method().empty())
        request = log_text(_parser->method() + " " + _parser->target() + " HTTP/" +
                           std::to_string(_parser->http_major()) + "." + std::to_string(_parser->http_minor()));
    std::string line = _client + " - - " + log_date(std::time(nullptr)) + " \"" + request + "\" " +
                       std::to_string(status) + " " + std::to_string(bytes);
    const std::string range = _parser ? _parser->header("Range") : std::string();
    if (!range.empty()) line += " range=" + log_text(range);
    if (note != nullptr) line += std::string(" ") + note;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    set_tool_name(argv[0]);
    CLI::App app{"afserve: a static HTTP/1.1 file server on asynframe"};
    std::string root, library, bind;
    int port = 8080;
    std::vector<std::string> tls;
    server_options options;
    int max_connections = 1024;
    app.add_option("DIR", root, "folder to serve")->required();
    app.add_option("-p,--port", port, "TCP port (1 to 65535, 0: any free one)");
    app.add_option("--bind", bind,
                   "IPv4 or IPv6 address to listen on (default ::, every local address of both families; "
                   "0.0.0.0 where the system has no IPv6)");
    app.add_option("--tls", tls, "serve HTTPS with this certificate and key (PEM)")->expected(2);
    app.add_option("--idle-timeout", options.idle_seconds,
                   "close a connection after this many seconds without progress (0: never; default 60)");
    app.add_option("--header-timeout", options.header_seconds,
                   "close a connection whose request head is not complete after this many seconds "
                   "(0: never; default 30)");
    app.add_option("--max-connections", max_connections,
                   "connections served at once; more wait in the listen queue (default 1024)");
    app.add_flag("--list", options.list, "list a folder that has no index.html");
    app.add_flag("--no-symlinks", options.no_symlinks,
                 "refuse files whose symbolic links lead out of DIR (they are followed by default)");
    app.add_flag("-q,--quiet", options.quiet, "no line per request");
    app.add_option("--library", library, "path of libasynframe.so");
    if (const std::optional<int> stop = parse_command_line(app, argc, argv)) return *stop;
    if (port < 0 || port > 65535) {
        print_error("port out of range: " + std::to_string(port) + " (0 to 65535)");
        return exit_usage;
    }
    if (options.idle_seconds < 0 || options.idle_seconds > 86400) {
        print_error("idle time-out out of range: " + std::to_string(options.idle_seconds) + " (0 to 86400 seconds)");
        return exit_usage;
    }
    if (options.header_seconds < 0 || options.header_seconds > 86400) {
        print_error("header time-out out of range: " + std::to_string(options.header_seconds) +
                    " (0 to 86400 seconds)");
        return exit_usage;
    }
    if (max_connections < 1 || max_connections > 1000000) {
        print_error("connection limit out of range: " + std::to_string(max_connections) + " (1 to 1000000)");
        return exit_usage;
    }
    if (bind.empty()) {
        // Both families where the system has IPv6, IPv4 alone where it has not.
        const int probe = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bind = probe >= 0 ? "::" : "0.0.0.0";
        if (probe >= 0) ::close(probe);
    }
    std::string plain = bind;
    if (plain.size() > 2 && plain.front() == '[' && plain.back() == ']') plain = plain.substr(1, plain.size() - 2);
    in_addr v4{};
    in6_addr v6{};
    if (::inet_pton(AF_INET, plain.c_str(), &v4) != 1 && ::inet_pton(AF_INET6, plain.c_str(), &v6) != 1) {
        print_error("not an IPv4 or IPv6 address: '" + bind + "'");
        return exit_usage;
    }
    std::error_code failed;
    if (!std::filesystem::is_directory(root, failed)) {
        print_error("not a folder: " + root);
        return exit_usage;
    }
    options.root = std::filesystem::absolute(root).string();
    options.real_root = std::filesystem::canonical(root, failed);
    options.port = static_cast<std::uint16_t>(port);
    options.address_text = plain;
    options.max_connections = static_cast<std::size_t>(max_connections);
    try {
        std::unique_ptr<tls_server_context> secure;
        if (!tls.empty()) secure = std::make_unique<tls_server_context>(tls[0], tls[1]);
        options.tls = secure.get();
        host runner(library);
        runner.settings().set("socket", "listen_backlog", 1024u);
        std::unique_ptr<server> site;
        return runner.run(
            [&] {
                site = std::make_unique<server>(runner, options);
                site->start();
            },
            [&] {
                if (site) site->stop();
                site.reset();
            },
            [&] { runner.finish(exit_ok); });
    } catch (const tool_error& failure) {
        print_error(failure.what());
        return failure.code();
    }
}
