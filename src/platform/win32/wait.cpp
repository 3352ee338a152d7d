// Waits over events and socket readiness at once. Events (and other kernel
// objects) go to WaitForMultipleObjects as they are; sockets are tied to one
// event of the waiting thread with WSAEventSelect for the length of the call,
// which only wakes the wait: whether a socket is ready is asked of select()
// with no time-out, so readiness is level (as poll reports it) and never
// depends on which network events Winsock has already recorded and re-enabled.
#include <winsock2.h>
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "platform/socket.h"
#include "platform/wait.h"

namespace asynframe::platform {
namespace {

constexpr long readable_events = FD_READ | FD_ACCEPT | FD_CLOSE;
constexpr long writable_events = FD_WRITE | FD_CONNECT | FD_CLOSE;
// Which direction a request asks for (FD_CLOSE belongs to both).
constexpr long reading = FD_READ | FD_ACCEPT;
constexpr long writing = FD_WRITE | FD_CONNECT;
constexpr std::size_t capacity = maximum_wait_items;  // also WaitForMultipleObjects' own limit
constexpr std::uint8_t none = 0xFF;

static_assert(capacity <= MAXIMUM_WAIT_OBJECTS && capacity <= FD_SETSIZE);

// What a wait asks of one handle: a kernel object to wait on (no events), or
// socket network events.
struct request {
    native_handle handle;
    long events;
};

// The thread's event that sockets are selected to; made once, since wait
// threads wait over and over. Manual reset: the wait resets it before it looks.
class thread_signal {
public:
    thread_signal() = default;
    thread_signal(const thread_signal&) = delete;
    thread_signal& operator=(const thread_signal&) = delete;
    ~thread_signal() {
        if (_event != nullptr) ::CloseHandle(_event);
    }
    HANDLE get() noexcept {
        if (_event == nullptr) _event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        return _event;
    }

private:
    HANDLE _event = nullptr;
};

thread_local thread_signal t_signal;

SOCKET socket_of(native_handle handle) noexcept { return static_cast<SOCKET>(handle); }
HANDLE object_of(native_handle handle) noexcept { return reinterpret_cast<HANDLE>(handle); }

class wait_set {
public:
    wait_set(const request* requests, std::size_t count) noexcept : _requests(requests), _count(count) {}
    wait_set(const wait_set&) = delete;
    wait_set& operator=(const wait_set&) = delete;

    // Sockets go back to no selection (they stay non-blocking: Winsock cannot
    // tell which mode they had, and every caller's socket is non-blocking anyway).
    ~wait_set() {
        for (std::size_t k = 0; k < _socket_count; ++k)
            if (_sockets[k].selected) ::WSAEventSelect(_sockets[k].socket, nullptr, 0);
    }

    // False when a socket cannot be selected for a reason other than not being one.
    bool prepare() noexcept {
        for (std::size_t i = 0; i < _count; ++i) {
            _item_socket[i] = none;
            _item_object[i] = none;
            if (_requests[i].events == 0) continue;
            std::size_t k = 0;
            while (k < _socket_count && _sockets[k].socket != socket_of(_requests[i].handle)) ++k;
            if (k == _socket_count) _sockets[_socket_count++] = socket_entry{socket_of(_requests[i].handle)};
            _sockets[k].events |= _requests[i].events;
            _item_socket[i] = static_cast<std::uint8_t>(k);
        }
        if (_socket_count > 0) {
            _signal = t_signal.get();
            if (_signal == nullptr) return false;
            ::ResetEvent(_signal);
        }
        for (std::size_t k = 0; k < _socket_count; ++k) {
            socket_entry& entry = _sockets[k];
            if (::WSAEventSelect(entry.socket, _signal, entry.events) == 0) {
                entry.selected = true;
                ++_selected;
                continue;
            }
            // Not a socket (a caller's event given as readable): waited on as a
            // kernel object below. A closed socket ends up there too and fails.
            const int error = ::WSAGetLastError();
            if (error != WSAENOTSOCK && error != WSANOTINITIALISED) return false;
        }
        for (std::size_t i = 0; i < _count; ++i) {
            if (_item_socket[i] != none && _sockets[_item_socket[i]].selected) continue;
            _item_socket[i] = none;
            const HANDLE object = object_of(_requests[i].handle);
            // One copy of each handle: WaitForMultipleObjects refuses duplicates.
            std::size_t slot = 0;
            while (slot < _object_count && _objects[slot] != object) ++slot;
            if (slot == _object_count) {
                _objects[_object_count] = object;
                _object_item[_object_count] = static_cast<std::uint8_t>(i);
                ++_object_count;
            }
            _item_object[i] = static_cast<std::uint8_t>(slot);
        }
        if (_selected > 0) _objects[_object_count] = _signal;
        return true;
    }

    // The lowest ready index, wait_timeout or wait_failed. `dead_ready`: a
    // handle that is not open is reported as ready instead of failing.
    int wait(std::uint32_t timeout_ms, bool dead_ready) noexcept {
        const bool forever = timeout_ms == infinite;
        const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
        for (;;) {
            if (_selected > 0) {
                const int socket_ready = ready_socket(dead_ready);
                if (socket_ready == wait_failed) return wait_failed;
                if (socket_ready >= 0) return lower_object_or(static_cast<std::size_t>(socket_ready));
            }
            DWORD remaining = INFINITE;
            if (!forever) {
                const ULONGLONG now = ::GetTickCount64();
                remaining = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
            }
            const DWORD handles = static_cast<DWORD>(_object_count + (_selected > 0 ? 1 : 0));
            const DWORD result = ::WaitForMultipleObjects(handles, _objects, FALSE, remaining);
            if (result < WAIT_OBJECT_0 + _object_count) return _object_item[result - WAIT_OBJECT_0];
            if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + _object_count)
                return _object_item[result - WAIT_ABANDONED_0];
            if (result == WAIT_OBJECT_0 + _object_count && _selected > 0) {
                // Reset before looking: a network event after this sets it again.
                ::ResetEvent(_signal);
                collect_network_events();
                continue;
            }
            if (result == WAIT_TIMEOUT) {
                if (remaining == 0 || (!forever && ::GetTickCount64() >= deadline)) return wait_timeout;
                continue;
            }
            return dead_ready ? first_dead_object() : wait_failed;
        }
    }

private:
    struct socket_entry {
        SOCKET socket = INVALID_SOCKET;
        long events = 0;
        bool selected = false;
        // Seen in this wait: a closed connection or a failed connect stays ready.
        bool closed = false;
    };

    void collect_network_events() noexcept {
        for (std::size_t k = 0; k < _socket_count; ++k) {
            socket_entry& entry = _sockets[k];
            if (!entry.selected) continue;
            WSANETWORKEVENTS seen{};
            if (::WSAEnumNetworkEvents(entry.socket, nullptr, &seen) != 0) continue;
            if ((seen.lNetworkEvents & FD_CLOSE) != 0) entry.closed = true;
            if ((seen.lNetworkEvents & FD_CONNECT) != 0 && seen.iErrorCode[FD_CONNECT_BIT] != 0) entry.closed = true;
        }
    }

    // The lowest socket item ready now, -1 for none, wait_failed.
    int ready_socket(bool dead_ready) noexcept {
        fd_set readable, writable, failed;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        for (std::size_t k = 0; k < _socket_count; ++k) {
            const socket_entry& entry = _sockets[k];
            if (!entry.selected) continue;
            if ((entry.events & reading) != 0) FD_SET(entry.socket, &readable);
            if ((entry.events & writing) != 0) FD_SET(entry.socket, &writable);
            // Errors (a refused connect) count as ready whatever was asked, as poll's do.
            FD_SET(entry.socket, &failed);
        }
        timeval now{0, 0};
        if (::select(0, &readable, &writable, &failed, &now) == SOCKET_ERROR) {
            if (!dead_ready) return wait_failed;
            // A socket closed meanwhile: its next call reports the error.
            for (std::size_t i = 0; i < _count; ++i) {
                if (_item_socket[i] == none) continue;
                int type = 0;
                int length = sizeof type;
                if (::getsockopt(_sockets[_item_socket[i]].socket, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type),
                                 &length) != 0)
                    return static_cast<int>(i);
            }
            return wait_failed;
        }
        for (std::size_t i = 0; i < _count; ++i) {
            if (_item_socket[i] == none) continue;
            const socket_entry& entry = _sockets[_item_socket[i]];
            const long wanted = _requests[i].events;
            const bool ready = entry.closed || FD_ISSET(entry.socket, &failed) ||
                               ((wanted & reading) != 0 && FD_ISSET(entry.socket, &readable)) ||
                               ((wanted & writing) != 0 && FD_ISSET(entry.socket, &writable));
            if (ready) return static_cast<int>(i);
        }
        return -1;
    }

    // A socket item is ready: an object with a lower index that is signalled
    // wins (and only it is taken).
    int lower_object_or(std::size_t socket_item) noexcept {
        for (std::size_t i = 0; i < socket_item; ++i) {
            if (_item_object[i] == none || _object_item[_item_object[i]] != i) continue;
            const DWORD result = ::WaitForSingleObject(_objects[_item_object[i]], 0);
            if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) return static_cast<int>(i);
        }
        return static_cast<int>(socket_item);
    }

    int first_dead_object() noexcept {
        for (std::size_t slot = 0; slot < _object_count; ++slot)
            if (::WaitForSingleObject(_objects[slot], 0) == WAIT_FAILED) return _object_item[slot];
        return wait_failed;
    }

    const request* _requests;
    std::size_t _count;
    socket_entry _sockets[capacity];
    std::size_t _socket_count = 0;
    std::size_t _selected = 0;
    HANDLE _signal = nullptr;
    HANDLE _objects[capacity + 1];
    std::uint8_t _object_item[capacity];  // the first item of each object
    std::size_t _object_count = 0;
    std::uint8_t _item_socket[capacity];
    std::uint8_t _item_object[capacity];
};

long events_for(waitable::kind_t kind) noexcept {
    switch (kind) {
        case waitable::event_kind: return 0;
        case waitable::socket_readable: return readable_events;
        case waitable::socket_writable: return writable_events;
        case waitable::socket_any: return readable_events | writable_events;
    }
    return readable_events;
}

}  // namespace

int wait_any(const waitable* items, std::size_t count, std::uint32_t timeout_ms) noexcept {
    if (items == nullptr || count == 0 || count > maximum_wait_items) return wait_failed;
    // On the stack: the wait threads wait over and over, so a wait never allocates.
    request requests[capacity];
    for (std::size_t i = 0; i < count; ++i) {
        if (items[i].handle == invalid_handle || items[i].handle == 0) return wait_failed;
        if (items[i].kind == waitable::event_kind && items[i].ev == nullptr) return wait_failed;
        requests[i] = request{items[i].handle, events_for(items[i].kind)};
    }
    wait_set set(requests, count);
    if (!set.prepare()) return wait_failed;
    return set.wait(timeout_ms, false);
}

// The acceptor's wait: its events and its listening sockets. Every handle is
// tried as a socket first; one that is not is waited on as an event.
int wait_readable(const native_handle* handles, std::size_t count, std::uint32_t timeout_ms) noexcept {
    if (handles == nullptr || count == 0 || count > capacity) return wait_failed;
    request requests[capacity];
    for (std::size_t i = 0; i < count; ++i) {
        if (handles[i] == invalid_handle || handles[i] == 0) return static_cast<int>(i);
        requests[i] = request{handles[i], readable_events};
    }
    wait_set set(requests, count);
    if (!set.prepare()) return wait_failed;
    return set.wait(timeout_ms, true);
}

}  // namespace asynframe::platform
