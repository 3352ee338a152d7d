// afget URL... [-o FILE|DIR|-] [-c N] [--retry N] [--connect-timeout S]
//              [--timeout S] [--user USER:PASS] [--overwrite] [--limit RATE]
//              [--proxy socks5://...] [--cacert FILE] [--insecure]
// Downloads over HTTP/1.1 (and HTTPS) through the frame's sockets. A server
// that accepts ranges gets N ranges over N connections, written at their
// places in a file made at its final size. The output is FILE.part (locked
// while a run works on it) until the last byte is in; FILE.part.state records
// the server's validator and what each range has, so a later run resumes.
// A range that breaks is taken up again where it stopped, after a pause that
// grows with each failure in a row.
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "afget/fetch.h"
#include "afget/progress.h"
#include "afget/state.h"
#include "common/command_line.h"

using namespace asynframe;
using namespace asynframe::tools;

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int max_redirects = 5;
// Ranges smaller than this are not worth a connection of their own.
constexpr std::uint64_t min_piece = 1024 * 1024;
// Time-outs, retries and the progress all run off one timer.
constexpr DWORD tick_ms = 100;
// A file that changes on the server again and again is not chased forever.
constexpr int max_restarts = 3;
constexpr std::chrono::seconds state_period{1};

struct options {
    std::vector<std::string> urls;
    std::string output;
    int connections = 1;
    std::uint64_t limit = 0;
    progress_mode progress = progress_mode::automatic;
    int retries = 5;
    bool overwrite = false;
    std::optional<std::pair<std::string, std::string>> user;
};

std::string output_name(const url& from) {
    std::string path = from.target.substr(0, from.target.find('?'));
    std::string name = path.substr(path.rfind('/') + 1);
    std::string decoded;
    if (!percent_decode(name, decoded) || decoded.empty() || decoded == "." || decoded == ".." ||
        decoded.find('/') != std::string::npos)
        return "index.html";
    return decoded;
}

// The pause before the nth attempt in a row: 0.5 s, doubling, at most 10 s.
std::chrono::milliseconds back_off(int attempt) {
    return std::chrono::milliseconds(std::min<long>(10000, 500L << std::min(attempt - 1, 5)));
}

std::string seconds_text(std::chrono::milliseconds span) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", static_cast<double>(span.count()) / 1000);
    return text;
}

// If-Range takes a strong validator only: an ETag that is not weak, else the
// date.
std::string validator_of(const message_parser& answer) {
    const std::string tag = answer.header("ETag");
    if (!tag.empty() && tag.rfind("W/", 0) != 0) return tag;
    return answer.header("Last-Modified");
}

// Statuses that say "not now" rather than "no".
bool passing_status(int status) {
    return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

struct piece_run {
    fetch* worker = nullptr;
    int attempts = 0;  // failed attempts in a row
    std::optional<clock_type::time_point> retry_at;
    std::uint64_t written_at_start = 0;
    std::optional<outcome> verdict;  // the head check's, when it stopped the exchange
    bool changed = false;            // the answer says the file is another one now
};

// One URL from the first request to the renamed file (or to standard output).
class download {
public:
    download(host& owner, const options& settings, const connection_settings& connections, url target,
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

    ~download() {
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

    void start() {
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
    std::string interrupt() {
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

private:
    // ---- the output file and its lock ---------------------------------------------------------

    bool lock() {
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

    void unlock() {
        if (_lock >= 0) ::close(_lock);
        _lock = -1;
    }

    // True when a later run can take up from here.
    bool can_resume() const {
        if (_to_stdout || !_segmented) return false;
        for (const piece& each : _pieces)
            if (each.written > 0) return true;
        return false;
    }

    // Nothing worth keeping: the part and its record go.
    void clean_up() {
        if (_to_stdout || _lock < 0) return;
        std::error_code ignored;
        std::filesystem::remove(_state_path, ignored);
        // A part that was there before and that this run left alone stays.
        if (_made_part || _touched) std::filesystem::remove(_part, ignored);
    }

    // Runs `work` at a later turn of the dispatch thread, unless this
    // download is gone by then.
    void later(std::function<void()> work) {
        std::weak_ptr<bool> alive = _alive;
        _host.post([alive, work = std::move(work)] {
            const auto still = alive.lock();
            if (still && *still) work();
        });
    }

    void notice(const std::string& text) {
        if (_view)
            _view->note("afget: " + text);
        else
            print_error(text);
    }

    // ---- the end of every path ----------------------------------------------------------------

    // `now` only from outside every fetch's callbacks.
    void stop_transfers(bool now = false) {
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

    void fail(outcome result) {
        if (_over) return;
        _over = true;
        save_now();
        stop_transfers();
        if (_view) _view->close();
        if (result.code == exit_proxy && result.error == 1928 && _connections.proxy &&
            !_connections.proxy->user.empty() && !_checker.joinable()) {
            check_proxy_login(result);
            return;
        }
        conclude(result);
    }

    void conclude(outcome result) {
        if (can_resume())
            result.text += "; run again to resume";
        else
            clean_up();
        unlock();
        report(result);
    }

    void report(const outcome& result) {
        _over = true;
        auto done = std::exchange(_done, nullptr);
        if (done) done(result);
    }

    // A SOCKS5 refusal says neither whether the login or the connection was
    // refused: the frame's proxy check tells. It waits for the dispatch
    // thread, so it runs on one of its own.
    void check_proxy_login(const outcome& result) {
        auto record = std::make_shared<PROXY_RECORD>();
        std::memset(record.get(), 0, sizeof *record);
        const url& proxy = *_connections.proxy;
        record->kind = PROXY_KIND_SOCKS5;
        record->host_length = static_cast<DWORD>(std::min<std::size_t>(proxy.host.size(), 255));
        std::memcpy(record->host, proxy.host.data(), record->host_length);
        record->port = proxy.port;
        record->user_length = static_cast<DWORD>(std::min<std::size_t>(proxy.user.size(), 255));
        std::memcpy(record->user, proxy.user.data(), record->user_length);
        record->password_length = static_cast<DWORD>(std::min<std::size_t>(proxy.password.size(), 255));
        std::memcpy(record->password, proxy.password.data(), record->password_length);
        _proxy_cancel = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        IAsynFrame3* frame = _host.frame();
        std::weak_ptr<bool> alive = _alive;
        _checker = std::thread([this, frame, record, result, alive, cancel = _proxy_cancel] {
            LONG verdict = PROXY_VERIFY_OTHER;
            const HRESULT answered = frame->VerifyProxy(record.get(), cancel, &verdict);
            _host.post([this, alive, answered, verdict, result] {
                const auto still = alive.lock();
                if (!still || !*still) return;
                if (_checker.joinable()) _checker.join();
                outcome told = result;
                if (answered == S_OK && verdict == PROXY_VERIFY_REFUSED)
                    told.text = "the proxy " + _connections.proxy->host + ":" +
                                std::to_string(_connections.proxy->port) +
                                " refused the user name or password";
                conclude(told);
            });
        });
    }

    // ---- the first request: size, ranges, validator, redirects --------------------------------

    std::string request_headers(bool with_validator) const {
        std::string lines;
        if (!_credentials.empty() && _url.origin() == _credentials_origin)
            lines += "Authorization: Basic " + base64_encode(_credentials) + "\r\n";
        if (with_validator && !_if_range.empty()) lines += "If-Range: " + _if_range + "\r\n";
        return lines;
    }

    outcome http_failure(int status) const {
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

    void probe() {
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
    bool again_later(const outcome& result, int& attempts, std::optional<clock_type::time_point>& when) {
        if (!result.retry || attempts >= _options.retries) return false;
        ++attempts;
        const auto pause = back_off(attempts);
        when = clock_type::now() + pause;
        notice(_name + ": " + result.text + "; trying again in " + seconds_text(pause) + " (" +
               std::to_string(attempts) + " of " + std::to_string(_options.retries) + ")");
        return true;
    }

    bool redirect() {
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

    void probed(const outcome& result) {
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

    // ---- many ranges --------------------------------------------------------------------------

    void segmented() {
        const std::uint64_t size = *_size;
        _segmented = true;
        _if_range = _validator;
        std::error_code failed;
        const std::uint64_t on_disk = std::filesystem::file_size(_part, failed);
        std::string why;
        const std::optional<download_state> record = load_state(_state_path, why);
        if (record) {
            if (record->size != size)
                why = "its size on the server changed";
            else if (!record->validator.empty() && !_validator.empty() && record->validator != _validator)
                why = "it changed on the server";
            else if (failed || on_disk != size)
                why = _part + " does not match its record";
            if (why.empty()) {
                _pieces = record->pieces;
                // A record without a validator (an older afget's) is taken
                // as being of the file the server has now.
                if (!record->validator.empty()) _if_range = record->validator;
                extend(size, true);
                return;
            }
        }
        if (!why.empty()) {
            notice(_name + ": " + why + "; starting over");
            fresh(size);
            return;
        }
        // A part without a record was written from the start on (by a
        // single stream, or by another tool): it is a prefix.
        if (!failed && on_disk > 0 && on_disk < size) {
            plan(on_disk, size);
            extend(size, true);
            return;
        }
        fresh(size);
    }

    void fresh(std::uint64_t size) {
        std::error_code ignored;
        std::filesystem::remove(_state_path, ignored);
        // Emptied in place: the lock stays on this very file.
        _touched = true;
        if (::ftruncate(_lock, 0) != 0) {
            fail({exit_failure, "cannot empty " + _part + ": " + std::strerror(errno)});
            return;
        }
        plan(0, size);
        extend(size, false);
    }

    void plan(std::uint64_t from, std::uint64_t size) {
        const std::uint64_t remaining = size - from;
        std::uint64_t count = std::max<std::uint64_t>(1, std::min<std::uint64_t>(
                                                             static_cast<std::uint64_t>(_options.connections),
                                                             (remaining + min_piece - 1) / min_piece));
        _pieces.clear();
        if (from > 0) _pieces.push_back({0, from, from});
        const std::uint64_t step = remaining / count;
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint64_t start = from + i * step;
            _pieces.push_back({start, i + 1 == count ? size : start + step, 0});
        }
    }

    void extend(std::uint64_t size, bool resumed) {
        _create = std::make_unique<operation>(_host.frame());
        _create->on_complete([this, resumed](DWORD error, DWORD) {
            if (error != 0) {
                fail({exit_failure, "cannot make " + _part + " " + std::to_string(*_size) +
                                        " bytes long: " + describe_error(error)});
                return;
            }
            open_and_run(resumed);
        });
        if (_host.frame()->ExtendFile(_create->get(), low_half(size), high_half(size),
                                      static_cast<DWORD>(_part.size()), _part.c_str()) != S_OK)
            fail({exit_failure, "cannot open " + _part});
    }

    bool open_output(DWORD disposition) {
        if (_host.frame()->CreateAsynFile(_file.put()) != S_OK ||
            _file->Open(static_cast<DWORD>(_part.size()), _part.c_str(), GENERIC_WRITE, FILE_SHARE_READ, disposition,
                        FILE_ATTRIBUTE_NORMAL) != S_OK) {
            _file.reset();
            fail({exit_failure, "cannot open " + _part + " for writing"});
            return false;
        }
        return true;
    }

    void open_and_run(bool resumed) {
        if (_over || !open_output(OPEN_EXISTING)) return;
        _resumed_bytes = 0;
        for (const piece& each : _pieces) _resumed_bytes += each.written;
        if (resumed && _resumed_bytes > 0)
            notice("resuming " + _part + " at " + human_bytes(static_cast<double>(_resumed_bytes)) + " of " +
                   human_bytes(static_cast<double>(*_size)));
        begin_progress();
        _runs.assign(_pieces.size(), piece_run{});
        save_now();
        for (std::size_t i = 0; i < _pieces.size(); ++i)
            if (_pieces[i].left() > 0) start_piece(i);
        check_complete();
    }

    void start_piece(std::size_t index) {
        piece& each = _pieces[index];
        piece_run& run = _runs[index];
        run.retry_at.reset();
        run.verdict.reset();
        run.changed = false;
        run.written_at_start = each.written;
        auto worker = std::make_unique<fetch>(_host, _connections, _url);
        fetch* started = worker.get();
        run.worker = started;
        _fetches.push_back(std::move(worker));
        ++_running;
        ++_started;
        const std::uint64_t first = each.start + each.written;
        const std::uint64_t last = each.end - 1;
        started->write_body_to(_file.get(), first, each.left(), [this, index](std::uint64_t bytes) {
            _pieces[index].written += bytes;
            _received += bytes;
        });
        started->take_window(0);
        started->add_headers(request_headers(true));
        started->start(
            "GET", std::make_pair(first, last),
            [this, index, first, last, started](const message_parser& answer) {
                piece_run& run = _runs[index];
                const int status = answer.status();
                if (status == 206) {
                    std::uint64_t a = 0, b = 0, total = 0;
                    if (!parse_content_range(answer.header("Content-Range"), a, b, total)) {
                        run.verdict = outcome{exit_protocol, "a 206 answer without a usable Content-Range from " +
                                                                 _url.text()};
                        return false;
                    }
                    if (total != *_size) {
                        run.changed = true;
                        return false;
                    }
                    if (a > first || b < first) {
                        run.verdict = outcome{exit_protocol, "the server answered bytes " + std::to_string(a) + "-" +
                                                                 std::to_string(b) + " when asked for " +
                                                                 std::to_string(first) + "-" + std::to_string(last)};
                        return false;
                    }
                    // Bytes before the ones asked for are dropped; fewer than
                    // asked for are continued from where they stop.
                    started->take_window(first - a);
                    return true;
                }
                if (status == 200) {
                    // A whole answer to If-Range: the file is another one
                    // now, unless it is the same and ranges were ignored.
                    if ((!_if_range.empty() && validator_of(answer) != _if_range) ||
                        (answer.content_length() && *answer.content_length() != *_size)) {
                        run.changed = true;
                        return false;
                    }
                    started->take_window(first);
                    return true;
                }
                if (status == 416) {
                    run.changed = true;
                    return false;
                }
                run.verdict = http_failure(status);
                return false;
            },
            [this, index, started](const outcome& result) { piece_ended(index, started, result); });
    }

    void retire(fetch* finished) {
        const auto found = std::find_if(_fetches.begin(), _fetches.end(),
                                        [finished](const auto& each) { return each.get() == finished; });
        if (found == _fetches.end()) return;
        auto* retired = found->release();
        _fetches.erase(found);
        _host.post([retired] { delete retired; });
    }

    void piece_ended(std::size_t index, fetch* finished, const outcome& result) {
        piece_run& run = _runs[index];
        run.worker = nullptr;
        --_running;
        retire(finished);
        if (_over) return;
        if (run.changed) {
            start_over();
            return;
        }
        const outcome ended = run.verdict ? *run.verdict : result;
        const piece& each = _pieces[index];
        if (ended.ok() && each.left() == 0) {
            check_complete();
            return;
        }
        if (ended.ok() || each.written > run.written_at_start) {
            // Progress, then a stop (a short answer, a reset): take up again
            // at once from where it stopped.
            if (ended.ok() || ended.retry) {
                run.attempts = 0;
                run.retry_at = clock_type::now();
                return;
            }
        }
        outcome failure = ended;
        if (failure.ok()) {
            failure = {exit_protocol, "the answer for bytes " + std::to_string(each.start + each.written) + "-" +
                                          std::to_string(each.end - 1) + " of " + _url.text() + " ended early"};
            failure.retry = true;
        }
        if (again_later(failure, run.attempts, run.retry_at)) return;
        // This range is done for; the others go on and keep what they get.
        if (!_error) _error = failure;
        save_now();
        check_complete();
    }

    void start_over() {
        if (++_restarts > max_restarts) {
            fail({exit_protocol, _url.text() + " keeps changing on the server"});
            return;
        }
        stop_transfers();
        notice(_name + ": it changed on the server; starting over");
        std::error_code ignored;
        std::filesystem::remove(_state_path, ignored);
        _touched = true;
        if (::ftruncate(_lock, 0) != 0) {
            fail({exit_failure, "cannot empty " + _part + ": " + std::strerror(errno)});
            return;
        }
        _pieces.clear();
        _runs.clear();
        _received = _resumed_bytes = 0;
        _error.reset();
        _view.reset();
        probe();
    }

    // ---- one stream ---------------------------------------------------------------------------

    void stream() {
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

    void run_stream() {
        begin_progress();
        _stream_retry_at.reset();
        _stream_verdict.reset();
        _stream_redirect = false;
        auto worker = std::make_unique<fetch>(_host, _connections, _url);
        fetch* started = worker.get();
        _fetches.push_back(std::move(worker));
        ++_running;
        ++_started;
        auto counted = [this](std::uint64_t bytes) { _received += bytes; };
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

    void restart_stream() {
        _received = 0;
        if (!_to_stdout) {
            if (_file) _file->Close();
            _file.reset();
            if (!open_output(CREATE_ALWAYS)) return;
        }
        run_stream();
    }

    // ---- the clock ----------------------------------------------------------------------------

    void tick() {
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

    void begin_progress() {
        if (!_view) _view = std::make_unique<progress_view>(_options.progress, _name);
    }

    void save_now() {
        _last_save = clock_type::now();
        if (!_segmented || _pieces.empty() || !_size || _to_stdout) return;
        save_state(_state_path, {*_size, _if_range, _pieces});
    }

    void check_complete() {
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

    void finished() {
        if (_over) return;
        const double seconds = _view ? _view->seconds() : 0;
        const double rate = seconds > 0 ? static_cast<double>(_received) / seconds : 0;
        const std::uint64_t total = _resumed_bytes + _received;
        if (_view) _view->finish(total, _received, _size ? _size : std::optional<std::uint64_t>(total));
        if (_file) _file->Close();
        _file.reset();
        const std::string connections = std::to_string(std::max<std::size_t>(1, _started)) + " connection" +
                                        (_started > 1 ? "s" : "");
        if (_to_stdout) {
            _over = true;
            std::fprintf(stderr, "afget: wrote %s to standard output (%.2f s, %s/s, %s)\n",
                         human_bytes(static_cast<double>(total)).c_str(), seconds, human_bytes(rate).c_str(),
                         connections.c_str());
            report({});
            return;
        }
        std::error_code failed;
        std::filesystem::rename(_part, _final, failed);
        if (failed) {
            fail({exit_failure, "cannot rename " + _part + " to " + _final + ": " + failed.message()});
            return;
        }
        _over = true;
        std::filesystem::remove(_state_path, failed);
        unlock();
        std::printf("afget: saved %s (%s in %.2f s, %s/s, %s)\n", _final.c_str(),
                    human_bytes(static_cast<double>(total)).c_str(), seconds, human_bytes(rate).c_str(),
                    connections.c_str());
        std::fflush(stdout);
        report({});
    }

    host& _host;
    const options& _options;
    const connection_settings& _connections;
    url _url;
    std::function<void(const outcome&)> _done;
    std::string _final, _part, _state_path, _name;
    bool _to_stdout = false;
    std::string _credentials, _credentials_origin;
    std::shared_ptr<bool> _alive;
    int _lock = -1;
    bool _made_part = false;
    bool _touched = false;  // this run emptied or rewrote the part
    std::vector<std::unique_ptr<fetch>> _fetches;
    std::unique_ptr<operation> _create;
    ref<IAsynFile> _file;
    std::vector<piece> _pieces;
    std::vector<piece_run> _runs;
    std::unique_ptr<progress_view> _view;
    std::unique_ptr<timer> _timer;
    clock_type::time_point _last_save;
    int _status = 0;
    std::string _location, _validator, _if_range;
    std::optional<std::uint64_t> _size, _stream_length;
    bool _ranges = false;
    bool _segmented = false;
    int _redirects = 0;
    int _restarts = 0;
    int _running = 0;
    bool _over = false;
    bool _stream_done = false;
    bool _stream_redirect = false;
    std::optional<outcome> _stream_verdict, _error;
    int _probe_attempts = 0, _stream_attempts = 0;
    std::optional<clock_type::time_point> _probe_retry_at, _stream_retry_at;
    std::uint64_t _received = 0;
    std::uint64_t _resumed_bytes = 0;
    std::size_t _started = 0;
    std::thread _checker;
    int _proxy_cancel = -1;
};

std::optional<std::chrono::milliseconds> parse_seconds(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end == nullptr || *end != '\0' || !(value > 0) || value > 86400) return std::nullopt;
    return std::chrono::milliseconds(std::max<long>(1, static_cast<long>(value * 1000)));
}

}  // namespace

int main(int argc, char** argv) {
    set_tool_name(argv[0]);
    CLI::App app{"afget: an HTTP/1.1 and HTTPS downloader on asynframe"};
    options settings;
    std::string limit, proxy, cacert, library, progress = "auto", user, connect_timeout = "60", idle_timeout = "60";
    bool insecure = false;
    app.add_option("URL", settings.urls, "what to download (http:// or https://); each is tried")->required();
    app.add_option("-o,--output", settings.output,
                   "output file (one URL only), existing folder to save into, or - for standard output");
    app.add_option("-c,--connections", settings.connections, "connections (ranges) per file, 1 to 16")
        ->check(CLI::Range(1, 16));
    app.add_option("--retry", settings.retries, "tries after a failure, per range (default 5)")
        ->check(CLI::Range(0, 100));
    app.add_option("--connect-timeout", connect_timeout, "seconds a connection may take to open (default 60)");
    app.add_option("--timeout", idle_timeout, "seconds a connection may stay silent (default 60)");
    app.add_option("--user", user, "USER:PASS for the server (Basic)");
    app.add_flag("--overwrite", settings.overwrite, "replace an existing complete file");
    app.add_option("--limit", limit, "total rate limit in bytes per second (k, M, G suffixes)");
    app.add_option("--proxy", proxy, "SOCKS5 proxy: socks5://[user:pass@]host:port");
    app.add_option("--cacert", cacert, "PEM file of certificates to trust besides the system's");
    app.add_flag("-k,--insecure", insecure, "do not verify the server's certificate");
    app.add_option("--progress", progress, "auto, bar, lines or none")
        ->check(CLI::IsMember({"auto", "bar", "lines", "none"}));
    app.add_option("--library", library, "path of libasynframe.so");
    if (const std::optional<int> stop = parse_command_line(app, argc, argv)) return *stop;
    settings.progress = progress == "bar"     ? progress_mode::bar
                        : progress == "lines" ? progress_mode::lines
                        : progress == "none"  ? progress_mode::none
                                              : progress_mode::automatic;
    std::vector<url> targets;
    for (const std::string& text : settings.urls) {
        std::string why;
        const std::optional<url> parsed = parse_url(text, "http,https", why);
        if (!parsed) {
            print_error(why);
            return exit_usage;
        }
        targets.push_back(*parsed);
    }
    // Where each URL goes: the named file, a file named after the URL in the
    // named folder, or standard output.
    std::vector<std::string> names;
    const std::string& output = settings.output;
    std::error_code failed;
    const bool into_folder = !output.empty() && output != "-" &&
                             (std::filesystem::is_directory(output, failed) || output.back() == '/');
    if (into_folder && !std::filesystem::is_directory(output, failed)) {
        print_error("-o: no folder " + output);
        return exit_usage;
    }
    for (const url& each : targets) {
        if (output.empty())
            names.push_back(output_name(each));
        else if (into_folder)
            names.push_back((std::filesystem::path(output) / output_name(each)).string());
        else
            names.push_back(output);
    }
    if (!output.empty() && output != "-" && !into_folder && targets.size() > 1) {
        print_error("-o names one file; give one URL with it, or a folder");
        return exit_usage;
    }
    connection_settings connections;
    if (!proxy.empty()) {
        std::string why;
        connections.proxy = parse_url(proxy, "socks5", why);
        if (!connections.proxy) {
            print_error("--proxy: " + why);
            return exit_usage;
        }
    }
    if (!user.empty()) {
        const std::size_t colon = user.find(':');
        if (colon == std::string::npos) {
            print_error("--user: USER:PASS expected");
            return exit_usage;
        }
        settings.user = std::make_pair(user.substr(0, colon), user.substr(colon + 1));
    }
    const auto connect_limit = parse_seconds(connect_timeout), idle_limit = parse_seconds(idle_timeout);
    if (!connect_limit) {
        print_error("--connect-timeout: not a number of seconds above 0: " + connect_timeout);
        return exit_usage;
    }
    if (!idle_limit) {
        print_error("--timeout: not a number of seconds above 0: " + idle_timeout);
        return exit_usage;
    }
    connections.connect_timeout = *connect_limit;
    connections.idle_timeout = *idle_limit;
    if (!limit.empty() && (!parse_amount(limit, settings.limit) || settings.limit == 0 ||
                           settings.limit >= SPEED_UNLIMITED)) {
        print_error("--limit: not a rate in bytes per second: " + limit);
        return exit_usage;
    }
    if (!cacert.empty() && ::access(cacert.c_str(), R_OK) != 0) {
        print_error("--cacert: cannot read " + cacert);
        return exit_usage;
    }
    try {
        host runner(library);
        runner.settings().set("ssl", "verify_peer", insecure ? 0u : 1u);
        if (!cacert.empty()) runner.settings().set("ssl", "ca_file", std::filesystem::absolute(cacert).string());
        ref<ISpeedLimit> total;
        std::unique_ptr<download> current;
        std::size_t next = 0;
        int worst = exit_ok;
        std::function<void()> start_next = [&] {
            if (next == targets.size()) {
                runner.finish(worst);
                return;
            }
            const std::size_t index = next++;
            current = std::make_unique<download>(runner, settings, connections, targets[index], names[index],
                                                 [&](const outcome& result) {
                                                     if (!result.ok()) {
                                                         print_error(result.text);
                                                         worst = std::max(worst, result.code);
                                                     }
                                                     runner.post([&] {
                                                         current.reset();
                                                         start_next();
                                                     });
                                                 });
            current->start();
        };
        return runner.run(
            [&] {
                if (settings.limit != 0) {
                    if (runner.frame()->CreateSpeedLimit(total.put()) != S_OK)
                        throw tool_error(exit_failure, "no rate limiter");
                    total->SetLimit(static_cast<DWORD>(settings.limit));
                    connections.limit = total.get();
                }
                start_next();
            },
            [&] {
                current.reset();
                total.reset();
            },
            [&] {
                const std::string words = current ? current->interrupt() : std::string("interrupted");
                runner.finish(exit_interrupted, words);
            });
    } catch (const tool_error& failure) {
        print_error(failure.what());
        return failure.code();
    }
}
