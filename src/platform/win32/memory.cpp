#include "platform/memory.h"

#include <windows.h>

#include <mutex>
#include <new>
#include <unordered_set>

namespace asynframe::platform {
namespace {

// Pages handed out and not yet returned. Releasing an address that is not one
// of them would tear down some other allocation of the process, so it is refused.
struct page_registry {
    std::mutex lock;
    std::unordered_set<void*> pages;
};

page_registry& registry() {
    static page_registry* instance = new page_registry;  // outlives static destructors
    return *instance;
}

}  // namespace

std::uint32_t page_size() noexcept {
    static const std::uint32_t size = [] {
        SYSTEM_INFO info{};
        ::GetSystemInfo(&info);
        return info.dwPageSize != 0 ? static_cast<std::uint32_t>(info.dwPageSize) : 4096u;
    }();
    return size;
}

void* alloc_page() noexcept {
    // Committed pages read as zero. (Each takes a 64 KiB slot of address space:
    // the system's allocation granularity.)
    void* page = ::VirtualAlloc(nullptr, page_size(), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (page == nullptr) return nullptr;
    try {
        page_registry& pages = registry();
        const std::lock_guard<std::mutex> guard(pages.lock);
        pages.pages.insert(page);
    } catch (...) {
        ::VirtualFree(page, 0, MEM_RELEASE);
        return nullptr;
    }
    return page;
}

bool free_page(void* page) noexcept {
    if (page == nullptr) return true;
    {
        page_registry& pages = registry();
        const std::lock_guard<std::mutex> guard(pages.lock);
        if (pages.pages.erase(page) == 0) return false;
    }
    return ::VirtualFree(page, 0, MEM_RELEASE) != 0;
}

}  // namespace asynframe::platform
