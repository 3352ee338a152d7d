#include "platform/dns.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <bcrypt.h>
#include <iphlpapi.h>

#include <algorithm>
#include <random>

#include "platform/fs.h"
#include "platform/win32/winsock_start.h"
#include "platform/win32/wide.h"

namespace asynframe::platform::dns {

// parse_server_list and server_port are shared: platform/dns_config.cpp.

std::vector<std::string> server_list() {
    if (const std::optional<std::string> chosen = fs::environment("ASYNFRAME_RESOLV_CONF"); chosen && !chosen->empty()) {
        std::string content;
        if (fs::read_file(*chosen, content) != 0) return {};
        return parse_server_list(content);
    }
    ULONG size = 0;
    if (::GetNetworkParams(nullptr, &size) != ERROR_BUFFER_OVERFLOW || size == 0) return {};
    std::vector<unsigned char> storage;
    // The list can grow between the two calls.
    for (int attempt = 0; attempt < 3; ++attempt) {
        storage.resize(size);
        const DWORD result = ::GetNetworkParams(reinterpret_cast<FIXED_INFO*>(storage.data()), &size);
        if (result == ERROR_SUCCESS) break;
        if (result != ERROR_BUFFER_OVERFLOW) return {};
        if (attempt == 2) return {};
    }
    // The system's texts go through the same strict reading as a file's lines.
    std::string text;
    const auto* info = reinterpret_cast<const FIXED_INFO*>(storage.data());
    for (const IP_ADDR_STRING* at = &info->DnsServerList; at != nullptr; at = at->Next) {
        const std::string address(at->IpAddress.String, strnlen(at->IpAddress.String, sizeof at->IpAddress.String));
        if (!address.empty()) text += "nameserver " + address + "\n";
    }
    return parse_server_list(text);
}

bool system_lookup(const std::string& name, std::vector<std::string>& addresses) {
    if (!win32::start_winsock()) return false;
    std::wstring wide;
    if (!win32::to_wide(name, wide) || wide.empty()) return false;
    ADDRINFOW hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address instead of one per socket type
    ADDRINFOW* found = nullptr;
    if (::GetAddrInfoW(wide.c_str(), nullptr, &hints, &found) != 0) return false;
    for (const ADDRINFOW* at = found; at != nullptr; at = at->ai_next) {
        if (at->ai_family != AF_INET || at->ai_addr == nullptr) continue;
        char text[INET_ADDRSTRLEN];
        auto* address = reinterpret_cast<sockaddr_in*>(at->ai_addr);
        if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) == nullptr) continue;
        if (std::find(addresses.begin(), addresses.end(), text) == addresses.end()) addresses.emplace_back(text);
    }
    ::FreeAddrInfoW(found);
    return true;
}

bool system_lookup(const std::string& name, std::vector<std::string>& addresses,
                   std::vector<std::string>& addresses6) {
    if (!win32::start_winsock()) return false;
    std::wstring wide;
    if (!win32::to_wide(name, wide) || wide.empty()) return false;
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address instead of one per socket type
    ADDRINFOW* found = nullptr;
    if (::GetAddrInfoW(wide.c_str(), nullptr, &hints, &found) != 0) return false;
    for (const ADDRINFOW* at = found; at != nullptr; at = at->ai_next) {
        if (at->ai_addr == nullptr) continue;
        char text[INET6_ADDRSTRLEN];
        std::vector<std::string>* list = nullptr;
        if (at->ai_family == AF_INET) {
            auto* address = reinterpret_cast<sockaddr_in*>(at->ai_addr);
            if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr) list = &addresses;
        } else if (at->ai_family == AF_INET6) {
            // Without the scope: a link-local address keeps only its bytes, as
            // a DNS answer carries it.
            auto* address = reinterpret_cast<sockaddr_in6*>(at->ai_addr);
            if (::inet_ntop(AF_INET6, &address->sin6_addr, text, sizeof text) != nullptr) list = &addresses6;
        }
        if (list != nullptr && std::find(list->begin(), list->end(), text) == list->end()) list->emplace_back(text);
    }
    ::FreeAddrInfoW(found);
    return true;
}

std::uint32_t random32() noexcept {
    std::uint32_t value = 0;
    if (BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&value), sizeof value,
                                         BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        return value;
    // No system source: still not a counter an observer could follow.
    thread_local std::mt19937 fallback{std::random_device{}()};
    return static_cast<std::uint32_t>(fallback());
}

void set_caller_event(native_handle handle) noexcept {
    if (handle == invalid_handle || handle == 0) return;
    ::SetEvent(reinterpret_cast<HANDLE>(handle));
}

std::string hosts_file_path() {
    wchar_t folder[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return "C:\\Windows\\System32\\drivers\\etc\\hosts";
    return win32::to_utf8(std::wstring_view(folder, length)) + "\\drivers\\etc\\hosts";
}

}  // namespace asynframe::platform::dns
