// The file helper: carries out file requests which must not run on the
// dispatch thread or have no kernel request of their own (creates at a final
// size, resizes, flushes, and every read and write on the readiness loop).
// Creates and resizes, which may take long, have a lane of their own (the
// helper's own thread), so that reads and writes of other files never wait
// for them; reads, writes and flushes go to a small pool of lanes.
// Requests queue in groups, one per file: a file's reads and writes run in
// ascending position, a flush stays behind what was queued for its file
// before it, and one file's requests run one at a time, in that order, while
// other files' run beside them. Each request's outcome is stored in its
// operation, which is then posted.
#pragma once

#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/singleton.h"
#include "platform/event.h"
#include "platform/native.h"
#include "platform/thread.h"

namespace asynframe {

class asyn_io_operation;

class file_asyn_io_helper : public thread, public with_singleton {
public:
    // Reads "file_asyn_io_helper"/"create_pos_offset" and "create_delay".
    explicit file_asyn_io_helper(singleton_instance* instance);
    ~file_asyn_io_helper() override;

    // Dispatch thread. The operation is pending with a preset result.
    void queue_create(asyn_io_operation* operation, std::uint32_t size_low, std::uint32_t size_high,
                      const std::string& path);
    void queue_flush(asyn_io_operation* operation);
    void queue_io(asyn_io_operation* operation, std::uint32_t bytes, std::uint32_t buffer_offset);

    std::uint64_t create_pos_offset() const noexcept { return _create_pos_offset; }
    std::uint32_t create_delay() const noexcept { return _create_delay; }
    // Tests: the fallocate path can be switched off to reach the zero-filling one.
    void set_fast_create_enabled(bool enabled) noexcept { _fast_create = enabled; }
    // Tests: observes each zero block the slow path writes (position).
    void set_zero_block_observer(void (*observer)(void* context, std::uint64_t position), void* context) noexcept {
        _observer = observer;
        _observer_context = context;
    }
    std::size_t queued_count();
    // A descriptor about to be closed: its queued requests complete with 995,
    // and one being carried out is waited for, so that no request ever runs
    // on the number after it was closed (or given to another file).
    void cancel_handle(platform::native_handle handle);

    // Lanes for reads, writes and flushes: files worked on at once.
    static constexpr unsigned io_lanes = 2;

protected:
    // The creates' lane; it starts the other lanes and, at the stop, ends them.
    void run() override;
    const char* thread_name() const noexcept override { return "af-file"; }

private:
    struct request {
        asyn_io_operation* operation = nullptr;
        std::uint32_t bytes = 0;
        std::uint32_t buffer_offset = 0;
        std::uint64_t size = 0;
        std::string path;
    };
    struct group {
        std::deque<request> requests;
        // A lane has taken from it: reads and writes no longer join it, so
        // that it drains and the files behind it get their turn.
        bool started = false;
    };

    void place(request&& entry);
    // A new group at the end of the queue holding `entry`, reusing a spare
    // one when there is one (lock held).
    void open_group(request&& entry);
    // Removes an empty group, keeping it for reuse; answers the next one.
    std::list<group>::iterator close_group(std::list<group>::iterator g);
    // The first request a lane may take now, marking its file as worked on (lock held).
    bool take_locked(request& entry, platform::native_handle& handle);
    // An I/O lane's next request, waiting for one; false at the stop.
    // `handle` names the file of the lane's last request (freed here) and
    // then of the one taken. Without `wait`, false when nothing can be taken.
    bool take(request& entry, platform::native_handle& handle, bool wait);
    // The file a lane carried out a request for is free again (lock held).
    void release_running(platform::native_handle handle);
    // Reads bytes the system holds in memory on the caller's thread; false
    // when the read must go to a lane.
    bool read_now(asyn_io_operation* operation, std::uint32_t bytes, std::uint32_t buffer_offset);
    bool working_on(platform::native_handle handle) const noexcept;
    void io_lane();
    void carry_out(request& entry);
    void create_or_resize(request& entry);
    bool fast_create(const std::string& path, std::uint64_t size, bool create);
    void transfer(request& entry);
    void scatter_or_gather(request& entry);
    void finish(asyn_io_operation* operation, std::uint32_t error, std::uint32_t bytes);

    std::mutex _lock;
    std::condition_variable _work;  // I/O lanes wait here for requests
    std::condition_variable _idle;  // a lane left a file
    // The files I/O lanes carry out a request of now, one entry each.
    std::vector<platform::native_handle> _running;
    platform::event _create_event{false};
    std::deque<request> _creates;  // creates and resizes, in arrival order
    // Reads, writes and flushes. Groups emptied are kept in _spare with their
    // storage, so that a steady stream of requests allocates nothing.
    std::list<group> _queue;
    std::list<group> _spare;
    std::vector<std::thread> _lanes;
    bool _stopping = false;
    std::atomic<bool> _io_here{false};  // no lane could be started
    std::uint64_t _create_pos_offset;
    std::uint32_t _create_delay;
    bool _fast_create = true;
    void (*_observer)(void*, std::uint64_t) = nullptr;
    void* _observer_context = nullptr;
};

}  // namespace asynframe
