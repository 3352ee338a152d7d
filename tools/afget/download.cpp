#include "afget/download.h"

#include <unistd.h>
#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace asynframe::tools {

namespace {

constexpr int max_redirects = 5;
// Written bytes are handed to the disk once this many have gathered, so the
// flush before the rename finds little left to write.
constexpr std::uint64_t writeback_step = 16 * 1024 * 1024;
// Time-outs, retries and the progress all run off one timer.
constexpr DWORD tick_ms = 100;
constexpr std::chrono::seconds state_period{1};

// The pause before the nth attempt in a row: 0.5 s, doubling, at most 10 s.
std::chrono::milliseconds back_off(int attempt) {
    return std::chrono::milliseconds(std::min<long>(10000, 500L << std::min(attempt - 1, 5)));
}

std::string seconds_text(std::chrono::milliseconds span) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", static_cast<double>(span.count()) / 1000);
    return text;
}

// Statuses that say "not now" rather than "no".
bool passing_status(int status) {
    return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

}  // namespace

download::download(host& owner, const options& settings, const connection_settings& connections, url target,
                   std::string final_name, std::function<void(const outcome&)> done)
    : _host(owner), _options(settings), _connections(connections), _url(std::move(target)),
      _done(std::move(done)), _final(std::move(final_name)), _alive(std::make_shared<bool>(true)) {
    _to_stdout = _final == "-";
    _part = _final + ".part";
    _state_path = _part + ".state";
    _name = _to_stdout ? std::string("-") : std::filesystem::path(_final).filename().string();
    // Credentials go only to where they were given for.
    if (!_url.user.empty() || !_url.password.empty())
        _credentials = _url.user + ":" + _url.password;
    else if (_options.user)
        _credentials = _options.user->first + ":" + _options.user->second;
    _credentials_origin = _url.origin();
}

download::~download() {
    *_alive = false;
    if (_checker.joinable()) {
        const std::uint64_t one = 1;
        (void)!::write(_proxy_cancel, &one, sizeof one);
        _checker.join();
    }
    if (_proxy_cancel >= 0) ::close(_proxy_cancel);
    stop_transfers(true);
    unlock();
}

void download::start() {
    if (!_to_stdout) {
        std::error_code failed;
        if (std::filesystem::exists(_final, failed) && !_options.overwrite) {
            report({exit_failure, _final + " already exists; give --overwrite to replace it"});
            return;
        }
        if (!lock()) return;
    }
    _timer = std::make_unique<timer>(_host.frame(), tick_ms, [this] { tick(); });
    probe();
}

// SIGINT: what arrived stays for the next run. The words to end with.
std::string download::interrupt() {
    if (_over) return "interrupted";
    _over = true;
    save_now();
    stop_transfers(true);
    if (_view) _view->close();
    const bool resumable = can_resume();
    if (!resumable) clean_up();
    unlock();
    return resumable ? "interrupted; run again to resume" : "interrupted";
}

// ---- the output file and its lock ---------------------------------------------------------

bool download::lock() {
    std::error_code failed;
    const bool existed = std::filesystem::exists(_part, failed);
    _lock = ::open(_part.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (_lock < 0) {
        report({exit_failure, "cannot open " + _part + ": " + std::strerror(errno)});
        return false;
    }
    if (::flock(_lock, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        ::close(_lock);
        _lock = -1;
        report({exit_failure, why == EWOULDBLOCK
                                  ? _part + " is in use by another afget run; not starting a second one"
                                  : "cannot lock " + _part + ": " + std::strerror(why)});
        return false;
    }
    _made_part = !existed;
    return true;
}

void download::unlock() {
    if (_lock >= 0) ::close(_lock);
    _lock = -1;
}

// True when a later run can take up from here.
bool download::can_resume() const {
    if (_to_stdout || !_segmented) return false;
    for (const piece& each : _pieces)
        if (each.written > 0) return true;
    return false;
}

// Nothing worth keeping: the part and its record go.
void download::clean_up() {
    if (_to_stdout || _lock < 0) return;
    std::error_code ignored;
    std::filesystem::remove(_state_path, ignored);
    // A part that was there before and that this run left alone stays.
    if (_made_part || _touched) std::filesystem::remove(_part, ignored);
}

// Runs `work` at a later turn of the dispatch thread, unless this
// download is gone by then.
void download::later(std::function<void()> work) {
    std::weak_ptr<bool> alive = _alive;
    _host.post([alive, work = std::move(work)] {
        const auto still = alive.lock();
        if (still && *still) work();
    });
}

// ---- the end of every path ----------------------------------------------------------------

// `now` only from outside every fetch's callbacks.
void download::stop_transfers(bool now) {
    for (auto& each : _fetches) each->cancel();
    // Often called from inside a fetch's callback: stopped now, destroyed
    // once that callback has returned.
    if (!_fetches.empty() && !now) {
        auto* retired = new std::vector<std::unique_ptr<fetch>>(std::move(_fetches));
        _host.post([retired] { delete retired; });
    }
    _fetches.clear();
    for (piece_run& each : _runs) each.worker = nullptr;
    _running = 0;
    if (_file) _file->Close();
    _file.reset();
}

// ---- the first request: size, ranges, validator, redirects --------------------------------

std::string download::request_headers(bool with_validator) const {
    std::string lines;
    if (!_credentials.empty() && _url.origin() == _credentials_origin)
        lines += "Authorization: Basic " + base64_encode(_credentials) + "\r\n";
    if (with_validator && !_if_range.empty()) lines += "If-Range: " + _if_range + "\r\n";
    return lines;
}

outcome download::http_failure(int status) const {
    const std::string what = "HTTP " + std::to_string(status) + " for " + _url.text();
    if (status == 401) {
        if (!_credentials.empty() && _url.origin() == _credentials_origin)
            return {exit_http, what + ": the server refused the user name or password"};
        return {exit_http, what + ": the server asks for a user name and password (give --user USER:PASS)"};
    }
    outcome failure{exit_http, what};
    failure.retry = passing_status(status);
    return failure;
}

void download::probe() {
    _probe_retry_at.reset();
    auto first = std::make_unique<fetch>(_host, _connections, _url);
    fetch* started = first.get();
    _fetches.push_back(std::move(first));
    started->add_headers(request_headers(false));
    started->start(
        "HEAD", std::nullopt,
        [this](const message_parser& answer) {
            _status = answer.status();
            _location = answer.header("Location");
            _size = answer.content_length();
            _ranges = answer.header("Accept-Ranges").find("bytes") != std::string::npos;
            _validator = validator_of(answer);
            return true;
        },
        [this](const outcome& result) {
            later([this, result] {
                if (_over) return;
                _fetches.clear();
                probed(result);
            });
        });
}

// A failure worth another try gets one after a pause; true when it does.
bool download::again_later(const outcome& result, int& attempts, std::optional<clock_type::time_point>& when) {
    if (!result.retry || attempts >= _options.retries) return false;
    ++attempts;
    const auto pause = back_off(attempts);
    when = clock_type::now() + pause;
    notice(_name + ": " + result.text + "; trying again in " + seconds_text(pause) + " (" +
           std::to_string(attempts) + " of " + std::to_string(_options.retries) + ")");
    return true;
}

bool download::redirect() {
    if (++_redirects > max_redirects) {
        fail({exit_http, "more than " + std::to_string(max_redirects) + " redirects from " + _url.text()});
        return false;
    }
    const std::optional<url> next = resolve_location(_url, _location);
    if (!next) {
        fail({exit_protocol, "HTTP " + std::to_string(_status) + " without a usable Location from " + _url.text()});
        return false;
    }
    _url = *next;
    return true;
}

void download::probed(const outcome& result) {
    if (!result.ok()) {
        if (!again_later(result, _probe_attempts, _probe_retry_at)) fail(result);
        return;
    }
    if (_status >= 300 && _status < 400 && _status != 304) {
        if (redirect()) probe();
        return;
    }
    if (_status == 405 || _status == 501) {
        // No HEAD here: one plain GET tells everything.
        _size.reset();
        _ranges = false;
        stream();
        return;
    }
    if (_status >= 400 || _status < 200) {
        const outcome failure = http_failure(_status);
        if (!again_later(failure, _probe_attempts, _probe_retry_at)) fail(failure);
        return;
    }
    _probe_attempts = 0;
    if (_size && *_size > 0 && _ranges && !_to_stdout)
        segmented();
    else
        stream();
}

// ---- the clock ----------------------------------------------------------------------------

void download::tick() {
    if (_over) return;
    const clock_type::time_point now = clock_type::now();
    // A fetch that times out ends here and now; none is destroyed before
    // this returns (they are retired through posts).
    std::vector<fetch*> running;
    for (const auto& each : _fetches) running.push_back(each.get());
    for (fetch* each : running) {
        if (_over) return;
        each->check_time(now);
    }
    if (_over) return;
    if (_probe_retry_at && now >= *_probe_retry_at) {
        _fetches.clear();
        probe();
    }
    if (_stream_retry_at && now >= *_stream_retry_at) restart_stream();
    for (std::size_t i = 0; i < _runs.size() && !_over; ++i)
        if (_runs[i].retry_at && now >= *_runs[i].retry_at && _runs[i].worker == nullptr) start_piece(i);
    if (_over) return;
    if (_view) _view->update(_resumed_bytes + _received, _received, _size);
    if (now - _last_save >= state_period) save_now();
}

void download::start_writeback() {
    // Only starts the writing out (it waits for none of it); the flush at
    // the end still waits for every byte. Started as the writes land, not on
    // the tick, so at most one step is left for that flush.
    if (_lock < 0 || _to_stdout || _received < _written_back + writeback_step) return;
    _written_back = _received;
    ::sync_file_range(_lock, 0, 0, SYNC_FILE_RANGE_WRITE);
}

void download::save_now() {
    _last_save = clock_type::now();
    if (!_segmented || _pieces.empty() || !_size || _to_stdout) return;
    save_state(_state_path, {*_size, _if_range, _pieces});
}

void download::check_complete() {
    if (_over || _running != 0) return;
    if (_segmented) {
        for (const piece_run& each : _runs)
            if (each.retry_at) return;
        if (_error) {
            fail(*_error);
            return;
        }
        for (const piece& each : _pieces)
            if (each.left() != 0) return;
    } else if (!_stream_done) {
        return;
    }
    if (_to_stdout) {
        finished();
        return;
    }
    // Flushed before the rename, so the complete name never names a file
    // whose bytes are not all there.
    _create = std::make_unique<operation>(_host.frame());
    _create->on_complete([this](DWORD error, DWORD) {
        if (error != 0) {
            fail({exit_failure, "flushing " + _part + " failed: " + describe_error(error)});
            return;
        }
        finished();
    });
    if (_file->Flush(_create->get()) != S_OK) finished();
}

}  // namespace asynframe::tools
