#include "afget/download.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace asynframe::tools {

namespace {

// Ranges smaller than this are not worth a connection of their own.
constexpr std::uint64_t min_piece = 1024 * 1024;
// A file that changes on the server again and again is not chased forever.
constexpr int max_restarts = 3;

}  // namespace

// ---- many ranges --------------------------------------------------------------------------

void download::segmented() {
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

bool download::empty_part() {
    std::error_code ignored;
    std::filesystem::remove(_state_path, ignored);
    // Emptied in place: the lock stays on this very file.
    _touched = true;
    if (::ftruncate(_lock, 0) == 0) return true;
    fail({exit_failure, "cannot empty " + _part + ": " + std::strerror(errno)});
    return false;
}

void download::fresh(std::uint64_t size) {
    if (!empty_part()) return;
    plan(0, size);
    extend(size, false);
}

void download::plan(std::uint64_t from, std::uint64_t size) {
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

void download::extend(std::uint64_t size, bool resumed) {
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

bool download::open_output(DWORD disposition) {
    if (_host.frame()->CreateAsynFile(_file.put()) != S_OK ||
        _file->Open(static_cast<DWORD>(_part.size()), _part.c_str(), GENERIC_WRITE, FILE_SHARE_READ, disposition,
                    FILE_ATTRIBUTE_NORMAL) != S_OK) {
        _file.reset();
        fail({exit_failure, "cannot open " + _part + " for writing"});
        return false;
    }
    return true;
}

void download::open_and_run(bool resumed) {
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

void download::start_piece(std::size_t index) {
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
        start_writeback();
    });
    started->take_window(0);
    started->add_headers(request_headers(true));
    started->start(
        "GET", std::make_pair(first, last),
        [this, index, first, last, started](const message_parser& answer) {
            piece_run& run = _runs[index];
            const piece_answer judged = judge_piece_answer(answer, first, last, *_size, _if_range, _url.text());
            switch (judged.what) {
            case piece_answer::verdict::take:
                started->take_window(judged.skip);
                return true;
            case piece_answer::verdict::changed:
                run.changed = true;
                return false;
            case piece_answer::verdict::protocol:
                run.verdict = outcome{exit_protocol, judged.why};
                return false;
            case piece_answer::verdict::status:
                break;
            }
            run.verdict = http_failure(answer.status());
            return false;
        },
        [this, index, started](const outcome& result) { piece_ended(index, started, result); });
}

void download::retire(fetch* finished) {
    const auto found = std::find_if(_fetches.begin(), _fetches.end(),
                                    [finished](const auto& each) { return each.get() == finished; });
    if (found == _fetches.end()) return;
    auto* retired = found->release();
    _fetches.erase(found);
    _host.post([retired] { delete retired; });
}

void download::piece_ended(std::size_t index, fetch* finished, const outcome& result) {
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

void download::start_over() {
    if (++_restarts > max_restarts) {
        fail({exit_protocol, _url.text() + " keeps changing on the server"});
        return;
    }
    stop_transfers();
    notice(_name + ": it changed on the server; starting over");
    if (!empty_part()) return;
    _pieces.clear();
    _runs.clear();
    _received = _resumed_bytes = _written_back = 0;
    _error.reset();
    _view.reset();
    probe();
}

}  // namespace asynframe::tools
