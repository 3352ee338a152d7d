// The device-facing side of asynchronous I/O: requests on descriptors and
// posted blocks, finished one at a time by the engine's dispatch loop.
//
// Two backends exist. The completion backend (an io_uring ring) hands requests
// to the kernel and reads their completions; the readiness backend (epoll) tries
// each socket request without blocking and otherwise finishes it when its
// descriptor becomes ready. Either way a finished request is handed out by
// reap() or take_posted(), never inside the call that started it.
//
// The dispatch side is driven in fixed phases by the engine's loop: submit()
// what is queued for the kernel, reap() finished requests, take_posted()
// blocks, and wait() only when nothing was ready.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "platform/native.h"

namespace asynframe::platform {

enum class io_kind : std::uint8_t {
    none,
    posted,
    recv,
    send,
    recv_from,
    send_to,
    accept,
    connect,
    read,
    write,
    read_scatter,
    write_gather,
};

// Room each block keeps for its backend's own per-request state, sized for
// each system's backends. Windows: the OVERLAPPED, a WSABUF, flags and the
// accepted socket's address buffer. Linux: the descriptor, the kernel's result
// and a socket address; the message header of a datagram request on the ring
// is kept apart (backend_extra), since stream sockets never need one.
#ifdef _WIN32
inline constexpr std::size_t io_block_backend_size = 192;
inline constexpr std::size_t io_block_backend_alignment = alignof(std::max_align_t);
#else
inline constexpr std::size_t io_block_backend_size = 40;
inline constexpr std::size_t io_block_backend_alignment = alignof(void*);
#endif

// The per-request block every operation embeds. It holds the request while it
// is in flight and its outcome afterwards; nothing is allocated per request.
struct io_block {
    io_block() = default;
    // Blocks are handed to the kernel by address: never copied or moved.
    io_block(const io_block&) = delete;
    io_block& operator=(const io_block&) = delete;
    ~io_block() { ::operator delete(backend_extra); }

    io_block* next = nullptr;  // link in the backend's queues
    // The outcome, once finished: bytes moved and 0, or a Windows/Winsock
    // error code (the backend maps native errors; a datagram cut to the
    // buffer is 10040 with the bytes that fit).
    std::uint32_t bytes = 0;
    std::uint32_t error = 0;
    io_kind kind = io_kind::none;
    std::uint8_t state = 0;  // backend bookkeeping
    int span_count = 0;      // request argument, with `spans` below
    native_handle handle = invalid_handle;

    // Request arguments, kept until the request finishes.
    void* buffer = nullptr;
    std::uint32_t length = 0;
    std::uint32_t done = 0;  // bytes moved so far (readiness backend)
    const buffer_span* spans = nullptr;
    // Receives the source of a datagram or the peer of an accepted connection.
    endpoint* address = nullptr;
    // The connection an accept took.
    native_handle accepted = invalid_handle;
    // Storage a backend makes for the block the first time a request needs
    // more than backend_area, kept for the block's later requests and freed
    // with it (::operator new). Null until then.
    void* backend_extra = nullptr;

    alignas(io_block_backend_alignment) unsigned char backend_area[io_block_backend_size];

    // The backend's per-request state, kept in backend_area.
    template <class T>
    T& backend_state() noexcept {
        static_assert(sizeof(T) <= io_block_backend_size && alignof(T) <= io_block_backend_alignment);
        return *reinterpret_cast<T*>(backend_area);
    }

    // Forgets the request and its result (backend_extra stays for the next one).
    void clear_request() noexcept {
        next = nullptr;
        bytes = 0;
        error = 0;
        kind = io_kind::none;
        state = 0;
        handle = invalid_handle;
        buffer = nullptr;
        length = 0;
        done = 0;
        spans = nullptr;
        span_count = 0;
        address = nullptr;
        accepted = invalid_handle;
    }
};

inline constexpr std::uint32_t wait_forever = 0xFFFFFFFFu;

class io_backend {
public:
    virtual ~io_backend() = default;

    // The ring, unless `readiness_only` is set, ASYNFRAME_NO_IO_URING=1 is in the
    // environment, or the ring cannot be created; the readiness loop otherwise.
    // `external_wait`: the dispatch thread will sleep on descriptor() rather
    // than in wait(). Null only when neither can be created.
    static std::unique_ptr<io_backend> create(bool readiness_only, bool external_wait = false);

    // True for the completion backend (the engine's "port" modes).
    virtual bool is_completion_port() const noexcept = 0;
    // True when start_accept works here. A backend that cannot finish accepts
    // itself (an alertable loop on Windows) leaves them to the acceptor thread.
    virtual bool completes_accepts() const noexcept { return true; }
    // True when start_connect works here. A backend that cannot finish
    // connects itself (the alertable loop on Windows) leaves them to the
    // connection scheduler's wait service.
    virtual bool completes_connects() const noexcept { return true; }

    // Makes a descriptor usable for requests, before the first one. Returns 0
    // or a Windows error code. A descriptor about to be closed is forgotten
    // first (below), so that a later one with the same number starts afresh.
    virtual std::uint32_t associate(native_handle handle) noexcept = 0;

    // Requests. Each returns 0 when the request is under way (its block will be
    // handed out exactly once) or a Windows error code when it was
    // refused (nothing will be handed out). The block and every buffer, address
    // and span array it names must stay valid until the block is handed out.
    // Stream sends finish whole or with an error.
    virtual std::uint32_t start_recv(native_handle handle, void* buffer, std::uint32_t length,
                                     io_block& block) noexcept = 0;
    virtual std::uint32_t start_send(native_handle handle, const void* buffer, std::uint32_t length,
                                     io_block& block) noexcept = 0;
    // `source` (may be null) receives the sender.
    virtual std::uint32_t start_recv_from(native_handle handle, void* buffer, std::uint32_t length, endpoint* source,
                                          io_block& block) noexcept = 0;
    virtual std::uint32_t start_send_to(native_handle handle, const void* buffer, std::uint32_t length,
                                        const endpoint& target, io_block& block) noexcept = 0;
    // The connection goes to block.accepted; `peer` (may be null) receives its address.
    virtual std::uint32_t start_accept(native_handle handle, endpoint* peer, io_block& block) noexcept = 0;
    // `handle` must be a non-blocking socket.
    virtual std::uint32_t start_connect(native_handle handle, const endpoint& target, io_block& block) noexcept = 0;
    // Positional file requests at `position`.
    virtual std::uint32_t start_read(native_handle handle, void* buffer, std::uint32_t length, std::uint64_t position,
                                     io_block& block) noexcept = 0;
    virtual std::uint32_t start_write(native_handle handle, const void* buffer, std::uint32_t length,
                                      std::uint64_t position, io_block& block) noexcept = 0;
    virtual std::uint32_t start_read_scatter(native_handle handle, const buffer_span* spans, int count,
                                             std::uint64_t position, io_block& block) noexcept = 0;
    virtual std::uint32_t start_write_gather(native_handle handle, const buffer_span* spans, int count,
                                             std::uint64_t position, io_block& block) noexcept = 0;

    // Cancels every request on the handle; each finishes with 995.
    virtual void cancel(native_handle handle) noexcept = 0;
    // Drops what the backend keeps for a handle about to be closed; call
    // after cancel() and after the cancelled blocks were handed out.
    virtual void forget(native_handle handle) noexcept = 0;

    // Queues a block to be handed out as it is (its result already set). Any
    // thread. False when the backend cannot take it.
    virtual bool post(io_block& block) noexcept = 0;

    // Wakes a wait() in progress, or makes the next one return at once. Any thread.
    virtual void wake() noexcept = 0;

    // Dispatch side, one thread at a time.
    // Hands what is queued for the kernel to it.
    virtual void submit() noexcept = 0;
    // Up to `capacity` finished requests, without waiting; answers how many.
    virtual std::size_t reap(io_block** finished, std::size_t capacity) noexcept = 0;
    // Every posted block so far, oldest first, linked through `next`.
    virtual io_block* take_posted() noexcept = 0;
    // True when take_posted() would hand something out. Dispatch side.
    virtual bool has_posted() const noexcept = 0;
    // Submits what is queued, then sleeps until a request may have finished, a
    // block was posted, wake() was called or `timeout_ms` passed.
    virtual void wait(std::uint32_t timeout_ms) noexcept = 0;
    // For a dispatch thread that sleeps elsewhere (UI-thread mode): submits what
    // is queued and arms the wake-up. False when work is already waiting (run
    // again instead of sleeping). Until the next reap() or take_posted(),
    // descriptor() becomes readable on any new work.
    virtual bool prepare_external_wait() noexcept = 0;
    // A waitable for the UI thread's wait; ready while prepare_external_wait()
    // was followed by new work. invalid_handle when the backend has none.
    virtual native_handle descriptor() const noexcept = 0;
    // Times completions found no room in the kernel's queue and were moved in late.
    virtual std::uint64_t overflow_count() const noexcept { return 0; }

    // Teardown, after the dispatch loop ended: cancels whatever is still in
    // flight, waits for it, and hands every block still held (finished or
    // posted, not yet handed out) to `sink`. Nothing touches a block afterwards.
    virtual void drain(void (*sink)(void* context, io_block& block), void* context) noexcept = 0;
};

}  // namespace asynframe::platform
