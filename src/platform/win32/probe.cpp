#include "platform/probe.h"

#include <windows.h>

namespace asynframe::platform {

bool safe_read(const void* address, void* out, std::size_t length) noexcept {
    if (length == 0) return true;
    if (address == nullptr) return false;
    // The kernel copies for us and reports an unreadable byte (free, reserved,
    // no-access or guard page) as a failed or partial copy instead of faulting.
    SIZE_T copied = 0;
    const DWORD saved = ::GetLastError();
    const BOOL ok = ::ReadProcessMemory(::GetCurrentProcess(), address, out, length, &copied);
    ::SetLastError(saved);
    return ok != 0 && copied == length;
}

}  // namespace asynframe::platform
