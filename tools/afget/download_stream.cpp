#include "afget/download.h"

#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace asynframe::tools {

// ---- one stream ---------------------------------------------------------------------------

void download::stream() {
    _segmented = false;
    _pieces.clear();
    if (!_to_stdout) {
        std::error_code ignored;
        std::filesystem::remove(_state_path, ignored);
        _touched = true;
        if (!open_output(CREATE_ALWAYS)) return;
    }
    run_stream();
}

void download::run_stream() {
    begin_progress();
    _stream_retry_at.reset();
    _stream_verdict.reset();
    _stream_redirect = false;
    auto worker = std::make_unique<fetch>(_host, _connections, _url);
    fetch* started = worker.get();
    _fetches.push_back(std::move(worker));
    ++_running;
    ++_started;
    auto counted = [this](std::uint64_t bytes) {
        _received += bytes;
        start_writeback();
    };
    if (_to_stdout)
        started->write_body_to(
            [](const char* data, std::size_t size) {
                while (size > 0) {
                    const ssize_t n = ::write(1, data, size);
                    if (n < 0 && errno == EINTR) continue;
                    if (n <= 0) return false;
                    data += n;
                    size -= static_cast<std::size_t>(n);
                }
                return true;
            },
            counted);
    else
        started->write_body_to(_file.get(), 0, _size.value_or(0), counted);
    started->add_headers(request_headers(false));
    started->start(
        "GET", std::nullopt,
        [this](const message_parser& answer) {
            const int status = answer.status();
            if (status >= 300 && status < 400 && status != 304) {
                _status = status;
                _location = answer.header("Location");
                _stream_redirect = true;
                return false;
            }
            if (status < 200 || status >= 300) {
                _stream_verdict = http_failure(status);
                return false;
            }
            _stream_length = answer.content_length();
            return true;
        },
        [this, started](const outcome& result) {
            --_running;
            retire(started);
            if (_over) return;
            if (_stream_redirect) {
                later([this] {
                    if (_over) return;
                    _stream_redirect = false;
                    if (redirect()) stream();
                });
                return;
            }
            outcome ended = _stream_verdict ? *_stream_verdict : result;
            if (ended.ok() && _stream_length && _received != *_stream_length)
                ended = {exit_protocol, "the answer ended after " + std::to_string(_received) + " of " +
                                            std::to_string(*_stream_length) + " bytes"};
            if (!ended.ok()) {
                // Without ranges a new try starts from the first byte,
                // which standard output cannot take back.
                if ((_to_stdout && _received > 0) ||
                    !again_later(ended, _stream_attempts, _stream_retry_at))
                    fail(ended);
                return;
            }
            _stream_done = true;
            check_complete();
        });
}

void download::restart_stream() {
    _received = _written_back = 0;
    if (!_to_stdout) {
        if (_file) _file->Close();
        _file.reset();
        if (!open_output(CREATE_ALWAYS)) return;
    }
    run_stream();
}

}  // namespace asynframe::tools
