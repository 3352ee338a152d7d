#include "platform/memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <mutex>
#include <new>
#include <unordered_set>

namespace asynframe::platform {
namespace {

// Pages handed out and not yet returned. Unmapping an address that is not one
// of them would tear down some other mapping of the process, so it is refused.
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
        const long value = ::sysconf(_SC_PAGESIZE);
        return value > 0 ? static_cast<std::uint32_t>(value) : 4096u;
    }();
    return size;
}

void* alloc_page() noexcept {
    void* page = ::mmap(nullptr, page_size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) return nullptr;
    try {
        page_registry& pages = registry();
        const std::lock_guard<std::mutex> guard(pages.lock);
        pages.pages.insert(page);
    } catch (...) {
        ::munmap(page, page_size());
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
    return ::munmap(page, page_size()) == 0;
}

}  // namespace asynframe::platform
