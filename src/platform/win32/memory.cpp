#include "platform/memory.h"

#include <windows.h>

#include "platform/common/system_pages.h"

namespace asynframe::platform {

std::uint32_t page_size() noexcept {
    static const std::uint32_t size = [] {
        SYSTEM_INFO info{};
        ::GetSystemInfo(&info);
        return info.dwPageSize != 0 ? static_cast<std::uint32_t>(info.dwPageSize) : 4096u;
    }();
    return size;
}

namespace detail {

// Committed pages read as zero. (Each takes a 64 KiB slot of address space:
// the system's allocation granularity.)
void* map_system_page() noexcept {
    return ::VirtualAlloc(nullptr, page_size(), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

bool unmap_system_page(void* page) noexcept { return ::VirtualFree(page, 0, MEM_RELEASE) != 0; }

}  // namespace detail
}  // namespace asynframe::platform
