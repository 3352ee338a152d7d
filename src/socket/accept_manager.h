// Accepts TCP connections when the engine has no completion ring: one thread
// waits on the listening sockets of the requests in progress, accepts when a
// connection is ready, wraps it in a device and posts the request back to the
// engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "engine/singleton.h"
#include "platform/event.h"
#include "platform/native.h"
#include "platform/thread.h"

namespace asynframe {

class asyn_io_operation;

class accept_manager : public thread, public with_singleton {
public:
    // The wait array keeps two places for the stop and the wake-up event.
    static constexpr std::int32_t max_accepting_limit = 62;

    accept_manager(singleton_instance* instance, std::int32_t max_accepting);
    // Stops the thread; every request still here completes with 995.
    ~accept_manager() override;

    // Fixed before the thread starts; at most 62.
    void set_max_accepting(std::int32_t value) noexcept;
    std::int32_t max_accepting() const noexcept { return _max_accepting; }

    // Any thread. The operation carries the listening socket as its operate
    // handle, type accept, a preset result, and is pending.
    void submit(asyn_io_operation* operation);
    // Any thread but the accept thread: every request on the listening socket
    // (in progress or queued) completes with 995. Nothing when the thread does
    // not run.
    void cancel_socket(platform::native_handle socket_handle);

    std::int32_t accepting_count() const noexcept { return _accepting_count.load(std::memory_order_acquire); }
    std::size_t queued_count();

protected:
    void run() override;
    const char* thread_name() const noexcept override { return "af-acceptor"; }

private:
    // The submitting side of the handshake: the accept thread stands still
    // while `change` runs. False when the thread is gone (nothing ran).
    template <class Change>
    bool with_thread_held(Change change);
    // Under the request lock.
    void start_queued_requests();
    void begin_accept(std::size_t index);
    // True when the request finished (accepted or failed), false when no
    // connection waited.
    bool handle_accept_event(std::size_t index);
    void finish_request(std::size_t index, std::uint32_t result);
    void cancel_all_requests();
    // Takes a waiting connection for the request on the caller's thread; false
    // when none waits or the listener is not yet known to be non-blocking.
    bool accept_at_once(asyn_io_operation* operation);
    void complete(asyn_io_operation* operation, std::uint32_t result);

    std::int32_t _max_accepting;
    // [0] the stop event, [1] the wake-up event, [2..] the listening socket of
    // each request in progress; `_accepting_infos[i]` is the request of
    // `_event_handles[i + 2]`.
    std::vector<platform::native_handle> _event_handles;
    std::vector<asyn_io_operation*> _accepting_infos;
    std::list<asyn_io_operation*> _request_queue;
    // Listeners made non-blocking for the watch; under the request lock.
    std::unordered_set<platform::native_handle> _nonblocking_listeners;
    // Re-entered when a request finishes while requests are being started.
    std::recursive_mutex _request_lock;
    // One submitter at a time runs the handshake.
    std::mutex _submit_lock;
    std::atomic<std::int32_t> _accepting_count{0};
    std::atomic<bool> _thread_gone{false};
    platform::event _event_new_request_begin{true};
    platform::event _event_new_request_hold{true};
    platform::event _event_new_request_end{true};
};

}  // namespace asynframe
