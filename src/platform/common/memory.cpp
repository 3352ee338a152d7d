#include "platform/memory.h"

#include <mutex>
#include <new>
#include <unordered_set>

#include "platform/common/system_pages.h"
#include "platform/fault.h"

namespace asynframe::platform {
namespace {

// Pages handed out and not yet returned. Releasing an address that is not one
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

void* alloc_page() noexcept {
    if (fault::next(fault::site::alloc) != 0) return nullptr;  // ENOMEM
    void* page = detail::map_system_page();
    if (page == nullptr) return nullptr;
    try {
        page_registry& pages = registry();
        const std::lock_guard<std::mutex> guard(pages.lock);
        pages.pages.insert(page);
    } catch (...) {
        detail::unmap_system_page(page);
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
    return detail::unmap_system_page(page);
}

}  // namespace asynframe::platform
