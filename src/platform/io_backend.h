// The device-facing side of asynchronous I/O: requests on descriptors and
// posted blocks, finished one at a time by the engine's dispatch loop.
//
// Two backends exist. The completion backend (an io_uring ring) hands requests
// to the kernel and reads their completions; the readiness backend (epoll) tries
// each socket request without blocking and otherwise finishes it when its
// descriptor becomes ready. Either way a finished request is handed out by
// next(), never inside the call that started it.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstdint>
#include <memory>

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

// The per-request block every operation embeds. It holds the request while it
// is in flight and its outcome afterwards; nothing is allocated per request.
struct io_block {
    io_block* next = nullptr;    // link in the backend's queues
    std::uint64_t position = 0;  // file position of positional requests
    std::int32_t result = 0;     // bytes (>= 0) or -errno, once finished
    io_kind kind = io_kind::none;
    std::uint8_t state = 0;      // backend bookkeeping
    int fd = -1;

    // Request arguments, kept until the request finishes.
    void* buffer = nullptr;
    std::uint32_t length = 0;
    std::uint32_t done = 0;  // bytes moved so far (readiness backend)
    const ::iovec* iov = nullptr;
    int iov_count = 0;
    ::sockaddr* address = nullptr;  // source/target of datagrams, peer of accept, target of connect
    ::socklen_t address_length = 0;
    ::iovec single{};
    ::msghdr message{};

    // Forgets the request and its result; the position is kept.
    void clear_request() noexcept {
        next = nullptr;
        result = 0;
        kind = io_kind::none;
        state = 0;
        fd = -1;
        buffer = nullptr;
        length = 0;
        done = 0;
        iov = nullptr;
        iov_count = 0;
        address = nullptr;
        address_length = 0;
        single = {};
        message = {};
    }
};

inline constexpr std::uint32_t wait_forever = 0xFFFFFFFFu;

class io_backend {
public:
    enum class wait_result { finished, timeout, stopped };

    virtual ~io_backend() = default;

    // The ring, unless `readiness_only` is set, ASYNFRAME_NO_IO_URING=1 is in the
    // environment, or the ring cannot be created; the readiness loop otherwise.
    // Null only when neither can be created.
    static std::unique_ptr<io_backend> create(bool readiness_only);

    // True for the completion backend (the engine's "port" modes).
    virtual bool is_completion_port() const noexcept = 0;

    // Makes a descriptor usable for requests. Returns 0 or a Windows error code.
    virtual std::uint32_t associate(int fd) noexcept = 0;

    // Requests. Each returns 0 when the request is under way (its block will be
    // handed out by next() exactly once) or a Windows error code when it was
    // refused (nothing will be handed out). The block and every buffer, address
    // and iovec array it names must stay valid until the block is handed out.
    // Stream sends finish whole or with an error.
    virtual std::uint32_t start_recv(int fd, void* buffer, std::uint32_t length, io_block& block) noexcept = 0;
    virtual std::uint32_t start_send(int fd, const void* buffer, std::uint32_t length, io_block& block) noexcept = 0;
    // `address` receives the source; block.address_length says how much was written.
    virtual std::uint32_t start_recv_from(int fd, void* buffer, std::uint32_t length, ::sockaddr* address,
                                          ::socklen_t address_capacity, io_block& block) noexcept = 0;
    virtual std::uint32_t start_send_to(int fd, const void* buffer, std::uint32_t length,
                                        const ::sockaddr* address, ::socklen_t address_length,
                                        io_block& block) noexcept = 0;
    // The accepted descriptor is the result; `address` receives the peer.
    virtual std::uint32_t start_accept(int fd, ::sockaddr* address, ::socklen_t address_capacity,
                                       io_block& block) noexcept = 0;
    // `fd` must be a non-blocking socket.
    virtual std::uint32_t start_connect(int fd, const ::sockaddr* address, ::socklen_t address_length,
                                        io_block& block) noexcept = 0;
    // Positional file requests at block.position.
    virtual std::uint32_t start_read(int fd, void* buffer, std::uint32_t length, io_block& block) noexcept = 0;
    virtual std::uint32_t start_write(int fd, const void* buffer, std::uint32_t length, io_block& block) noexcept = 0;
    virtual std::uint32_t start_read_scatter(int fd, const ::iovec* iov, int count, io_block& block) noexcept = 0;
    virtual std::uint32_t start_write_gather(int fd, const ::iovec* iov, int count, io_block& block) noexcept = 0;

    // Cancels every request on the descriptor; each finishes with -ECANCELED.
    virtual void cancel(int fd) noexcept = 0;
    // Drops what the backend keeps for a descriptor about to be closed; call
    // after cancel() and after the cancelled blocks were handed out.
    virtual void forget(int fd) noexcept = 0;

    // Queues a block to be handed out as it is (its result already set). Any
    // thread. False when the backend cannot take it.
    virtual bool post(io_block& block) noexcept = 0;

    // Dispatch side, one thread only. Hands out one finished block, waiting at
    // most `timeout_ms`. `stop_fd` (or -1), when readable, ends the wait with
    // `stopped`. Finished blocks are handed out before the stop is reported.
    virtual wait_result next(std::uint32_t timeout_ms, int stop_fd, io_block*& finished) noexcept = 0;

    // Teardown, after the dispatch loop ended: cancels whatever is still in
    // flight, waits for it, and hands every block still held (finished or
    // posted, not yet handed out) to `sink`. Nothing touches a block afterwards.
    virtual void drain(void (*sink)(void* context, io_block& block), void* context) noexcept = 0;
};

}  // namespace asynframe::platform
