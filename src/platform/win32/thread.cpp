#include "platform/thread.h"

#include <windows.h>

#include <string>

#include "platform/win32/text.h"

namespace asynframe {

namespace platform {
std::uint32_t current_thread_id() noexcept { return static_cast<std::uint32_t>(::GetCurrentThreadId()); }

void name_current_thread(const char* name) noexcept {
    // Absent before Windows 10 1607: looked up, and naming is skipped without it.
    using set_description = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static const auto set = [] {
        HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
        return kernel != nullptr ? reinterpret_cast<set_description>(
                                       reinterpret_cast<void (*)()>(::GetProcAddress(kernel, "SetThreadDescription")))
                                 : nullptr;
    }();
    if (set == nullptr || name == nullptr) return;
    // The same 15 characters Linux keeps, cut at a character boundary.
    std::size_t length = 0;
    while (length < 15 && name[length] != '\0') ++length;
    if (name[length] != '\0')
        while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80) --length;
    try {
        const std::wstring wide = platform::win32::to_utf16(std::string_view(name, length));
        set(::GetCurrentThread(), wide.c_str());
    } catch (...) {
    }
}
}  // namespace platform

}  // namespace asynframe
