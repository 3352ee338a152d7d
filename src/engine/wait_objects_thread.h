// Wait-object threads: watch events and sockets that cannot go through the
// completion engine and turn their signals into engine completions.
//
// A wait_objects_thread blocks on up to 61 waitables (plus its two control
// events); a wait_objects_thread_manager spreads waitables over as many threads
// as needed and reports each signal to its owner on the dispatch thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <vector>

#include "platform/event.h"
#include "platform/mutex.h"
#include "platform/thread.h"
#include "platform/wait.h"

namespace asynframe {

// What a wait thread watches: an event (auto or manual reset) or a socket's readiness.
using wait_handle = platform::waitable;

class i_wait_objects_thread_notify {
public:
    virtual ~i_wait_objects_thread_notify() = default;
    virtual void on_wait_object_signaled(const wait_handle& handle) = 0;
};

struct wait_request {
    enum kind_t : std::uint32_t { add = 0, remove_and_wait = 1, demote = 2, rearm = 3, remove = 4 };

    kind_t kind = add;
    wait_handle handle;
    std::int32_t priority = 0;  // add only
    std::uint8_t flag = 0;
};

// FIFO of requests for one wait thread; any thread may push, the wait thread
// takes and retires them. Each request gets an id on push, and is named by it
// from then on: removals and cancellations elsewhere in the queue never shift
// which request the wait thread is working on.
class wait_objects_thread_operation_list {
public:
    virtual ~wait_objects_thread_operation_list() = default;

    // Returns the request's id (never 0), or 0 when nothing was queued: the list
    // is closed, or a remove-and-wait cancelled instead. It cancels when the
    // handle's latest add is still queued and not yet taken: that add and the
    // requests for the handle after it are erased, so the caller neither wakes
    // the thread nor waits. An add already being carried out is not cancelled.
    std::uint64_t push(const wait_request& request);
    // Pops the first request not being carried out.
    bool pop(wait_request& request);
    // Erases every queued request for the handle, except one being carried out;
    // true when any was erased.
    bool erase_requests(const wait_handle& handle);
    std::size_t size() const;

    // Blocks until the request has left the list (carried out or erased) or the
    // list is closed.
    void wait_retired(std::uint64_t id);
    // Ends the list's life with its thread: drops what is queued, refuses every
    // push, and releases all waiters. open() makes a closed list usable again.
    void close();
    void open();

private:
    friend class wait_objects_thread;

    struct entry {
        wait_request request;
        std::uint64_t id;
    };

    // With _lock held.
    bool contains(std::uint64_t id) const;
    void wake_waiters();

    mutable mutex _lock;
    std::condition_variable_any _retired;
    std::deque<entry> _requests;
    std::uint64_t _next_id = 1;
    std::uint64_t _active_id = 0;  // the request the wait thread is carrying out; it stays queued till retired
    std::size_t _waiters = 0;
    bool _closed = false;
};

class wait_objects_thread : public thread {
public:
    // Wait array limit of the platform's wait for several objects, kept on every
    // platform so placement behaves the same everywhere.
    static constexpr std::size_t maximum_wait_objects = platform::maximum_wait_items;

    explicit wait_objects_thread(i_wait_objects_thread_notify* notify_ptr);
    ~wait_objects_thread() override;

    // The request calls return true at once, doing nothing, on the wait thread itself.
    // Once run() is leaving (stopped, or its wait failed) the thread takes no more
    // work: add, demote and re-arm return false.
    bool add_handle(const wait_handle& handle, std::int32_t priority);
    // Blocks until the thread has dropped the handle (or has ended); returns at
    // once when the handle's add was still queued, or the thread never started.
    bool remove_handle_and_wait(const wait_handle& handle);
    // Drops a handle the thread is not waiting on (a level-triggered one it has
    // reported and not yet re-armed) without waiting: the thread cannot touch it
    // again, and requests are carried out in order, so a later add of the same
    // handle finds it gone.
    bool remove_reported_handle(const wait_handle& handle);
    // Moves the handle behind every other one, priority 0; does not wait.
    bool demote_handle(const wait_handle& handle);
    // Level-triggered waitables (sockets, manual-reset events) are set aside once
    // reported so a condition that stays true cannot spin the thread; the receiver
    // of the notification re-arms them once it has handled the signal.
    bool rearm_handle(const wait_handle& handle);

    bool is_full() const;
    std::size_t handle_count() const noexcept { return _handle_count.load(std::memory_order_acquire); }

    static bool is_level_triggered(const wait_handle& handle) noexcept;

protected:
    void run() override;
    const char* thread_name() const noexcept override { return "af-wait"; }

private:
    bool queue(const wait_request& request);
    // Marks the first queued request as being carried out and copies it out.
    bool take_request(wait_request& request, std::uint64_t& id);
    void process_requests();
    void insert_by_priority(const wait_handle& handle, std::int32_t priority);
    std::vector<wait_handle>::iterator find_waited(const wait_handle& handle);
    // Retires the request just carried out: it leaves the list and the new handle
    // count is published in one step, so is_full() never sees it twice or not at all.
    void finish_request(std::uint64_t id);
    void rebuild_armed();
    bool is_disarmed(const wait_handle& handle) const;
    void rearm(const wait_handle& handle);

    wait_objects_thread_operation_list _requests;
    std::vector<wait_handle> _wait_array;  // [0] stop event, [1] _break_begin_event, waited handles follow
    std::map<wait_handle, std::int32_t> _priorities;
    std::atomic<std::size_t> _handle_count{0};
    platform::event _break_begin_event{false};
    i_wait_objects_thread_notify* _notify_ptr;

    // Only the wait thread touches these: reported level-triggered handles, and the
    // armed subset of the wait array handed to the wait (with each entry's index).
    // All are reserved to the wait limit, so the wait loop never allocates.
    std::vector<wait_handle> _disarmed;
    std::vector<wait_handle> _armed;
    std::vector<std::size_t> _armed_index;
    bool _armed_dirty = true;
};

}  // namespace asynframe

#include <memory>

#include "engine/asyn_io_handler.h"

namespace asynframe {

// Spreads watched handles over wait threads and tells its owner, on the dispatch
// thread, which handle was signalled. At most one notification per handle is in
// flight; later signals are absorbed until the owner has been told.
class wait_objects_thread_manager : public asyn_io_handler, public i_wait_objects_thread_notify {
public:
    wait_objects_thread_manager(singleton_instance* instance, i_wait_objects_thread_notify* owner);
    // Stops and deletes every wait thread, then drops notifications still in flight.
    ~wait_objects_thread_manager() override;

    // Stops and deletes every wait thread: nothing is watched any more. A subclass
    // that overrides on_wait_object_signaled calls this from its own destructor.
    void stop_threads();

    // Dispatch thread (the owner's calls). A watched event or socket must stay open
    // until it is removed: a closed descriptor ends the wait of its thread, and
    // the handles left on it are no longer watched. New handles go to live threads.
    bool add_wait_object(const wait_handle& handle, std::int32_t priority);
    // Returns once the handle is no longer watched; a notification already posted
    // for it is dropped, so the owner hears nothing more about it. Removing a
    // level-triggered handle from inside its own notification does not wait for
    // the wait thread: it has set the handle aside already.
    bool remove_wait_object(const wait_handle& handle);
    bool demote_wait_object(const wait_handle& handle);

    std::size_t thread_count();
    // Threads still running; one whose wait failed has ended and takes no new handles.
    std::size_t live_thread_count();
    // The thread a handle is placed on (its position in creation order), -1 when not placed.
    int placement_of(const wait_handle& handle);

    // Wait thread: a watched handle was signalled.
    void on_wait_object_signaled(const wait_handle& handle) override;
    // Dispatch thread: the posted notification arrived.
    void on_io_complete(asyn_io_operation* operation) override;
    void cancel() override {}

private:
    void drop_notification(const wait_handle& handle);

    std::vector<std::unique_ptr<wait_objects_thread>> _threads;  // creation order
    std::map<wait_handle, wait_objects_thread*> _placements;
    mutex _threads_lock;
    std::map<wait_handle, asyn_io_operation*> _notifications;
    std::map<asyn_io_operation*, wait_handle> _notified_handles;
    mutex _notifications_lock;
    i_wait_objects_thread_notify* _owner;
};

}  // namespace asynframe
