#include "common/portable.h"

#include <atomic>
#include <filesystem>
#include <random>


namespace asynframe::harness {

namespace fs = std::filesystem;

std::string temp_root() {
#if defined(_WIN32)
    std::error_code error;
    if (fs::is_directory("Z:/tmp", error)) return "Z:/tmp";
    return fs::temp_directory_path().generic_string();
#else
    return fs::temp_directory_path().string();
#endif
}

std::string make_temp_folder(const std::string& prefix) {
#if defined(_WIN32)
    static std::atomic<unsigned> counter{0};
    std::random_device seed;
    std::mt19937 random(seed() ^ static_cast<unsigned>(::GetCurrentProcessId()));
    const std::string root = temp_root();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string path = root + "/" + prefix + "-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                 std::to_string(counter++) + "-" + std::to_string(random() % 1000000);
        std::error_code error;
        if (fs::create_directory(path, error)) return path;
    }
    return {};
#else
    std::string pattern = temp_root() + "/" + prefix + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return {};
    return pattern;
#endif
}

std::string host_path(const std::string& path) {
#if defined(_WIN32)
    std::string linux_path = path;
    for (char& c : linux_path)
        if (c == '\\') c = '/';
    if (linux_path.size() >= 2 && (linux_path[0] == 'Z' || linux_path[0] == 'z') && linux_path[1] == ':')
        linux_path.erase(0, 2);
    return linux_path;
#else
    return path;
#endif
}

namespace {

sock_t new_socket(int type, int family = AF_INET) {
    start_sockets();
#if defined(_WIN32)
    const SOCKET s = ::WSASocketW(family, type, 0, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    return s;
#else
    return ::socket(family, type | SOCK_CLOEXEC, 0);
#endif
}

}  // namespace

sock_t tcp_sock() { return new_socket(SOCK_STREAM); }
sock_t udp_sock() { return new_socket(SOCK_DGRAM); }

sock_t accept_sock(sock_t listener) {
#if defined(_WIN32)
    return ::accept(listener, nullptr, nullptr);
#else
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
#endif
}

sockaddr_in ipv4_address(const char* dotted, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, dotted, &address.sin_addr);
    return address;
}

sock_t bound_udp(const char* dotted, std::uint16_t port) {
    const sock_t s = udp_sock();
    if (s == bad_sock) return bad_sock;
    const sockaddr_in address = ipv4_address(dotted, port);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close_sock(s);
        return bad_sock;
    }
    return s;
}

std::uint16_t sock_port(sock_t s) {
    sockaddr_storage address{};
    sock_len length = sizeof address;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

sock_t ipv6_loopback_sock(int type, int backlog) {
    const sock_t s = new_socket(type, AF_INET6);
    if (s == bad_sock) return bad_sock;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        (type == SOCK_STREAM && ::listen(s, backlog) != 0)) {
        close_sock(s);
        return bad_sock;
    }
    return s;
}

sock_t tcp_listener(std::uint16_t& port, int backlog) {
    const sock_t s = tcp_sock();
    if (s == bad_sock) return bad_sock;
    const sockaddr_in address = ipv4_address("127.0.0.1", 0);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(s, backlog) != 0) {
        close_sock(s);
        return bad_sock;
    }
    port = sock_port(s);
    return s;
}

sock_t tcp_client(std::uint16_t port) {
    const sock_t s = tcp_sock();
    if (s == bad_sock) return bad_sock;
    const sockaddr_in address = ipv4_address("127.0.0.1", port);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close_sock(s);
        return bad_sock;
    }
    return s;
}

sock_t ipv6_loopback_client(std::uint16_t port) {
    const sock_t s = new_socket(SOCK_STREAM, AF_INET6);
    if (s == bad_sock) return bad_sock;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = htons(port);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close_sock(s);
        return bad_sock;
    }
    return s;
}

bool stream_pair(sock_t (&pair)[2]) {
#if defined(_WIN32)
    // The first socket made takes the lowest free handle, as on Linux.
    pair[0] = tcp_sock();
    std::uint16_t port = 0;
    const sock_t listener = tcp_listener(port, 1);
    const sockaddr_in address = ipv4_address("127.0.0.1", port);
    const bool connected = pair[0] != bad_sock && listener != bad_sock &&
                           ::connect(pair[0], reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    pair[1] = connected ? accept_sock(listener) : bad_sock;
    close_sock(listener);
    if (pair[1] == bad_sock) {
        close_sock(pair[0]);
        pair[0] = bad_sock;
        return false;
    }
    return true;
#else
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
    pair[0] = sv[0];
    pair[1] = sv[1];
    return true;
#endif
}

bool send_everything(sock_t s, const void* data, std::size_t size) {
    const auto* next = static_cast<const char*>(data);
    while (size > 0) {
        const io_size n = send_bytes(s, next, size);
        if (n <= 0) return false;
        next += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

wake_signal::wake_signal() {
    _socket = bound_udp("127.0.0.1", 0);
    if (_socket == bad_sock) return;
    const sockaddr_in self = ipv4_address("127.0.0.1", sock_port(_socket));
    ::connect(_socket, reinterpret_cast<const sockaddr*>(&self), sizeof self);
}

wake_signal::~wake_signal() { close_sock(_socket); }

void wake_signal::notify() {
    const char byte = 1;
    send_bytes(_socket, &byte, 1);
}

}  // namespace asynframe::harness
