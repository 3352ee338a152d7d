// The readiness backend. Each descriptor enters the epoll set once, the first
// time a request must wait for it, edge-triggered; the backend remembers per
// descriptor whether the last attempt found it drained, so a request on a
// descriptor that may be ready is tried at once and one that surely is not
// waits for the next edge without a system call. Positional file requests are
// refused (the file helper thread does them). Finished blocks are handed out
// by reap() or take_posted() only, never inside the call that started them;
// those finished on the dispatch thread itself skip the cross-thread queue.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "platform/errors.h"
#include "platform/linux/io_backend_common.h"
#include "platform/thread.h"

namespace asynframe::platform::detail {
namespace {

constexpr std::uint8_t connect_in_progress = 1;
constexpr std::uint8_t connect_deferred = 2;
constexpr std::uint32_t inbound_events = EPOLLIN | EPOLLRDHUP | EPOLLET;

bool is_inbound(io_kind kind) noexcept {
    return kind == io_kind::recv || kind == io_kind::recv_from || kind == io_kind::accept;
}

bool is_socket_kind(io_kind kind) noexcept {
    return is_inbound(kind) || kind == io_kind::send || kind == io_kind::send_to || kind == io_kind::connect;
}

// glibc makes each socket call a cancellation point, which in a process of
// more than one thread costs two atomic updates around every call. No thread
// of this library is ever cancelled, so the request paths enter the kernel
// directly.
inline ssize_t direct_send(int fd, const void* data, std::size_t length, int flags) noexcept {
    return ::syscall(SYS_sendto, fd, data, length, flags, nullptr, 0);
}
inline ssize_t direct_sendto(int fd, const void* data, std::size_t length, int flags, const ::sockaddr* to,
                             ::socklen_t to_length) noexcept {
    return ::syscall(SYS_sendto, fd, data, length, flags, to, to_length);
}
inline ssize_t direct_recvfrom(int fd, void* buffer, std::size_t length, int flags, ::sockaddr* from,
                               ::socklen_t* from_length) noexcept {
    return ::syscall(SYS_recvfrom, fd, buffer, length, flags, from, from_length);
}
inline ssize_t direct_recvmsg(int fd, ::msghdr* message, int flags) noexcept {
    return ::syscall(SYS_recvmsg, fd, message, flags);
}
inline int direct_epoll_wait(int epoll_fd, ::epoll_event* events, int capacity, int timeout) noexcept {
    return static_cast<int>(::syscall(SYS_epoll_pwait, epoll_fd, events, capacity, timeout, nullptr, 0));
}

// What the backend knows of one descriptor. Guarded by its own lock: requests
// may start on any thread while the dispatch thread hands out readiness.
struct descriptor_state {
    word_lock lock;
    bool registered = false;    // in the epoll set
    bool out_interest = false;  // EPOLLOUT asked for (once a send or connect had to wait)
    // False once an attempt found nothing to read (or no room to write); the
    // next edge sets it again. True means "maybe": try before waiting.
    bool readable = true;
    bool writable = true;
    bool nonblocking = false;   // O_NONBLOCK known to be set (accept has no per-call flag)
    // TCP reports with each read how much is left (TCP_INQ), so a read that
    // empties the queue is known without a second, failing one.
    bool inq_tried = false;
    bool inq = false;
    // The peer closed or the connection failed: reads end at once from now
    // on and no edge announces it again, so readable must stay set.
    bool closed_in = false;
    block_list inbound;
    block_list outbound;

    void reset() noexcept {
        registered = false;
        out_interest = false;
        readable = true;
        writable = true;
        nonblocking = false;
        inq_tried = false;
        inq = false;
        closed_in = false;
    }
};

// Descriptor states indexed by number, in chunks made on first use and kept
// until the backend goes, so a lookup takes no lock.
class descriptor_table {
public:
    descriptor_table() = default;
    descriptor_table(const descriptor_table&) = delete;
    descriptor_table& operator=(const descriptor_table&) = delete;
    ~descriptor_table() {
        for (auto& chunk : _chunks) delete[] chunk.load(std::memory_order_relaxed);
    }

    descriptor_state* find(int fd, bool make) noexcept {
        if (fd < 0 || fd >= limit) return nullptr;
        std::atomic<descriptor_state*>& slot = _chunks[fd >> chunk_bits];
        descriptor_state* chunk = slot.load(std::memory_order_acquire);
        if (chunk == nullptr) {
            if (!make) return nullptr;
            std::lock_guard<std::mutex> guard(_grow_lock);
            chunk = slot.load(std::memory_order_acquire);
            if (chunk == nullptr) {
                chunk = new (std::nothrow) descriptor_state[chunk_size];
                if (chunk == nullptr) return nullptr;
                slot.store(chunk, std::memory_order_release);
            }
        }
        return &chunk[fd & (chunk_size - 1)];
    }

    template <typename Visit>
    void for_each(Visit visit) noexcept {
        for (auto& slot : _chunks) {
            descriptor_state* chunk = slot.load(std::memory_order_acquire);
            if (chunk == nullptr) continue;
            for (int i = 0; i < chunk_size; ++i) visit(chunk[i]);
        }
    }

private:
    static constexpr int chunk_bits = 9;
    static constexpr int chunk_size = 1 << chunk_bits;
    static constexpr int chunk_count = 8192;
    static constexpr int limit = chunk_count << chunk_bits;

    std::atomic<descriptor_state*> _chunks[chunk_count] = {};
    std::mutex _grow_lock;
};

class epoll_backend final : public io_backend {
public:
    explicit epoll_backend(bool external_wait) noexcept : _external_wait(external_wait) {}
    ~epoll_backend() override {
        if (_epoll_fd >= 0) ::close(_epoll_fd);
        if (_wake_fd >= 0) ::close(_wake_fd);
    }

    bool init() noexcept {
        _epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
        _wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (_epoll_fd < 0 || _wake_fd < 0) return false;
        _wake.set_descriptor(_wake_fd);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = _wake_fd;
        return ::epoll_ctl(_epoll_fd, EPOLL_CTL_ADD, _wake_fd, &event) == 0;
    }

    bool is_completion_port() const noexcept override { return false; }

    std::uint32_t associate(native_handle handle) noexcept override {
        const int fd = static_cast<int>(handle);
        if (fd < 0) return file_error_from_errno(EBADF);
        descriptor_state* state = _table.find(fd, true);
        if (state == nullptr) return file_error_from_errno(EMFILE);
        std::lock_guard<word_lock> guard(state->lock);
        // The descriptor enters the epoll set when a request first has to wait
        // for it: a connection accepted and closed at once, or one whose every
        // request finishes on the first try, costs no epoll call at all.
        state->reset();
        return 0;
    }

    std::uint32_t start_recv(native_handle handle, void* buffer, std::uint32_t length,
                             io_block& block) noexcept override {
        prepare(block, io_kind::recv, handle);
        block.buffer = buffer;
        block.length = length;
        return queue_or_finish(block);
    }

    std::uint32_t start_send(native_handle handle, const void* buffer, std::uint32_t length,
                             io_block& block) noexcept override {
        prepare(block, io_kind::send, handle);
        block.buffer = const_cast<void*>(buffer);
        block.length = length;
        return queue_or_finish(block);
    }

    std::uint32_t start_recv_from(native_handle handle, void* buffer, std::uint32_t length, endpoint* source,
                                  io_block& block) noexcept override {
        linux_request& request = prepare(block, io_kind::recv_from, handle);
        block.buffer = buffer;
        block.length = length;
        block.address = source;
        request.address_length = sizeof request.name;
        return queue_or_finish(block);
    }

    std::uint32_t start_send_to(native_handle handle, const void* buffer, std::uint32_t length,
                                const endpoint& target, io_block& block) noexcept override {
        linux_request& request = prepare(block, io_kind::send_to, handle);
        block.buffer = const_cast<void*>(buffer);
        block.length = length;
        request.address_length = to_socket_address(target, request.name);
        return queue_or_finish(block);
    }

    std::uint32_t start_accept(native_handle handle, endpoint* peer, io_block& block) noexcept override {
        linux_request& request = prepare(block, io_kind::accept, handle);
        block.address = peer;
        request.address_length = sizeof request.name;
        return queue_or_finish(block);
    }

    std::uint32_t start_connect(native_handle handle, const endpoint& target, io_block& block) noexcept override {
        const int fd = static_cast<int>(handle);
        linux_request& request = prepare(block, io_kind::connect, handle);
        request.address_length = to_socket_address(target, request.name);
        descriptor_state* state = _table.find(fd, true);
        if (state == nullptr) return socket_error_from_errno(fd < 0 ? EBADF : EMFILE);
        std::lock_guard<word_lock> guard(state->lock);
        // A new socket may carry the number of one closed without forget():
        // whatever is remembered of that one is stale. Connects are rare
        // enough to register afresh every time.
        state->registered = false;
        // Connects a callback starts wait for the end of its turn and go out
        // together, as the ring's submissions do: the peer's side then takes
        // them in one wake-up instead of one each. A host waiting on the
        // descriptor itself has no turn end to wait for.
        if (!_external_wait && _deferred_count < max_deferred &&
            current_thread_id() == _dispatch_thread.load(std::memory_order_relaxed)) {
            block.state = connect_deferred;
            state->outbound.push_back(block);
            _waiting.fetch_add(1, std::memory_order_relaxed);
            _deferred[_deferred_count++] = fd;
            return 0;
        }
        if (issue_connect_locked(block)) return 0;
        state->writable = false;
        return enqueue_locked(*state, block);
    }

    // Starts a connect, non-blocking; true when it finished at once (the
    // block handed on), false when it waits for writability.
    bool issue_connect_locked(io_block& block) noexcept {
        linux_request& request = request_of(block);
        // The library's sockets are blocking between requests; a connect must
        // not block the dispatch thread, so it runs non-blocking and the socket
        // is put back once it has finished.
        // (A socket's only status flag that counts is O_NONBLOCK: the others
        // need no reading first, as platform::start_connect does it too.)
        int error = 0;
        if (::fcntl(request.fd, F_SETFL, O_NONBLOCK) < 0) {
            error = errno;
        } else {
            int result;
            do {
                result = ::connect(request.fd, &request.name.any, request.address_length);
            } while (result < 0 && errno == EINTR);
            error = result == 0 ? 0 : errno;
            if (error == EINPROGRESS || error == EAGAIN) {
                block.state = connect_in_progress;
                return false;
            }
            ::fcntl(request.fd, F_SETFL, 0);
        }
        // Reported through the completion, as the ring does.
        request.result = -error;
        finish(block);
        return true;
    }

    // Issues the connects deferred to the end of the turn, in their order.
    void issue_deferred() noexcept {
        const int count = std::exchange(_deferred_count, 0);
        for (int i = 0; i < count; ++i) {
            const int fd = _deferred[i];
            descriptor_state* state = _table.find(fd, false);
            if (state == nullptr) continue;
            std::lock_guard<word_lock> guard(state->lock);
            // Cancelled meanwhile, or the number is now another socket's.
            io_block* block = state->outbound.head;
            if (block == nullptr || block->kind != io_kind::connect || block->state != connect_deferred) continue;
            state->outbound.pop_front();
            _waiting.fetch_sub(1, std::memory_order_relaxed);
            if (issue_connect_locked(*block)) continue;
            state->writable = false;
            if (const int error = register_locked(fd, *state, inbound_events | EPOLLOUT)) {
                ::fcntl(fd, F_SETFL, 0);
                request_of(*block).result = -error;
                finish(*block);
                continue;
            }
            state->outbound.push_back(*block);
            _waiting.fetch_add(1, std::memory_order_relaxed);
        }
    }

    // A regular file is always "ready" to epoll, and a blocking transfer here
    // would stall every socket of the frame behind the disk: positional file
    // requests are refused (50), and the file device hands them to its helper
    // thread on this backend.
    std::uint32_t start_read(native_handle, void*, std::uint32_t, std::uint64_t, io_block&) noexcept override {
        return file_error_from_errno(EOPNOTSUPP);
    }
    std::uint32_t start_write(native_handle, const void*, std::uint32_t, std::uint64_t, io_block&) noexcept override {
        return file_error_from_errno(EOPNOTSUPP);
    }
    std::uint32_t start_read_scatter(native_handle, const buffer_span*, int, std::uint64_t,
                                     io_block&) noexcept override {
        return file_error_from_errno(EOPNOTSUPP);
    }
    std::uint32_t start_write_gather(native_handle, const buffer_span*, int, std::uint64_t,
                                     io_block&) noexcept override {
        return file_error_from_errno(EOPNOTSUPP);
    }

    void cancel(native_handle handle) noexcept override {
        const int fd = static_cast<int>(handle);
        descriptor_state* state = _table.find(fd, false);
        if (state == nullptr) return;
        std::lock_guard<word_lock> guard(state->lock);
        cancel_locked(*state);
    }

    void forget(native_handle handle) noexcept override {
        const int fd = static_cast<int>(handle);
        descriptor_state* state = _table.find(fd, false);
        if (state == nullptr) return;
        std::lock_guard<word_lock> guard(state->lock);
        cancel_locked(*state);
        if (state->registered) ::epoll_ctl(_epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
        state->reset();
    }

    bool post(io_block& block) noexcept override {
        post_and_wake(_posted, _wake, block);
        return true;
    }

    void wake() noexcept override { _wake.notify(true); }

    void submit() noexcept override {
        if (_deferred_count != 0) issue_deferred();
    }

    std::size_t reap(io_block** finished, std::size_t capacity) noexcept override {
        _dispatch_thread.store(current_thread_id(), std::memory_order_relaxed);
        _wake.end_sleep();
        // A wait that just gathered readiness leaves nothing new to look for,
        // and with no request waiting for readiness there is nothing to see.
        // A thread that sleeps on descriptor() must have every event taken, or
        // the descriptor stays readable.
        if (!_just_polled && (_external_wait || _waiting.load(std::memory_order_relaxed) != 0)) poll_events(0);
        _just_polled = false;
        std::size_t count = 0;
        while (count < capacity) {
            io_block* block = _finished.pop_front();
            if (block == nullptr) break;
            finished[count++] = block;
        }
        return count;
    }

    io_block* take_posted() noexcept override { return _posted.take_all(); }

    bool has_posted() const noexcept override { return !_posted.empty(); }

    void wait(std::uint32_t timeout_ms) noexcept override {
        _dispatch_thread.store(current_thread_id(), std::memory_order_relaxed);
        submit();
        if (!_finished.empty() || !_posted.empty()) return;
        const int left =
            timeout_ms == wait_forever ? -1 : static_cast<int>(std::min<std::uint32_t>(timeout_ms, INT_MAX));
        if (left != 0) {
            // A short look before sleeping saves busy producers the wake-up write.
            for (int i = 0; i < 64; ++i) {
                if (!_posted.empty()) return;
                spin_pause();
            }
        }
        _wake.begin_sleep();
        if (!_posted.empty()) {
            _wake.end_sleep();
            return;
        }
        const int count = poll_events(left);
        _wake.end_sleep();
        _just_polled = count >= 0 && count < max_events;
    }

    bool prepare_external_wait() noexcept override {
        _dispatch_thread.store(current_thread_id(), std::memory_order_relaxed);
        submit();
        _external_wait = true;
        _wake.begin_sleep();
        if (!_posted.empty() || !_finished.empty()) {
            _wake.end_sleep();
            return false;
        }
        return true;
    }

    native_handle descriptor() const noexcept override { return _epoll_fd; }

    void drain(void (*sink)(void*, io_block&), void* context) noexcept override {
        // No dispatch thread any more: everything cancelled goes to the posted queue.
        _dispatch_thread.store(0, std::memory_order_relaxed);
        _deferred_count = 0;
        _table.for_each([this](descriptor_state& state) {
            std::lock_guard<word_lock> guard(state.lock);
            cancel_locked(state);
        });
        _finished.append_chain(_posted.take_all());
        while (io_block* block = _finished.pop_front()) sink(context, *block);
    }

private:
    static constexpr int max_events = 256;

    // Hands readiness to the waiting requests; answers epoll's count.
    int poll_events(int timeout) noexcept {
        epoll_event events[max_events];
        int count;
        do {
            count = direct_epoll_wait(_epoll_fd, events, max_events, timeout);
        } while (count < 0 && errno == EINTR && timeout == 0);
        for (int i = 0; i < count; ++i) {
            const int fd = events[i].data.fd;
            if (fd == _wake_fd)
                _wake.drain_descriptor();
            else
                on_ready(fd, events[i].events);
        }
        return count;
    }

    static linux_request& prepare(io_block& block, io_kind kind, native_handle handle) noexcept {
        block.next = nullptr;
        block.kind = kind;
        block.handle = handle;
        block.done = 0;
        block.state = 0;
        linux_request& request = request_of(block);
        request.fd = static_cast<int>(handle);
        request.result = 0;
        return request;
    }

    // A finished block: kept for the next reap() when this is the dispatch
    // thread, posted otherwise.
    void finish(io_block& block) noexcept {
        finish_request(block);
        if (current_thread_id() == _dispatch_thread.load(std::memory_order_relaxed)) {
            _finished.push_back(block);
            // The host of UI-thread mode may start requests between its pumps:
            // its next sleep must not miss this one.
            if (_external_wait) _wake.notify();
            return;
        }
        post(block);
    }

    void cancel_locked(descriptor_state& state) noexcept {
        cancel_list(state.inbound);
        cancel_list(state.outbound);
    }

    void cancel_list(block_list& list) noexcept {
        while (io_block* block = list.pop_front()) {
            _waiting.fetch_sub(1, std::memory_order_relaxed);
            request_of(*block).result = -ECANCELED;
            finish(*block);
        }
    }

    // Enters the descriptor into the epoll set, or widens its interest; answers
    // 0 or the errno. MOD and ADD both report readiness that is already there,
    // so no edge is missed.
    int register_locked(int fd, descriptor_state& state, std::uint32_t events) noexcept {
        epoll_event event{};
        event.events = events;
        event.data.fd = fd;
        if (::epoll_ctl(_epoll_fd, state.registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) != 0) {
            const int error = errno;
            // Someone else's registration of the same open file, or one left
            // from before a reset: take it over.
            if (!(error == EEXIST && ::epoll_ctl(_epoll_fd, EPOLL_CTL_MOD, fd, &event) == 0) &&
                !(error == ENOENT && ::epoll_ctl(_epoll_fd, EPOLL_CTL_ADD, fd, &event) == 0))
                return error;
        }
        state.registered = true;
        state.out_interest = (events & EPOLLOUT) != 0;
        return 0;
    }

    std::uint32_t queue_or_finish(io_block& block) noexcept {
        descriptor_state* state = _table.find(request_of(block).fd, true);
        if (state == nullptr) return socket_error_from_errno(request_of(block).fd < 0 ? EBADF : EMFILE);
        std::lock_guard<word_lock> guard(state->lock);
        const bool inbound = is_inbound(block.kind);
        block_list& list = inbound ? state->inbound : state->outbound;
        if (list.empty() && (inbound ? state->readable : state->writable) && attempt(*state, block, 0)) {
            finish(block);
            return 0;
        }
        return enqueue_locked(*state, block);
    }

    // Queues a request that must wait for readiness, widening the descriptor's
    // interest the first time something waits for room to write.
    std::uint32_t enqueue_locked(descriptor_state& state, io_block& block) noexcept {
        const bool inbound = is_inbound(block.kind);
        if (!state.registered || (!inbound && !state.out_interest)) {
            const std::uint32_t events = inbound_events | (inbound && !state.out_interest ? 0u : std::uint32_t{EPOLLOUT});
            if (const int error = register_locked(request_of(block).fd, state, events))
                return is_socket_kind(block.kind) ? socket_error_from_errno(error) : file_error_from_errno(error);
        }
        (inbound ? state.inbound : state.outbound).push_back(block);
        _waiting.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }

    // One non-blocking try; true when the request is finished (result set).
    // Learns from the outcome whether the descriptor is drained.
    static bool attempt(descriptor_state& state, io_block& block, std::uint32_t events) noexcept {
        for (;;) {
            ssize_t n = 0;
            switch (block.kind) {
                case io_kind::recv:
                    n = receive(state, block);
                    break;
                case io_kind::recv_from: {
                    linux_request& request = request_of(block);
                    ::socklen_t length = sizeof request.name;
                    // MSG_TRUNC: the datagram's real length, so truncation is seen.
                    n = direct_recvfrom(request.fd, block.buffer, block.length, MSG_DONTWAIT | MSG_TRUNC,
                                        &request.name.any, &length);
                    if (n >= 0) request.address_length = length;
                    break;
                }
                case io_kind::accept: {
                    // accept has no per-call "don't wait": the listener itself must not block.
                    if (!state.nonblocking) {
                        const int flags = ::fcntl(request_of(block).fd, F_GETFL);
                        if (flags != -1 && (flags & O_NONBLOCK) == 0) ::fcntl(request_of(block).fd, F_SETFL, flags | O_NONBLOCK);
                        state.nonblocking = true;
                    }
                    linux_request& request = request_of(block);
                    ::socklen_t length = sizeof request.name;
                    n = ::accept4(request.fd, &request.name.any, &length, SOCK_CLOEXEC);
                    if (n >= 0) request.address_length = length;
                    break;
                }
                case io_kind::send_to:
                    n = direct_sendto(request_of(block).fd, block.buffer, block.length, MSG_DONTWAIT | MSG_NOSIGNAL,
                                      &request_of(block).name.any, request_of(block).address_length);
                    break;
                case io_kind::send: {
                    if (block.done == block.length && block.length != 0) {
                        request_of(block).result = static_cast<std::int32_t>(block.done);
                        return true;
                    }
                    n = direct_send(request_of(block).fd, static_cast<const std::uint8_t*>(block.buffer) + block.done,
                                    block.length - block.done, MSG_DONTWAIT | MSG_NOSIGNAL);
                    if (n > 0 || (n == 0 && block.length == 0)) {
                        block.done += static_cast<std::uint32_t>(n);
                        if (block.done < block.length) continue;  // a stream send finishes whole
                        request_of(block).result = static_cast<std::int32_t>(block.done);
                        return true;
                    }
                    break;
                }
                case io_kind::connect: {
                    // Not issued yet: an edge now is some earlier socket's.
                    if (block.state == connect_deferred) return false;
                    if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) return false;
                    int error = 0;
                    ::socklen_t length = sizeof error;
                    if (::getsockopt(request_of(block).fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
                    ::fcntl(request_of(block).fd, F_SETFL, 0);
                    request_of(block).result = -error;
                    return true;
                }
                default:
                    request_of(block).result = -EINVAL;
                    return true;
            }
            if (n >= 0) {
                request_of(block).result = static_cast<std::int32_t>(n);
                return true;
            }
            const int error = errno;
            if (error == EINTR) continue;
            if (error == EAGAIN || error == EWOULDBLOCK) {
                (is_inbound(block.kind) ? state.readable : state.writable) = false;
                return false;
            }
            request_of(block).result = -error;
            return true;
        }
    }

    // A stream read that learns whether it emptied the receive queue. When it
    // did, whatever arrives next raises an edge, so the next request waits for
    // it without a failing read first.
    static ssize_t receive(descriptor_state& state, io_block& block) noexcept {
        if (!state.inq_tried) {
            state.inq_tried = true;
            const int one = 1;
            state.inq = ::setsockopt(request_of(block).fd, IPPROTO_TCP, TCP_INQ, &one, sizeof one) == 0;
        }
        if (!state.inq)
            return direct_recvfrom(request_of(block).fd, block.buffer, block.length, MSG_DONTWAIT, nullptr, nullptr);
        ::iovec piece{block.buffer, block.length};
        alignas(::cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        ::msghdr message{};
        message.msg_iov = &piece;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = direct_recvmsg(request_of(block).fd, &message, MSG_DONTWAIT);
        if (n <= 0 || state.closed_in) return n;
        for (::cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level == IPPROTO_TCP && header->cmsg_type == TCP_CM_INQ) {
                int left = 0;
                std::memcpy(&left, CMSG_DATA(header), sizeof left);
                if (left == 0) state.readable = false;
            }
        }
        return n;
    }

    void on_ready(int fd, std::uint32_t events) noexcept {
        descriptor_state* state = _table.find(fd, false);
        if (state == nullptr) return;
        std::lock_guard<word_lock> guard(state->lock);
        // The mask is read when the event is taken: a close that came before
        // is in it.
        if ((events & (EPOLLERR | EPOLLHUP | EPOLLRDHUP)) != 0) state->closed_in = true;
        if ((events & (EPOLLIN | EPOLLERR | EPOLLHUP | EPOLLRDHUP)) != 0) {
            state->readable = true;
            run_list(*state, state->inbound, events);
        }
        if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0) {
            state->writable = true;
            run_list(*state, state->outbound, events);
        }
    }

    void run_list(descriptor_state& state, block_list& list, std::uint32_t events) noexcept {
        while (!list.empty() && attempt(state, *list.head, events)) {
            io_block& block = *list.pop_front();
            finish_request(block);
            _finished.push_back(block);
            _waiting.fetch_sub(1, std::memory_order_relaxed);
        }
    }

    int _epoll_fd = -1;
    int _wake_fd = -1;
    descriptor_table _table;
    posted_queue _posted;
    block_list _finished;  // dispatch thread only
    wake_signal _wake;
    std::atomic<std::uint32_t> _dispatch_thread{0};
    bool _just_polled = false;
    bool _external_wait = false;
    std::atomic<std::size_t> _waiting{0};  // requests queued for readiness
    // Connects of this turn not yet issued, by descriptor (dispatch thread only).
    static constexpr int max_deferred = 256;
    int _deferred[max_deferred];
    int _deferred_count = 0;
};

}  // namespace

std::unique_ptr<io_backend> make_epoll_backend(bool external_wait) {
    auto backend = std::make_unique<epoll_backend>(external_wait);
    if (!backend->init()) return nullptr;
    return backend;
}

}  // namespace asynframe::platform::detail
