#include "file/file_asyn_io_helper.h"

#include <chrono>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/asyn_io_operation.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/fs.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "support/assert.h"
#include "support/exceptions.h"
#include "support/file_util.h"
#include "support/setting.h"

namespace asynframe {
namespace {

constexpr std::uint64_t small_file_limit = 0x80000;  // 512 KiB: only sized
constexpr std::uint32_t zero_block_size = 1024;
constexpr std::uint64_t mebibyte = 1048576;
constexpr int mode_open_existing = 0;
constexpr int mode_create_always = 2;
// Spare groups kept for reuse at most: files queued at once, in practice.
constexpr std::size_t spare_groups = 64;

// The helper whose I/O lane the calling thread is, if any.
thread_local const file_asyn_io_helper* t_lane_of = nullptr;

bool is_create(const asyn_io_operation* operation) noexcept {
    const std::int32_t type = operation->get_operation_type();
    return type == operation_type::file_create || type == operation_type::file_resize;
}

}  // namespace

file_asyn_io_helper::file_asyn_io_helper(singleton_instance* instance) : with_singleton(instance) {
    std::uint32_t offset = setting_keys::create_pos_offset.default_value;
    std::uint32_t delay = setting_keys::create_delay.default_value;
    if (instance != nullptr && instance->setting_ptr != nullptr) {
        try {
            offset = instance->setting_ptr->get(setting_keys::create_pos_offset);
            delay = instance->setting_ptr->get(setting_keys::create_delay);
        } catch (...) {
            // A provider that fails leaves the defaults.
        }
    }
    // 0 would never advance the zero-filling loop: it counts as 1 MiB.
    if (offset == 0) offset = 1;
    _create_pos_offset = offset * mebibyte;
    _create_delay = delay;
}

file_asyn_io_helper::~file_asyn_io_helper() {
    stop();
    // Not carried out, but not forgotten: each is handed back to the engine,
    // which delivers or abandons it, so nothing stays pending for ever.
    std::deque<request> creates;
    std::list<group> left;
    {
        std::lock_guard<std::mutex> guard(_lock);
        creates.swap(_creates);
        left.swap(_queue);
    }
    for (request& r : creates) finish(r.operation, 995, 0);
    for (group& g : left)
        for (request& r : g.requests) finish(r.operation, 995, 0);
}

std::size_t file_asyn_io_helper::queued_count() {
    std::lock_guard<std::mutex> guard(_lock);
    std::size_t count = _creates.size();
    for (const group& g : _queue) count += g.requests.size();
    return count;
}

void file_asyn_io_helper::queue_create(asyn_io_operation* operation, std::uint32_t size_low, std::uint32_t size_high,
                                       const std::string& path) {
    request entry;
    entry.operation = operation;
    entry.size = (static_cast<std::uint64_t>(size_high) << 32) | size_low;
    try {
        entry.path = path;
    } catch (...) {
        finish(operation, errors::not_enough_memory, 0);
        return;
    }
    place(std::move(entry));
}

void file_asyn_io_helper::queue_flush(asyn_io_operation* operation) {
    request entry;
    entry.operation = operation;
    place(std::move(entry));
}

void file_asyn_io_helper::queue_io(asyn_io_operation* operation, std::uint32_t bytes, std::uint32_t buffer_offset) {
    if (operation->get_operation_type() == operation_type::file_read && read_now(operation, bytes, buffer_offset)) return;
    request entry;
    entry.operation = operation;
    entry.bytes = bytes;
    entry.buffer_offset = buffer_offset;
    place(std::move(entry));
}

// A read the page cache can answer costs less than the hand-off to a lane
// and back. It runs only when nothing else of its file is queued or running,
// and counts as running meanwhile, so the file's order holds; it completes
// through the engine like any other.
bool file_asyn_io_helper::read_now(asyn_io_operation* operation, std::uint32_t bytes, std::uint32_t buffer_offset) {
    const platform::native_handle handle = operation->operate_handle();
    try {
        std::lock_guard<std::mutex> guard(_lock);
        if (working_on(handle)) return false;
        for (const group& g : _queue)
            if (g.requests.front().operation->operate_handle() == handle) return false;
        _running.push_back(handle);
    } catch (const std::bad_alloc&) {
        return false;
    }
    const bool done =
        platform::fs::read_cached_at(handle, operation->buffer() + buffer_offset, bytes, operation->get_position());
    {
        std::lock_guard<std::mutex> guard(_lock);
        release_running(handle);
    }
    if (!done) return false;
    finish(operation, 0, bytes);
    return true;
}

void file_asyn_io_helper::place(request&& entry) {
    asyn_io_operation* operation = entry.operation;
    const bool create = is_create(operation);
    try {
        std::lock_guard<std::mutex> guard(_lock);
        const std::int32_t type = operation->get_operation_type();
        if (create) {
            // Their own lane: they overtake everything, and wait for nothing.
            _creates.push_back(std::move(entry));
        } else if (type == operation_type::file_flush) {
            // Behind everything queued for its file: the last group of it.
            const platform::native_handle handle = operation->operate_handle();
            group* match = nullptr;
            for (auto g = _queue.rbegin(); g != _queue.rend() && match == nullptr; ++g)
                if (g->requests.front().operation->operate_handle() == handle) match = &*g;
            if (match != nullptr)
                match->requests.push_back(std::move(entry));
            else
                open_group(std::move(entry));
        } else {
            // Reads and writes join their file's group unless a lane has begun
            // it; in position order, ahead of the trailing flushes; on equal
            // positions the new request goes first.
            const platform::native_handle handle = operation->operate_handle();
            group* match = nullptr;
            for (group& g : _queue)
                if (!g.started && g.requests.front().operation->operate_handle() == handle) {
                    match = &g;
                    break;
                }
            if (match == nullptr) {
                open_group(std::move(entry));
            } else {
                std::deque<request>& list = match->requests;
                auto end = list.end();
                while (end != list.begin() &&
                       (end - 1)->operation->get_operation_type() == operation_type::file_flush)
                    --end;
                auto at = list.begin();
                while (at != end && at->operation->get_position() < operation->get_position()) ++at;
                list.insert(at, std::move(entry));
            }
        }
    } catch (const std::bad_alloc&) {
        finish(operation, errors::not_enough_memory, 0);
        return;
    }
    if (create || _io_here.load(std::memory_order_acquire))
        _create_event.set();
    else
        _work.notify_one();
}

void file_asyn_io_helper::open_group(request&& entry) {
    if (_spare.empty()) _queue.emplace_back();
    else _queue.splice(_queue.end(), _spare, _spare.begin());
    group& g = _queue.back();
    g.started = false;
    try {
        g.requests.push_back(std::move(entry));
    } catch (...) {
        _spare.splice(_spare.end(), _queue, std::prev(_queue.end()));
        throw;
    }
}

std::list<file_asyn_io_helper::group>::iterator file_asyn_io_helper::close_group(std::list<group>::iterator g) {
    const auto next = std::next(g);
    if (_spare.size() < spare_groups) _spare.splice(_spare.end(), _queue, g);
    else _queue.erase(g);
    return next;
}

bool file_asyn_io_helper::working_on(platform::native_handle handle) const noexcept {
    for (const platform::native_handle running : _running)
        if (running == handle) return true;
    return false;
}

void file_asyn_io_helper::release_running(platform::native_handle handle) {
    for (auto it = _running.begin(); it != _running.end(); ++it)
        if (*it == handle) {
            _running.erase(it);
            break;
        }
    _idle.notify_all();
}

bool file_asyn_io_helper::take_locked(request& entry, platform::native_handle& handle) {
    // The first group whose file no other lane works on: one file's requests
    // run one at a time, in their order.
    for (auto g = _queue.begin(); g != _queue.end(); ++g) {
        const platform::native_handle file = g->requests.front().operation->operate_handle();
        if (working_on(file)) continue;
        entry = std::move(g->requests.front());
        g->requests.pop_front();
        g->started = true;
        if (g->requests.empty()) g = close_group(g);
        else ++g;
        handle = file;
        _running.push_back(file);
        // Another lane may take what is left.
        for (; g != _queue.end(); ++g)
            if (!working_on(g->requests.front().operation->operate_handle())) {
                _work.notify_one();
                break;
            }
        return true;
    }
    return false;
}

bool file_asyn_io_helper::take(request& entry, platform::native_handle& handle, bool wait) {
    std::unique_lock<std::mutex> guard(_lock);
    // The file of the request this lane carried out last is free again.
    if (handle != platform::invalid_handle) {
        release_running(handle);
        handle = platform::invalid_handle;
    }
    for (;;) {
        if (_stopping) return false;
        if (take_locked(entry, handle)) return true;
        if (!wait) return false;
        _work.wait(guard);
    }
}

void file_asyn_io_helper::cancel_handle(platform::native_handle handle) {
    if (handle == platform::invalid_handle) return;
    std::vector<asyn_io_operation*> cancelled;
    {
        std::unique_lock<std::mutex> guard(_lock);
        for (auto g = _queue.begin(); g != _queue.end();) {
            for (auto r = g->requests.begin(); r != g->requests.end();) {
                if (r->operation->operate_handle() == handle) {
                    cancelled.push_back(r->operation);
                    r = g->requests.erase(r);
                } else {
                    ++r;
                }
            }
            g = g->requests.empty() ? close_group(g) : std::next(g);
        }
        // Files close on the dispatch thread, through completions, never on
        // a lane; should one close a file itself, it must not wait for itself.
        if (t_lane_of != this) _idle.wait(guard, [&] { return !working_on(handle); });
    }
    for (asyn_io_operation* operation : cancelled) finish(operation, 995, 0);
}

void file_asyn_io_helper::io_lane() {
    platform::name_current_thread("af-file-io");
    t_lane_of = this;
    request entry;
    platform::native_handle handle = platform::invalid_handle;
    while (take(entry, handle, true)) carry_out(entry);
    std::lock_guard<std::mutex> guard(_lock);
    release_running(handle);
}

void file_asyn_io_helper::run() {
    {
        std::lock_guard<std::mutex> guard(_lock);
        _stopping = false;
    }
    for (unsigned i = 0; i < io_lanes; ++i) {
        try {
            _lanes.emplace_back([this] { io_lane(); });
        } catch (const std::system_error&) {
            break;
        }
    }
    // Without a lane of their own (no thread could be made), reads and
    // writes are carried out here, between the creates.
    _io_here.store(_lanes.empty(), std::memory_order_release);
    if (_lanes.empty()) _create_event.set();
    const platform::waitable items[2] = {platform::waitable::of(stop_event()), platform::waitable::of(_create_event)};
    for (;;) {
        const int ready = platform::wait_any(items, 2, platform::infinite);
        // Stop: what is still queued is not carried out.
        if (ready == 0) break;
        if (ready != 1) continue;
        for (;;) {
            if (stop_event().try_acquire()) break;
            request entry;
            {
                std::lock_guard<std::mutex> guard(_lock);
                if (_creates.empty()) break;
                entry = std::move(_creates.front());
                _creates.pop_front();
            }
            carry_out(entry);
        }
        if (!_io_here.load(std::memory_order_acquire)) continue;
        request entry;
        platform::native_handle handle = platform::invalid_handle;
        while (!stop_event().try_acquire() && take(entry, handle, false)) {
            carry_out(entry);
            // Creates keep their precedence.
            std::lock_guard<std::mutex> guard(_lock);
            if (!_creates.empty()) {
                _create_event.set();
                break;
            }
        }
        std::lock_guard<std::mutex> guard(_lock);
        release_running(handle);
    }
    {
        std::lock_guard<std::mutex> guard(_lock);
        _stopping = true;
    }
    _io_here.store(false, std::memory_order_release);
    _work.notify_all();
    for (std::thread& lane : _lanes) lane.join();
    _lanes.clear();
}

void file_asyn_io_helper::finish(asyn_io_operation* operation, std::uint32_t error, std::uint32_t bytes) {
    operation->set_preset_result(error, bytes);
    operation->post();
}

void file_asyn_io_helper::carry_out(request& entry) {
    asyn_io_operation* operation = entry.operation;
    try {
        switch (operation->get_operation_type()) {
            case operation_type::file_create:
            case operation_type::file_resize:
                create_or_resize(entry);
                finish(operation, 0, 0);
                return;
            case operation_type::file_flush:
                if (const std::uint32_t code = platform::fs::flush(operation->operate_handle()))
                    throw file_exception("flush file error", code);
                finish(operation, 0, 0);
                return;
            case operation_type::file_read:
            case operation_type::file_write:
                transfer(entry);
                return;
            case operation_type::file_scatter_read:
            case operation_type::file_gather_write:
                scatter_or_gather(entry);
                return;
            default:
                finish(operation, errors::invalid_parameter, 0);
                return;
        }
    } catch (const file_exception& failure) {
        finish(operation, failure.code(), 0);
    } catch (const std::bad_alloc&) {
        finish(operation, errors::not_enough_memory, 0);
    }
}

void file_asyn_io_helper::create_or_resize(request& entry) {
    const bool create = entry.operation->get_operation_type() == operation_type::file_create;
    const std::uint64_t target = entry.size;
    if (_fast_create && fast_create(entry.path, target, create)) return;
    file_ex file(entry.path, create ? mode_create_always : mode_open_existing);
    static const char zeros[zero_block_size] = {};
    auto zero_block = [&](std::uint64_t position) {
        file.seek(position);
        file.write(zeros, zero_block_size);
        if (_observer != nullptr) _observer(_observer_context, position);
    };
    if (create) {
        file.set_length(target);
        if (target > small_file_limit) {
            // Touch the file every create_pos_offset bytes, pausing between
            // touches, so the allocation is spread out rather than one burst.
            for (std::uint64_t position = _create_pos_offset; position < target - zero_block_size;
                 position += _create_pos_offset) {
                zero_block(position);
                std::this_thread::sleep_for(std::chrono::milliseconds(_create_delay));
            }
            zero_block(target - zero_block_size);
        }
        return;
    }
    const std::uint64_t current = file_size_by_name(entry.path);
    file.set_length(target);
    if (current != ~std::uint64_t{0} && current < target && target > small_file_limit)
        zero_block(target - zero_block_size);
}

bool file_asyn_io_helper::fast_create(const std::string& path, std::uint64_t size, bool create) {
    // fallocate gives the blocks at once without writing them: what the
    // privileged fast path is for. File systems without it take the slow path.
    platform::fs::handle file = platform::fs::invalid_handle;
    const auto disposition =
        create ? platform::fs::open_disposition::read_write_truncate : platform::fs::open_disposition::read_write_existing;
    if (platform::fs::open(path, disposition, file) != 0) return false;
    bool done = platform::fs::truncate(file, size) == 0 && platform::fs::allocate(file, size) == 0;
    platform::fs::close(file);
    return done && file_size_by_name(path) == size;
}

void file_asyn_io_helper::transfer(request& entry) {
    asyn_io_operation* operation = entry.operation;
    // Straight between the file and the caller's buffer, at the request's
    // own position: no seek, no copy.
    std::uint8_t* at = operation->buffer() + entry.buffer_offset;
    std::uint32_t done = 0;
    const std::uint32_t code =
        operation->get_operation_type() == operation_type::file_read
            ? platform::fs::read_at(operation->operate_handle(), at, entry.bytes, operation->get_position(), done)
            : platform::fs::write_at(operation->operate_handle(), at, entry.bytes, operation->get_position(), done);
    // A short transfer is a failure with the code of what stopped it.
    finish(operation, code, code == 0 ? entry.bytes : 0);
}

void file_asyn_io_helper::scatter_or_gather(request& entry) {
    asyn_io_operation* operation = entry.operation;
    vortan_assert_text(operation != nullptr, "operation_ptr != NULL", "vortan_assert", "file_asyn_io_helper",
                       operation == nullptr || operation->get_operation_type() == operation_type::file_scatter_read ? 397
                                                                                                                  : 427);
    const std::uint32_t page = platform::fs::page_size();
    const std::uint32_t pages = entry.bytes / page;
    segment_element* segments = operation->segments();
    const std::uint32_t first = operation->segments_num() - pages;
    // The segments' pages themselves are the buffers of one vectored call.
    platform::buffer_span* pieces = operation->span_storage(pages);
    if (pieces == nullptr && pages != 0) throw std::bad_alloc();
    for (std::uint32_t i = 0; i < pages; ++i) {
        pieces[i].data = reinterpret_cast<void*>(static_cast<std::uintptr_t>(segments[first + i].address));
        pieces[i].length = page;
    }
    std::uint32_t done = 0;
    if (operation->get_operation_type() == operation_type::file_scatter_read) {
        const std::uint32_t code =
            platform::fs::read_scatter_at(operation->operate_handle(), pieces, pages, operation->get_position(), done);
        // What was read counts, up to the end of the file or the error.
        if (code != 0 && code != platform::fs::error_end_of_file && done == 0)
            throw file_exception("read file error", code);
        finish(operation, 0, done);
        return;
    }
    const std::uint32_t code =
        platform::fs::write_gather_at(operation->operate_handle(), pieces, pages, operation->get_position(), done);
    if (code != 0) throw file_exception(done == 0 ? "write file error" : "while write file,only part data write success", code);
    finish(operation, 0, entry.bytes);
}

}  // namespace asynframe
