// What both Windows I/O backends share: the per-request state kept in the
// block's backend area, issuing one step of a request (with or without a
// completion routine), reading a finished step's outcome into the library's
// code space, the queue of posted blocks and the wake-up of a sleeping loop.
//
// A request is one or more steps. Most are one system call; a stream send
// that completed short sends the rest, and a scatter read or gather write
// that cannot go to the system in one call goes in pieces at consecutive
// positions. The block is handed out once, after its last step.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "platform/common/socket_address.h"
#include "platform/error_codes.h"
#include "platform/io_backend.h"

namespace asynframe::platform::detail {

static_assert(sizeof(native_handle) == sizeof(SOCKET) && sizeof(native_handle) == sizeof(HANDLE),
              "a native handle carries a SOCKET or a HANDLE unchanged");
// INVALID_SOCKET is ~0 and INVALID_HANDLE_VALUE is (HANDLE)-1: both are invalid_handle.
static_assert(static_cast<native_handle>(~SOCKET{0}) == invalid_handle);

inline SOCKET as_socket(native_handle handle) noexcept { return static_cast<SOCKET>(handle); }
inline HANDLE as_handle(native_handle handle) noexcept { return reinterpret_cast<HANDLE>(handle); }

// Completion keys of the port: requests, wake-ups and the relay thread's end.
inline constexpr ULONG_PTR io_key = 0;
inline constexpr ULONG_PTR wake_key = 1;
inline constexpr ULONG_PTR quit_key = 2;
// A step that failed at once, handed out through the port by the backend
// itself. Under wine the system queues a packet for such a step as well (with
// io_key, ahead of this one); that echo is dropped.
inline constexpr ULONG_PTR failed_key = 3;

// AcceptEx wants room for each address 16 bytes larger than the largest.
inline constexpr DWORD accept_address_room = sizeof(::sockaddr_in6) + 16;
// Segment elements a scatter step can name, its terminating null included.
inline constexpr int segment_room = 11;

// How a scatter or gather request moves its spans.
enum class span_mode : std::uint8_t {
    pieces,   // one ReadFile/WriteFile per span
    segments, // page-sized, page-aligned spans: ReadFileScatter/WriteFileGather
};

// What a request keeps in its block's backend area on Windows.
struct win_request {
    OVERLAPPED overlapped;  // first: the block is found from it
    void* owner;            // the backend (a completion routine is given only the OVERLAPPED)
    io_block* prev;         // link in the backend's list of requests in flight (next: io_block::next)
    WSABUF piece;
    DWORD flags;
    INT address_length;
    SOCKET accepted;             // the connection AcceptEx fills
    std::uint32_t cancel_mark;   // cancel generation when the request started
    std::uint32_t preset_error;  // a step that failed at once, handed out through the completion path
    // Non-zero while a thread is in the call that issues a step: a packet for
    // the step that another thread takes off the port meanwhile waits for the
    // call's verdict (an echo of a failure, or the step's real completion).
    std::uint32_t issuing;
    std::uint16_t span_index;    // first span of the running step
    std::uint8_t step_spans;     // spans the running step covers
    span_mode mode;
    union {
        socket_address name;  // receive-from source, send-to and connect target
        unsigned char accept_buffer[2 * accept_address_room];
        FILE_SEGMENT_ELEMENT segments[segment_room];
    };
};

static_assert(sizeof(win_request) <= io_block_backend_size, "a request's state fits the block on every target");
static_assert(alignof(win_request) <= alignof(std::max_align_t));
static_assert(sizeof(win_request::accept_buffer) == 2 * (sizeof(::sockaddr_in6) + 16));

inline win_request& request_of(io_block& block) noexcept { return block.backend_state<win_request>(); }

inline io_block& block_of(OVERLAPPED* overlapped) noexcept {
    return *reinterpret_cast<io_block*>(reinterpret_cast<unsigned char*>(overlapped) - offsetof(io_block, backend_area));
}

inline bool is_file_kind(io_kind kind) noexcept {
    return kind == io_kind::read || kind == io_kind::write || kind == io_kind::read_scatter ||
           kind == io_kind::write_gather;
}

inline bool is_span_kind(io_kind kind) noexcept {
    return kind == io_kind::read_scatter || kind == io_kind::write_gather;
}

inline DWORD page_size() noexcept {
    static const DWORD size = [] {
        SYSTEM_INFO info{};
        ::GetSystemInfo(&info);
        return info.dwPageSize;
    }();
    return size;
}

// AcceptEx, GetAcceptExSockaddrs and ConnectEx, asked of the provider once.
struct winsock_extensions {
    LPFN_ACCEPTEX accept_ex = nullptr;
    LPFN_GETACCEPTEXSOCKADDRS accept_addresses = nullptr;
    LPFN_CONNECTEX connect_ex = nullptr;
};

template <class Function>
Function extension_function(SOCKET socket, GUID id) noexcept {
    Function function = nullptr;
    DWORD bytes = 0;
    if (::WSAIoctl(socket, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &function, sizeof function, &bytes,
                   nullptr, nullptr) != 0)
        return nullptr;
    return function;
}

// Null until one socket could be asked; every TCP socket of the system's
// provider answers the same, so the first answer is kept for the process.
inline const winsock_extensions* extensions(SOCKET socket) noexcept {
    static std::atomic<winsock_extensions*> known{nullptr};
    if (winsock_extensions* found = known.load(std::memory_order_acquire)) return found;
    auto* found = new (std::nothrow) winsock_extensions;
    if (found == nullptr) return nullptr;
    found->accept_ex = extension_function<LPFN_ACCEPTEX>(socket, WSAID_ACCEPTEX);
    found->accept_addresses = extension_function<LPFN_GETACCEPTEXSOCKADDRS>(socket, WSAID_GETACCEPTEXSOCKADDRS);
    found->connect_ex = extension_function<LPFN_CONNECTEX>(socket, WSAID_CONNECTEX);
    if (found->accept_ex == nullptr || found->accept_addresses == nullptr || found->connect_ex == nullptr) {
        delete found;
        return nullptr;
    }
    winsock_extensions* expected = nullptr;
    if (known.compare_exchange_strong(expected, found, std::memory_order_acq_rel)) return found;
    delete found;  // another thread was first
    return expected;
}

// The socket an AcceptEx takes the connection into: overlapped, of the
// listener's family, not inherited by child processes.
inline SOCKET make_accept_socket(SOCKET listener, DWORD& error) noexcept {
    socket_address local{};
    int length = sizeof local;
    if (::getsockname(listener, &local.any, &length) != 0) {
        error = static_cast<DWORD>(::WSAGetLastError());
        return INVALID_SOCKET;
    }
    SOCKET socket = ::WSASocketW(local.any.sa_family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                 WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL) {
        // Systems before 7 SP1 know no WSA_FLAG_NO_HANDLE_INHERIT.
        socket = ::WSASocketW(local.any.sa_family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
        if (socket != INVALID_SOCKET) ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
    }
    if (socket == INVALID_SOCKET) error = static_cast<DWORD>(::WSAGetLastError());
    return socket;
}

// Fills the block and its request for a new request; the arguments are set by the caller.
inline win_request& prepare_request(io_block& block, io_kind kind, native_handle handle, void* owner,
                                    std::uint32_t cancel_mark) noexcept {
    block.next = nullptr;
    block.bytes = 0;
    block.error = 0;
    block.kind = kind;
    block.state = 0;
    block.handle = handle;
    block.done = 0;
    block.accepted = invalid_handle;
    win_request& request = request_of(block);
    std::memset(&request, 0, sizeof request);
    request.owner = owner;
    request.accepted = INVALID_SOCKET;
    request.cancel_mark = cancel_mark;
    return request;
}

inline void set_offset(OVERLAPPED& overlapped, std::uint64_t position) noexcept {
    overlapped.Offset = static_cast<DWORD>(position);
    overlapped.OffsetHigh = static_cast<DWORD>(position >> 32);
}

inline std::uint64_t offset_of(const OVERLAPPED& overlapped) noexcept {
    return (static_cast<std::uint64_t>(overlapped.OffsetHigh) << 32) | overlapped.Offset;
}

// True when every span is one whole, page-aligned page: the shape
// ReadFileScatter and WriteFileGather accept.
inline bool spans_are_pages(const buffer_span* spans, int count) noexcept {
    const std::size_t page = page_size();
    for (int i = 0; i < count; ++i)
        if (spans[i].length != page || reinterpret_cast<std::uintptr_t>(spans[i].data) % page != 0) return false;
    return count > 0;
}

// A sockets call's "started" answer: pending, or done with a completion queued.
// A datagram cut to the buffer ends with a warning status, which still queues
// its completion (or routine), though the call reports WSAEMSGSIZE.
inline DWORD socket_started(int result) noexcept {
    if (result == 0) return 0;
    const int error = ::WSAGetLastError();
    return error == WSA_IO_PENDING || error == WSAEMSGSIZE ? 0 : static_cast<DWORD>(error);
}

inline DWORD file_started(BOOL result) noexcept {
    if (result) return 0;
    const DWORD error = ::GetLastError();
    return error == ERROR_IO_PENDING ? 0 : error;
}

using socket_routine = LPWSAOVERLAPPED_COMPLETION_ROUTINE;
using file_routine = LPOVERLAPPED_COMPLETION_ROUTINE;

// Starts the block's next step at `position` (file requests). Answers 0 when a
// completion (or, with routines, a routine call) will follow, or the Windows
// code of a failure, after which none will. With routines, accept and connect
// are not available and scatter steps go span by span.
inline DWORD issue_step(io_block& block, std::uint64_t position, socket_routine on_socket,
                        file_routine on_file) noexcept {
    win_request& request = request_of(block);
    std::memset(&request.overlapped, 0, sizeof request.overlapped);
    const SOCKET socket = as_socket(block.handle);
    switch (block.kind) {
        case io_kind::recv:
            request.piece.buf = static_cast<char*>(block.buffer);
            request.piece.len = block.length;
            request.flags = 0;
            return socket_started(
                ::WSARecv(socket, &request.piece, 1, nullptr, &request.flags, &request.overlapped, on_socket));
        case io_kind::send:
            request.piece.buf = static_cast<char*>(block.buffer) + block.done;
            request.piece.len = block.length - block.done;
            return socket_started(::WSASend(socket, &request.piece, 1, nullptr, 0, &request.overlapped, on_socket));
        case io_kind::recv_from:
            request.piece.buf = static_cast<char*>(block.buffer);
            request.piece.len = block.length;
            request.flags = 0;
            request.address_length = sizeof request.name;
            return socket_started(::WSARecvFrom(socket, &request.piece, 1, nullptr, &request.flags, &request.name.any,
                                                &request.address_length, &request.overlapped, on_socket));
        case io_kind::send_to:
            request.piece.buf = static_cast<char*>(block.buffer);
            request.piece.len = block.length;
            return socket_started(::WSASendTo(socket, &request.piece, 1, nullptr, 0, &request.name.any,
                                              request.address_length, &request.overlapped, on_socket));
        case io_kind::accept: {
            const winsock_extensions* functions = extensions(socket);
            if (functions == nullptr) return static_cast<DWORD>(::WSAGetLastError());
            DWORD bytes = 0;
            if (functions->accept_ex(socket, request.accepted, request.accept_buffer, 0, accept_address_room,
                                     accept_address_room, &bytes, &request.overlapped))
                return 0;
            const int error = ::WSAGetLastError();
            return error == ERROR_IO_PENDING ? 0 : static_cast<DWORD>(error);
        }
        case io_kind::connect: {
            const winsock_extensions* functions = extensions(socket);
            if (functions == nullptr) return static_cast<DWORD>(::WSAGetLastError());
            if (functions->connect_ex(socket, &request.name.any, request.address_length, nullptr, 0, nullptr,
                                      &request.overlapped))
                return 0;
            const int error = ::WSAGetLastError();
            return error == ERROR_IO_PENDING ? 0 : static_cast<DWORD>(error);
        }
        case io_kind::read:
        case io_kind::write: {
            set_offset(request.overlapped, position);
            const HANDLE file = as_handle(block.handle);
            if (block.kind == io_kind::read)
                return on_file != nullptr
                           ? file_started(::ReadFileEx(file, block.buffer, block.length, &request.overlapped, on_file))
                           : file_started(::ReadFile(file, block.buffer, block.length, nullptr, &request.overlapped));
            return on_file != nullptr
                       ? file_started(::WriteFileEx(file, block.buffer, block.length, &request.overlapped, on_file))
                       : file_started(::WriteFile(file, block.buffer, block.length, nullptr, &request.overlapped));
        }
        case io_kind::read_scatter:
        case io_kind::write_gather: {
            set_offset(request.overlapped, position);
            const HANDLE file = as_handle(block.handle);
            const bool reading = block.kind == io_kind::read_scatter;
            const buffer_span& first = block.spans[request.span_index];
            if (request.mode == span_mode::segments && on_file == nullptr) {
                const int left = block.span_count - request.span_index;
                const int count = left < segment_room - 1 ? left : segment_room - 1;
                for (int i = 0; i < count; ++i)
                    request.segments[i].Buffer = PtrToPtr64(block.spans[request.span_index + i].data);
                request.segments[count].Buffer = nullptr;
                request.step_spans = static_cast<std::uint8_t>(count);
                const DWORD length = static_cast<DWORD>(count) * page_size();
                const DWORD error =
                    reading ? file_started(::ReadFileScatter(file, request.segments, length, nullptr, &request.overlapped))
                            : file_started(::WriteFileGather(file, request.segments, length, nullptr, &request.overlapped));
                // A handle with the system's cache refuses segments: the
                // request goes on span by span.
                if (error != ERROR_INVALID_PARAMETER) return error;
                request.mode = span_mode::pieces;
                std::memset(&request.overlapped, 0, sizeof request.overlapped);
                set_offset(request.overlapped, position);
            }
            request.step_spans = 1;
            const DWORD length = static_cast<DWORD>(first.length);
            if (reading)
                return on_file != nullptr
                           ? file_started(::ReadFileEx(file, first.data, length, &request.overlapped, on_file))
                           : file_started(::ReadFile(file, first.data, length, nullptr, &request.overlapped));
            return on_file != nullptr
                       ? file_started(::WriteFileEx(file, first.data, length, &request.overlapped, on_file))
                       : file_started(::WriteFile(file, first.data, length, nullptr, &request.overlapped));
        }
        default:
            return ERROR_INVALID_PARAMETER;
    }
}

// The Winsock code of a socket request's final status, for a socket already
// closed (a device cancels, then closes, before the cancelled requests are
// taken off the port), which WSAGetOverlappedResult no longer answers for.
inline DWORD socket_error_from_status(ULONG_PTR status) noexcept {
    switch (static_cast<DWORD>(status)) {
        case 0x00000000u: return 0;                        // STATUS_SUCCESS
        case 0x80000005u: return WSAEMSGSIZE;              // STATUS_BUFFER_OVERFLOW
        case 0xC0000120u: return ERROR_OPERATION_ABORTED;  // STATUS_CANCELLED
        case 0xC0000236u: return WSAECONNREFUSED;          // STATUS_CONNECTION_REFUSED
        case 0xC000020Du: return WSAECONNRESET;            // STATUS_CONNECTION_RESET
        case 0xC000013Cu: return WSAECONNRESET;            // STATUS_REMOTE_DISCONNECT
        case 0xC0000241u: return WSAECONNABORTED;          // STATUS_CONNECTION_ABORTED
        case 0xC000013Bu: return WSAECONNABORTED;          // STATUS_LOCAL_DISCONNECT
        case 0xC00000B5u: return WSAETIMEDOUT;             // STATUS_IO_TIMEOUT
        case 0xC000023Cu: return WSAENETUNREACH;           // STATUS_NETWORK_UNREACHABLE
        case 0xC000023Du: return WSAEHOSTUNREACH;          // STATUS_HOST_UNREACHABLE
        default: break;
    }
    using to_dos = ULONG(WINAPI*)(LONG);
    static const auto convert = reinterpret_cast<to_dos>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlNtStatusToDosError")));
    return convert != nullptr ? convert(static_cast<LONG>(status)) : ERROR_OPERATION_ABORTED;
}

// The outcome of the step that just finished: bytes and a Windows or Winsock
// code. Socket steps are read through Winsock, which turns the system's
// status into the Winsock code callers expect (10061 refused, 10054 reset,
// 10040 cut datagram), where the port itself reports 1225 or 64.
inline void step_outcome(io_block& block, DWORD& bytes, DWORD& error) noexcept {
    win_request& request = request_of(block);
    bytes = 0;
    if (request.preset_error != 0) {
        error = request.preset_error;
        return;
    }
    if (is_file_kind(block.kind)) {
        error = ::GetOverlappedResult(as_handle(block.handle), &request.overlapped, &bytes, FALSE) ? 0 : ::GetLastError();
    } else {
        DWORD flags = 0;
        error = ::WSAGetOverlappedResult(as_socket(block.handle), &request.overlapped, &bytes, FALSE, &flags)
                    ? 0
                    : static_cast<DWORD>(::WSAGetLastError());
        if (error == WSAENOTSOCK && request.overlapped.Internal != STATUS_PENDING) {
            error = socket_error_from_status(request.overlapped.Internal);
            bytes = static_cast<DWORD>(request.overlapped.InternalHigh);
        }
    }
    if (error == WSAEMSGSIZE) {
        bytes = static_cast<DWORD>(request.overlapped.InternalHigh);
    } else if (error != 0) {
        bytes = 0;
    }
}

enum class step_verdict { finished, next_step };

// Takes a finished step's outcome into the block. next_step: the request goes
// on at `position` (file requests); the caller issues it.
inline step_verdict take_step(io_block& block, DWORD bytes, DWORD error, std::uint64_t& position) noexcept {
    win_request& request = request_of(block);
    switch (block.kind) {
        case io_kind::send:
            if (error == 0) {
                block.done += bytes;
                // A stream send finishes whole: the rest goes out after a short completion.
                if (bytes != 0 && block.done < block.length) return step_verdict::next_step;
                bytes = block.done;
            }
            break;
        case io_kind::recv_from:
            if (error == 0 || error == WSAEMSGSIZE) {
                if (block.address != nullptr) *block.address = from_socket_address(&request.name.any, request.address_length);
                if (error == WSAEMSGSIZE) {
                    if (bytes > block.length) bytes = block.length;
                    error = errors::message_too_long;
                }
            }
            break;
        case io_kind::read_scatter:
        case io_kind::write_gather: {
            if (error == 0) {
                std::uint64_t step_length = 0;
                for (int i = 0; i < request.step_spans; ++i) step_length += block.spans[request.span_index + i].length;
                block.done += bytes;
                request.span_index = static_cast<std::uint16_t>(request.span_index + request.step_spans);
                if (bytes == step_length && request.span_index < block.span_count) {
                    position = offset_of(request.overlapped) + bytes;
                    return step_verdict::next_step;
                }
            } else if (error == ERROR_HANDLE_EOF && block.done != 0) {
                error = 0;  // the end of the file after some spans: a short read
            }
            if (error == 0) bytes = block.done;
            break;
        }
        default:
            break;
    }
    block.bytes = error == 0 || error == errors::message_too_long ? bytes : 0;
    block.error = error;
    return step_verdict::finished;
}

// Finishes a request that will not go on: the block's outcome is `error`.
inline void fail_request(io_block& block, DWORD error) noexcept {
    block.bytes = 0;
    block.error = error;
}

// Requests in flight, so that teardown can cancel exactly these and wait for them.
class inflight_list {
public:
    void add(io_block& block) noexcept {
        ::AcquireSRWLockExclusive(&_lock);
        request_of(block).prev = nullptr;
        block.next = _head;
        if (_head != nullptr) request_of(*_head).prev = &block;
        _head = &block;
        ++_count;
        ::ReleaseSRWLockExclusive(&_lock);
    }
    void remove(io_block& block) noexcept {
        ::AcquireSRWLockExclusive(&_lock);
        io_block* prev = request_of(block).prev;
        if (prev != nullptr)
            prev->next = block.next;
        else
            _head = block.next;
        if (block.next != nullptr) request_of(*block.next).prev = prev;
        block.next = nullptr;
        request_of(block).prev = nullptr;
        --_count;
        ::ReleaseSRWLockExclusive(&_lock);
    }
    io_block* front() const noexcept {
        ::AcquireSRWLockShared(&_lock);
        io_block* block = _head;
        ::ReleaseSRWLockShared(&_lock);
        return block;
    }
    std::size_t size() const noexcept {
        ::AcquireSRWLockShared(&_lock);
        const std::size_t count = _count;
        ::ReleaseSRWLockShared(&_lock);
        return count;
    }
    template <class Visit>
    void for_each(Visit visit) noexcept {
        ::AcquireSRWLockShared(&_lock);
        for (io_block* block = _head; block != nullptr; block = block->next) visit(*block);
        ::ReleaseSRWLockShared(&_lock);
    }

private:
    mutable SRWLOCK _lock = SRWLOCK_INIT;
    io_block* _head = nullptr;
    std::size_t _count = 0;
};

// Per handle: whether it is on the port, and when it was last cancelled. A
// request that goes on in steps checks the latter before each new step, so a
// cancel that fell between two steps still ends it with 995.
class handle_registry {
public:
    bool associated(native_handle handle) const noexcept {
        ::AcquireSRWLockShared(&_lock);
        const bool found = _associated.count(handle) != 0;
        ::ReleaseSRWLockShared(&_lock);
        return found;
    }
    void mark_associated(native_handle handle) noexcept {
        ::AcquireSRWLockExclusive(&_lock);
        try {
            _associated.insert(handle);
        } catch (...) {
        }
        ::ReleaseSRWLockExclusive(&_lock);
    }
    std::uint32_t generation() const noexcept { return _generation.load(std::memory_order_acquire); }
    void cancelled(native_handle handle) noexcept {
        ::AcquireSRWLockExclusive(&_lock);
        const std::uint32_t now = _generation.fetch_add(1, std::memory_order_acq_rel) + 1;
        try {
            _cancels[handle] = now;
        } catch (...) {
        }
        ::ReleaseSRWLockExclusive(&_lock);
    }
    // True when the handle was cancelled after generation `mark`.
    bool cancelled_since(native_handle handle, std::uint32_t mark) const noexcept {
        if (_generation.load(std::memory_order_acquire) == mark) return false;
        ::AcquireSRWLockShared(&_lock);
        const auto found = _cancels.find(handle);
        const bool result = found != _cancels.end() && static_cast<std::int32_t>(found->second - mark) > 0;
        ::ReleaseSRWLockShared(&_lock);
        return result;
    }
    void forget(native_handle handle) noexcept {
        ::AcquireSRWLockExclusive(&_lock);
        _associated.erase(handle);
        _cancels.erase(handle);
        ::ReleaseSRWLockExclusive(&_lock);
    }

private:
    mutable SRWLOCK _lock = SRWLOCK_INIT;
    std::unordered_set<native_handle> _associated;
    std::unordered_map<native_handle, std::uint32_t> _cancels;
    std::atomic<std::uint32_t> _generation{0};
};

// Many producers push; the single dispatch thread takes everything at once and
// keeps it in arrival order. Nothing is allocated: blocks link through `next`.
class posted_queue {
public:
    void push(io_block& block) noexcept {
        io_block* head = _head.load(std::memory_order_relaxed);
        do {
            block.next = head;
        } while (!_head.compare_exchange_weak(head, &block, std::memory_order_seq_cst, std::memory_order_relaxed));
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

// A FIFO list of blocks owned by one thread (or guarded by its owner's lock).
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
    void append_chain(io_block* chain) noexcept {
        while (chain != nullptr) {
            io_block* next = chain->next;
            push_back(*chain);
            chain = next;
        }
    }
    void append(block_list& other) noexcept {
        if (other.empty()) return;
        if (tail != nullptr)
            tail->next = other.head;
        else
            head = other.head;
        tail = other.tail;
        other.head = other.tail = nullptr;
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

// The wake-up of a dispatch thread that may sleep, through an event or a
// packet on the port: posts and requests from other threads signal at most
// once per sleep, however many there are. Every signal stands for state the
// sleeper looks at after begin_sleep() (a queue, a flag), so a signal that
// a re-arm wipes out loses nothing.
class wake_signal {
public:
    void use_event(HANDLE event) noexcept { _event = event; }
    void use_port(HANDLE port) noexcept { _port = port; }

    // Before a sleep on the event: clears what an earlier sleep left.
    void rearm() noexcept {
        if (_event == nullptr) return;
        ::ResetEvent(_event);
        _sent.store(false, std::memory_order_seq_cst);
    }
    void begin_sleep() noexcept { _sleeping.store(true, std::memory_order_seq_cst); }
    void end_sleep() noexcept { _sleeping.store(false, std::memory_order_relaxed); }
    // A wake-up packet was taken off the port.
    void consumed() noexcept { _sent.store(false, std::memory_order_release); }

    // Signals when the dispatch thread sleeps (or always, `force`).
    void notify(bool force = false) noexcept {
        if (!force && !_sleeping.load(std::memory_order_seq_cst)) return;
        if (_sent.exchange(true, std::memory_order_acq_rel)) return;
        if (_event != nullptr)
            ::SetEvent(_event);
        else
            ::PostQueuedCompletionStatus(_port, 0, wake_key, nullptr);
    }

private:
    HANDLE _event = nullptr;
    HANDLE _port = nullptr;
    std::atomic<bool> _sleeping{false};
    std::atomic<bool> _sent{false};
};

// Winsock stays loaded while a backend lives, whoever else starts or ends it.
class winsock_use {
public:
    winsock_use() noexcept {
        WSADATA data{};
        _started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~winsock_use() {
        if (_started) ::WSACleanup();
    }
    winsock_use(const winsock_use&) = delete;
    winsock_use& operator=(const winsock_use&) = delete;
    bool started() const noexcept { return _started; }

private:
    bool _started = false;
};

std::unique_ptr<io_backend> make_iocp_backend(bool external_wait);
std::unique_ptr<io_backend> make_alertable_backend(bool external_wait);

// The request starts both Windows backends share: each fills the block and
// hands it to the backend's begin() (issued at once on the port, queued for
// the dispatch thread in the alertable loop); spans go to begin_spans().
template <class Backend>
class request_starts : public io_backend {
public:
    std::uint32_t start_recv(native_handle handle, void* buffer, std::uint32_t length,
                             io_block& block) noexcept override {
        prepare_request(block, io_kind::recv, handle, this, _handles.generation());
        block.buffer = buffer;
        block.length = length;
        return backend().begin(block, 0);
    }

    std::uint32_t start_send(native_handle handle, const void* buffer, std::uint32_t length,
                             io_block& block) noexcept override {
        prepare_request(block, io_kind::send, handle, this, _handles.generation());
        block.buffer = const_cast<void*>(buffer);
        block.length = length;
        return backend().begin(block, 0);
    }

    std::uint32_t start_recv_from(native_handle handle, void* buffer, std::uint32_t length, endpoint* source,
                                  io_block& block) noexcept override {
        prepare_request(block, io_kind::recv_from, handle, this, _handles.generation());
        block.buffer = buffer;
        block.length = length;
        block.address = source;
        return backend().begin(block, 0);
    }

    std::uint32_t start_send_to(native_handle handle, const void* buffer, std::uint32_t length,
                                const endpoint& target, io_block& block) noexcept override {
        win_request& request = prepare_request(block, io_kind::send_to, handle, this, _handles.generation());
        block.buffer = const_cast<void*>(buffer);
        block.length = length;
        request.address_length = to_socket_address(target, request.name);
        if (request.address_length == 0) return WSAEAFNOSUPPORT;
        return backend().begin(block, 0);
    }

    std::uint32_t start_read(native_handle handle, void* buffer, std::uint32_t length, std::uint64_t position,
                             io_block& block) noexcept override {
        prepare_request(block, io_kind::read, handle, this, _handles.generation());
        block.buffer = buffer;
        block.length = length;
        return backend().begin(block, position);
    }

    std::uint32_t start_write(native_handle handle, const void* buffer, std::uint32_t length,
                              std::uint64_t position, io_block& block) noexcept override {
        prepare_request(block, io_kind::write, handle, this, _handles.generation());
        block.buffer = const_cast<void*>(buffer);
        block.length = length;
        return backend().begin(block, position);
    }

    std::uint32_t start_read_scatter(native_handle handle, const buffer_span* spans, int count,
                                     std::uint64_t position, io_block& block) noexcept override {
        return backend().begin_spans(io_kind::read_scatter, handle, spans, count, position, block);
    }

    std::uint32_t start_write_gather(native_handle handle, const buffer_span* spans, int count,
                                     std::uint64_t position, io_block& block) noexcept override {
        return backend().begin_spans(io_kind::write_gather, handle, spans, count, position, block);
    }

protected:
    Backend& backend() noexcept { return static_cast<Backend&>(*this); }

    handle_registry _handles;
};


}  // namespace asynframe::platform::detail
