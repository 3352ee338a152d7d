#include "afget/fetch.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace asynframe::tools {
namespace {

// Each receive buffer; the body is written to the file straight from the one
// just filled while the next receives.
constexpr DWORD network_buffer = 512 * 1024;
// Buffers one exchange may hold: room to keep receiving through a write that
// stalls (a disk flushing, a file system committing) instead of stopping the
// connection, bounded so a slow disk holds 2 MiB, not the whole answer.
constexpr std::size_t most_buffers = 4;

}  // namespace

fetch::fetch(host& owner, const connection_settings& settings, url target)
    : _host(owner), _settings(settings), _target(std::move(target)) {}

fetch::~fetch() { cancel(); }

void fetch::cancel() {
    _stopped = true;
    _on_done = nullptr;
    _net.reset();
    _to_write.clear();
    _free.clear();
    if (_socket) _socket->Close();
    _socket.reset();
    _own_limit.reset();
}

void fetch::write_body_to(IAsynFile* file, std::uint64_t file_position, std::uint64_t limit, progress on_progress) {
    _file = file;
    _file_position = file_position;
    _body_limit = limit;
    _on_progress = std::move(on_progress);
}

void fetch::write_body_to(std::function<bool(const char*, std::size_t)> sink, progress on_progress) {
    _sink = std::move(sink);
    _on_progress = std::move(on_progress);
}

void fetch::take_window(std::uint64_t skip) {
    _skip = skip;
    _window = true;
}

void fetch::check_time(std::chrono::steady_clock::time_point now) {
    if (_stopped) return;
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    const auto seconds = [](milliseconds span) {
        char text[32];
        std::snprintf(text, sizeof text, "%g s", static_cast<double>(span.count()) / 1000);
        return std::string(text);
    };
    if (!_connected && now - _began >= _settings.connect_timeout) {
        outcome late{exit_connect, "connecting to " + _target.origin() + " timed out after " +
                                       seconds(_settings.connect_timeout)};
        late.retry = true;
        end(late);
    } else if (_connected && !_writing && now - _last_activity >= _settings.idle_timeout) {
        outcome quiet{exit_connect, "no data from " + _target.origin() + " for " + seconds(_settings.idle_timeout) +
                                        " (timed out)"};
        quiet.retry = true;
        end(quiet);
    }
}

void fetch::start(const std::string& method, std::optional<std::pair<std::uint64_t, std::uint64_t>> range,
                  head_check on_head, finished on_done) {
    _head_only = method == "HEAD";
    _on_head = std::move(on_head);
    _on_done = std::move(on_done);
    std::string host_header = _target.authority_host();
    if (_target.port != (_target.scheme == "https" ? 443 : 80)) host_header.append(":").append(std::to_string(_target.port));
    _request = method + " " + _target.target + " HTTP/1.1\r\nHost: " + host_header +
               "\r\nUser-Agent: afget/1.0\r\nAccept: */*\r\nAccept-Encoding: identity\r\n" + _extra_headers;
    if (range) {
        _request += "Range: bytes=" + std::to_string(range->first) + "-";
        if (range->second != ~0ull) _request += std::to_string(range->second);
        _request += "\r\n";
    }
    _request += "Connection: close\r\n\r\n";
    _answer.next_message(_head_only);
    _answer.on_body = [this](const char* data, std::size_t size) {
        // The head is judged before its first body bytes are placed: the
        // judgement may say where they go.
        if (!_head_checked) check_head();
        if (_head_only || _enough || _head_refused) return;
        if (_skip > 0) {
            const std::size_t dropped = static_cast<std::size_t>(std::min<std::uint64_t>(_skip, size));
            _skip -= dropped;
            data += dropped;
            size -= dropped;
        }
        if (_body_limit != 0 && _body_seen + size > _body_limit) {
            if (_window)
                _enough = true;
            else
                _body_overflow = true;
            size = static_cast<std::size_t>(_body_limit - _body_seen);
        }
        if (_body_limit != 0 && _window && _body_seen + size == _body_limit) _enough = true;
        if (size == 0) return;
        if (_sink) {
            _body_seen += size;
            if (!_sink(data, size)) {
                _sink_failed = true;
                return;
            }
            if (_on_progress) _on_progress(size);
            return;
        }
        // The body stays where it was received; only the gaps a chunked
        // answer leaves between its pieces are closed up, in place.
        BYTE* const base = _net->buffer();
        const BYTE* const from = reinterpret_cast<const BYTE*>(data);
        if (_fill == 0)
            _fill_start = static_cast<DWORD>(from - base);
        else if (from != base + _fill_start + _fill)
            std::memmove(base + _fill_start + _fill, from, size);
        _fill += static_cast<DWORD>(size);
        _body_seen += size;
    };
    try {
        open_socket();
    } catch (const tool_error& failure) {
        end({failure.code(), failure.what()});
    }
}

void fetch::open_socket() {
    IAsynFrame3* frame = _host.frame();
    _began = _last_activity = std::chrono::steady_clock::now();
    _net = std::make_unique<operation>(frame, network_buffer);
    _buffers = 1;
    ref<IAsynTcpSocket> base;
    if (frame->CreateTcpSocket(base.put()) != S_OK) throw tool_error(exit_failure, "the frame made no TCP socket");
    // The download's own clock decides on silence; the socket's is a backstop.
    base->SetRecvTimeout(static_cast<DWORD>(_settings.idle_timeout.count()) + 5000);
    ref<IAsynTcpSocket> socket = base;
    if (_settings.proxy) {
        const url& proxy = *_settings.proxy;
        ref<IAsynProxyTcpSocket> tunnel;
        const HRESULT made = frame->CreateProxyTcpSocket(
            base.get(), PROXY_KIND_SOCKS5, static_cast<DWORD>(proxy.host.size()), proxy.host.c_str(), proxy.port,
            static_cast<DWORD>(proxy.user.size()), proxy.user.c_str(), static_cast<DWORD>(proxy.password.size()),
            proxy.password.c_str(), tunnel.put());
        if (made != S_OK) throw tool_error(exit_proxy, "the library made no SOCKS5 socket");
        socket = ref<IAsynTcpSocket>(tunnel.get());
        tunnel->AddRef();
    }
    if (_settings.limit != nullptr) {
        // Each connection has its own limiter under the shared one, so the
        // parent splits the total between them.
        if (frame->CreateSpeedLimit(_own_limit.put()) != S_OK) throw tool_error(exit_failure, "no rate limiter");
        _own_limit->SetParent(_settings.limit);
        ref<IAsynTcpSocket> limited;
        if (frame->CreateSpeedLimitSocket(socket.get(), _own_limit.get(), nullptr, limited.put()) != S_OK)
            throw tool_error(exit_failure, "no rate-limited socket");
        socket = limited;
    }
    if (_target.scheme == "https") {
        ref<IAsynSSLSocket> secure;
        const HRESULT made = frame->CreateSSLSocket(socket.get(), secure.put());
        if (made == E_NOTIMPL)
            throw tool_error(exit_tls, "HTTPS is not available: this build of the library has no TLS client");
        if (made != S_OK) throw tool_error(exit_tls, "the library made no TLS socket");
        socket = ref<IAsynTcpSocket>(secure.get());
        secure->AddRef();
    }
    _socket = socket;
    _net->on_complete([this](DWORD error, DWORD) {
        if (error != 0) {
            end(connect_failure(error));
            return;
        }
        _connected = true;
        _last_activity = std::chrono::steady_clock::now();
        send_request();
    });
    if (_socket->Connect(_net->get(), static_cast<DWORD>(_target.host.size()), _target.host.c_str(), _target.port,
                         0) != S_OK)
        throw tool_error(exit_connect, "cannot start a connection to " + _target.origin());
}

outcome fetch::connect_failure(DWORD error) const {
    outcome failure = classify_connect_failure(error);
    failure.error = error;
    // A refusal, a missing name or a certificate stays what it is on a second try.
    failure.retry = failure.code == exit_connect;
    return failure;
}

outcome fetch::classify_connect_failure(DWORD error) const {
    const std::string where = _target.authority_host() + ":" + std::to_string(_target.port);
    if (_settings.proxy) {
        const std::string proxy = _settings.proxy->authority_host() + ":" + std::to_string(_settings.proxy->port);
        if (error == 1928)
            return {exit_proxy, "the SOCKS5 proxy " + proxy + " refused the connection to " + where};
        if (_target.scheme != "https" || error == 10061 || error == 10060 || error == 11001)
            return {exit_proxy, "cannot use the SOCKS5 proxy " + proxy + " for " + where + ": " +
                                    describe_error(error)};
    }
    if (error == 11001) return {exit_dns, "cannot resolve host name '" + _target.host + "'"};
    if (_target.scheme == "https" && (error == 1928 || error == 1929 || error == 1930)) {
        const std::string reason = tls_failure_text();
        return {exit_tls, "TLS handshake with " + where + " failed: " +
                              (reason.empty() ? "certificate not trusted, wrong name, or not TLS" : reason)};
    }
    return {exit_connect, "cannot connect to " + where + ": " + describe_error(error)};
}

std::string fetch::tls_failure_text() const {
    if (!_socket) return {};
    ref<IAsynSSLSocket2> secure;
    if (_socket->QueryInterface(IID_IAsynSSLSocket2, reinterpret_cast<void**>(secure.put())) != S_OK) return {};
    string_receiver reason;
    if (secure->GetFailureText(&reason) != S_OK) return {};
    return reason.value;
}

void fetch::send_request() {
    const DWORD length = static_cast<DWORD>(std::min<std::size_t>(_request.size(), network_buffer));
    std::memcpy(_net->buffer(), _request.data(), length);
    _net->range(0, length);
    _net->on_complete([this](DWORD error, DWORD) {
        if (error != 0) {
            end(broken("sending the request to " + _target.origin() + " failed: " + describe_error(error), error));
            return;
        }
        _last_activity = std::chrono::steady_clock::now();
        receive();
    });
    if (_socket->WriteFully(_net->get()) != S_OK) end(broken("cannot send to " + _target.origin(), 0));
}

void fetch::receive() {
    _net->range(0, network_buffer);
    _net->on_complete([this](DWORD error, DWORD bytes) {
        _receiving = false;
        if (_stopped) return;
        if (error != 0) {
            end(broken("receiving from " + _target.origin() + " failed: " + describe_error(error), error));
            return;
        }
        _last_activity = std::chrono::steady_clock::now();
        take(bytes);
    });
    _receiving = true;
    if (_socket->Read(_net->get()) != S_OK) {
        _receiving = false;
        end(broken("cannot receive from " + _target.origin(), 0));
    }
}

void fetch::take(DWORD bytes) {
    if (bytes == 0) {
        _answer.end_of_input();
    } else {
        _answer.feed(reinterpret_cast<const char*>(_net->buffer()), bytes);
    }
    if (_fill > 0) {
        // The body stays in the buffer it came in until it is written; the
        // next receive goes to another.
        if (_file != nullptr) {
            _to_write.push_back({std::move(_net), _fill_start, _fill});
            _net = free_buffer();
        }
        _fill = 0;
    }
    settle();
}

std::unique_ptr<operation> fetch::free_buffer() {
    if (!_free.empty()) {
        std::unique_ptr<operation> buffer = std::move(_free.back());
        _free.pop_back();
        return buffer;
    }
    if (_buffers >= most_buffers) return nullptr;
    ++_buffers;
    return std::make_unique<operation>(_host.frame(), network_buffer);
}

void fetch::settle() {
    if (!_head_checked && _answer.headers_complete() && !_answer.failed()) check_head();
    if (_head_refused) {
        end({});
        return;
    }
    if (_sink_failed) {
        end({exit_failure, "writing to standard output failed: " + std::string(std::strerror(errno))});
        return;
    }
    // Written out: the exchange may end well, or say how it broke, only with
    // every body byte it took on the disk.
    const bool written = _to_write.empty();
    if (_enough && written) {
        end({});
        return;
    }
    if (_body_overflow) {
        end({exit_protocol, "the server sent more than the " + std::to_string(_body_limit) + " bytes asked for"});
        return;
    }
    if (_answer.failed() && written) {
        const bool short_body = _answer.headers_complete();
        std::string text = short_body ? "the answer from " + _target.origin() + " ended early"
                                      : "broken answer from " + _target.origin() + ": " + _answer.error();
        if (short_body && _answer.content_length())
            text += " (" + std::to_string(_body_seen) + " of " + std::to_string(*_answer.content_length()) +
                    " bytes)";
        outcome cut{exit_protocol, text};
        cut.retry = short_body;
        end(cut);
        return;
    }
    if (!written && !_writing) {
        _writing = true;
        _written_of_front = 0;
        write_rest();
        if (_stopped) return;
    }
    if (_answer.complete() && _to_write.empty()) {
        end({});
        return;
    }
    if (_answer.complete() || _answer.failed() || _enough || _receiving) return;
    if (!_net) _net = free_buffer();
    // Every buffer waits to be written: the next write's end receives again.
    if (_net) receive();
}

// Plain writes, resumed until the buffer is out: the output file is shared by
// every connection, and a device runs one whole-range write at a time.
void fetch::write_rest() {
    filled& front = _to_write.front();
    const DWORD length = front.length - _written_of_front;
    front.buffer->range(front.start + _written_of_front, length);
    front.buffer->position(_file_position + _written_of_front);
    front.buffer->on_complete([this](DWORD error, DWORD written) {
        if (error != 0 || written == 0) {
            _writing = false;
            end({exit_failure, "writing the output failed: " + describe_error(error != 0 ? error : 29)});
            return;
        }
        _written_of_front += written;
        _last_activity = std::chrono::steady_clock::now();
        filled& done = _to_write.front();
        if (_written_of_front < done.length) {
            write_rest();
            return;
        }
        const DWORD length = done.length;
        _free.push_back(std::move(done.buffer));
        _to_write.pop_front();
        _writing = false;
        _file_position += length;
        if (_on_progress) _on_progress(length);
        if (_stopped) return;
        settle();
    });
    if (_file->Write(front.buffer->get()) != S_OK) end({exit_failure, "the output refused a write"});
}

void fetch::check_head() {
    _head_checked = true;
    if (_on_head && !_on_head(_answer)) _head_refused = true;
}

outcome fetch::broken(const std::string& text, DWORD error) const {
    outcome failure{exit_connect, text};
    failure.retry = true;
    failure.error = error;
    return failure;
}

void fetch::end(const outcome& result) {
    if (_stopped) return;
    _stopped = true;
    if (_socket) _socket->Close();
    finished done = std::exchange(_on_done, nullptr);
    // The owner may destroy this object from its callback.
    if (done) done(result);
}

}  // namespace asynframe::tools
