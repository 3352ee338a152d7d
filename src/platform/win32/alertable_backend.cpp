// The alertable backend: requests with completion routines. A completion
// routine runs on the thread that issued its request, and only while that
// thread waits alertably; so requests started on any thread are queued and
// issued by the dispatch thread in submit(), and the dispatch thread sleeps
// in an alertable wait on its wake event. Accepts are the acceptor thread's
// (completes_accepts() is false) and connects the connection scheduler's:
// neither has a completion-routine form.
//
// For a dispatch thread that sleeps elsewhere (UI-thread mode), descriptor()
// is the same wake event, and that thread's wait must be alertable (for
// instance MsgWaitForMultipleObjectsEx with MWMO_ALERTABLE): the routines run
// inside it, and a finished request sets the event.
#include <memory>
#include <mutex>
#include <vector>

#include "platform/win32/io_backend_common.h"

namespace asynframe::platform::detail {
namespace {

constexpr DWORD drain_limit_ms = 10000;

// Every routine runs under this lock, so a teardown on another thread never
// races one running on the dispatch thread. Outlives static destructors.
std::mutex& routine_lock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

// Routines still owed to a live thread for requests a teardown already handed
// out (from another thread, or after giving up on them): the thread runs them
// at its next alertable wait, after the block and the backend are freed. Each
// is skipped then, without touching either. Under routine_lock().
struct owed_routine {
    const OVERLAPPED* overlapped;
    DWORD thread;
    std::shared_ptr<void> thread_handle;  // tells a dead thread from one that took its id
};

std::vector<owed_routine>& owed_routines() {
    static auto* owed = new std::vector<owed_routine>;
    return *owed;
}

bool thread_ended(const std::shared_ptr<void>& handle) noexcept {
    return ::WaitForSingleObject(handle.get(), 0) != WAIT_TIMEOUT;
}

// True when this routine call is one owed for a request already handed out.
bool take_owed(const OVERLAPPED* overlapped) noexcept {
    std::vector<owed_routine>& owed = owed_routines();
    if (owed.empty()) return false;
    const DWORD self = ::GetCurrentThreadId();
    for (auto at = owed.begin(); at != owed.end(); ++at) {
        if (at->overlapped == overlapped && at->thread == self && !thread_ended(at->thread_handle)) {
            owed.erase(at);
            return true;
        }
    }
    return false;
}

// False when it cannot be recorded: the block must then never be freed.
bool add_owed(const OVERLAPPED* overlapped, DWORD thread, const std::shared_ptr<void>& handle) noexcept {
    std::vector<owed_routine>& owed = owed_routines();
    // Those of threads that ended never run.
    std::erase_if(owed, [](const owed_routine& entry) { return thread_ended(entry.thread_handle); });
    try {
        owed.push_back({overlapped, thread, handle});
    } catch (...) {
        return false;
    }
    return true;
}

// The thread, while it lives; null once it ended (its routines died with it).
std::shared_ptr<void> live_thread(DWORD thread) noexcept {
    if (thread == 0) return nullptr;
    HANDLE handle = ::OpenThread(SYNCHRONIZE, FALSE, thread);
    if (handle == nullptr) return nullptr;
    try {
        std::shared_ptr<void> held(handle, [](void* h) { ::CloseHandle(h); });
        if (thread_ended(held)) return nullptr;
        return held;
    } catch (...) {
        ::CloseHandle(handle);
        return nullptr;
    }
}

class alertable_backend final : public request_starts<alertable_backend> {
public:
    explicit alertable_backend(bool external_wait) noexcept : _external(external_wait) {}

    ~alertable_backend() override {
        if (_event != nullptr) ::CloseHandle(_event);
    }

    bool init() noexcept {
        if (!_winsock.started()) return false;
        _event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (_event == nullptr) return false;
        _wake.use_event(_event);
        return true;
    }

    bool is_completion_port() const noexcept override { return false; }
    bool completes_accepts() const noexcept override { return false; }
    bool completes_connects() const noexcept override { return false; }

    // Routines need no association.
    std::uint32_t associate(native_handle handle) noexcept override {
        return handle == invalid_handle ? ERROR_INVALID_HANDLE : 0;
    }

    std::uint32_t start_accept(native_handle, endpoint*, io_block&) noexcept override { return ERROR_NOT_SUPPORTED; }
    std::uint32_t start_connect(native_handle, const endpoint&, io_block&) noexcept override {
        return ERROR_NOT_SUPPORTED;
    }

    void cancel(native_handle handle) noexcept override {
        if (handle == invalid_handle) return;
        _handles.cancelled(handle);
        // Requests not issued yet end here; issued ones through their routines.
        block_list cancelled;
        {
            std::lock_guard<std::mutex> guard(_queue_lock);
            block_list kept;
            while (io_block* block = _queued.pop_front()) (block->handle == handle ? cancelled : kept).push_back(*block);
            _queued = kept;
            _has_queued.store(!_queued.empty(), std::memory_order_release);
        }
        while (io_block* block = cancelled.pop_front()) {
            fail_request(*block, ERROR_OPERATION_ABORTED);
            finished_elsewhere(*block);
        }
        ::CancelIoEx(as_handle(handle), nullptr);
    }

    void forget(native_handle handle) noexcept override { _handles.forget(handle); }

    bool post(io_block& block) noexcept override {
        _posted.push(block);
        _wake.notify();
        return true;
    }

    void wake() noexcept override {
        _woken.store(true, std::memory_order_seq_cst);
        _wake.notify(true);
    }

    void submit() noexcept override {
        _dispatch.store(::GetCurrentThreadId(), std::memory_order_relaxed);
        if (!_has_queued.load(std::memory_order_acquire)) return;
        block_list batch;
        {
            std::lock_guard<std::mutex> guard(_queue_lock);
            batch = _queued;
            _queued = block_list{};
            _has_queued.store(false, std::memory_order_release);
        }
        while (io_block* block = batch.pop_front()) {
            win_request& request = request_of(*block);
            // The first step's position waits in the OVERLAPPED until now.
            const std::uint64_t position = offset_of(request.overlapped);
            _inflight.add(*block);
            if (const DWORD error = issue(*block, position)) {
                _inflight.remove(*block);
                fail_request(*block, error);
                _finished.push_back(*block);
                // A dispatch thread between turns (a UI thread) runs one for it.
                _wake.notify();
            }
        }
    }

    std::size_t reap(io_block** finished, std::size_t capacity) noexcept override {
        _dispatch.store(::GetCurrentThreadId(), std::memory_order_relaxed);
        _wake.end_sleep();
        _woken.store(false, std::memory_order_relaxed);
        // Routines due run now, so a loop that never sleeps still sees them.
        if (_inflight.size() != 0) ::SleepEx(0, TRUE);
        std::size_t count = 0;
        while (count < capacity && !_finished.empty()) finished[count++] = _finished.pop_front();
        return count;
    }

    io_block* take_posted() noexcept override {
        _wake.end_sleep();
        return _posted.take_all();
    }

    bool has_posted() const noexcept override { return !_posted.empty(); }

    void wait(std::uint32_t timeout_ms) noexcept override {
        submit();
        if (!_finished.empty() || !_posted.empty() || _woken.exchange(false)) return;
        if (!arm()) return;
        // Routines run inside this wait, on this thread; it then ends.
        ::WaitForSingleObjectEx(_event, timeout_ms == wait_forever ? INFINITE : timeout_ms, TRUE);
        _wake.end_sleep();
    }

    bool prepare_external_wait() noexcept override {
        _external = true;
        submit();
        return arm();
    }

    native_handle descriptor() const noexcept override { return reinterpret_cast<native_handle>(_event); }

    void drain(void (*sink)(void*, io_block&), void* context) noexcept override {
        {
            std::lock_guard<std::mutex> guard(routine_lock());
            _closing = true;
        }
        block_list done;
        {
            std::lock_guard<std::mutex> guard(_queue_lock);
            done = _queued;
            _queued = block_list{};
            _has_queued.store(false, std::memory_order_release);
        }
        for (io_block* block = done.head; block != nullptr; block = block->next)
            fail_request(*block, ERROR_OPERATION_ABORTED);
        _inflight.for_each([](io_block& block) { ::CancelIoEx(as_handle(block.handle), &request_of(block).overlapped); });
        const ULONGLONG give_up = ::GetTickCount64() + drain_limit_ms;
        if (::GetCurrentThreadId() == _dispatch.load(std::memory_order_relaxed)) {
            // The routines of the cancelled requests run here.
            while (_inflight.size() != 0 && ::GetTickCount64() < give_up) ::SleepEx(50, TRUE);
        } else {
            // Another thread: the routines would run on the dispatch thread
            // (never, once it has ended); what matters is that the system is
            // done with each request's memory.
            while (::GetTickCount64() < give_up) {
                bool pending = false;
                _inflight.for_each([&](io_block& block) {
                    if (request_of(block).overlapped.Internal == STATUS_PENDING) pending = true;
                });
                if (!pending) break;
                ::Sleep(10);
            }
        }
        {
            // The dispatch thread may be running routines meanwhile (a UI
            // thread that pumps while another thread tears down): what is
            // left in flight is taken under their lock, and the routines it
            // still owes that thread are skipped when they run.
            std::lock_guard<std::mutex> guard(routine_lock());
            const DWORD thread = _dispatch.load(std::memory_order_relaxed);
            const std::shared_ptr<void> owner = _inflight.size() != 0 ? live_thread(thread) : nullptr;
            while (io_block* block = _inflight.front()) {
                _inflight.remove(*block);
                if (owner != nullptr && !add_owed(&request_of(*block).overlapped, thread, owner)) continue;  // kept
                fail_request(*block, ERROR_OPERATION_ABORTED);
                _finished.push_back(*block);
            }
            done.append(_finished);
        }
        done.append_chain(_posted.take_all());
        while (io_block* block = done.pop_front()) sink(context, *block);
    }

private:
    friend class request_starts<alertable_backend>;

    std::uint32_t begin_spans(io_kind kind, native_handle handle, const buffer_span* spans, int count,
                              std::uint64_t position, io_block& block) noexcept {
        win_request& request = prepare_request(block, kind, handle, this, _handles.generation());
        block.spans = spans;
        block.span_count = count;
        if (count <= 0 || count > 0xFFFF) return ERROR_INVALID_PARAMETER;
        // Segments have no routine form: one ReadFileEx/WriteFileEx per span.
        request.mode = span_mode::pieces;
        return begin(block, position);
    }

    // Queued for the dispatch thread's next submit(); a sleeping dispatch
    // thread is woken for it. Started on the dispatch thread itself, it goes
    // out at once (behind what was queued before it), as on the port: a send
    // followed by a close of its socket in the same callback is still sent
    // rather than cancelled while it waits in the queue.
    std::uint32_t begin(io_block& block, std::uint64_t position) noexcept {
        if (block.handle == invalid_handle) return is_file_kind(block.kind) ? ERROR_INVALID_HANDLE : WSAENOTSOCK;
        set_offset(request_of(block).overlapped, position);
        {
            std::lock_guard<std::mutex> guard(_queue_lock);
            _queued.push_back(block);
            _has_queued.store(true, std::memory_order_seq_cst);
        }
        if (!_closing && ::GetCurrentThreadId() == _dispatch.load(std::memory_order_relaxed)) {
            submit();
            return 0;
        }
        _wake.notify();
        return 0;
    }

    // Issues the block's next step. A cancel of its handle that came after
    // the request started, and may have missed this step, cancels it again.
    DWORD issue(io_block& block, std::uint64_t position) noexcept {
        // Read first: once issued, the block may finish and be reused on another thread.
        const native_handle handle = block.handle;
        const std::uint32_t mark = request_of(block).cancel_mark;
        OVERLAPPED* overlapped = &request_of(block).overlapped;
        const DWORD error =
            issue_step(block, position, &alertable_backend::on_socket_done, &alertable_backend::on_file_done);
        if (error == 0 && _handles.cancelled_since(handle, mark)) ::CancelIoEx(as_handle(handle), overlapped);
        return error;
    }

    static void CALLBACK on_socket_done(DWORD, DWORD, LPWSAOVERLAPPED overlapped, DWORD) { on_done(overlapped); }
    static void CALLBACK on_file_done(DWORD, DWORD, LPOVERLAPPED overlapped) { on_done(overlapped); }

    // A routine, on the dispatch thread: the request finishes, or its next step goes out.
    static void on_done(OVERLAPPED* overlapped) noexcept {
        std::lock_guard<std::mutex> guard(routine_lock());
        if (take_owed(overlapped)) return;
        io_block& block = block_of(overlapped);
        win_request& request = request_of(block);
        auto* self = static_cast<alertable_backend*>(request.owner);
        DWORD bytes = 0;
        DWORD error = 0;
        step_outcome(block, bytes, error);
        std::uint64_t position = 0;
        if (take_step(block, bytes, error, position) == step_verdict::next_step) {
            if (self->_closing || self->_handles.cancelled_since(block.handle, request.cancel_mark)) {
                fail_request(block, ERROR_OPERATION_ABORTED);
            } else if (const DWORD failed = self->issue(block, position)) {
                fail_request(block, failed);
            } else {
                return;
            }
        }
        self->_inflight.remove(block);
        self->_finished.push_back(block);
        // A UI thread whose alertable wait ran this routine must run a turn.
        if (self->_external) self->_wake.notify();
    }

    // A request finished outside the dispatch loop: kept for the next reap()
    // on the dispatch thread, posted from any other.
    void finished_elsewhere(io_block& block) noexcept {
        if (::GetCurrentThreadId() == _dispatch.load(std::memory_order_relaxed)) {
            _finished.push_back(block);
            _wake.notify();
            return;
        }
        post(block);
    }

    // Arms the wake event for a sleep; false when work waits.
    bool arm() noexcept {
        _wake.rearm();
        _wake.begin_sleep();
        if (!_posted.empty() || !_finished.empty() || _has_queued.load(std::memory_order_seq_cst) ||
            _woken.load(std::memory_order_seq_cst)) {
            _wake.end_sleep();
            return false;
        }
        return true;
    }

    winsock_use _winsock;
    HANDLE _event = nullptr;
    bool _external = false;
    bool _closing = false;
    inflight_list _inflight;
    posted_queue _posted;
    wake_signal _wake;
    std::atomic<bool> _woken{false};
    std::atomic<DWORD> _dispatch{0};
    std::mutex _queue_lock;
    block_list _queued;  // started, waiting for submit()
    std::atomic<bool> _has_queued{false};
    block_list _finished;  // dispatch thread
};

}  // namespace

std::unique_ptr<io_backend> make_alertable_backend(bool external_wait) {
    auto backend = std::make_unique<alertable_backend>(external_wait);
    if (!backend->init()) return nullptr;
    return backend;
}

}  // namespace asynframe::platform::detail
