#include "platform/probe.h"

#include <windows.h>

#include <cstdint>

namespace asynframe::platform {
namespace {

constexpr DWORD readable_protection = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                                      PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

// Every page of the range committed and readable (no guard page, which a read
// would trip).
bool mapped_readable(const void* address, std::size_t length) noexcept {
    auto at = reinterpret_cast<std::uintptr_t>(address);
    const std::uintptr_t end = at + length;
    if (end < at) return false;
    while (at < end) {
        MEMORY_BASIC_INFORMATION region{};
        if (::VirtualQuery(reinterpret_cast<const void*>(at), &region, sizeof region) == 0) return false;
        if (region.State != MEM_COMMIT || (region.Protect & readable_protection) == 0 ||
            (region.Protect & PAGE_GUARD) != 0)
            return false;
        const std::uintptr_t region_end = reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize;
        if (region_end <= at) return false;
        at = region_end;
    }
    return true;
}

}  // namespace

bool safe_read(const void* address, void* out, std::size_t length) noexcept {
    if (length == 0) return true;
    if (address == nullptr) return false;
    const DWORD saved = ::GetLastError();
    // The map is asked first; the copy itself goes through the kernel, which
    // reports a page that went away meanwhile as a failed copy instead of faulting.
    SIZE_T copied = 0;
    const bool ok = mapped_readable(address, length) &&
                    ::ReadProcessMemory(::GetCurrentProcess(), address, out, length, &copied) != 0 && copied == length;
    ::SetLastError(saved);
    return ok;
}

}  // namespace asynframe::platform
