// afserve DIR [--port P] [--tls CERT KEY]: serves the files under DIR over
// HTTP/1.1 (or HTTPS) on the frame's TCP listener, reading them with the
// frame's async files. GET and HEAD, one byte range per request, keep-alive.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "afserve/stream.h"
#include "afserve/tls_server.h"
#include "common/command_line.h"
#include "common/host.h"
#include "common/http.h"

using namespace asynframe;
using namespace asynframe::tools;

namespace {

constexpr DWORD receive_size = 16 * 1024;
constexpr DWORD send_size = 256 * 1024;
// Longest request head; a longer one is answered 431 and the connection closed.
constexpr std::size_t head_limit = 64 * 1024;

std::string reason(int status) {
    switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 416: return "Range Not Satisfiable";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

std::string content_type(const std::filesystem::path& path) {
    static const std::map<std::string, std::string> types = {
        {".html", "text/html"}, {".htm", "text/html"},        {".txt", "text/plain"},
        {".css", "text/css"},   {".js", "text/javascript"},   {".json", "application/json"},
        {".png", "image/png"},  {".jpg", "image/jpeg"},       {".svg", "image/svg+xml"}};
    const auto found = types.find(path.extension().string());
    return found == types.end() ? "application/octet-stream" : found->second;
}

std::string http_date(std::time_t when) {
    char text[64];
    std::tm parts{};
    ::gmtime_r(&when, &parts);
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
    return text;
}

class server;

// One accepted connection: reads requests one at a time and answers each,
// the body in pieces read from the file and written to the socket.
class connection {
public:
    connection(server& owner, ref<IAsynTcpSocket> socket, std::uint64_t id);
    void start();
    void close();
    // Nothing moved either way since `limit`: the client left us waiting.
    bool idle_since(std::chrono::steady_clock::time_point limit) const { return _active < limit; }

private:
    void receive();
    void take_input();
    void answer();
    void answer_error(int status, bool keep);
    void send_head(const std::string& head, std::function<void()> then);
    // The body's next piece, read into the send buffer after the `ahead`
    // bytes already there (the head, with the first piece) and sent with them.
    void send_body(DWORD ahead = 0);
    void response_done();
    void log(int status, std::uint64_t bytes);
    void touch() { _active = std::chrono::steady_clock::now(); }

    server& _owner;
    IAsynFrame* _frame;
    stream _stream;
    std::uint64_t _id;
    operation _receive;
    operation _send;
    message_parser _request{message_parser::kind::request};
    std::string _input;  // received, not yet parsed
    std::size_t _head_bytes = 0;
    // Completions still on their way when the connection closed (a sweep of
    // idle ones, for one) are dropped: every callback checks this first.
    bool _closed = false;
    bool _keep_alive = false;
    bool _responding = false;
    // The body being sent.
    ref<IAsynFile> _file;
    std::uint64_t _position = 0;
    std::uint64_t _left = 0;
    int _status = 0;
    std::uint64_t _body_bytes = 0;
    std::chrono::steady_clock::time_point _active = std::chrono::steady_clock::now();
};

class server {
public:
    server(host& owner, std::string root, std::uint16_t port, bool quiet, const tls_server_context* tls,
           int idle_seconds)
        : _host(owner), _root(std::move(root)), _port(port), _quiet(quiet), _tls(tls), _idle_seconds(idle_seconds) {}

    void start() {
        IAsynFrame* frame = _host.frame();
        if (frame->CreateTcpListener2(_listener.put()) != S_OK) throw tool_error(exit_failure, "no listener");
        _accept = std::make_unique<operation>(frame);
        _accept->on_complete([this](DWORD error, DWORD) {
            if (error != 0) {
                _host.finish(exit_failure, "cannot listen on port " + std::to_string(_port) + ": " +
                                               describe_error(error));
                return;
            }
            string_receiver address;
            WORD port = 0;
            _listener->GetLocalAddress(&address, &port);
            std::printf("afserve: serving %s on port %u%s\n", _root.c_str(), static_cast<unsigned>(port),
                        _tls ? " over TLS" : "");
            std::fflush(stdout);
            accept();
        });
        if (_listener->ListenOn(0, _port, _accept->get()) != S_OK) throw tool_error(exit_failure, "listen refused");
        if (_idle_seconds > 0) _sweep = std::make_unique<timer>(frame, 1000, [this] { close_idle(); });
    }

    void stop() {
        _stopping = true;
        _sweep.reset();
        for (auto& [id, each] : _connections) each->close();
        _connections.clear();
        _accept.reset();
        if (_listener) _listener->Close();
        _listener.reset();
    }

    void forget(std::uint64_t id) {
        // Later, since this runs inside one of the connection's callbacks.
        if (_stopping) return;
        _host.post([this, id] { _connections.erase(id); });
    }

    host& owner() { return _host; }
    const std::string& root() const { return _root; }
    bool quiet() const { return _quiet; }
    const tls_server_context* tls() const { return _tls; }

private:
    // A client that stops talking (or reading, or never finishes its TLS
    // handshake) would otherwise hold its connection for good.
    void close_idle() {
        const auto limit = std::chrono::steady_clock::now() - std::chrono::seconds(_idle_seconds);
        // Closing only schedules the erase, so the walk stays valid.
        for (auto& [id, each] : _connections) {
            if (!each->idle_since(limit)) continue;
            if (!_quiet) {
                std::printf("- - idle for %d s: closed\n", _idle_seconds);
                std::fflush(stdout);
            }
            each->close();
        }
    }

    void accept() {
        _accept->on_complete([this](DWORD error, DWORD) {
            ref<IUnknown> object;
            _accept->get()->GetResultObject(object.put());
            ref<IAsynTcpSocket> socket;
            if (error == 0 && object && object->QueryInterface(IID_IAsynTcpSocket, socket.put_void()) == S_OK) {
                const std::uint64_t id = ++_next_id;
                auto& added = _connections[id] = std::make_unique<connection>(*this, std::move(socket), id);
                added->start();
            }
            _accept->get()->SetResultObject(nullptr);
            accept();
        });
        if (_listener->Accept(_accept->get()) != S_OK) _host.finish(exit_failure, "accept refused");
    }

    host& _host;
    std::string _root;
    std::uint16_t _port;
    bool _quiet;
    const tls_server_context* _tls;
    int _idle_seconds;
    std::unique_ptr<timer> _sweep;
    bool _stopping = false;
    ref<IAsynTcpListener2> _listener;
    std::unique_ptr<operation> _accept;
    std::map<std::uint64_t, std::unique_ptr<connection>> _connections;
    std::uint64_t _next_id = 0;
};

connection::connection(server& owner, ref<IAsynTcpSocket> socket, std::uint64_t id)
    : _owner(owner),
      _frame(owner.owner().frame()),
      _stream(owner.owner(), std::move(socket), owner.tls()),
      _id(id),
      _receive(_frame, receive_size),
      _send(_frame, send_size) {}

void connection::close() {
    if (_closed) return;
    _closed = true;
    if (_file) _file->Close();
    _file.reset();
    _stream.close();
    _owner.forget(_id);
}

void connection::start() {
    _stream.start([this](bool ok, const std::string& why) {
        if (ok) {
            receive();
            return;
        }
        if (!_owner.quiet()) {
            std::printf("- - TLS handshake failed: %s\n", why.c_str());
            std::fflush(stdout);
        }
        close();
    });
}

void connection::receive() {
    _stream.read(_receive, 0, receive_size, [this](DWORD error, DWORD bytes) {
        if (_closed) return;
        if (error != 0 || bytes == 0) {
            close();
            return;
        }
        touch();
        _input.append(reinterpret_cast<const char*>(_receive.buffer()), bytes);
        take_input();
    });
}

void connection::take_input() {
    if (_closed || _responding) return;
    const std::size_t used = _request.feed(_input.data(), _input.size());
    if (!_request.headers_complete()) _head_bytes += used;
    _input.erase(0, used);
    if (_request.failed()) {
        answer_error(400, false);
        return;
    }
    if (_request.complete()) {
        answer();
        return;
    }
    if (_head_bytes > head_limit) {
        answer_error(431, false);
        return;
    }
    receive();
}

void connection::answer_error(int status, bool keep) {
    _keep_alive = keep;
    _status = status;
    const std::string body = std::to_string(status) + " " + reason(status) + "\n";
    _body_bytes = body.size();
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) +
                       "\r\nServer: afserve\r\nContent-Type: text/plain\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\nConnection: " + (keep ? "keep-alive" : "close") + "\r\n\r\n";
    if (_request.method() != "HEAD") head += body;
    _responding = true;
    send_head(head, [this] { response_done(); });
}

void connection::answer() {
    _keep_alive = _request.keep_alive();
    const std::string& method = _request.method();
    if (method != "GET" && method != "HEAD") {
        answer_error(405, _keep_alive);
        return;
    }
    std::string path;
    const std::string target = _request.target().substr(0, _request.target().find('?'));
    if (target.empty() || target[0] != '/' || !percent_decode(target, path) ||
        path.find('\0') != std::string::npos) {
        answer_error(400, false);
        return;
    }
    // No segment may climb out of the served folder.
    for (std::size_t at = 0; at != std::string::npos;) {
        const std::size_t next = path.find('/', at + 1);
        const std::string segment = path.substr(at + 1, next == std::string::npos ? next : next - at - 1);
        if (segment == "..") {
            answer_error(403, _keep_alive);
            return;
        }
        at = next;
    }
    std::filesystem::path file = std::filesystem::path(_owner.root()) / std::filesystem::path(path).relative_path();
    std::error_code failed;
    if (std::filesystem::is_directory(file, failed)) file /= "index.html";
    struct stat about{};
    if (::stat(file.c_str(), &about) != 0 || !S_ISREG(about.st_mode)) {
        answer_error(404, _keep_alive);
        return;
    }
    const std::uint64_t size = static_cast<std::uint64_t>(about.st_size);
    _status = 200;
    _position = 0;
    _left = size;
    std::string extra;
    byte_range range;
    const std::string range_header = _request.header("Range");
    if (!range_header.empty()) {
        switch (parse_range(range_header, size, range)) {
        case range_answer::unsatisfiable: {
            _status = 416;
            _body_bytes = 0;
            const std::string head = "HTTP/1.1 416 " + reason(416) +
                                     "\r\nServer: afserve\r\nContent-Length: 0\r\nContent-Range: bytes */" +
                                     std::to_string(size) + "\r\nConnection: " +
                                     (_keep_alive ? "keep-alive" : "close") + "\r\n\r\n";
            _responding = true;
            send_head(head, [this] { response_done(); });
            return;
        }
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
    if (method == "GET" && _left > 0) {
        if (_frame->CreateAsynFile(_file.put()) != S_OK ||
            _file->Open(static_cast<DWORD>(file.native().size()), file.c_str(), GENERIC_READ, FILE_SHARE_READ,
                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN) != S_OK) {
            _file.reset();
            answer_error(403, _keep_alive);
            return;
        }
    }
    const std::string head = "HTTP/1.1 " + std::to_string(_status) + " " + reason(_status) +
                             "\r\nServer: afserve\r\nDate: " + http_date(std::time(nullptr)) +
                             "\r\nLast-Modified: " + http_date(about.st_mtime) + "\r\nContent-Type: " +
                             content_type(file) + "\r\nContent-Length: " + std::to_string(_left) +
                             "\r\nAccept-Ranges: bytes\r\n" + extra +
                             "Connection: " + (_keep_alive ? "keep-alive" : "close") + "\r\n\r\n";
    _body_bytes = method == "GET" ? _left : 0;
    if (method != "GET") _left = 0;
    _responding = true;
    if (_left == 0 || head.size() >= send_size) {
        send_head(head, [this] { send_body(); });
        return;
    }
    // The head and the body's first piece in one write: a head sent alone
    // waits out the client's delayed acknowledgement before the body may go.
    std::copy(head.begin(), head.end(), _send.buffer());
    send_body(static_cast<DWORD>(head.size()));
}

void connection::send_head(const std::string& head, std::function<void()> then) {
    // Heads are short; a longer error text is cut to the buffer.
    const DWORD length = static_cast<DWORD>(std::min<std::size_t>(head.size(), send_size));
    std::copy(head.begin(), head.begin() + length, _send.buffer());
    _stream.write_fully(_send, 0, length, [this, then = std::move(then)](DWORD error, DWORD) {
        if (_closed) return;
        if (error != 0) {
            close();
            return;
        }
        touch();
        then();
    });
}

void connection::send_body(DWORD ahead) {
    if (_left == 0) {
        response_done();
        return;
    }
    const DWORD piece = static_cast<DWORD>(std::min<std::uint64_t>(_left, send_size - ahead));
    _send.range(ahead, piece);
    _send.position(_position);
    _send.on_complete([this, ahead](DWORD error, DWORD bytes) {
        if (_closed) return;
        if (error != 0 || bytes == 0) {
            // The file shrank or failed under us: the promised length cannot
            // be kept, so the connection ends and the client sees a short body.
            close();
            return;
        }
        _position += bytes;
        _left -= bytes;
        _stream.write_fully(_send, 0, ahead + bytes, [this](DWORD sent_error, DWORD) {
            if (_closed) return;
            if (sent_error != 0) {
                close();
                return;
            }
            touch();
            send_body();
        });
    });
    if (_file->Read(_send.get()) != S_OK) close();
}

void connection::response_done() {
    log(_status, _body_bytes);
    if (_file) _file->Close();
    _file.reset();
    _responding = false;
    if (!_keep_alive) {
        // Over TLS the client is told that the stream ends here.
        _stream.shutdown([this] { close(); });
        return;
    }
    _request.next_message();
    _head_bytes = 0;
    if (_input.empty())
        receive();
    else
        take_input();
}

void connection::log(int status, std::uint64_t bytes) {
    if (_owner.quiet()) return;
    const std::string range = _request.header("Range");
    std::printf("%s %s %d %llu%s%s\n", _request.method().empty() ? "-" : _request.method().c_str(),
                _request.target().empty() ? "-" : _request.target().c_str(), status,
                static_cast<unsigned long long>(bytes), range.empty() ? "" : " range=", range.c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    set_tool_name(argv[0]);
    CLI::App app{"afserve: a static HTTP/1.1 file server on asynframe"};
    std::string root, library;
    int port = 8080;
    std::vector<std::string> tls;
    bool quiet = false;
    int idle_seconds = 60;
    app.add_option("DIR", root, "folder to serve")->required();
    app.add_option("-p,--port", port, "TCP port (1 to 65535, 0: any free one)");
    app.add_option("--tls", tls, "serve HTTPS with this certificate and key (PEM)")->expected(2);
    app.add_option("--idle-timeout", idle_seconds,
                   "close a connection after this many seconds without progress (0: never; default 60)");
    app.add_flag("-q,--quiet", quiet, "no line per request");
    app.add_option("--library", library, "path of libasynframe.so");
    if (const std::optional<int> stop = parse_command_line(app, argc, argv)) return *stop;
    if (port < 0 || port > 65535) {
        print_error("port out of range: " + std::to_string(port) + " (0 to 65535)");
        return exit_usage;
    }
    if (idle_seconds < 0 || idle_seconds > 86400) {
        print_error("idle time-out out of range: " + std::to_string(idle_seconds) + " (0 to 86400 seconds)");
        return exit_usage;
    }
    std::error_code failed;
    if (!std::filesystem::is_directory(root, failed)) {
        print_error("not a folder: " + root);
        return exit_usage;
    }
    try {
        std::unique_ptr<tls_server_context> secure;
        if (!tls.empty()) secure = std::make_unique<tls_server_context>(tls[0], tls[1]);
        host runner(library);
        runner.settings().set("socket", "listen_backlog", 1024u);
        std::unique_ptr<server> site;
        return runner.run(
            [&] {
                site = std::make_unique<server>(runner, std::filesystem::absolute(root).string(),
                                                static_cast<std::uint16_t>(port), quiet, secure.get(),
                                                idle_seconds);
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
