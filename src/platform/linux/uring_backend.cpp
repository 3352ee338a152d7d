// The completion backend: an io_uring ring. Requests become submissions whose
// user data is the block; posts go to a lock-free queue and wake the ring
// through an eventfd that the ring itself polls.
#include <fcntl.h>
#include <liburing.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <type_traits>

#include "platform/errors.h"
#include "platform/linux/io_backend_common.h"
#include "platform/thread.h"

namespace asynframe::platform::detail {
namespace {

// User data of the ring's own requests; blocks are never at these addresses.
constexpr std::uint64_t wake_tag = 1;
constexpr std::uint64_t cancel_tag = 2;

constexpr unsigned ring_entries = 256;
constexpr int spin_rounds = 64;
constexpr unsigned completion_entries = 4096;

// What a datagram request on the ring needs besides the block's own area: the
// kernel reads the header and writes the source's length back into it while
// the request runs. Trivial, so that the block may free it as raw storage.
struct datagram_message {
    ::iovec single;
    ::msghdr header;
};
static_assert(std::is_trivially_destructible_v<datagram_message>);

// Requests in flight per descriptor, so that closing a descriptor with nothing
// in flight costs no cancel submission. Counters come in lazily made chunks;
// descriptors past the table are simply not counted (always cancelled).
class descriptor_counts {
public:
    descriptor_counts() = default;
    descriptor_counts(const descriptor_counts&) = delete;
    descriptor_counts& operator=(const descriptor_counts&) = delete;
    ~descriptor_counts() {
        for (auto& chunk : _chunks) delete[] chunk.load(std::memory_order_relaxed);
    }

    // Under the submission lock (the only place chunks are made).
    void add(int fd) noexcept {
        if (std::atomic<std::uint32_t>* counter = find(fd, true)) counter->fetch_add(1, std::memory_order_relaxed);
    }
    void remove(int fd) noexcept {
        if (std::atomic<std::uint32_t>* counter = find(fd, false)) counter->fetch_sub(1, std::memory_order_release);
    }
    // False only when the descriptor surely has nothing in flight.
    bool maybe_busy(int fd) const noexcept {
        const std::atomic<std::uint32_t>* counter = const_cast<descriptor_counts*>(this)->find(fd, false);
        if (counter == nullptr) return fd < 0 || fd >= limit;
        return counter->load(std::memory_order_acquire) != 0;
    }

private:
    static constexpr int chunk_bits = 10;
    static constexpr int chunk_count = 1024;
    static constexpr int limit = chunk_count << chunk_bits;

    std::atomic<std::uint32_t>* find(int fd, bool make) noexcept {
        if (fd < 0 || fd >= limit) return nullptr;
        std::atomic<std::atomic<std::uint32_t>*>& slot = _chunks[fd >> chunk_bits];
        std::atomic<std::uint32_t>* chunk = slot.load(std::memory_order_acquire);
        if (chunk == nullptr) {
            if (!make) return nullptr;
            chunk = new (std::nothrow) std::atomic<std::uint32_t>[std::size_t{1} << chunk_bits]();
            if (chunk == nullptr) return nullptr;
            slot.store(chunk, std::memory_order_release);
        }
        return &chunk[fd & ((1 << chunk_bits) - 1)];
    }

    std::atomic<std::atomic<std::uint32_t>*> _chunks[chunk_count] = {};
};

class uring_backend final : public io_backend {
public:
    explicit uring_backend(bool external_wait) noexcept : _external_wait(external_wait) {}
    ~uring_backend() override {
        if (_ring_ready) ::io_uring_queue_exit(&_ring);
        if (_wake_fd >= 0) ::close(_wake_fd);
    }

    bool init() noexcept {
        _wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (_wake_fd < 0) return false;
        _wake.set_descriptor(_wake_fd);
        io_uring_params params{};
        // Cooperative task running only works for a thread that sleeps in the
        // ring: one sleeping in poll on the ring's descriptor would never be
        // told that completions wait to be posted.
        params.flags = IORING_SETUP_CQSIZE | (_external_wait ? 0u : IORING_SETUP_COOP_TASKRUN);
        params.cq_entries = completion_entries;
        int error = ::io_uring_queue_init_params(ring_entries, &_ring, &params);
        if (error == -EINVAL) {
            params = io_uring_params{};
            params.flags = IORING_SETUP_CQSIZE;
            params.cq_entries = completion_entries;
            error = ::io_uring_queue_init_params(ring_entries, &_ring, &params);
        }
        if (error < 0) return false;
        _ring_ready = true;
        _ext_arg = (params.features & IORING_FEAT_EXT_ARG) != 0;
        std::lock_guard<word_lock> guard(_sq_lock);
        if (!arm_wake_locked()) return false;
        return ::io_uring_submit(&_ring) >= 0;
    }

    bool is_completion_port() const noexcept override { return true; }

    std::uint32_t associate(native_handle handle) noexcept override {
        const int fd = static_cast<int>(handle);
        if (fd < 0 || ::fcntl(fd, F_GETFD) == -1) return file_error_from_errno(EBADF);
        return 0;
    }

    std::uint32_t start_recv(native_handle handle, void* buffer, std::uint32_t length,
                             io_block& block) noexcept override {
        const int fd = static_cast<int>(handle);
        return start(block, io_kind::recv, fd, [&](io_uring_sqe* sqe) {
            block.buffer = buffer;
            block.length = length;
            ::io_uring_prep_recv(sqe, fd, buffer, length, 0);
        });
    }

    std::uint32_t start_send(native_handle handle, const void* buffer, std::uint32_t length,
                             io_block& block) noexcept override {
        const int fd = static_cast<int>(handle);
        return start(block, io_kind::send, fd, [&](io_uring_sqe* sqe) {
            block.buffer = const_cast<void*>(buffer);
            block.length = length;
            // MSG_WAITALL: a stream send completes whole, never short.
            ::io_uring_prep_send(sqe, fd, buffer, length, MSG_NOSIGNAL | MSG_WAITALL);
        });
    }

    std::uint32_t start_recv_from(native_handle handle, void* buffer, std::uint32_t length, endpoint* source,
                                  io_block& block) noexcept override {
        const int fd = static_cast<int>(handle);
        datagram_message* message = message_of(block);
        if (message == nullptr) return socket_error_from_errno(ENOBUFS);
        return start(block, io_kind::recv_from, fd, [&](io_uring_sqe* sqe) {
            block.address = source;
            fill_message(block, *message, buffer, length, sizeof(socket_address));
            // MSG_TRUNC: the result is the datagram's real length, so a
            // datagram larger than the buffer is reported, not cut silently.
            ::io_uring_prep_recvmsg(sqe, fd, &message->header, MSG_TRUNC);
        });
    }

    std::uint32_t start_send_to(native_handle handle, const void* buffer, std::uint32_t length,
                                const endpoint& target, io_block& block) noexcept override {
        const int fd = static_cast<int>(handle);
        datagram_message* message = message_of(block);
        if (message == nullptr) return socket_error_from_errno(ENOBUFS);
        return start(block, io_kind::send_to, fd, [&](io_uring_sqe* sqe) {
            fill_message(block, *message, const_cast<void*>(buffer), length,
                         to_socket_address(target, request_of(block).name));
            ::io_uring_prep_sendmsg(sqe, fd, &message->header, MSG_NOSIGNAL);
        });
    }

    std::uint32_t start_accept(native_handle handle, endpoint* peer, io_block& block) noexcept override {
        const int fd = static_cast<int>(handle);
        return start(block, io_kind::accept, fd, [&](io_uring_sqe* sqe) {
            linux_request& request = request_of(block);
            block.address = peer;
            request.address_length = sizeof request.name;
            ::io_uring_prep_accept(sqe, fd, &request.name.any, &request.address_length, SOCK_CLOEXEC);
        });
    }

    std::uint32_t start_connect(native_handle handle, const endpoint& target, io_block& block) noexcept override {
        const int fd = static_cast<int>(handle);
        return start(block, io_kind::connect, fd, [&](io_uring_sqe* sqe) {
            linux_request& request = request_of(block);
            request.address_length = to_socket_address(target, request.name);
            ::io_uring_prep_connect(sqe, fd, &request.name.any, request.address_length);
        });
    }

    std::uint32_t start_read(native_handle handle, void* buffer, std::uint32_t length, std::uint64_t position,
                             io_block& block) noexcept override {
        const int fd = static_cast<int>(handle);
        return start(block, io_kind::read, fd, [&](io_uring_sqe* sqe) {
            block.buffer = buffer;
            block.length = length;
            ::io_uring_prep_read(sqe, fd, buffer, length, position);
        });
    }

    std::uint32_t start_write(native_handle handle, const void* buffer, std::uint32_t length,
                              std::uint64_t position, io_block& block) noexcept override {
        const int fd = static_cast<int>(handle);
        return start(block, io_kind::write, fd, [&](io_uring_sqe* sqe) {
            block.buffer = const_cast<void*>(buffer);
            block.length = length;
            ::io_uring_prep_write(sqe, fd, buffer, length, position);
        });
    }

    std::uint32_t start_read_scatter(native_handle handle, const buffer_span* spans, int count,
                                     std::uint64_t position, io_block& block) noexcept override {
        const int fd = static_cast<int>(handle);
        return start(block, io_kind::read_scatter, fd, [&](io_uring_sqe* sqe) {
            block.spans = spans;
            block.span_count = count;
            ::io_uring_prep_readv(sqe, fd, as_iovec(spans), static_cast<unsigned>(count), position);
        });
    }

    std::uint32_t start_write_gather(native_handle handle, const buffer_span* spans, int count,
                                     std::uint64_t position, io_block& block) noexcept override {
        const int fd = static_cast<int>(handle);
        return start(block, io_kind::write_gather, fd, [&](io_uring_sqe* sqe) {
            block.spans = spans;
            block.span_count = count;
            ::io_uring_prep_writev(sqe, fd, as_iovec(spans), static_cast<unsigned>(count), position);
        });
    }

    void cancel(native_handle handle) noexcept override {
        const int fd = static_cast<int>(handle);
        std::lock_guard<word_lock> guard(_sq_lock);
        // Requests start under this lock: with none counted, none can be in the kernel.
        if (!_fd_requests.maybe_busy(fd)) return;
        io_uring_sqe* sqe = get_sqe_marked_locked();
        if (sqe == nullptr) return;
        ::io_uring_prep_cancel_fd(sqe, fd, IORING_ASYNC_CANCEL_ALL);
        ::io_uring_sqe_set_data64(sqe, cancel_tag);
        // Submitted at once, behind every request prepared for the descriptor before it.
        submit_locked();
    }

    void forget(native_handle) noexcept override {}

    bool post(io_block& block) noexcept override {
        post_and_wake(_posted, _wake, block);
        return true;
    }

    void wake() noexcept override { _wake.notify(true); }

    void submit() noexcept override {
        if (!_unsubmitted.load(std::memory_order_acquire)) return;
        std::lock_guard<word_lock> guard(_sq_lock);
        submit_locked();
    }

    std::size_t reap(io_block** finished, std::size_t capacity) noexcept override {
        _waiter_thread.store(current_thread_id(), std::memory_order_relaxed);
        _wake.end_sleep();
        if (IO_URING_READ_ONCE(*_ring.sq.kflags) & IORING_SQ_CQ_OVERFLOW) {
            // Completions the queue had no room for wait in the kernel's
            // overflow list; entering the ring moves them in, nothing is lost.
            _overflows.fetch_add(1, std::memory_order_relaxed);
            ::io_uring_enter2(static_cast<unsigned>(_ring.ring_fd), 0, 0, IORING_ENTER_GETEVENTS, nullptr, _NSIG / 8);
        }
        std::size_t count = 0;
        while (count < capacity) {
            io_uring_cqe* cqe = nullptr;
            if (::io_uring_peek_cqe(&_ring, &cqe) != 0 || cqe == nullptr) break;
            io_block* block = nullptr;
            if (take_completion(cqe, block)) finished[count++] = block;
        }
        return count;
    }

    io_block* take_posted() noexcept override { return _posted.take_all(); }

    bool has_posted() const noexcept override { return !_posted.empty(); }

    void wait(std::uint32_t timeout_ms) noexcept override {
        _waiter_thread.store(current_thread_id(), std::memory_order_relaxed);
        if (::io_uring_cq_ready(&_ring) != 0 || !_posted.empty()) {
            submit();
            return;
        }
        const int left = timeout_ms == wait_forever ? -1 : static_cast<int>(std::min<std::uint32_t>(timeout_ms, INT_MAX));
        // Entries this thread prepared go in with the same call that waits.
        unsigned to_submit = 0;
        if (_unsubmitted.load(std::memory_order_acquire)) {
            std::lock_guard<word_lock> guard(_sq_lock);
            to_submit = flush_locked();
        } else if (left != 0 && spin_for_work()) {
            // Producers on other threads usually post again within
            // microseconds: a short look before sleeping saves them the
            // wake-up write.
            return;
        }
        _wake.begin_sleep();
        if (!_posted.empty() || left == 0) {
            _wake.end_sleep();
            if (to_submit != 0) enter(to_submit, 0, -1);
            return;
        }
        if (_ext_arg) {
            enter(to_submit, 1, left);
        } else {
            if (to_submit != 0) enter(to_submit, 0, -1);
            wait_plain(left);
        }
        _wake.end_sleep();
        // -EINTR (a signal), -ETIME and early wake-ups all end the wait: the
        // engine's loop looks again and computes the next time-out itself.
    }

    bool prepare_external_wait() noexcept override {
        submit();
        _wake.begin_sleep();
        if (!_posted.empty() || ::io_uring_cq_ready(&_ring) != 0) {
            _wake.end_sleep();
            return false;
        }
        return true;
    }

    native_handle descriptor() const noexcept override { return _ring.ring_fd; }

    std::uint64_t overflow_count() const noexcept override { return _overflows.load(std::memory_order_relaxed); }

    void drain(void (*sink)(void*, io_block&), void* context) noexcept override {
        {
            std::lock_guard<word_lock> guard(_sq_lock);
            _closing = true;
            if (io_uring_sqe* sqe = get_sqe_marked_locked()) {
                ::io_uring_prep_cancel64(sqe, 0, IORING_ASYNC_CANCEL_ANY);
                ::io_uring_sqe_set_data64(sqe, cancel_tag);
            }
            submit_locked();
        }
        // Every request still in the kernel must finish before its memory goes.
        const std::int64_t give_up = monotonic_now_ms() + 10000;
        io_block* finished = nullptr;
        while (_inflight.load(std::memory_order_acquire) > 0 && monotonic_now_ms() < give_up) {
            io_uring_cqe* cqe = nullptr;
            __kernel_timespec ts{};
            ts.tv_nsec = 100 * 1000000;
            if (::io_uring_wait_cqe_timeout(&_ring, &cqe, &ts) == 0 && cqe != nullptr &&
                take_completion(cqe, finished))
                _local.push_back(*finished);
        }
        io_uring_cqe* cqe = nullptr;
        while (::io_uring_peek_cqe(&_ring, &cqe) == 0 && cqe != nullptr)
            if (take_completion(cqe, finished)) _local.push_back(*finished);
        _local.append_chain(_posted.take_all());
        while (io_block* block = _local.pop_front()) sink(context, *block);
    }

private:
    // Publishes the entries prepared so far to the kernel without entering it;
    // answers how many wait for submission. Under the submission lock.
    unsigned flush_locked() noexcept {
        io_uring_sq& sq = _ring.sq;
        if (sq.sqe_head != sq.sqe_tail) {
            sq.sqe_head = sq.sqe_tail;
            io_uring_smp_store_release(sq.ktail, sq.sqe_tail);
        }
        // Whoever enters next submits them: this thread, right after the lock.
        _unsubmitted.store(false, std::memory_order_release);
        return ::io_uring_sq_ready(&_ring);
    }

    // One call into the kernel: submits `to_submit` published entries and,
    // with `wait_for` 1, sleeps until a completion or `timeout_ms` (-1: none).
    // Another thread may have submitted the entries meanwhile; the kernel then
    // takes what is left, which is nothing.
    int enter(unsigned to_submit, unsigned wait_for, int timeout_ms) noexcept {
        const int result = enter_once(to_submit, wait_for, timeout_ms);
        if (result < 0 && to_submit != 0) {
            // A call that failed may have left entries behind: the next look submits them.
            std::lock_guard<word_lock> guard(_sq_lock);
            if (::io_uring_sq_ready(&_ring) != 0) _unsubmitted.store(true, std::memory_order_release);
        }
        return result;
    }

    int enter_once(unsigned to_submit, unsigned wait_for, int timeout_ms) noexcept {
        unsigned flags = wait_for != 0 ? IORING_ENTER_GETEVENTS : 0;
        io_uring_getevents_arg arg{};
        __kernel_timespec ts{};
        if (wait_for != 0 && timeout_ms >= 0) {
            ts.tv_sec = timeout_ms / 1000;
            ts.tv_nsec = static_cast<long long>(timeout_ms % 1000) * 1000000;
            arg.ts = reinterpret_cast<std::uint64_t>(&ts);
            flags |= IORING_ENTER_EXT_ARG;
            return ::io_uring_enter2(static_cast<unsigned>(_ring.ring_fd), to_submit, wait_for, flags,
                                     reinterpret_cast<sigset_t*>(&arg), sizeof arg);
        }
        return ::io_uring_enter2(static_cast<unsigned>(_ring.ring_fd), to_submit, wait_for, flags, nullptr,
                                 _NSIG / 8);
    }

    // The wait of a ring without timed waits in the enter call.
    void wait_plain(int left) noexcept {
        io_uring_cqe* cqe = nullptr;
        if (left < 0) {
            ::io_uring_wait_cqe(&_ring, &cqe);
        } else {
            __kernel_timespec ts{};
            ts.tv_sec = left / 1000;
            ts.tv_nsec = static_cast<long long>(left % 1000) * 1000000;
            ::io_uring_wait_cqe_timeout(&_ring, &cqe, &ts);
        }
    }

    bool spin_for_work() noexcept {
        for (int i = 0; i < spin_rounds; ++i) {
            if (!_posted.empty() || ::io_uring_cq_ready(&_ring) != 0) return true;
            spin_pause();
        }
        return false;
    }

    // The block's message header, made the first time the block carries a
    // datagram and kept for its later ones; null when it cannot be made.
    static datagram_message* message_of(io_block& block) noexcept {
        if (block.backend_extra == nullptr) {
            void* room = ::operator new(sizeof(datagram_message), std::nothrow);
            if (room == nullptr) return nullptr;
            block.backend_extra = new (room) datagram_message{};
        }
        return static_cast<datagram_message*>(block.backend_extra);
    }

    // One buffer and the request's own address (`address_length` of it in use).
    static void fill_message(io_block& block, datagram_message& message, void* buffer, std::uint32_t length,
                             ::socklen_t address_length) noexcept {
        linux_request& request = request_of(block);
        block.buffer = buffer;
        block.length = length;
        request.address_length = address_length;
        message.single.iov_base = buffer;
        message.single.iov_len = length;
        message.header = {};
        message.header.msg_name = &request.name;
        message.header.msg_namelen = address_length;
        message.header.msg_iov = &message.single;
        message.header.msg_iovlen = 1;
    }

    template <typename Prepare>
    std::uint32_t start(io_block& block, io_kind kind, int fd, Prepare prepare) noexcept {
        block.next = nullptr;
        block.kind = kind;
        block.handle = fd;
        block.done = 0;
        linux_request& request = request_of(block);
        request.fd = fd;
        request.result = 0;
        std::lock_guard<word_lock> guard(_sq_lock);
        io_uring_sqe* sqe = get_sqe_marked_locked();
        if (sqe == nullptr)
            return is_file_kind(kind) ? file_error_from_errno(ENOMEM) : socket_error_from_errno(ENOBUFS);
        prepare(sqe);
        ::io_uring_sqe_set_data(sqe, &block);
        _inflight.fetch_add(1, std::memory_order_relaxed);
        _fd_requests.add(fd);
        // The dispatch thread batches its submissions until it waits; any other
        // thread submits at once, since the waiter may already be asleep.
        if (_waiter_thread.load(std::memory_order_relaxed) != current_thread_id()) submit_locked();
        return 0;
    }

    // A full submission queue is flushed and retried, never dropped.
    io_uring_sqe* get_sqe_locked() noexcept {
        for (int attempt = 0; attempt < 1000; ++attempt) {
            if (io_uring_sqe* sqe = ::io_uring_get_sqe(&_ring)) return sqe;
            const int error = submit_locked();
            if (error < 0 && error != -EINTR && error != -EAGAIN && error != -EBUSY) return nullptr;
            if (error <= 0) std::this_thread::yield();
        }
        return nullptr;
    }

    int submit_locked() noexcept {
        int result;
        do {
            result = ::io_uring_submit(&_ring);
        } while (result == -EINTR);
        _unsubmitted.store(::io_uring_sq_ready(&_ring) != 0, std::memory_order_release);
        return result;
    }

    // Every prepared entry, under the lock, marks the queue as holding work.
    io_uring_sqe* get_sqe_marked_locked() noexcept {
        io_uring_sqe* sqe = get_sqe_locked();
        if (sqe != nullptr) _unsubmitted.store(true, std::memory_order_release);
        return sqe;
    }

    bool arm_wake_locked() noexcept {
        io_uring_sqe* sqe = get_sqe_marked_locked();
        if (sqe == nullptr) return false;
        ::io_uring_prep_poll_multishot(sqe, _wake_fd, POLLIN);
        ::io_uring_sqe_set_data64(sqe, wake_tag);
        return true;
    }

    // True when the completion belongs to a block (stored in `finished`).
    bool take_completion(io_uring_cqe* cqe, io_block*& finished) noexcept {
        const std::uint64_t data = ::io_uring_cqe_get_data64(cqe);
        const std::int32_t result = cqe->res;
        const unsigned flags = cqe->flags;
        ::io_uring_cqe_seen(&_ring, cqe);
        if (data == wake_tag) {
            _wake.drain_descriptor();
            if ((flags & IORING_CQE_F_MORE) == 0 && !_closing) {
                std::lock_guard<word_lock> guard(_sq_lock);
                arm_wake_locked();
            }
            return false;
        }
        if (data == cancel_tag || data == 0) return false;
        io_block* block = reinterpret_cast<io_block*>(static_cast<std::uintptr_t>(data));
        linux_request& request = request_of(*block);
        request.result = result;
        if (block->kind == io_kind::recv_from)
            request.address_length = static_cast<datagram_message*>(block->backend_extra)->header.msg_namelen;
        finish_request(*block);
        _fd_requests.remove(request.fd);
        _inflight.fetch_sub(1, std::memory_order_release);
        finished = block;
        return true;
    }

    io_uring _ring{};
    bool _ring_ready = false;
    bool _ext_arg = false;
    int _wake_fd = -1;
    word_lock _sq_lock;
    posted_queue _posted;
    block_list _local;
    wake_signal _wake;
    std::atomic<std::uint32_t> _waiter_thread{0};
    std::atomic<std::uint64_t> _overflows{0};
    std::atomic<std::size_t> _inflight{0};
    std::atomic<bool> _unsubmitted{false};
    descriptor_counts _fd_requests;
    bool _closing = false;
    bool _external_wait = false;
};

}  // namespace

std::unique_ptr<io_backend> make_uring_backend(bool external_wait) {
    auto backend = std::make_unique<uring_backend>(external_wait);
    if (!backend->init()) return nullptr;
    return backend;
}

}  // namespace asynframe::platform::detail
