// Time-out bookkeeping for poll loops that restart after EINTR or a lost race.
#pragma once

#include <time.h>

#include <climits>
#include <cstdint>

#include "platform/event.h"

namespace asynframe::platform::detail {

class deadline {
public:
    explicit deadline(std::uint32_t timeout_ms) noexcept : _infinite(timeout_ms == infinite) {
        if (!_infinite) _end = now_ms() + timeout_ms;
    }

    // The argument for poll(2): -1 for no limit, else the milliseconds left (0 when due).
    int remaining_poll_ms() const noexcept {
        if (_infinite) return -1;
        const std::int64_t left = _end - now_ms();
        if (left <= 0) return 0;
        return left > INT_MAX ? INT_MAX : static_cast<int>(left);
    }

    bool expired() const noexcept { return !_infinite && now_ms() >= _end; }

private:
    // A clock of its own: the tick source may be replaced in tests.
    static std::int64_t now_ms() noexcept {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    }

    bool _infinite;
    std::int64_t _end = 0;
};

}  // namespace asynframe::platform::detail
