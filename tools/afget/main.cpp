// afget URL... [-o FILE] [-c N] [--limit RATE] [--proxy socks5://...]
//              [--cacert FILE] [--insecure]
// Downloads over HTTP/1.1 (and HTTPS) through the frame's sockets. A server
// that accepts ranges gets N ranges over N connections, written at their
// places in a file made at its final size. The output is FILE.part until the
// last byte is in; FILE.part.state records what each range has, so a later
// run resumes.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <optional>
#include <string>
#include <vector>

#include "afget/fetch.h"
#include "common/command_line.h"

using namespace asynframe;
using namespace asynframe::tools;

namespace {

constexpr int max_redirects = 5;
// Ranges smaller than this are not worth a connection of their own.
constexpr std::uint64_t min_piece = 1024 * 1024;

enum class progress_mode { automatic, bar, lines, none };

struct options {
    std::vector<std::string> urls;
    std::string output;
    int connections = 1;
    std::uint64_t limit = 0;
    progress_mode progress = progress_mode::automatic;
};

struct piece {
    std::uint64_t start = 0;
    std::uint64_t end = 0;      // one past the last byte
    std::uint64_t written = 0;  // bytes on disk from start on
    std::uint64_t left() const { return end - start - written; }
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

// The per-range record beside FILE.part.
class state_file {
public:
    static std::string path_for(const std::string& part) { return part + ".state"; }

    static bool load(const std::string& path, std::uint64_t size, std::vector<piece>& pieces) {
        std::ifstream in(path);
        std::string magic;
        std::uint64_t recorded = 0;
        if (!(in >> magic >> recorded) || magic != "afget-state-1" || recorded != size) return false;
        std::vector<piece> loaded;
        piece each;
        while (in >> each.start >> each.end >> each.written) {
            if (each.end > size || each.start > each.end || each.written > each.end - each.start) return false;
            loaded.push_back(each);
        }
        if (loaded.empty()) return false;
        pieces = loaded;
        return true;
    }

    static void save(const std::string& path, std::uint64_t size, const std::vector<piece>& pieces) {
        const std::string temporary = path + ".new";
        {
            std::ofstream out(temporary, std::ios::trunc);
            out << "afget-state-1 " << size << "\n";
            for (const piece& each : pieces) out << each.start << " " << each.end << " " << each.written << "\n";
            if (!out) return;
        }
        std::rename(temporary.c_str(), path.c_str());
    }
};

// Draws the bar on a terminal, or one plain line a second otherwise.
class progress_view {
public:
    progress_view(progress_mode mode, std::string name) : _name(std::move(name)) {
        if (mode == progress_mode::automatic) mode = ::isatty(2) ? progress_mode::bar : progress_mode::lines;
        _mode = mode;
        _begin = _last_line = std::chrono::steady_clock::now();
    }

    DWORD period() const { return _mode == progress_mode::bar ? 200 : 1000; }

    void show(std::uint64_t done, std::uint64_t total, double rate) {
        if (_mode == progress_mode::none) return;
        const int percent = total != 0 ? static_cast<int>(done * 100 / total) : -1;
        std::string amounts = human_bytes(static_cast<double>(done));
        if (total != 0) amounts += " of " + human_bytes(static_cast<double>(total));
        if (_mode == progress_mode::lines) {
            std::fprintf(stderr, "afget: %s: %s%s%s, %s/s\n", _name.c_str(),
                         percent >= 0 ? std::to_string(percent).c_str() : "", percent >= 0 ? "% " : "",
                         amounts.c_str(), human_bytes(rate).c_str());
            std::fflush(stderr);
            return;
        }
        constexpr int width = 30;
        std::string bar(width, ' ');
        if (percent >= 0)
            for (int i = 0; i < width * percent / 100; ++i) bar[static_cast<std::size_t>(i)] = '=';
        std::fprintf(stderr, "\r%-20.20s [%s] %3d%% %s %s/s   ", _name.c_str(), bar.c_str(), std::max(percent, 0),
                     amounts.c_str(), human_bytes(rate).c_str());
        std::fflush(stderr);
        _drawn = true;
    }

    void close() {
        if (_drawn) std::fprintf(stderr, "\n");
        _drawn = false;
    }

    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - _begin).count();
    }

private:
    progress_mode _mode;
    std::string _name;
    bool _drawn = false;
    std::chrono::steady_clock::time_point _begin, _last_line;
};

// One URL from the first request to the renamed file.
class download {
public:
    download(host& owner, const options& settings, const connection_settings& connections, url target,
             std::function<void(const outcome&)> done)
        : _host(owner), _options(settings), _connections(connections), _url(std::move(target)),
          _done(std::move(done)) {
        _final = _options.output.empty() ? output_name(_url) : _options.output;
        _part = _final + ".part";
        _state = state_file::path_for(_part);
    }

    ~download() { stop(); }

    void start() { probe(); }

    // SIGINT: keep what arrived for the next run.
    void interrupt() {
        save_state();
        stop();
    }

private:
    void stop() {
        _progress_timer.reset();
        _fetches.clear();
        if (_file) _file->Close();
        _file.reset();
    }

    void fail(const outcome& result) {
        if (_failed) return;
        _failed = true;
        save_state();
        finish_view();
        // Usually called from inside a fetch's callback: stopped now,
        // destroyed once that callback has returned.
        for (auto& each : _fetches) each->cancel();
        auto* retired = new std::vector<std::unique_ptr<fetch>>(std::move(_fetches));
        _fetches.clear();
        _host.post([retired] { delete retired; });
        if (_file) _file->Close();
        _file.reset();
        report(result);
    }

    void report(const outcome& result) {
        auto done = std::exchange(_done, nullptr);
        if (done) done(result);
    }

    // HEAD first: the size, whether ranges are served, and where redirects end.
    void probe() {
        auto first = std::make_unique<fetch>(_host, _connections, _url);
        fetch* probe_fetch = first.get();
        _fetches.push_back(std::move(first));
        probe_fetch->start(
            "HEAD", std::nullopt,
            [this](const message_parser& answer) {
                _status = answer.status();
                _location = answer.header("Location");
                _size = answer.content_length();
                _ranges = answer.header("Accept-Ranges").find("bytes") != std::string::npos;
                _reason = std::to_string(answer.status());
                return true;
            },
            [this](const outcome& result) {
                _host.post([this, result] {
                    _fetches.clear();
                    probed(result);
                });
            });
    }

    bool redirect() {
        if (++_redirects > max_redirects) {
            fail({exit_http, "more than " + std::to_string(max_redirects) + " redirects from " + _url.text()});
            return false;
        }
        const std::optional<url> next = resolve_location(_url, _location);
        if (!next) {
            fail({exit_protocol, "HTTP " + _reason + " without a usable Location from " + _url.text()});
            return false;
        }
        _url = *next;
        return true;
    }

    void probed(const outcome& result) {
        if (!result.ok()) {
            fail(result);
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
            fail({exit_http, "HTTP " + std::to_string(_status) + " for " + _url.text()});
            return;
        }
        if (_size && *_size > 0 && _ranges)
            segmented();
        else
            stream();
    }

    // ---- many ranges ----------------------------------------------------------------------

    void segmented() {
        const std::uint64_t size = *_size;
        std::error_code failed;
        const bool have_part = std::filesystem::is_regular_file(_part, failed);
        std::vector<piece> pieces;
        if (have_part && state_file::load(_state, size, pieces)) {
            _pieces = pieces;
            open_existing(size);
            return;
        }
        if (have_part) {
            // A part without a record was written from the start on (by a
            // single stream, or by another tool): it is a prefix.
            const std::uint64_t prefix = std::filesystem::file_size(_part, failed);
            if (!failed && prefix > 0 && prefix < size) {
                plan(prefix, size);
                open_existing(size);
                return;
            }
        }
        plan(0, size);
        create(size);
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

    void create(std::uint64_t size) {
        _create = std::make_unique<operation>(_host.frame());
        _create->on_complete([this](DWORD error, DWORD) {
            if (error != 0) {
                fail({exit_failure, "cannot create " + _part + ": " + describe_error(error)});
                return;
            }
            save_state();
            open_and_run(false);
        });
        if (_host.frame()->CreateAllocatedFile(_create->get(), low_half(size), high_half(size),
                                               static_cast<DWORD>(_part.size()), _part.c_str()) != S_OK)
            fail({exit_failure, "cannot create " + _part});
    }

    void open_existing(std::uint64_t size) {
        _create = std::make_unique<operation>(_host.frame());
        _create->on_complete([this](DWORD error, DWORD) {
            if (error != 0) {
                fail({exit_failure, "cannot open " + _part + ": " + describe_error(error)});
                return;
            }
            save_state();
            open_and_run(true);
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
        if (!open_output(OPEN_EXISTING)) return;
        for (const piece& each : _pieces) _resumed_bytes += each.written;
        if (resumed && _resumed_bytes > 0)
            std::fprintf(stderr, "afget: resuming %s at %s of %s\n", _part.c_str(),
                         human_bytes(static_cast<double>(_resumed_bytes)).c_str(),
                         human_bytes(static_cast<double>(*_size)).c_str());
        begin_progress();
        for (std::size_t i = 0; i < _pieces.size(); ++i)
            if (_pieces[i].left() > 0) start_piece(i);
        check_complete();
    }

    void start_piece(std::size_t index) {
        piece& each = _pieces[index];
        auto worker = std::make_unique<fetch>(_host, _connections, _url);
        fetch* started = worker.get();
        _fetches.push_back(std::move(worker));
        ++_running;
        ++_started;
        const std::uint64_t first = each.start + each.written;
        const std::uint64_t last = each.end - 1;
        const bool whole = first == 0 && each.end == *_size;
        started->write_body_to(_file.get(), first, each.left(), [this, index](std::uint64_t bytes) {
            _pieces[index].written += bytes;
            _received += bytes;
        });
        started->start(
            "GET", std::make_pair(first, last),
            [this, first, last, whole](const message_parser& answer) {
                if (answer.status() == 206) {
                    std::uint64_t a = 0, b = 0, total = 0;
                    if (parse_content_range(answer.header("Content-Range"), a, b, total) && a == first &&
                        b == last && total == *_size)
                        return true;
                    fail({exit_protocol, "the server answered another range than bytes " + std::to_string(first) +
                                             "-" + std::to_string(last) + " asked for"});
                    return false;
                }
                if (answer.status() == 200 && whole && answer.content_length() == _size) return true;
                if (answer.status() >= 400) {
                    fail({exit_http, "HTTP " + std::to_string(answer.status()) + " for " + _url.text()});
                    return false;
                }
                fail({exit_protocol, "the server did not keep to the range it offered (HTTP " +
                                         std::to_string(answer.status()) + ")"});
                return false;
            },
            [this, index](const outcome& result) {
                --_running;
                if (!result.ok()) {
                    fail(result);
                    return;
                }
                if (_pieces[index].left() != 0) {
                    fail({exit_protocol, "a range of " + _url.text() + " ended early"});
                    return;
                }
                check_complete();
            });
    }

    // ---- one stream -----------------------------------------------------------------------

    void stream() {
        _pieces.clear();
        std::error_code ignored;
        std::filesystem::remove(_state, ignored);
        if (_size && *_size > 0) {
            _pieces.push_back({0, *_size, 0});
            _create = std::make_unique<operation>(_host.frame());
            _create->on_complete([this](DWORD error, DWORD) {
                if (error != 0) {
                    fail({exit_failure, "cannot create " + _part + ": " + describe_error(error)});
                    return;
                }
                if (open_output(OPEN_EXISTING)) run_stream();
            });
            if (_host.frame()->CreateAllocatedFile(_create->get(), low_half(*_size), high_half(*_size),
                                                   static_cast<DWORD>(_part.size()), _part.c_str()) != S_OK)
                fail({exit_failure, "cannot create " + _part});
            return;
        }
        if (open_output(CREATE_ALWAYS)) run_stream();
    }

    void run_stream() {
        begin_progress();
        auto worker = std::make_unique<fetch>(_host, _connections, _url);
        fetch* started = worker.get();
        _fetches.push_back(std::move(worker));
        ++_running;
        started->write_body_to(_file.get(), 0, _size.value_or(0), [this](std::uint64_t bytes) {
            if (!_pieces.empty()) _pieces[0].written += bytes;
            _received += bytes;
        });
        started->start(
            "GET", std::nullopt,
            [this](const message_parser& answer) {
                if (answer.status() >= 300 && answer.status() < 400 && !_size) {
                    _status = answer.status();
                    _location = answer.header("Location");
                    _reason = std::to_string(answer.status());
                    _stream_redirect = true;
                    return false;
                }
                if (answer.status() < 200 || answer.status() >= 300) {
                    fail({exit_http, "HTTP " + std::to_string(answer.status()) + " for " + _url.text()});
                    return false;
                }
                if (!_size) _stream_length = answer.content_length();
                return true;
            },
            [this](const outcome& result) {
                --_running;
                if (!result.ok()) {
                    fail(result);
                    return;
                }
                if (_stream_redirect) {
                    _host.post([this] {
                        _stream_redirect = false;
                        stop();
                        if (redirect()) stream();
                    });
                    return;
                }
                if (_stream_length && _received != *_stream_length) {
                    fail({exit_protocol, "the answer ended after " + std::to_string(_received) + " of " +
                                             std::to_string(*_stream_length) + " bytes"});
                    return;
                }
                if (_size && _received != *_size) {
                    fail({exit_protocol, "the answer ended after " + std::to_string(_received) + " of " +
                                             std::to_string(*_size) + " bytes"});
                    return;
                }
                _stream_done = true;
                check_complete();
            });
    }

    // ---- the end --------------------------------------------------------------------------

    void begin_progress() {
        _view = std::make_unique<progress_view>(_options.progress, std::filesystem::path(_final).filename().string());
        _progress_timer = std::make_unique<timer>(_host.frame(), _view->period(), [this] { tick(); });
    }

    void tick() {
        const std::uint64_t done = _resumed_bytes + _received;
        const double seconds = _view->seconds();
        const double rate = seconds > 0 ? static_cast<double>(_received) / seconds : 0;
        _view->show(done, _size.value_or(0), rate);
        if (++_ticks % 5 == 0) save_state();
    }

    void finish_view() {
        _progress_timer.reset();
        if (_view) _view->close();
    }

    void save_state() {
        if (_pieces.empty() || !_size || !_ranges) return;
        state_file::save(_state, *_size, _pieces);
    }

    void check_complete() {
        if (_failed || _running != 0) return;
        for (const piece& each : _pieces)
            if (each.left() != 0) return;
        if (_pieces.empty() && !_stream_done) return;
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
        const double seconds = _view ? _view->seconds() : 0;
        const double rate = seconds > 0 ? static_cast<double>(_received) / seconds : 0;
        if (_view) _view->show(_resumed_bytes + _received, _size.value_or(_received), rate);
        finish_view();
        _file->Close();
        _file.reset();
        std::error_code failed;
        std::filesystem::rename(_part, _final, failed);
        if (failed) {
            fail({exit_failure, "cannot rename " + _part + " to " + _final + ": " + failed.message()});
            return;
        }
        std::filesystem::remove(_state, failed);
        std::printf("afget: saved %s (%s in %.2f s, %s/s, %zu connection%s)\n", _final.c_str(),
                    human_bytes(static_cast<double>(_resumed_bytes + _received)).c_str(), seconds,
                    human_bytes(rate).c_str(), std::max<std::size_t>(1, count_connections()),
                    count_connections() == 1 ? "" : "s");
        std::fflush(stdout);
        report({});
    }

    std::size_t count_connections() const { return std::max<std::size_t>(1, _started); }

    host& _host;
    const options& _options;
    const connection_settings& _connections;
    url _url;
    std::function<void(const outcome&)> _done;
    std::string _final, _part, _state;
    std::vector<std::unique_ptr<fetch>> _fetches;
    std::unique_ptr<operation> _create;
    ref<IAsynFile> _file;
    std::vector<piece> _pieces;
    std::unique_ptr<progress_view> _view;
    std::unique_ptr<timer> _progress_timer;
    int _status = 0;
    std::string _reason, _location;
    std::optional<std::uint64_t> _size, _stream_length;
    bool _ranges = false;
    int _redirects = 0;
    int _running = 0;
    bool _failed = false;
    bool _stream_done = false;
    bool _stream_redirect = false;
    std::uint64_t _received = 0;
    std::uint64_t _resumed_bytes = 0;
    unsigned _ticks = 0;
    std::size_t _started = 0;
};

}  // namespace

int main(int argc, char** argv) {
    set_tool_name(argv[0]);
    CLI::App app{"afget: an HTTP/1.1 and HTTPS downloader on asynframe"};
    options settings;
    std::string limit, proxy, cacert, library, progress = "auto";
    bool insecure = false;
    app.add_option("URL", settings.urls, "what to download (http:// or https://)")->required();
    app.add_option("-o,--output", settings.output, "output file (one URL only)");
    app.add_option("-c,--connections", settings.connections, "connections (ranges) per file, 1 to 16")
        ->check(CLI::Range(1, 16));
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
    if (!settings.output.empty() && targets.size() > 1) {
        print_error("-o names one file; give one URL with it");
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
        std::function<void()> start_next = [&] {
            if (next == targets.size()) {
                runner.finish(exit_ok);
                return;
            }
            current = std::make_unique<download>(runner, settings, connections, targets[next++],
                                                 [&](const outcome& result) {
                                                     if (!result.ok()) {
                                                         runner.finish(result.code, result.text);
                                                         return;
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
                if (current) current->interrupt();
                runner.finish(exit_interrupted, "interrupted; run again to resume");
            });
    } catch (const tool_error& failure) {
        print_error(failure.what());
        return failure.code();
    }
}
