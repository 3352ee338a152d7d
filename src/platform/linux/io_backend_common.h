// Pieces both I/O backends share: a lock of one word, the lock-free queue of
// posted blocks, the wake-up of a sleeping loop and the deadline of a wait
// that may restart.
#pragma once

#include <linux/futex.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "platform/error_codes.h"
#include "platform/common/socket_address.h"
#include "platform/errors.h"
#include "platform/fault.h"
#include "platform/io_backend.h"

namespace asynframe::platform::detail {

static_assert(sizeof(buffer_span) == sizeof(::iovec) && offsetof(buffer_span, data) == offsetof(::iovec, iov_base) &&
                  offsetof(buffer_span, length) == offsetof(::iovec, iov_len),
              "spans are handed to the kernel as iovec arrays");

// A lock of one word, for state held a few steps at a time: the readiness
// loop keeps one per descriptor (std::mutex's size would be most of a
// descriptor's state), the ring one for its submission queue (taken for
// every request, where glibc's mutex costs more than the steps it guards).
// 0 free, 1 held, 2 held with waiters that may sleep on the word.
class word_lock {
public:
    void lock() noexcept {
        int seen = 0;
        if (_word.compare_exchange_strong(seen, 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
        if (seen != 2) seen = _word.exchange(2, std::memory_order_acquire);
        while (seen != 0) {
            ::syscall(SYS_futex, word(), FUTEX_WAIT_PRIVATE, 2, nullptr, nullptr, 0);
            seen = _word.exchange(2, std::memory_order_acquire);
        }
    }
    void unlock() noexcept {
        if (_word.exchange(0, std::memory_order_release) == 2)
            ::syscall(SYS_futex, word(), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    }

private:
    int* word() noexcept { return reinterpret_cast<int*>(&_word); }

    std::atomic<int> _word{0};
};
static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free);

inline const ::iovec* as_iovec(const buffer_span* spans) noexcept { return reinterpret_cast<const ::iovec*>(spans); }

// What a request keeps in its block's backend area on Linux: the kernel's
// view of it until the outcome is put into the block's bytes and error.
struct linux_request {
    int fd = -1;
    std::int32_t result = 0;  // bytes (>= 0) or -errno
    ::socklen_t address_length = 0;
    socket_address name{};  // the address of an accept, a connect or a datagram
};
static_assert(sizeof(linux_request) <= io_block_backend_size);

inline linux_request& request_of(io_block& block) noexcept { return block.backend_state<linux_request>(); }

inline bool is_file_kind(io_kind kind) noexcept {
    return kind == io_kind::read || kind == io_kind::write || kind == io_kind::read_scatter ||
           kind == io_kind::write_gather;
}

// Failure injection in the completion path (platform/fault.h): a finished
// request's result is replaced with an error. Only errors that end the request
// are put there (a retry or a short count after the fact would misreport bytes
// that did move); an accepted connection given up is closed, and a stream
// "reset" is made real (a connect to AF_UNSPEC drops the connection with a
// reset to the peer), so that both ends see what they would after a real one.
// Drops a TCP connection at once: the peer gets a reset, later calls here fail.
inline void reset_connection(int fd) noexcept {
    ::sockaddr unspecified{};
    unspecified.sa_family = AF_UNSPEC;
    ::connect(fd, &unspecified, sizeof unspecified);
}

inline void inject_completion_fault(io_block& block, linux_request& request) noexcept {
    if constexpr (fault::enabled) {
        if (request.result < 0) return;
        fault::site where;
        int terminal;
        switch (block.kind) {
            case io_kind::recv: case io_kind::recv_from: where = fault::site::recv; terminal = ECONNRESET; break;
            case io_kind::send: case io_kind::send_to: where = fault::site::send; terminal = ECONNRESET; break;
            case io_kind::accept: where = fault::site::accept; terminal = EMFILE; break;
            case io_kind::connect: where = fault::site::connect; terminal = ECONNREFUSED; break;
            case io_kind::read: case io_kind::read_scatter: where = fault::site::read; terminal = EIO; break;
            case io_kind::write: case io_kind::write_gather: where = fault::site::write; terminal = EIO; break;
            default: return;
        }
        int injected = fault::next(where);
        if (injected == 0) return;
        if (injected == EINTR || injected == EAGAIN || injected == fault::short_transfer) injected = terminal;
        if (block.kind == io_kind::accept) ::close(request.result);
        if ((block.kind == io_kind::recv || block.kind == io_kind::send || block.kind == io_kind::connect) &&
            (injected == ECONNRESET || injected == ECONNREFUSED || injected == ETIMEDOUT))
            reset_connection(request.fd);
        request.result = -injected;
    } else {
        (void)block;
        (void)request;
    }
}

// A request's kernel result, put into the block's outcome in the library's
// code space. A datagram longer than the buffer (MSG_TRUNC gives its real
// length) is cut to the buffer and reported as 10040.
inline void finish_request(io_block& block) noexcept {
    linux_request& request = request_of(block);
    inject_completion_fault(block, request);
    const std::int32_t result = request.result;
    if (result < 0) {
        block.bytes = 0;
        block.error = is_file_kind(block.kind) ? file_error_from_errno(-result) : socket_error_from_errno(-result);
        return;
    }
    block.error = 0;
    block.bytes = static_cast<std::uint32_t>(result);
    switch (block.kind) {
        case io_kind::accept:
            block.accepted = result;
            block.bytes = 0;
            if (block.address != nullptr) *block.address = from_socket_address(request.name, request.address_length);
            break;
        case io_kind::recv_from:
            if (block.address != nullptr) *block.address = from_socket_address(request.name, request.address_length);
            if (block.bytes > block.length) {
                block.bytes = block.length;
                block.error = errors::message_too_long;
            }
            break;
        default:
            break;
    }
}

// Many producers push; the single dispatch thread takes everything at once and
// keeps it in arrival order. Nothing is allocated: blocks link through `next`.
class posted_queue {
public:
    // True when the queue was empty before the push.
    bool push(io_block& block) noexcept {
        io_block* head = _head.load(std::memory_order_relaxed);
        do {
            block.next = head;
        } while (!_head.compare_exchange_weak(head, &block, std::memory_order_seq_cst, std::memory_order_relaxed));
        return head == nullptr;
    }
    bool empty() const noexcept { return _head.load(std::memory_order_seq_cst) == nullptr; }
    // Everything pushed so far, oldest first.
    io_block* take_all() noexcept {
        io_block* list = _head.exchange(nullptr, std::memory_order_acquire);
        io_block* ordered = nullptr;
        while (list != nullptr) {
            io_block* next = list->next;
            list->next = ordered;
            ordered = list;
            list = next;
        }
        return ordered;
    }

private:
    std::atomic<io_block*> _head{nullptr};
};

// The wake-up of a dispatch thread that may sleep: posts and wake() write the
// eventfd at most once per sleep, however many threads post meanwhile.
class wake_signal {
public:
    explicit wake_signal(int fd = -1) noexcept : _fd(fd) {}
    void set_descriptor(int fd) noexcept { _fd = fd; }
    int descriptor() const noexcept { return _fd; }

    // Before the dispatch thread sleeps; after it, look for work once more.
    void begin_sleep() noexcept { _sleeping.store(true, std::memory_order_seq_cst); }
    void end_sleep() noexcept { _sleeping.store(false, std::memory_order_relaxed); }
    // The eventfd was read: the next sleep needs a new write.
    void consumed() noexcept { _sent.store(false, std::memory_order_release); }

    // Writes the eventfd when the dispatch thread sleeps (or always, `force`).
    void notify(bool force = false) noexcept {
        if (!force && !_sleeping.load(std::memory_order_seq_cst)) return;
        if (_sent.exchange(true, std::memory_order_acq_rel)) return;
        const std::uint64_t one = 1;
        while (::write(_fd, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
    // Reads the eventfd (dispatch thread).
    void drain_descriptor() noexcept {
        std::uint64_t count = 0;
        while (::read(_fd, &count, sizeof count) < 0 && errno == EINTR) {
        }
        consumed();
    }

private:
    int _fd;
    std::atomic<bool> _sleeping{false};
    std::atomic<bool> _sent{false};
};

// A posted block: queued, then the sleeping dispatch thread is woken.
inline void post_and_wake(posted_queue& posted, wake_signal& wake, io_block& block) noexcept {
    posted.push(block);
    wake.notify();
}

// A FIFO list of blocks owned by one thread.
struct block_list {
    io_block* head = nullptr;
    io_block* tail = nullptr;

    bool empty() const noexcept { return head == nullptr; }
    void push_back(io_block& block) noexcept {
        block.next = nullptr;
        if (tail != nullptr)
            tail->next = &block;
        else
            head = &block;
        tail = &block;
    }
    // Appends an already linked, null-terminated chain.
    void append_chain(io_block* chain) noexcept {
        while (chain != nullptr) {
            io_block* next = chain->next;
            push_back(*chain);
            chain = next;
        }
    }
    io_block* pop_front() noexcept {
        io_block* block = head;
        if (block != nullptr) {
            head = block->next;
            if (head == nullptr) tail = nullptr;
            block->next = nullptr;
        }
        return block;
    }
};

inline void spin_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

inline std::int64_t monotonic_now_ms() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The end of a wait that may restart. The clock is read only once the caller
// asks how long is left, so a wait that finds work at once costs no clock read.
class wait_deadline {
public:
    explicit wait_deadline(std::uint32_t timeout_ms) noexcept
        : _forever(timeout_ms == wait_forever), _zero(timeout_ms == 0), _timeout(timeout_ms) {}
    bool forever() const noexcept { return _forever; }
    // Milliseconds left; -1 for no limit.
    int remaining() noexcept {
        if (_forever) return -1;
        if (_zero) return 0;
        const std::int64_t now = monotonic_now_ms();
        if (_end == 0) _end = now + _timeout;
        const std::int64_t left = _end - now;
        if (left <= 0) return 0;
        return left > INT_MAX ? INT_MAX : static_cast<int>(left);
    }

private:
    bool _forever;
    bool _zero;
    std::uint32_t _timeout;
    std::int64_t _end = 0;
};

std::unique_ptr<io_backend> make_uring_backend(bool external_wait);
std::unique_ptr<io_backend> make_epoll_backend(bool external_wait);

}  // namespace asynframe::platform::detail
