#include "platform/memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include "platform/common/system_pages.h"

namespace asynframe::platform {

std::uint32_t page_size() noexcept {
    static const std::uint32_t size = [] {
        const long value = ::sysconf(_SC_PAGESIZE);
        return value > 0 ? static_cast<std::uint32_t>(value) : 4096u;
    }();
    return size;
}

namespace detail {

void* map_system_page() noexcept {
    void* page = ::mmap(nullptr, page_size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return page == MAP_FAILED ? nullptr : page;
}

bool unmap_system_page(void* page) noexcept { return ::munmap(page, page_size()) == 0; }

}  // namespace detail
}  // namespace asynframe::platform
