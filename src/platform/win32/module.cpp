#include "platform/module.h"

#include <windows.h>

#include <atomic>
#include <string>

#include "platform/win32/text.h"

namespace asynframe::platform {

namespace win32 {
namespace {
std::atomic<HMODULE> g_module{nullptr};
}  // namespace

HMODULE recorded_module() noexcept { return g_module.load(std::memory_order_acquire); }
void record_module(HMODULE module) noexcept { g_module.store(module, std::memory_order_release); }
}  // namespace win32

namespace {

// The full path of a loaded module, however long.
std::wstring module_file_name(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        // A full buffer means the name was cut (XP leaves it unterminated).
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        if (path.size() >= 32768) return {};
        path.resize(path.size() * 2);
    }
}

}  // namespace

bool module_of(const void* address, module_info& out) {
    if (address == nullptr) return false;
    HMODULE module = nullptr;
    // Unchanged reference count: the caller only asks, it does not keep the module.
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<LPCWSTR>(address), &module) ||
        module == nullptr)
        return false;
    out.path = win32::to_utf8(module_file_name(module));
    out.base = reinterpret_cast<std::uintptr_t>(module);
    return true;
}

const module_info& own_module() {
    static const module_info own = [] {
        module_info info;
        if (HMODULE module = win32::recorded_module()) {
            info.path = win32::to_utf8(module_file_name(module));
            info.base = reinterpret_cast<std::uintptr_t>(module);
        } else {
            module_of(reinterpret_cast<const void*>(&own_module), info);
        }
        return info;
    }();
    return own;
}

std::string executable_file_name() {
    const std::wstring full = module_file_name(nullptr);
    const std::size_t slash = full.find_last_of(L"\\/");
    return win32::to_utf8(slash == std::wstring::npos ? full : full.substr(slash + 1));
}

}  // namespace asynframe::platform
