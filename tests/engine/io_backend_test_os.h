// The far end of the backend tests, per system: loopback sockets made and
// driven with the system's own calls (not the library's), a temporary file,
// and the few waits that look at a socket or a thread from outside.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/native.h"

#if defined(_WIN32)

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <gtest/gtest.h>

namespace io_test {

using asynframe::platform::native_handle;

// Winsock for the whole program.
inline const bool winsock_ready = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}();

// A completion port does not hand out a read at the end of a file as 0 bytes.
inline constexpr std::uint32_t end_of_file_error = 38;  // ERROR_HANDLE_EOF
// The alertable loop issues file requests with completion routines.
inline constexpr bool readiness_does_files = true;

inline native_handle must(SOCKET value, const char* what) {
    if (value == INVALID_SOCKET) ADD_FAILURE() << what << " failed: " << ::WSAGetLastError();
    return static_cast<native_handle>(value);
}
inline void must(int value, const char* what) {
    if (value != 0) ADD_FAILURE() << what << " failed: " << ::WSAGetLastError();
}
inline SOCKET s(native_handle handle) { return static_cast<SOCKET>(handle); }

inline sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

inline std::uint16_t local_port(native_handle handle) {
    sockaddr_in address{};
    int length = sizeof address;
    ::getsockname(s(handle), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

inline void close_socket(native_handle handle) { ::closesocket(s(handle)); }

// Sockets made here are overlapped, as every Winsock socket() is.
inline native_handle make_stream_socket() { return must(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP), "socket"); }

inline native_handle make_listener() {
    const native_handle handle = make_stream_socket();
    sockaddr_in address = loopback(0);
    must(::bind(s(handle), reinterpret_cast<sockaddr*>(&address), sizeof address), "bind");
    must(::listen(s(handle), 16), "listen");
    return handle;
}

inline native_handle connect_client(std::uint16_t port) {
    const native_handle handle = make_stream_socket();
    sockaddr_in address = loopback(port);
    if (::connect(s(handle), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close_socket(handle);
        return asynframe::platform::invalid_handle;
    }
    return handle;
}

struct tcp_pair {
    native_handle client = asynframe::platform::invalid_handle;
    native_handle server = asynframe::platform::invalid_handle;

    tcp_pair() {
        const native_handle listener = make_listener();
        client = connect_client(local_port(listener));
        EXPECT_NE(client, asynframe::platform::invalid_handle);
        server = must(::accept(s(listener), nullptr, nullptr), "accept");
        close_socket(listener);
    }
    ~tcp_pair() {
        if (client != asynframe::platform::invalid_handle) close_socket(client);
        if (server != asynframe::platform::invalid_handle) close_socket(server);
    }
    tcp_pair(const tcp_pair&) = delete;
    tcp_pair& operator=(const tcp_pair&) = delete;
};

// IPv6 loopback: a listener on [::1] (invalid_handle when the system has no
// IPv6 loopback), a socket to connect from, and the port of either family.
inline native_handle make_listener6() {
    const SOCKET handle = ::socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
    if (handle == INVALID_SOCKET) return asynframe::platform::invalid_handle;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    if (::bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(handle, 16) != 0) {
        ::closesocket(handle);
        return asynframe::platform::invalid_handle;
    }
    return static_cast<native_handle>(handle);
}
inline native_handle make_stream_socket6() { return must(::socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP), "socket"); }
inline std::uint16_t any_port(native_handle handle) {
    sockaddr_storage address{};
    int length = sizeof address;
    ::getsockname(s(handle), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);  // same place in both families
}

inline native_handle make_udp() {
    const native_handle handle = must(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP), "socket");
    sockaddr_in address = loopback(0);
    must(::bind(s(handle), reinterpret_cast<sockaddr*>(&address), sizeof address), "bind");
    return handle;
}

inline bool send_all(native_handle handle, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const int n = ::send(s(handle), reinterpret_cast<const char*>(data), static_cast<int>(length), 0);
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}
inline bool send_text(native_handle handle, const char* text, std::size_t length) {
    return send_all(handle, reinterpret_cast<const std::uint8_t*>(text), length);
}

inline bool recv_all(native_handle handle, std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const int n = ::recv(s(handle), reinterpret_cast<char*>(data), static_cast<int>(length), 0);
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}
// One receive of at most `length` bytes; its count, or -1.
inline long recv_some(native_handle handle, std::uint8_t* data, std::size_t length) {
    return ::recv(s(handle), reinterpret_cast<char*>(data), static_cast<int>(length), 0);
}

inline bool send_datagram(native_handle from, std::uint16_t port, const char* data, std::size_t length) {
    const sockaddr_in to = loopback(port);
    return ::sendto(s(from), data, static_cast<int>(length), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           static_cast<int>(length);
}

inline void shut_write(native_handle handle) { ::shutdown(s(handle), SD_SEND); }

// Closes with a reset instead of a FIN.
inline void reset_close(native_handle handle) {
    const linger abort{1, 0};
    ::setsockopt(s(handle), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
    close_socket(handle);
}

// Until what the peer sent is queued here. A FIN behind queued data shows in
// no poll result here, so `end_too` waits for the data only: the reads that
// follow wait for the FIN themselves, which changes their timing, not their outcome.
inline bool arrived(native_handle handle, bool end_too = false) {
    (void)end_too;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    do {
        WSAPOLLFD item{s(handle), POLLRDNORM, 0};
        if (::WSAPoll(&item, 1, 10) == 1 && (item.revents & POLLRDNORM) != 0) return true;
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

// Fills the socket's send buffer until it takes no more; the bytes it took.
inline std::size_t fill_send_buffer(native_handle handle) {
    u_long on = 1;
    ::ioctlsocket(s(handle), FIONBIO, &on);
    std::string chunk(65536, '\0');
    std::size_t filled = 0;
    int n;
    while ((n = ::send(s(handle), chunk.data(), static_cast<int>(chunk.size()), 0)) > 0)
        filled += static_cast<std::size_t>(n);
    EXPECT_EQ(::WSAGetLastError(), WSAEWOULDBLOCK);
    u_long off = 0;
    ::ioctlsocket(s(handle), FIONBIO, &off);
    return filled;
}

// Fixed buffers and a receive limit, as in the Linux part.
inline void fix_buffers(native_handle sender, native_handle receiver, int size, int receive_limit_ms) {
    ::setsockopt(s(sender), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size), sizeof size);
    ::setsockopt(s(receiver), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
    const DWORD limit = static_cast<DWORD>(receive_limit_ms);
    ::setsockopt(s(receiver), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
}

// Until a wait on `descriptor` (the backend's, for a UI thread) ends signalled.
// Alertable, as a UI thread's wait must be for the alertable loop's routines.
inline bool signalled(native_handle descriptor, int limit_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() < 0) return false;
        const DWORD result =
            ::WaitForSingleObjectEx(reinterpret_cast<HANDLE>(descriptor), static_cast<DWORD>(left.count()), TRUE);
        if (result == WAIT_OBJECT_0) return true;
        if (result != WAIT_IO_COMPLETION) return false;
    }
}

// The calling thread, for asleep() on another one.
class thread_mark {
public:
    thread_mark() {
        ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &_thread, 0, FALSE,
                          DUPLICATE_SAME_ACCESS);
    }
    ~thread_mark() { ::CloseHandle(_thread); }
    thread_mark(const thread_mark&) = delete;
    thread_mark& operator=(const thread_mark&) = delete;

    // Windows tells no thread's state cheaply: a thread whose processor times
    // stand still over several looks is taken as asleep. Should it not be yet,
    // the test only takes the easier order.
    bool asleep() const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        std::uint64_t last = ~std::uint64_t{0};
        int still = 0;
        while (std::chrono::steady_clock::now() < end) {
            FILETIME created, exited, kernel, user;
            if (!::GetThreadTimes(_thread, &created, &exited, &kernel, &user)) return false;
            const std::uint64_t now = (static_cast<std::uint64_t>(kernel.dwHighDateTime) << 32) + kernel.dwLowDateTime +
                                      (static_cast<std::uint64_t>(user.dwHighDateTime) << 32) + user.dwLowDateTime;
            still = now == last ? still + 1 : 0;
            if (still >= 3) return true;
            last = now;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

private:
    HANDLE _thread = nullptr;
};

// A file in a fresh temporary folder, removed with the object; opened for
// overlapped requests, and without the system's cache when `unbuffered`.
struct temp_file {
    std::string folder;
    std::string path;
    native_handle fd = asynframe::platform::invalid_handle;

    explicit temp_file(bool unbuffered = false) {
        char base[MAX_PATH + 1] = {};
        ::GetTempPathA(sizeof base, base);
        folder = std::string(base) + "asynframe_engine_" + std::to_string(::GetCurrentProcessId()) + "_" +
                 std::to_string(counter()++);
        ::CreateDirectoryA(folder.c_str(), nullptr);
        path = folder + "\\data.bin";
        const DWORD flags = FILE_FLAG_OVERLAPPED | (unbuffered ? FILE_FLAG_NO_BUFFERING : 0);
        const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                          CREATE_ALWAYS, flags, nullptr);
        if (file == INVALID_HANDLE_VALUE) ADD_FAILURE() << "CreateFile failed: " << ::GetLastError();
        fd = reinterpret_cast<native_handle>(file);
    }
    ~temp_file() {
        ::CloseHandle(reinterpret_cast<HANDLE>(fd));
        ::DeleteFileA(path.c_str());
        ::RemoveDirectoryA(folder.c_str());
    }
    static int& counter() {
        static int value = 0;
        return value;
    }
};

// A file handle that names nothing any more.
inline native_handle closed_file_handle(const temp_file&) { return asynframe::platform::invalid_handle; }
// What a request on it fails with.
inline constexpr std::uint32_t closed_handle_error = 6;  // ERROR_INVALID_HANDLE

inline std::uint8_t pattern_byte(std::size_t index, std::uint8_t seed) {
    return static_cast<std::uint8_t>((index * 131 + seed) ^ (index >> 11));
}

}  // namespace io_test

#else  // POSIX

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "engine_test_support.h"
#include "platform/errors.h"

namespace io_test {

using asynframe::platform::native_handle;
using namespace engine_test;

// The ring reads past the end of a file as 0 bytes, as read(2) does.
inline constexpr std::uint32_t end_of_file_error = 0;
// The readiness loop refuses file requests (the file helper thread does them).
inline constexpr bool readiness_does_files = false;

inline void close_socket(native_handle handle) { ::close(static_cast<int>(handle)); }

inline native_handle make_stream_socket() {
    return must(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0), "socket");
}

// IPv6 loopback: a listener on [::1] (invalid_handle when the system has no
// IPv6 loopback), a socket to connect from, and the port of either family.
inline native_handle make_listener6() {
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return asynframe::platform::invalid_handle;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        return asynframe::platform::invalid_handle;
    }
    return fd;
}
inline native_handle make_stream_socket6() {
    return must(::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0), "socket");
}
inline std::uint16_t any_port(native_handle handle) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ::getsockname(static_cast<int>(handle), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);  // same place in both families
}

inline bool send_all(native_handle handle, const std::uint8_t* data, std::size_t length) {
    return asynframe::harness::send_all(static_cast<int>(handle), data, length);
}
inline bool send_text(native_handle handle, const char* text, std::size_t length) {
    return send_all(handle, reinterpret_cast<const std::uint8_t*>(text), length);
}
inline bool recv_all(native_handle handle, std::uint8_t* data, std::size_t length) {
    return asynframe::harness::recv_all(static_cast<int>(handle), data, length);
}
inline long recv_some(native_handle handle, std::uint8_t* data, std::size_t length) {
    return ::recv(static_cast<int>(handle), data, length, 0);
}

inline bool send_datagram(native_handle from, std::uint16_t port, const char* data, std::size_t length) {
    const sockaddr_in to = loopback(port);
    return ::sendto(static_cast<int>(from), data, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(length);
}

inline void shut_write(native_handle handle) { ::shutdown(static_cast<int>(handle), SHUT_WR); }

inline void reset_close(native_handle handle) {
    const linger abort{1, 0};
    ::setsockopt(static_cast<int>(handle), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(static_cast<int>(handle));
}

// Until poll() (which leaves the backend's epoll set alone) reports what the
// peer sent (`end_too`: and its FIN) as queued here.
inline bool arrived(native_handle handle, bool end_too = false) {
    const short events = static_cast<short>(POLLIN | (end_too ? POLLRDHUP : 0));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    do {
        pollfd item{static_cast<int>(handle), events, 0};
        if (::poll(&item, 1, 10) == 1 && (item.revents & events) == events) return true;
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

inline std::size_t fill_send_buffer(native_handle handle) {
    std::string chunk(65536, '\0');
    std::size_t filled = 0;
    ssize_t n;
    while ((n = ::send(static_cast<int>(handle), chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL)) > 0)
        filled += static_cast<std::size_t>(n);
    EXPECT_TRUE(n < 0 && errno == EAGAIN);
    return filled;
}

inline void fix_buffers(native_handle sender, native_handle receiver, int size, int receive_limit_ms) {
    EXPECT_EQ(::setsockopt(static_cast<int>(sender), SOL_SOCKET, SO_SNDBUF, &size, sizeof size), 0);
    EXPECT_EQ(::setsockopt(static_cast<int>(receiver), SOL_SOCKET, SO_RCVBUF, &size, sizeof size), 0);
    const timeval limit{receive_limit_ms / 1000, (receive_limit_ms % 1000) * 1000};
    EXPECT_EQ(::setsockopt(static_cast<int>(receiver), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit), 0);
}

inline bool signalled(native_handle descriptor, int limit_ms) {
    pollfd item{static_cast<int>(descriptor), POLLIN, 0};
    return ::poll(&item, 1, limit_ms) == 1;
}

// The calling thread, for asleep() on another one.
class thread_mark {
public:
    // Until the thread sleeps in the kernel (the dispatch thread inside wait()).
    bool asleep() const {
        const std::string path = "/proc/self/task/" + std::to_string(_tid) + "/stat";
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        do {
            std::string text;
            std::getline(std::ifstream(path), text);
            const std::size_t name_end = text.rfind(')');
            if (name_end != std::string::npos && name_end + 2 < text.size() && text[name_end + 2] == 'S') return true;
            std::this_thread::yield();
        } while (std::chrono::steady_clock::now() < end);
        return false;
    }

private:
    pid_t _tid = ::gettid();
};

// A descriptor number that names nothing any more (a closed copy of the file's).
inline native_handle closed_file_handle(const temp_file& file) {
    const int closed = ::dup(file.fd);
    ::close(closed);
    return closed;
}
inline const std::uint32_t closed_handle_error = asynframe::platform::file_error_from_errno(EBADF);

}  // namespace io_test

#endif
