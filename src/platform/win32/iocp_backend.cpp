// The completion backend: an I/O completion port. Every handle a request
// runs on is associated with the port, and every request completes through
// it (no completion is skipped on immediate success, so a request is handed
// out by reap() only, never by the call that started it). Posts go to a
// lock-free queue; a sleeping dispatch thread is woken by a packet with its
// own completion key.
//
// For a dispatch thread that sleeps elsewhere (UI-thread mode), a relay
// thread waits on the port instead and moves finished requests to a locked
// list, setting the event descriptor() returns.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "platform/win32/io_backend_common.h"

namespace asynframe::platform::detail {
namespace {

constexpr ULONG port_batch = 64;
constexpr DWORD drain_limit_ms = 10000;

class iocp_backend final : public request_starts<iocp_backend> {
public:
    explicit iocp_backend(bool external_wait) noexcept : _external(external_wait) {}

    ~iocp_backend() override {
        stop_relay();
        if (_port != nullptr) ::CloseHandle(_port);
        if (_event != nullptr) ::CloseHandle(_event);
    }

    bool init() noexcept {
        if (!_winsock.started()) return false;
        _port = ::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
        if (_port == nullptr) return false;
        if (!_external) {
            _wake.use_port(_port);
            return true;
        }
        _event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (_event == nullptr) return false;
        _wake.use_event(_event);
        try {
            _relay = std::thread([this] { relay(); });
        } catch (...) {
            return false;
        }
        return true;
    }

    bool is_completion_port() const noexcept override { return true; }

    std::uint32_t associate(native_handle handle) noexcept override {
        if (handle == invalid_handle) return ERROR_INVALID_HANDLE;
        if (::CreateIoCompletionPort(as_handle(handle), _port, io_key, 0) != nullptr) {
            _handles.mark_associated(handle);
            return 0;
        }
        const DWORD error = ::GetLastError();
        // A handle is tied to one port for good: asked again, the system refuses.
        if (error == ERROR_INVALID_PARAMETER && _handles.associated(handle)) return 0;
        return error;
    }

    std::uint32_t start_accept(native_handle handle, endpoint* peer, io_block& block) noexcept override {
        win_request& request = prepare_request(block, io_kind::accept, handle, this, _handles.generation());
        block.address = peer;
        DWORD error = 0;
        request.accepted = make_accept_socket(as_socket(handle), error);
        if (request.accepted == INVALID_SOCKET) return error;
        const std::uint32_t started = begin(block, 0);
        if (started != 0) {
            ::closesocket(request.accepted);
            request.accepted = INVALID_SOCKET;
        }
        return started;
    }

    std::uint32_t start_connect(native_handle handle, const endpoint& target, io_block& block) noexcept override {
        win_request& request = prepare_request(block, io_kind::connect, handle, this, _handles.generation());
        request.address_length = to_socket_address(target, request.name);
        if (request.address_length == 0) return WSAEAFNOSUPPORT;
        // ConnectEx wants a bound socket; one bound by its owner stays as it is.
        socket_address any{};
        any.any.sa_family = request.name.any.sa_family;
        const int any_length = any.any.sa_family == AF_INET6 ? sizeof any.v6 : sizeof any.v4;
        if (::bind(as_socket(handle), &any.any, any_length) != 0) {
            const int error = ::WSAGetLastError();
            if (error != WSAEINVAL) return static_cast<std::uint32_t>(error);
        }
        return begin(block, 0);
    }

    void cancel(native_handle handle) noexcept override {
        if (handle == invalid_handle) return;
        // Marked first: a request between two of its steps sees it before its next one.
        _handles.cancelled(handle);
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

    void submit() noexcept override {}

    std::size_t reap(io_block** finished, std::size_t capacity) noexcept override {
        _wake.end_sleep();
        _woken.store(false, std::memory_order_relaxed);
        std::size_t count = 0;
        if (_external) {
            std::lock_guard<std::mutex> guard(_relay_lock);
            while (count < capacity && !_relayed.empty()) finished[count++] = _relayed.pop_front();
            return count;
        }
        while (count < capacity && !_ready.empty()) finished[count++] = _ready.pop_front();
        // With nothing in flight the port can hold only wake-ups: no call needed.
        while (count < capacity && _inflight.size() != 0) {
            OVERLAPPED_ENTRY entries[port_batch];
            const ULONG want = static_cast<ULONG>(std::min<std::size_t>(capacity - count, port_batch));
            ULONG taken = 0;
            if (!::GetQueuedCompletionStatusEx(_port, entries, want, &taken, 0, FALSE)) break;
            for (ULONG i = 0; i < taken; ++i)
                if (io_block* block = take_entry(entries[i])) finished[count++] = block;
            if (taken < want) break;
        }
        return count;
    }

    io_block* take_posted() noexcept override {
        _wake.end_sleep();
        return _posted.take_all();
    }

    bool has_posted() const noexcept override { return !_posted.empty(); }

    void wait(std::uint32_t timeout_ms) noexcept override {
        if (_external) {
            // Sleeps as the UI thread would, on the relay's event.
            if (!arm_external()) return;
            ::WaitForSingleObject(_event, timeout_ms == wait_forever ? INFINITE : timeout_ms);
            _wake.end_sleep();
            return;
        }
        if (!_ready.empty() || !_posted.empty() || _woken.exchange(false)) return;
        _wake.begin_sleep();
        if (!_posted.empty() || _woken.exchange(false)) {
            _wake.end_sleep();
            return;
        }
        OVERLAPPED_ENTRY entries[port_batch];
        ULONG taken = 0;
        if (::GetQueuedCompletionStatusEx(_port, entries, port_batch, &taken,
                                          timeout_ms == wait_forever ? INFINITE : timeout_ms, FALSE)) {
            for (ULONG i = 0; i < taken; ++i)
                if (io_block* block = take_entry(entries[i])) _ready.push_back(*block);
        }
        _wake.end_sleep();
    }

    bool prepare_external_wait() noexcept override { return arm_external(); }

    native_handle descriptor() const noexcept override {
        return _event != nullptr ? reinterpret_cast<native_handle>(_event) : invalid_handle;
    }

    void drain(void (*sink)(void*, io_block&), void* context) noexcept override {
        stop_relay();
        _closing = true;
        _inflight.for_each([](io_block& block) { ::CancelIoEx(as_handle(block.handle), &request_of(block).overlapped); });
        // Every request still with the system must finish before its memory goes.
        const ULONGLONG give_up = ::GetTickCount64() + drain_limit_ms;
        while (_inflight.size() != 0 && ::GetTickCount64() < give_up) {
            OVERLAPPED_ENTRY entries[port_batch];
            ULONG taken = 0;
            if (!::GetQueuedCompletionStatusEx(_port, entries, port_batch, &taken, 100, FALSE)) continue;
            for (ULONG i = 0; i < taken; ++i)
                if (io_block* block = take_entry(entries[i])) _ready.push_back(*block);
        }
        _ready.append(_relayed);
        _ready.append_chain(_posted.take_all());
        while (io_block* block = _ready.pop_front()) sink(context, *block);
    }

private:
    friend class request_starts<iocp_backend>;

    std::uint32_t begin_spans(io_kind kind, native_handle handle, const buffer_span* spans, int count,
                              std::uint64_t position, io_block& block) noexcept {
        win_request& request = prepare_request(block, kind, handle, this, _handles.generation());
        block.spans = spans;
        block.span_count = count;
        if (count <= 0 || count > 0xFFFF) return ERROR_INVALID_PARAMETER;
        request.mode = spans_are_pages(spans, count) ? span_mode::segments : span_mode::pieces;
        return begin(block, position);
    }

    // The first step of a request. A step that fails at once is still handed
    // out by reap(): its outcome goes through the port like any other.
    std::uint32_t begin(io_block& block, std::uint64_t position) noexcept {
        if (!_handles.associated(block.handle)) {
            if (const std::uint32_t error = associate(block.handle)) return error;
        }
        _inflight.add(block);
        const DWORD error = issue(block, position);
        if (error == 0 || post_failure(block)) return 0;
        _inflight.remove(block);
        return error;
    }

    // Hands a step that failed at once (issue() kept its code) out through
    // the port, after any packet the system itself queued for it.
    bool post_failure(io_block& block) noexcept {
        return ::PostQueuedCompletionStatus(_port, 0, failed_key, &request_of(block).overlapped) != 0;
    }

    // Issues the block's next step. A cancel of its handle that came after
    // the request started, and may have missed this step, cancels it again.
    DWORD issue(io_block& block, std::uint64_t position) noexcept {
        // Read first: once issued, the block may finish and be reused on another thread.
        win_request& request = request_of(block);
        const native_handle handle = block.handle;
        const std::uint32_t mark = request.cancel_mark;
        OVERLAPPED* overlapped = &request.overlapped;
        std::atomic_ref<std::uint32_t> issuing(request.issuing);
        issuing.store(1, std::memory_order_relaxed);
        const DWORD error = issue_step(block, position, nullptr, nullptr);
        if (error != 0) request.preset_error = error;
        if (error == 0 && _handles.cancelled_since(handle, mark)) ::CancelIoEx(as_handle(handle), overlapped);
        // The block is not handed out before this: take_entry() waits for it.
        issuing.store(0, std::memory_order_release);
        return error;
    }

    // A packet off the port: the block it finished, or null (a wake-up, or a
    // request that goes on with its next step).
    io_block* take_entry(const OVERLAPPED_ENTRY& entry) noexcept {
        if (entry.lpCompletionKey == wake_key || entry.lpOverlapped == nullptr) {
            if (entry.lpCompletionKey == wake_key) _wake.consumed();
            return nullptr;
        }
        io_block& block = block_of(entry.lpOverlapped);
        win_request& request = request_of(block);
        if (entry.lpCompletionKey != failed_key) {
            // Taken off the port before the issuing call returned (another
            // thread issued it): its verdict decides what this packet is.
            std::atomic_ref<std::uint32_t> issuing(request.issuing);
            while (issuing.load(std::memory_order_acquire) != 0) std::this_thread::yield();
            // The system's own packet for a step that failed at once: the
            // backend's packet behind it finishes the step.
            if (request.preset_error != 0) return nullptr;
        }
        DWORD bytes = 0;
        DWORD error = 0;
        step_outcome(block, bytes, error);
        request.preset_error = 0;
        std::uint64_t position = 0;
        if (take_step(block, bytes, error, position) == step_verdict::next_step) {
            if (_closing || _handles.cancelled_since(block.handle, request.cancel_mark)) {
                fail_request(block, ERROR_OPERATION_ABORTED);
            } else if (const DWORD failed = issue(block, position)) {
                if (post_failure(block)) return nullptr;
                fail_request(block, failed);
            } else {
                return nullptr;
            }
        }
        if (block.kind == io_kind::accept) finish_accept(block);
        if (block.kind == io_kind::connect && block.error == 0)
            ::setsockopt(as_socket(block.handle), SOL_SOCKET, SO_UPDATE_CONNECT_CONTEXT, nullptr, 0);
        _inflight.remove(block);
        return &block;
    }

    // The accepted socket takes the listener's properties, reports its peer
    // and joins the port; a failed accept closes it.
    void finish_accept(io_block& block) noexcept {
        win_request& request = request_of(block);
        block.bytes = 0;
        SOCKET accepted = std::exchange(request.accepted, INVALID_SOCKET);
        if (block.error == 0) {
            const SOCKET listener = as_socket(block.handle);
            if (::setsockopt(accepted, SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT, reinterpret_cast<const char*>(&listener),
                             sizeof listener) != 0)
                block.error = static_cast<std::uint32_t>(::WSAGetLastError());
        }
        if (block.error == 0) {
            const winsock_extensions* functions = extensions(accepted);
            ::sockaddr* local = nullptr;
            ::sockaddr* remote = nullptr;
            int local_length = 0;
            int remote_length = 0;
            if (functions != nullptr)
                functions->accept_addresses(request.accept_buffer, 0, accept_address_room, accept_address_room, &local,
                                            &local_length, &remote, &remote_length);
            if (block.address != nullptr) *block.address = from_socket_address(remote, remote_length);
            const std::uint32_t error = associate(static_cast<native_handle>(accepted));
            if (error != 0) block.error = error;
        }
        if (block.error != 0) {
            ::closesocket(accepted);
            return;
        }
        block.accepted = static_cast<native_handle>(accepted);
    }

    // Arms the event for a thread that sleeps on it; false when work waits.
    bool arm_external() noexcept {
        _wake.rearm();
        _wake.begin_sleep();
        bool waiting = !_posted.empty() || _woken.load(std::memory_order_seq_cst);
        if (!waiting) {
            std::lock_guard<std::mutex> guard(_relay_lock);
            waiting = !_relayed.empty();
        }
        if (waiting) _wake.end_sleep();
        return !waiting;
    }

    void relay() noexcept {
        for (;;) {
            OVERLAPPED_ENTRY entries[port_batch];
            ULONG taken = 0;
            if (!::GetQueuedCompletionStatusEx(_port, entries, port_batch, &taken, INFINITE, FALSE)) continue;
            block_list done;
            bool quit = false;
            for (ULONG i = 0; i < taken; ++i) {
                if (entries[i].lpCompletionKey == quit_key) {
                    quit = true;
                    continue;
                }
                if (io_block* block = take_entry(entries[i])) done.push_back(*block);
            }
            if (!done.empty()) {
                {
                    std::lock_guard<std::mutex> guard(_relay_lock);
                    _relayed.append(done);
                }
                _wake.notify();
            }
            if (quit) return;
        }
    }

    void stop_relay() noexcept {
        if (!_relay.joinable()) return;
        ::PostQueuedCompletionStatus(_port, 0, quit_key, nullptr);
        _relay.join();
    }

    winsock_use _winsock;
    HANDLE _port = nullptr;
    HANDLE _event = nullptr;  // external waits only
    bool _external = false;
    bool _closing = false;
    inflight_list _inflight;
    posted_queue _posted;
    wake_signal _wake;
    std::atomic<bool> _woken{false};
    block_list _ready;  // dispatch thread: finished requests a wait() took off the port
    std::thread _relay;
    std::mutex _relay_lock;
    block_list _relayed;
};

}  // namespace

std::unique_ptr<io_backend> make_iocp_backend(bool external_wait) {
    auto backend = std::make_unique<iocp_backend>(external_wait);
    if (!backend->init()) return nullptr;
    return backend;
}

}  // namespace asynframe::platform::detail
