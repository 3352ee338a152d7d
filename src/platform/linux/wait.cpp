#include "platform/wait.h"

#include <poll.h>

#include <cerrno>

#include "platform/linux/poll_util.h"

namespace asynframe::platform {

namespace {

short events_for(waitable::kind_t kind) noexcept {
    switch (kind) {
        case waitable::event_kind:
        case waitable::socket_readable: return POLLIN;
        case waitable::socket_writable: return POLLOUT;
        case waitable::socket_any: return POLLIN | POLLOUT;
    }
    return POLLIN;
}

}  // namespace

int wait_any(const waitable* items, std::size_t count, std::uint32_t timeout_ms) noexcept {
    if (items == nullptr || count == 0 || count > maximum_wait_items) return wait_failed;
    for (std::size_t i = 0; i < count; ++i)
        if (items[i].handle < 0 || (items[i].kind == waitable::event_kind && items[i].ev == nullptr))
            return wait_failed;

    // On the stack: the wait threads wait over and over, so a wait never allocates.
    pollfd fds[maximum_wait_items];
    for (std::size_t i = 0; i < count; ++i) fds[i] = pollfd{static_cast<int>(items[i].handle), events_for(items[i].kind), 0};

    detail::deadline limit(timeout_ms);
    for (;;) {
        const int n = ::poll(fds, count, limit.remaining_poll_ms());
        if (n < 0) {
            if (errno == EINTR) continue;
            return wait_failed;
        }
        if (n == 0) {
            if (limit.expired()) return wait_timeout;
            continue;
        }
        for (std::size_t i = 0; i < count; ++i) {
            const short re = fds[i].revents;
            if (re == 0) continue;
            if (re & POLLNVAL) return wait_failed;
            if (items[i].kind == waitable::event_kind) {
                // An auto-reset event taken by another waiter since poll is not ready
                // any more; look further down the list.
                if (!(re & POLLIN) || !items[i].ev->try_acquire()) continue;
            }
            // A socket with an error or hang-up counts as ready, so the owner
            // learns the outcome (e.g. a refused connect) instead of waiting forever.
            return static_cast<int>(i);
        }
        if (limit.expired()) return wait_timeout;
    }
}

}  // namespace asynframe::platform
