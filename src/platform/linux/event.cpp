#include "platform/event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <system_error>

#include "platform/fault.h"
#include "platform/linux/poll_util.h"

namespace asynframe::platform {
namespace {
// The descriptor of an event; eventfd gives an int, held as a native_handle.
inline int descriptor_of(native_handle handle) noexcept { return static_cast<int>(handle); }
}  // namespace

event::event(bool manual_reset, bool initially_set) : _fd(-1), _manual_reset(manual_reset) {
    if (const int injected = fault::next(fault::site::event); fault::is_error(injected))
        throw std::system_error(injected, std::generic_category(), "eventfd");
    _fd = ::eventfd(initially_set ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (_fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

event::~event() {
    if (_fd >= 0) ::close(descriptor_of(_fd));
}

void event::set() noexcept {
    // The counter only ever needs to be non-zero; a read drains it whole, so
    // any number of sets before a wait amount to one signal.
    const std::uint64_t one = 1;
    const int descriptor = descriptor_of(_fd);  // the waiter may destroy this object as soon as the write lands
    _sets.fetch_add(1, std::memory_order_release);
    while (::write(descriptor, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void event::reset() noexcept {
    std::uint64_t value;
    while (::read(descriptor_of(_fd), &value, sizeof value) < 0 && errno == EINTR) {
    }
}

bool event::try_acquire() const noexcept {
    if (_manual_reset) {
        pollfd p{descriptor_of(_fd), POLLIN, 0};
        if (::poll(&p, 1, 0) != 1 || (p.revents & POLLIN) == 0) return false;
        _sets.load(std::memory_order_acquire);
        return true;
    }
    std::uint64_t value;
    for (;;) {
        if (::read(descriptor_of(_fd), &value, sizeof value) == sizeof value) {
            _sets.load(std::memory_order_acquire);
            return true;
        }
        if (errno != EINTR) return false;
    }
}

bool event::wait(std::uint32_t timeout_ms) noexcept {
    detail::deadline limit(timeout_ms);
    // A look without a time-out first: a poll that is given one costs more
    // even when the event is already set. Once waited for, a manual-reset
    // event is signalled while its descriptor is readable, so the poll that
    // waited also answers.
    if (try_acquire()) return true;
    for (;;) {
        pollfd p{descriptor_of(_fd), POLLIN, 0};
        const int n = ::poll(&p, 1, limit.remaining_poll_ms());
        if (n < 0 && errno != EINTR) return false;
        if (n > 0 && (p.revents & POLLNVAL) != 0) return false;
        if (n > 0 && _manual_reset && (p.revents & POLLIN) != 0) {
            _sets.load(std::memory_order_acquire);
            return true;
        }
        // Another waiter may take an auto-reset signal between poll and read:
        // then keep waiting for the rest of the time.
        if (n > 0 && !_manual_reset && try_acquire()) return true;
        if (n == 0 && limit.expired()) return try_acquire();
    }
}

void reset_caller_event(native_handle handle) noexcept {
    if (handle < 0) return;
    const int event = static_cast<int>(handle);
    // Only read what is there: a blocking eventfd would wait on an empty count.
    pollfd ready{event, POLLIN, 0};
    while (::poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        if (::read(event, &count, sizeof count) != static_cast<ssize_t>(sizeof count)) break;
    }
}

}  // namespace asynframe::platform
