// The download of one URL: the first request (size, ranges, validator,
// redirects), then many ranges written at their places or one stream, each
// taken up again after a failure; the output file, its lock and its record.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "afget/answer.h"
#include "afget/fetch.h"
#include "afget/options.h"
#include "afget/progress.h"
#include "afget/state.h"

namespace asynframe::tools {

using clock_type = std::chrono::steady_clock;

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
             std::string final_name, std::function<void(const outcome&)> done);
    ~download();
    void start();
    // SIGINT: what arrived stays for the next run. The words to end with.
    std::string interrupt();

private:
    // ---- the output file and its lock ---------------------------------------------------------
    bool lock();
    void unlock();
    bool can_resume() const;
    void clean_up();
    void later(std::function<void()> work);
    void notice(const std::string& text);

    // ---- the end of every path ----------------------------------------------------------------
    void stop_transfers(bool now = false);
    void fail(outcome result);
    void conclude(outcome result);
    void report(const outcome& result);
    void check_proxy_login(const outcome& result);

    // ---- the first request: size, ranges, validator, redirects --------------------------------
    std::string request_headers(bool with_validator) const;
    outcome http_failure(int status) const;
    void probe();
    bool again_later(const outcome& result, int& attempts, std::optional<clock_type::time_point>& when);
    bool redirect();
    void probed(const outcome& result);

    // ---- many ranges --------------------------------------------------------------------------
    void segmented();
    // The record goes and the part is emptied in place (its lock stays);
    // false after a failure.
    bool empty_part();
    void fresh(std::uint64_t size);
    void plan(std::uint64_t from, std::uint64_t size);
    void extend(std::uint64_t size, bool resumed);
    bool open_output(DWORD disposition);
    void open_and_run(bool resumed);
    void start_piece(std::size_t index);
    void retire(fetch* finished);
    void piece_ended(std::size_t index, fetch* finished, const outcome& result);
    void start_over();

    // ---- one stream ---------------------------------------------------------------------------
    void stream();
    void run_stream();
    void restart_stream();

    // ---- the clock ----------------------------------------------------------------------------
    void tick();
    // Starts writing the part's dirty pages out, once enough have gathered.
    void start_writeback();
    void begin_progress();
    void save_now();
    void check_complete();
    void finished();

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
    std::uint64_t _written_back = 0;  // _received when writing out last started
    std::uint64_t _resumed_bytes = 0;
    std::size_t _started = 0;
    std::thread _checker;
    int _proxy_cancel = -1;
};

}  // namespace asynframe::tools
