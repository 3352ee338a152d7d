#include "file/file_asyn_io_helper.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "engine/asyn_io_operation.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/fs.h"
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

bool is_create(const asyn_io_operation* operation) noexcept {
    const std::int32_t type = operation->get_operation_type();
    return type == operation_type::file_create || type == operation_type::file_resize;
}

// The helper's own view of a handle it was given: never closes it.
class borrowed_file : public file_ex {
public:
    explicit borrowed_file(native_handle handle) noexcept { attach(handle); }
    ~borrowed_file() override { detach(); }
};

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
    std::deque<group> left;
    {
        std::lock_guard<std::mutex> guard(_lock);
        left.swap(_queue);
    }
    for (group& g : left)
        for (request& r : g) finish(r.operation, 995, 0);
}

std::size_t file_asyn_io_helper::queued_count() {
    std::lock_guard<std::mutex> guard(_lock);
    std::size_t count = 0;
    for (const group& g : _queue) count += g.size();
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
    request entry;
    entry.operation = operation;
    entry.bytes = bytes;
    entry.buffer_offset = buffer_offset;
    place(std::move(entry));
}

void file_asyn_io_helper::place(request&& entry) {
    asyn_io_operation* operation = entry.operation;
    try {
        std::lock_guard<std::mutex> guard(_lock);
        const std::int32_t type = operation->get_operation_type();
        if (is_create(operation)) {
            // Creates and resizes overtake everything queued.
            if (!_queue.empty() && is_create(_queue.front().front().operation))
                _queue.front().push_back(std::move(entry));
            else
                _queue.push_front(group{std::move(entry)});
        } else {
            const platform::native_handle handle = operation->operate_handle();
            const bool first_is_create = !_queue.empty() && is_create(_queue.front().front().operation);
            // A flush may join the first group unless it is a create group;
            // reads and writes never join the first group (it may be running).
            std::size_t start = type == operation_type::file_flush ? (first_is_create ? 1 : 0) : 1;
            group* match = nullptr;
            for (std::size_t i = start; i < _queue.size(); ++i) {
                const asyn_io_operation* head = _queue[i].front().operation;
                if (!is_create(head) && head->operate_handle() == handle) {
                    match = &_queue[i];
                    break;
                }
            }
            if (match == nullptr) {
                _queue.push_back(group{std::move(entry)});
            } else if (type == operation_type::file_flush) {
                match->push_back(std::move(entry));
            } else {
                // In position order, ahead of the trailing flushes; on equal
                // positions the new request goes first.
                auto end = match->end();
                while (end != match->begin() && (end - 1)->operation->get_operation_type() == operation_type::file_flush)
                    --end;
                auto at = match->begin();
                while (at != end && at->operation->get_position() < operation->get_position()) ++at;
                match->insert(at, std::move(entry));
            }
        }
    } catch (const std::bad_alloc&) {
        finish(operation, errors::not_enough_memory, 0);
        return;
    }
    _request_event.set();
}

bool file_asyn_io_helper::take(request& entry) {
    std::lock_guard<std::mutex> guard(_lock);
    if (_running_handle != platform::invalid_handle) {
        _running_handle = platform::invalid_handle;
        _idle.notify_all();
    }
    if (_queue.empty()) return false;
    group& first = _queue.front();
    entry = std::move(first.front());
    first.pop_front();
    if (first.empty()) _queue.pop_front();
    if (!is_create(entry.operation)) _running_handle = entry.operation->operate_handle();
    return true;
}

void file_asyn_io_helper::cancel_handle(platform::native_handle handle) {
    if (handle == platform::invalid_handle) return;
    std::vector<asyn_io_operation*> cancelled;
    {
        std::unique_lock<std::mutex> guard(_lock);
        for (auto g = _queue.begin(); g != _queue.end();) {
            for (auto r = g->begin(); r != g->end();) {
                if (!is_create(r->operation) && r->operation->operate_handle() == handle) {
                    cancelled.push_back(r->operation);
                    r = g->erase(r);
                } else {
                    ++r;
                }
            }
            g = g->empty() ? _queue.erase(g) : g + 1;
        }
        // The helper itself may close a file only through a completion, which
        // runs on the dispatch thread: waiting here cannot wait for oneself.
        if (!in_thread()) _idle.wait(guard, [&] { return _running_handle != handle; });
    }
    for (asyn_io_operation* operation : cancelled) finish(operation, 995, 0);
}

void file_asyn_io_helper::run() {
    const platform::waitable items[2] = {platform::waitable::of(stop_event()), platform::waitable::of(_request_event)};
    for (;;) {
        const int ready = platform::wait_any(items, 2, platform::infinite);
        // Stop: what is still queued is not carried out.
        if (ready == 0) return;
        if (ready != 1) continue;
        request entry;
        while (!stop_event().try_acquire() && take(entry)) carry_out(entry);
        std::lock_guard<std::mutex> guard(_lock);
        _running_handle = platform::invalid_handle;
        _idle.notify_all();
    }
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
            case operation_type::file_flush: {
                borrowed_file file(operation->operate_handle());
                try {
                    file.flush();
                } catch (const file_exception& failure) {
                    throw file_exception("flush file error", failure.code());
                }
                finish(operation, 0, 0);
                return;
            }
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
    borrowed_file file(operation->operate_handle());
    file.seek(operation->get_position());
    std::uint8_t* at = operation->buffer() + entry.buffer_offset;
    if (operation->get_operation_type() == operation_type::file_read)
        file.read(at, entry.bytes);
    else
        file.write(at, entry.bytes);
    finish(operation, 0, entry.bytes);
}

void file_asyn_io_helper::scatter_or_gather(request& entry) {
    asyn_io_operation* operation = entry.operation;
    vortan_assert_text(operation != nullptr, "operation_ptr != NULL", "vortan_assert", "file_asyn_io_helper",
                       operation == nullptr || operation->get_operation_type() == operation_type::file_scatter_read ? 397
                                                                                                                  : 427);
    const std::uint32_t page = platform::fs::page_size();
    const std::uint32_t pages = entry.bytes / page;
    std::unique_ptr<std::uint8_t[]> staging(new std::uint8_t[entry.bytes]);
    segment_element* segments = operation->segments();
    const std::uint32_t first = operation->segments_num() - pages;
    borrowed_file file(operation->operate_handle());
    file.seek(operation->get_position());
    if (operation->get_operation_type() == operation_type::file_scatter_read) {
        std::uint32_t done = 0;
        const std::uint32_t code = platform::fs::read(file.handle(), staging.get(), entry.bytes, done);
        if (code != 0 && code != platform::fs::error_end_of_file && done == 0)
            throw file_exception("read file error", code);
        for (std::uint32_t i = 0; i * page < done; ++i) {
            const std::uint32_t piece = done - i * page < page ? done - i * page : page;
            std::memcpy(reinterpret_cast<void*>(static_cast<std::uintptr_t>(segments[first + i].address)),
                        staging.get() + static_cast<std::size_t>(i) * page, piece);
        }
        finish(operation, 0, done);
        return;
    }
    for (std::uint32_t i = 0; i < pages; ++i)
        std::memcpy(staging.get() + static_cast<std::size_t>(i) * page,
                    reinterpret_cast<const void*>(static_cast<std::uintptr_t>(segments[first + i].address)), page);
    file.write(staging.get(), entry.bytes);
    finish(operation, 0, entry.bytes);
}

}  // namespace asynframe
