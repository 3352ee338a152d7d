// The readiness backend: socket requests are tried without blocking and
// otherwise finished when epoll reports their descriptor ready; positional file
// requests run at once. Finished blocks are handed out by next() only, never
// inside the call that started them.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <mutex>
#include <unordered_map>

#include "platform/errors.h"
#include "platform/linux/io_backend_common.h"

namespace asynframe::platform::detail {
namespace {

constexpr std::uint8_t connect_in_progress = 1;

bool is_inbound(io_kind kind) noexcept {
    return kind == io_kind::recv || kind == io_kind::recv_from || kind == io_kind::accept;
}

class epoll_backend final : public io_backend {
public:
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

    std::uint32_t associate(int fd) noexcept override {
        if (fd < 0 || ::fcntl(fd, F_GETFD) == -1) return file_error_from_errno(EBADF);
        return 0;
    }

    std::uint32_t start_recv(int fd, void* buffer, std::uint32_t length, io_block& block) noexcept override {
        prepare(block, io_kind::recv, fd);
        block.buffer = buffer;
        block.length = length;
        return queue_or_finish(block);
    }

    std::uint32_t start_send(int fd, const void* buffer, std::uint32_t length, io_block& block) noexcept override {
        prepare(block, io_kind::send, fd);
        block.buffer = const_cast<void*>(buffer);
        block.length = length;
        return queue_or_finish(block);
    }

    std::uint32_t start_recv_from(int fd, void* buffer, std::uint32_t length, ::sockaddr* address,
                                  ::socklen_t address_capacity, io_block& block) noexcept override {
        prepare(block, io_kind::recv_from, fd);
        block.buffer = buffer;
        block.length = length;
        block.address = address;
        block.address_length = address_capacity;
        block.message.msg_namelen = address_capacity;  // the capacity, kept across retries
        return queue_or_finish(block);
    }

    std::uint32_t start_send_to(int fd, const void* buffer, std::uint32_t length, const ::sockaddr* address,
                                ::socklen_t address_length, io_block& block) noexcept override {
        prepare(block, io_kind::send_to, fd);
        block.buffer = const_cast<void*>(buffer);
        block.length = length;
        block.address = const_cast<::sockaddr*>(address);
        block.address_length = address_length;
        return queue_or_finish(block);
    }

    std::uint32_t start_accept(int fd, ::sockaddr* address, ::socklen_t address_capacity,
                               io_block& block) noexcept override {
        prepare(block, io_kind::accept, fd);
        block.address = address;
        block.address_length = address_capacity;
        block.message.msg_namelen = address_capacity;
        return queue_or_finish(block);
    }

    std::uint32_t start_connect(int fd, const ::sockaddr* address, ::socklen_t address_length,
                                io_block& block) noexcept override {
        prepare(block, io_kind::connect, fd);
        block.address = const_cast<::sockaddr*>(address);
        block.address_length = address_length;
        std::lock_guard<std::mutex> guard(_lock);
        if (::connect(fd, address, address_length) == 0) {
            block.result = 0;
            post(block);
            return 0;
        }
        const int error = errno;
        if (error != EINPROGRESS && error != EAGAIN && error != EINTR) {
            // Reported through the completion, as the ring does.
            block.result = -error;
            post(block);
            return 0;
        }
        block.state = connect_in_progress;
        return enqueue_locked(block);
    }

    std::uint32_t start_read(int fd, void* buffer, std::uint32_t length, std::uint64_t position,
                             io_block& block) noexcept override {
        prepare(block, io_kind::read, fd);
        const ssize_t n = ::pread(fd, buffer, length, static_cast<off_t>(position));
        return finish_now(block, n);
    }

    std::uint32_t start_write(int fd, const void* buffer, std::uint32_t length, std::uint64_t position,
                              io_block& block) noexcept override {
        prepare(block, io_kind::write, fd);
        const ssize_t n = ::pwrite(fd, buffer, length, static_cast<off_t>(position));
        return finish_now(block, n);
    }

    std::uint32_t start_read_scatter(int fd, const ::iovec* iov, int count, std::uint64_t position,
                                     io_block& block) noexcept override {
        prepare(block, io_kind::read_scatter, fd);
        const ssize_t n = ::preadv(fd, iov, count, static_cast<off_t>(position));
        return finish_now(block, n);
    }

    std::uint32_t start_write_gather(int fd, const ::iovec* iov, int count, std::uint64_t position,
                                     io_block& block) noexcept override {
        prepare(block, io_kind::write_gather, fd);
        const ssize_t n = ::pwritev(fd, iov, count, static_cast<off_t>(position));
        return finish_now(block, n);
    }

    void cancel(int fd) noexcept override {
        std::lock_guard<std::mutex> guard(_lock);
        const auto found = _descriptors.find(fd);
        if (found == _descriptors.end()) return;
        cancel_list(found->second.inbound);
        cancel_list(found->second.outbound);
    }

    void forget(int fd) noexcept override {
        std::lock_guard<std::mutex> guard(_lock);
        const auto found = _descriptors.find(fd);
        if (found == _descriptors.end()) return;
        cancel_list(found->second.inbound);
        cancel_list(found->second.outbound);
        ::epoll_ctl(_epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
        _descriptors.erase(found);
    }

    bool post(io_block& block) noexcept override {
        post_and_wake(_posted, _wake, block);
        return true;
    }

    void wake() noexcept override { _wake.notify(true); }

    void submit() noexcept override {}

    std::size_t reap(io_block** finished, std::size_t capacity) noexcept override {
        _wake.end_sleep();
        // A wait that just gathered readiness leaves nothing new to look for,
        // and with no request waiting for readiness there is nothing to see.
        // A thread that sleeps on descriptor() must have every event taken, or
        // the descriptor stays readable.
        if (!_just_polled && _finished.empty() && (_external_wait || _waiting.load(std::memory_order_relaxed) != 0))
            poll_events(0);
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

    void wait(std::uint32_t timeout_ms) noexcept override {
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
        _external_wait = true;
        _wake.begin_sleep();
        if (!_posted.empty() || !_finished.empty()) {
            _wake.end_sleep();
            return false;
        }
        return true;
    }

    int descriptor() const noexcept override { return _epoll_fd; }

    void drain(void (*sink)(void*, io_block&), void* context) noexcept override {
        {
            std::lock_guard<std::mutex> guard(_lock);
            for (auto& [fd, state] : _descriptors) {
                cancel_list(state.inbound);
                cancel_list(state.outbound);
            }
            _descriptors.clear();
        }
        _finished.append_chain(_posted.take_all());
        while (io_block* block = _finished.pop_front()) sink(context, *block);
    }

private:
    static constexpr int max_events = 64;

    // Hands readiness to the waiting requests; answers epoll's count.
    int poll_events(int timeout) noexcept {
        epoll_event events[max_events];
        int count;
        do {
            count = ::epoll_wait(_epoll_fd, events, max_events, timeout);
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

    struct descriptor_state {
        block_list inbound;
        block_list outbound;
    };

    static void prepare(io_block& block, io_kind kind, int fd) noexcept {
        block.next = nullptr;
        block.kind = kind;
        block.fd = fd;
        block.result = 0;
        block.done = 0;
        block.state = 0;
    }

    std::uint32_t finish_now(io_block& block, ssize_t n) noexcept {
        block.result = n < 0 ? -errno : static_cast<std::int32_t>(n);
        post(block);
        return 0;
    }

    void cancel_list(block_list& list) noexcept {
        while (io_block* block = list.pop_front()) {
            _waiting.fetch_sub(1, std::memory_order_relaxed);
            block->result = -ECANCELED;
            post(*block);
        }
    }

    std::uint32_t queue_or_finish(io_block& block) noexcept {
        std::lock_guard<std::mutex> guard(_lock);
        descriptor_state* state = find_locked(block.fd);
        block_list* list = state == nullptr ? nullptr : (is_inbound(block.kind) ? &state->inbound : &state->outbound);
        if (list == nullptr || list->empty()) {
            if (attempt(block, 0)) {
                post(block);
                return 0;
            }
        }
        return enqueue_locked(block);
    }

    descriptor_state* find_locked(int fd) noexcept {
        const auto found = _descriptors.find(fd);
        return found == _descriptors.end() ? nullptr : &found->second;
    }

    // Queues a request that must wait and (re)arms the descriptor, which also
    // reports readiness that is already there.
    std::uint32_t enqueue_locked(io_block& block) noexcept {
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        event.data.fd = block.fd;
        if (::epoll_ctl(_epoll_fd, EPOLL_CTL_MOD, block.fd, &event) != 0) {
            if (errno != ENOENT || ::epoll_ctl(_epoll_fd, EPOLL_CTL_ADD, block.fd, &event) != 0) {
                const int error = errno;
                return is_inbound(block.kind) || block.kind == io_kind::send || block.kind == io_kind::send_to ||
                               block.kind == io_kind::connect
                           ? socket_error_from_errno(error)
                           : file_error_from_errno(error);
            }
        }
        descriptor_state* state;
        try {
            state = &_descriptors[block.fd];
        } catch (...) {
            return socket_error_from_errno(ENOBUFS);
        }
        (is_inbound(block.kind) ? state->inbound : state->outbound).push_back(block);
        _waiting.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }

    // One non-blocking try; true when the request is finished (result set).
    static bool attempt(io_block& block, std::uint32_t events) noexcept {
        for (;;) {
            ssize_t n = 0;
            switch (block.kind) {
                case io_kind::recv:
                    n = ::recv(block.fd, block.buffer, block.length, MSG_DONTWAIT);
                    break;
                case io_kind::recv_from: {
                    ::socklen_t length = block.message.msg_namelen;
                    // MSG_TRUNC: the datagram's real length, so truncation is seen.
                    n = ::recvfrom(block.fd, block.buffer, block.length, MSG_DONTWAIT | MSG_TRUNC, block.address,
                                   block.address != nullptr ? &length : nullptr);
                    if (n >= 0) block.address_length = block.address != nullptr ? length : 0;
                    break;
                }
                case io_kind::accept: {
                    // accept has no per-call "don't wait": the listener itself must not block.
                    const int flags = ::fcntl(block.fd, F_GETFL);
                    if (flags != -1 && (flags & O_NONBLOCK) == 0) ::fcntl(block.fd, F_SETFL, flags | O_NONBLOCK);
                    ::socklen_t length = block.message.msg_namelen;
                    n = ::accept4(block.fd, block.address, block.address != nullptr ? &length : nullptr,
                                  SOCK_CLOEXEC);
                    if (n >= 0) block.address_length = block.address != nullptr ? length : 0;
                    break;
                }
                case io_kind::send_to:
                    n = ::sendto(block.fd, block.buffer, block.length, MSG_DONTWAIT | MSG_NOSIGNAL, block.address,
                                 block.address_length);
                    break;
                case io_kind::send: {
                    if (block.done == block.length && block.length != 0) {
                        block.result = static_cast<std::int32_t>(block.done);
                        return true;
                    }
                    n = ::send(block.fd, static_cast<const std::uint8_t*>(block.buffer) + block.done,
                               block.length - block.done, MSG_DONTWAIT | MSG_NOSIGNAL);
                    if (n > 0 || (n == 0 && block.length == 0)) {
                        block.done += static_cast<std::uint32_t>(n);
                        if (block.done < block.length) continue;  // a stream send finishes whole
                        block.result = static_cast<std::int32_t>(block.done);
                        return true;
                    }
                    break;
                }
                case io_kind::connect: {
                    if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) return false;
                    int error = 0;
                    ::socklen_t length = sizeof error;
                    if (::getsockopt(block.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
                    block.result = -error;
                    return true;
                }
                default:
                    block.result = -EINVAL;
                    return true;
            }
            if (n >= 0) {
                block.result = static_cast<std::int32_t>(n);
                return true;
            }
            const int error = errno;
            if (error == EINTR) continue;
            if (error == EAGAIN || error == EWOULDBLOCK) return false;
            block.result = -error;
            return true;
        }
    }

    void on_ready(int fd, std::uint32_t events) noexcept {
        std::lock_guard<std::mutex> guard(_lock);
        descriptor_state* state = find_locked(fd);
        if (state == nullptr) return;
        if ((events & (EPOLLIN | EPOLLERR | EPOLLHUP | EPOLLRDHUP)) != 0) run_list(state->inbound, events);
        if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0) run_list(state->outbound, events);
    }

    void run_list(block_list& list, std::uint32_t events) noexcept {
        while (!list.empty() && attempt(*list.head, events)) {
            _finished.push_back(*list.pop_front());
            _waiting.fetch_sub(1, std::memory_order_relaxed);
        }
    }

    int _epoll_fd = -1;
    int _wake_fd = -1;
    std::mutex _lock;
    std::unordered_map<int, descriptor_state> _descriptors;
    posted_queue _posted;
    block_list _finished;  // dispatch thread only
    wake_signal _wake;
    bool _just_polled = false;
    bool _external_wait = false;
    std::atomic<std::size_t> _waiting{0};  // requests queued for readiness
};

}  // namespace

std::unique_ptr<io_backend> make_epoll_backend() {
    auto backend = std::make_unique<epoll_backend>();
    if (!backend->init()) return nullptr;
    return backend;
}

}  // namespace asynframe::platform::detail
